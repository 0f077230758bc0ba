#include "app/server/ws_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr char kConnectText[] = "Connect Successful ... Now Disconnecting.";
constexpr char kRefusedText[] = "Too Many Connections, Please Try Later.";

// poll for events within ms (negative: no bound), EINTR retried with the full wait
// again (the waits here are short). > 0 ready, 0 time-out, < 0 failure.
int PollFor(int socket, short events, int ms) {
  pollfd p{socket, events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc > 0 && (p.revents & POLLNVAL) != 0) return -1;
    return rc;
  }
}

int WaitMs(int seconds, int microseconds) {
  const int64_t ms = static_cast<int64_t>(seconds) * 1000 + microseconds / 1000;
  return ms < 0 ? 0 : (ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms));
}

struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileClose>;

}  // namespace

void WSConnection::OnConnect() {
  char line[100];
  if (ReadLine(line, sizeof line) > 0) {
    Drain();
    SendText(kConnectText);
  }
}

void WSConnection::OnRefused() {
  char buffer[255];
  if (Receive(buffer, sizeof buffer) > 0) SendText(kRefusedText);
}

bool WSConnection::OnReceiveProgress(int64_t) { return true; }
bool WSConnection::OnSendProgress(int64_t) { return true; }

int WSConnection::Send(const char* data, int len, int flags) {
  if (len < 0) len = data == nullptr ? 0 : static_cast<int>(std::strlen(data));
  if (m_Ended && len > 0) return -1;
  int sent = 0;
  while (sent < len) {
    const ssize_t n = ::send(m_Socket, data + sent, static_cast<size_t>(len - sent), flags | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // An error, or the send time-out ran out (EAGAIN) with the message perhaps in
      // part on the wire: the stream can carry nothing more.
      m_Ended = true;
      if (m_Socket >= 0) ::shutdown(m_Socket, SHUT_RDWR);
      return -1;
    }
  }
  return sent;
}

int WSConnection::Send(const char* data, int len) { return Send(data, len, 0); }

int WSConnection::SendText(const std::string& text) {
  if (text.size() > 0x7FFFFFFF) return -1;
  return Send(text.data(), static_cast<int>(text.size()), 0);
}

int WSConnection::SendChunked(const std::string& text, int len, int chunk) {
  if (len <= 0 || len > static_cast<int>(text.size())) len = static_cast<int>(text.size());
  if (chunk <= 0) return -1;
  int total = 0;
  for (int at = 0; at < len; at += chunk) {
    const int piece = std::min(chunk, len - at);
    std::string part = text.substr(static_cast<size_t>(at), static_cast<size_t>(piece));
    part += "\r\n";
    const int rc = SendText(part);
    if (rc <= 0) return rc;
    total += rc;
  }
  return total;
}

int WSConnection::SendFile(const std::string& path, int64_t* count) {
  *count = 0;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) return 1;
  char buffer[255];
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    if (n == 0) return 0;
    if (Send(buffer, static_cast<int>(n)) != static_cast<int>(n)) return 2;
    *count += static_cast<int64_t>(n);
    if (!OnSendProgress(*count)) return 2;
  }
}

int WSConnection::Receive(char* buffer, int size) {
  if (size <= 0) return 0;
  for (;;) {
    const ssize_t n = ::recv(m_Socket, buffer, static_cast<size_t>(size), 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<int>(n);
  }
}

int WSConnection::Receive(char* buffer, int size, int seconds) {
  if (seconds > 0 && WaitReadable(seconds, 0) != 0) return 0;
  return Receive(buffer, size);
}

int WSConnection::ReceiveWithin(char* buffer, int size, uint32_t ms) {
  if (ms > 0) {
    const int rc = PollFor(m_Socket, POLLIN, ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms));
    if (rc == 0) return 0;
    if (rc < 0) return -1;
  }
  return Receive(buffer, size);
}

