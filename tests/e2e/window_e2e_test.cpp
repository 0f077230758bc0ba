// The real server binary with its window: the questions it asks while it starts and
// stops, on Qt's offscreen platform and on an X server of the test's own (Xvfb, with
// a window manager when one is installed). On the X server the tests look at the
// windows from outside, as a user would: which window is on top after a click,
// whose the question is, the titles, and the progress box while the server stops.
// Every wait is bounded; the X tests are skipped only where no X server starts.
//
// KVR_E2E_SCREENSHOTS=<folder>: the X tests leave PNG pictures of the screen there.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRetryQuestion[] = "Retry?";
constexpr char kUnresolvable[] = "gateway-host-that-does-not-resolve.invalid";
constexpr char kOfflineTitle[] = "Corvane (Elavon)      OFFLINE       OFFLINE";

using e2e::WaitFor;

// Runs a shell command (bounded by `timeout`), its standard output.
std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(("timeout 10 " + command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

bool HaveProgram(const char* name) { return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0; }

// A child process with the given environment additions; killed by the destructor.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Kill(); }

  bool Spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
             posix_spawn_file_actions_t* actions = nullptr) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (env.count(entry.substr(0, entry.find('='))) == 0) environment.push_back(entry);
    }
    for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
    std::vector<char*> envp, argv;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args_copy = args;
    for (std::string& a : args_copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    return posix_spawnp(&pid_, argv[0], actions, nullptr, argv.data(), envp.data()) == 0;
  }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!WaitFor(3000, [this] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; })) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// An X server of the test's own on a display it picks itself (-displayfd), with a
