// The millisecond clock: milliseconds since system start, 32 bits, wrapping
// about every 49.7 days. Compare two readings by unsigned difference, never
// with < or >.
#ifndef PITWALL_PLATFORM_CLOCK_H_
#define PITWALL_PLATFORM_CLOCK_H_

#include <cstdint>

// Reads the system's monotonic clock. Thread-safe.
std::uint32_t MonotonicMillis();

// Sleeps the calling thread for about `ms` milliseconds.
void SleepMillis(std::uint32_t ms);

// What code that needs the time reads, so tests can set it. Implementations
// must be thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint32_t NowMs() const = 0;
};

class SystemClock final : public Clock {
 public:
  std::uint32_t NowMs() const override { return MonotonicMillis(); }
};

// The process-wide system clock (stateless).
const Clock& DefaultClock();

#endif  // PITWALL_PLATFORM_CLOCK_H_
