// The management pipe on real sockets: the server thread with the application's
// command source, asked by the launcher-side client of tools/pipe-client. The test's
// main thread is the UI thread: it owns the traffic list and the main window and
// pumps while clients on other threads wait for their replies.
#include "app/pipe/pipe_server.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QImage>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "app/pipe/app_pipe_source.h"
#include "app/pipe/pipe_commands.h"
#include "app/lanes/lane_test_support.h"
#include "app/qt/timed_message_box.h"
#include "app/shell/setup_dialog.h"
#include "core/params/param_store.h"
#include "platform/fs/files.h"
#include "platform/fs/profile.h"
#include "platform/ipc/message_pipe.h"
#include "platform/text/format.h"
#include "platform/window/window.h"
#include "tools/pipe-client/pipe_client.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_argc = 1;
char g_arg0[] = "pipe_server_test";
char* g_argv[] = {g_arg0, nullptr};

constexpr int kClientTimeoutMs = 5000;
const std::string kCommand = std::string("COMMAND") + '\x1E';
const std::string kError = std::string("ERROR") + '\x1E';

// The application's source with the picture going into the test's folder.
class TestSource : public CAppPipeCommandSource {
 public:
  TestSource(QTreeWidget* list, DialogFactory factory, std::string folder)
      : CAppPipeCommandSource(list, std::move(factory), 3000), folder_(std::move(folder)) {}
  std::string CommonDocumentsFolder() override { return folder_; }

 private:
  std::string folder_;
};

// A client request run on a thread of its own while the test's thread pumps.
class Async {
 public:
  explicit Async(std::function<void()> body) : thread_([this, body = std::move(body)] {
      body();
      done_.Set();
    }) {}
  ~Async() { thread_.join(); }
  // Pumps the UI thread until the body has ended (bounded).
  bool Finish(uint32_t ms = 8000) {
    platform::Event* events[] = {&done_};
    return platform::window::PumpMessagesAndWait(events, ms) == 0;
  }

 private:
  platform::Event done_{platform::Event::Mode::kManualReset};
  std::thread thread_;
};

class PipeServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) new QApplication(g_argc, g_argv);
    InstallQtMessageUi();
  }

  void SetUp() override {
    profile_ = std::make_unique<platform::fs::Profile>(folder_.File("profile"));
    store_ = std::make_unique<CParamStore>(profile_.get(), &log_);
    CParamSettings settings;
    settings.ResetToDefaults();
    CParamMap params = settings.GetParams();
    CParamEntry entry;
    ASSERT_TRUE(params.Lookup(kParmAssignedBin, &entry));
    params.SetAt(kParmAssignedBin, CParamEntry(entry.GetFormat(), entry.GetName(), "412345"));
    settings.SetParams(params);
    ASSERT_TRUE(store_->Replace(settings));

    main_window_.setWindowTitle("  Corvane (Elavon Host)  Req-> 2 Socks-> 1  09:15:00");
    SetMainWindow(&main_window_);
    documents_ = folder_.File("documents");
    ASSERT_TRUE(platform::fs::CreateFolder(documents_));
    source_ = std::make_unique<TestSource>(&traffic_, [this] { return MakeDialog(); }, documents_);

    name_ = PipeNameForProcess(static_cast<unsigned long>(::getpid()));
    full_name_ = FullPipeName(name_);
    server_.SetSecure(true);
    server_.SetOwner(source_.get());
    server_.SetRequestCallback(&OnPipeCommand);
  }

  void TearDown() override {
    server_.Stop();
    SetMainWindow(nullptr);
  }

  std::unique_ptr<QWidget> MakeDialog() {
    ++dialogs_made_;
    if (!dialog_possible_) return nullptr;
    CSetupDialogContext context;
    context.store = store_.get();
    context.message = [](const std::string&, unsigned) { return IDOK; };
    auto dialog = std::make_unique<CSetupParamsDlg>(nullptr, std::move(context));
    dialog->Create();
    return dialog;
  }

  void AddTraffic(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) traffic_.addTopLevelItem(new QTreeWidgetItem(QStringList{QString::fromStdString(line)}));
  }

  // One command on a new connection, the UI thread pumping meanwhile.
  std::string Ask(const std::string& command, bool with_nul = false) {
    std::string reply;
    std::string error;
    bool ok = false;
    {
      Async ask([&] {
        pipe_client::PipeClient client;
        ok = client.Connect(full_name_, kClientTimeoutMs, &error) &&
             client.Request(pipe_client::CommandRequest(command, with_nul), &reply, kClientTimeoutMs, &error);
      });
      EXPECT_TRUE(ask.Finish());
    }
    EXPECT_TRUE(ok) << command << ": " << error;
    return reply;
  }

  ScratchFolder folder_;
  CapturedLog log_;
  std::unique_ptr<platform::fs::Profile> profile_;
  std::unique_ptr<CParamStore> store_;
  QWidget main_window_;
  QTreeWidget traffic_;
  std::string documents_;
  std::unique_ptr<TestSource> source_;
  bool dialog_possible_ = true;
  int dialogs_made_ = 0;
  std::string name_;
  std::string full_name_;
  CPipeServerThread server_;
};

