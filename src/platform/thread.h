// Thread start that never throws: std::thread raises when the OS refuses a
// thread, and nothing may unwind into the host.
#ifndef PITWALL_PLATFORM_THREAD_H_
#define PITWALL_PLATFORM_THREAD_H_

#include <functional>
#include <thread>

// Starts `body` on a new joinable thread stored in *thread. Returns false,
// leaving *thread empty and `body` not run, when no thread can be created.
// An exception that escapes `body` ends only that thread, never the
// process; bodies catch what they can recover from themselves.
// REQUIRES: *thread is not joinable.
bool StartThread(std::thread* thread, std::function<void()> body);

#endif  // PITWALL_PLATFORM_THREAD_H_