// window manager when one is installed.
class XDisplay {
 public:
  // False when no X server could be started.
  bool Start(std::string* why) {
    if (!HaveProgram("Xvfb")) {
      *why = "Xvfb is not installed (scripts/install-deps.sh installs it)";
      return false;
    }
    if (!HaveProgram("xdotool") || !HaveProgram("xprop")) {
      *why = "xdotool or xprop is not installed (scripts/install-deps.sh installs them)";
      return false;
    }
    int fds[2];
    if (::pipe(fds) != 0) {
      *why = "no pipe";
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24"};
    // Pictures and pixels are taken from the server's own screen memory: xwd's
    // picture of the root leaves Qt's transient windows black although they are
    // drawn on the screen.
    char folder[] = "/tmp/kvr-xvfb-screen-XXXXXX";
    if (::mkdtemp(folder)) {
      screen_folder_ = folder;
      args.insert(args.end(), {"-fbdir", screen_folder_});
    }
    const bool spawned = server_.Spawn(args, {}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string number;
    if (spawned) {
      pollfd p{fds[0], POLLIN, 0};
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
        if (::poll(&p, 1, 200) <= 0) continue;
        char c[16];
        const ssize_t n = ::read(fds[0], c, sizeof c);
        if (n <= 0) break;
        number.append(c, static_cast<size_t>(n));
      }
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      *why = "Xvfb did not start";
      return false;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    if (HaveProgram("openbox")) {
      wm_.Spawn({"openbox"}, {{"DISPLAY", display_}});
      has_wm_ = WaitFor(5000, [this] { return X("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos; });
    }
    return true;
  }

  const std::string& display() const { return display_; }
  bool has_wm() const { return has_wm_; }
  // A command with DISPLAY set; its output.
  std::string X(const std::string& command) const { return Run("env DISPLAY=" + display_ + " " + command); }

  // The visible windows of a process, each with its name.
  std::map<unsigned long, std::string> WindowsOf(pid_t pid) const {
    std::map<unsigned long, std::string> windows;
    std::istringstream ids(X("xdotool search --onlyvisible --pid " + std::to_string(pid)));
    for (unsigned long id; ids >> id;) {
      std::string name = X("xdotool getwindowname " + std::to_string(id));
      while (!name.empty() && name.back() == '\n') name.pop_back();
      windows[id] = name;
    }
    return windows;
  }
  // x, y, width, height of a window.
  bool Geometry(unsigned long id, int* x, int* y, int* w, int* h) const {
    const std::string text = X("xdotool getwindowgeometry --shell " + std::to_string(id));
    auto value = [&text](const char* key) {
      const size_t at = text.find(std::string(key) + "=");
      return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + std::strlen(key) + 1);
    };
    *x = value("X");
    *y = value("Y");
    *w = value("WIDTH");
    *h = value("HEIGHT");
    return *w > 0 && *h > 0;
  }
  // The window's place on the screen as the X server has it (xdotool's position is
  // off by the frame under a reparenting window manager).
  bool ScreenPlace(unsigned long id, int* x, int* y) const {
    const std::string text = X("xwininfo -id " + std::to_string(id));
    auto value = [&text](const char* key) {
      const size_t at = text.find(key);
      return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + std::strlen(key));
    };
    *x = value("Absolute upper-left X:");
    *y = value("Absolute upper-left Y:");
    return *x >= 0 && *y >= 0;
  }
  // The window a window is transient for (0: none).
  unsigned long TransientFor(unsigned long id) const {
    const std::string text = X("xprop -id " + std::to_string(id) + " WM_TRANSIENT_FOR");
    const size_t at = text.find("# ");
    return at == std::string::npos ? 0 : std::strtoul(text.c_str() + at + 2, nullptr, 16);
  }
  // The window's title as the window manager shows it.
  std::string Title(unsigned long id) const {
    std::string text = X("xprop -id " + std::to_string(id) + " -notype _NET_WM_NAME");
    const size_t open = text.find('"');
    const size_t close = text.rfind('"');
    return open == std::string::npos || close <= open ? "" : text.substr(open + 1, close - open - 1);
  }
  // Whether `upper` is stacked above `lower`: the window manager's stacking list,
  // else the X server's order of the root's children.
  bool Above(unsigned long upper, unsigned long lower) const {
    std::vector<unsigned long> order;  // bottom to top
    if (has_wm_) {
      const std::string text = X("xprop -root _NET_CLIENT_LIST_STACKING");
      const size_t at = text.find("# ");
      if (at != std::string::npos) {
        std::istringstream in(text.substr(at + 2));
        for (std::string item; std::getline(in, item, ',');) order.push_back(std::strtoul(item.c_str(), nullptr, 16));
      }
    } else {
      // xwininfo lists the children from the top of the stack down.
      std::istringstream in(X("xwininfo -root -children"));
      for (std::string line; std::getline(in, line);) {
        const size_t at = line.find("0x");
        if (at != std::string::npos && line.find("child") == std::string::npos) {
          order.insert(order.begin(), std::strtoul(line.c_str() + at, nullptr, 16));
        }
      }
    }
    int upper_at = -1, lower_at = -1;
    for (size_t i = 0; i < order.size(); ++i) {
      if (order[i] == upper) upper_at = static_cast<int>(i);
      if (order[i] == lower) lower_at = static_cast<int>(i);
    }
    return upper_at >= 0 && lower_at >= 0 && upper_at > lower_at;
  }
  // Clicks the left button at x, y of a window.
  void Click(unsigned long id, int x, int y) const {
    X("xdotool mousemove --window " + std::to_string(id) + " " + std::to_string(x) + " " + std::to_string(y) +
      " click 1");
  }
  // The screen's bytes in a rectangle (screen coordinates), row after row, as the X
  // server holds them; empty when they cannot be read. The screen memory is an XWD
  // image: a big-endian header, a colour map, then the rows.
  std::string Pixels(int x, int y, int w, int h) const {
    std::string image;
    if (screen_folder_.empty() || !platform::fs::ReadFile(screen_folder_ + "/Xvfb_screen0", &image)) return {};
    auto word = [&image](size_t index) -> uint32_t {
      const size_t at = index * 4;
      if (image.size() < at + 4) return 0;
      const auto* b = reinterpret_cast<const unsigned char*>(image.data() + at);
      return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    };
    const uint32_t header = word(0), width = word(4), height = word(5), bits = word(11), line = word(12),
                   colours = word(19);
    if (bits % 8 != 0 || x < 0 || y < 0 || w <= 0 || h <= 0 || static_cast<uint32_t>(x + w) > width ||
        static_cast<uint32_t>(y + h) > height) {
      return {};
    }
    const size_t bytes = bits / 8;
    const size_t start = size_t{header} + size_t{colours} * 12;
    std::string out;
    for (int row = y; row < y + h; ++row) {
      const size_t at = start + static_cast<size_t>(row) * line + static_cast<size_t>(x) * bytes;
      if (image.size() < at + static_cast<size_t>(w) * bytes) return {};
      out.append(image, at, static_cast<size_t>(w) * bytes);
    }
    return out;
  }
  // A picture of the whole screen, when KVR_E2E_SCREENSHOTS names a folder.
  void Screenshot(const std::string& name) const {
    const char* folder = std::getenv("KVR_E2E_SCREENSHOTS");
    if (!folder || !*folder || screen_folder_.empty()) return;
    Run("convert xwd:" + screen_folder_ + "/Xvfb_screen0 " + std::string(folder) + "/" + name + ".png");
  }

  ~XDisplay() {
    wm_.Kill();
    server_.Kill();
    if (!screen_folder_.empty()) {
      std::error_code error;
      std::filesystem::remove_all(screen_folder_, error);
    }
  }

 private:
  Child server_;
  Child wm_;
  std::string display_;
  std::string screen_folder_;  // the X server's screen memory, when pictures are taken
  bool has_wm_ = false;
};

// The server in a folder of its own with stored parameters; the gateway and the
// configuration service as the case says.
class WindowE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.path().empty());
    home_ = scratch_.path() + "/home";
    work_ = scratch_.path() + "/work";
    ASSERT_TRUE(platform::fs::CreateFolder(home_));
    ASSERT_TRUE(platform::fs::CreateFolder(work_));
    ASSERT_TRUE(e2e::StoreParameters(
        home_, {{kParmMerchantTerminalId, "123456789012"}, {kParmNumberOfLanes, "4"}, {kParmIpConnectTimeout, "5"}}));
    port_ = e2e::FreePort();
  }
  void TearDown() override {
    if (server_) server_->Stop(30000);
    if (gateway_) gateway_->Stop();
  }