int WSConnection::ReadLine(char* buffer, int size, int seconds) {
  if (size <= 0) return 0;
  int placed = 0;
  while (placed < size - 1) {
    if (seconds > 0 && WaitReadable(seconds, 0) != 0) break;
    ssize_t n;
    do {
      n = ::recv(m_Socket, buffer + placed, static_cast<size_t>(size - 1 - placed), MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) break;
    // A CR LF may straddle the previous piece and this one.
    int end = -1;
    for (int i = placed > 0 ? placed - 1 : 0; i + 1 < placed + n; ++i) {
      if (buffer[i] == '\r' && buffer[i + 1] == '\n') {
        end = i + 2;
        break;
      }
    }
    const int take = end >= 0 ? end - placed : static_cast<int>(n);
    const int got = Receive(buffer + placed, take);
    if (got <= 0) break;
    placed += got;
    if (end >= 0 && placed == end) break;
  }
  buffer[placed] = '\0';
  return placed;
}

int WSConnection::ReadLine(char* buffer, int size) { return ReadLine(buffer, size, 0); }

bool WSConnection::HasPendingData() const {
  int waiting = 0;
  return ::ioctl(m_Socket, FIONREAD, &waiting) == 0 && waiting > 0;
}

void WSConnection::Drain() {
  char buffer[256];
  while (HasPendingData() && Receive(buffer, sizeof buffer) > 0) {
  }
}

int WSConnection::ReceiveFile(const std::string& path, int type, int64_t* count, int seconds) {
  *count = 0;
  const char* mode = type == 1 ? "w+b" : (type == 2 ? "a+b" : nullptr);
  if (mode == nullptr) return 1;
  File file(std::fopen(path.c_str(), mode));
  if (!file) return 2;
  char buffer[256];
  for (;;) {
    if (seconds > 0 && WaitReadable(seconds, 0) != 0) return 3;
    const int n = Receive(buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0) return 4;
    if (std::fwrite(buffer, 1, static_cast<size_t>(n), file.get()) != static_cast<size_t>(n)) return 5;
    *count += n;
    if (!OnReceiveProgress(*count)) return 6;
  }
}

int WSConnection::ReceiveFile(const std::string& path, int type, int64_t* count) {
  return ReceiveFile(path, type, count, 0);
}

int WSConnection::WaitReadable(int seconds, int microseconds) const {
  return PollFor(m_Socket, POLLIN, WaitMs(seconds, microseconds)) > 0 ? 0 : 1;
}

int WSConnection::WaitWritable(int seconds, int microseconds) const {
  return PollFor(m_Socket, POLLOUT, WaitMs(seconds, microseconds)) > 0 ? 0 : 1;
}

bool WSConnection::IsConnected() const {
  if (m_Ended) return false;
  // 1. Readable now? A socket that poll cannot watch is gone.
  pollfd p{m_Socket, POLLIN, 0};
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
    n = ::recv(m_Socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
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

int SetTimeout(int socket, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return ::setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv);
}

int GetIntOption(int socket, int option) {
  int value = 0;
  socklen_t length = sizeof value;
  return ::getsockopt(socket, SOL_SOCKET, option, &value, &length) == 0 ? value : 0;
}

}  // namespace

int WSConnection::SetReceiveTimeout(int ms) { return SetTimeout(m_Socket, SO_RCVTIMEO, ms); }
int WSConnection::SetSendTimeout(int ms) { return SetTimeout(m_Socket, SO_SNDTIMEO, ms); }

int WSConnection::SetNonBlocking(bool on) {
  const int flags = ::fcntl(m_Socket, F_GETFL);
  if (flags < 0) return -1;
  const int rc = ::fcntl(m_Socket, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
  if (rc == 0) m_NonBlocking = on;
  return rc;
}

int WSConnection::GetSendBufferSize() const { return GetIntOption(m_Socket, SO_SNDBUF); }
int WSConnection::GetReceiveBufferSize() const { return GetIntOption(m_Socket, SO_RCVBUF); }

int WSConnection::SetSendBufferSize(int bytes) {
  return ::setsockopt(m_Socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int WSConnection::SetReceiveBufferSize(int bytes) {
  return ::setsockopt(m_Socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int WSConnection::CancelBlockingCall() {
  m_Cancelled = 1;
  if (m_Socket >= 0) ::shutdown(m_Socket, SHUT_RDWR);
  return 0;
}

std::string WSConnection::GetPeerAddress() const {
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &m_PeerAddress.sin_addr, text, sizeof text) == nullptr) return {};
  return text;
}

int WSConnection::GetPeerAddressText(char* buffer, int size) const {
  const std::string text = GetPeerAddress();
  if (text.empty()) return 2;
  if (size - 1 < static_cast<int>(text.size())) return 1;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return 0;
}

int WSConnection::GetPeerHostName(char* buffer, int size) const {
  char host[NI_MAXHOST];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&m_PeerAddress), sizeof m_PeerAddress, host,
                    sizeof host, nullptr, 0, NI_NAMEREQD) != 0) {
    return 2;
  }
  const size_t length = std::strlen(host);
  if (size < static_cast<int>(length) + 1) return 1;
  std::memcpy(buffer, host, length + 1);
  return 0;
}
