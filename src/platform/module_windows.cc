#include <atomic>

#include "platform/module.h"
#include "platform/windows_api.h"

namespace {

std::atomic<bool> g_must_not_wait{false};
thread_local bool t_leaving_module = false;

}  // namespace

bool UnloadMustNotWait() { return g_must_not_wait.load(); }

void MarkThreadLeavingModule() { t_leaving_module = true; }

// Runs before the C++ runtime's own detach work (static destructors), so they
// can ask UnloadMustNotWait(). Starts nothing: threads and Winsock start with
// the host's start-up call.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    // A non-null `reserved`: the process is ending, not a FreeLibrary().
    if (reserved != nullptr || t_leaving_module) g_must_not_wait.store(true);
  }
  return TRUE;
}