  // The simulated gateway, for a start that succeeds.
  void StartGateway() {
    std::string error;
    ASSERT_TRUE(elavon_sim::MakeTestPki(scratch_.path() + "/certs", elavon_sim::TestPkiOptions(), &pki_, &error))
        << error;
    elavon_sim::GatewayServerOptions options;
    options.cert_file = pki_.cert_file;
    options.key_file = pki_.key_file;
    gateway_ = std::make_unique<elavon_sim::GatewayServer>(&sim_, options);
    ASSERT_TRUE(gateway_->Start(&error)) << error;
  }

  // The server, interactive, on the display given ("": Qt's offscreen platform).
  void MakeServer(const std::string& display) {
    const int rvcs_port = e2e::FreePort();  // nothing listens: the download fails at once
    std::map<std::string, std::string> env{
        {"KVR_HOME", home_},
        {"KVR_CLIENT_PORT", std::to_string(port_)},
        {"KVR_ELAVON_GATEWAY",
         gateway_ ? "127.0.0.1:" + std::to_string(gateway_->Port()) : std::string(kUnresolvable) + ":443"},
        {"KVR_RVCS_PRIMARY", "127.0.0.1:" + std::to_string(rvcs_port)},
        {"KVR_RVCS_SECONDARY", "127.0.0.1:" + std::to_string(rvcs_port)}};
    if (gateway_) env["SSL_CERT_FILE"] = pki_.ca_file;
    if (display.empty()) {
      env["QT_QPA_PLATFORM"] = "offscreen";
    } else {
      env["DISPLAY"] = display;
      env["QT_QPA_PLATFORM"] = "xcb";
    }
    server_ = std::make_unique<e2e::ServerProcess>(KVR_SERVER_BINARY, work_, env);
  }

  // Ends the server with SIGTERM within 20 s: a clean exit, the log closed with the
  // shut-down line.
  void ExpectStopsOnSigterm(bool interfaces_stopped) {
    int status = -1;
    const auto t0 = Clock::now();
    ASSERT_TRUE(server_->Stop(20000, &status)) << server_->Output();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string log = server_->LogText();
    const size_t stopped = log.find("Interfaces Stopped.");
    EXPECT_EQ(stopped != std::string::npos, interfaces_stopped) << log;
    const size_t down = log.find("Server Shutdown . . .");
    EXPECT_NE(down, std::string::npos) << log;
    if (interfaces_stopped) {
      EXPECT_LT(stopped, down) << log;
    }
  }

  e2e::ScratchFolder scratch_;
  std::string home_, work_;
  int port_ = 0;
  elavon_sim::TestPkiFiles pki_;
  elavon_sim::ElavonHostSim sim_;
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  std::unique_ptr<e2e::ServerProcess> server_;
};

