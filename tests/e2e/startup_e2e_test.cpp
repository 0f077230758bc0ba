// The real server binary while it starts: a service that cannot reach the gateway
// keeps trying every 30 s and opens the POS port once the gateway answers, and a
// stop (SIGTERM) during start-up ends the process promptly without the start-up
// steps that were still to come. Every wait is bounded.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/https_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRetryLine[] = "- trying again in 30 seconds";
constexpr char kReverseFailed[] = "Failed to Server Transaction Reversal Thread!";

using e2e::WaitFor;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// A TCP endpoint on 127.0.0.1 that takes connections and never says a word: a
// configuration service that hangs.
class SilentEndpoint {
 public:
  SilentEndpoint() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentEndpoint() {
    for (int fd : accepted_) ::close(fd);
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }
  std::string endpoint() const { return "127.0.0.1:" + std::to_string(port_); }
  // Takes the next connection within ms; true when one came.
  bool Accept(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    const int fd = ::accept(fd_, nullptr, nullptr);
    if (fd < 0) return false;
    accepted_.push_back(fd);
    return true;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> accepted_;
};

// A TCP endpoint on 127.0.0.1 whose accept queue is full: a connect to it gets no
// answer at all, as from a gateway behind a network outage.
class UnansweredEndpoint {
 public:
  UnansweredEndpoint() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 0) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    // Connections that are never accepted, until one gets no answer.
    for (int i = 0; i < 8; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      fillers_.push_back(fd);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) continue;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 200) == 0) {
        port_ = ntohs(address.sin_port);
        return;
      }
    }
  }
  ~UnansweredEndpoint() {
    for (int fd : fillers_) ::close(fd);
    if (fd_ >= 0) ::close(fd_);
  }
  int port() const { return port_; }  // 0: the queue never filled

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// A rig whose gateway is down: nothing listens on its endpoint.
e2e::ServerRigOptions NoGateway() {
  e2e::ServerRigOptions options;
  options.gateway = false;
  return options;
}

