// The Setup dialog under the offscreen platform: what it shows, what OK and the
// close do, and "Load New Parameters" against a stand-in download and against the
// simulated configuration service (tools/rvcs-sim) on 127.0.0.1. Messages go to a
// recording sink, so no modal box ever waits for a user.
#include "app/shell/setup_dialog.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QLabel>
#include <QLayout>
#include <QWindow>
#include <gtest/gtest.h>

#include "app/lanes/lane_test_support.h"
#include "app/qt/qt_driver.h"
#include "app/qt/timed_message_box.h"
#include "core/crypto/crypto_engine.h"
#include "core/params/param_store.h"
#include "host/ip/sspi_interface.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "platform/fs/profile.h"
#include "platform/sync/event.h"
#include "platform/window/window.h"
#include "tools/elavon-sim/test_pki.h"
#include "tools/rvcs-sim/rvcs_server.h"

namespace {

int g_argc = 1;
char g_arg0[] = "setup_dialog_test";
char* g_argv[] = {g_arg0, nullptr};

constexpr unsigned kYesNoQuestion = 0x24;
constexpr char kLoaded[] =
    "Parameters Successfully Loaded\r\nSome Changes may not take effect until you 'OK' the Setup Screen.";

struct Shown {
  std::string text;
  unsigned style;
};

// What a scripted download saw; it outlives the download, which the dialog deletes.
struct DownloadRecord {
  std::atomic<int> attempts{0};
  std::atomic<int> disconnects{0};
  std::thread::id worker_thread;
};

// A download that answers from a script, on the worker thread.
class ScriptedDownload : public CParameterDownload {
 public:
  ScriptedDownload(std::deque<bool> outcomes, DownloadRecord* record, std::function<void()> onSuccess = {})
      : outcomes_(std::move(outcomes)), record_(record), on_success_(std::move(onSuccess)) {}
  bool DownloadParameters() override {
    ++record_->attempts;
    record_->worker_thread = std::this_thread::get_id();
    const bool ok = !outcomes_.empty() && outcomes_.front();
    if (!outcomes_.empty()) outcomes_.pop_front();
    if (ok && on_success_) on_success_();
    return ok;
  }
  std::string GetLastErrorText() const override { return "Wait Message 1 Failed - timed out 10060"; }
  void Disconnect() override { ++record_->disconnects; }

 private:
  std::deque<bool> outcomes_;
  DownloadRecord* const record_;
  std::function<void()> on_success_;
};

class SetupDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) new QApplication(g_argc, g_argv);
    InstallQtMessageUi();
  }

  void SetUp() override {
    profile_ = std::make_unique<platform::fs::Profile>(folder_.File("profile"));
    store_ = std::make_unique<CParamStore>(profile_.get(), &log_);
    ASSERT_TRUE(store_->ResetLocked());
    QObject::connect(&guard_, &QTimer::timeout, [] {
      while (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ADD_FAILURE() << "a modal dialog was left open";
        dialog->reject();
      }
    });
    guard_.setSingleShot(true);
    guard_.start(8000);
  }
  void TearDown() override {
    guard_.stop();
    QObject::disconnect(&guard_, nullptr, nullptr, nullptr);
  }

  // Replaces the listed parameters (unvalidated) in the test's store.
  void SetParams(const std::map<int, std::string>& values) {
    CParamSettings settings = store_->GetSettings();
    CParamMap params = settings.GetParams();
    for (const auto& [number, value] : values) {
      CParamEntry entry;
      ASSERT_TRUE(params.Lookup(number, &entry)) << number;
      params.SetAt(number, CParamEntry(entry.GetFormat(), entry.GetName(), value));
    }
    settings.SetParams(params);
    ASSERT_TRUE(store_->Replace(settings));
  }

  CLanesFile LanesFile() const { return CLanesFile(folder_.File(kLanesFileName), &log_); }

  CSetupDialogContext Context(std::function<std::unique_ptr<CParameterDownload>()> makeDownload = {}) {
    CSetupDialogContext context;
    context.store = store_.get();
    context.lanesFile = LanesFile();
    context.abortEvent = &abort_;
    context.message = [this](const std::string& text, unsigned style) {
      shown_.push_back({text, style});
      if (!answers_.empty()) {
        const int answer = answers_.front();
        answers_.pop_front();
        return answer;
      }
      return (style & 0x0F) == 4 ? IDNO : IDOK;
    };
    context.makeDownload = std::move(makeDownload);
    return context;
  }

  std::unique_ptr<CSetupParamsDlg> MakeDialog(std::function<std::unique_ptr<CParameterDownload>()> makeDownload = {}) {
    auto dialog = std::make_unique<CSetupParamsDlg>(nullptr, Context(std::move(makeDownload)));
    dialog->OnInitDialog();
    return dialog;
  }

  static std::string Text(const CSetupParamsDlg& dialog, int id) {
    auto* edit = qobject_cast<QLineEdit*>(dialog.Control(id));
    return edit ? edit->text().toStdString() : "<no edit " + std::to_string(id) + ">";
  }
  static bool Checked(const CSetupParamsDlg& dialog, int id) {
    auto* button = qobject_cast<QAbstractButton*>(dialog.Control(id));
    return button && button->isChecked();
  }
  // The ids of the checked radio buttons among ids.
  static std::vector<int> CheckedOf(const CSetupParamsDlg& dialog, std::initializer_list<int> ids) {
    std::vector<int> checked;
    for (int id : ids) {
      if (Checked(dialog, id)) checked.push_back(id);
    }
    return checked;
  }

  ScratchFolder folder_;
  mutable CapturedLog log_;
  std::unique_ptr<platform::fs::Profile> profile_;
  std::unique_ptr<CParamStore> store_;
  platform::Event abort_{platform::Event::Mode::kManualReset};
  std::vector<Shown> shown_;
  std::deque<int> answers_;
  QTimer guard_;
};

