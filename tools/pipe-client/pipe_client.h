// The launcher's side of the management pipe, for tests and for people: finds a
// server's pipe by its process id, connects, sends requests and reads the replies.
// Written against the wire format alone (raw AF_UNIX SOCK_SEQPACKET sockets in the
// abstract namespace), linking none of the server's libraries:
//   name     "\\.\pipe\" + the decimal digits of the process id in reverse order
//            (1..9 as "A".."I", 0 as "J") + "_QuillonAppVirureday"; the socket
//            address is that whole name after a leading NUL
//   request  "COMMAND", RS (0x1E), the command, optionally a NUL; one message
//   reply    the text and one NUL; one message of at most 4096 bytes
//   error    "ERROR", RS, the error text
// Every call is bounded by its time-out. One PipeClient is used by one thread.
#pragma once

#include <string>

namespace pipe_client {

inline constexpr char kRecordSeparator = '\x1E';
inline constexpr char kUnitSeparator = '\x1F';

// "\\.\pipe\EJBA_QuillonAppVirureday" for process 1205.
std::string PipeNameForPid(unsigned long pid);

// "COMMAND" RS command, and a NUL when asked.
std::string CommandRequest(const std::string& command, bool with_nul = false);

class PipeClient {
 public:
  PipeClient() = default;
  PipeClient(const PipeClient&) = delete;
  PipeClient& operator=(const PipeClient&) = delete;
  ~PipeClient() { Close(); }

  // Connects to the pipe of that (whole) name, trying again until timeout_ms while
  // nobody listens. False with *error set.
  bool Connect(const std::string& name, int timeout_ms, std::string* error);
  // Sends the bytes as one message. False with *error set.
  bool Send(const std::string& message, int timeout_ms, std::string* error);
  // Receives one message (up to 65,536 bytes, so that a longer one shows). False
  // with *error set; "closed" when the server ended the connection.
  bool Receive(std::string* message, int timeout_ms, std::string* error);
  // Send, then Receive; *reply is the reply text without its NUL. False also when
  // the message does not end with exactly one NUL.
  bool Request(const std::string& request, std::string* reply, int timeout_ms, std::string* error);

  bool IsConnected() const { return fd_ >= 0; }
  void Close();

 private:
  int fd_ = -1;
};

// Connects, sends CommandRequest(command), returns the reply text.
bool SendCommand(const std::string& name, const std::string& command, std::string* reply, int timeout_ms,
                 std::string* error);

}  // namespace pipe_client
