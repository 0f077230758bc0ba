// The view's start and stop sequence with stand-in components: for each step that can
// fail and each way the server is started (interactive, as a service, by the
// launcher), what is started and stopped in which order, what the view logs, which
// boxes it asks for, the title and whether the title timer runs.
#include "app/shell/kvr_view.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <new>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include "app/qt/qt_driver.h"
#include "app/qt/timed_message_box.h"
#include "app/shell/kvr_app.h"
#include "app/shell/main_frame.h"
#include "app/shell/wiring.h"
#include "core/log/logger.h"
#include "core/params/param_settings.h"
#include "core/queue/process_events.h"
#include "platform/text/format.h"
#include "platform/window/window.h"

namespace {

int g_argc = 1;
char g_arg0[] = "kvr_view_test";
char* g_argv[] = {g_arg0, nullptr};

// The tests below move the process into a folder of its own; after the last one the
// process is back in the folder it started in.
class StartFolder : public ::testing::Environment {
 public:
  void SetUp() override { folder_ = std::filesystem::current_path(); }
  void TearDown() override {
    GetLogger().Flush(5000);
    std::error_code back;
    std::filesystem::current_path(folder_, back);
    EXPECT_FALSE(back) << back.message();
  }

 private:
  std::filesystem::path folder_;
};
::testing::Environment* const g_StartFolder = ::testing::AddGlobalTestEnvironment(new StartFolder);

enum class Step {
  kNone,
  kPipe,
  kConfiguration,
  kReverseWorker,
  kElavon,
  kElavonOnce,
  kDialBackup,
  kListener,
  kListenerAllocation,  // no listener can be allocated
};
enum class Mode { kInteractive, kService, kLauncher };

// Everything the stand-ins and the hooks saw, in order.
struct Record {
  std::vector<std::string> calls;
  std::vector<std::string> boxes;
  std::function<void()> during_elavon_start;
  int connections = 0;  // open client connections while the listener runs
  uint32_t drain_ms = 0;  // how long the clients take to end (the window is served meanwhile)
};

class FakeComponents : public CViewComponents {
 public:
  FakeComponents(std::shared_ptr<Record> record, Step failing) : m_Record(std::move(record)), m_Failing(failing) {}

  CParamSettings Settings() override {
    CParamSettings settings;
    settings.ResetToDefaults();
    CParamMap params = settings.GetParams();
    params.SetParamValue(kParmTransportMethod, "1");  // IP with dial backup
    params.SetParamValue(kParmModemComPort, "3");
    params.SetParamValue(kParmNumberOfLanes, "4");
    settings.SetParams(params);
    return settings;
  }
  bool CheckConfiguration(bool) override { return Call("check", m_Failing != Step::kConfiguration); }
  void PrepareQueue(int) override { Call("prepare", true); }
  bool StartReverseWorker() override { return Call("reverse+", m_Failing != Step::kReverseWorker); }
  void StopReverseWorker() override { Call("reverse-", true); }
  bool StartElavon() override {
    if (m_Record->during_elavon_start) m_Record->during_elavon_start();
    const bool fails = m_Failing == Step::kElavon || (m_Failing == Step::kElavonOnce && m_ElavonStarts == 0);
    ++m_ElavonStarts;
    return Call("elavon+", !fails);
  }
  std::string ElavonStartFailureText() override { return "Elavon down"; }
  void StopElavon() override { Call("elavon-", true); }
  bool StartDialBackup(int port) override { return Call("dial+" + std::to_string(port), m_Failing != Step::kDialBackup); }
  std::string DialBackupErrorText() override { return "Modem gone"; }
  void StopDialBackup() override { Call("dial-", true); }
  int StartListener(int max_connections) override {
    if (m_Failing == Step::kListenerAllocation) {
      Call("listen+" + std::to_string(max_connections), false);
      return kListenerNotAllocated;
    }
    m_HasListener = true;
    return Call("listen+" + std::to_string(max_connections), m_Failing != Step::kListener) ? 0 : 3;
  }
  bool StopAccepting() override { return Call("accept-", true); }
  void CloseClients() override {
    m_HasListener = false;
    if (m_Record->drain_ms) platform::window::PumpFor(m_Record->drain_ms);
    Call("clients-", true);
  }
  int ConnectionCount() override { return m_HasListener ? m_Record->connections : -1; }

