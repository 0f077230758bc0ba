// A table of live objects of one kind, named by pointer-sized handles. A handle is
// the address of its object, so it is never 0 and stays unique while the object
// lives; an unknown handle is simply not found. Find hands out shared ownership, so an
// object that one thread removes stays valid for a call already using it.
// Thread-safe: every member takes the table's own mutex, and no other lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "platform/sync/mutex.h"

namespace platform::capi {

template <class T>
class HandleTable {
 public:
  HandleTable() = default;
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  uintptr_t Add(std::shared_ptr<T> object) EXCLUDES(mu_) {
    const auto handle = reinterpret_cast<uintptr_t>(object.get());
    platform::MutexLock lock(mu_);
    live_.emplace(handle, std::move(object));
    return handle;
  }

  // Null when the handle is not live.
  std::shared_ptr<T> Find(uintptr_t handle) const EXCLUDES(mu_) {
    platform::MutexLock lock(mu_);
    const auto it = live_.find(handle);
    return it == live_.end() ? nullptr : it->second;
  }

  // False when the handle is not live.
  bool Remove(uintptr_t handle) EXCLUDES(mu_) {
    std::shared_ptr<T> doomed;  // destroyed after the lock is released
    platform::MutexLock lock(mu_);
    const auto it = live_.find(handle);
    if (it == live_.end()) return false;
    doomed = std::move(it->second);
    live_.erase(it);
    return true;
  }

  size_t Size() const EXCLUDES(mu_) {
    platform::MutexLock lock(mu_);
    return live_.size();
  }

 private:
  mutable platform::Mutex mu_;
  std::unordered_map<uintptr_t, std::shared_ptr<T>> live_ GUARDED_BY(mu_);
};

}  // namespace platform::capi
