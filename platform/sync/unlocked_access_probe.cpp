// Compiled only by the lock-analysis tests in this folder's CMakeLists.txt (never
// linked): with PROBE_UNLOCKED a guarded member is read without its mutex and a
// REQUIRES function is called without it, which the clang build must reject; without
// it the same code takes the mutex and must compile cleanly.
#include "platform/sync/mutex.h"

class Probe {
 public:
  int Read() EXCLUDES(mu_) {
#ifndef PROBE_UNLOCKED
    platform::MutexLock lock(mu_);
#endif
    return ReadLocked() + value_;
  }

 private:
  int ReadLocked() REQUIRES(mu_) { return value_; }

  platform::Mutex mu_;
  int value_ GUARDED_BY(mu_) = 0;
};

int ProbeRead() {
  Probe probe;
  return probe.Read();
}
