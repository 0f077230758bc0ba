#include "platform/net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/net/deadline.h"
#include "platform/text/format.h"

static_assert(platform::net::kAddressFamilyIPv4 == AF_INET);
static_assert(platform::net::kAnyAddress == INADDR_ANY);

namespace platform::net {
namespace {

using detail::Deadline;
using detail::PollUntil;

int FailWithErrno(int err) {
  WSASetLastError(WsaErrorFromErrno(err));
  return SOCKET_ERROR;
}

// An eventfd that a waiter's hook writes to, so that an Event wakes a poll().
class WakeFd {
 public:
  WakeFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;
  ~WakeFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  void Signal() const {
    const uint64_t one = 1;
    // A full counter still wakes the poll; nothing to do on failure.
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
  }
  void Drain() const {
    uint64_t value;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &value, sizeof value);
  }

 private:
  const int fd_;
};

// Waits until s is ready for events (POLLIN or POLLOUT) or the deadline passes.
WaitResult WaitOne(SOCKET s, short events, const Deadline& deadline) {
  pollfd fd{s, events, 0};
  const int r = PollUntil(&fd, 1, deadline);
  if (r < 0) {
    FailWithErrno(errno);
    return WaitResult::kError;
  }
  if (r == 0) return WaitResult::kTimedOut;
  if (fd.revents & POLLNVAL) {
    WSASetLastError(WSAENOTSOCK);
    return WaitResult::kError;
  }
  return WaitResult::kReady;
}

// Waits for events on s (POLLIN or POLLOUT) or for stop; *revents gets what poll
// reported for s when the socket is ready.
WaitResult WaitSocketOrStop(SOCKET s, short events_wanted, const Deadline& deadline, Event* stop,
                            short* revents = nullptr) {
  WakeFd wake;
  if (wake.fd() < 0) {
    FailWithErrno(errno);
    return WaitResult::kError;
  }
  // Declared after `wake`: the scope detaches the waiter before the fd is closed.
  Waiter waiter([&wake] { wake.Signal(); });
  Event* const events[1] = {stop};
  EventWaitScope scope(events, &waiter);
  for (;;) {
    if (scope.FirstSignalled() == 0) return WaitResult::kStopped;
    pollfd fds[2] = {{s, events_wanted, 0}, {wake.fd(), POLLIN, 0}};
    const int r = ::poll(fds, 2, deadline.PollTimeout());
    if (r < 0) {
      if (errno == EINTR) continue;
      FailWithErrno(errno);
      return WaitResult::kError;
    }
    if (fds[0].revents & POLLNVAL) {
      WSASetLastError(WSAENOTSOCK);
      return WaitResult::kError;
    }
    if (fds[0].revents) {
      if (revents) *revents = fds[0].revents;
      return WaitResult::kReady;
    }
    if (fds[1].revents) {
      wake.Drain();
      continue;  // the next round reports the stop (or a Pulse already gone)
    }
    if (deadline.Expired()) return WaitResult::kTimedOut;
  }
}

WaitResult Wait(SOCKET s, const Deadline& deadline, Event* stop) {
  return stop ? WaitSocketOrStop(s, POLLIN, deadline, stop) : WaitOne(s, POLLIN, deadline);
}

}  // namespace

int detail::PollUntil(pollfd* fds, nfds_t count, const Deadline& deadline) {
  for (;;) {
    const int r = ::poll(fds, count, deadline.PollTimeout());
    if (r > 0) return r;
    if (r == 0) {
      if (deadline.Expired()) return 0;
      continue;
    }
    if (errno != EINTR) return -1;
  }
}

int WSAGetLastError() { return static_cast<int>(platform::GetLastError()); }
void WSASetLastError(int code) { platform::SetLastError(static_cast<uint32_t>(code)); }

int WsaErrorFromErrno(int err) {
  switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF: case ENOTSOCK: return WSAENOTSOCK;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case ENETRESET: return WSAENETRESET;
    case EISCONN: return WSAEISCONN;
    case ENOMEM: case ENOBUFS: return WSAENOBUFS;
    default: return static_cast<int>(platform::ErrorCodeFromErrno(err));
  }
}

int WsaErrorFromGai(int gai_error, int saved_errno) {
  switch (gai_error) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return saved_errno ? WsaErrorFromErrno(saved_errno) : WSANO_RECOVERY;
    default: return WSANO_RECOVERY;
  }
}

int Startup() {
  static std::once_flag once;
  std::call_once(once, [] {
    // A send to a closed connection must fail with an error, not end the process.
    // A handler the program installed itself is left alone.
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      ::sigaction(SIGPIPE, &ignore, nullptr);
    }
  });
  return 0;
}

int Cleanup() { return 0; }

