// Message pipes between local processes, in place of named pipes in message mode:
// an AF_UNIX SOCK_SEQPACKET socket bound in the abstract namespace under the pipe's
// name (the whole name, "\\.\pipe\" prefix included, as the bytes after the
// address's leading NUL). Each Write is one message and each Read returns exactly
// one message; a message is never split or merged with another.
//
// Abstract sockets carry no file permissions, so a server checks who is calling:
// PipeConnection::GetPeer reads the kernel's credentials of the connecting process
// (SO_PEERCRED) and IsTrustedPeer accepts the same effective user id or root.
//
// Failures return false (or nullptr) and leave a Windows-style code in the calling
// thread's last error (platform::GetLastError): 2 no such pipe, 5 peer refused,
// 109 the other end closed, 121 time-out, 123 bad name, 231 name taken,
// 234 message too long, else the nearest code of the errno.
//
// Every wait is bounded by the caller's time-out (kInfinite: none); the time left is
// measured on the monotonic clock and survives EINTR. Sends never raise SIGPIPE.
//
// Thread safety: no state besides the descriptors; one object is used by one
// thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/sync/event.h"

namespace platform::ipc {

// Codes left in the last error.
inline constexpr uint32_t kErrorNoSuchPipe = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr uint32_t kErrorAccessDenied = 5;     // ERROR_ACCESS_DENIED
inline constexpr uint32_t kErrorBrokenPipe = 109;     // ERROR_BROKEN_PIPE
inline constexpr uint32_t kErrorTimeout = 121;        // ERROR_SEM_TIMEOUT
inline constexpr uint32_t kErrorInvalidName = 123;    // ERROR_INVALID_NAME
inline constexpr uint32_t kErrorPipeBusy = 231;       // ERROR_PIPE_BUSY: the name is taken
inline constexpr uint32_t kErrorMoreData = 234;       // ERROR_MORE_DATA: message too long

// The longest name an abstract socket address holds.
inline constexpr size_t kMaxPipeNameLength = 107;

// Who is at the other end of a connection, as the kernel saw it at connect time.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

// True for a peer running as this process's effective user, or as root.
bool IsTrustedPeer(const PeerCredentials& peer);

// One connected end. Owns its descriptor (non-blocking) and closes it.
class PipeConnection {
 public:
  explicit PipeConnection(int fd) : fd_(fd) {}
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;
  ~PipeConnection() { Close(); }

  enum class ReadResult {
    kMessage,   // *message holds one whole message of 1 to max bytes
    kClosed,    // the other end closed (an empty message reads the same), or an error
    kTooLong,   // a message longer than max came; it is discarded
    kTimeout,   // nothing arrived within the time-out
  };

  // Reads one message of at most max bytes, waiting up to timeout_ms (0: only what
  // is there already).
  ReadResult Read(std::string* message, size_t max, uint32_t timeout_ms);
  // Writes message as one message, waiting up to timeout_ms for room. False when it
  // could not be written whole.
  bool Write(std::string_view message, uint32_t timeout_ms);
  // One request and its reply: Write, then Read (of up to max_reply bytes), both
  // within timeout_ms each.
  bool Transact(std::string_view request, std::string* reply, size_t max_reply, uint32_t timeout_ms);

  bool GetPeer(PeerCredentials* peer) const;
  int Fd() const { return fd_; }
  void Close();

 private:
  int fd_;
};

// The listening end of a pipe name.
class PipeListener {
 public:
  PipeListener() = default;
  PipeListener(const PipeListener&) = delete;
  PipeListener& operator=(const PipeListener&) = delete;
  ~PipeListener() { Close(); }

  // Binds the name and listens. False when the name is empty or longer than
  // kMaxPipeNameLength (123), when another socket holds it (231), or when no socket
  // can be had. Listening again first closes the previous socket.
  bool Listen(const std::string& name, int backlog = 64);
  // Takes one waiting connection without blocking; nullptr when none is waiting.
  std::unique_ptr<PipeConnection> Accept();
  bool IsListening() const { return fd_ >= 0; }
  // Readable (for poll) while connections wait.
  int Fd() const { return fd_; }
  void Close();

 private:
  int fd_ = -1;
};

// Connects to the pipe of that name, trying again until timeout_ms while nobody
// listens yet or the listener's queue is full. nullptr when no connection came
// about (2 no listener, 121 time-out, 123 bad name).
std::unique_ptr<PipeConnection> ConnectPipe(const std::string& name, uint32_t timeout_ms);

}  // namespace platform::ipc
