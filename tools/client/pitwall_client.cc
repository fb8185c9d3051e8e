#include "pitwall_client.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <type_traits>
#include <utility>

#include "pitwall/read_at.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// A peer that floods us with answers we did not ask for must not grow the
// held queue without bound; the oldest held answers go first.
constexpr std::size_t kMaxHeldAnswers = 256;
constexpr std::size_t kReceiveChunk = 16384;

ClientError MakeError(ClientErrorCode code, std::string message) {
  return ClientError{code, std::move(message)};
}

template <typename T>
ClientResult<T> Failure(ClientErrorCode code, std::string message) {
  ClientResult<T> result;
  result.error = MakeError(code, std::move(message));
  return result;
}

// Text of a fixed-width field: the bytes up to the first NUL, or all of them.
std::string FieldText(const char* field, std::size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  const std::size_t length =
      nul == nullptr ? width : static_cast<std::size_t>(static_cast<const char*>(nul) - field);
  return std::string(field, length);
}

const char* TypeName(std::uint8_t type) {
  static constexpr const char* kNames[kRequestTypeCount] = {
      "HandshakeInfo", "UpdateData", "SessionInfo", "VehicleInfo", "Trackstrip"};
  return type < kRequestTypeCount ? kNames[type] : "unknown";
}

std::string BadLength(std::uint8_t type, std::size_t size, const std::string& expected) {
  return std::string(TypeName(type)) + " answer of " + std::to_string(size) + " bytes; expected " +
         expected;
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

// Why a connect failed, from the platform's error vocabulary.
std::string ConnectReason(ClientErrorCode* code, std::uint32_t timeout_ms) {
  switch (LastSocketError()) {
    case SocketError::kRefused:
      *code = ClientErrorCode::kRefused;
      return "connection refused";
    case SocketError::kTimedOut: {
      *code = ClientErrorCode::kTimeout;
      char text[64];
      std::snprintf(text, sizeof(text), "no answer within %g s", timeout_ms / 1000.0);
      return text;
    }
    case SocketError::kNone:
      *code = ClientErrorCode::kConnectFailed;
      return "connection failed";
    default:
      *code = ClientErrorCode::kConnectFailed;
      return LastSocketErrorText();
  }
}

}  // namespace

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

bool ParseEndpoint(std::string_view text, std::string* host, std::uint16_t* port,
                   std::string* error) {
  const std::size_t colon = text.rfind(':');
  const std::string_view host_part = text.substr(0, colon);
  std::uint16_t new_port = *port;
  if (colon != std::string_view::npos) {
    const std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value == 0 ||
        value > 65535) {
      *error = "bad port '" + std::string(digits) + "' (expected 1 to 65535)";
      return false;
    }
    new_port = static_cast<std::uint16_t>(value);
  }
  if (host_part.empty() && colon == std::string_view::npos) {
    *error = "empty host";
    return false;
  }
  if (!host_part.empty()) *host = std::string(host_part);
  *port = new_port;
  return true;
}

ClientResult<std::uint32_t> ResolveHost(const std::string& host) {
  ClientResult<std::uint32_t> result;
  if (host == "localhost") {
    result.value = LoopbackIPv4();
  } else if (!ParseIPv4(host.c_str(), &result.value) && !LookupIPv4(host.c_str(), &result.value)) {
    result.error = MakeError(ClientErrorCode::kBadAddress,
                             "unknown host '" + host + "' (no IPv4 address found for it)");
  }
  return result;
}

void TrackAssembler::Reset() {
  started_ = false;
  directory_.clear();
  outline_.strips.clear();
  received_.clear();
  expected_ = 0;
  missing_ = 0;
}