// A service started while the gateway is down: each try is logged with its cause,
// and once the gateway answers the next try opens the POS port, in the same process.
TEST(StartupE2ETest, AServiceOpensThePosPortOnceTheGatewayComesUp) {
  e2e::ServerRig rig(NoGateway());
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  const int gateway_port = e2e::FreePort();
  rig.env()["KVR_ELAVON_GATEWAY"] = "127.0.0.1:" + std::to_string(gateway_port);
  e2e::ServerProcess& server = rig.MakeServer();
  EXPECT_FALSE(server.Start(rig.port(), 300));
  ASSERT_TRUE(server.Running()) << server.Output();
  const pid_t pid = server.pid();
  ASSERT_TRUE(WaitFor(15000, [&] { return server.LogText().find(kRetryLine) != std::string::npos; }))
      << server.LogText() << server.Output();
  const std::string first = server.LogText();
  EXPECT_NE(first.find("Failed to Connect to Elavon!"), std::string::npos) << first;
  EXPECT_NE(first.find("connection refused"), std::string::npos) << first;
  EXPECT_EQ(first.find("TCP/IP Server initialized successfully."), std::string::npos) << first;

  // The gateway comes up on the endpoint the server tries.
  elavon_sim::GatewayServerOptions options;
  options.cert_file = rig.pki().cert_file;
  options.key_file = rig.pki().key_file;
  options.port = static_cast<uint16_t>(gateway_port);
  elavon_sim::GatewayServer gateway(&rig.sim(), options);
  std::string error;
  ASSERT_TRUE(gateway.Start(&error)) << error;
  const auto up = Clock::now();

  e2e::PosConnection pos;
  EXPECT_TRUE(pos.Connect(rig.port(), 35000)) << server.LogText();
  EXPECT_LT(Clock::now() - up, std::chrono::seconds(35));
  EXPECT_EQ(server.pid(), pid);
  EXPECT_TRUE(server.Running());
  ASSERT_TRUE(WaitFor(5000, [&] { return server.LogText().find("Interfaces initialized successfully.") != std::string::npos; }));
  const std::string log = server.LogText();
  EXPECT_EQ(Count(log, "Server Startup"), 1u) << log;
  EXPECT_EQ(log.find(kReverseFailed), std::string::npos) << log;
  pos.Close();
  int status = -1;
  EXPECT_TRUE(server.Stop(20000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  gateway.Stop();
}

// A stop while the service waits for its next try ends the wait at once.
TEST(StartupE2ETest, AStopWhileTheServiceWaitsToTryAgainEndsAtOnce) {
  e2e::ServerRig rig(NoGateway());
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  rig.env()["KVR_ELAVON_GATEWAY"] = "127.0.0.1:" + std::to_string(e2e::FreePort());
  e2e::ServerProcess& server = rig.MakeServer();
  EXPECT_FALSE(server.Start(rig.port(), 300));
  ASSERT_TRUE(WaitFor(15000, [&] { return server.LogText().find(kRetryLine) != std::string::npos; }))
      << server.LogText() << server.Output();
  const auto t0 = Clock::now();
  int status = -1;
  ASSERT_TRUE(server.Stop(5000, &status)) << server.LogText();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string log = server.LogText();
  EXPECT_EQ(Count(log, kRetryLine), 1u) << log;
  EXPECT_NE(log.find("Interfaces Stopped."), std::string::npos) << log;
  EXPECT_NE(log.find("Server Shutdown . . ."), std::string::npos) << log;
}

// A stop while the start-up connect waits for a gateway that does not answer (a
// 60 s connect time-out): the connect gives up at once and the process ends.
TEST(StartupE2ETest, AStopDuringTheStartUpConnectEndsItAtOnce) {
  e2e::ServerRigOptions options = NoGateway();
  options.extra_parameters = {{kParmIpConnectTimeout, "60"}};
  e2e::ServerRig rig(options);
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  UnansweredEndpoint gateway;
  ASSERT_GT(gateway.port(), 0) << "the accept queue never filled";
  rig.env()["KVR_ELAVON_GATEWAY"] = "127.0.0.1:" + std::to_string(gateway.port());
  e2e::ServerProcess& server = rig.MakeServer();
  EXPECT_FALSE(server.Start(rig.port(), 300));
  // The download (nothing listens at the service) fails at once; the connect follows.
  ASSERT_TRUE(WaitFor(15000, [&] { return server.LogText().find("Parameter download failed") != std::string::npos; }))
      << server.LogText() << server.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const auto t0 = Clock::now();
  int status = -1;
  ASSERT_TRUE(server.Stop(5000, &status)) << server.LogText();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string log = server.LogText();
  EXPECT_EQ(log.find(kRetryLine), std::string::npos) << log;
  EXPECT_EQ(log.find("TCP/IP Server initialized successfully."), std::string::npos) << log;
  EXPECT_NE(log.find("Interfaces Stopped."), std::string::npos) << log;
  EXPECT_NE(log.find("Server Shutdown . . ."), std::string::npos) << log;
}

// SIGTERM while the log-folder box waits for the user, before the window exists:
// the process ends at once; the parameter download, the window and the interfaces
// never start, and the stored parameters stay as they were.
TEST(StartupE2ETest, ASigtermWhileAnEarlyBoxWaitsEndsStartUpThere) {
  e2e::ServerRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  SilentEndpoint service;
  ASSERT_GT(service.port(), 0);
  rig.env()["KVR_RVCS_PRIMARY"] = service.endpoint();
  rig.env()["KVR_RVCS_SECONDARY"] = service.endpoint();
  // A file where the log folder should be: the folder cannot be made.
  { std::ofstream(rig.work() + "/QUILLON_LOGS") << "not a folder"; }
  const std::string stored = FileText(rig.home() + "/profile");
  ASSERT_FALSE(stored.empty());

  e2e::ServerProcess& server = rig.MakeServer();
  EXPECT_FALSE(server.Start(rig.port(), 300, {}));  // interactive: the box waits
  ASSERT_TRUE(server.Running()) << server.Output();
  ASSERT_TRUE(WaitFor(15000, [&] { return server.Output().find("Unable to create Log Virureday") != std::string::npos; }))
      << server.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto t0 = Clock::now();
  int status = -1;
  ASSERT_TRUE(server.Stop(5000, &status)) << server.Output();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string output = server.Output();
  EXPECT_EQ(output.find(kReverseFailed), std::string::npos) << output;
  EXPECT_FALSE(service.Accept(0)) << "the parameter download ran";
  EXPECT_EQ(FileText(rig.home() + "/profile"), stored);
}

// SIGTERM while the start-up download waits on a configuration service that takes
// the connection and never answers: the download gives up at once and the start
// ends there; nothing after the download runs.
TEST(StartupE2ETest, ASigtermDuringASlowDownloadEndsStartUpPromptly) {
  e2e::ServerRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  SilentEndpoint service;
  ASSERT_GT(service.port(), 0);
  rig.env()["KVR_RVCS_PRIMARY"] = service.endpoint();
  rig.env()["KVR_RVCS_SECONDARY"] = service.endpoint();
  const std::string stored = FileText(rig.home() + "/profile");

  e2e::ServerProcess& server = rig.MakeServer();
  EXPECT_FALSE(server.Start(rig.port(), 300));
  ASSERT_TRUE(service.Accept(15000)) << server.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto t0 = Clock::now();
  int status = -1;
  ASSERT_TRUE(server.Stop(5000, &status)) << server.LogText();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string log = server.LogText();
  EXPECT_EQ(log.find(kReverseFailed), std::string::npos) << log;
  EXPECT_EQ(log.find("Failed to Connect to Elavon!"), std::string::npos) << log;
  EXPECT_EQ(log.find("TCP/IP Server initialized successfully."), std::string::npos) << log;
  EXPECT_NE(log.find("Server Shutdown . . ."), std::string::npos) << log;
  EXPECT_EQ(rig.gateway().Counters().accepted, 0);
  EXPECT_EQ(FileText(rig.home() + "/profile"), stored);
}

}  // namespace
