// Waiting in tests for a condition rather than sleeping a fixed time.
#ifndef PITWALL_TESTING_EVENTUALLY_H_
#define PITWALL_TESTING_EVENTUALLY_H_

#include <chrono>
#include <thread>

// Calls `done` every `poll_ms` until it holds or `timeout_ms` pass; whether
// it held.
template <typename Done>
bool Eventually(Done done, int timeout_ms = 5000, int poll_ms = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
  return true;
}

#endif  // PITWALL_TESTING_EVENTUALLY_H_