TEST_F(SetupDialogTest, FieldsShowTheStoredTexts) {
  SetParams({{kParmAssignedBin, "412345"},
             {kParmMerchantTerminalId, "0000123456789012"},
             {kParmMerchantCategory, "3"},
             {kParmECheck, "2"},
             {kParmDuplicateCheck, "Y"},
             {kParmUseCorvPassword, "Y"},
             {kParmCorvPassword, "s3cret"},
             {kParmDoNotConnectOnStartup, "Y"},
             {kParmVerifySslCertificate, "N"},
             {kParmGoToTrayWhenMinimized, "Y"},
             {kParmTransportMethod, "1"},
             {kParmModemComPort, "0"},      // outside 1..255: shown as stored
             {kParmDialPrefix, "9,"},
             {kParmAuthorizationPhone, "18005551212"},
             {kParmIpConnectTimeout, "99"},  // outside 3..40: shown as stored
             {kParmEmvSupport, "2"},
             {kParmEmvCvm, "1"},
             {kParmNumberOfLanes, "12"}});
  auto dialog = MakeDialog();
  EXPECT_EQ(dialog->windowTitle(), "Setup Corvane Parameters");
  EXPECT_EQ(Text(*dialog, 1000), "412345");
  EXPECT_EQ(Text(*dialog, 1004), "0000123456789012");
  EXPECT_EQ(qobject_cast<QComboBox*>(dialog->Control(1008))->currentText(), "Moto");
  EXPECT_EQ(CheckedOf(*dialog, {1026, 1010, 1011}), std::vector<int>{1011});
  EXPECT_EQ(CheckedOf(*dialog, {1036, 1035}), std::vector<int>{1035});
  EXPECT_TRUE(Checked(*dialog, 1002));
  EXPECT_EQ(Text(*dialog, 1003), "s3cret");
  // The password box shows a mask, one character for each of the value's; every other
  // box shows its text.
  for (const int id : {1000, 1004, 1003, 1016, 1017, 1013, 1022, 1039}) {
    auto* edit = qobject_cast<QLineEdit*>(dialog->Control(id));
    ASSERT_NE(edit, nullptr) << id;
    EXPECT_EQ(edit->echoMode(), id == 1003 ? QLineEdit::Password : QLineEdit::Normal) << id;
    EXPECT_EQ(edit->displayText() == edit->text(), id != 1003) << id;
  }
  EXPECT_EQ(qobject_cast<QLineEdit*>(dialog->Control(1003))->displayText().size(), 6);
  EXPECT_TRUE(Checked(*dialog, 1028));
  EXPECT_FALSE(Checked(*dialog, 1041));
  EXPECT_TRUE(Checked(*dialog, 1033));
  EXPECT_EQ(CheckedOf(*dialog, {1030, 1031, 1032}), std::vector<int>{1031});
  EXPECT_EQ(Text(*dialog, 1016), "0");
  EXPECT_EQ(Text(*dialog, 1017), "9,");
  EXPECT_EQ(Text(*dialog, 1013), "18005551212");
  EXPECT_EQ(Text(*dialog, 1022), "99");
  EXPECT_EQ(CheckedOf(*dialog, {1043, 1044, 1045}), std::vector<int>{1045});
  EXPECT_EQ(CheckedOf(*dialog, {1046, 1047, 1048}), std::vector<int>{1047});
  EXPECT_EQ(Text(*dialog, 1039), "12");

  // Only Lane Setup, Load New Parameters and OK can be used.
  for (const auto id : {1000, 1004, 1008, 1026, 1036, 1002, 1003, 1028, 1041, 1033, 1030, 1016, 1017, 1013, 1022,
                        1043, 1046, 1039}) {
    EXPECT_FALSE(dialog->Control(id)->isEnabled()) << id;
  }
  for (const auto id : {1037, 1038, 1}) EXPECT_TRUE(dialog->Control(id)->isEnabled()) << id;
}

