#include "answer_decoding.h"

#include <string>
#include <type_traits>
#include <utility>

#include "pitwall/read_at.h"

namespace {

// Text of a fixed-width field: the bytes up to the first NUL, or all of them.
std::string FieldText(const char* field, std::size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  const std::size_t length =
      nul == nullptr ? width : static_cast<std::size_t>(static_cast<const char*>(nul) - field);
  return std::string(field, length);
}

std::string BadLength(std::uint8_t type, std::size_t size, const std::string& expected) {
  return std::string(AnswerTypeName(type)) + " answer of " + std::to_string(size) +
         " bytes; expected " + expected;
}

ClientResult<Answer> DecodeHandshake(const std::uint8_t* m, std::size_t size) {
  if (size != sizeof(HandshakeMessage)) {
    return Failure<Answer>(
        ClientErrorCode::kBadLength,
        BadLength(kHandshakeInfo, size, std::to_string(sizeof(HandshakeMessage))));
  }
  const auto message = ReadAt<HandshakeMessage>(m, 0);
  ClientResult<Answer> result;
  result.value = HandshakeAnswer{message.header.change_mask, message.version, message.status};
  return result;
}

ClientResult<Answer> DecodeSession(const std::uint8_t* m, std::size_t size) {
  if (size != kSessionInfoSize) {
    return Failure<Answer>(ClientErrorCode::kBadLength,
                           BadLength(kSessionInfo, size, std::to_string(kSessionInfoSize)));
  }
  const auto block = ReadAt<SessionBlock>(m, sizeof(ResponseHeader));
  SessionAnswer session;
  session.change_mask = m[3];
  session.track_name = FieldText(block.track_name, sizeof(block.track_name));
  session.session = block.session;
  session.end_time = block.end_time;
  session.max_laps = block.max_laps;
  session.lap_distance = block.lap_distance;
  ClientResult<Answer> result;
  result.value = std::move(session);
  return result;
}

ClientResult<Answer> DecodeDrivers(const std::uint8_t* m, std::size_t size) {
  const std::size_t body = size - sizeof(ResponseHeader);
  if (body % sizeof(VehicleInfoRecord) != 0 || body / sizeof(VehicleInfoRecord) > kMaxVehicles) {
    return Failure<Answer>(
        ClientErrorCode::kBadLength,
        BadLength(kVehicleInfo, size,
                  std::to_string(VehicleInfoSize(0)) + " + " +
                      std::to_string(sizeof(VehicleInfoRecord)) + " per vehicle"));
  }
  DriversAnswer drivers;
  drivers.change_mask = m[3];
  for (std::size_t offset = sizeof(ResponseHeader); offset < size;
       offset += sizeof(VehicleInfoRecord)) {
    const auto record = ReadAt<VehicleInfoRecord>(m, offset);
    drivers.drivers.push_back(DriverEntry{
        record.vehicle_index, FieldText(record.driver_name, sizeof(record.driver_name))});
  }
  ClientResult<Answer> result;
  result.value = std::move(drivers);
  return result;
}

CarState DecodeCar(const VehicleUpdateRecord& record) {
  CarState car;
  car.index = record.vehicle_index;
  car.status_bits = record.status;
  car.sector = record.status & kStatusSectorMask;
  car.finish_status = (record.status >> 2) & 0x03;
  car.in_pits = (record.status & kStatusInPits) != 0;
  car.control_one = (record.status & kStatusControlOne) != 0;
  car.lap_distance = record.lap_distance;
  car.place = record.place;
  car.time_behind_leader = record.time_behind_leader;
  car.laps = record.laps;
  car.x = record.x;
  car.z = record.z;
  car.heading = record.heading;
  car.best_lap = record.best_lap;
  car.last_lap = record.last_lap;
  car.sector1 = record.sector1;
  car.sector2 = record.sector2;
  return car;
}

ClientResult<Answer> DecodeLive(const std::uint8_t* m, std::size_t size) {
  if (size < UpdateDataSize(0)) {
    return Failure<Answer>(
        ClientErrorCode::kBadLength,
        BadLength(kUpdateData, size, "at least " + std::to_string(UpdateDataSize(0))));
  }
  const auto live = ReadAt<LiveBlock>(m, sizeof(ResponseHeader));
  if (size != UpdateDataSize(live.vehicle_count)) {
    return Failure<Answer>(ClientErrorCode::kBadLength,
                           BadLength(kUpdateData, size,
                                     std::to_string(UpdateDataSize(live.vehicle_count)) + " for " +
                                         std::to_string(live.vehicle_count) + " vehicle(s)"));
  }
  LiveAnswer answer;
  answer.change_mask = m[3];
  answer.captured = live.captured != 0;
  answer.current_time = live.current_time;
  answer.fastest_lap = live.fastest_lap;
  answer.fastest_lap_vehicle = live.fastest_lap_vehicle;
  answer.cars.reserve(live.vehicle_count);
  for (std::size_t i = 0; i < live.vehicle_count; ++i) {
    answer.cars.push_back(DecodeCar(
        ReadAt<VehicleUpdateRecord>(m, UpdateDataSize(0) + i * sizeof(VehicleUpdateRecord))));
  }
  ClientResult<Answer> result;
  result.value = std::move(answer);
  return result;
}

ClientResult<Answer> DecodeChunk(const std::uint8_t* m, std::size_t size) {
  if (size < StripChunkSize(0, 0) || size < StripChunkSize(m[4], 0)) {
    return Failure<Answer>(ClientErrorCode::kBadLength,
                           BadLength(kTrackstrip, size, "at least 14 + 5 per strip"));
  }
  const std::size_t strips = m[4];
  const std::size_t chunk_at = sizeof(ResponseHeader) + 1 + strips * sizeof(StripDirectoryEntry);
  const auto chunk = ReadAt<StripChunkHeader>(m, chunk_at);
  // Compared in 64 bits: a hostile count must not wrap the expected size.
  const std::uint64_t expected =
      StripChunkSize(strips, 0) + std::uint64_t{chunk.point_count} * sizeof(StripPoint);
  if (size != expected) {
    return Failure<Answer>(
        ClientErrorCode::kBadLength,
        BadLength(kTrackstrip, size,
                  std::to_string(expected) + " for " + std::to_string(strips) + " strip(s) and " +
                      std::to_string(chunk.point_count) + " point(s)"));
  }
  TrackChunk answer;
  answer.change_mask = m[3];
  for (std::size_t i = 0; i < strips; ++i) {
    const auto entry = ReadAt<StripDirectoryEntry>(m, sizeof(ResponseHeader) + 1 + i * 5);
    answer.directory.push_back(StripDirectoryItem{entry.kind, entry.point_count});
  }
  if (chunk.strip_index >= strips || std::uint64_t{chunk.first_point} + chunk.point_count >
                                         answer.directory[chunk.strip_index].point_count) {
    return Failure<Answer>(ClientErrorCode::kBadContent,
                           "Trackstrip chunk of strip " + std::to_string(chunk.strip_index) +
                               ", points " + std::to_string(chunk.first_point) + " + " +
                               std::to_string(chunk.point_count) +
                               ", lies outside the strips its directory lists");
  }
  answer.strip_index = chunk.strip_index;
  answer.first_point = chunk.first_point;
  answer.points.reserve(chunk.point_count);
  const std::size_t points_at = chunk_at + sizeof(StripChunkHeader);
  for (std::size_t i = 0; i < chunk.point_count; ++i) {
    const auto point = ReadAt<StripPoint>(m, points_at + i * sizeof(StripPoint));
    answer.points.push_back(OutlinePoint{point.x, point.z});
  }
  ClientResult<Answer> result;
  result.value = std::move(answer);
  return result;
}

}  // namespace

