// Test support for the web view's delay: a clock for the bridge that stands
// still while a test publishes a past at the times it chooses, and then runs
// on from where it stands at the real pace (so that the server's timers,
// which wait real time, meet it).
#ifndef PITWALL_TOOLS_WEB_DELAY_TEST_CLOCK_H_
#define PITWALL_TOOLS_WEB_DELAY_TEST_CLOCK_H_

#include <chrono>
#include <functional>

#include "platform/mutex.h"

class DelayTestClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Stands at `start`.
  explicit DelayTestClock(TimePoint start) : at_(start) {}

  TimePoint Now() const {
    MutexLock lock(&mu_);
    return running_ ? std::chrono::steady_clock::now() - behind_ : at_;
  }
  // Stands at `t` (never before a time it has shown).
  void Set(TimePoint t) {
    MutexLock lock(&mu_);
    running_ = false;
    at_ = t;
  }
  void Advance(std::chrono::steady_clock::duration by) { Set(Now() + by); }
  // Runs on from where it stands.
  void Run() {
    MutexLock lock(&mu_);
    behind_ = std::chrono::steady_clock::now() - at_;
    running_ = true;
  }
  // For WebBridgeOptions::clock; this must outlive what it is given to.
  std::function<TimePoint()> Function() const {
    return [this] { return Now(); };
  }

 private:
  mutable Mutex mu_;
  bool running_ GUARDED_BY(mu_) = false;
  TimePoint at_ GUARDED_BY(mu_);
  std::chrono::steady_clock::duration behind_ GUARDED_BY(mu_){};
};

#endif  // PITWALL_TOOLS_WEB_DELAY_TEST_CLOCK_H_