 protected:
  bool Call(const std::string& name, bool result) {
    m_Record->calls.push_back(name);
    return result;
  }

  std::shared_ptr<Record> m_Record;

 private:
  const Step m_Failing;
  int m_ElavonStarts = 0;
  bool m_HasListener = false;
};

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : " | ") + item;
  return text;
}

std::string LogFolderText() {
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator("QUILLON_LOGS")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    text += all.str();
  }
  return text;
}

class ViewStartTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) new QApplication(g_argc, g_argv);
    InstallQtMessageUi();
  }
  void SetUp() override {
    // The tests of this binary may run side by side in one folder: the process's
    // logger gets a folder of its own, named after the first test of the process.
    static const bool in_own_folder = [] {
      const std::string folder = ::testing::UnitTest::GetInstance()->current_test_info()->name();
      std::filesystem::create_directories(folder + "/QUILLON_LOGS");
      std::filesystem::current_path(folder);
      return true;
    }();
    (void)in_own_folder;
    m_Driver = std::make_unique<app_qt::QtPumpDriver>();
  }
  void TearDown() override {
    SetMainWindow(nullptr);
    m_Frame.reset();
    m_Driver.reset();
    platform::window::ClearQuit();
    ClearCloseRequest();
    g_AbortEvent.Reset();
    theApp.m_StartedAsService = false;
    theApp.m_StartedByLauncher = false;
  }

  // A frame over the stand-ins, started the way the application starts it: the view
  // posts its own start, which runs once the queue is dispatched.
  void Start(Mode mode, Step failing, int ask_answer, std::function<void()> on_ask = nullptr,
             std::unique_ptr<CViewComponents> components = nullptr) {
    theApp.m_StartedAsService = mode == Mode::kService;
    theApp.m_StartedByLauncher = mode == Mode::kLauncher;
    g_ParametersRetrieved = false;
    GetLogger().Flush(2000);
    m_LogStart = LogFolderText().size();
    if (!components) components = std::make_unique<FakeComponents>(m_Record, failing);
    m_Frame = std::make_unique<CMainFrame>(std::move(components));
    m_Frame->View()->SetServiceRetryMsForTesting(m_ServiceRetryMs);
    CViewHooks hooks;
    hooks.start_pipe = [this, failing](const std::string&) {
      m_Record->calls.push_back("pipe+");
      if (failing != Step::kPipe) return true;
      platform::SetLastError(2);
      return false;
    };
    hooks.stop_pipe = [this] { m_Record->calls.push_back("pipe-"); };
    hooks.retrieve_parameters = [this] {
      m_Record->calls.push_back("download");
      if (m_DuringDownload) m_DuringDownload();
    };
    hooks.run_setup_dialog = [this] {
      m_Record->calls.push_back("setup");
      return true;
    };
    hooks.show_message = [this](const std::string& text, bool log, bool silent) {
      m_Record->boxes.push_back(std::string("show") + (log ? " log" : "") + (silent ? " silent" : "") + ": " + text);
    };
    hooks.ask = [this, ask_answer, on_ask](const std::string& text, bool silent, int default_answer) {
      m_Record->boxes.push_back(std::string("ask") + (silent ? " silent" : "") +
                                (default_answer == IDYES ? " (yes)" : " (no)") + ": " + text);
      if (on_ask) on_ask();
      if (CloseRequested()) return default_answer;
      return silent ? default_answer : ask_answer;
    };
    m_Frame->View()->SetHooks(hooks);
    SetMainWindow(m_Frame.get());
    Pump(100);
  }

  // Starts a fresh frame for each row of the table in mode and checks what it did.
  void RunRows(Mode mode);

  // Lets the queue, the timers and Qt run for ms.
  void Pump(uint32_t ms) { platform::window::PumpMessagesAndWait({}, ms); }

  std::string NewLogText() {
    GetLogger().Flush(2000);
    return LogFolderText().substr(m_LogStart);
  }
  std::string Title() const { return m_Frame->windowTitle().toStdString(); }
  bool TitleTimerRunning() { return platform::window::KillTimer(m_Frame->View()->Handle(), kTitleTimerId); }

  std::shared_ptr<Record> m_Record = std::make_shared<Record>();
  std::unique_ptr<app_qt::QtPumpDriver> m_Driver;
  std::unique_ptr<CMainFrame> m_Frame;
  size_t m_LogStart = 0;
  uint32_t m_ServiceRetryMs = kServiceRetryMs;
  std::function<void()> m_DuringDownload;
};

