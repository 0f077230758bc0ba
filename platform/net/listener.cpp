#include "platform/net/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform::net {
namespace {

ListenResult Failed(ListenStep step, int err, int s) {
  if (s >= 0) ::close(s);
  WSASetLastError(WsaErrorFromErrno(err));
  ListenResult result;
  result.failed = step;
  result.os_error = err;
  return result;
}

// Accept failures after which the next accept may well succeed.
bool IsPassingAcceptError(int err) {
  return err == EINTR || err == ECONNABORTED || err == EPROTO || err == EAGAIN || err == EWOULDBLOCK;
}

// Accept failures of exhausted descriptors or buffers.
bool IsExhaustionAcceptError(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

}  // namespace

ListenResult OpenListener(int family, uint32_t address_be, uint16_t port_be, int backlog, int protocol) {
  sockaddr_in local{};
  local.sin_family = static_cast<sa_family_t>(family);
  local.sin_port = port_be;
  local.sin_addr.s_addr = address_be;

  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol);
  if (s < 0) return Failed(ListenStep::kSocket, errno, -1);
  const int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return Failed(ListenStep::kBind, errno, s);
  }
  if (::listen(s, backlog) != 0) return Failed(ListenStep::kListen, errno, s);
  const int flags = ::fcntl(s, F_GETFL);
  if (flags >= 0) ::fcntl(s, F_SETFL, flags | O_NONBLOCK);
  ListenResult result;
  result.socket = s;
  return result;
}

int LocalPort(SOCKET s) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return -1;
  return ntohs(bound.sin_port);
}

AcceptResult AcceptWithin(SOCKET listener, uint32_t timeout_ms, StopWake* stop) {
  AcceptResult result;
  WaitHandle handle;
  handle.socket = listener;
  switch (WaitAnyReadable(std::span<WaitHandle>(&handle, 1), timeout_ms, stop)) {
    case WaitResult::kReady:
      break;
    case WaitResult::kStopped:
      result.status = AcceptStatus::kStopped;
      return result;
    case WaitResult::kTimedOut:
      result.status = AcceptStatus::kTimedOut;
      return result;
    default:
      result.status = AcceptStatus::kWaitFailed;
      result.os_error = errno;
      return result;
  }
  if (handle.invalid) {
    WSASetLastError(WSAENOTSOCK);
    result.status = AcceptStatus::kWaitFailed;
    result.os_error = EBADF;
    return result;
  }
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (s < 0) {
    const int err = errno;
    WSASetLastError(WsaErrorFromErrno(err));
    result.os_error = err;
    result.status = IsPassingAcceptError(err)       ? AcceptStatus::kTryAgain
                    : IsExhaustionAcceptError(err) ? AcceptStatus::kExhausted
                                                   : AcceptStatus::kAcceptFailed;
    return result;
  }
  result.status = AcceptStatus::kAccepted;
  result.socket = s;
  result.peer.address_be = peer.sin_addr.s_addr;
  result.peer.port_be = peer.sin_port;
  return result;
}

}  // namespace platform::net
