#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/files.h"

namespace {

// Longest file name with its directory, and the old copy's, with ".1".
constexpr std::size_t kMaxName = 4096;
constexpr std::size_t kMaxOldName = kMaxName + 2;

// Whether `length` more bytes would take `file` (open for appending) past
// `limit` while it already holds something. A file too large for ftell()
// to tell (past 2 GiB where a long has 32 bits) is past any limit; one that
// cannot seek at all (a pipe) never is.
bool WouldPassLimit(std::FILE* file, std::size_t length, long limit) {
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long size = std::ftell(file);
  if (size < 0) return true;
  if (size == 0) return false;
  return size >= limit || length > static_cast<unsigned long>(limit - size);
}

// Renames the file `name` to its old copy and opens it anew (emptied when
// the rename failed), with a first line that says what became of the
// earlier lines. `shown_from` is where the old copy's name begins without
// its directory. Null when the file cannot be opened.
UniqueFile BeginAnew(const char* name, std::size_t shown_from, long limit) {
  char old_name[kMaxOldName];
  const int n = std::snprintf(old_name, sizeof(old_name), "%s.1", name);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof(old_name)) return nullptr;
  const bool renamed = RenameOver(name, old_name);
  UniqueFile file(std::fopen(name, renamed ? "a" : "w"));
  if (file == nullptr) return file;
  const char* shown = old_name + (shown_from < static_cast<std::size_t>(n) ? shown_from : 0);
  char line[LogFile::kMaxLine];
  const int m =
      renamed ? std::snprintf(line, sizeof(line),
                              "Log file reached %ld bytes; the earlier lines are in %s.\n", limit,
                              shown)
              : std::snprintf(line, sizeof(line),
                              "Log file reached %ld bytes and could not be renamed to %s; the "
                              "earlier lines are gone.\n",
                              limit, shown);
  if (m > 0) std::fwrite(line, 1, std::strlen(line), file.get());
  return file;
}

// vsnprintf() into `line`; a result cut short keeps the format's final line
// break. False when formatting failed.
PW_PRINTF_FORMAT(2, 0)
bool FormatLine(char (&line)[LogFile::kMaxLine], const char* format, va_list args) {
  const int n = std::vsnprintf(line, sizeof(line), format, args);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) >= sizeof(line)) {
    const std::size_t length = std::strlen(format);
    if (length > 0 && format[length - 1] == '\n') line[sizeof(line) - 2] = '\n';
  }
  return true;
}

}  // namespace

LogFile::LogFile(std::string directory, long max_file_bytes)
    : directory_(std::move(directory)), max_file_bytes_(max_file_bytes < 1 ? 1 : max_file_bytes) {}

bool LogFile::FileName(int port, char* name, std::size_t size) const {
  const int n =
      std::snprintf(name, size, "%s%s_%d.log", directory_.c_str(), "PitwallFeedPlugin", port);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

void LogFile::WriteLog(const char* text) {
  const int port = bound_port_.load();
  if (port < 1 || text == nullptr) return;
  char name[kMaxName];
  if (!FileName(port, name, sizeof(name))) return;
  Append(name, text);
}

void LogFile::Append(const char* name, const char* text) {
  const std::size_t length = std::strlen(text);
  MutexLock lock(&mu_);
  // Text mode: line breaks take the platform's text-file form.
  UniqueFile file(std::fopen(name, "a"));
  if (file == nullptr) return;
  if (WouldPassLimit(file.get(), length, max_file_bytes_)) {
    file.reset();
    file = BeginAnew(name, directory_.size(), max_file_bytes_);
    if (file == nullptr) return;
  }
  std::fwrite(text, 1, length, file.get());
}

void LogFile::Printf(const char* format, ...) {
  char line[kMaxLine];
  va_list args;
  va_start(args, format);
  const bool formatted = FormatLine(line, format, args);
  va_end(args);
  if (formatted) WriteLog(line);
}

void LogFile::PrintfUnbound(const char* format, ...) {
  char line[kMaxLine];
  va_list args;
  va_start(args, format);
  const bool formatted = FormatLine(line, format, args);
  va_end(args);
  char name[kMaxName];
  const int m = std::snprintf(name, sizeof(name), "%sPitwallFeedPlugin.log", directory_.c_str());
  if (!formatted || m <= 0 || static_cast<std::size_t>(m) >= sizeof(name)) return;
  Append(name, line);
}

void EscapeForLog(const char* text, char* out, std::size_t size) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (size == 0) return;
  std::size_t n = 0;
  const auto put_escape = [&](unsigned char byte) {
    out[n++] = '\\';
    out[n++] = 'x';
    out[n++] = kHex[byte >> 4];
    out[n++] = kHex[byte & 0xF];
  };
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (; *p != '\0'; ++p) {
    const unsigned char c = *p;
    if (c < 0x20 || c == 0x7F) {
      if (size - n < 5) break;
      put_escape(c);
    } else if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
      if (size - n < 9) break;
      put_escape(c);
      put_escape(*++p);
    } else {
      if (size - n < 2) break;
      out[n++] = static_cast<char>(c);
    }
  }
  out[n] = '\0';
}
