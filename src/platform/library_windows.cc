#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/library.h"

namespace {

std::string LastErrorText() {
  const DWORD code = ::GetLastError();
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof(text), nullptr);
  std::string result(text, n);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  if (result.empty()) result = "error " + std::to_string(code);
  return result;
}

}  // namespace

bool SharedLibrary::Open(const std::string& path, std::string* error) {
  Close();
  handle_ = ::LoadLibraryA(path.c_str());
  if (handle_ == nullptr) {
    *error = LastErrorText();
    return false;
  }
  return true;
}

void* SharedLibrary::Find(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void SharedLibrary::Close() {
  if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}