TEST_F(SetupDialogTest, ValuesMapToChoices) {
  struct Case {
    std::map<int, std::string> values;
    const char* category;
    int check_service;  // control id of the checked radio button
    int duplicate;
    int transport;
    bool use_password;
    std::string password;
  } cases[] = {
      {{{kParmMerchantCategory, "4"}, {kParmECheck, "1"}, {kParmDuplicateCheck, "N"}, {kParmTransportMethod, "2"}},
       "eCommerce", 1010, 1036, 1032, false, ""},
      {{{kParmMerchantCategory, "0"}, {kParmECheck, "3"}, {kParmDuplicateCheck, "y"}, {kParmTransportMethod, "7"}},
       "Retail / Grocery", 1026, 1036, 1030, false, ""},
      {{{kParmMerchantCategory, ""}, {kParmECheck, ""}, {kParmTransportMethod, ""}}, "Retail / Grocery", 1026, 1036,
       1030, false, ""},
      // USE CORV CLIENT/SERVER PASSWORD "N": the box stays empty although a password is stored.
      {{{kParmUseCorvPassword, "N"}, {kParmCorvPassword, "hidden"}}, "Retail / Grocery", 1026, 1036, 1030, false, ""},
      {{{kParmUseCorvPassword, "Y"}, {kParmCorvPassword, "shown"}}, "Retail / Grocery", 1026, 1036, 1030, true,
       "shown"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(store_->ResetLocked());
    SetParams(c.values);
    auto dialog = MakeDialog();
    const std::string what = c.category + std::string(" ") + std::to_string(c.check_service);
    EXPECT_EQ(qobject_cast<QComboBox*>(dialog->Control(1008))->currentText().toStdString(), c.category) << what;
    EXPECT_EQ(CheckedOf(*dialog, {1026, 1010, 1011}), std::vector<int>{c.check_service}) << what;
    EXPECT_EQ(CheckedOf(*dialog, {1036, 1035}), std::vector<int>{c.duplicate}) << what;
    EXPECT_EQ(CheckedOf(*dialog, {1030, 1031, 1032}), std::vector<int>{c.transport}) << what;
    EXPECT_EQ(Checked(*dialog, 1002), c.use_password) << what;
    EXPECT_EQ(Text(*dialog, 1003), c.password) << what;
  }
}

TEST_F(SetupDialogTest, BeforeLoadFieldsNothingIsChosen) {
  CSetupParamsDlg dialog(nullptr, Context());
  EXPECT_EQ(dialog.Values().m_MerchantCategory, -1);
  EXPECT_EQ(dialog.Values().m_Transport, -1);
  dialog.UpdateData(false);
  EXPECT_EQ(qobject_cast<QComboBox*>(dialog.Control(1008))->currentIndex(), -1);
  EXPECT_TRUE(CheckedOf(dialog, {1030, 1031, 1032}).empty());
  EXPECT_FALSE(dialog.m_ParametersLoaded);
}

TEST_F(SetupDialogTest, OkAcceptsAndTheCloseRejectsWithoutWriting) {
  SetParams({{kParmAssignedBin, "412345"}});
  const std::string saved = store_->GetSavedText();
  for (const bool ok : {true, false}) {
    auto dialog = MakeDialog();
    QTimer::singleShot(0, dialog.get(), [&dialog, ok] {
      if (ok) {
        qobject_cast<QPushButton*>(dialog->Control(1))->click();
      } else {
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
      }
    });
    const int result = dialog->exec();
    EXPECT_EQ(result, ok ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_FALSE(dialog->m_ParametersLoaded);
    EXPECT_EQ(dialog->Values().m_Bin, "412345");
  }
  EXPECT_EQ(store_->GetSavedText(), saved);
  EXPECT_TRUE(shown_.empty());
}

// Every caption shows whole, also where the screen is small (the window system then
// offers less than the dialog would like): no control gets less than it needs.
TEST_F(SetupDialogTest, EveryCaptionShowsWholeOnTheScreen) {
  auto dialog = MakeDialog();
  dialog->show();
  QCoreApplication::processEvents();
  int looked_at = 0;
  for (QWidget* child : dialog->findChildren<QWidget*>()) {
    auto* label = qobject_cast<QLabel*>(child);
    auto* button = qobject_cast<QAbstractButton*>(child);
    if ((!label && !button) || !child->isVisible()) continue;
    ++looked_at;
    const std::string text = (label ? label->text() : button->text()).toStdString();
    EXPECT_GE(child->width(), child->minimumSizeHint().width()) << text;
  }
  EXPECT_GT(looked_at, 20);
  EXPECT_GE(dialog->width(), dialog->layout()->minimumSize().width());
  dialog->hide();
}

TEST_F(SetupDialogTest, LaneSetupOpensTheLaneDialog) {
  SetParams({{kParmLaneIds, "101$102"}});
  auto dialog = MakeDialog();
  bool seen = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* lanes = qobject_cast<CLaneSetupDlg*>(QApplication::activeModalWidget())) {
      seen = true;
      EXPECT_EQ(lanes->LaneList()->rowCount(), 2);
      lanes->reject();
    }
  });
  poll.start(10);
  qobject_cast<QPushButton*>(dialog->Control(1037))->click();
  EXPECT_TRUE(seen);
}

