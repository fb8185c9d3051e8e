#include <exception>
#include <system_error>
#include <utility>

#include "platform/thread.h"

bool Thread::Start(std::function<void()> body) {
  try {
    if (ThreadStartRefused()) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
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
