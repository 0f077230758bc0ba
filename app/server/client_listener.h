// CClientListener: the socket server on the client port (KVR_CLIENT_PORT, else
// 9000), at most 200 connections unless told otherwise; each accepted connection is
// served by its own CClientSession on its own thread.
//
// The time constants of the sessions (CClientTimings) and the port can be replaced
// in-process for tests only; the program uses the defaults.
//
// Destruction sets the shutting-down flag, stops accepting, waits until every session
// has ended and joins every thread before anything of the listener goes. Locking: that
// of WSServer; the listener adds no state of its own that threads share (the timings
// are set before Start and only read afterwards).
#pragma once

#include <cstdint>

#include "app/server/session_context.h"
#include "app/server/ws_server.h"

// The session time constants, and for tests the size of each connection's send
// buffer.
struct CClientTimings {
  uint32_t m_LoginMs = 30000;     // the whole login read
  uint32_t m_DrainMs = 300000;    // how long pending work is delivered after the client left
  uint32_t m_IdleMs = 3600000;    // idle limit after the last dispatched request
  uint32_t m_PollMs = 1000;       // receive wait, and the interval of the delivery passes
  int m_SendTimeoutMs = 30000;    // how long one send may wait for a client that does not read
  int m_SendBufferBytes = 0;      // SO_SNDBUF; 0: the system's, which grows with the traffic
};

inline constexpr int kClientListenerMaxConnections = 200;
inline constexpr int kDefaultClientPort = 9000;
// The listen backlog: room for every lane reconnecting at once. (Linux drops the last
// packet of a handshake that finds the accept queue full; a client that then waits
// for the greeting stalls until the kernel's retries run out.)
inline constexpr int kClientListenBacklog = 256;

// KVR_CLIENT_PORT when it holds a port number (1 to 65535), else 9000.
int ClientListenerPort();

class CClientListener : public WSServer {
 public:
  // context: what every session works with (see CSessionContext).
  explicit CClientListener(const CSessionContext& context);
  ~CClientListener() override;

  // Listen(port, kClientListenBacklog) (any local address): its non-zero result
  // unchanged (2 socket, 3 bind, 4 listen), else the result of StartAcceptThread.
  int Start();

  // For tests: the port Start listens on instead of ClientListenerPort() (0: an
  // ephemeral one; GetPort tells which) and the session time constants. Call before
  // Start.
  void SetPortForTesting(int port) { m_StartPort = port; }
  void SetTimingsForTesting(const CClientTimings& timings) { m_Timings = timings; }
  const CClientTimings& GetTimings() const { return m_Timings; }

 protected:
  WSConnection* CreateConnection() override;
  void DeleteConnection(WSConnection* connection) override;

 private:
  const CSessionContext m_Context;
  int m_StartPort = -1;  // -1: ClientListenerPort()
  CClientTimings m_Timings;
};
