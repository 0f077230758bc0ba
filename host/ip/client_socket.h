// CClientSocket: one outbound IPv4 TCP connection with bounded waits, the base of the
// TLS clients. It resolves a host name, connects and receives within time-outs while
// watching g_AbortEvent, sends whole buffers, and keeps the last
// failure as a code (9999 until a failure is recorded) and a text. The TLS layers and
// the clients above them record their own failures in the same two fields.
//
// Promises:
// - Connect: a refused connection, a time-out and a wait given up because the
//   watched abort event was set all fail with code 3006; a failed connect always
//   closes the socket it made. The socket is blocking once connected.
// - Receive never waits longer than its time-out, returns 0 at once when the watched
//   abort event (g_AbortEvent unless SetAbortEvent changed it) is set or the peer has
//   closed or reset the connection, and delivers what one recv returns (at most
//   `size` bytes); it records no failure.
// - Send puts every byte on the wire (looping over partial sends, within
//   platform::net::kSendTimeoutMs) or fails with code 3003.
//
// Not thread-safe: an object is used by one thread at a time. The only shared state
// it reads is the watched abort event (its own lock); it takes no other lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/net/socket.h"

// Last-error codes of this class (the Winsock codes aside).
inline constexpr int kNoSocketError = 9999;             // nothing has failed yet
inline constexpr int kSocketCreationFailed = 3005;
inline constexpr int kSocketConnectFailed = 3006;       // refused, or the time-out ran out
inline constexpr int kSocketSendFailed = 3003;

class CClientSocket {
 public:
  CClientSocket();
  CClientSocket(const CClientSocket&) = delete;
  CClientSocket& operator=(const CClientSocket&) = delete;
  virtual ~CClientSocket();

  // Returns an open socket to blocking mode, shuts both directions, closes it.
  // Always true.
  bool Close();
  bool SetBlocking();
  bool SetNonBlocking();

  // Resolves host (a name or a dotted address), then ConnectToAddress with its first
  // IPv4 address.
  bool ConnectToServerByHostName(const std::string& host, int port, unsigned timeoutMs);
  // address in network byte order.
  bool ConnectToAddress(uint32_t address, int port, unsigned timeoutMs);

  // True when bytes are waiting to be received.
  bool BytesAvailable();
  // False when the connection is gone: no socket, an orderly close or a reset by the
  // peer, or a socket that no longer works.
  bool IsAlive();
  // One recv(buffer, size); its result unchanged.
  int RecvRaw(char* buffer, int size);
  // Bytes received by one recv (> 0); 0 when nothing came within timeoutMs, the
  // abort event is set, the connection is gone or there is no socket; SOCKET_ERROR
  // when recv failed otherwise (WSAGetLastError says why).
  int Receive(char* buffer, int size, unsigned timeoutMs);
  // length (0 for a length of 0, without any call), or SOCKET_ERROR with code 3003.
  int Send(const char* data, int length);

  // The event whose setting ends a Receive at once; nullptr: none, the time-out alone
  // bounds it. The event must outlive its use here.
  void SetAbortEvent(platform::Event* abort) { m_AbortEvent = abort; }
  platform::Event* GetAbortEvent() const { return m_AbortEvent; }

  int GetLastErrorCode() const { return m_LastErrorCode; }
  std::string GetLastErrorText() const { return m_LastErrorText; }
  // Why the last connect failed, naming the endpoint, for the log:
  // "host:port: connection refused", "... no answer within 10000 ms", "... host name
  // not found"; "" until a connect fails.
  std::string GetConnectFailureCause() const { return m_ConnectFailureCause; }

  // For the layers above: record a failure (code and text), or one half of it.
  void SetLastFailure(int code, std::string text);
  void SetLastErrorCode(int code) { m_LastErrorCode = code; }
  void SetLastErrorText(std::string text) { m_LastErrorText = std::move(text); }

  bool IsConnected() const { return m_Socket != platform::net::INVALID_SOCKET; }

 private:
  // Closes the socket of a failed connect.
  bool FailConnect(int code, std::string text);

  platform::net::SOCKET m_Socket = platform::net::INVALID_SOCKET;
  uint32_t m_PeerAddress = 0;  // network byte order
  uint16_t m_PeerPort = 0;     // network byte order
  bool m_WinsockStarted = false;
  platform::Event* m_AbortEvent;
  int m_LastErrorCode = kNoSocketError;
  std::string m_LastErrorText;
  std::string m_ConnectFailureCause;
};
