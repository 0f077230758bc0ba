#include "app/server/client_listener.h"

#include <cstdlib>

#include "app/server/client_session.h"
#include "core/log/logger.h"
#include "platform/text/format.h"

int ClientListenerPort() {
  const char* text = std::getenv("KVR_CLIENT_PORT");
  if (text == nullptr || *text == '\0') return kDefaultClientPort;
  char* end = nullptr;
  const long port = std::strtol(text, &end, 10);
  if (*end != '\0' || port < 1 || port > 65535) return kDefaultClientPort;
  return static_cast<int>(port);
}

CClientListener::CClientListener(const CSessionContext& context) : m_Context(context) {
  SetMaxConnections(kClientListenerMaxConnections);
}

CClientListener::~CClientListener() {
  m_ShuttingDown = 1;
  // Every session sees the flag within its poll interval (or its current send's
  // time-out) and ends; none may outlive the listener's virtual operations.
  JoinAllThreads();
}

int CClientListener::Start() {
  const int port = m_StartPort >= 0 ? m_StartPort : ClientListenerPort();
  const int rc = Listen(port, kClientListenBacklog);
  if (rc != 0) {
    // The caller logs the code; the port and the system's reason go beside it.
    const int err = GetListenErrno();
    m_Context.m_Logger->LogCause("The client listener cannot listen on port %d: %s", port,
                                 err != 0 ? platform::ErrnoText(err).c_str() : "it listens already");
    return rc;
  }
  return StartAcceptThread();
}

WSConnection* CClientListener::CreateConnection() { return new CClientSession(m_Context, m_Timings); }

void CClientListener::DeleteConnection(WSConnection* connection) { delete connection; }