constexpr char kStarted[] = "download check prepare reverse+ elavon+ dial+3 listen+200";
constexpr char kStopped[] = "accept- reverse- elavon- dial- clients-";
constexpr char kServerUp[] = "TCP/IP Server initialized successfully.";
constexpr char kAllUp[] = "Interfaces initialized successfully.";
constexpr char kReverseFailed[] = "Failed to Server Transaction Reversal Thread!";
constexpr char kRetry[] = "Elavon down\r\n   Retry?";
constexpr char kNoListenerMemory[] = "Failed to Allocate memory for TCP/IP Server!";

struct Row {
  Step failing;
  Mode mode;
  int ask_answer;                   // what the user answers a box that asks
  std::string calls;                // in order, separated by blanks
  std::vector<std::string> boxes;   // in order
  std::vector<std::string> logged;  // lines the view logs, in order
  bool running;                     // title timer set: the title turns to the counters
};

std::vector<Row> Rows() {
  const std::string started = kStarted, stopped = kStopped;
  const std::string up_to_elavon = "download check prepare reverse+ elavon+";
  const std::string up_to_dial = up_to_elavon + " dial+3";
  return {
      // Nothing fails; outside the launcher the pipe is never started.
      {Step::kNone, Mode::kInteractive, IDNO, started, {}, {kServerUp, kAllUp}, true},
      {Step::kNone, Mode::kService, IDNO, started, {}, {kServerUp, kAllUp}, true},
      {Step::kNone, Mode::kLauncher, IDNO, "pipe+ " + started, {}, {kServerUp, kAllUp}, true},
      {Step::kPipe, Mode::kInteractive, IDNO, started, {}, {kServerUp, kAllUp}, true},
      {Step::kPipe, Mode::kService, IDNO, started, {}, {kServerUp, kAllUp}, true},
      {Step::kPipe,
       Mode::kLauncher,
       IDNO,
       "pipe+ " + started,
       {},
       {"Failed to initialize Pipe Server. Interface return code: 2.", kServerUp, kAllUp},
       true},
      // The configuration check shows its own box; nothing is started.
      {Step::kConfiguration, Mode::kInteractive, IDNO, "download check", {}, {}, false},
      {Step::kConfiguration, Mode::kService, IDNO, "download check", {}, {}, false},
      {Step::kConfiguration, Mode::kLauncher, IDNO, "pipe+ download check", {}, {}, false},
      // The ReverseWorker: a box (logged), the start ends without stopping anything.
      {Step::kReverseWorker,
       Mode::kInteractive,
       IDNO,
       "download check prepare reverse+",
       {std::string("show log: ") + kReverseFailed},
       {},
       false},
      {Step::kReverseWorker,
       Mode::kService,
       IDNO,
       "download check prepare reverse+",
       {std::string("show log silent: ") + kReverseFailed},
       {},
       false},
      {Step::kReverseWorker,
       Mode::kLauncher,
       IDNO,
       "pipe+ download check prepare reverse+",
       {std::string("show log: ") + kReverseFailed},
       {},
       false},
      // Elavon: asked to retry; No stops everything. (A service tries again every
      // 30 s without asking: the tests below the table.)
      {Step::kElavon,
       Mode::kInteractive,
       IDNO,
       up_to_elavon + " " + stopped,
       {std::string("ask (yes): ") + kRetry},
       {"Interfaces Stopped."},
       false},
      {Step::kElavon,
       Mode::kLauncher,
       IDNO,
       "pipe+ " + up_to_elavon + " " + stopped,
       {std::string("ask (yes): ") + kRetry},
       {"Interfaces Stopped."},
       false},
      {Step::kElavonOnce,
       Mode::kInteractive,
       IDYES,
       up_to_elavon + " elavon+ dial+3 listen+200",
       {std::string("ask (yes): ") + kRetry},
       {kServerUp, kAllUp},
       true},
      {Step::kElavonOnce,
       Mode::kLauncher,
       IDYES,
       "pipe+ " + up_to_elavon + " elavon+ dial+3 listen+200",
       {std::string("ask (yes): ") + kRetry},
       {kServerUp, kAllUp},
       true},
      // Dial backup: stops everything, except under the launcher, which only logs it.
      {Step::kDialBackup,
       Mode::kInteractive,
       IDNO,
       up_to_dial + " " + stopped,
       {"show log: Modem gone"},
       {"Interfaces Stopped."},
       false},
      {Step::kDialBackup,
       Mode::kService,
       IDNO,
       up_to_dial + " " + stopped,
       {"show log silent: Modem gone"},
       {"Interfaces Stopped."},
       false},
      {Step::kDialBackup,
       Mode::kLauncher,
       IDNO,
       "pipe+ " + up_to_dial + " listen+200",
       {},
       {"Modem gone", kServerUp, kAllUp},
       true},
      // The client listener: a box that is not logged, and the code in the log.
      {Step::kListener,
       Mode::kInteractive,
       IDNO,
       started,
       {"show: Failed to start TCP/IP Server!"},
       {"Failed to initialize TCP/IP Server interface return code: 3."},
       false},
      {Step::kListener,
       Mode::kService,
       IDNO,
       started,
       {"show silent: Failed to start TCP/IP Server!"},
       {"Failed to initialize TCP/IP Server interface return code: 3."},
       false},
      {Step::kListener,
       Mode::kLauncher,
       IDNO,
       "pipe+ " + started,
       {"show: Failed to start TCP/IP Server!"},
       {"Failed to initialize TCP/IP Server interface return code: 3."},
       false},
      // No listener could be allocated: everything stops, then the box (logged).
      {Step::kListenerAllocation,
       Mode::kInteractive,
       IDNO,
       started + " " + stopped,
       {std::string("show log: ") + kNoListenerMemory},
       {"Interfaces Stopped."},
       false},
      {Step::kListenerAllocation,
       Mode::kService,
       IDNO,
       started + " " + stopped,
       {std::string("show log silent: ") + kNoListenerMemory},
       {"Interfaces Stopped."},
       false},
      {Step::kListenerAllocation,
       Mode::kLauncher,
       IDNO,
       "pipe+ " + started + " " + stopped,
       {std::string("show log: ") + kNoListenerMemory},
       {"Interfaces Stopped."},
       false},
  };
}

