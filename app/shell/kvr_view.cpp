#include "app/shell/kvr_view.h"

#include <QApplication>
#include <QHeaderView>
#include <QTimer>

#include "app/pipe/pipe_server.h"
#include "app/qt/timed_message_box.h"
#include "app/shell/kvr_app.h"
#include "app/shell/wiring.h"
#include "core/log/logger.h"
#include "core/queue/process_events.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/tran_params.h"
#include "host/engine/traffic.h"
#include "platform/sync/tick.h"
#include "platform/system/system.h"
#include "platform/text/format.h"
#include "platform/window/window.h"

bool g_ParametersRetrieved = false;

namespace {

constexpr int kMaxTrafficLines = 50;
constexpr int kKeptTrafficLines = 25;

const char* TrafficText(uint32_t message, uintptr_t kind) {
  const int column = kind == kTrafficEcho ? 0 : (kind == kTrafficAdmin ? 1 : 2);
  static const char* const kTexts[4][3] = {
      {"Sending Echo Request (IP) to Elavon.", "Sending Admin Request (IP) to Elavon.",
       "Sending Auth Request (IP) to Elavon."},
      {"Echo Response Received (IP) from Elavon.", "Admin Response Received (IP) from Elavon.",
       "Auth Response Received (IP) from Elavon."},
      {"Sending Echo Request (Dial) to Elavon.", "Sending Admin Request (Dial) to Elavon.",
       "Sending Auth Request (Dial) to Elavon."},
      {"Echo Response Received (Dial) from Elavon.", "Admin Response Received (Dial) from Elavon.",
       "Auth Response Received (Dial) from Elavon."},
  };
  return kTexts[message - WM_TRAFFIC_IP_REQUEST_SENT][column];
}

std::string LocalTimeText(const char* format) {
  const struct tm t = platform::LocalTime(platform::Now());
  char text[64];
  if (strftime(text, sizeof text, format, &t) == 0) text[0] = '\0';
  return text;
}

}  // namespace

CKVRView::CKVRView(QWidget* parent, std::unique_ptr<CViewComponents> components)
    : QTreeWidget(parent), m_Components(std::move(components)) {
  if (!m_Components) m_Components = MakeServerComponents(theApp.m_StartedAsService);
  setColumnCount(1);
  setHeaderLabels({QStringLiteral("Internet Traffic")});
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  header()->setStretchLastSection(true);

  m_Handle = platform::window::CreateWindowHandle(
      [this](uint32_t message, platform::window::WPARAM wparam, platform::window::LPARAM) {
        return WindowProc(message, wparam);
      });
  g_TrafficListWnd = m_Handle;
  platform::window::PostMessage(m_Handle, WM_START_ALL_INTERFACES, 0, 0);
}

CKVRView::~CKVRView() {
  g_TrafficListWnd = 0;
  platform::window::DestroyWindowHandle(m_Handle);
  m_Components.reset();
}

platform::window::LRESULT CKVRView::WindowProc(uint32_t message, platform::window::WPARAM wparam) {
  switch (message) {
    case WM_START_ALL_INTERFACES:
      return StartAllInterfaces();
    case WM_UPDATE_TITLE_LINE:
      UpdateTitleLine();
      return 0;
    case WM_STOP_ALL_INTERFACES:
      if (m_Components->ConnectionCount() > 0 &&
          Ask("There are Client connections in Process.\rAre you SURE you want to do this?",
              theApp.m_StartedAsService, IDYES) != IDYES) {
        return 1;
      }
      StopForClose();
      return 0;
    case WM_TRAFFIC_IP_REQUEST_SENT:
    case WM_TRAFFIC_IP_RESPONSE_RECEIVED:
    case WM_TRAFFIC_DIAL_REQUEST_SENT:
    case WM_TRAFFIC_DIAL_RESPONSE_RECEIVED:
      AddTrafficLine(TrafficText(message, wparam));
      return 0;
    case WM_SHOW_OFFLINE_TITLE:
      SetFrameTitle(QString::fromLatin1(kOfflineTitle));
      return 0;
    case platform::window::WM_TIMER:
      // The title timer's callback: the refresh goes through the queue like any post.
      if (wparam == kTitleTimerId) platform::window::PostMessage(m_Handle, WM_UPDATE_TITLE_LINE, 0, 0);
      return 0;
    default:
      return 0;
  }
}

void CKVRView::SetFrameTitle(const QString& title) {
  if (QWidget* frame = window()) frame->setWindowTitle(title);
}

void CKVRView::Progress(const char* text) {
  if (!m_ProgressBox) return;
  m_ProgressBox->SetText(text);
  // Drawn now, also when the step that follows does not wait.
  m_ProgressBox->repaint();
}

