#include "platform/thread.h"

#include <exception>
#include <utility>

bool StartThread(std::thread* thread, std::function<void()> body) {
  try {
    *thread = std::thread([body = std::move(body)] {
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
