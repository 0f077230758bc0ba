// WSConnection: one accepted TCP connection of a WSServer, served on its own thread
// by a derived class (OnConnect for a connection within the server's maximum,
// OnRefused for one over it). The base offers the socket operations that such a
// class uses: complete sends, bounded receives, line and file transfers, readiness
// waits, the connection test and socket options.
//
// Sends never raise SIGPIPE (MSG_NOSIGNAL) and loop over partial sends: a send either
// puts every byte on the wire or fails (-1). A failed send ends the connection: the
// socket is shut down both ways at once, so that nothing follows a message that went
// out in part (the peer reads the cut message, then the end of the stream), every
// later send fails and IsConnected is false. The socket's own time-outs (set by the
// server to 30 s) bound each blocking call. Every socket call, wait and name lookup
// goes through platform/net.
//
// Threads: a connection object is used by its own thread only, except
// CancelBlockingCall, which the server may call from another thread (it only sets an
// atomic flag and shuts the socket down). No lock of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/net/listener.h"

class WSServer;

class WSConnection {
 public:
  WSConnection() = default;
  WSConnection(const WSConnection&) = delete;
  WSConnection& operator=(const WSConnection&) = delete;
  virtual ~WSConnection() = default;

  // The connection's work for a connection within the server's maximum. Default:
  // reads a line (100-byte buffer, no wait); when one came, drains the rest and sends
  // "Connect Successful ... Now Disconnecting.".
  virtual void OnConnect();
  // The work for a connection over the maximum. Default: receives up to 255 bytes (no
  // wait); when any came, sends "Too Many Connections, Please Try Later.".
  virtual void OnRefused();
  // Progress of SendFile and ReceiveFile; false stops the transfer. Default: true.
  virtual bool OnReceiveProgress(int64_t total);
  virtual bool OnSendProgress(int64_t total);

  // Sends len bytes (a negative len: up to the first NUL). Returns len once every
  // byte went out, 0 for nothing to send, -1 on failure (part may have gone out; the
  // connection has then ended, see HasEnded).
  int Send(const char* data, int len, int flags);
  int Send(const char* data, int len);
  // The whole text, NUL bytes included.
  int SendText(const std::string& text);
  // The text in pieces of chunk bytes, each followed by "\r\n" (len 0 or less: the
  // whole text). The total of the sends, or the first result that is 0 or less.
  int SendChunked(const std::string& text, int len, int chunk);
  // The file in reads of 255 bytes: 0 sent, 1 it cannot be opened, 2 a send failed
  // (or OnSendProgress stopped it). *count: the bytes sent.
  int SendFile(const std::string& path, int64_t* count);

  // One recv of at most size bytes (EINTR retried): its result.
  int Receive(char* buffer, int size);
  // With seconds above 0: 0 when nothing becomes readable in that time, else one recv.
  int Receive(char* buffer, int size, int seconds);
  // The same with the wait in milliseconds (0: no wait).
  int ReceiveWithin(char* buffer, int size, uint32_t ms);
  // One line ended by CR LF, the CR LF included, consumed exactly through it; or what
  // came until the buffer (size - 1) is full, the peer closed or (seconds above 0)
  // nothing became readable in time. NUL-terminated; returns the bytes placed.
  int ReadLine(char* buffer, int size, int seconds);
  int ReadLine(char* buffer, int size);
  // Bytes are waiting to be read.
  bool HasPendingData() const;
  // Reads and drops 256-byte pieces while bytes are waiting.
  void Drain();
  // Receives into a file until the peer closes: type 1 creates it, 2 appends, other
  // types give 1; 2 it cannot be opened; 3 nothing readable within seconds (when above
  // 0); 4 a receive error; 5 a short write; 6 OnReceiveProgress stopped it; 0 done.
  int ReceiveFile(const std::string& path, int type, int64_t* count, int seconds);
  int ReceiveFile(const std::string& path, int type, int64_t* count);

  // Non-zero when the socket did NOT become readable (writable) in that time.
  int WaitReadable(int seconds, int microseconds) const;
  int WaitWritable(int seconds, int microseconds) const;
  // The peer is still there: false once it closed in order, the socket failed or a
  // send failed; true while the connection is idle or bytes are waiting. Leaves the
  // socket's mode as it was.
  bool IsConnected() const;
  // A send failed and the connection was ended by this side.
  bool HasEnded() const { return m_Ended; }

  int SetReceiveTimeout(int ms);
  int SetSendTimeout(int ms);
  int SetNonBlocking(bool on);
  int GetSendBufferSize() const;
  int GetReceiveBufferSize() const;
  int SetSendBufferSize(int bytes);
  int SetReceiveBufferSize(int bytes);
  // Wakes the connection's blocking calls (shuts the socket down) and sets the
  // cancelled flag. Any thread. Returns 0.
  int CancelBlockingCall();
  bool IsCancelled() const { return m_Cancelled.load(); }

  // The peer's dotted IPv4 address.
  std::string GetPeerAddress() const;
  // 0 copied with its NUL; 1 the buffer is too small; 2 no text.
  int GetPeerAddressText(char* buffer, int size) const;
  // The peer's host name by reverse lookup: 0 copied, 1 too small, 2 lookup failed.
  int GetPeerHostName(char* buffer, int size) const;

  int GetSocket() const { return m_Socket; }

 protected:
  friend class WSServer;

  int m_Socket = -1;
  platform::net::SocketAddress m_PeerAddress;
  int m_ListenSocket = -1;
  WSServer* m_Server = nullptr;
  bool m_NonBlocking = false;
  bool m_Ended = false;  // a send failed: the socket is shut down (own thread only)
  std::atomic<int> m_Cancelled{0};
};
