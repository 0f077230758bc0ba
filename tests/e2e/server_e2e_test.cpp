// The real server binary against the simulated gateway over TLS on 127.0.0.1, with
// a POS client that speaks the wire protocol.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/pipe-client/pipe_client.h"
#include "tools/rvcs-sim/rvcs_server.h"

namespace {

class ServerE2ETest : public ::testing::Test {
 protected:
  // Parameters stored before the start; empty: the configuration service serves them.
  virtual bool StoredParameters() { return true; }
  virtual std::vector<std::string> Args() { return {"/started_as_service"}; }
  // The configuration service's port listens but never answers, so that the start
  // waits in its parameter download until the test closes it (CloseHeldService).
  virtual bool HoldConfigurationService() { return false; }

  void SetUp() override {
    rig_.options().secondary_gateway = false;
    rig_.options().store_parameters = StoredParameters();
    rig_.options().end_wait_ms = 30000;
    ASSERT_NO_FATAL_FAILURE(rig_.Prepare());
    home_ = rig_.home();
    port_ = rig_.port();
    if (HoldConfigurationService()) {
      held_service_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t size = sizeof address;
      ASSERT_EQ(::bind(held_service_, reinterpret_cast<sockaddr*>(&address), size), 0);
      ASSERT_EQ(::listen(held_service_, 4), 0);
      ASSERT_EQ(::getsockname(held_service_, reinterpret_cast<sockaddr*>(&address), &size), 0);
      SetConfigurationServicePort(ntohs(address.sin_port));
    }
    if (!StoredParameters()) {
      rvcs_sim::ServerOptions service;
      service.cert_file = rig_.pki().cert_file;
      service.key_file = rig_.pki().key_file;
      service.values = {{kParmMerchantTerminalId, "555000111222"}, {kParmNumberOfLanes, "4"}};
      rvcs_ = std::make_unique<rvcs_sim::RvcsServer>(service);
      std::string error;
      ASSERT_TRUE(rvcs_->Start(&error)) << error;
      SetConfigurationServicePort(rvcs_->port());
    }
    if (HoldConfigurationService()) {
      // It cannot serve before the download ends: started, not yet listening.
      e2e::ServerProcess& server = rig_.MakeServer();
      EXPECT_FALSE(server.Start(port_, 500, Args()));
      ASSERT_TRUE(server.Running()) << server.Output();
      return;
    }
    ASSERT_NO_FATAL_FAILURE(rig_.Start(30000, Args()));
  }
  void TearDown() override {
    CloseHeldService();
    rig_.End();
    if (rvcs_) rvcs_->Stop();
  }
  void SetConfigurationServicePort(int port) {
    rig_.env()["KVR_RVCS_PRIMARY"] = "127.0.0.1:" + std::to_string(port);
    rig_.env()["KVR_RVCS_SECONDARY"] = "127.0.0.1:" + std::to_string(port);
  }
  // The held connection is reset: the download fails and the start goes on.
  void CloseHeldService() {
    if (held_service_ >= 0) ::close(held_service_);
    held_service_ = -1;
  }

  e2e::ServerRig rig_;
  std::unique_ptr<rvcs_sim::RvcsServer> rvcs_;
  std::string home_;
  int port_ = 0;
  int held_service_ = -1;
};

// The lines of `log` in the order given, each after the one before it; "" when they
// are, else the first one missing.
std::string MissingInOrder(const std::string& log, std::initializer_list<const char*> lines) {
  size_t at = 0;
  for (const char* line : lines) {
    at = log.find(line, at);
    if (at == std::string::npos) return line;
  }
  return "";
}

// A first start with nothing stored: the parameters come from the configuration
// service, and the server then serves with them.
class DownloadedParametersE2ETest : public ServerE2ETest {
 protected:
  bool StoredParameters() override { return false; }
};

TEST_F(DownloadedParametersE2ETest, ParametersFromTheServiceEnableTheServer) {
  e2e::PosConnection pos;
  ASSERT_TRUE(pos.Connect(port_, 5000));
  std::string failure;
  ASSERT_TRUE(pos.Login("M", &failure)) << failure;
  std::string document;
  bool encrypted = false;
  ASSERT_TRUE(pos.Exchange(e2e::CreditSale("15.00"), pos_client::Cipher::kRc4, 20000, &document, &encrypted, &failure))
      << failure;
  EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Approved") << document;
  // The downloaded parameters were stored for the next start.
  std::string profile;
  ASSERT_TRUE(platform::fs::ReadFile(home_ + "/profile", &profile));
  EXPECT_NE(profile.find("555000111222"), std::string::npos) << profile;
}

TEST_F(ServerE2ETest, CreditSalesAreAnsweredEncryptedThroughTheGateway) {
  e2e::PosConnection pos;
  ASSERT_TRUE(pos.Connect(port_, 5000));
  std::string failure;
  ASSERT_TRUE(pos.Login("M", &failure)) << failure;
  struct Case {
    const char* amount;
    pos_client::Cipher cipher;
    const char* status;
  } cases[] = {
      {"10.00", pos_client::Cipher::kRc4, "Approved"},
      {"12.00", pos_client::Cipher::kTripleDes, "Approved"},
      {"10.51", pos_client::Cipher::kRc4, "Declined"},
  };
  for (const Case& c : cases) {
    std::string document;
    bool encrypted = false;
    ASSERT_TRUE(pos.Exchange(e2e::CreditSale(c.amount), c.cipher, 20000, &document, &encrypted, &failure))
        << failure << "\n" << rig_.server().LogText();
    EXPECT_TRUE(encrypted) << c.amount;
    EXPECT_EQ(e2e::Element(document, "CmdStatus"), c.status) << c.amount << "\n" << document;
  }
  // The card number never reaches the log in clear.
  EXPECT_EQ(rig_.server().LogText().find("4111111111111111"), std::string::npos);
}

// Output and exit status of a shell command (bounded by the caller's `timeout`).
int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, n);
  return ::pclose(pipe);
}