TEST_F(SetupDialogTest, ASuccessfulDownloadShowsTheNewValuesAndEmptiesTheLanesFile) {
  ASSERT_TRUE(LanesFile().Write({{"101", "Front counter"}}));
  DownloadRecord record;
  auto dialog = MakeDialog([&] {
    return std::make_unique<ScriptedDownload>(std::deque<bool>{true}, &record, [this] {
      CParamSettings settings = store_->GetSettings();
      CParamMap params = settings.GetParams();
      params.SetParamValue(kParmAssignedBin, "498765");
      settings.SetParams(params);
      store_->Replace(settings);
    });
  });
  qobject_cast<QPushButton*>(dialog->Control(1038))->click();

  EXPECT_EQ(record.attempts.load(), 1);
  EXPECT_TRUE(dialog->m_ParametersLoaded);
  EXPECT_EQ(Text(*dialog, 1000), "498765");
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, kLoaded);
  EXPECT_EQ(shown_[0].style, 0u);
  EXPECT_TRUE(platform::fs::FileExists(LanesFile().Path()));
  std::string bytes = "unread";
  ASSERT_TRUE(platform::fs::ReadFile(LanesFile().Path(), &bytes));
  EXPECT_EQ(bytes, "");
}

// The "Please Wait" box of a download belongs to the Setup dialog: transient for it,
// holding it disabled, in front of it while the worker runs.
TEST_F(SetupDialogTest, TheDownloadsProgressBoxBelongsToTheDialog) {
  DownloadRecord record;
  auto dialog = MakeDialog([&] {
    return std::make_unique<ScriptedDownload>(std::deque<bool>{true}, &record,
                                              [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
  });
  // Qt's events are served while the UI thread waits, as in the server.
  app_qt::QtPumpDriver driver;
  dialog->show();
  EXPECT_EQ(dialog->windowTitle(), "Setup Corvane Parameters");
  EXPECT_GE(dialog->width(), TitleWidth(dialog.get()));
  int seen = 0;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<CTimedMessageBox*>(w);
      if (!box || !box->Exists()) continue;
      ++seen;
      EXPECT_EQ(box->Owner(), dialog.get());
      EXPECT_EQ(box->windowHandle()->transientParent(), dialog->windowHandle());
      EXPECT_FALSE(dialog->isEnabled());
      EXPECT_EQ(box->MessageControl()->text(), "Attempting to Retrieve Parameters from RVCS...");
    }
  });
  probe.start(20);
  qobject_cast<QPushButton*>(dialog->Control(1038))->click();
  probe.stop();
  EXPECT_GT(seen, 0);
  EXPECT_TRUE(dialog->isEnabled());
}

