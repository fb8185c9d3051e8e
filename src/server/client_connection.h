// What the server keeps per admitted client, and the pacing rule.
//
// Thread-safety: a ClientConnection is filled by the accept thread before its
// client thread starts, and from then on touched only by that thread.
#ifndef PITWALL_SERVER_CLIENT_CONNECTION_H_
#define PITWALL_SERVER_CLIENT_CONNECTION_H_

#include <cstdint>

#include "pitwall/protocol.h"
#include "platform/socket.h"
#include "timing/change_stamps.h"

// What one client's own mistakes (requests of unknown type or wrong length)
// may write to the log: a burst of lines, then a few a second. Past that,
// its lines are counted instead of written, until it has been quiet for a
// while or closes; then one line gives the count. Normal traffic never
// comes near it.
inline constexpr std::uint32_t kLogBurstLines = 40;
inline constexpr std::uint32_t kLogLinesPerSecond = 4;
inline constexpr std::uint32_t kLogQuietMs = 2000;

struct LogBudget {
  std::uint64_t milli_lines = kLogBurstLines * 1000;  // what may be written now
  std::uint32_t last_ms = 0;                          // when the last line came, written or not
  bool seen = false;
  std::uint32_t dropped = 0;  // lines not written since the budget ran out
};

enum class LogVerdict {
  kWrite,
  kWriteAfterDrops,  // write the count of the lines dropped before, then the line
  kDrop,
};

// Spends the budget on one line at `now` (milliseconds, any wrapping clock).
// On kWriteAfterDrops, *dropped_before is the count to write (the budget's
// own count starts again from 0).
LogVerdict SpendLogLine(LogBudget* budget, std::uint32_t now, std::uint32_t* dropped_before);

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
  LogBudget log_budget;
};

// Decides whether a request of `type` (0 to 4) arriving at `now` is answered
// at once: true when the type's interval has passed since the last answer
// given at once (or none was given yet), which then moves to `now`;
// otherwise the request is marked pending and false returned.
bool PaceRequest(ClientConnection* connection, int type, std::uint32_t now);

#endif  // PITWALL_SERVER_CLIENT_CONNECTION_H_
