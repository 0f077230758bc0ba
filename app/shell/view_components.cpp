#include "app/shell/view_components.h"

#include <new>

#include "app/lanes/lanes.h"
#include "app/qt/timed_message_box.h"
#include "core/params/param_store.h"
#include "core/queue/transaction_queue.h"
#include "platform/sync/tick.h"
#include "platform/window/window.h"

CServerComponents::CServerComponents(const CServerContexts& contexts, bool silent)
    : m_SessionContext(contexts.m_Sessions),
      m_ReverseWorker(contexts.m_ReverseWorker),
      m_ElavonInterface(contexts.m_Routing) {
  m_ReverseWorker.SetMessageSink(&ShowTimedMessage, silent);
  m_ElavonInterface.SetMessageSink(&ShowTimedMessage, silent);
}

CServerComponents::~CServerComponents() { m_Listener.reset(); }

CParamSettings CServerComponents::Settings() { return g_ParamStore.GetSettings(); }

bool CServerComponents::CheckConfiguration(bool silent) {
  return ::CheckConfiguration(g_ParamStore, silent, &ShowTimedMessage);
}

void CServerComponents::PrepareQueue(int lanes) {
  g_TransactionQueue.RemoveAll();
  g_LaneRegistry.SetMaximum(lanes);
}

bool CServerComponents::StartReverseWorker() { return m_ReverseWorker.Start(); }
void CServerComponents::StopReverseWorker() { m_ReverseWorker.Stop(); }

bool CServerComponents::StartElavon() { return m_ElavonInterface.Start(); }
std::string CServerComponents::ElavonStartFailureText() { return m_ElavonInterface.GetStartFailureText(); }
void CServerComponents::StopElavon() { m_ElavonInterface.Stop(); }

bool CServerComponents::StartDialBackup(int com_port) { return m_DialBackup.Start(com_port); }
std::string CServerComponents::DialBackupErrorText() { return m_DialBackup.GetLastErrorText(); }
void CServerComponents::StopDialBackup() { m_DialBackup.Stop(); }

int CServerComponents::StartListener(int max_connections) {
  if (!m_Listener) {
    try {
      m_Listener = m_AllocateListener ? m_AllocateListener() : std::make_unique<CClientListener>(m_SessionContext);
    } catch (const std::bad_alloc&) {
      m_Listener.reset();
    }
    if (!m_Listener) return kListenerNotAllocated;
    m_Listener->SetMaxConnections(max_connections);
  }
  return m_Listener->Start();
}

bool CServerComponents::StopAccepting() { return !m_Listener || m_Listener->Stop() != 1; }

void CServerComponents::CloseClients() {
  if (!m_Listener) return;
  m_Listener->m_ShuttingDown = 1;
  // Every step keeps the window served, so that the progress box and the clock go on.
  while (m_Listener->GetConnectionCount() != 0) platform::window::PumpFor(500);
  // Connections that were still finishing their last delivery pass get 5 s more.
  const uint32_t start = platform::SystemClock().TickCount();
  while (platform::TickDiff(platform::SystemClock().TickCount(), start) < 5000) {
    while (m_Listener->GetConnectionCount() > 0) platform::window::PumpFor(500);
    platform::window::PumpFor(500);
  }
  m_Listener.reset();
}

int CServerComponents::ConnectionCount() { return m_Listener ? m_Listener->GetConnectionCount() : -1; }
