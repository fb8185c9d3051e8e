#include <new>
#include <utility>

#include "platform/module.h"
#include "platform/thread.h"
#include "platform/windows_api.h"

namespace {

struct ThreadStart {
  std::function<void()> body;
  HMODULE module = nullptr;  // the reference this thread drops at its end
};

DWORD WINAPI ThreadEntry(void* argument) {
  auto* start = static_cast<ThreadStart*>(argument);
  const HMODULE module = start->module;
  try {
    start->body();
  } catch (...) {
  }
  delete start;
  // Never returns into this module's code: the reference may be the last.
  if (module != nullptr) {
    MarkThreadLeavingModule();
    ::FreeLibraryAndExitThread(module, 0);
  }
  return 0;
}

// A new reference on the DLL this code is linked into; null in a program.
HMODULE ReferenceOwnModule() {
  HMODULE module = nullptr;
  const auto address = reinterpret_cast<LPCWSTR>(&ThreadEntry);
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          address, &module) ||
      module == ::GetModuleHandleW(nullptr)) {
    return nullptr;
  }
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, address, &module))
    return nullptr;
  return module;
}

}  // namespace

bool Thread::Start(std::function<void()> body) {
  if (ThreadStartRefused()) return false;
  ThreadStart* start = new (std::nothrow) ThreadStart;
  if (start == nullptr) return false;
  start->body = std::move(body);
  start->module = ReferenceOwnModule();
  HANDLE handle = ::CreateThread(nullptr, 0, ThreadEntry, start, 0, nullptr);
  if (handle == nullptr) {
    if (start->module != nullptr) ::FreeLibrary(start->module);
    delete start;
    return false;
  }
  handle_ = handle;
  return true;
}

void Thread::Join() {
  if (handle_ == nullptr) return;
  ::WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

bool Thread::joinable() const { return handle_ != nullptr; }