int ResolveIPv4(const std::string& host, uint32_t* address_be) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  errno = 0;
  const int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  const int saved_errno = errno;
  if (r != 0 || found == nullptr) {
    const int code = r != 0 ? WsaErrorFromGai(r, saved_errno) : WSANO_DATA;
    if (found) ::freeaddrinfo(found);
    WSASetLastError(code);
    return code;
  }
  const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  *address_be = in->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return 0;
}

uint16_t PortToNetworkOrder(uint16_t port) { return htons(port); }

std::string IPv4Text(uint32_t address_be) {
  in_addr in{};
  in.s_addr = address_be;
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &in, text, sizeof text) == nullptr) return {};
  return text;
}

bool ParseIPv4(const std::string& dotted, uint32_t* address_be) {
  in_addr in{};
  if (::inet_pton(AF_INET, dotted.c_str(), &in) != 1) return false;
  *address_be = in.s_addr;
  return true;
}

int LookupHostName(uint32_t address_be, std::string* name) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = address_be;
  char host[NI_MAXHOST];
  errno = 0;
  const int r = ::getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, host, sizeof host, nullptr, 0,
                              NI_NAMEREQD);
  if (r != 0) {
    const int code = WsaErrorFromGai(r, errno);
    WSASetLastError(code);
    return code;
  }
  *name = host;
  return 0;
}

SOCKET OpenStreamSocket() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    FailWithErrno(errno);
    return INVALID_SOCKET;
  }
  return s;
}

int SetNonBlocking(SOCKET s, bool on) {
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return FailWithErrno(errno);
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && ::fcntl(s, F_SETFL, wanted) < 0) return FailWithErrno(errno);
  return 0;
}

int BytesReadable(SOCKET s, int* count) {
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) < 0) return FailWithErrno(errno);
  *count = n;
  return 0;
}

int StartConnect(SOCKET s, uint32_t address_be, uint16_t port_be) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = port_be;
  peer.sin_addr.s_addr = address_be;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  if (errno == EINPROGRESS) {
    WSASetLastError(WSAEWOULDBLOCK);
    return SOCKET_ERROR;
  }
  return FailWithErrno(errno);
}

ConnectWait WaitConnected(SOCKET s, uint32_t timeout_ms, Event* stop) {
  const Deadline deadline(timeout_ms);
  pollfd fd{s, POLLOUT, 0};
  if (stop) {
    switch (WaitSocketOrStop(s, POLLOUT, deadline, stop, &fd.revents)) {
      case WaitResult::kReady:
        break;
      case WaitResult::kStopped:
        return ConnectWait::kStopped;
      case WaitResult::kTimedOut:
        WSASetLastError(WSAETIMEDOUT);
        return ConnectWait::kTimedOut;
      default:
        return ConnectWait::kError;  // its code is the last error
    }
  } else {
    const int r = PollUntil(&fd, 1, deadline);
    if (r < 0) {
      FailWithErrno(errno);
      return ConnectWait::kError;
    }
    if (r == 0) {
      WSASetLastError(WSAETIMEDOUT);
      return ConnectWait::kTimedOut;
    }
  }
  if (fd.revents & POLLNVAL) {
    WSASetLastError(WSAENOTSOCK);
    return ConnectWait::kError;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
    FailWithErrno(errno);
    return ConnectWait::kError;
  }
  if (err != 0) {
    FailWithErrno(err);
    return ConnectWait::kFailed;
  }
  if (!(fd.revents & POLLOUT)) {
    // Hung up without a pending error: the connection did not come up.
    WSASetLastError(WSAECONNRESET);
    return ConnectWait::kFailed;
  }
  return ConnectWait::kConnected;
}

WaitResult WaitReadable(SOCKET s, uint32_t timeout_ms, Event* stop) {
  return Wait(s, Deadline(timeout_ms), stop);
}

