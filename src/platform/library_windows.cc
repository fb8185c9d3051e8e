#include "platform/library.h"
#include "platform/windows_api.h"

bool SharedLibrary::Open(const std::string& path, std::string* error) {
  Close();
  handle_ = ::LoadLibraryA(path.c_str());
  if (handle_ == nullptr) {
    *error = WindowsErrorText(::GetLastError(), "error");
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
