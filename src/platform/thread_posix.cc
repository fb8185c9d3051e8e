#include <exception>
#include <utility>

#include "platform/thread.h"

bool Thread::Start(std::function<void()> body) {
  try {
    thread_ = std::thread([body = std::move(body)] {
      try {
        body();
      } catch (...) {
      }
    });
    return true;
  } catch (...) {
    return false;
  }
}

void Thread::Join() {
  if (thread_.joinable()) thread_.join();
}

bool Thread::joinable() const { return thread_.joinable(); }