std::string Split(const std::string& calls) {
  std::vector<std::string> parts;
  std::istringstream in(calls);
  for (std::string part; in >> part;) parts.push_back(part);
  return Joined(parts);
}

void ViewStartTest::RunRows(Mode mode) {
  for (const Row& row : Rows()) {
    if (row.mode != mode) continue;
    TearDown();
    m_Record = std::make_shared<Record>();
    SetUp();
    SCOPED_TRACE("failing step " + std::to_string(static_cast<int>(row.failing)) + ", calls " + row.calls);
    Start(mode, row.failing, row.ask_answer);
    EXPECT_EQ(Joined(m_Record->calls), Split(row.calls));
    EXPECT_EQ(Joined(m_Record->boxes), Joined(row.boxes));
    EXPECT_EQ(Title(), kOfflineTitle);

    // Past one tick of the title timer: the running title shows the counters.
    Pump(700);
    if (row.running) {
      EXPECT_EQ(Title().rfind("  Corvane (Elavon Host)  Req-> 0 Socks-> 0  ", 0), 0u) << Title();
    } else {
      EXPECT_EQ(Title(), kOfflineTitle);
    }
    EXPECT_EQ(TitleTimerRunning(), row.running);

    const std::string log = NewLogText();
    size_t at = 0;
    for (const std::string& line : row.logged) {
      const size_t found = log.find(line, at);
      EXPECT_NE(found, std::string::npos) << "not logged in order: " << line << "\n" << log;
      if (found != std::string::npos) at = found + line.size();
    }
    if (!row.running) {
      EXPECT_EQ(log.find(kAllUp), std::string::npos) << log;
    }
  }
}

