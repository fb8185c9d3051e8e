// The diagnostic log: texts appended, whole and verbatim, to
// "PitwallFeedPlugin_<port>.log", named after the port the server is bound
// to. Nothing is written there, and no file is created, until a port is
// bound; a start that binds none says why in "PitwallFeedPlugin.log".
//
// Thread-safety: every member is safe to call from any thread at any time;
// the texts of concurrent calls never interleave.
#ifndef PITWALL_LOG_LOG_H_
#define PITWALL_LOG_LOG_H_

#include <atomic>
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

  // `directory` is prefixed to the file name; empty means the working
  // directory of the process. It must end with a separator when not empty.
  explicit LogFile(std::string directory = "");
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Set by the listener on every successful bind; never cleared. Values
  // below 1 keep the log silent.
  void SetBoundPort(int port) { bound_port_.store(port); }
  int bound_port() const { return bound_port_.load(); }

  // Appends `text` unchanged (a percent sign stays a percent sign). Opens,
  // writes and closes the file on every call; an unopenable file drops the
  // text silently. Allocates nothing, so it works when memory has run out.
  void WriteLog(const char* text) LOCKS_EXCLUDED(mu_);

  // Formats into a buffer of the calling thread, then WriteLog().
  void Printf(const char* format, ...) PW_PRINTF_FORMAT(2, 3);

  // Appends a formatted text to "PitwallFeedPlugin.log", the one file for a
  // start that could bind no port (whose own log therefore cannot exist).
  // Written only then; otherwise like Printf().
  void PrintfUnbound(const char* format, ...) PW_PRINTF_FORMAT(2, 3);

  // The file name for `port`, with the directory, into `name`. False when
  // it does not fit.
  bool FileName(int port, char* name, std::size_t size) const;

 private:
  void Append(const char* name, const char* text) LOCKS_EXCLUDED(mu_);

  const std::string directory_;
  // Read by every writer, written by the binding thread; read whole.
  std::atomic<int> bound_port_{0};
  Mutex mu_;  // Serialises open-write-close, so texts stay whole.
};

#endif  // PITWALL_LOG_LOG_H_