TEST_F(SetupDialogTest, AFailureIsOfferedForRetryAndKeepsTheParameters) {
  SetParams({{kParmAssignedBin, "412345"}});
  ASSERT_TRUE(LanesFile().Write({{"101", "Front counter"}}));
  const std::string saved = store_->GetSavedText();
  struct Case {
    std::deque<bool> outcomes;
    std::deque<int> answers;
    int attempts;
    bool loaded;
  } cases[] = {
      {{false}, {IDNO}, 1, false},
      {{false, false, true}, {IDYES, IDYES, IDOK}, 3, true},
  };
  for (Case& c : cases) {
    shown_.clear();
    answers_ = c.answers;
    DownloadRecord record;
    auto dialog = MakeDialog([&] { return std::make_unique<ScriptedDownload>(c.outcomes, &record); });
    dialog->OnLoadNewParameters();
    EXPECT_TRUE(dialog->m_ParametersLoaded) << "whatever the outcome";
    EXPECT_EQ(record.attempts.load(), c.attempts);
    EXPECT_EQ(record.disconnects.load(), c.attempts);
    EXPECT_NE(record.worker_thread, std::this_thread::get_id());
    ASSERT_EQ(shown_.size(), c.answers.size());
    const size_t questions = c.loaded ? shown_.size() - 1 : shown_.size();
    for (size_t i = 0; i < questions; ++i) {
      EXPECT_EQ(shown_[i].text, "Parameter Load Failed - Wait Message 1 Failed - timed out 10060\r\n\r\n  Try Again?");
      EXPECT_EQ(shown_[i].style, kYesNoQuestion);
    }
    TextMap lanes;
    ASSERT_TRUE(LanesFile().Read(lanes));
    if (c.loaded) {
      EXPECT_EQ(shown_.back().text, kLoaded);
      EXPECT_TRUE(lanes.empty());
    } else {
      EXPECT_EQ(store_->GetSavedText(), saved);
      EXPECT_EQ(Text(*dialog, 1000), "412345");
      EXPECT_EQ(lanes.size(), 1u);
    }
  }
}

TEST_F(SetupDialogTest, TheAbortEventIsClearedForTheDownloadOnly) {
  for (const bool set_before : {true, false}) {
    if (set_before) abort_.Set(); else abort_.Reset();
    bool set_during = true;
    DownloadRecord record;
    auto dialog = MakeDialog([&] {
      return std::make_unique<ScriptedDownload>(std::deque<bool>{true}, &record,
                                                [&] { set_during = abort_.IsSet(); });
    });
    dialog->OnLoadNewParameters();
    EXPECT_FALSE(set_during) << set_before;
    EXPECT_EQ(abort_.IsSet(), set_before);
  }
}