TEST_F(ViewStartTest, EachFailingStepWhenInteractive) { RunRows(Mode::kInteractive); }
TEST_F(ViewStartTest, EachFailingStepAsAService) { RunRows(Mode::kService); }
TEST_F(ViewStartTest, EachFailingStepUnderTheLauncher) { RunRows(Mode::kLauncher); }

TEST_F(ViewStartTest, SetupRestartStopsThenStartsWithoutASecondDownload) {
  Start(Mode::kInteractive, Step::kNone, IDNO);
  m_Record->calls.clear();
  m_Frame->View()->OnSetupParameters();
  EXPECT_EQ(Joined(m_Record->calls), Split(std::string("setup ") + kStopped + " check prepare reverse+ elavon+ dial+3 listen+200"));
  EXPECT_TRUE(TitleTimerRunning());
}

TEST_F(ViewStartTest, CloseDuringTheStartWaitsUntilTheStartHasReturned) {
  bool closed_inside = false;
  m_Record->during_elavon_start = [this, &closed_inside] {
    m_Record->during_elavon_start = nullptr;
    closed_inside = m_Frame->close();
  };
  Start(Mode::kService, Step::kNone, IDNO);
  EXPECT_FALSE(closed_inside);
  Pump(100);
  // The whole start ran, then the stop the close asks for.
  EXPECT_EQ(Joined(m_Record->calls), Split(std::string(kStarted) + " " + kStopped));
  EXPECT_TRUE(m_Frame->Closing());
  EXPECT_FALSE(TitleTimerRunning());
}

// A close request from outside while the retry question waits: the question takes
// its default (Yes), but the start does not try again; it stops what it started,
// and the close that was asked for follows once the start has returned.
TEST_F(ViewStartTest, ACloseRequestWhileTheRetryQuestionWaitsStopsAndCloses) {
  int asked = 0;
  Start(Mode::kInteractive, Step::kElavon, IDYES, [this, &asked] {
    if (++asked == 1) m_Frame->RequestClose();
  });
  Pump(100);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(Joined(m_Record->calls),
            Split(std::string("download check prepare reverse+ elavon+ ") + kStopped + " " + kStopped));
  EXPECT_TRUE(m_Frame->Closing());
}

// The user declines to stop while clients are connected, and is asked "There are
// requests in Process." A close request from outside while that question waits
// answers it with its default (Yes): the interfaces stop, then the window closes.
TEST_F(ViewStartTest, ACloseRequestAnswersTheRequestsInProcessQuestionWithYes) {
  Start(Mode::kInteractive, Step::kNone, IDNO);
  m_Record->connections = 2;
  m_Record->calls.clear();
  bool seen = false;
  QTimer::singleShot(100, [this, &seen] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<CTimedMessageBox*>(w);
      if (box && box->Exists() && box->MessageControl()->text().startsWith("There are requests in Process.")) {
        seen = true;
        EXPECT_EQ(box->Owner(), m_Frame.get());
      }
    }
    m_Frame->RequestClose();
  });
  m_Frame->OnAppExit();
  EXPECT_TRUE(seen);
  EXPECT_TRUE(m_Frame->Closing());
  EXPECT_EQ(Joined(m_Record->boxes),
            "ask (yes): There are Client connections in Process.\rAre you SURE you want to do this?");
  EXPECT_EQ(Joined(m_Record->calls), Split(kStopped));
}

