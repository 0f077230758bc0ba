// A mutex, its scoped lock and a condition variable that Clang's thread-safety
// analysis can follow (see platform/sync/thread_annotations.h). They are thin layers
// over std::mutex and std::condition_variable and behave exactly like them; the
// only difference is that members guarded by a Mutex are checked at compile time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/sync/thread_annotations.h"

namespace platform {

class CondVar;

// A non-recursive mutex. Lock and Unlock on the same thread; never locked twice by
// one thread. Not copyable or movable.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  // Tells the analysis that the caller holds the mutex (a path it cannot follow);
  // checks nothing at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex from construction to the end of its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() RELEASE() { mu_.Unlock(); }

 private:
  Mutex& mu_;
};

// A condition variable used with a Mutex the caller holds. A wait releases the mutex
// while it sleeps and holds it again when it returns; it may return spuriously, so
// callers wait in a loop over their condition (read under the mutex). Notify may be
// called with or without the mutex held. Thread-safe.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // Waits until notified or the steady clock reaches deadline. Returns false when
  // the deadline had passed.
  bool WaitUntil(Mutex& mu, std::chrono::steady_clock::time_point deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    const bool notified = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }
  // Waits until notified or ms passed on the steady clock. Returns false when the
  // time ran out.
  bool WaitFor(Mutex& mu, uint32_t ms) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    const bool notified = cv_.wait_for(lock, std::chrono::milliseconds(ms)) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }
  void NotifyOne() { cv_.notify_one(); }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace platform