TEST(PipeNameTest, NameFollowsTheProcessId) {
  struct Case {
    unsigned long pid;
    const char* letters;
  } cases[] = {{1205, "EJBA"}, {0, "J"}, {7, "G"}, {4194304, "DJCDIAD"}, {1000, "JJJA"}};
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeNumberAsLetters(c.pid), c.letters);
    EXPECT_EQ(FullPipeName(PipeNameForProcess(c.pid)), pipe_client::PipeNameForPid(c.pid));
  }
  EXPECT_EQ(FullPipeName(PipeNameForProcess(1205)), "\\\\.\\pipe\\EJBA_QuillonAppVirureday");
  EXPECT_EQ(FullPipeName(std::string(300, 'n')).size(), 255u);
}

TEST_F(PipeServerTest, EachCommandIsAnsweredWithOneTextAndOneNul) {
  AddTraffic({"[12/10/26 09:14:59] Auth Response Received (IP) from Elavon.",
              "[12/10/26 09:14:58] Sending Auth Request (IP) to Elavon."});
  ASSERT_TRUE(server_.Start(name_));
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  struct Case {
    std::string command;
    bool with_nul;
    std::string reply;
  } cases[] = {
      {"APP NAME", false, "Corvane 5.06 for Elavon"},
      {"APP NAME", true, "Corvane 5.06 for Elavon"},
      {"APP CAPTION", false, "  Corvane (Elavon Host)  Req-> 2 Socks-> 1  09:15:00"},
      {"APP LOG LOCATION", false, std::string(cwd) + "/QUILLON_LOGS"},
      {"APP VIEW", true,
       "[12/10/26 09:14:59] Auth Response Received (IP) from Elavon.\x1F"
       "[12/10/26 09:14:58] Sending Auth Request (IP) to Elavon."},
      {"app name", false, ""},
      {"APP NAME ", false, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Ask(c.command, c.with_nul), c.reply) << c.command;

  // No "COMMAND" RS prefix, and a second, shorter request on the same connection.
  std::string first;
  std::string second;
  std::string third;
  bool ok = false;
  std::string error;
  {
    Async ask([&] {
      pipe_client::PipeClient client;
      ok = client.Connect(full_name_, kClientTimeoutMs, &error) &&
           client.Request("APP NAME", &first, kClientTimeoutMs, &error) &&
           client.Request(kCommand + "APP LOG LOCATION", &second, kClientTimeoutMs, &error) &&
           client.Request(kCommand + "APP NAME", &third, kClientTimeoutMs, &error);
    });
    ASSERT_TRUE(ask.Finish());
  }
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(first, "");
  EXPECT_EQ(second, std::string(cwd) + "/QUILLON_LOGS");
  EXPECT_EQ(third, "Corvane 5.06 for Elavon");
  EXPECT_TRUE(server_.Stop());
}

TEST_F(PipeServerTest, ViewPacksWholeLinesUpTo4095Characters) {
  ASSERT_TRUE(server_.Start(name_));
  EXPECT_EQ(Ask("APP VIEW"), "");  // an empty list

  const std::string a(2000, 'a');
  const std::string b(2094, 'b');
  AddTraffic({a, b});
  EXPECT_EQ(Ask("APP VIEW"), a + '\x1F' + b);  // 4095 characters: both

  traffic_.clear();
  const std::string b_longer(2095, 'b');
  AddTraffic({a, b_longer, "c"});
  EXPECT_EQ(Ask("APP VIEW"), a);  // 4096: the second line no longer fits

  traffic_.clear();
  AddTraffic({std::string(4096, 'x'), "y"});
  EXPECT_EQ(Ask("APP VIEW"), "");
}

TEST_F(PipeServerTest, SettingsFormLeavesAPrivateBmpNamedByAGuid) {
  ASSERT_TRUE(server_.Start(name_));
  const std::string path = Ask("APP SETTINGS FORM");
  ASSERT_EQ(path.rfind(documents_ + "/", 0), 0u) << path;
  const std::string file = path.substr(documents_.size() + 1);
  ASSERT_EQ(file.size(), 36u + 4u) << file;
  EXPECT_EQ(file.substr(36), ".tmp");
  EXPECT_EQ(file[8], '-');
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  QImage picture;
  ASSERT_TRUE(picture.load(QString::fromStdString(path), "BMP"));
  EXPECT_GT(picture.width(), 100);
  EXPECT_GT(picture.height(), 100);
  EXPECT_EQ(dialogs_made_, 1);
  // The dialog is gone again; the picture stays for the launcher.
  for (QWidget* widget : QApplication::topLevelWidgets()) EXPECT_EQ(qobject_cast<CSetupParamsDlg*>(widget), nullptr);

  const std::string second = Ask("APP SETTINGS FORM");
  EXPECT_NE(second, path);
  EXPECT_TRUE(platform::fs::FileExists(path));
  EXPECT_TRUE(platform::fs::FileExists(second));
}

TEST_F(PipeServerTest, SettingsFormFailuresAreErrorReplies) {
  ASSERT_TRUE(server_.Start(name_));
  dialog_possible_ = false;
  EXPECT_EQ(Ask("APP SETTINGS FORM"), kError + "Failed to create dialog window.");

  // A folder that does not exist: the picture cannot be written and no file is left.
  dialog_possible_ = true;
  TestSource missing(&traffic_, [this] { return MakeDialog(); }, documents_ + "/missing");
  server_.Stop();
  server_.SetOwner(&missing);
  ASSERT_TRUE(server_.Start(name_));
  const std::string reply = Ask("APP SETTINGS FORM");
  ASSERT_EQ(reply.rfind(kError + "Failed to create BMP file: \"" + documents_ + "/missing/", 0), 0u) << reply;
  EXPECT_EQ(reply.back(), '"');
  EXPECT_FALSE(platform::fs::FolderExists(documents_ + "/missing"));
  EXPECT_TRUE(server_.Stop());
}

TEST_F(PipeServerTest, TwoClientsAtOnce) {
  ASSERT_TRUE(server_.Start(name_));
  std::string error;
  pipe_client::PipeClient first;
  pipe_client::PipeClient second;
  ASSERT_TRUE(first.Connect(full_name_, kClientTimeoutMs, &error)) << error;
  ASSERT_TRUE(second.Connect(full_name_, kClientTimeoutMs, &error)) << error;

  // Both connections are open; the later one is served while the earlier one is silent.
  std::string reply;
  ASSERT_TRUE(second.Request(kCommand + "APP NAME", &reply, kClientTimeoutMs, &error)) << error;
  EXPECT_EQ(reply, "Corvane 5.06 for Elavon");
  ASSERT_TRUE(first.Request(kCommand + "APP LOG LOCATION", &reply, kClientTimeoutMs, &error)) << error;
  EXPECT_NE(reply.find("/QUILLON_LOGS"), std::string::npos);

  // Both ask at the same moment; each gets its own reply.
  std::string a;
  std::string b;
  bool ok_a = false;
  bool ok_b = false;
  {
    Async ask_a([&] {
      std::string e;
      ok_a = first.Request(kCommand + "APP CAPTION", &a, kClientTimeoutMs, &e);
    });
    Async ask_b([&] {
      std::string e;
      ok_b = second.Request(kCommand + "APP NAME", &b, kClientTimeoutMs, &e);
    });
    EXPECT_TRUE(ask_a.Finish());
    EXPECT_TRUE(ask_b.Finish());
  }
  EXPECT_TRUE(ok_a && ok_b);
  EXPECT_EQ(a, "  Corvane (Elavon Host)  Req-> 2 Socks-> 1  09:15:00");
  EXPECT_EQ(b, "Corvane 5.06 for Elavon");
  EXPECT_TRUE(server_.Stop());
}

TEST_F(PipeServerTest, StopClosesConnectedClients) {
  ASSERT_TRUE(server_.Start(name_));
  std::string error;
  pipe_client::PipeClient idle;
  pipe_client::PipeClient served;
  ASSERT_TRUE(idle.Connect(full_name_, kClientTimeoutMs, &error)) << error;
  ASSERT_TRUE(served.Connect(full_name_, kClientTimeoutMs, &error)) << error;
  std::string reply;
  ASSERT_TRUE(served.Request(kCommand + "APP NAME", &reply, kClientTimeoutMs, &error)) << error;

  const auto start = Clock::now();
  EXPECT_TRUE(server_.Stop());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(server_.IsRunning());
  for (pipe_client::PipeClient* client : {&idle, &served}) {
    std::string message;
    EXPECT_FALSE(client->Receive(&message, 2000, &error));
    EXPECT_EQ(error, "closed");
  }
  EXPECT_FALSE(pipe_client::SendCommand(full_name_, "APP NAME", &reply, 100, &error));
}

TEST_F(PipeServerTest, StopIsNotHeldUpByARequestWaitingForTheUiThread) {
  ASSERT_TRUE(server_.Start(name_));
  std::string error;
  pipe_client::PipeClient client;
  ASSERT_TRUE(client.Connect(full_name_, kClientTimeoutMs, &error)) << error;
  ASSERT_TRUE(client.Send(kCommand + "APP CAPTION", kClientTimeoutMs, &error)) << error;
  // The server now waits for the UI thread, which does not pump: Stop must not wait for it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  EXPECT_TRUE(server_.Stop());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  // The request was answered as a failure (the empty reply), or not at all; then
  // the connection is closed.
  std::string message;
  if (client.Receive(&message, 2000, &error)) {
    EXPECT_EQ(message, std::string(1, '\0'));
    EXPECT_FALSE(client.Receive(&message, 2000, &error));
  }
  EXPECT_EQ(error, "closed");
  // The abandoned call never runs later.
  platform::window::DispatchPending();
}

TEST_F(PipeServerTest, AnOversizedRequestEndsOnlyItsOwnConnection) {
  ASSERT_TRUE(server_.Start(name_));
  std::string error;
  pipe_client::PipeClient bystander;
  pipe_client::PipeClient sender;
  ASSERT_TRUE(bystander.Connect(full_name_, kClientTimeoutMs, &error)) << error;
  ASSERT_TRUE(sender.Connect(full_name_, kClientTimeoutMs, &error)) << error;

  // Exactly 4096 bytes: the text ends at its NUL, the rest is ignored.
  std::string full = pipe_client::CommandRequest("APP NAME", true);
  full.resize(4096, 'p');
  std::string reply;
  ASSERT_TRUE(sender.Request(full, &reply, kClientTimeoutMs, &error)) << error;
  EXPECT_EQ(reply, "Corvane 5.06 for Elavon");

  // One byte more: the connection ends without a reply.
  full.push_back('p');
  ASSERT_TRUE(sender.Send(full, kClientTimeoutMs, &error)) << error;
  std::string message;
  EXPECT_FALSE(sender.Receive(&message, kClientTimeoutMs, &error));
  EXPECT_EQ(error, "closed");

  ASSERT_TRUE(bystander.Request(kCommand + "APP NAME", &reply, kClientTimeoutMs, &error)) << error;
  EXPECT_EQ(reply, "Corvane 5.06 for Elavon");
  ASSERT_TRUE(pipe_client::SendCommand(full_name_, "APP NAME", &reply, kClientTimeoutMs, &error)) << error;
  EXPECT_TRUE(server_.Stop());
}

TEST_F(PipeServerTest, SecondStartKeepsTheOneServer) {
  ASSERT_TRUE(server_.Start(name_));
  EXPECT_TRUE(server_.Start(name_));
  EXPECT_FALSE(server_.Start(name_ + "_other"));
  EXPECT_TRUE(server_.IsRunning());
  std::string reply;
  std::string error;
  ASSERT_TRUE(pipe_client::SendCommand(full_name_, "APP NAME", &reply, kClientTimeoutMs, &error)) << error;
  EXPECT_TRUE(server_.Stop());
  EXPECT_TRUE(server_.Stop());  // again: the ended thread's result

  // After a stop the same object serves again.
  ASSERT_TRUE(server_.Start(name_));
  ASSERT_TRUE(pipe_client::SendCommand(full_name_, "APP NAME", &reply, kClientTimeoutMs, &error)) << error;
  EXPECT_TRUE(server_.Stop());

  CPipeServerThread never_started;
  EXPECT_FALSE(never_started.Stop());
}

TEST_F(PipeServerTest, ATakenNameIsRetriedEverySecondWithoutSpinning) {
  platform::ipc::PipeListener squatter;
  ASSERT_TRUE(squatter.Listen(full_name_));
  ASSERT_TRUE(server_.Start(name_));

  timespec cpu_before{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_before);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  timespec cpu_after{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_after);
  const double cpu_ms = (cpu_after.tv_sec - cpu_before.tv_sec) * 1e3 + (cpu_after.tv_nsec - cpu_before.tv_nsec) / 1e6;
  EXPECT_LT(cpu_ms, 150.0) << "the server must wait between attempts";

  // Once the name is free the server takes it within about a second.
  squatter.Close();
  std::string reply;
  std::string error;
  ASSERT_TRUE(pipe_client::SendCommand(full_name_, "APP NAME", &reply, 3000, &error)) << error;
  EXPECT_EQ(reply, "Corvane 5.06 for Elavon");
  EXPECT_TRUE(server_.Stop());

  // While waiting for the name, a stop ends the server at once.
  ASSERT_TRUE(squatter.Listen(full_name_));
  ASSERT_TRUE(server_.Start(name_));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  EXPECT_TRUE(server_.Stop());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

// A wait that keeps failing (poll's error, faked here) costs a few calls a second,
// not a spinning thread; a stop ends the pause at once, and once the wait works
// again the server answers.
TEST_F(PipeServerTest, AFailingWaitPausesInsteadOfSpinning) {
  platform::Event stop(platform::Event::Mode::kManualReset, false);
  CPipeServer server(&stop, &name_, true);
  server.SetUserData(source_.get());
  server.SetCallback(&OnPipeCommand);
  std::atomic<int> calls{0};
  std::atomic<bool> failing{true};
  server.SetWaitForTesting([&](std::span<platform::net::WaitHandle> handles, uint32_t ms,
                               platform::net::StopWake* wake) {
    ++calls;
    if (!failing) return platform::net::WaitAnyReadable(handles, ms, wake);
    platform::SetLastError(10022);  // WSAEINVAL, as poll's EINVAL
    return platform::net::WaitResult::kError;
  });
  std::atomic<bool> result{false};
  std::thread run([&] { result = server.Run(); });

  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const int failed_calls = calls.load();
  EXPECT_GE(failed_calls, 2);
  EXPECT_LE(failed_calls, static_cast<int>(1000 / kPipeWaitRetryMs) + 2) << "the wait must pause after a failure";

  // The wait works again: the next round serves a client.
  failing = false;
  std::string reply;
  std::string error;
  EXPECT_TRUE(pipe_client::SendCommand(full_name_, "APP NAME", &reply, 3000, &error)) << error;
  EXPECT_EQ(reply, "Corvane 5.06 for Elavon");

  // A stop during a pause ends the server at once.
  failing = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  stop.Set();
  run.join();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kPipeWaitRetryMs / 2));
  EXPECT_TRUE(result.load());
}

