#include "timing/change_stamps.h"

namespace {

// True when clock reading `a` is later than `b`. Readings wrap every 49.7
// days; two readings less than 24.8 days apart compare correctly.
bool Later(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) > 0; }

}  // namespace

void ChangeStamps::RaiseLastTaken(std::uint32_t now) {
  std::uint32_t seen = last_taken_.load();
  while ((!any_taken_.load() || Later(now, seen)) &&
         !last_taken_.compare_exchange_weak(seen, now)) {
  }
  any_taken_.store(true);
}

void ChangeStamps::StampChanges(std::uint8_t mask) {
  mask &= (1u << kCategories) - 1;
  if (mask == 0) return;
  std::uint32_t t = clock_.NowMs();
  // Store first, then look at the latest computation (a connection does the
  // opposite): of two racing parties at least one sees the other. If a
  // computation at time >= t may have missed this stamp, move the stamp past
  // it so that the connection's next computation reports it.
  for (;;) {
    for (int k = 0; k < kCategories; ++k) {
      if (mask & (1u << k)) stamps_[k].store(t);
    }
    stamped_.fetch_or(mask);
    const std::uint32_t taken = last_taken_.load();
    if (!any_taken_.load() || Later(t, taken)) break;
    t = taken + 1;
  }
}

void ChangeStamps::TakeChangeMask(ChangeState* connection) {
  const std::uint32_t now = clock_.NowMs();
  RaiseLastTaken(now);
  const std::uint8_t stamped = stamped_.load();
  std::uint8_t flags = 0;
  for (int k = 0; k < kCategories; ++k) {
    if (!(stamped & (1u << k))) continue;
    // Strictly later: a stamp equal to the last computation time was seen by
    // that computation.
    if (!connection->taken || Later(stamps_[k].load(), connection->last_response_ms)) {
      flags |= static_cast<std::uint8_t>(1u << k);
    }
  }
  connection->change_flags = flags;
  connection->last_response_ms = now;
  connection->taken = true;
}
