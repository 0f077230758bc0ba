#include "tests/e2e/own_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {
namespace {

bool g_in_own_network = false;

bool WriteProcFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

bool LoopbackUp(std::string* why_not) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return *why_not = std::string("socket: ") + std::strerror(errno), false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (ok) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!ok) *why_not = std::string("loopback up: ") + std::strerror(errno);
  ::close(fd);
  return ok;
}

// A bind to the abstract name fails while another socket holds it.
bool NameHeld(const std::string& name) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const bool held = ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 && errno == EADDRINUSE;
  ::close(fd);
  return held;
}

// The process whose descriptor is the socket bound to the abstract name, as
// "pid N, program", or "" when it cannot be seen (another user's process).
std::string Holder(const std::string& name) {
  std::ifstream table("/proc/net/unix");
  std::string line, inode;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, node, path;
    fields >> num >> refs >> protocol >> flags >> type >> state >> node;
    std::getline(fields, path);
    const size_t start = path.find_first_not_of(' ');
    if (start != std::string::npos && path.substr(start) == "@" + name) inode = node;
  }
  if (inode.empty()) return "";
  const std::string target = "socket:[" + inode + "]";
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fd_error;
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fd_error)) {
      std::error_code link_error;
      if (std::filesystem::read_symlink(fd.path(), link_error).string() != target) continue;
      const std::string program = std::filesystem::read_symlink(process.path() / "exe", link_error).string();
      return "pid " + pid + (program.empty() ? "" : ", " + program);
    }
  }
  return "";
}

}  // namespace

bool EnterOwnNetwork(std::string* why_not) {
  if (::unshare(CLONE_NEWNET) == 0) return g_in_own_network = LoopbackUp(why_not);
  const std::string direct = std::strerror(errno);
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER) != 0) {
    *why_not = "network namespace: " + direct + "; user namespace: " + std::strerror(errno);
    return false;
  }
  // The ids stay the caller's own; only the new namespaces are this process's to manage.
  if (!WriteProcFile("/proc/self/setgroups", "deny") ||
      !WriteProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
      !WriteProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
    *why_not = std::string("user namespace id maps: ") + std::strerror(errno);
    return false;
  }
  if (::unshare(CLONE_NEWNET) != 0) {
    *why_not = std::string("network namespace in a user namespace: ") + std::strerror(errno);
    return false;
  }
  return g_in_own_network = LoopbackUp(why_not);
}

bool InOwnNetwork() { return g_in_own_network; }

std::string RunningInstance() {
  std::string found;
  for (const char* name : {"Global\\KvrElavonTCPIP", "Global\\KvrElavonTCPIP_SERVICE"}) {
    if (!NameHeld(name)) continue;
    const std::string holder = Holder(name);
    if (!found.empty()) found += ", ";
    found += std::string(name) + (holder.empty() ? "" : " (" + holder + ")");
  }
  return found;
}

}  // namespace e2e
