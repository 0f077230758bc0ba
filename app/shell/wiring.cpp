#include "app/shell/wiring.h"

#include <memory>

#include "app/config/rvcs_identity.h"
#include "app/pipe/app_pipe_source.h"
#include "app/pipe/pipe_commands.h"
#include "app/pipe/pipe_server.h"
#include "app/shell/kvr_app.h"
#include "app/shell/kvr_view.h"
#include "app/shell/main_frame.h"
#include "app/shell/setup_dialog.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/queue/process_events.h"
#include "core/queue/reversal_journal.h"
#include "core/queue/reverse_worker.h"
#include "core/queue/transaction_queue.h"
#include "host/engine/ssl_link.h"
#include "host/ip/host_endpoints.h"

namespace {

// What the management pipe photographs for "APP SETTINGS FORM": the Setup dialog with
// the process's parameters, created modeless and laid out without being shown.
std::unique_ptr<QWidget> MakeSetupDialogForSnapshot() {
  auto dialog = std::make_unique<CSetupParamsDlg>(nullptr);
  if (!dialog->Create()) return nullptr;
  return dialog;
}

CLaunchIdentity ReadLaunchIdentity() { return CLaunchIdentity{theApp.m_StartedByLauncher, theApp.m_DeviceId}; }

// The management pipe and what its commands read; both live as long as the process.
// The view stops the pipe before the window goes, and StopWiredParts on every
// other way out.
struct CPipeParts {
  std::unique_ptr<CAppPipeCommandSource> source;
  CPipeServerThread thread;
};
CPipeParts& Pipe() {
  static CPipeParts* parts = new CPipeParts();  // never freed: stopped by the view, used at exit
  return *parts;
}

// One configuration download on a worker thread while the UI thread keeps
// dispatching its messages.
void RetrieveParameters() {
  std::unique_ptr<CParameterDownload> download = MakeDefaultParameterDownload();
  if (!download) return;
  RunWorkerThread(ParameterRetrievalThreadProc, download.get(), SetupMessageSink());
  download->Disconnect();
}

}  // namespace

CServerContexts ProcessServerContexts() {
  // The routing's settings stay empty: every request takes a fresh copy.
  return {.m_Routing = {.m_Settings = {},
                        .m_MakeLink = MakeElavonSslLink,
                        .m_Queue = &g_TransactionQueue,
                        .m_Endpoints = &g_HostEndpoints,
                        .m_Abort = &g_AbortEvent,
                        .m_DialBusy = &g_DialLineBusyEvent,
                        .m_Logger = &GetLogger(),
                        .m_Journal = &g_ReversalJournal},
          .m_ReverseWorker = {.m_Reversals = &g_ReversalQueue,
                              .m_Main = &g_TransactionQueue,
                              .m_Logger = &GetLogger(),
                              .m_Journal = &g_ReversalJournal},
          .m_Sessions = ProcessSessionContext()};
}

std::unique_ptr<CViewComponents> MakeServerComponents(bool silent) {
  return std::make_unique<CServerComponents>(ProcessServerContexts(), silent);
}

void WireApplication(CKVRElavonIP_HostApp& app) {
  SetLaunchIdentityReader(&ReadLaunchIdentity);
  CMainFrame* frame = app.MainFrame();
  if (!frame) return;
  CKVRView* view = frame->View();
  CViewHooks hooks;
  hooks.start_pipe = [view](const std::string& name) {
    CPipeParts& pipe = Pipe();
    if (!pipe.source) pipe.source = std::make_unique<CAppPipeCommandSource>(view, &MakeSetupDialogForSnapshot);
    pipe.thread.SetSecure(true);
    pipe.thread.SetOwner(pipe.source.get());
    pipe.thread.SetRequestCallback(&OnPipeCommand);
    return pipe.thread.Start(name);
  };
  hooks.stop_pipe = [] { Pipe().thread.Stop(); };
  hooks.retrieve_parameters = &RetrieveParameters;
  hooks.run_setup_dialog = &RunSetupParamsDialog;
  view->SetHooks(hooks);
}

void StopWiredParts() {
  // Also a thread that ended by itself is joined here.
  [[maybe_unused]] const bool stopped = Pipe().thread.Stop();
}

bool WiredPipeRunning() { return Pipe().thread.IsRunning(); }
