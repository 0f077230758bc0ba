#include "platform/ipc/instance_lock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace platform::ipc {
namespace {

// Binds a new socket to the abstract name; the descriptor, or -1.
int BindName(const std::string& name) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::min(name.size(), sizeof(address.sun_path) - 1);
  std::memcpy(address.sun_path + 1, name.data(), length);  // sun_path[0] = 0: abstract
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool InstanceLock::Acquire(const std::string& name) {
  Release();
  m_Fd = BindName(name);
  return m_Fd >= 0;
}

void InstanceLock::Release() {
  if (m_Fd >= 0) ::close(m_Fd);
  m_Fd = -1;
}

bool InstanceLock::IsHeld(const std::string& name) {
  const int fd = BindName(name);
  if (fd < 0) return true;
  ::close(fd);
  return false;
}

}  // namespace platform::ipc
