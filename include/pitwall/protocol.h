// The PitwallFeed wire protocol, shared by the plug-in and its clients.
//
// Byte order: every multi-byte value is little-endian; floats are IEEE-754
// single precision. The records below are packed and kept in memory exactly
// as they travel, so an answer is a header followed by plain copies.
//
// A request is [u16 length][u8 type][length-3 ignored bytes]; the shortest is
// three bytes (03 00 01 asks for live data). Every answer starts with a
// ResponseHeader whose type equals the request type.
#ifndef PITWALL_PROTOCOL_H_
#define PITWALL_PROTOCOL_H_

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "records are kept in wire (little-endian) order in memory");

// Where a server listens: the first free one of kPortsToTry ports up from its
// starting port (kDefaultPort unless its configuration names another), so a
// client given no port looks at each of those. It serves 1 to
// kMaxConnectionLimit clients at once, as its configuration says.
inline constexpr std::uint16_t kDefaultPort = 34647;
inline constexpr std::int32_t kPortsToTry = 20;
inline constexpr std::int32_t kMinConnectionLimit = 1;
inline constexpr std::int32_t kMaxConnectionLimit = 64;

enum RequestType : std::uint8_t {
  kHandshakeInfo = 0,
  kUpdateData = 1,
  kSessionInfo = 2,
  kVehicleInfo = 3,
  kTrackstrip = 4,
};
inline constexpr int kRequestTypeCount = 5;

// Change-mask bits carried in byte 3 of most answers. Bit k is change
// category k; only 0 and 1 are stamped while a server runs, all five when it
// starts.
inline constexpr std::uint8_t kChangeSession = 0x01;   // a session started
inline constexpr std::uint8_t kChangeVehicles = 0x02;  // the vehicle count changed
inline constexpr std::uint8_t kChangeAll = 0x1F;

// Handshake status byte: 0 admitted within the limit, 4 server full.
inline constexpr std::uint8_t kHandshakeOk = 0;
inline constexpr std::uint8_t kHandshakeServerFull = 4;

#pragma pack(push, 1)

struct RequestHeader {
  std::uint16_t length;  // whole request, these three bytes included
  std::uint8_t type;
};

struct ResponseHeader {
  std::uint16_t length;  // whole message, header included
  std::uint8_t type;
  std::uint8_t change_mask;  // always 0 in HandshakeInfo and Trackstrip
};

// HandshakeInfo answer, always 8 bytes: 08 00 00 00 01 00 <status> 00.
struct HandshakeMessage {
  ResponseHeader header;
  std::uint16_t version;  // always 1
  std::uint8_t status;
  std::uint8_t reserved;
};

struct SessionBlock {
  char track_name[64];  // text up to the first NUL; all 64 bytes as the host gave them
  std::int32_t session;
  float end_time;
  std::int32_t max_laps;
  float lap_distance;
};

struct LiveBlock {
  std::uint8_t captured;  // 1 once an update was taken in this session
  std::uint8_t reserved1[3];
  float current_time;
  std::uint8_t vehicle_count;
  std::uint8_t reserved2[3];
  float fastest_lap;  // -1.0 when none
  std::uint8_t fastest_lap_vehicle;
  std::uint8_t reserved3[3];
};

struct VehicleInfoRecord {
  std::uint8_t vehicle_index;
  char driver_name[32];
};

// Status bits of VehicleUpdateRecord: sector in bits 0-1, the finish status's
// two low bits in 2-3, in pits 0x10, control byte 1 (player) 0x20.
inline constexpr std::uint8_t kStatusSectorMask = 0x03;
inline constexpr std::uint8_t kStatusInPits = 0x10;
inline constexpr std::uint8_t kStatusControlOne = 0x20;

struct VehicleUpdateRecord {
  std::uint8_t vehicle_index;
  std::uint8_t status;
  std::uint8_t reserved1[2];
  float lap_distance;
  std::uint8_t place;
  std::uint8_t reserved2[3];
  float time_behind_leader;
  std::int16_t laps;
  std::uint8_t reserved3[2];
  float x;
  float z;
  float heading;  // radians, -pi..pi
  float best_lap;
  float last_lap;
  float sector1;
  float sector2;
};

// Each Trackstrip chunk: header, strip count S, S directory entries, then the
// chunk fields and n (x, z) points.
struct StripDirectoryEntry {
  std::uint8_t kind;  // 1: built from wp_dwidth, 0: from wp_width
  std::uint32_t point_count;
};

