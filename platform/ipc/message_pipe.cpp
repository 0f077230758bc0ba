#include "platform/ipc/message_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/sync/event.h"
#include "platform/text/format.h"

namespace platform::ipc {

namespace {

using SteadyClock = std::chrono::steady_clock;

// How long a connect waits before trying again while nobody listens yet.
constexpr uint32_t kConnectRetryMs = 20;

void SetErrorFromErrno(int err) { SetLastError(ErrorCodeFromErrno(err)); }

// A time-out measured from construction on the monotonic clock.
class Deadline {
 public:
  explicit Deadline(uint32_t ms) : ms_(ms), start_(SteadyClock::now()) {}
  // Milliseconds left for poll: -1 without a limit, 0 once the time is used up.
  int PollMs() const {
    if (ms_ == kInfinite) return -1;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start_).count();
    if (spent >= static_cast<int64_t>(ms_)) return 0;
    const int64_t left = static_cast<int64_t>(ms_) - spent;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
  }
  bool Expired() const { return ms_ != kInfinite && PollMs() == 0; }

 private:
  uint32_t ms_;
  SteadyClock::time_point start_;
};

// Waits until fd is ready for events or the deadline passes. 1 ready (or hung up),
// 0 time-out, -1 error.
int WaitReady(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, deadline.PollMs());
    if (n > 0) return 1;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// The abstract address of a name: sun_path[0] is NUL, the name follows without a
// terminator. False for a name that does not fit.
bool AddressOf(const std::string& name, sockaddr_un* address, socklen_t* size) {
  if (name.empty() || name.size() > kMaxPipeNameLength) return false;
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path + 1, name.data(), name.size());
  *size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

int NewSocket() { return ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

}  // namespace

bool IsTrustedPeer(const PeerCredentials& peer) { return peer.uid == 0 || peer.uid == ::geteuid(); }

// ---------------------------------------------------------------------------------
// PipeConnection

PipeConnection::ReadResult PipeConnection::Read(std::string* message, size_t max, uint32_t timeout_ms) {
  message->clear();
  if (fd_ < 0) {
    SetLastError(kErrorBrokenPipe);
    return ReadResult::kClosed;
  }
  const Deadline deadline(timeout_ms);
  // One byte more than allowed, so that MSG_TRUNC or a full buffer tells of a longer one.
  std::vector<char> buffer(max + 1);
  for (;;) {
    iovec io{buffer.data(), buffer.size()};
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(fd_, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n > 0) {
      if ((header.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(n) > max) {
        SetLastError(kErrorMoreData);
        return ReadResult::kTooLong;
      }
      message->assign(buffer.data(), static_cast<size_t>(n));
      return ReadResult::kMessage;
    }
    if (n == 0) {
      SetLastError(kErrorBrokenPipe);
      return ReadResult::kClosed;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      SetErrorFromErrno(errno);
      return ReadResult::kClosed;
    }
    const int ready = WaitReady(fd_, POLLIN, deadline);
    if (ready == 0) {
      SetLastError(kErrorTimeout);
      return ReadResult::kTimeout;
    }
    if (ready < 0) {
      SetErrorFromErrno(errno);
      return ReadResult::kClosed;
    }
  }
}

bool PipeConnection::Write(std::string_view message, uint32_t timeout_ms) {
  if (fd_ < 0) {
    SetLastError(kErrorBrokenPipe);
    return false;
  }
  const Deadline deadline(timeout_ms);
  for (;;) {
    const ssize_t n = ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n) == message.size();  // a message goes whole or not at all
    if (errno == EINTR) continue;
    if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
      SetLastError(kErrorBrokenPipe);
      return false;
    }
    if (errno == EMSGSIZE) {
      SetLastError(kErrorMoreData);
      return false;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      SetErrorFromErrno(errno);
      return false;
    }
    const int ready = WaitReady(fd_, POLLOUT, deadline);
    if (ready == 0) {
      SetLastError(kErrorTimeout);
      return false;
    }
    if (ready < 0) {
      SetErrorFromErrno(errno);
      return false;
    }
  }
}

bool PipeConnection::Transact(std::string_view request, std::string* reply, size_t max_reply, uint32_t timeout_ms) {
  reply->clear();
  if (!Write(request, timeout_ms)) return false;
  return Read(reply, max_reply, timeout_ms) == ReadResult::kMessage;
}

bool PipeConnection::GetPeer(PeerCredentials* peer) const {
  ucred cred{};
  socklen_t size = sizeof cred;
  if (fd_ < 0 || ::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) {
    SetErrorFromErrno(fd_ < 0 ? EBADF : errno);
    return false;
  }
  peer->pid = cred.pid;
  peer->uid = cred.uid;
  peer->gid = cred.gid;
  return true;
}

void PipeConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// ---------------------------------------------------------------------------------
// PipeListener

bool PipeListener::Listen(const std::string& name, int backlog) {
  Close();
  sockaddr_un address;
  socklen_t size = 0;
  if (!AddressOf(name, &address, &size)) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  const int fd = NewSocket();
  if (fd < 0) {
    SetErrorFromErrno(errno);
    return false;
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EADDRINUSE) {
      SetLastError(kErrorPipeBusy);
    } else {
      SetErrorFromErrno(err);
    }
    return false;
  }
  if (::listen(fd, backlog) != 0) {
    SetErrorFromErrno(errno);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

std::unique_ptr<PipeConnection> PipeListener::Accept() {
  if (fd_ < 0) return nullptr;
  for (;;) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) return std::make_unique<PipeConnection>(fd);
    if (errno == EINTR || errno == ECONNABORTED) continue;
    SetErrorFromErrno(errno);
    return nullptr;
  }
}

void PipeListener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// ---------------------------------------------------------------------------------
// ConnectPipe

std::unique_ptr<PipeConnection> ConnectPipe(const std::string& name, uint32_t timeout_ms) {
  sockaddr_un address;
  socklen_t size = 0;
  if (!AddressOf(name, &address, &size)) {
    SetLastError(kErrorInvalidName);
    return nullptr;
  }
  const Deadline deadline(timeout_ms);
  for (;;) {
    const int fd = NewSocket();
    if (fd < 0) {
      SetErrorFromErrno(errno);
      return nullptr;
    }
    int err = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
      return std::make_unique<PipeConnection>(fd);
    }
    err = errno;
    if (err == EINPROGRESS) {
      // Not expected for a local socket; wait for the outcome within the time-out.
      const int ready = WaitReady(fd, POLLOUT, deadline);
      int so_error = 0;
      socklen_t len = sizeof so_error;
      if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 && so_error == 0) {
        return std::make_unique<PipeConnection>(fd);
      }
      err = ready == 0 ? ETIMEDOUT : (so_error != 0 ? so_error : errno);
    }
    ::close(fd);
    // Nobody listens yet (ECONNREFUSED) or its queue is full (EAGAIN): try again.
    const bool retry = err == ECONNREFUSED || err == EAGAIN || err == EINTR;
    if (!retry) {
      SetErrorFromErrno(err);
      return nullptr;
    }
    if (deadline.Expired()) {
      SetLastError(err == ECONNREFUSED ? kErrorNoSuchPipe : kErrorTimeout);
      return nullptr;
    }
    const int left = deadline.PollMs();
    const uint32_t pause = left < 0 ? kConnectRetryMs : std::min<uint32_t>(kConnectRetryMs, static_cast<uint32_t>(left));
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

}  // namespace platform::ipc
