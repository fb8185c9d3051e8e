// A client for the PitwallFeed server: connects over IPv4 TCP, sends the five
// requests and decodes each framed answer into a plain struct.
//
// Errors are values: calls return a ClientError (code kOk on success) or a
// ClientResult<T> holding one; nothing throws on bad input from the server.
// Every length field is checked against its answer's type before a byte of
// the body is read.
//
// Thread-safety: a PitwallClient and a TrackAssembler belong to one thread.
// The free functions keep no state and may be called from any thread.
#ifndef PITWALL_TOOLS_CLIENT_PITWALL_CLIENT_H_
#define PITWALL_TOOLS_CLIENT_PITWALL_CLIENT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pitwall/protocol.h"
#include "platform/socket.h"

// How long a connect may wait for a host that does not answer.
inline constexpr std::uint32_t kConnectTimeoutMs = 5000;
inline constexpr const char* kDefaultHost = "127.0.0.1";

enum class ClientErrorCode {
  kOk = 0,
  kBadAddress,     // a host without an IPv4 address, or a bad port
  kRefused,        // nothing listens at the address
  kConnectFailed,  // connect failed for another reason
  kNotConnected,   // no connection open (never opened, or dropped after an error)
  kSendFailed,     // the request could not be handed to the socket
  kTimeout,        // no whole answer in time; bytes received so far are kept
  kClosed,         // the connection ended between two answers
  kTruncated,      // the connection ended inside an answer
  kBadLength,      // a length field that does not fit the answer's type or contents
  kBadType,        // an answer type other than 0 to 4
  kBadContent,     // length fits, contents contradict themselves
  kServerFull,     // the handshake said status 4
};

// Short lower-case name of a code, e.g. "timeout".
const char* ClientErrorName(ClientErrorCode code);

struct ClientError {
  ClientErrorCode code = ClientErrorCode::kOk;
  std::string message;  // one line, no trailing newline; empty when ok
  bool ok() const { return code == ClientErrorCode::kOk; }
};

// `value` is meaningful when ok(); for kServerFull it also holds the handshake.
template <typename T>
struct ClientResult {
  ClientError error;
  T value{};
  bool ok() const { return error.ok(); }
};

struct HandshakeAnswer {
  std::uint8_t change_mask = 0;
  std::uint16_t version = 0;
  std::uint8_t status = 0;  // kHandshakeOk or kHandshakeServerFull
};

struct SessionAnswer {
  std::uint8_t change_mask = 0;
  std::string track_name;  // bytes up to the first NUL, at most 64
  std::int32_t session = 0;
  float end_time = 0;
  std::int32_t max_laps = 0;
  float lap_distance = 0;
};

struct DriverEntry {
  std::uint8_t index = 0;
  std::string name;  // bytes up to the first NUL, at most 32
};

struct DriversAnswer {
  std::uint8_t change_mask = 0;
  std::vector<DriverEntry> drivers;
};

struct CarState {
  std::uint8_t index = 0;
  std::uint8_t status_bits = 0;    // the raw status byte
  std::uint8_t sector = 0;         // status bits 0-1
  std::uint8_t finish_status = 0;  // status bits 2-3
  bool in_pits = false;            // status bit 4
  bool control_one = false;        // status bit 5: the control byte was 1
  float lap_distance = 0;
  std::uint8_t place = 0;
  float time_behind_leader = 0;
  std::int16_t laps = 0;
  float x = 0;
  float z = 0;
  float heading = 0;
  float best_lap = 0;
  float last_lap = 0;
  float sector1 = 0;
  float sector2 = 0;
};

struct LiveAnswer {
  std::uint8_t change_mask = 0;
  bool captured = false;
  float current_time = 0;
  float fastest_lap = -1;  // negative: none yet
  std::uint8_t fastest_lap_vehicle = 0;
  std::vector<CarState> cars;  // as many as the answer's vehicle count
};

struct OutlinePoint {
  float x = 0;
  float z = 0;
};

struct StripDirectoryItem {
  std::uint8_t kind = 0;
  std::uint32_t point_count = 0;
};

// One Trackstrip message: the directory of all strips and one run of points.
struct TrackChunk {
  std::uint8_t change_mask = 0;
  std::vector<StripDirectoryItem> directory;
  std::uint8_t strip_index = 0;
  std::uint32_t first_point = 0;
  std::vector<OutlinePoint> points;
};

// One decoded answer; the alternative's index equals the answer type.
using Answer = std::variant<HandshakeAnswer, LiveAnswer, SessionAnswer, DriversAnswer, TrackChunk>;

struct OutlineStrip {
  std::uint8_t kind = 0;
  std::vector<OutlinePoint> points;
};

struct TrackOutline {
  std::vector<OutlineStrip> strips;
};

// The three bytes of a bare request of `type`: 03 00 <type>.
std::array<std::uint8_t, 3> EncodeRequest(RequestType type);

// Decodes one whole message of `size` bytes. Fails with kBadLength when the
// length field is not `size` or does not fit the type and the counts inside,
// kBadType for a type above 4, kBadContent for a chunk that lies outside its
// strip. Never reads beyond `size` bytes.
ClientResult<Answer> DecodeAnswer(const std::uint8_t* message, std::size_t size);

