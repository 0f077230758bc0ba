// Listening IPv4 TCP sockets and the accepts on them, in place of Winsock's socket,
// bind, listen and accept on the server side: a listener opened in one call that
// says which step failed, and an accept that waits within a time-out and can be
// stopped by an event, sorting its failures into the ones worth another try and the
// ones that end accepting.
//
// Thread safety: no state of its own; a listener is accepted on by one thread at a
// time, while any thread may set the stop event of its wait.
#pragma once

#include <cstdint>

#include "platform/net/socket.h"
#include "platform/net/wait.h"

namespace platform::net {

// An IPv4 address and port, both in network byte order.
struct SocketAddress {
  uint32_t address_be = 0;
  uint16_t port_be = 0;
};

enum class ListenStep { kNone, kSocket, kBind, kListen };

struct ListenResult {
  SOCKET socket = INVALID_SOCKET;          // the listener, or INVALID_SOCKET
  ListenStep failed = ListenStep::kNone;   // which call failed
  int os_error = 0;                        // its errno (0 on success)
};

// Opens a listener: socket(AF_INET, SOCK_STREAM, protocol), close-on-exec, with
// SO_REUSEADDR; bound to family/address_be/port_be (port 0: one the system picks);
// listening with backlog; then non-blocking, so that a connection reset between the
// wait and the accept never blocks the accept. On failure the socket made is closed
// and the result says which step failed with its errno (the last error also holds
// the Winsock code).
ListenResult OpenListener(int family, uint32_t address_be, uint16_t port_be, int backlog, int protocol = 0);

// The local port a socket is bound to (host byte order), or -1 when it cannot be read.
int LocalPort(SOCKET s);

enum class AcceptStatus {
  kAccepted,      // socket and peer hold the new connection (blocking, close-on-exec)
  kTimedOut,      // no connection came within the time-out
  kStopped,       // the stop event was set
  kTryAgain,      // nothing taken for a passing reason (the connection was reset before
                  // it was taken, a signal, a protocol error): accept again at once
  kExhausted,     // descriptors or buffers ran out (EMFILE, ENFILE, ENOBUFS, ENOMEM):
                  // worth another try after a pause
  kWaitFailed,    // the wait failed, or the listener is not an open descriptor
  kAcceptFailed,  // accept failed for any other reason: no connection will come
};

struct AcceptResult {
  AcceptStatus status = AcceptStatus::kTimedOut;
  SOCKET socket = INVALID_SOCKET;
  SocketAddress peer;
  int os_error = 0;  // the errno of a failed wait or accept
};

// Waits up to timeout_ms (kInfinite: no bound) until a connection waits on the
// listener, or `stop` (may be null) is set, then takes it. A stop already set returns
// kStopped before anything is waited for or taken.
AcceptResult AcceptWithin(SOCKET listener, uint32_t timeout_ms, StopWake* stop = nullptr);

}  // namespace platform::net