int Recv(SOCKET s, char* buffer, int size, int flags) {
  if (size < 0 || (size > 0 && buffer == nullptr)) {
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  const int native = MSG_NOSIGNAL | ((flags & kMsgPeek) ? MSG_PEEK : 0);
  for (;;) {
    const ssize_t n = ::recv(s, buffer, static_cast<size_t>(size), native);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return FailWithErrno(errno);
  }
}

int ReceiveWithin(SOCKET s, char* buffer, int size, uint32_t timeout_ms, Event* stop, WaitResult* why) {
  WaitResult ignored;
  if (why == nullptr) why = &ignored;
  if (size <= 0 || buffer == nullptr) {
    *why = WaitResult::kError;
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  const Deadline deadline(timeout_ms);
  for (;;) {
    *why = Wait(s, deadline, stop);
    if (*why == WaitResult::kError) return SOCKET_ERROR;
    if (*why != WaitResult::kReady) return 0;
    const ssize_t n = ::recv(s, buffer, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
      *why = WaitResult::kClosed;
      return 0;
    }
    if (errno == EINTR || errno == EAGAIN) {
      // Readiness that went away again: wait for what is left of the time.
      if (deadline.Expired()) {
        *why = WaitResult::kTimedOut;
        return 0;
      }
      continue;
    }
    *why = WaitResult::kError;
    return FailWithErrno(errno);
  }
}

int SendAll(SOCKET s, const char* data, int length, uint32_t timeout_ms) {
  if (length == 0) return 0;
  if (length < 0 || data == nullptr) {
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  const Deadline deadline(timeout_ms);
  size_t sent = 0;
  const size_t total = static_cast<size_t>(length);
  while (sent < total) {
    const ssize_t n = ::send(s, data + sent, total - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return FailWithErrno(errno);
    // The send buffer is full: wait for room within what is left of the time.
    pollfd fd{s, POLLOUT, 0};
    const int r = PollUntil(&fd, 1, deadline);
    if (r < 0) return FailWithErrno(errno);
    if (r == 0) {
      WSASetLastError(WSAETIMEDOUT);
      return SOCKET_ERROR;
    }
    if (fd.revents & POLLNVAL) {
      WSASetLastError(WSAENOTSOCK);
      return SOCKET_ERROR;
    }
    // POLLERR/POLLHUP: the next send reports the error itself.
  }
  return length;
}

int SendOnce(SOCKET s, const char* data, int length, int flags) {
  if (length == 0) return 0;
  if (length < 0 || data == nullptr) {
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
  }
  for (;;) {
    const ssize_t n = ::send(s, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return FailWithErrno(errno);
  }
}

WaitResult WaitWritable(SOCKET s, uint32_t timeout_ms) { return WaitOne(s, POLLOUT, Deadline(timeout_ms)); }

bool PeerStillConnected(SOCKET s) {
  // 1. Readable now? A socket that poll cannot watch is gone.
  pollfd p{s, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0 || (ready > 0 && (p.revents & POLLNVAL) != 0)) return false;
  const bool readable = ready > 0;
  // 2. Peek at one byte without blocking (the socket's own mode is not touched).
  char byte;
  ssize_t n;
  do {
    n = ::recv(s, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == 1) return true;
  if (n == 0) return !readable;
  switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return true;  // nothing waiting: an idle, live connection
    case EFAULT:
    case EINVAL:
    case EBADF:
    case ENOTSOCK:
    case EMSGSIZE:
    case EOPNOTSUPP:
    case ENETDOWN:
    case ENETRESET:
    case ECONNABORTED:
    case ECONNRESET:
    case EISCONN:
    case ENOTCONN:
    case ESHUTDOWN:
    case ETIMEDOUT:
    case EPIPE:
      return false;
    default:
      return true;
  }
}

namespace {

int SetTimeoutOption(SOCKET s, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (::setsockopt(s, SOL_SOCKET, option, &tv, sizeof tv) != 0) return FailWithErrno(errno);
  return 0;
}

int GetIntOption(SOCKET s, int option) {
  int value = 0;
  socklen_t length = sizeof value;
  return ::getsockopt(s, SOL_SOCKET, option, &value, &length) == 0 ? value : 0;
}

int SetIntOption(SOCKET s, int option, int value) {
  if (::setsockopt(s, SOL_SOCKET, option, &value, sizeof value) != 0) return FailWithErrno(errno);
  return 0;
}

}  // namespace

int SetReceiveTimeout(SOCKET s, int ms) { return SetTimeoutOption(s, SO_RCVTIMEO, ms); }
int SetSendTimeout(SOCKET s, int ms) { return SetTimeoutOption(s, SO_SNDTIMEO, ms); }
int GetSendBufferSize(SOCKET s) { return GetIntOption(s, SO_SNDBUF); }
int GetReceiveBufferSize(SOCKET s) { return GetIntOption(s, SO_RCVBUF); }
int SetSendBufferSize(SOCKET s, int bytes) { return SetIntOption(s, SO_SNDBUF, bytes); }
int SetReceiveBufferSize(SOCKET s, int bytes) { return SetIntOption(s, SO_RCVBUF, bytes); }

int Shutdown(SOCKET s, int how) {
  int native;
  switch (how) {
    case SD_RECEIVE: native = SHUT_RD; break;
    case SD_SEND: native = SHUT_WR; break;
    case SD_BOTH: native = SHUT_RDWR; break;
    default:
      WSASetLastError(WSAEINVAL);
      return SOCKET_ERROR;
  }
  if (::shutdown(s, native) < 0) return FailWithErrno(errno);
  return 0;
}

int CloseSocket(SOCKET s) {
  // On Linux the descriptor is released even when close reports EINTR.
  if (::close(s) < 0 && errno != EINTR) return FailWithErrno(errno);
  return 0;
}

}  // namespace platform::net
