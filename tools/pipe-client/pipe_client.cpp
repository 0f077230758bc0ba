#include "tools/pipe-client/pipe_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

namespace pipe_client {

namespace {

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string ErrnoText(const char* what, int err) { return std::string(what) + ": " + std::strerror(err); }

// Waits for events on fd until the deadline: true when ready.
bool WaitFor(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, MsLeft(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

std::string PipeNameForPid(unsigned long pid) {
  std::string letters;
  do {
    const unsigned digit = pid % 10;
    letters += digit == 0 ? 'J' : static_cast<char>('A' + digit - 1);
    pid /= 10;
  } while (pid != 0);
  return "\\\\.\\pipe\\" + letters + "_QuillonAppVirureday";
}

std::string CommandRequest(const std::string& command, bool with_nul) {
  std::string request = std::string("COMMAND") + kRecordSeparator + command;
  if (with_nul) request += '\0';
  return request;
}

bool PipeClient::Connect(const std::string& name, int timeout_ms, std::string* error) {
  Close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.empty() || name.size() > sizeof(address.sun_path) - 1) {
    *error = "bad pipe name";
    return false;
  }
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *error = ErrnoText("socket", errno);
      return false;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
      fd_ = fd;
      return true;
    }
    const int err = errno;
    ::close(fd);
    if ((err != ECONNREFUSED && err != EAGAIN && err != EINTR) || MsLeft(deadline) == 0) {
      *error = ErrnoText("connect", err);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool PipeClient::Send(const std::string& message, int timeout_ms, std::string* error) {
  if (fd_ < 0) {
    *error = "not connected";
    return false;
  }
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const ssize_t n = ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(message.size())) return true;
    if (n >= 0) {
      *error = "short send";
      return false;
    }
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitFor(fd_, POLLOUT, deadline)) {
      *error = errno == EAGAIN ? "send timed out" : ErrnoText("send", errno);
      return false;
    }
  }
}

bool PipeClient::Receive(std::string* message, int timeout_ms, std::string* error) {
  message->clear();
  if (fd_ < 0) {
    *error = "not connected";
    return false;
  }
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<char> buffer(65536);
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
      message->assign(buffer.data(), static_cast<size_t>(n));
      return true;
    }
    if (n == 0) {
      *error = "closed";
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = errno == ECONNRESET ? "closed" : ErrnoText("recv", errno);
      return false;
    }
    if (!WaitFor(fd_, POLLIN, deadline)) {
      *error = "receive timed out";
      return false;
    }
  }
}

bool PipeClient::Request(const std::string& request, std::string* reply, int timeout_ms, std::string* error) {
  reply->clear();
  std::string message;
  if (!Send(request, timeout_ms, error) || !Receive(&message, timeout_ms, error)) return false;
  if (message.empty() || message.back() != '\0' || message.find('\0') != message.size() - 1) {
    *error = "reply is not one text and one NUL";
    return false;
  }
  message.pop_back();
  *reply = message;
  return true;
}

void PipeClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SendCommand(const std::string& name, const std::string& command, std::string* reply, int timeout_ms,
                 std::string* error) {
  PipeClient client;
  return client.Connect(name, timeout_ms, error) && client.Request(CommandRequest(command), reply, timeout_ms, error);
}

}  // namespace pipe_client