// The caption has no close button (the window manager's close is refused: see the
// end-to-end test on a display); File, Exit closes.
TEST_F(ViewStartTest, TheCaptionHasNoCloseButtonAndFileExitCloses) {
  Start(Mode::kInteractive, Step::kNone, IDNO);
  EXPECT_FALSE(m_Frame->windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(m_Frame->windowFlags() & Qt::WindowMinimizeButtonHint);
  m_Record->calls.clear();
  m_Frame->OnAppExit();
  EXPECT_TRUE(m_Frame->Closing());
  EXPECT_EQ(Joined(m_Record->calls), Split(kStopped));
}

// The status bar's pane shows a menu item's prompt while the mouse is on it, and
// "Ready" again once the mouse has left the item and the menu has closed.
TEST_F(ViewStartTest, TheStatusBarSaysReadyAgainAfterAMenuHover) {
  Start(Mode::kInteractive, Step::kNone, IDNO);
  m_Frame->show();
  Pump(200);
  QStatusBar* bar = m_Frame->statusBar();
  EXPECT_EQ(bar->currentMessage(), "Ready");
  QAction* title = nullptr;
  for (QAction* action : m_Frame->menuBar()->actions()) {
    if (action->text() == "&Setup") title = action;
  }
  ASSERT_NE(title, nullptr);
  QMenu* setup = title->menu();
  ASSERT_NE(setup, nullptr);
  QAction* item = setup->actions().value(0);
  ASSERT_NE(item, nullptr);

  // The mouse glides to a point of the menu, as a hand moves it (a menu takes a
  // move as a hover only once the mouse has travelled from where the menu opened).
  auto glide = [&](QPoint to) {
    for (int i = 8; i >= 0; --i) {
      const QPoint at = to + QPoint(0, i * 3);
      QMouseEvent move(QEvent::MouseMove, QPointF(at), QPointF(setup->mapToGlobal(at)), Qt::NoButton, Qt::NoButton,
                       Qt::NoModifier);
      QApplication::sendEvent(setup, &move);
    }
  };
  struct Step {
    const char* name;
    std::function<void()> act;
    const char* message;
  } steps[] = {
      {"on the item", [&] {
         m_Frame->menuBar()->setActiveAction(title);  // opened from the menu bar
         Pump(100);
         glide(setup->actionGeometry(item).center());
       }, "Setup Parameters"},
      {"menu closed", [&] { setup->hide(); }, "Ready"},
      {"on the item of the menu opened again", [&] {
         m_Frame->menuBar()->setActiveAction(title);  // opened from the menu bar
         Pump(100);
         glide(setup->actionGeometry(item).center());
       }, "Setup Parameters"},
      {"menu closed again", [&] { setup->hide(); }, "Ready"},
  };
  for (const Step& step : steps) {
    step.act();
    Pump(150);
    EXPECT_EQ(bar->currentMessage().toStdString(), step.message) << step.name;
  }
}

// While the clients drain, the window is served: Qt's timers run, and the progress
// box, owned by the main window, shows the step's text. The title is the running
// text alone.
TEST_F(ViewStartTest, TheWindowIsServedWhileTheClientsDrain) {
  Start(Mode::kInteractive, Step::kNone, IDNO);
  m_Frame->show();
  Pump(700);
  EXPECT_EQ(Title().rfind("  Corvane (Elavon Host)  Req-> 0 Socks-> 0  ", 0), 0u) << Title();
  EXPECT_EQ(Title().find("TCPIP"), std::string::npos) << Title();

  m_Record->drain_ms = 300;
  int ticks = 0;
  std::vector<std::string> texts;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    ++ticks;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<CTimedMessageBox*>(w);
      if (!box || !box->Exists()) continue;
      EXPECT_EQ(box->Owner(), m_Frame.get());
      EXPECT_EQ(box->windowHandle()->transientParent(), m_Frame->windowHandle());
      EXPECT_FALSE(m_Frame->isEnabled());
      const std::string text = box->MessageControl()->text().toStdString();
      if (texts.empty() || texts.back() != text) texts.push_back(text);
    }
  });
  probe.start(20);
  m_Frame->View()->StopAllInterfaces();
  probe.stop();
  EXPECT_GE(ticks, 5);
  EXPECT_EQ(Joined(texts), "Shutting down Clients...");
  EXPECT_TRUE(m_Frame->isEnabled());
}