ClientError TrackAssembler::Add(const TrackChunk& chunk) {
  const auto same_directory = [&] {
    if (chunk.directory.size() != directory_.size()) return false;
    for (std::size_t i = 0; i < directory_.size(); ++i) {
      if (chunk.directory[i].kind != directory_[i].kind ||
          chunk.directory[i].point_count != directory_[i].point_count) {
        return false;
      }
    }
    return true;
  };
  if (chunk.strip_index >= chunk.directory.size() ||
      std::uint64_t{chunk.first_point} + chunk.points.size() >
          chunk.directory[chunk.strip_index].point_count) {
    return MakeError(ClientErrorCode::kBadContent, "track chunk lies outside its strip");
  }
  if (!started_ || !same_directory()) {
    std::uint64_t total = 0;
    for (const StripDirectoryItem& item : chunk.directory) total += item.point_count;
    if (total > kMaxPoints) {
      return MakeError(ClientErrorCode::kBadContent,
                       "track outline of " + std::to_string(total) + " points is too large");
    }
    Reset();
    started_ = true;
    directory_ = chunk.directory;
    for (const StripDirectoryItem& item : directory_) {
      outline_.strips.push_back(
          OutlineStrip{item.kind, std::vector<OutlinePoint>(item.point_count)});
      received_.emplace_back(item.point_count, false);
    }
    expected_ = static_cast<std::size_t>(total);
    missing_ = expected_;
  }
  OutlineStrip& strip = outline_.strips[chunk.strip_index];
  std::vector<bool>& received = received_[chunk.strip_index];
  for (std::size_t i = 0; i < chunk.points.size(); ++i) {
    const std::size_t at = chunk.first_point + i;
    strip.points[at] = chunk.points[i];
    if (!received[at]) {
      received[at] = true;
      --missing_;
    }
  }
  return ClientError{};
}

ClientError PitwallClient::Connect(const std::string& host, std::uint16_t port,
                                   std::uint32_t timeout_ms) {
  Close();
  peer_ = host + ":" + std::to_string(port);
  const ClientResult<std::uint32_t> address = ResolveHost(host);
  if (!address.ok()) {
    return MakeError(address.error.code,
                     "cannot connect to " + peer_ + ": " + address.error.message);
  }
  socket_ = ConnectIPv4Within(address.value, port, timeout_ms);
  if (!socket_.valid()) {
    ClientErrorCode code;
    const std::string reason = ConnectReason(&code, timeout_ms);
    return MakeError(code, "cannot connect to " + peer_ + ": " + reason);
  }
  return ClientError{};
}

void PitwallClient::Close() {
  DropConnection();
  held_.clear();
}

void PitwallClient::DropConnection() {
  socket_.Close();
  pending_.clear();
}

ClientError PitwallClient::SendBytes(const std::uint8_t* data, std::size_t size) {
  if (!socket_.valid()) return MakeError(ClientErrorCode::kNotConnected, "not connected");
  std::size_t sent = 0;
  while (sent < size) {
    const long n = SendSome(socket_.get(), data + sent, size - sent);
    if (n <= 0) return MakeError(ClientErrorCode::kSendFailed, "cannot send to " + peer_);
    sent += static_cast<std::size_t>(n);
  }
  return ClientError{};
}

ClientError PitwallClient::Send(RequestType type) {
  const std::array<std::uint8_t, 3> request = EncodeRequest(type);
  return SendBytes(request.data(), request.size());
}

ClientResult<Answer> PitwallClient::ReadAnswer(std::uint32_t timeout_ms) {
  if (!held_.empty()) {
    ClientResult<Answer> result;
    result.value = std::move(held_.front());
    held_.pop_front();
    return result;
  }
  return ReadFromSocket(timeout_ms);
}

