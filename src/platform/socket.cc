#include "platform/socket.h"

#include <algorithm>

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