// A left click on a button, as the box sees one.
void ClickLeft(QWidget* button) {
  const QPointF at(button->width() / 2.0, button->height() / 2.0);
  QMouseEvent press(QEvent::MouseButtonPress, at, button->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, at, button->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QCoreApplication::sendEvent(button, &press);
  QCoreApplication::sendEvent(button, &release);
}

// The box that asks text, or nullptr.
CTimedMessageBox* BoxAsking(const char* text) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<CTimedMessageBox*>(w);
    if (box && box->Exists() && box->MessageControl()->text().startsWith(text)) return box;
  }
  return nullptr;
}

// File, Exit with clients connected: whatever is answered, a close that goes ahead
// stops the interfaces first, and No to the second question keeps the program
// running (nothing stopped).
TEST_F(ViewStartTest, ClosingWithClientsConnectedStopsFirstWhateverTheAnswers) {
  struct Case {
    int first;   // answer to "There are Client connections in Process."
    int second;  // answer to "There are requests in Process." (0: not asked)
    bool closes;
    std::string calls;
  };
  const Case cases[] = {
      {IDYES, 0, true, kStopped},
      {IDNO, IDYES, true, kStopped},
      {IDNO, IDNO, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("answers " + std::to_string(c.first) + " " + std::to_string(c.second));
    TearDown();
    m_Record = std::make_shared<Record>();
    SetUp();
    Start(Mode::kInteractive, Step::kNone, c.first);
    m_Record->connections = 1;
    m_Record->calls.clear();
    bool asked_second = false;
    int probes = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
      CTimedMessageBox* box = BoxAsking("There are requests in Process.");
      if (!box) {
        // Bounded: a question that is never found is answered by a close request.
        if (++probes == 60) {
          ADD_FAILURE() << "the second question never came";
          m_Frame->RequestClose();
        }
        return;
      }
      probe.stop();
      asked_second = true;
      EXPECT_EQ(box->Owner(), m_Frame.get());
      EXPECT_TRUE(box->YesButton()->isDefault());
      ClickLeft(c.second == IDYES ? box->YesButton() : box->NoButton());
    });
    if (c.second != 0) probe.start(50);
    m_Frame->OnAppExit();
    probe.stop();
    EXPECT_EQ(asked_second, c.second != 0);
    EXPECT_EQ(m_Frame->Closing(), c.closes);
    EXPECT_EQ(Joined(m_Record->calls), Split(c.calls));
    const std::string log = NewLogText();
    EXPECT_EQ(log.find("Interfaces Stopped.") != std::string::npos, c.closes) << log;
    if (!c.closes) {
      // Still running: the title timer goes on.
      EXPECT_TRUE(TitleTimerRunning());
    }
  }
}

// A service has no one to answer "Retry?": it logs each failed try with its cause
// and tries again after the pause, until the start succeeds.
TEST_F(ViewStartTest, AServiceTriesTheElavonStartAgainUntilItSucceeds) {
  m_ServiceRetryMs = 1000;
  const auto t0 = std::chrono::steady_clock::now();
  Start(Mode::kService, Step::kElavonOnce, IDNO);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
  EXPECT_EQ(Joined(m_Record->calls), Split("download check prepare reverse+ elavon+ elavon+ dial+3 listen+200"));
  EXPECT_EQ(Joined(m_Record->boxes), "");
  const std::string log = NewLogText();
  const size_t retry = log.find("Elavon down - trying again in 1 seconds");
  EXPECT_NE(retry, std::string::npos) << log;
  EXPECT_LT(retry, log.find(kAllUp)) << log;
  EXPECT_TRUE(TitleTimerRunning());
}

