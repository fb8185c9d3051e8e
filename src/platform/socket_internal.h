// What each platform's socket file gives the shared socket code.
#ifndef PITWALL_PLATFORM_SOCKET_INTERNAL_H_
#define PITWALL_PLATFORM_SOCKET_INTERNAL_H_

#include <cstdint>

#include "platform/socket.h"

namespace socket_internal {

// One wait of at most `ms` milliseconds for `socket` to become readable (or
// writable when `for_write`): 1 ready, 0 timed out, -1 failed.
int WaitOnce(NativeSocket socket, bool for_write, std::uint32_t ms);
// Makes LastSocketError() report kTimedOut on this thread.
void SetTimedOutError();

}  // namespace socket_internal

#endif  // PITWALL_PLATFORM_SOCKET_INTERNAL_H_