ClientResult<Answer> PitwallClient::ReadFromSocket(std::uint32_t timeout_ms) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::size_t length = WholeAnswerLength(pending_.data(), pending_.size());
    if (length == kMalformedAnswer) {
      const std::string field = std::to_string(ReadAt<std::uint16_t>(pending_.data(), 0));
      DropConnection();
      return Failure<Answer>(
          ClientErrorCode::kBadLength,
          "answer with length field " + field + ", shorter than its header; connection dropped");
    }
    if (length > 0) {
      ClientResult<Answer> result = DecodeAnswer(pending_.data(), length);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
      return result;
    }
    if (!socket_.valid()) return Failure<Answer>(ClientErrorCode::kNotConnected, "not connected");
    const auto now = SteadyClock::now();
    if (now >= deadline && timeout_ms > 0) {
      return Failure<Answer>(
          ClientErrorCode::kTimeout,
          "no whole answer from " + peer_ + " within " + std::to_string(timeout_ms) + " ms");
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    std::uint8_t chunk[kReceiveChunk];
    const long n = RecvSomeWithin(socket_.get(), chunk, sizeof(chunk),
                                  static_cast<std::uint32_t>(left > 1 ? left : 1));
    const SocketError reason = n < 0 ? LastSocketError() : SocketError::kNone;
    if (n > 0) {
      pending_.insert(pending_.end(), chunk, chunk + n);
      continue;
    }
    const bool timed_out = n < 0 && reason == SocketError::kTimedOut;
    if (timed_out) {
      if (timeout_ms == 0) {
        return Failure<Answer>(ClientErrorCode::kTimeout, "no whole answer has arrived");
      }
      continue;
    }
    const std::size_t buffered = pending_.size();
    const std::string how = n == 0 ? "closed by " + peer_ : "lost (receive failed)";
    if (buffered == 0) {
      DropConnection();
      return Failure<Answer>(ClientErrorCode::kClosed, "connection " + how);
    }
    std::string detail = "connection " + how + " after " + std::to_string(buffered) + " byte(s)";
    if (buffered >= 2) {
      detail +=
          " of a " + std::to_string(ReadAt<std::uint16_t>(pending_.data(), 0)) + "-byte answer";
    }
    DropConnection();
    return Failure<Answer>(ClientErrorCode::kTruncated, detail);
  }
}

void PitwallClient::HoldAnswer(Answer answer) {
  if (held_.size() >= kMaxHeldAnswers) held_.pop_front();
  held_.push_back(std::move(answer));
}

ClientResult<Answer> PitwallClient::FetchOfType(RequestType type, std::uint32_t timeout_ms) {
  std::erase_if(held_, [type](const Answer& held) { return held.index() == type; });
  const ClientError sent = Send(type);
  if (!sent.ok()) return ClientResult<Answer>{sent, {}};
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
            .count();
    if (left <= 0) {
      return Failure<Answer>(ClientErrorCode::kTimeout, std::string("no ") + TypeName(type) +
                                                            " answer from " + peer_ + " within " +
                                                            std::to_string(timeout_ms) + " ms");
    }
    ClientResult<Answer> result = ReadFromSocket(static_cast<std::uint32_t>(left));
    if (!result.ok() || result.value.index() == type) return result;
    HoldAnswer(std::move(result.value));
  }
}

ClientResult<HandshakeAnswer> PitwallClient::Handshake(std::uint32_t timeout_ms) {
  ClientResult<Answer> answer = FetchOfType(kHandshakeInfo, timeout_ms);
  if (!answer.ok()) return ClientResult<HandshakeAnswer>{answer.error, {}};
  ClientResult<HandshakeAnswer> result{{}, std::get<HandshakeAnswer>(answer.value)};
  if (result.value.status == kHandshakeServerFull) {
    result.error = MakeError(ClientErrorCode::kServerFull,
                             "server full: " + peer_ +
                                 " already serves as many clients as it may (MaxConnections= "
                                 "in the [GENERAL] section of its PitwallFeedPlugin.ini, " +
                                 std::to_string(kMinConnectionLimit) + " to " +
                                 std::to_string(kMaxConnectionLimit) + ", sets how many)");
  }
  return result;
}

ClientResult<SessionAnswer> PitwallClient::FetchSession(std::uint32_t timeout_ms) {
  ClientResult<Answer> answer = FetchOfType(kSessionInfo, timeout_ms);
  if (!answer.ok()) return ClientResult<SessionAnswer>{answer.error, {}};
  return ClientResult<SessionAnswer>{{}, std::get<SessionAnswer>(std::move(answer.value))};
}

ClientResult<DriversAnswer> PitwallClient::FetchDrivers(std::uint32_t timeout_ms) {
  ClientResult<Answer> answer = FetchOfType(kVehicleInfo, timeout_ms);
  if (!answer.ok()) return ClientResult<DriversAnswer>{answer.error, {}};
  return ClientResult<DriversAnswer>{{}, std::get<DriversAnswer>(std::move(answer.value))};
}

