// The interfaces the traffic view starts and stops, behind one interface so that the
// view's start and stop order can be exercised with stand-ins. CServerComponents is
// the server's own set: the ReverseWorker, the Elavon processing thread, the dial
// backup and the client listener, each over the context the wiring gives it
// (MakeServerComponents in wiring.h). UI thread only; no lock of its own (each
// component takes its own).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/server/client_listener.h"
#include "app/server/session_context.h"
#include "core/params/param_settings.h"
#include "core/queue/reversal_journal.h"
#include "core/queue/reverse_worker.h"
#include "host/dial/dial_backup.h"
#include "host/engine/elavon_interface.h"

class CViewComponents {
 public:
  virtual ~CViewComponents() = default;

  // The saved parameters, and their check before a start (which shows its own box).
  virtual CParamSettings Settings() = 0;
  virtual bool CheckConfiguration(bool silent) = 0;
  // Empties the transaction queue and sets the lane registry's maximum.
  virtual void PrepareQueue(int lanes) = 0;

  virtual bool StartReverseWorker() = 0;
  virtual void StopReverseWorker() = 0;

  virtual bool StartElavon() = 0;
  virtual std::string ElavonStartFailureText() = 0;
  virtual void StopElavon() = 0;

  virtual bool StartDialBackup(int com_port) = 0;
  virtual std::string DialBackupErrorText() = 0;
  virtual void StopDialBackup() = 0;

  // Creates the listener when there is none (accepting max_connections) and starts
  // it: 0, kListenerNotAllocated when no listener could be made, or the code of its
  // failing start.
  static constexpr int kListenerNotAllocated = -1;
  virtual int StartListener(int max_connections) = 0;
  // Stops accepting; false when the accept thread would not stop.
  virtual bool StopAccepting() = 0;
  // Tells the sessions to end, waits until they have, and drops the listener.
  virtual void CloseClients() = 0;
  // The open client connections; -1 when there is no listener.
  virtual int ConnectionCount() = 0;
};

// What the server's own components work with; the wiring fills it with the process's
// objects (ProcessServerContexts in wiring.h).
struct CServerContexts {
  CRoutingContext m_Routing;              // the Elavon interface's
  CReverseWorkerContext m_ReverseWorker;
  CSessionContext m_Sessions;             // every client session's, through the listener
};

class CServerComponents : public CViewComponents {
 public:
  // silent: message boxes of the workers are logged, never shown.
  CServerComponents(const CServerContexts& contexts, bool silent);
  ~CServerComponents() override;

  CParamSettings Settings() override;
  bool CheckConfiguration(bool silent) override;
  void PrepareQueue(int lanes) override;
  bool StartReverseWorker() override;
  void StopReverseWorker() override;
  bool StartElavon() override;
  std::string ElavonStartFailureText() override;
  void StopElavon() override;
  bool StartDialBackup(int com_port) override;
  std::string DialBackupErrorText() override;
  void StopDialBackup() override;
  int StartListener(int max_connections) override;
  bool StopAccepting() override;
  void CloseClients() override;
  int ConnectionCount() override;

  // Makes the client listener (std::make_unique unless a test gives its own); a
  // std::bad_alloc out of it is StartListener's kListenerNotAllocated.
  using ListenerAllocator = std::function<std::unique_ptr<CClientListener>()>;
  void SetListenerAllocatorForTesting(ListenerAllocator allocate) { m_AllocateListener = std::move(allocate); }

 private:
  const CSessionContext m_SessionContext;  // what the listener hands its sessions
  // Destroyed in the reverse order: the listener first, the ReverseWorker last.
  CReverseWorker m_ReverseWorker;
  CElavonInterface m_ElavonInterface;
  CDialBackup m_DialBackup{nullptr, nullptr, nullptr, &g_ReversalJournal};
  ListenerAllocator m_AllocateListener;
  std::unique_ptr<CClientListener> m_Listener;
};
