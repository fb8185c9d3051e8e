#include "platform/clock.h"
#include "platform/windows_api.h"

// GetTickCount() is exactly this clock: milliseconds since system start in
// 32 bits, wrapping after 49.7 days. Its resolution is the system tick
// (10 to 16 ms), enough for 100 ms pacing.
std::uint32_t MonotonicMillis() { return static_cast<std::uint32_t>(::GetTickCount()); }

void SleepMillis(std::uint32_t ms) { ::Sleep(ms); }

const Clock& DefaultClock() {
  static const SystemClock clock;
  return clock;
}
