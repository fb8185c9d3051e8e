// The PitwallFeed server's answers as plain structs, decoded from their
// framed bytes, and the errors a client reports: the wire half of the
// client, with no socket in it.
//
// Errors are values: the decoder returns a ClientResult<T> holding a
// ClientError (code kOk on success); nothing throws on bad input from the
// server. Every length field is checked against its answer's type before a
// byte of the body is read.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_CLIENT_ANSWER_DECODING_H_
#define PITWALL_TOOLS_CLIENT_ANSWER_DECODING_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "pitwall/protocol.h"

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

// The name of an answer type, e.g. "SessionInfo"; "unknown" above 4.
const char* AnswerTypeName(std::uint8_t type);

// The three bytes of a bare request of `type`: 03 00 <type>.
std::array<std::uint8_t, 3> EncodeRequest(RequestType type);

// Decodes one whole message of `size` bytes. Fails with kBadLength when the
// length field is not `size` or does not fit the type and the counts inside,
// kBadType for a type above 4, kBadContent for a chunk that lies outside its
// strip. Never reads beyond `size` bytes.
ClientResult<Answer> DecodeAnswer(const std::uint8_t* message, std::size_t size);

// A failure of `code` with its message.
inline ClientError MakeError(ClientErrorCode code, std::string message) {
  return ClientError{code, std::move(message)};
}
template <typename T>
ClientResult<T> Failure(ClientErrorCode code, std::string message) {
  ClientResult<T> result;
  result.error = MakeError(code, std::move(message));
  return result;
}

#endif  // PITWALL_TOOLS_CLIENT_ANSWER_DECODING_H_
