#include "platform/thread.h"

#include <atomic>

namespace {

std::atomic<ThreadStartFault> g_refuse{nullptr};

}  // namespace

void SetThreadStartFaultForTesting(ThreadStartFault refuse) { g_refuse.store(refuse); }

bool ThreadStartRefused() {
  const ThreadStartFault refuse = g_refuse.load(std::memory_order_relaxed);
  return refuse != nullptr && refuse();
}