void CKVRView::Show(const std::string& text, bool log) {
  if (m_Hooks.show_message) {
    m_Hooks.show_message(text, log, theApp.m_StartedAsService);
  } else {
    ShowTimedMessage(text, log, theApp.m_StartedAsService, 0);
  }
}

int CKVRView::Ask(const std::string& text, bool silent, int default_answer) {
  return m_Hooks.ask ? m_Hooks.ask(text, silent, default_answer) : AskTimed(text, silent, default_answer, 0);
}

CKVRView::CBusyScope::~CBusyScope() {
  if (--m_View->m_Busy == 0 && m_View->m_WhenIdle) {
    std::function<void()> when_idle = std::move(m_View->m_WhenIdle);
    m_View->m_WhenIdle = nullptr;
    // After the current handler has returned, never inside it.
    QTimer::singleShot(0, m_View, when_idle);
  }
}

int CKVRView::StartAllInterfaces() {
  CBusyScope busy(this);
  struct CStartingScope {
    bool& flag;
    explicit CStartingScope(bool& f) : flag(f) { flag = true; }
    ~CStartingScope() { flag = false; }
  } starting(m_Starting);
  // 1. Show the OFFLINE title until the interfaces are up.
  platform::window::PostMessage(m_Handle, WM_SHOW_OFFLINE_TITLE, 0, 0);
  // 2. Start the management pipe when the launcher started the program.
  if (theApp.m_StartedByLauncher && m_Hooks.start_pipe && !CloseRequested()) {
    const std::string name = PipeNameForProcess(platform::CurrentProcessId());
    if (!m_Hooks.start_pipe(name)) {
      GetLogger().LogLine("Failed to initialize Pipe Server. Interface return code: %d.",
                          static_cast<int>(platform::GetLastError()));
    }
  }
  // 3. Show the progress box and the wait cursor, and let them paint.
  CTimedMessageBox progress;
  progress.Create(nullptr);
  m_ProgressBox = &progress;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  platform::window::PumpFor(50);

  StartSteps();

  // 12. Whatever the outcome: restore the cursor and close the progress box.
  QApplication::restoreOverrideCursor();
  m_ProgressBox = nullptr;
  progress.DestroyWindow();
  return 0;
}

void CKVRView::StartSteps() {
  const bool silent = theApp.m_StartedAsService;
  // A close request from outside ends the start before its next step: what has been
  // started is stopped by the close that follows.
  // 4. Download the merchant parameters, once per process.
  if (CloseRequested()) return;
  if (!g_ParametersRetrieved) {
    Progress("Retrieving Parameters ...");
    g_ParametersRetrieved = true;
    if (m_Hooks.retrieve_parameters) m_Hooks.retrieve_parameters();
  }
  // 5. Stop here when the configuration is unset or unreadable.
  if (CloseRequested() || !m_Components->CheckConfiguration(silent)) return;
  // 6. Empty the transaction queue and set the lane maximum from NUMBER OF LANES.
  if (CloseRequested()) return;
  const CParamSettings settings = m_Components->Settings();
  const int lanes = ReadIntParam(settings, kParmNumberOfLanes);
  m_Components->PrepareQueue(lanes);
  // 7. Start the ReverseWorker.
  Progress("Starting the Server Transaction Reversal Thread ...");
  if (!m_Components->StartReverseWorker()) {
    // A start that a close request cut short is no failure to report.
    if (!CloseRequested()) Show("Failed to Server Transaction Reversal Thread!", true);
    return;
  }
  // 8. Start the Elavon interface, asking whether to retry while it fails. A service
  // has no one to ask: it tries again every 30 s until the gateway answers.
  if (CloseRequested()) return;
  Progress("Attempting to Connect to Elavon ...");
  while (!m_Components->StartElavon()) {
    const std::string failure = m_Components->ElavonStartFailureText();
    if (silent && !CloseRequested()) {
      std::string cause = failure;
      for (char& c : cause) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      GetLogger().LogLine("%s - trying again in %u seconds", cause.c_str(), m_ServiceRetryMs / 1000);
      if (!WaitUnlessStopped(m_ServiceRetryMs)) continue;
    } else if (!CloseRequested()) {
      const int answer = Ask(failure + "\r\n   Retry?", silent, silent ? IDNO : IDYES);
      // A close request from outside took the default; the close needs the start to end.
      if (answer == IDYES && !CloseRequested()) continue;
    }
    StopAllInterfaces();
    return;
  }
  // 9. Start the dial backup on MODEM COM PORT when TRANSPORT METHOD is 1 or 2.
  if (CloseRequested()) return;
  const int method = ReadIntParam(settings, kParmTransportMethod);
  if (method == 1 || method == 2) {
    Progress("Starting Dial Backup Support...");
    if (!m_Components->StartDialBackup(ReadIntParam(settings, kParmModemComPort))) {
      if (theApp.m_StartedByLauncher) {
        GetLogger().LogText(m_Components->DialBackupErrorText());
      } else {
        Show(m_Components->DialBackupErrorText(), true);
        StopAllInterfaces();
        return;
      }
    }
  }
  if (CloseRequested()) return;
  StartListenerAndTimer(lanes);
}