TEST_F(PipeServerTest, PeersOfAnotherUserAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  ASSERT_TRUE(server_.Start(name_));
  std::string reply;
  std::string error;
  ASSERT_TRUE(pipe_client::SendCommand(full_name_, "APP NAME", &reply, kClientTimeoutMs, &error)) << error;

  // The child becomes "nobody" and asks; only system calls after the fork.
  const std::string request = kCommand + "APP NAME";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, full_name_.data(), full_name_.size());
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full_name_.size());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::syscall(SYS_setresgid, 65534, 65534, 65534) != 0 || ::syscall(SYS_setresuid, 65534, 65534, 65534) != 0) {
      ::_exit(10);
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) ::_exit(11);
    timeval tv{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[64];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    ::_exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : (n > 0 ? 12 : 13));
  }
  int status = -1;
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (::waitpid(child, &status, WNOHANG) == 0 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (Clock::now() >= until) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the refused client hung";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10/11: setup failed, 12: answered, 13: time-out";

  // The server goes on serving its own user.
  ASSERT_TRUE(pipe_client::SendCommand(full_name_, "APP NAME", &reply, kClientTimeoutMs, &error)) << error;
  EXPECT_TRUE(server_.Stop());
}

TEST_F(PipeServerTest, DestructorStopsARunningServer) {
  auto server = std::make_unique<CPipeServerThread>();
  server->SetOwner(source_.get());
  server->SetRequestCallback(&OnPipeCommand);
  ASSERT_TRUE(server->Start(name_ + "_d"));
  std::string error;
  pipe_client::PipeClient client;
  ASSERT_TRUE(client.Connect(FullPipeName(name_ + "_d"), kClientTimeoutMs, &error)) << error;
  server.reset();
  std::string message;
  EXPECT_FALSE(client.Receive(&message, 2000, &error));
}

}  // namespace
