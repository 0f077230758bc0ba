// IPv4 TCP sockets over POSIX, in the shape of the Winsock calls a connection makes,
// outbound or accepted (listener.h opens listeners and accepts; wait.h waits on several
// sockets at once): start-up, host and address lookups, a non-blocking connect
// finished within a time-out, readiness waits, bounded receives, complete or single
// sends, and socket options. Failures return SOCKET_ERROR (or INVALID_SOCKET) and
// leave a Winsock error code (WSAE...) in the calling thread's last error, read with
// WSAGetLastError() (the same slot as platform::GetLastError(), so
// platform::SystemErrorText gives its message).
// Success leaves the last error as it was.
//
// Every wait here is bounded by its time-out (or by kInfinite when the caller asks
// for no bound): remaining time is computed on a monotonic clock as a signed amount
// that stops at zero, and a wait interrupted by a signal resumes with what is left.
// No send can raise SIGPIPE: sends use MSG_NOSIGNAL and Startup() ignores SIGPIPE
// for the process.
//
// Thread safety: the functions keep no state of their own (the last error is per
// thread); one socket may be used by one thread at a time, as with Winsock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync/event.h"

namespace platform::net {

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// Winsock error codes that this layer reports.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// shutdown() directions.
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// The address family of this layer's sockets (AF_INET), and the address that binds
// every local interface (INADDR_ANY, the same in either byte order).
inline constexpr int kAddressFamilyIPv4 = 2;
inline constexpr uint32_t kAnyAddress = 0;

// Recv flags.
inline constexpr int kMsgPeek = 0x2;  // MSG_PEEK

// The limit a client connection puts on one complete send.
inline constexpr uint32_t kSendTimeoutMs = 30000;

// The calling thread's last Winsock error.
int WSAGetLastError();
void WSASetLastError(int code);

// The Winsock code for an errno value: socket errors get their WSAE... code
// (EAGAIN -> WSAEWOULDBLOCK, EINPROGRESS -> WSAEINPROGRESS, EMFILE -> WSAEMFILE,
// EINVAL -> WSAEINVAL...); anything else falls back to platform::ErrorCodeFromErrno.
int WsaErrorFromErrno(int err);
// The Winsock code for a getaddrinfo result (EAI_NONAME -> WSAHOST_NOT_FOUND,
// EAI_AGAIN -> WSATRY_AGAIN, EAI_FAIL -> WSANO_RECOVERY, EAI_NODATA -> WSANO_DATA...).
int WsaErrorFromGai(int gai_error, int saved_errno);

// In place of WSAStartup: ignores SIGPIPE for the process (once) and returns 0.
// Version and data are not needed; nothing here requires a start-up first.
int Startup();
// In place of WSACleanup: nothing to release; returns 0.
int Cleanup();

// In place of gethostbyname: the first IPv4 address of host (a name or a dotted
// address), in network byte order. Returns 0, or the Winsock code (also left as the
// last error) when the name cannot be resolved.
int ResolveIPv4(const std::string& host, uint32_t* address_be);

// A port in network byte order, from one in host order (htons).
uint16_t PortToNetworkOrder(uint16_t port);
// The dotted text of an IPv4 address (network byte order), as inet_ntop writes it.
std::string IPv4Text(uint32_t address_be);
// Parses a dotted IPv4 address (no names): true and *address_be (network byte order),
// or false when the text is no such address.
bool ParseIPv4(const std::string& dotted, uint32_t* address_be);
// In place of gethostbyaddr: the host name of an IPv4 address by reverse lookup; a
// name is required (an address without one fails). Returns 0 and *name, or the
// Winsock code (also left as the last error).
int LookupHostName(uint32_t address_be, std::string* name);

// socket(AF_INET, SOCK_STREAM, 0), close-on-exec. INVALID_SOCKET on failure.
SOCKET OpenStreamSocket();
// ioctlsocket FIONBIO: on = true makes the socket non-blocking. 0 or SOCKET_ERROR.
int SetNonBlocking(SOCKET s, bool on);
// ioctlsocket FIONREAD: bytes that a recv would return now. 0 or SOCKET_ERROR.
int BytesReadable(SOCKET s, int* count);

// connect() to address:port (address and port in network byte order). Returns 0 when
// connected at once. On a non-blocking socket a connection under way returns
// SOCKET_ERROR with WSAEWOULDBLOCK (EINPROGRESS counts as "would block"), to be
// finished with WaitConnected. Any other failure: SOCKET_ERROR with its code.
int StartConnect(SOCKET s, uint32_t address_be, uint16_t port_be);

enum class ConnectWait {
  kConnected,  // the connection is up
  kFailed,     // it was refused or broke (the socket error is the last error)
  kTimedOut,   // nothing within the time-out (last error WSAETIMEDOUT)
  kError,      // the wait itself failed (its code is the last error)
  kStopped,    // the stop event was set first (consumed when auto-reset)
};
// Waits up to timeout_ms for a connection begun by StartConnect: writable with no
// pending socket error (SO_ERROR) is connected; an error reported by SO_ERROR (a
// refused connect shows POLLOUT/POLLERR with ECONNREFUSED) is kFailed. With a stop
// event the wait also ends when it is set.
ConnectWait WaitConnected(SOCKET s, uint32_t timeout_ms, Event* stop = nullptr);

enum class WaitResult {
  kReady,     // the socket is readable (data, an orderly close, or an error to fetch)
  kTimedOut,  // the time-out ran out first
  kStopped,   // the stop event was set (it is consumed when auto-reset)
  kClosed,    // (ReceiveWithin only) the peer closed the connection
  kError,     // the wait failed; its code is the last error
};
// Waits up to timeout_ms (0 polls once, kInfinite has no bound) until s is readable
// or `stop` (may be null) is set; a stop already set returns kStopped at once. The
// stop event wakes the wait immediately, it is not polled.
WaitResult WaitReadable(SOCKET s, uint32_t timeout_ms, Event* stop = nullptr);

// One recv of at most size bytes (flags 0 or kMsgPeek), never raising SIGPIPE.
// Returns the count, 0 when the peer has closed (or size is 0), or SOCKET_ERROR
// (WSAEWOULDBLOCK on a non-blocking socket with nothing waiting).
int Recv(SOCKET s, char* buffer, int size, int flags = 0);

// Receives within timeout_ms: waits as WaitReadable, then makes one recv of at most
// size bytes. Returns the count (> 0); 0 when the time ran out, `stop` was set or the
// peer closed the connection (*why, when given, says which: kTimedOut, kStopped,
// kClosed); SOCKET_ERROR with the last error when the wait or the recv failed
// (*why kError). A time-out of 0 takes what is already waiting without sleeping.
int ReceiveWithin(SOCKET s, char* buffer, int size, uint32_t timeout_ms, Event* stop = nullptr,
                  WaitResult* why = nullptr);

// Sends all length bytes, looping over partial sends and waiting for room (poll) on
// a full send buffer, within timeout_ms in all (kInfinite: no bound). Returns length
// (0 for a length of 0, without any call), or SOCKET_ERROR: WSAETIMEDOUT when the
// time ran out, else the socket error (WSAECONNRESET, WSAESHUTDOWN for a connection
// the peer has closed...). After a failure part of the data may have been sent.
int SendAll(SOCKET s, const char* data, int length, uint32_t timeout_ms);

// One send() of at most length bytes on a socket in its own mode (a blocking socket
// is bounded by its SO_SNDTIMEO), flags as for send() with MSG_NOSIGNAL always added,
// resumed after signals. Returns the count sent (possibly fewer than length; 0 for
// a length of 0), or SOCKET_ERROR with the socket error (WSAEWOULDBLOCK when the
// send time-out ran out or a non-blocking socket has no room).
int SendOnce(SOCKET s, const char* data, int length, int flags = 0);

// Waits up to timeout_ms (0 polls once, kInfinite has no bound) until s is writable
// or reports an error or hang-up: kReady, kTimedOut, or kError (the wait failed, or s
// is not an open descriptor: WSAENOTSOCK).
WaitResult WaitWritable(SOCKET s, uint32_t timeout_ms);

// Whether the peer of a connected socket is still there, without blocking and without
// consuming or changing anything (the socket's mode is left alone): true while the
// connection is idle or bytes are waiting; false once the peer has closed in order
// (readable with nothing to read), or the socket has failed or is no socket. An
// error that says nothing about the connection counts as connected.
bool PeerStillConnected(SOCKET s);

// SO_RCVTIMEO / SO_SNDTIMEO in milliseconds (0: no bound). 0 or SOCKET_ERROR.
int SetReceiveTimeout(SOCKET s, int ms);
int SetSendTimeout(SOCKET s, int ms);
// SO_SNDBUF / SO_RCVBUF: the size the system reports, or 0 when it cannot be read.
int GetSendBufferSize(SOCKET s);
int GetReceiveBufferSize(SOCKET s);
// Sets SO_SNDBUF / SO_RCVBUF. 0 or SOCKET_ERROR.
int SetSendBufferSize(SOCKET s, int bytes);
int SetReceiveBufferSize(SOCKET s, int bytes);

// shutdown(how: SD_RECEIVE, SD_SEND, SD_BOTH). 0 or SOCKET_ERROR.
int Shutdown(SOCKET s, int how);
// closesocket. 0 or SOCKET_ERROR.
int CloseSocket(SOCKET s);

}  // namespace platform::net
