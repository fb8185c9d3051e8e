// The diagnostic log: texts appended, whole and verbatim, to
// "PitwallFeedPlugin_<port>.log", named after the port the server is bound
// to. Nothing is written there, and no file is created, until a port is
// bound; a start that binds none says why in "PitwallFeedPlugin.log".
//
// A file never grows much past kMaxFileBytes: before a text would take it
// past that size, it is renamed to its old copy (its name with ".1" added,
// replacing an older copy) and begun anew with a line saying so. So a log
// holds at most about twice that size, the file and its old copy, and the
// old copy's name ends in ".1", not ".log".
//
// Thread-safety: every member is safe to call from any thread at any time;
// the texts of concurrent calls never interleave.
#ifndef PITWALL_LOG_LOG_H_
#define PITWALL_LOG_LOG_H_

#include <atomic>
#include <cstddef>
#include <string>

#include "platform/mutex.h"

#if defined(__GNUC__)
#define PW_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define PW_PRINTF_FORMAT(fmt, args)
#endif

class LogFile {
 public:
  // Longest text that Printf() formats; longer results are cut.
  static constexpr int kMaxLine = 1024;
  // The size past which a log file is renamed to its old copy: the lines of
  // some 35,000 connections, and still quick to open in an editor.
  static constexpr long kMaxFileBytes = 4L * 1024 * 1024;

  // `directory` is prefixed to the file name; empty means the working
  // directory of the process. It must end with a separator when not empty.
  // `max_file_bytes` (at least 1) is the size past which a file is renamed;
  // tests choose small ones.
  explicit LogFile(std::string directory = "", long max_file_bytes = kMaxFileBytes);
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Set by the listener on every successful bind; never cleared. Values
  // below 1 keep the log silent.
  void SetBoundPort(int port) { bound_port_.store(port); }
  int bound_port() const { return bound_port_.load(); }

  // Appends `text` unchanged (a percent sign stays a percent sign). Opens,
  // writes and closes the file on every call; an unopenable file drops the
  // text silently. When the file holds something and `text` would take it
  // past the size limit, the file is first renamed to its old copy and
  // begun with the line "Log file reached <limit> bytes; the earlier lines
  // are in <old copy>.\n"; if the rename fails, the file is emptied and
  // begun with "Log file reached <limit> bytes and could not be renamed to
  // <old copy>; the earlier lines are gone.\n". Allocates nothing, so it
  // works when memory has run out.
  void WriteLog(const char* text) LOCKS_EXCLUDED(mu_);

  // Formats into a buffer of the calling thread, then WriteLog(). A result
  // cut at kMaxLine - 1 characters keeps the format's final line break, so
  // it still ends its line.
  void Printf(const char* format, ...) PW_PRINTF_FORMAT(2, 3);

  // Appends a formatted text to "PitwallFeedPlugin.log", the one file for a
  // start that could bind no port (whose own log therefore cannot exist).
  // Written only then; otherwise like Printf(), size limit included.
  void PrintfUnbound(const char* format, ...) PW_PRINTF_FORMAT(2, 3);

  // The file name for `port`, with the directory, into `name`. False when
  // it does not fit.
  bool FileName(int port, char* name, std::size_t size) const;

 private:
  void Append(const char* name, const char* text) LOCKS_EXCLUDED(mu_);

  const std::string directory_;
  const long max_file_bytes_;
  // Read by every writer, written by the binding thread; read whole.
  std::atomic<int> bound_port_{0};
  // Serialises open-write-close and the renaming, so texts stay whole and
  // every text lands in one file.
  Mutex mu_;
};

// Room for a text from outside escaped by EscapeForLog(): a log line with
// such a text and a short message of its own stays within kMaxLine.
inline constexpr std::size_t kMaxEscapedText = 896;

// Copies `text` into `out` (`size` bytes, at least 1), NUL-terminated, with
// every control character written as \xHH in upper-case hexadecimal: the
// bytes 0x01 to 0x1F and 0x7F, and the UTF-8 form of U+0080 to U+009F
// (the two bytes 0xC2 0x80 to 0xC2 0x9F, as \xC2\xHH). Everything else,
// UTF-8 letters and backslashes included, is copied unchanged. A text that
// does not fit is cut before the first character (or escape) that would not.
// For text from outside (track names, paths from the host's files, the
// configuration file, clients) before it goes into a log line: escaped, it
// can neither end a line nor begin one, nor steer the terminal that shows
// the log. Allocates nothing.
void EscapeForLog(const char* text, char* out, std::size_t size);

#endif  // PITWALL_LOG_LOG_H_
