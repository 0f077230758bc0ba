// SessionClient: one point-of-sale client connection to the server over TCP (IPv4),
// in blocking calls that each end within their own time-out: connect, read the
// greeting and log in, send requests, and read the replies frame by frame (each frame
// runs from its FS to its ETX). Replies to a request are opened with that request's
// session key; notices in clear need none.
//
// One object serves one connection and is used by one thread at a time; it holds no
// lock. Sends never raise SIGPIPE (MSG_NOSIGNAL).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pos-client/key_blob.h"
#include "tools/pos-client/login.h"
#include "tools/pos-client/request_envelope.h"

namespace pos_client {

enum class LinkStatus {
  kOk,
  kConnectFailed,  // no connection could be made (for a reason not listed below)
  kRefused,        // nothing listens on the port (the connection was refused)
  kNameNotFound,   // the host name could not be resolved
  kConnectTimedOut,  // no connection within the time-out
  kTimedOut,       // nothing complete arrived within the time-out
  kClosed,         // the server closed the connection
  kSendFailed,     // the bytes could not all be sent
  kBadReply,       // a frame, notice or greeting that could not be read
};
const char* LinkStatusText(LinkStatus status);

struct LoginResult {
  Notice greeting_notice;  // the greeting as a notice (code 0)
  Greeting greeting;
  LoginMessage message;    // what was sent
  Notice result;           // the server's answer to the login
  bool verified = false;   // 2000 with the check bytes given back
};

// One reply opened: its notice, whether it came encrypted, the frame as received.
struct Reply {
  Notice notice;
  bool encrypted = false;
  std::string frame;
};

class SessionClient {
 public:
  SessionClient() = default;
  SessionClient(const SessionClient&) = delete;
  SessionClient& operator=(const SessionClient&) = delete;
  ~SessionClient();

  // Connects to host (a dotted IPv4 address or a name) and port within timeout_ms.
  LinkStatus Connect(const std::string& host, uint16_t port, uint32_t timeout_ms);
  bool IsOpen() const { return fd_ >= 0; }
  // For a client that reads slowly: the receive buffer (SO_RCVBUF) and the largest
  // segment (TCP_MAXSEG) of the socket the next Connect makes, so that little fits
  // on the way to it; 0 keeps the system's value.
  void SetSocketLimits(int receive_buffer, int max_segment) {
    receive_buffer_ = receive_buffer;
    max_segment_ = max_segment;
  }

  // Sends every byte (kSendFailed otherwise).
  LinkStatus SendBytes(std::string_view bytes);
  // The next frame, its ETX included, within timeout_ms.
  LinkStatus ReadFrame(std::string* frame, uint32_t timeout_ms);
  // The next frame opened with session (a clear frame needs no key).
  LinkStatus ReadReply(const SessionKey& session, uint32_t timeout_ms, Reply* out);
  // The next frame, which must be in clear.
  LinkStatus ReadNotice(uint32_t timeout_ms, Notice* out);

  // Reads the greeting, sends the login that options describe and reads the answer.
  // kOk once the answer was read, whatever it says (see out->verified). The server
  // key of the greeting is kept for the requests.
  LinkStatus Login(const LoginOptions& options, uint32_t timeout_ms, LoginResult* out);

  // Builds the request of items for the server key of the greeting (or options'
  // faults) and sends it with its ETX. kBadReply when no greeting key is known or
  // the request cannot be built.
  LinkStatus SendRequest(const std::vector<TStreamItem>& items, const RequestOptions& options,
                         Request* out);

  // True when the server closes the connection within timeout_ms (bytes that arrive
  // meanwhile are kept for ReadFrame).
  bool WaitClosed(uint32_t timeout_ms);
  // Stops sending (the server sees an orderly close); reading still works.
  void ShutdownSend();
  void Close();

  const ServerPublicKey& server_key() const { return server_key_; }

 private:
  // Appends what arrives within timeout_ms to pending_: kOk when bytes came.
  LinkStatus ReceiveSome(uint32_t timeout_ms);

  int fd_ = -1;
  int receive_buffer_ = 0;
  int max_segment_ = 0;
  std::string pending_;
  ServerPublicKey server_key_;
};

}  // namespace pos_client