// An interactive start needs a display: without one it says so and ends.
TEST(NoDisplayE2ETest, AnInteractiveStartWithoutADisplaySaysSoAndFails) {
  e2e::ScratchFolder work;
  std::string output;
  const int status = RunCommand("cd '" + work.path() + "' && env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY KVR_HOME='" +
                                    work.path() + "' timeout 20 " + KVR_SERVER_BINARY,
                                &output);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(output.find("no display"), std::string::npos) << output;
}

// The README's client: the pos-client program logs in and gets a sale approved.
TEST_F(ServerE2ETest, TheCommandLineClientGetsASaleApproved) {
  std::string output;
  EXPECT_EQ(RunCommand(std::string(KVR_POS_CLIENT_BINARY) + " session --port " + std::to_string(port_) +
                           " --marker M --wait 20 TStream=Transaction ClientID=0005 MerchantID=1234"
                           " InvoiceNo=INV1 RefNo=REF1 TranType=Credit TranCode=Sale"
                           " Track2=4111111111111111=2512101 Purchase=10.00",
                       &output),
            0)
      << output;
  EXPECT_NE(output.find("Login Verified."), std::string::npos) << output;
  EXPECT_NE(output.find("<CmdStatus>Approved</CmdStatus>"), std::string::npos) << output;
}

// SIGTERM closes the window as File, Exit would: the start-up and shut-down lines in
// their order, and a clean exit.
TEST_F(ServerE2ETest, ShutsDownCleanlyOnRequest) {
  int status = -1;
  ASSERT_TRUE(rig_.server().Stop(30000, &status));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string log = rig_.server().LogText();
  EXPECT_EQ(MissingInOrder(log, {"Param Settings:", "Server Startup ZW 5.18", "TCP/IP Server initialized successfully.",
                                 "Interfaces initialized successfully.", "Interfaces Stopped.",
                                 "Server Shutdown . . ."}),
            "")
      << log;
}

}  // namespace

namespace {

constexpr char kOneInstance[] = "Only one instance of KVR Elavon TCPIP may be run at a time!";
constexpr char kServiceRuns[] = "The other instance is running as a Service.";

// A second instance next to the fixture's one: a service instance ends by itself
// without a word; an interactive one shows its message (also on stderr) and waits
// for the user. Neither touches the log but for the shut-down line, neither makes
// a log folder or says a word of one, and the first instance serves on.
void ExpectSecondInstancesRefused(const std::string& home, int port, bool first_is_service) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool ends_by_itself;
    bool names_the_service;
  } cases[] = {
      {"a service instance", {"/started_as_service"}, true, false},
      {"an interactive instance", {}, false, first_is_service},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::ScratchFolder other_work;
    // A runtime folder of its own keeps Qt from remarking on a missing one.
    e2e::ScratchFolder runtime;
    ASSERT_EQ(::chmod(runtime.path().c_str(), 0700), 0);
    e2e::ServerProcess second(KVR_SERVER_BINARY, other_work.path(),
                              {{"KVR_HOME", home}, {"KVR_CLIENT_PORT", std::to_string(e2e::FreePort())},
                               {"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", runtime.path()}});
    EXPECT_FALSE(second.Start(e2e::FreePort(), 3000, c.args));
    EXPECT_EQ(second.Running(), !c.ends_by_itself);
    const std::string output = second.Output();
    if (c.ends_by_itself) {
      EXPECT_EQ(output.find(kOneInstance), std::string::npos) << output;
    } else {
      EXPECT_NE(output.find(kOneInstance), std::string::npos) << output;
      EXPECT_EQ(output.find(kServiceRuns) != std::string::npos, c.names_the_service) << output;
    }
    int status = -1;
    EXPECT_TRUE(second.Stop(10000, &status));
    const std::string log = second.LogText();
    EXPECT_EQ(log.find("Server Startup"), std::string::npos) << log;
    // All it said, through to its end: nothing, or the one message.
    const std::string said = second.Output();
    if (c.ends_by_itself) {
      EXPECT_EQ(said, "");
    } else {
      const std::string message =
          c.names_the_service ? std::string(kOneInstance) + " " + kServiceRuns : std::string(kOneInstance);
      EXPECT_EQ(said, message + "\n");
    }
    EXPECT_FALSE(platform::fs::FolderExists(other_work.path() + "/QUILLON_LOGS"));
  }
  e2e::PosConnection pos;
  ASSERT_TRUE(pos.Connect(port, 5000));
  std::string failure;
  EXPECT_TRUE(pos.Login("", &failure)) << failure;
}

