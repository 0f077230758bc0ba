#include "tools/pos-client/session_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tools/pos-client/reply_frame.h"

namespace pos_client {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, never below 0.
int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

Clock::time_point DeadlineIn(uint32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }

bool ResolveIPv4(const std::string& host, in_addr* out) {
  if (inet_pton(AF_INET, host.c_str(), out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace

const char* LinkStatusText(LinkStatus status) {
  switch (status) {
    case LinkStatus::kOk: return "ok";
    case LinkStatus::kConnectFailed: return "connection failed";
    case LinkStatus::kRefused: return "connection refused";
    case LinkStatus::kNameNotFound: return "host name not found";
    case LinkStatus::kConnectTimedOut: return "connection timed out";
    case LinkStatus::kTimedOut: return "timed out";
    case LinkStatus::kClosed: return "closed by the server";
    case LinkStatus::kSendFailed: return "send failed";
    case LinkStatus::kBadReply: return "unreadable reply";
  }
  return "unknown";
}

SessionClient::~SessionClient() { Close(); }

void SessionClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

LinkStatus SessionClient::Connect(const std::string& host, uint16_t port, uint32_t timeout_ms) {
  Close();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (!ResolveIPv4(host, &address.sin_addr)) return LinkStatus::kNameNotFound;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return LinkStatus::kConnectFailed;
  if (receive_buffer_ > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer_, sizeof receive_buffer_);
  if (max_segment_ > 0) ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &max_segment_, sizeof max_segment_);
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  int error = rc == 0 ? 0 : errno;
  if (error == EINPROGRESS) {
    const auto deadline = DeadlineIn(timeout_ms);
    pollfd p{fd, POLLOUT, 0};
    do {
      rc = ::poll(&p, 1, MsLeft(deadline));
    } while (rc < 0 && errno == EINTR);
    socklen_t length = sizeof error;
    if (rc == 0) {
      error = ETIMEDOUT;
    } else if (rc < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      error = errno;
    }
  }
  if (error != 0) {
    ::close(fd);
    if (error == ECONNREFUSED) return LinkStatus::kRefused;
    if (error == ETIMEDOUT) return LinkStatus::kConnectTimedOut;
    return LinkStatus::kConnectFailed;
  }
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fd_ = fd;
  return LinkStatus::kOk;
}

LinkStatus SessionClient::SendBytes(std::string_view bytes) {
  if (fd_ < 0) return LinkStatus::kSendFailed;
  const auto deadline = DeadlineIn(30000);
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, MsLeft(deadline)) == 0) return LinkStatus::kSendFailed;
      continue;
    }
    return LinkStatus::kSendFailed;
  }
  return LinkStatus::kOk;
}

LinkStatus SessionClient::ReceiveSome(uint32_t timeout_ms) {
  if (fd_ < 0) return LinkStatus::kClosed;
  const auto deadline = DeadlineIn(timeout_ms);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return LinkStatus::kTimedOut;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      pending_.append(buffer, static_cast<size_t>(n));
      return LinkStatus::kOk;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return LinkStatus::kClosed;
  }
}

LinkStatus SessionClient::ReadFrame(std::string* frame, uint32_t timeout_ms) {
  const auto deadline = DeadlineIn(timeout_ms);
  for (;;) {
    const size_t etx = pending_.find(kEtx);
    if (etx != std::string::npos) {
      *frame = pending_.substr(0, etx + 1);
      pending_.erase(0, etx + 1);
      return LinkStatus::kOk;
    }
    const LinkStatus status = ReceiveSome(static_cast<uint32_t>(MsLeft(deadline)));
    if (status != LinkStatus::kOk) return status;
  }
}

LinkStatus SessionClient::ReadReply(const SessionKey& session, uint32_t timeout_ms, Reply* out) {
  Reply reply;
  if (LinkStatus status = ReadFrame(&reply.frame, timeout_ms); status != LinkStatus::kOk) return status;
  std::string document;
  if (OpenReply(reply.frame, session, &document, &reply.encrypted) != Status::kOk ||
      ParseNotice(document, &reply.notice) != Status::kOk) {
    return LinkStatus::kBadReply;
  }
  *out = std::move(reply);
  return LinkStatus::kOk;
}

LinkStatus SessionClient::ReadNotice(uint32_t timeout_ms, Notice* out) {
  Reply reply;
  if (LinkStatus status = ReadReply(SessionKey(), timeout_ms, &reply); status != LinkStatus::kOk) {
    return status;
  }
  if (reply.encrypted) return LinkStatus::kBadReply;
  *out = std::move(reply.notice);
  return LinkStatus::kOk;
}

LinkStatus SessionClient::Login(const LoginOptions& options, uint32_t timeout_ms, LoginResult* out) {
  const auto deadline = DeadlineIn(timeout_ms);
  LoginResult result;
  LinkStatus status = ReadNotice(static_cast<uint32_t>(MsLeft(deadline)), &result.greeting_notice);
  if (status != LinkStatus::kOk) return status;
  if (result.greeting_notice.code != 0 ||
      ParseGreeting(result.greeting_notice.text, &result.greeting) != Status::kOk ||
      ServerPublicKey::FromHex(result.greeting.public_key_hex, &server_key_) != Status::kOk) {
    // Not a greeting: hand the notice back as the result (2003 when going off line).
    result.result = result.greeting_notice;
    *out = std::move(result);
    return LinkStatus::kOk;
  }
  if (BuildLogin(result.greeting, options, &result.message) != Status::kOk) return LinkStatus::kBadReply;
  if (status = SendBytes(result.message.wire); status != LinkStatus::kOk) return status;
  status = ReadNotice(static_cast<uint32_t>(MsLeft(deadline)), &result.result);
  if (status != LinkStatus::kOk) return status;
  result.verified = IsLoginVerified(result.result, result.message.check_bytes);
  *out = std::move(result);
  return LinkStatus::kOk;
}

LinkStatus SessionClient::SendRequest(const std::vector<TStreamItem>& items,
                                      const RequestOptions& options, Request* out) {
  if (!server_key_.IsSet()) return LinkStatus::kBadReply;
  std::string tstream;
  Request request;
  if (JoinTStream(items, &tstream) != Status::kOk ||
      BuildRequest(server_key_, tstream, options, &request) != Status::kOk) {
    return LinkStatus::kBadReply;
  }
  if (LinkStatus status = SendBytes(request.WireText()); status != LinkStatus::kOk) return status;
  *out = std::move(request);
  return LinkStatus::kOk;
}

bool SessionClient::WaitClosed(uint32_t timeout_ms) {
  const auto deadline = DeadlineIn(timeout_ms);
  for (;;) {
    const LinkStatus status = ReceiveSome(static_cast<uint32_t>(MsLeft(deadline)));
    if (status == LinkStatus::kClosed) return true;
    if (status == LinkStatus::kTimedOut) return false;
  }
}

void SessionClient::ShutdownSend() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

}  // namespace pos_client