// SIGTERM while the retry question waits for the user: the question takes its
// default, the start stops what it started, and the process ends with its
// shut-down lines.
TEST_F(WindowE2ETest, SigtermWhileTheRetryQuestionWaitsEndsTheProcess) {
  MakeServer("");
  EXPECT_FALSE(server_->Start(port_, 300, {}));  // the question holds the start
  ASSERT_TRUE(server_->Running()) << server_->Output();
  ASSERT_TRUE(WaitFor(15000, [this] { return server_->Output().find(kRetryQuestion) != std::string::npos; }))
      << server_->Output();
  EXPECT_NE(server_->Output().find(std::string("DNS Lookup of '") + kUnresolvable + "' Failed"), std::string::npos)
      << server_->Output();
  ExpectStopsOnSigterm(true);
}

// On an X server: the retry question belongs to the main window and stays on top of
// it when the main window is clicked; the main window's title is its own text alone.
TEST_F(WindowE2ETest, OnADisplayTheQuestionStaysAboveTheClickedMainWindow) {
  XDisplay x;
  std::string why;
  if (!x.Start(&why)) GTEST_SKIP() << "no X server for the window test: " << why;
  MakeServer(x.display());
  EXPECT_FALSE(server_->Start(port_, 300, {}));
  ASSERT_TRUE(server_->Running()) << server_->Output();
  ASSERT_TRUE(WaitFor(15000, [this] { return server_->Output().find(kRetryQuestion) != std::string::npos; }))
      << server_->Output();

  unsigned long main_window = 0, box = 0;
  ASSERT_TRUE(WaitFor(10000, [&] {
    main_window = box = 0;
    for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
      if (name.find("Corvane") != std::string::npos) main_window = id; else box = id;
    }
    return main_window != 0 && box != 0;
  })) << x.X("xdotool search --pid " + std::to_string(server_->pid()));
  EXPECT_EQ(x.Title(main_window), kOfflineTitle);
  EXPECT_EQ(x.TransientFor(box), main_window);
  int bx, by, bw, bh, mx, my, mw, mh;
  ASSERT_TRUE(x.Geometry(box, &bx, &by, &bw, &bh));
  ASSERT_TRUE(x.Geometry(main_window, &mx, &my, &mw, &mh));
  x.Screenshot("retry-question");

  // A click on the main window, away from the question.
  const int cx = bx - mx > 40 ? 20 : mw - 20;
  x.Click(main_window, cx, mh - 30);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_TRUE(x.Above(box, main_window)) << x.X("xprop -root _NET_CLIENT_LIST_STACKING");
  // The question, made last, also stays above the progress box of the start.
  for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
    if (id != main_window && id != box) {
      EXPECT_TRUE(x.Above(box, id)) << x.X("xprop -root _NET_CLIENT_LIST_STACKING");
    }
  }
  EXPECT_EQ(x.WindowsOf(server_->pid()).count(box), 1u);
  x.Screenshot("retry-question-after-click");
  ExpectStopsOnSigterm(true);
}

// On an X server, with a client connected: File, Exit asks about the connections
// over the main window; Yes stops the server, and the progress box is on the screen
// while the clients drain.
TEST_F(WindowE2ETest, OnADisplayTheCloseQuestionThenTheProgressOfTheStop) {
  XDisplay x;
  std::string why;
  if (!x.Start(&why)) GTEST_SKIP() << "no X server for the window test: " << why;
  StartGateway();
  MakeServer(x.display());
  ASSERT_TRUE(server_->Start(port_, 30000, {})) << server_->Output();
  e2e::PosConnection pos;
  ASSERT_TRUE(pos.Connect(port_, 5000));
  std::string failure;
  ASSERT_TRUE(pos.Login("", &failure)) << failure;

  unsigned long main_window = 0;
  ASSERT_TRUE(WaitFor(10000, [&] {
    for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
      if (name.find("Corvane (Elavon Host)  Req->") != std::string::npos) main_window = id;
    }
    return main_window != 0;
  }));
  const std::string title = x.Title(main_window);
  EXPECT_EQ(title.rfind("  Corvane (Elavon Host)  Req-> 0 Socks-> 1  ", 0), 0u) << title;
  EXPECT_EQ(title.find("TCPIP"), std::string::npos) << title;

  // File, Exit from the keyboard.
  x.X("xdotool windowactivate --sync " + std::to_string(main_window));
  x.X("xdotool key --clearmodifiers alt+f");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  x.X("xdotool key x");
  ASSERT_TRUE(WaitFor(10000, [this] {
    return server_->Output().find("There are Client connections in Process.") != std::string::npos;
  })) << server_->Output();
  unsigned long box = 0;
  ASSERT_TRUE(WaitFor(5000, [&] {
    for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
      if (id != main_window) box = id;
    }
    return box != 0;
  }));
  EXPECT_EQ(x.TransientFor(box), main_window);
  EXPECT_TRUE(x.Above(box, main_window));
  x.Screenshot("close-question");

  // Yes: the stop runs; the clients' drain keeps the progress box up for 5 s.
  int bx, by, bw, bh;
  ASSERT_TRUE(x.Geometry(box, &bx, &by, &bw, &bh));
  x.Click(box, bw * 1395 / 1860, bh - 17);
  bool progress_seen = false;
  WaitFor(4000, [&] {
    for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
      if (id != main_window && x.TransientFor(id) == main_window) progress_seen = true;
    }
    return progress_seen;
  });
  EXPECT_TRUE(progress_seen);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  x.Screenshot("stopping");
  int status = -1;
  ASSERT_TRUE(server_->WaitForExit(20000, &status)) << server_->Output();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string log = server_->LogText();
  EXPECT_NE(log.find("Interfaces Stopped."), std::string::npos) << log;
  EXPECT_NE(log.find("Server Shutdown . . ."), std::string::npos) << log;
}