const char* AnswerTypeName(std::uint8_t type) {
  static constexpr const char* kNames[kRequestTypeCount] = {
      "HandshakeInfo", "UpdateData", "SessionInfo", "VehicleInfo", "Trackstrip"};
  return type < kRequestTypeCount ? kNames[type] : "unknown";
}

const char* ClientErrorName(ClientErrorCode code) {
  switch (code) {
    case ClientErrorCode::kOk:
      return "ok";
    case ClientErrorCode::kBadAddress:
      return "bad address";
    case ClientErrorCode::kRefused:
      return "connection refused";
    case ClientErrorCode::kConnectFailed:
      return "connect failed";
    case ClientErrorCode::kNotConnected:
      return "not connected";
    case ClientErrorCode::kSendFailed:
      return "send failed";
    case ClientErrorCode::kTimeout:
      return "timeout";
    case ClientErrorCode::kClosed:
      return "connection closed";
    case ClientErrorCode::kTruncated:
      return "truncated answer";
    case ClientErrorCode::kBadLength:
      return "bad length";
    case ClientErrorCode::kBadType:
      return "bad type";
    case ClientErrorCode::kBadContent:
      return "bad content";
    case ClientErrorCode::kServerFull:
      return "server full";
  }
  return "unknown";
}

std::array<std::uint8_t, 3> EncodeRequest(RequestType type) {
  return {3, 0, static_cast<std::uint8_t>(type)};
}

static_assert(std::is_same_v<std::variant_alternative_t<kTrackstrip, Answer>, TrackChunk> &&
                  std::is_same_v<std::variant_alternative_t<kUpdateData, Answer>, LiveAnswer>,
              "an Answer's index is its type");

ClientResult<Answer> DecodeAnswer(const std::uint8_t* message, std::size_t size) {
  if (size < sizeof(ResponseHeader)) {
    return Failure<Answer>(ClientErrorCode::kBadLength, "answer of " + std::to_string(size) +
                                                            " bytes is shorter than its header");
  }
  const std::size_t length = ReadAt<std::uint16_t>(message, 0);
  if (length != size) {
    return Failure<Answer>(ClientErrorCode::kBadLength, "length field " + std::to_string(length) +
                                                            " in a message of " +
                                                            std::to_string(size) + " bytes");
  }
  switch (message[2]) {
    case kHandshakeInfo:
      return DecodeHandshake(message, size);
    case kUpdateData:
      return DecodeLive(message, size);
    case kSessionInfo:
      return DecodeSession(message, size);
    case kVehicleInfo:
      return DecodeDrivers(message, size);
    case kTrackstrip:
      return DecodeChunk(message, size);
    default:
      break;
  }
  return Failure<Answer>(ClientErrorCode::kBadType,
                         "answer of unknown type " + std::to_string(message[2]));
}
