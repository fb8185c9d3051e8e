// What the server keeps per admitted client, and the pacing rule.
//
// Thread-safety: a ClientConnection is filled by the accept thread before its
// client thread starts, and from then on touched only by that thread.
#ifndef PITWALL_SERVER_CLIENT_CONNECTION_H_
#define PITWALL_SERVER_CLIENT_CONNECTION_H_

#include <cstdint>

#include "pitwall/protocol.h"
#include "platform/socket.h"
#include "server/log_budgets.h"
#include "timing/change_stamps.h"

struct ClientConnection {
  NativeSocket socket = kInvalidSocket;  // borrowed: the server closes it
  std::uint32_t peer_address = 0;        // network byte order
  char peer_text[16] = {};               // dotted form, for log lines
  ChangeState changes;                   // change flags and last-response time
  // Per request type: when a request was last answered at once, whether one
  // ever was, and whether one waits for the deferred answer after the block.
  std::uint32_t last_request_ms[kRequestTypeCount] = {};
  bool answered[kRequestTypeCount] = {};
  std::uint8_t pending[kRequestTypeCount] = {};
  // This connection's side of its address's log budget (AddressLogBudgets).
  LogBudgetCache log_cache;
};

// Decides whether a request of `type` (0 to 4) arriving at `now` is answered
// at once: true when the type's interval has passed since the last answer
// given at once (or none was given yet), which then moves to `now`;
// otherwise the request is marked pending and false returned.
bool PaceRequest(ClientConnection* connection, int type, std::uint32_t now);

#endif  // PITWALL_SERVER_CLIENT_CONNECTION_H_
