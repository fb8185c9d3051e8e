#include "platform/socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/socket_internal.h"

namespace {

WaitResult WaitFor(NativeSocket socket, bool for_write, std::uint32_t timeout_ms,
                   const std::atomic<bool>* running) {
  const std::uint32_t start = MonotonicMillis();
  for (;;) {
    if (running != nullptr && !running->load()) return WaitResult::kStopped;
    std::uint32_t slice = running != nullptr ? kStopCheckMs : timeout_ms;
    if (timeout_ms != kWaitForever) {
      // Unsigned difference: correct across the clock's wrap.
      const std::uint32_t waited = MonotonicMillis() - start;
      if (waited >= timeout_ms) {
        if (timeout_ms != 0) return WaitResult::kTimedOut;
        slice = 0;  // a zero time-out still looks once
      } else {
        slice = std::min(slice, timeout_ms - waited);
      }
    }
    const int r = socket_internal::WaitOnce(socket, for_write, slice);
    if (r > 0) return WaitResult::kReady;
    if (r < 0) return WaitResult::kFailed;
    if (timeout_ms == 0) return WaitResult::kTimedOut;
  }
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.Release();
  }
  return *this;
}

NativeSocket Socket::Release() {
  const NativeSocket handle = handle_;
  handle_ = kInvalidSocket;
  return handle;
}

WaitResult WaitReadable(NativeSocket socket, std::uint32_t timeout_ms,
                        const std::atomic<bool>* running) {
  return WaitFor(socket, false, timeout_ms, running);
}

WaitResult WaitWritable(NativeSocket socket, std::uint32_t timeout_ms,
                        const std::atomic<bool>* running) {
  return WaitFor(socket, true, timeout_ms, running);
}

long RecvSomeWithin(NativeSocket socket, void* buffer, std::size_t length,
                    std::uint32_t timeout_ms) {
  switch (WaitReadable(socket, timeout_ms)) {
    case WaitResult::kReady:
      return RecvSome(socket, buffer, length);
    case WaitResult::kTimedOut:
      socket_internal::SetTimedOutError();
      return -1;
    default:
      return -1;
  }
}

// The resolver has the same interface on both platforms.
bool LookupIPv4(const char* name, std::uint32_t* address) {
  if (name == nullptr || *name == '\0') return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  bool ok = false;
  for (const addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
      sockaddr_in in{};
      std::memcpy(&in, a->ai_addr, sizeof(in));
      *address = static_cast<std::uint32_t>(in.sin_addr.s_addr);
      ok = true;
    }
  }
  ::freeaddrinfo(found);
  return ok;
}