// A stop while a service waits for its next try ends the wait at once: the start
// stops what it started and the close follows.
TEST_F(ViewStartTest, AStopEndsTheServicesWaitForTheNextTryAtOnce) {
  m_Record->during_elavon_start = [this] {
    m_Record->during_elavon_start = nullptr;
    QTimer::singleShot(200, m_Frame.get(), [this] { m_Frame->RequestClose(); });
  };
  const auto t0 = std::chrono::steady_clock::now();
  Start(Mode::kService, Step::kElavon, IDNO);
  Pump(100);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(Joined(m_Record->calls),
            Split(std::string("download check prepare reverse+ elavon+ ") + kStopped + " " + kStopped));
  EXPECT_TRUE(m_Frame->Closing());
  const std::string log = NewLogText();
  EXPECT_NE(log.find("Elavon down - trying again in 30 seconds"), std::string::npos) << log;
}

// A close request during the parameter download: the download's waits give up (the
// abort event), and the start ends before its next step; the close then stops.
TEST_F(ViewStartTest, ACloseRequestDuringTheDownloadEndsTheStartThere) {
  m_DuringDownload = [this] {
    m_Frame->RequestClose();
    EXPECT_TRUE(g_AbortEvent.IsSet());
  };
  Start(Mode::kInteractive, Step::kNone, IDNO);
  Pump(100);
  EXPECT_EQ(Joined(m_Record->calls), Split(std::string("download ") + kStopped));
  EXPECT_EQ(Joined(m_Record->boxes), "");
  EXPECT_TRUE(m_Frame->Closing());
  EXPECT_EQ(NewLogText().find(kReverseFailed), std::string::npos);
}

// The server's own components when the listener cannot be allocated: std::bad_alloc
// at that allocation becomes the box (logged), every interface stops, no timer runs,
// and nothing crashes.
class NoListenerMemory : public FakeComponents {
 public:
  explicit NoListenerMemory(std::shared_ptr<Record> record) : FakeComponents(std::move(record), Step::kNone) {
    m_Real.SetListenerAllocatorForTesting([]() -> std::unique_ptr<CClientListener> { throw std::bad_alloc(); });
  }
  int StartListener(int max_connections) override {
    Call("listen+" + std::to_string(max_connections), true);
    const int result = m_Real.StartListener(max_connections);
    m_RealConnections = m_Real.ConnectionCount();
    return result;
  }
  int m_RealConnections = 0;

 private:
  CServerComponents m_Real{ProcessServerContexts(), true};
};

TEST_F(ViewStartTest, AListenerThatCannotBeAllocatedStopsEverythingAndSaysSo) {
  auto components = std::make_unique<NoListenerMemory>(m_Record);
  NoListenerMemory* real = components.get();
  Start(Mode::kInteractive, Step::kNone, IDNO, nullptr, std::move(components));
  EXPECT_EQ(Joined(m_Record->calls), Split(std::string(kStarted) + " " + kStopped));
  EXPECT_EQ(Joined(m_Record->boxes), std::string("show log: ") + kNoListenerMemory);
  EXPECT_EQ(real->m_RealConnections, -1);  // no listener was kept
  Pump(700);
  EXPECT_EQ(Title(), kOfflineTitle);
  EXPECT_FALSE(TitleTimerRunning());
  const std::string log = NewLogText();
  EXPECT_EQ(log.find(kServerUp), std::string::npos) << log;
  EXPECT_NE(log.find("Interfaces Stopped."), std::string::npos) << log;
}

}  // namespace