TEST_F(SetupDialogTest, WorkerThreadRunsWhileTheUiThreadDispatches) {
  // The worker waits for a message that only the UI thread's dispatch can handle.
  platform::Event handled(platform::Event::Mode::kManualReset);
  const platform::window::WindowHandle window = platform::window::CreateWindowHandle(
      [&handled](uint32_t, platform::window::WPARAM, platform::window::LPARAM) -> platform::window::LRESULT {
        handled.Set();
        return 0;
      });
  struct Shared {
    platform::window::WindowHandle window;
    platform::Event* handled;
    std::thread::id thread;
    bool saw_dispatch = false;
  } shared{window, &handled, {}, false};
  const WorkerThreadProc proc = [](void* argument) -> uint32_t {
    auto* s = static_cast<Shared*>(argument);
    s->thread = std::this_thread::get_id();
    platform::window::PostMessage(s->window, platform::window::WM_APP + 7, 0, 0);
    s->saw_dispatch = s->handled->Wait(5000);
    return 0;
  };
  std::vector<Shown> failures;
  auto sink = [&failures](const std::string& text, unsigned style) {
    failures.push_back({text, style});
    return IDOK;
  };
  EXPECT_TRUE(RunWorkerThread(proc, &shared, sink));
  EXPECT_TRUE(shared.saw_dispatch);
  EXPECT_NE(shared.thread, std::this_thread::get_id());
  platform::window::DestroyWindowHandle(window);

  EXPECT_FALSE(RunWorkerThread(nullptr, nullptr, sink));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].text, "The Thread could NOT be started.\r\nThis error is FATAL!");
  EXPECT_FALSE(RunWorkerThread(nullptr, nullptr, SetupMessageSink()));  // nothing shown
  EXPECT_EQ(failures.size(), 1u);
}

TEST_F(SetupDialogTest, RetrievalProcSetsTheResultFlag) {
  for (const bool ok : {true, false}) {
    DownloadRecord record;
    ScriptedDownload download({ok}, &record);
    download.m_DownloadSucceeded = !ok;
    EXPECT_EQ(ParameterRetrievalThreadProc(&download), 0u);
    EXPECT_EQ(download.m_DownloadSucceeded, ok);
  }
}

TEST_F(SetupDialogTest, CreateLaysTheDialogOutOffScreen) {
  SetParams({{kParmAssignedBin, "412345"}});
  CSetupParamsDlg dialog(nullptr, Context());
  ASSERT_TRUE(dialog.Create());
  EXPECT_TRUE(dialog.testAttribute(Qt::WA_DontShowOnScreen));
  EXPECT_EQ(Text(dialog, 1000), "412345");
  EXPECT_GT(dialog.Control(1000)->width(), 0);
  EXPECT_FALSE(dialog.isModal());
}

// ---------------------------------------------------------------------------------
// Against the simulated configuration service

