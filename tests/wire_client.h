// Test support: a raw protocol client over loopback that reads framed
// answers with time-outs, so a missing answer fails a test instead of
// hanging it.
#ifndef PITWALL_TESTS_WIRE_CLIENT_H_
#define PITWALL_TESTS_WIRE_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "pitwall/protocol.h"
#include "platform/socket.h"
#include "testing/eventually.h"
#include "testing/wire_bytes.h"

class WireClient {
 public:
  bool Connect(std::uint16_t port) {
    socket_ = ConnectIPv4(LoopbackIPv4(), port);
    return socket_.valid();
  }
  void Close() { socket_.Close(); }
  NativeSocket handle() const { return socket_.get(); }

  bool Send(const Bytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const long n = SendSome(socket_.get(), bytes.data() + sent, bytes.size() - sent);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Sends a bare request of `type`.
  bool Request(std::uint8_t type) { return Send({3, 0, type}); }

  // One whole answer (by its length field), or false after `timeout_ms`
  // or when the connection ends.
  bool ReadMessage(Bytes* message, std::uint32_t timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const std::size_t length = WholeAnswerLength(pending_.data(), pending_.size());
      if (length == kMalformedAnswer) return false;
      if (length > 0) {
        message->assign(pending_.begin(), pending_.begin() + static_cast<long>(length));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(length));
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (Receive(50) <= 0 && closed_) return false;
    }
  }
  // True when nothing at all arrives for `ms`.
  bool Quiet(std::uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!pending_.empty() || Receive(20) > 0) return false;
      if (closed_) return true;
    }
    return pending_.empty();
  }
  // True when the server ends the connection within `timeout_ms`.
  bool WaitClosed(std::uint32_t timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!closed_ && std::chrono::steady_clock::now() < deadline) Receive(50);
    return closed_;
  }

 private:
  // One receive with a time-out; > 0 bytes added, 0 closed, < 0 nothing.
  long Receive(std::uint32_t timeout_ms) {
    std::uint8_t chunk[16384];
    const long n = RecvSomeWithin(socket_.get(), chunk, sizeof(chunk), timeout_ms);
    if (n > 0) {
      pending_.insert(pending_.end(), chunk, chunk + n);
    } else if (n == 0) {
      closed_ = true;
    } else if (LastSocketError() != SocketError::kTimedOut) {
      closed_ = true;  // reset by the peer
    }
    return n;
  }

  Socket socket_;
  Bytes pending_;
  bool closed_ = false;
};

inline int CountOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size())) {
    ++n;
  }
  return n;
}

// Polls `read` until its text holds `needle` at least `count` times or
// `timeout_ms` passes; returns the last text read.
template <typename Read>
std::string WaitForCount(Read read, const std::string& needle, int count, int timeout_ms = 10000) {
  std::string text;
  Eventually([&] { return CountOf(text = read(), needle) >= count; }, timeout_ms);
  return text;
}

// WaitForCount() for one `needle`.
template <typename Read>
std::string WaitForText(Read read, const std::string& needle, int timeout_ms = 10000) {
  return WaitForCount(read, needle, 1, timeout_ms);
}

// A port that was free a moment ago (bound to 0, then released).
inline std::uint16_t FreePort() {
  Socket s = OpenTcpSocket();
  if (!BindIPv4(s.get(), 0, 0)) return 0;
  return LocalPort(s.get());
}

#endif  // PITWALL_TESTS_WIRE_CLIENT_H_
