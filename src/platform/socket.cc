#include "platform/socket.h"

#if defined(_WIN32)
#include "platform/windows_api.h"
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstdio>
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

// An address in network byte order from its four bytes, first byte first.
std::uint32_t FromBytes(const unsigned char (&bytes)[4]) {
  std::uint32_t address;
  std::memcpy(&address, bytes, sizeof(address));
  return address;
}

// One number of dotted text as inet_aton() reads it: decimal, octal after a
// leading 0, hexadecimal after 0x. Advances *text past it; false when no
// number starts there or it passes `max`.
bool ParseAddressPart(const char** text, std::uint64_t max, std::uint64_t* value) {
  const char* p = *text;
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  const char* digits = p;
  std::uint64_t v = 0;
  for (;; ++p) {
    unsigned d;
    if (*p >= '0' && *p <= '9') {
      d = static_cast<unsigned>(*p - '0');
    } else if (*p >= 'a' && *p <= 'f') {
      d = static_cast<unsigned>(*p - 'a') + 10;
    } else if (*p >= 'A' && *p <= 'F') {
      d = static_cast<unsigned>(*p - 'A') + 10;
    } else {
      break;
    }
    if (d >= base) break;
    v = v * base + d;
    if (v > max) return false;
  }
  if (p == digits) return false;
  *text = p;
  *value = v;
  return true;
}

}  // namespace

bool ParseIPv4(const char* dotted, std::uint32_t* address) {
  if (dotted == nullptr) return false;
  // "a.b.c.d", or fewer parts whose last fills the bytes left: "a.b.c"
  // (c 16 bits), "a.b" (b 24 bits), "a" (32 bits).
  std::uint64_t parts[4] = {};
  int count = 0;
  const char* p = dotted;
  for (;;) {
    if (count == 4 || !ParseAddressPart(&p, 0xFFFFFFFFu, &parts[count])) return false;
    ++count;
    if (*p == '\0') break;
    if (*p++ != '.') return false;
  }
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return false;
  }
  const int last_bits = 8 * (5 - count);
  const std::uint64_t last = parts[count - 1];
  if (last_bits < 32 && last >> last_bits != 0) return false;
  std::uint32_t host = static_cast<std::uint32_t>(last);
  for (int i = 0; i < count - 1; ++i) host |= static_cast<std::uint32_t>(parts[i]) << (24 - 8 * i);
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(host >> 24), static_cast<unsigned char>(host >> 16),
      static_cast<unsigned char>(host >> 8), static_cast<unsigned char>(host)};
  *address = FromBytes(bytes);
  return true;
}

void FormatIPv4(std::uint32_t address, char (&text)[16]) {
  unsigned char b[4];
  std::memcpy(b, &address, sizeof(b));
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

std::uint32_t LoopbackIPv4() { return FromBytes({127, 0, 0, 1}); }

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
