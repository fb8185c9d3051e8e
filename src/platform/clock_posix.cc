#include <time.h>

#include "platform/clock.h"

std::uint32_t MonotonicMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Truncation to 32 bits is the clock's wrap.
  const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void SleepMillis(std::uint32_t ms) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1000u);
  ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

const Clock& DefaultClock() {
  static const SystemClock clock;
  return clock;
}
