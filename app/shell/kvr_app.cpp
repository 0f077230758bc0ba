#include "app/shell/kvr_app.h"

#include <cstdio>

#include "app/qt/timed_message_box.h"
#include "app/shell/about_dialog.h"
#include "app/shell/main_frame.h"
#include "core/crypto/crypto_engine.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/queue/reversal_journal.h"
#include "host/ip/sspi_interface.h"
#include "platform/fs/files.h"
#include "platform/net/socket.h"
#include "platform/text/format.h"

CKVRElavonIP_HostApp theApp;

namespace {

constexpr char kLogFolder[] = "QUILLON_LOGS";

}  // namespace

CCommandLine ParseCommandLine(const std::string& line) {
  CCommandLine out;
  out.m_StartedAsService = line.find("/started_as_service") != std::string::npos;
  const size_t at = line.find("/device_id=");
  if (at != std::string::npos) {
    const size_t open = line.find('[', at);
    const size_t close = line.find(']', at);
    if (open != std::string::npos && close != std::string::npos && open + 3 <= close) {
      out.m_DeviceId = line.substr(open + 1, close - open - 1);
      out.m_StartedByLauncher = true;
    }
  }
  return out;
}

CKVRElavonIP_HostApp::CKVRElavonIP_HostApp() = default;
CKVRElavonIP_HostApp::~CKVRElavonIP_HostApp() = default;

bool CKVRElavonIP_HostApp::InitInstance(const std::string& command_line) {
  // 1. The switches.
  const CCommandLine parsed = ParseCommandLine(command_line);
  m_StartedAsService = parsed.m_StartedAsService;
  m_StartedByLauncher = parsed.m_StartedByLauncher;
  m_DeviceId = parsed.m_DeviceId;
  const std::string own = m_StartedAsService ? kServiceInstanceName : kInteractiveInstanceName;
  const std::string other = m_StartedAsService ? kInteractiveInstanceName : kServiceInstanceName;

  // 2.-3. One instance of either kind on the machine.
  bool conflict = !m_InstanceMutex.Acquire(own);
  bool other_kind = false;
  if (!conflict && CInstanceLock::IsHeld(other)) {
    conflict = true;
    other_kind = true;
  }
  if (conflict) {
    m_Refused = true;
    m_InstanceMutex.Release();
    if (!m_StartedAsService) {
      ShowTimedMessage(other_kind ? "Only one instance of KVR Elavon TCPIP may be run at a time! The other instance is "
                                    "running as a Service."
                                  : "Only one instance of KVR Elavon TCPIP may be run at a time!",
                       false, false, 0);
    }
    return false;
  }

  // 4. Sockets (the result is not looked at) and the profile's home.
  platform::net::Startup();

  // 5. The log folder, its owner's only like the files in it (one that an older
  // version left open to others is closed).
  if (!platform::fs::CreatePrivateFolder(kLogFolder)) {
    if (!platform::fs::FolderExists(kLogFolder)) {
      ShowTimedMessage("Unable to create Log Virureday - logging disabled!", false, m_StartedAsService, 0);
    } else {
      GetLogger().LogCause("The log folder %s cannot be made its owner's only: %s", kLogFolder,
                           platform::SystemErrorText(platform::GetLastError()).c_str());
    }
  }
  // A stop asked for while a box waited ends start-up here, before anything more is
  // touched.
  if (CloseRequested()) return false;

  // 6. The merchant parameters.
  g_ParamStore.LoadAtStartup();
  if (CloseRequested()) return false;

  // 7. The crypto engine.
  if (!g_CryptoEngine.Start()) {
    g_CryptoEngine.Stop();
    ShowTimedMessage("Could Not Start Crypto API \r\nEnsure that 128 bit encryption is installed.- FATAL Error!!",
                     true, m_StartedAsService, 0);
    return false;
  }

  // 8. The security interface.
  if (!g_SspiInterface.Initialize()) {
    g_SspiInterface.Release();
    ShowTimedMessage("Could Not Start SSPI \r\nEnsure that 128 bit encryption is installed.- FATAL Error!!", true,
                     m_StartedAsService, 0);
    return false;
  }

  // The reversal journal: owed reversals of an earlier run are read before any
  // interface starts, so they go to the host ahead of the first request.
  OpenReversalJournal();

  if (CloseRequested()) return false;

  // 9.-11. The window: the frame with its view, which starts the interfaces once
  // the message loop runs.
  m_Frame = std::make_unique<CMainFrame>();
  SetMainWindow(m_Frame.get());
  m_Frame->show();

  // 12.
  GetLogger().LogLine("Server Startup %s", kVersionTag);
  return true;
}

void CKVRElavonIP_HostApp::OpenReversalJournal() {
  CJournalOpenReport report;
  const bool open = g_ReversalJournal.Open(CReversalJournal::DefaultPath(), CReversalJournal::DefaultKeyPath(), &report);
  for (const std::string& message : report.m_Messages) GetLogger().LogText(message);
  // Every exchange the process carries is told to this journal from now on.
  SetProcessTranJournal(&g_ReversalJournal);
  if (!open) GetLogger().LogLine("Reversal journal not usable: sales that may need a reversal are refused until it is");
  for (const std::string& alert : report.m_Alerts) {
    // The operator hears of it whatever the log can do: on stderr as a service, in a
    // box otherwise (and in the log either way).
    if (m_StartedAsService) std::fprintf(stderr, "%s\n", alert.c_str());
    ShowTimedMessage(alert, true, m_StartedAsService, 0);
  }
}

int CKVRElavonIP_HostApp::ExitInstance() {
  m_Frame.reset();
  SetMainWindow(nullptr);
  g_SspiInterface.Release();
  g_CryptoEngine.Stop();
  m_InstanceMutex.Release();
  platform::net::Cleanup();
  // An instance refused at start made no log folder: its shut-down line goes to the
  // log of the instance that runs in the same folder, or nowhere.
  if (!m_Refused || platform::fs::FolderExists(kLogFolder)) GetLogger().LogLine("Server Shutdown . . .");
  ShutdownLogger();
  return 0;
}

void CKVRElavonIP_HostApp::OnAppAbout() {
  CAboutDlg about(m_Frame.get());
  about.exec();
}
