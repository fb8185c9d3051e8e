#include "pitwall_client.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "pitwall/read_at.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// A peer that floods us with answers we did not ask for must not grow the
// held queue without bound; the oldest held answers go first.
constexpr std::size_t kMaxHeldAnswers = 256;
constexpr std::size_t kReceiveChunk = 16384;

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
      return Failure<Answer>(ClientErrorCode::kTimeout, std::string("no ") + AnswerTypeName(type) +
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
