#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

LogFile::LogFile(std::string directory) : directory_(std::move(directory)) {}

std::string LogFile::FileName(int port) const {
  char name[64];
  std::snprintf(name, sizeof(name), "%s_%d.log", "PitwallFeedPlugin", port);
  return directory_ + name;
}

void LogFile::WriteLog(const char* text) {
  const int port = bound_port_.load();
  if (port < 1 || text == nullptr) return;
  const std::string name = FileName(port);
  MutexLock lock(&mu_);
  // Text mode: line breaks take the platform's text-file form.
  std::FILE* file = std::fopen(name.c_str(), "a");
  if (file == nullptr) return;
  std::fwrite(text, 1, std::strlen(text), file);
  std::fclose(file);
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