// Splits "HOST", "HOST:PORT" or ":PORT"; a missing part keeps what *host and
// *port held. False with *error set for an empty host or a port that is not
// 1 to 65535 in plain digits; *host and *port are then unchanged.
bool ParseEndpoint(std::string_view text, std::string* host, std::uint16_t* port,
                   std::string* error);

// The network-order IPv4 address of dotted text, "localhost" or a host name
// the system resolver knows (asking it may take as long as the resolver
// takes). kBadAddress for a name it does not know.
ClientResult<std::uint32_t> ResolveHost(const std::string& host);

// Puts an outline together from chunks in any order; repeated chunks are
// harmless. A chunk whose directory differs from the one held means the
// outline changed: what was gathered is dropped and gathering starts over.
class TrackAssembler {
 public:
  // At most this many points in all strips together; a directory claiming
  // more is refused rather than allocated.
  static constexpr std::size_t kMaxPoints = 1000000;

  // Places the chunk's points. kBadContent, leaving the state unchanged, for
  // a chunk outside its strip or a directory over kMaxPoints.
  ClientError Add(const TrackChunk& chunk);
  // True once a directory is known and every point of every strip arrived.
  bool complete() const { return started_ && missing_ == 0; }
  bool started() const { return started_; }
  std::size_t points_missing() const { return missing_; }
  std::size_t points_expected() const { return expected_; }
  // The strips, with points not yet received at (0, 0).
  const TrackOutline& outline() const { return outline_; }
  void Reset();

 private:
  bool started_ = false;
  std::vector<StripDirectoryItem> directory_;
  TrackOutline outline_;
  std::vector<std::vector<bool>> received_;  // per strip, per point
  std::size_t expected_ = 0;
  std::size_t missing_ = 0;
};

// One connection to a server.
class PitwallClient {
 public:
  PitwallClient() = default;
  PitwallClient(const PitwallClient&) = delete;
  PitwallClient& operator=(const PitwallClient&) = delete;

  // Resolves `host` (see ResolveHost) and connects within `timeout_ms`,
  // closing any earlier connection first. Messages read "cannot connect to
  // HOST:PORT: REASON" ("no answer within 5 s" after the time-out, kTimeout).
  ClientError Connect(const std::string& host, std::uint16_t port,
                      std::uint32_t timeout_ms = kConnectTimeoutMs);
  // Drops the connection, buffered bytes and held answers.
  void Close();
  bool connected() const { return socket_.valid(); }
  // "HOST:PORT" of the last Connect().
  const std::string& peer() const { return peer_; }

  // Sends a bare request of `type`. kNotConnected or kSendFailed.
  ClientError Send(RequestType type);
  // Sends raw bytes as they are, for probing the server.
  ClientError SendBytes(const std::uint8_t* data, std::size_t size);

  // The next whole answer, waiting at most `timeout_ms` (0: only what has
  // already arrived). Answers held back by the Fetch calls come first, in
  // arrival order. After kTimeout, kBadLength for a length that fits the
  // header, kBadType and kBadContent the connection stays usable: that
  // message was consumed whole. After kClosed, kTruncated and kBadLength for
  // a length field below 4 the connection is closed; answers already held
  // are still returned, then kNotConnected.
  ClientResult<Answer> ReadAnswer(std::uint32_t timeout_ms);

  // Sends the request and waits for an answer of its type. Answers of other
  // types that arrive first are held for ReadAnswer(); held answers of the
  // same type are dropped as stale. Handshake fails with kServerFull (value
  // filled) when the status is 4.
  ClientResult<HandshakeAnswer> Handshake(std::uint32_t timeout_ms);
  ClientResult<SessionAnswer> FetchSession(std::uint32_t timeout_ms);
  ClientResult<DriversAnswer> FetchDrivers(std::uint32_t timeout_ms);
  ClientResult<LiveAnswer> FetchLive(std::uint32_t timeout_ms);
  // Requests the outline and gathers chunks until it is complete, asking
  // again every 2 s while no chunk arrives (the server sends nothing while
  // no outline is loaded). kTimeout when it is not complete in time. Chunks
  // of a repeated answer may still arrive afterwards.
  ClientResult<TrackOutline> FetchTrackOutline(std::uint32_t timeout_ms);

 private:
  // Closes the socket and drops buffered bytes, keeping held answers.
  void DropConnection();
  ClientResult<Answer> ReadFromSocket(std::uint32_t timeout_ms);
  ClientResult<Answer> FetchOfType(RequestType type, std::uint32_t timeout_ms);
  void HoldAnswer(Answer answer);

  Socket socket_;
  std::string peer_;
  std::vector<std::uint8_t> pending_;  // received bytes not yet part of an answer
  std::deque<Answer> held_;
};

// Connects `client` and shakes hands with the server at `host`: on `port`,
// or with `ports` > 1 on the first of the `ports` ports from `port` whose
// server answers, each tried with a short connect time-out (a host that
// does not answer at all is not tried further). The handshake is in .value
// also when the server is full; the connection is then closed. When no
// port answers the message names the ports tried.
ClientResult<HandshakeAnswer> ConnectToServer(PitwallClient* client, const std::string& host,
                                              std::uint16_t port, int ports,
                                              std::uint32_t handshake_timeout_ms);

#endif  // PITWALL_TOOLS_CLIENT_PITWALL_CLIENT_H_
