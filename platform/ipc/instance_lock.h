// Single-instance locks, in place of named mutexes: a name held by a live process
// and freed by the kernel when that process dies, however it ends. The name is held
// by an AF_UNIX stream socket bound to it in the abstract namespace (the name's bytes
// after the address's leading NUL, cut to the 107 bytes an address holds), so it
// leaves nothing behind in the file system.
//
// Thread safety: none; one object is used by one thread (the application takes its
// locks on the UI thread at start-up). IsHeld keeps no state.
#pragma once

#include <string>

namespace platform::ipc {

class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock() { Release(); }

  // Takes the name (first releasing a name this object held). False when another
  // socket holds it, in this process or another, or when no socket can be had.
  bool Acquire(const std::string& name);
  // Frees the name held, if any.
  void Release();
  bool Held() const { return m_Fd >= 0; }

  // True when some process holds the name (or no socket can be had to find out);
  // takes nothing.
  static bool IsHeld(const std::string& name);

 private:
  int m_Fd = -1;
};

}  // namespace platform::ipc