// On an X server: the Setup dialog shows the client/server password masked, and the
// status bar's pane, which shows a menu item's prompt while the mouse is on it, says
// "Ready" again once the menu has closed (the same pixels as before the hover).
TEST_F(WindowE2ETest, OnADisplaySetupMasksThePasswordAndTheStatusBarSaysReadyAfterAHover) {
  XDisplay x;
  std::string why;
  if (!x.Start(&why)) GTEST_SKIP() << "no X server for the window test: " << why;
  ASSERT_TRUE(e2e::StoreParameters(home_, {{kParmMerchantTerminalId, "123456789012"},
                                           {kParmNumberOfLanes, "4"},
                                           {kParmIpConnectTimeout, "5"},
                                           {kParmUseCorvPassword, "Y"},
                                           {kParmCorvPassword, "Secret99"}}));
  StartGateway();
  MakeServer(x.display());
  ASSERT_TRUE(server_->Start(port_, 30000, {})) << server_->Output();

  unsigned long main_window = 0;
  ASSERT_TRUE(WaitFor(10000, [&] {
    for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
      if (name.find("Corvane (Elavon Host)  Req->") != std::string::npos) main_window = id;
    }
    return main_window != 0;
  }));
  int mx, my, mw, mh;
  ASSERT_TRUE(x.Geometry(main_window, &mx, &my, &mw, &mh));
  ASSERT_TRUE(x.ScreenPlace(main_window, &mx, &my));
  // The message pane: the left half of the status bar, the window's bottom rows.
  auto pane = [&] { return x.Pixels(mx + 4, my + mh - 18, mw / 2, 14); };
  x.X("xdotool windowactivate --sync " + std::to_string(main_window));
  x.X("xdotool mousemove " + std::to_string(mx + mw / 2) + " " + std::to_string(my + mh / 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string ready = pane();
  ASSERT_FALSE(ready.empty());
  x.Screenshot("status-ready");

  // The Setup menu from the keyboard, then the mouse on its item.
  const std::map<unsigned long, std::string> before = x.WindowsOf(server_->pid());
  x.X("xdotool key --clearmodifiers alt+s");
  unsigned long menu = 0;
  ASSERT_TRUE(WaitFor(5000, [&] {
    for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
      if (before.count(id) == 0) menu = id;
    }
    return menu != 0;
  })) << "the Setup menu did not open";
  int ux, uy, uw, uh;
  ASSERT_TRUE(x.Geometry(menu, &ux, &uy, &uw, &uh));
  ASSERT_TRUE(x.ScreenPlace(menu, &ux, &uy));
  x.X("xdotool mousemove " + std::to_string(ux + uw / 2) + " " + std::to_string(uy + 8));
  x.X("xdotool mousemove " + std::to_string(ux + uw / 2) + " " + std::to_string(uy + 12));
  EXPECT_TRUE(WaitFor(3000, [&] { return pane() != ready; })) << "the item's prompt is not shown";
  x.Screenshot("status-menu-hover");

  // The menu closed and the mouse gone: "Ready" again.
  x.X("xdotool key Escape");
  x.X("xdotool mousemove " + std::to_string(mx + mw / 2) + " " + std::to_string(my + mh / 2));
  EXPECT_TRUE(WaitFor(3000, [&] { return pane() == ready; })) << "the pane does not say Ready";
  x.Screenshot("status-after-hover");

  // Setup, Setup Information: the dialog, its password box masked.
  x.X("xdotool key --clearmodifiers alt+s");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  x.X("xdotool key s");
  unsigned long dialog = 0;
  ASSERT_TRUE(WaitFor(10000, [&] {
    for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
      if (name == "Setup Corvane Parameters") dialog = id;
    }
    return dialog != 0;
  })) << "the Setup dialog did not open";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  x.Screenshot("setup-dialog");
  x.X("xdotool key Escape");
  EXPECT_TRUE(WaitFor(5000, [&] { return x.WindowsOf(server_->pid()).count(dialog) == 0; }));
  ExpectStopsOnSigterm(true);
}


