#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <atomic>

#include "platform/module.h"

namespace {

std::atomic<bool> g_process_exiting{false};

}  // namespace

bool ProcessIsExiting() { return g_process_exiting.load(); }

// Runs before the C++ runtime's own detach work (static destructors), so they
// can ask ProcessIsExiting(). Starts nothing: threads and Winsock start with
// the host's start-up call.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // A non-null `reserved` on detach: the process is ending, not FreeLibrary().
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) g_process_exiting.store(true);
  return TRUE;
}
