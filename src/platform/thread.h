// Threads that never throw to start and always have an owner who joins them.
//
// std::thread raises when the OS refuses a thread, and nothing may unwind
// into the host. On Windows a thread started from within the plug-in's DLL
// also holds a reference on the DLL for as long as it runs and drops it as
// its very last act (FreeLibraryAndExitThread), so the DLL cannot be
// unmapped under a running thread, and no thread of ours ever has to be
// waited for under the loader lock.
//
// Thread-safety: a Thread object belongs to the thread that starts and joins
// it.
#ifndef PITWALL_PLATFORM_THREAD_H_
#define PITWALL_PLATFORM_THREAD_H_

#include <functional>

#if !defined(_WIN32)
#include <thread>
#endif

class Thread {
 public:
  Thread() = default;
  // Joins a thread that was started and not yet joined.
  ~Thread() { Join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs `body` on a new thread. Returns false, with `body` not run and the
  // object not joinable, when no thread can be created. An exception that
  // escapes `body` ends only that thread, never the process; bodies catch
  // what they can recover from themselves.
  // REQUIRES: !joinable().
  bool Start(std::function<void()> body);
  // Waits for the thread to end. Does nothing when none was started or it
  // was joined already.
  void Join();
  bool joinable() const;

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;  // the thread's HANDLE
#else
  std::thread thread_;
#endif
};

// Fault injection for tests: `refuse` is asked before every thread start
// and, when it returns true, the start fails as if the system had refused
// the thread (Start() returns false). Null, the default, refuses nothing.
// Set it only while no thread is being started.
using ThreadStartFault = bool (*)();
void SetThreadStartFaultForTesting(ThreadStartFault refuse);
// True when the installed fault refuses this start.
bool ThreadStartRefused();

#endif  // PITWALL_PLATFORM_THREAD_H_