void CKVRView::StartListenerAndTimer(int lanes) {
  // 10. Start the client listener on its port (one connection for a single lane).
  Progress("Initializing Client TCP/IP Interface....");
  const int result = m_Components->StartListener(lanes == 1 ? 1 : kClientListenerMaxConnections);
  if (result == CViewComponents::kListenerNotAllocated) {
    StopAllInterfaces();
    Show("Failed to Allocate memory for TCP/IP Server!", true);
    return;
  }
  if (result != 0) {
    Show("Failed to start TCP/IP Server!", false);
    GetLogger().LogLine("Failed to initialize TCP/IP Server interface return code: %d.", result);
    return;
  }
  // 11. Start the 500 ms title timer and log the successful start.
  GetLogger().LogLine("TCP/IP Server initialized successfully.");
  platform::window::SetTimer(m_Handle, kTitleTimerId, 500);
  GetLogger().LogLine("Interfaces initialized successfully.");
}

bool CKVRView::WaitUnlessStopped(uint32_t ms) {
  platform::Event* const events[] = {&m_CloseRequested};
  const int result = platform::window::PumpMessagesAndWait(events, ms);
  return result != platform::kWaitTimeout || CloseRequested();
}

void CKVRView::OnCloseRequested() {
  m_CloseRequested.Set();
  // The start's waits on the outside world end: the configuration service's
  // receives give up (the close stops the Elavon interface, which sets it anyway).
  if (m_Starting) g_AbortEvent.Set();
}

void CKVRView::StopAllInterfaces() {
  CBusyScope busy(this);
  platform::window::KillTimer(m_Handle, kTitleTimerId);
  CTimedMessageBox progress;
  progress.Create(nullptr);
  CTimedMessageBox* outer = m_ProgressBox;
  m_ProgressBox = &progress;
  QApplication::setOverrideCursor(Qt::WaitCursor);

  Progress("Stopping New Client Connections ...");
  if (!m_Components->StopAccepting()) Show("Error Stopping TCP/IP Accept thread!", true);
  Progress("Shutting down the Server Transaction Reversal Thread ...");
  m_Components->StopReverseWorker();
  Progress("Shutting down ELAVON Interface ...");
  m_Components->StopElavon();
  Progress("Shutting down Dial Backup...");
  m_Components->StopDialBackup();
  Progress("Shutting down Clients...");
  m_Components->CloseClients();
  GetLogger().LogLine("Interfaces Stopped.");

  QApplication::restoreOverrideCursor();
  m_ProgressBox = outer;
  progress.DestroyWindow();
}

void CKVRView::StopForClose() {
  StopAllInterfaces();
  if (theApp.m_StartedByLauncher && m_Hooks.stop_pipe) m_Hooks.stop_pipe();
}

void CKVRView::UpdateTitleLine() {
  const int connections = m_Components->ConnectionCount();
  if (connections < 0 || !window()) return;
  SetFrameTitle(QString::fromStdString(platform::Format("  Corvane (Elavon Host)  Req-> %d Socks-> %d  %s%s",
                                                        g_TransactionQueue.GetCount(),
                                                        connections,
                                                        LocalTimeText("%H:%M:%S").c_str(), "")));
}

void CKVRView::AddTrafficLine(const std::string& text) {
  auto* item = new QTreeWidgetItem(QStringList{QString::fromStdString(LocalTimeText("[%m/%d/%y %H:%M:%S] ") + text)});
  insertTopLevelItem(0, item);
  if (topLevelItemCount() > kMaxTrafficLines) {
    setUpdatesEnabled(false);
    while (topLevelItemCount() > kKeptTrafficLines) delete takeTopLevelItem(kKeptTrafficLines);
    setUpdatesEnabled(true);
  }
}

void CKVRView::OnSetupParameters() {
  CBusyScope busy(this);
  // A close request from outside ends the dialog; then no restart, the close follows.
  if (m_Hooks.run_setup_dialog && m_Hooks.run_setup_dialog() && !CloseRequested()) {
    StopAllInterfaces();
    StartAllInterfaces();
  }
}
