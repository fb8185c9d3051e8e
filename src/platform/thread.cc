#include "platform/thread.h"

#include <exception>
#include <utility>

bool StartThread(std::thread* thread, std::function<void()> body) {
  try {
    *thread = std::thread(std::move(body));
    return true;
  } catch (...) {
    return false;
  }
}