// On an X server, with a client connected: File, Exit, No to "There are Client
// connections in Process." brings "There are requests in Process."; No there keeps
// the server running and serving. File, Exit again, No then Yes: the interfaces
// stop before the program closes.
TEST_F(WindowE2ETest, OnADisplayNoThenNoKeepsRunningAndNoThenYesStopsFirst) {
  XDisplay x;
  std::string why;
  if (!x.Start(&why)) GTEST_SKIP() << "no X server for the window test: " << why;
  StartGateway();
  MakeServer(x.display());
  ASSERT_TRUE(server_->Start(port_, 30000, {})) << server_->Output();
  e2e::PosConnection pos;
  ASSERT_TRUE(pos.Connect(port_, 5000));
  std::string failure;
  ASSERT_TRUE(pos.Login("", &failure)) << failure;

  unsigned long main_window = 0;
  ASSERT_TRUE(WaitFor(10000, [&] {
    for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
      if (name.find("Corvane (Elavon Host)  Req->") != std::string::npos) main_window = id;
    }
    return main_window != 0;
  }));
  auto count = [this](const char* text) {
    const std::string out = server_->Output();
    size_t n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  };
  // Waits for the n-th showing of the question; its box window (never the box of
  // the question before it).
  unsigned long last_box = 0;
  auto question = [&](const char* text, size_t n) -> unsigned long {
    if (!WaitFor(10000, [&] { return count(text) >= n; })) return 0;
    unsigned long box = 0;
    WaitFor(5000, [&] {
      for (const auto& [id, name] : x.WindowsOf(server_->pid())) {
        if (id != main_window && id != last_box && x.TransientFor(id) == main_window) box = id;
      }
      return box != 0;
    });
    last_box = box;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return box;
  };
  // Clicks Yes or No of a question box.
  auto answer = [&](unsigned long box, bool yes) {
    int bx, by, bw, bh;
    ASSERT_TRUE(x.Geometry(box, &bx, &by, &bw, &bh));
    x.Click(box, bw * (yes ? 1395 : 1695) / 1860, bh - 17);
  };
  auto file_exit = [&] {
    x.X("xdotool windowactivate --sync " + std::to_string(main_window));
    x.X("xdotool key --clearmodifiers alt+f");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    x.X("xdotool key x");
  };
  constexpr char kClients[] = "There are Client connections in Process.";
  constexpr char kRequests[] = "There are requests in Process.";

  // No, then No: the server keeps running.
  file_exit();
  unsigned long box = question(kClients, 1);
  ASSERT_NE(box, 0u) << server_->Output();
  x.Screenshot("close-question-clients");
  answer(box, false);
  box = question(kRequests, 1);
  ASSERT_NE(box, 0u) << server_->Output();
  x.Screenshot("close-question-requests");
  answer(box, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(server_->Running());
  EXPECT_FALSE(server_->WaitForExit(100));
  EXPECT_EQ(server_->LogText().find("Interfaces Stopped."), std::string::npos) << server_->LogText();
  e2e::PosConnection second;
  EXPECT_TRUE(second.Connect(port_, 5000));
  EXPECT_TRUE(second.Login("", &failure)) << failure;
  second.Close();
  x.Screenshot("close-declined");

  // No, then Yes: the interfaces stop, then the program ends.
  file_exit();
  box = question(kClients, 2);
  ASSERT_NE(box, 0u) << server_->Output();
  answer(box, false);
  box = question(kRequests, 2);
  ASSERT_NE(box, 0u) << server_->Output();
  answer(box, true);
  int status = -1;
  ASSERT_TRUE(server_->WaitForExit(20000, &status)) << server_->Output();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string log = server_->LogText();
  const size_t stopped = log.find("Interfaces Stopped.");
  EXPECT_NE(stopped, std::string::npos) << log;
  EXPECT_LT(stopped, log.find("Server Shutdown . . .")) << log;
}

}  // namespace
