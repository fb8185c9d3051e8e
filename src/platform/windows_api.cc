#include "platform/windows_api.h"

std::string WindowsErrorText(unsigned long code, const char* fallback) {
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof(text), nullptr);
  std::string result(text, n);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == '.' || result.back() == ' ')) {
    result.pop_back();
  }
  if (result.empty()) result = std::string(fallback) + " " + std::to_string(code);
  return result;
}
