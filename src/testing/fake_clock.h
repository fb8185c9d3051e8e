// Test support: a clock that moves only when the test says so.
#ifndef PITWALL_TESTING_FAKE_CLOCK_H_
#define PITWALL_TESTING_FAKE_CLOCK_H_

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::uint32_t start = 1000) : now_(start) {}
  std::uint32_t NowMs() const override { return now_.load(); }
  void Set(std::uint32_t ms) { now_.store(ms); }
  void Advance(std::uint32_t ms) { now_.fetch_add(ms); }

 private:
  std::atomic<std::uint32_t> now_;
};

#endif  // PITWALL_TESTING_FAKE_CLOCK_H_
