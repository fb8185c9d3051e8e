// Change tracking: one time stamp per change category for the whole module,
// and per connection the time of its last change-mask computation. A
// connection's change mask is the set of categories stamped since then.
//
// Thread-safety: StampChanges() and TakeChangeMask() may run on any threads
// at once; a ChangeState belongs to one connection's thread.
#ifndef PITWALL_TIMING_CHANGE_STAMPS_H_
#define PITWALL_TIMING_CHANGE_STAMPS_H_

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

// What change tracking keeps per connection. All zero for a new connection.
struct ChangeState {
  std::uint8_t change_flags = 0;       // the mask of the last computation
  std::uint32_t last_response_ms = 0;  // clock reading of the last computation
  bool taken = false;                  // false until the first computation
};

class ChangeStamps {
 public:
  static constexpr int kCategories = 5;

  // `clock` must outlive this object.
  explicit ChangeStamps(const Clock& clock) : clock_(clock) {}
  ChangeStamps(const ChangeStamps&) = delete;
  ChangeStamps& operator=(const ChangeStamps&) = delete;

  // Stamps every category named by bits 0 to 4 of `mask` with one clock
  // reading; higher bits are ignored. The stamp is placed after the latest
  // mask computation of any connection, so a change made in the same
  // millisecond as a computation is reported by the next one instead of
  // being lost.
  void StampChanges(std::uint8_t mask);

  // Stores in connection->change_flags the categories stamped after the
  // connection's previous computation (for its first one: every category
  // stamped since this object was made) and moves its last-response time to
  // now. Every computation consumes what it reports.
  void TakeChangeMask(ChangeState* connection);

  // The stamp of one category (0 to 4), for inspection.
  std::uint32_t stamp(int category) const { return stamps_[category].load(); }

 private:
  // Moves last_taken_ forward to `now` unless a later reading is there.
  void RaiseLastTaken(std::uint32_t now);

  const Clock& clock_;
  // Each value is read and written whole; sequential consistency orders a
  // stamp against a concurrent computation (see StampChanges).
  std::atomic<std::uint32_t> stamps_[kCategories] = {};
  std::atomic<std::uint8_t> stamped_{0};      // categories stamped at least once
  std::atomic<std::uint32_t> last_taken_{0};  // latest computation time
  std::atomic<bool> any_taken_{false};
};

#endif  // PITWALL_TIMING_CHANGE_STAMPS_H_