struct StripChunkHeader {
  std::uint8_t strip_index;
  std::uint32_t first_point;
  std::uint32_t point_count;
};

struct StripPoint {
  float x;
  float z;
};

#pragma pack(pop)

static_assert(sizeof(RequestHeader) == 3);
static_assert(sizeof(ResponseHeader) == 4 && offsetof(ResponseHeader, change_mask) == 3);
static_assert(sizeof(HandshakeMessage) == 8 && offsetof(HandshakeMessage, status) == 6);
static_assert(sizeof(SessionBlock) == 80 && offsetof(SessionBlock, session) == 64 &&
              offsetof(SessionBlock, end_time) == 68 && offsetof(SessionBlock, max_laps) == 72 &&
              offsetof(SessionBlock, lap_distance) == 76);
static_assert(sizeof(LiveBlock) == 20 && offsetof(LiveBlock, current_time) == 4 &&
              offsetof(LiveBlock, vehicle_count) == 8 && offsetof(LiveBlock, fastest_lap) == 12 &&
              offsetof(LiveBlock, fastest_lap_vehicle) == 16);
static_assert(sizeof(VehicleInfoRecord) == 33 && offsetof(VehicleInfoRecord, driver_name) == 1);
static_assert(sizeof(VehicleUpdateRecord) == 48 && offsetof(VehicleUpdateRecord, status) == 1 &&
              offsetof(VehicleUpdateRecord, lap_distance) == 4 &&
              offsetof(VehicleUpdateRecord, place) == 8 &&
              offsetof(VehicleUpdateRecord, time_behind_leader) == 12 &&
              offsetof(VehicleUpdateRecord, laps) == 16 && offsetof(VehicleUpdateRecord, x) == 20 &&
              offsetof(VehicleUpdateRecord, z) == 24 &&
              offsetof(VehicleUpdateRecord, heading) == 28 &&
              offsetof(VehicleUpdateRecord, best_lap) == 32 &&
              offsetof(VehicleUpdateRecord, last_lap) == 36 &&
              offsetof(VehicleUpdateRecord, sector1) == 40 &&
              offsetof(VehicleUpdateRecord, sector2) == 44);
static_assert(sizeof(StripDirectoryEntry) == 5 && sizeof(StripChunkHeader) == 9 &&
              sizeof(StripPoint) == 8);

// Message sizes.
inline constexpr std::size_t kMaxVehicles = 255;
inline constexpr std::size_t kSessionInfoSize = sizeof(ResponseHeader) + sizeof(SessionBlock);
inline constexpr std::size_t UpdateDataSize(std::size_t vehicles) {
  return sizeof(ResponseHeader) + sizeof(LiveBlock) + vehicles * sizeof(VehicleUpdateRecord);
}
inline constexpr std::size_t VehicleInfoSize(std::size_t vehicles) {
  return sizeof(ResponseHeader) + vehicles * sizeof(VehicleInfoRecord);
}
inline constexpr std::size_t kMaxStripChunkPoints = 50;
inline constexpr std::size_t StripChunkSize(std::size_t strips, std::size_t points) {
  return sizeof(ResponseHeader) + 1 + strips * sizeof(StripDirectoryEntry) +
         sizeof(StripChunkHeader) + points * sizeof(StripPoint);
}
static_assert(UpdateDataSize(255) == 12264 && VehicleInfoSize(255) == 8419);
static_assert(StripChunkSize(2, 50) == 424);

// Pacing: the shortest time between two answers of one type to one client.
inline constexpr std::uint32_t kPacingIntervalMs[kRequestTypeCount] = {1000, 100, 500, 500, 2000};

// Splitting the bytes a client receives into answers: each answer is as long
// as its length field says, and never shorter than its header.
inline constexpr std::size_t kMalformedAnswer = static_cast<std::size_t>(-1);
// The length of the answer that the `size` received bytes at `data` begin
// with, once all of it has arrived; 0 while it has not. kMalformedAnswer when
// its length field is shorter than a header: the stream cannot be split on.
inline constexpr std::size_t WholeAnswerLength(const std::uint8_t* data, std::size_t size) {
  if (size < sizeof(ResponseHeader)) return 0;
  const std::size_t length = static_cast<std::size_t>(data[0] | (data[1] << 8));
  if (length < sizeof(ResponseHeader)) return kMalformedAnswer;
  return size >= length ? length : 0;
}

#endif  // PITWALL_PROTOCOL_H_
