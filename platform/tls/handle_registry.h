// Live objects of one kind named by SSPI handles. A handle carries a number that is
// never reused (dwLower) and a tag for the kind (dwUpper), so a stale or foreign
// handle is simply not found. Find hands out shared ownership, so an object that one
// thread removes stays valid for a call already using it.
// Thread-safe: every member takes the registry's own mutex, and no other lock.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "platform/sync/mutex.h"
#include "platform/tls/sspi.h"

namespace platform::tls {

template <class T>
class HandleRegistry {
 public:
  explicit HandleRegistry(uintptr_t tag) : tag_(tag) {}
  HandleRegistry(const HandleRegistry&) = delete;
  HandleRegistry& operator=(const HandleRegistry&) = delete;

  SecHandle Add(std::shared_ptr<T> object) EXCLUDES(mu_) {
    platform::MutexLock lock(mu_);
    const uintptr_t id = ++last_id_;
    live_.emplace(id, std::move(object));
    return SecHandle{id, tag_};
  }

  // Null when the handle is not live (or null).
  std::shared_ptr<T> Find(const SecHandle* handle) const EXCLUDES(mu_) {
    if (handle == nullptr || handle->dwUpper != tag_) return nullptr;
    platform::MutexLock lock(mu_);
    const auto it = live_.find(handle->dwLower);
    return it == live_.end() ? nullptr : it->second;
  }

  // False when the handle is not live.
  bool Remove(const SecHandle* handle) EXCLUDES(mu_) {
    if (handle == nullptr || handle->dwUpper != tag_) return false;
    std::shared_ptr<T> doomed;  // destroyed after the lock is released
    platform::MutexLock lock(mu_);
    const auto it = live_.find(handle->dwLower);
    if (it == live_.end()) return false;
    doomed = std::move(it->second);
    live_.erase(it);
    return true;
  }

 private:
  const uintptr_t tag_;
  mutable platform::Mutex mu_;
  uintptr_t last_id_ GUARDED_BY(mu_) = 0;
  std::unordered_map<uintptr_t, std::shared_ptr<T>> live_ GUARDED_BY(mu_);
};

}  // namespace platform::tls
