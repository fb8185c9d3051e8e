// A thin annotated mutex over std::mutex, its scoped lock and a condition
// variable whose waits clang's thread-safety analysis can follow.
#ifndef PITWALL_PLATFORM_MUTEX_H_
#define PITWALL_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// Waits hold the Mutex they name and may return early (on a notification or
// spuriously), so callers test their condition in a loop around them.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases *mu while it waits, at most until `deadline`, and holds it
  // again when it returns. False once the deadline has passed.
  bool WaitUntil(Mutex* mu, std::chrono::steady_clock::time_point deadline)
      EXCLUSIVE_LOCKS_REQUIRED(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait_until(lock, deadline);
    lock.release();  // still held: the caller's lock releases it
    return std::chrono::steady_clock::now() < deadline;
  }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

#endif  // PITWALL_PLATFORM_MUTEX_H_
