#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/files.h"

LogFile::LogFile(std::string directory) : directory_(std::move(directory)) {}

bool LogFile::FileName(int port, char* name, std::size_t size) const {
  const int n =
      std::snprintf(name, size, "%s%s_%d.log", directory_.c_str(), "PitwallFeedPlugin", port);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

void LogFile::WriteLog(const char* text) {
  const int port = bound_port_.load();
  if (port < 1 || text == nullptr) return;
  char name[4096];
  if (!FileName(port, name, sizeof(name))) return;
  Append(name, text);
}

void LogFile::Append(const char* name, const char* text) {
  MutexLock lock(&mu_);
  // Text mode: line breaks take the platform's text-file form.
  UniqueFile file(std::fopen(name, "a"));
  if (file != nullptr) std::fwrite(text, 1, std::strlen(text), file.get());
}

void LogFile::Printf(const char* format, ...) {
  char line[kMaxLine];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  if (n < 0) return;
  WriteLog(line);
}

void LogFile::PrintfUnbound(const char* format, ...) {
  char line[kMaxLine];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  char name[4096];
  const int m = std::snprintf(name, sizeof(name), "%sPitwallFeedPlugin.log", directory_.c_str());
  if (n < 0 || m <= 0 || static_cast<std::size_t>(m) >= sizeof(name)) return;
  Append(name, line);
}
