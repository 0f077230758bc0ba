// A loopback TCP port that listens and never accepts: the kernel completes the
// connections into the backlog, and nothing reads a byte of them nor answers one.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace peer_support {

// Listens on 127.0.0.1, an ephemeral port, with the backlog given; port() is 0 when
// the socket could not be set up. The port is released when the listener goes.
class SilentListener {
 public:
  explicit SilentListener(int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, backlog) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  int port() const { return port_; }
  // True when a connection waits to be accepted.
  bool Knocked() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace peer_support