ClientResult<LiveAnswer> PitwallClient::FetchLive(std::uint32_t timeout_ms) {
  ClientResult<Answer> answer = FetchOfType(kUpdateData, timeout_ms);
  if (!answer.ok()) return ClientResult<LiveAnswer>{answer.error, {}};
  return ClientResult<LiveAnswer>{{}, std::get<LiveAnswer>(std::move(answer.value))};
}

ClientResult<TrackOutline> PitwallClient::FetchTrackOutline(std::uint32_t timeout_ms) {
  TrackAssembler assembler;
  // Chunks already held belong to the outline too.
  for (auto it = held_.begin(); it != held_.end();) {
    if (const auto* chunk = std::get_if<TrackChunk>(&*it)) {
      assembler.Add(*chunk);
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
  const auto start = SteadyClock::now();
  const auto deadline = start + std::chrono::milliseconds(timeout_ms);
  const auto ask_again = std::chrono::milliseconds(kPacingIntervalMs[kTrackstrip]);
  auto last_sign = start - ask_again;  // last request sent or chunk received
  while (!assembler.complete()) {
    const auto now = SteadyClock::now();
    if (now >= deadline) {
      std::string what =
          assembler.started()
              ? "track outline incomplete: " + std::to_string(assembler.points_missing()) + " of " +
                    std::to_string(assembler.points_expected()) + " points missing after " +
                    std::to_string(timeout_ms) + " ms"
              : "no track outline from " + peer_ + " within " + std::to_string(timeout_ms) +
                    " ms (none is sent while the track is not loaded)";
      return Failure<TrackOutline>(ClientErrorCode::kTimeout, std::move(what));
    }
    if (now - last_sign >= ask_again) {
      const ClientError sent = Send(kTrackstrip);
      if (!sent.ok()) return ClientResult<TrackOutline>{sent, {}};
      last_sign = now;
    }
    const auto until = std::min(deadline, last_sign + ask_again);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    ClientResult<Answer> result = ReadFromSocket(static_cast<std::uint32_t>(left > 1 ? left : 1));
    if (result.error.code == ClientErrorCode::kTimeout) continue;
    if (!result.ok()) return ClientResult<TrackOutline>{result.error, {}};
    if (const auto* chunk = std::get_if<TrackChunk>(&result.value)) {
      const ClientError added = assembler.Add(*chunk);
      if (!added.ok()) return ClientResult<TrackOutline>{added, {}};
      last_sign = SteadyClock::now();
    } else {
      HoldAnswer(std::move(result.value));
    }
  }
  return ClientResult<TrackOutline>{{}, assembler.outline()};
}

ClientResult<HandshakeAnswer> ConnectToServer(PitwallClient* client, const std::string& host,
                                              std::uint16_t port, int ports,
                                              std::uint32_t handshake_timeout_ms) {
  constexpr std::uint32_t kProbeConnectTimeoutMs = 1000;
  ClientResult<HandshakeAnswer> result;
  for (int i = 0; i < ports && port + i <= 65535; ++i) {
    result = ClientResult<HandshakeAnswer>{};
    result.error = client->Connect(host, static_cast<std::uint16_t>(port + i),
                                   ports > 1 ? kProbeConnectTimeoutMs : kConnectTimeoutMs);
    if (result.error.ok()) {
      result = client->Handshake(handshake_timeout_ms);
      if (result.ok()) return result;
      client->Close();
      if (result.error.code == ClientErrorCode::kServerFull) return result;
    }
    if (result.error.code == ClientErrorCode::kBadAddress ||
        result.error.code == ClientErrorCode::kTimeout) {
      return result;
    }
  }
  if (ports > 1) {
    result.error.message = "no PitwallFeed server at " + host + " on ports " +
                           std::to_string(port) + " to " + std::to_string(port + ports - 1) + " (" +
                           ClientErrorName(result.error.code) + " on each)";
  }
  return result;
}