class SetupDownloadTest : public SetupDialogTest {
 protected:
  void SetUp() override {
    SetupDialogTest::SetUp();
    char folder[] = "/tmp/kvr_setup_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    home_ = folder;
    setenv("KVR_HOME", home_.c_str(), 1);
    platform::capi::SetContainerRootForTesting(home_ + "/keys");
    ASSERT_TRUE(g_CryptoEngine.Start());
    ASSERT_TRUE(g_SspiInterface.Initialize());
    std::string error;
    ASSERT_TRUE(elavon_sim::MakeTestPki(home_ + "/certs", elavon_sim::TestPkiOptions(), &pki_, &error)) << error;

    // A port that refuses connections: bound, never listening.
    refusing_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(refusing_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(refusing_, reinterpret_cast<sockaddr*>(&address), &length);
    refused_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  void TearDown() override {
    if (service_) service_->Stop();
    if (refusing_ >= 0) close(refusing_);
    g_SspiInterface.Release();
    g_CryptoEngine.Stop();
    platform::capi::SetContainerRootForTesting("");
    unsetenv("KVR_RVCS_PRIMARY");
    unsetenv("KVR_RVCS_SECONDARY");
    std::system(("rm -rf '" + home_ + "'").c_str());
    SetupDialogTest::TearDown();
  }

  std::string StartService(rvcs_sim::ServerOptions options) {
    options.cert_file = pki_.cert_file;
    options.key_file = pki_.key_file;
    options.io_timeout_ms = 3000;
    service_ = std::make_unique<rvcs_sim::RvcsServer>(options);
    std::string error;
    EXPECT_TRUE(service_->Start(&error)) << error;
    return "127.0.0.1:" + std::to_string(service_->port());
  }

  // The dialog's download: the real client on the process's security interface,
  // storing into the test's store; endpoints from the environment.
  std::function<std::unique_ptr<CParameterDownload>()> RealDownload(const std::string& primary,
                                                                   const std::string& secondary) {
    setenv("KVR_RVCS_PRIMARY", primary.c_str(), 1);
    setenv("KVR_RVCS_SECONDARY", secondary.c_str(), 1);
    return [this] {
      ++downloads_made_;
      return MakeRvcsParameterDownload(g_SspiInterface.GetFunctionTable(), g_SspiInterface.GetCredentials(),
                                       store_.get());
    };
  }

  std::string home_;
  elavon_sim::TestPkiFiles pki_;
  std::unique_ptr<rvcs_sim::RvcsServer> service_;
  int refusing_ = -1;
  std::string refused_;
  int downloads_made_ = 0;
};

TEST_F(SetupDownloadTest, LoadNewParametersFromTheService) {
  ASSERT_TRUE(LanesFile().Write({{"101", "Front counter"}, {"102", "Drive-through"}}));
  abort_.Set();  // the Elavon interface is stopped
  rvcs_sim::ServerOptions options;
  options.values = {{kParmAssignedBin, "498765"}, {kParmMerchantCategory, "4"}, {kParmLaneIds, "201$202"}};
  auto dialog = MakeDialog(RealDownload(StartService(options), refused_));
  EXPECT_EQ(Text(*dialog, 1000), "000000");

  qobject_cast<QPushButton*>(dialog->Control(1038))->click();

  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text, kLoaded);
  EXPECT_EQ(downloads_made_, 1);
  EXPECT_TRUE(dialog->m_ParametersLoaded);
  EXPECT_EQ(Text(*dialog, 1000), "498765");
  EXPECT_EQ(qobject_cast<QComboBox*>(dialog->Control(1008))->currentText(), "eCommerce");
  EXPECT_EQ(store_->GetSettings().GetParams().GetParamValue(kParmAssignedBin), "498765");
  std::string bytes = "unread";
  ASSERT_TRUE(platform::fs::ReadFile(LanesFile().Path(), &bytes));
  EXPECT_EQ(bytes, "");
  EXPECT_TRUE(abort_.IsSet());
  ASSERT_TRUE(service_->WaitForEnded(1, 5000));
  EXPECT_EQ(service_->Sessions().front().final_message, "OK");
}

TEST_F(SetupDownloadTest, AFailedDownloadLeavesTheParametersAndSetsTheFlag) {
  SetParams({{kParmAssignedBin, "412345"}});
  ASSERT_TRUE(LanesFile().Write({{"101", "Front counter"}}));
  const std::string saved = store_->GetSavedText();
  rvcs_sim::ServerOptions options;
  options.fault = rvcs_sim::Fault::kWrongEcho;
  answers_ = {IDYES, IDNO};  // one retry, then give up
  auto dialog = MakeDialog(RealDownload(StartService(options), refused_));

  dialog->OnLoadNewParameters();

  EXPECT_TRUE(dialog->m_ParametersLoaded);
  ASSERT_EQ(shown_.size(), 2u);
  for (const Shown& s : shown_) {
    EXPECT_EQ(s.text, "Parameter Load Failed - Parms: Challenge Verification Failed!\r\n\r\n  Try Again?");
    EXPECT_EQ(s.style, kYesNoQuestion);
  }
  EXPECT_EQ(downloads_made_, 1);  // the retry uses the same client
  ASSERT_TRUE(service_->WaitForEnded(2, 5000));
  EXPECT_EQ(store_->GetSavedText(), saved);
  EXPECT_EQ(Text(*dialog, 1000), "412345");
  TextMap lanes;
  ASSERT_TRUE(LanesFile().Read(lanes));
  EXPECT_EQ(lanes.size(), 1u);
}

}  // namespace
