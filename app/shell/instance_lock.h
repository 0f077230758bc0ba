// Single-instance locks: a name held by a live process, freed by the kernel when it
// dies (an abstract AF_UNIX socket bound to the name). Not thread-safe; the
// application takes them on the UI thread at start-up.
#pragma once

#include <string>

class CInstanceLock {
 public:
  CInstanceLock() = default;
  CInstanceLock(const CInstanceLock&) = delete;
  CInstanceLock& operator=(const CInstanceLock&) = delete;
  ~CInstanceLock() { Release(); }

  // Takes the name. False when another process holds it (or no socket can be had).
  bool Acquire(const std::string& name);
  void Release();
  bool Held() const { return m_Fd >= 0; }

  // True when some process holds the name; takes nothing.
  static bool IsHeld(const std::string& name);

 private:
  int m_Fd = -1;
};