TEST_F(ServerE2ETest, ASecondInstanceOfEitherKindIsRefused) { ExpectSecondInstancesRefused(home_, port_, true); }

// The first instance interactive (on the offscreen platform).
class InteractiveE2ETest : public ServerE2ETest {
 protected:
  std::vector<std::string> Args() override { return {}; }
};

TEST_F(InteractiveE2ETest, ASecondInstanceOfEitherKindIsRefused) { ExpectSecondInstancesRefused(home_, port_, false); }

}  // namespace

namespace {

// Started by the launcher: the management pipe answers with the running title and
// the traffic lines.
class LauncherE2ETest : public ServerE2ETest {
 protected:
  std::vector<std::string> Args() override { return {"/started_as_service", "/device_id=[AB12]"}; }

  std::string Pipe() const { return pipe_client::PipeNameForPid(static_cast<unsigned long>(rig_.server().pid())); }
  // Asks for the title until it holds `text` (for 10 s at most); the last title.
  std::string WaitForTitle(const std::string& text) {
    const std::string pipe = Pipe();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string reply, error;
    while (!(pipe_client::SendCommand(pipe, "APP CAPTION", &reply, 2000, &error) &&
             reply.find(text) != std::string::npos) &&
           std::chrono::steady_clock::now() < deadline) {
      usleep(100000);
    }
    return reply;
  }
};

TEST_F(LauncherE2ETest, ThePipeShowsTheRunningTitleAndTheTraffic) {
  e2e::PosConnection pos;
  ASSERT_TRUE(pos.Connect(port_, 5000));
  std::string failure;
  ASSERT_TRUE(pos.Login("M", &failure)) << failure;
  std::string document;
  bool encrypted = false;
  ASSERT_TRUE(pos.Exchange(e2e::CreditSale("10.00"), pos_client::Cipher::kRc4, 20000, &document, &encrypted, &failure))
      << failure;

  // The title timer runs every 500 ms: the running title replaces OFFLINE.
  const std::string title = WaitForTitle("Corvane (Elavon Host)  Req->");
  EXPECT_NE(title.find("Corvane (Elavon Host)  Req->"), std::string::npos) << title;
  const std::string pipe = Pipe();
  std::string reply, error;
  ASSERT_TRUE(pipe_client::SendCommand(pipe, "APP VIEW", &reply, 5000, &error)) << error;
  EXPECT_NE(reply.find("Auth Response Received (IP) from Elavon."), std::string::npos) << reply;
  ASSERT_TRUE(pipe_client::SendCommand(pipe, "APP LOG LOCATION", &reply, 5000, &error)) << error;
  EXPECT_NE(reply.find("QUILLON_LOGS"), std::string::npos) << reply;
}

// The title while the start waits on the configuration service, and once it runs.
class TitleE2ETest : public LauncherE2ETest {
 protected:
  bool HoldConfigurationService() override { return true; }
};

TEST_F(TitleE2ETest, OfflineUntilTheInterfacesRunThenTheRunningTitle) {
  EXPECT_NE(WaitForTitle("OFFLINE").find("Corvane (Elavon)      OFFLINE       OFFLINE"), std::string::npos);
  CloseHeldService();
  const std::string running = WaitForTitle("Req->");
  EXPECT_NE(running.find("  Corvane (Elavon Host)  Req-> 0 Socks-> "), std::string::npos) << running;
  e2e::PosConnection pos;
  EXPECT_TRUE(pos.Connect(port_, 5000));
}

}  // namespace
