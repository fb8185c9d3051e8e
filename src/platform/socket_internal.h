// What each platform's socket file gives the shared socket code.
#ifndef PITWALL_PLATFORM_SOCKET_INTERNAL_H_
#define PITWALL_PLATFORM_SOCKET_INTERNAL_H_

#ifdef _WIN32
#include "platform/windows_api.h"
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstdint>

#include "platform/socket.h"

namespace socket_internal {

// An IPv4 address (network byte order) and port (host byte order).
inline sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  return sa;
}

// One wait of at most `ms` milliseconds for `socket` to become readable (or
// writable when `for_write`): 1 ready, 0 timed out, -1 failed.
int WaitOnce(NativeSocket socket, bool for_write, std::uint32_t ms);
// Makes LastSocketError() report kTimedOut on this thread.
void SetTimedOutError();

}  // namespace socket_internal

#endif  // PITWALL_PLATFORM_SOCKET_INTERNAL_H_
