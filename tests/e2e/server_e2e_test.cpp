// The real server binary against the simulated gateway over TLS on 127.0.0.1, with
// a POS client that speaks the wire protocol.
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "platform/fs/files.h"
#include "platform/fs/profile.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"
#include "tools/pipe-client/pipe_client.h"
#include "tools/rvcs-sim/rvcs_server.h"

namespace {

using pos_client::TStreamItem;

std::vector<TStreamItem> CreditSale(const std::string& amount) {
  return {{"TStream", "Transaction"}, {"ClientID", "0005"},   {"MerchantID", "1234"},
          {"InvoiceNo", "INV1"},      {"RefNo", "REF1"},       {"TranType", "Credit"},
          {"TranCode", "Sale"},       {"Track2", "4111111111111111=2512101"}, {"Purchase", amount}};
}

// Stored merchant parameters, as a download would have left them.
bool StoreParameters(const std::string& home, std::initializer_list<std::pair<int, std::string>> values) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  for (const auto& [number, value] : values) {
    CParamEntry entry;
    params.Lookup(number, &entry);
    params.SetAt(number, CParamEntry(entry.GetFormat(), entry.GetName(), value));
  }
  settings.SetParams(params);
  platform::fs::Profile profile(home + "/profile");
  return profile.WriteString("Settings", "ParamSettings", settings.Serialize());
}

class ServerE2ETest : public ::testing::Test {
 protected:
  // Parameters stored before the start; empty: the configuration service serves them.
  virtual bool StoredParameters() { return true; }
  virtual std::vector<std::string> Args() { return {"/started_as_service"}; }

  void SetUp() override {
    ASSERT_FALSE(scratch_.path().empty());
    home_ = scratch_.path() + "/home";
    work_ = scratch_.path() + "/work";
    ASSERT_TRUE(platform::fs::CreateFolder(home_));
    ASSERT_TRUE(platform::fs::CreateFolder(work_));
    std::string error;
    ASSERT_TRUE(elavon_sim::MakeTestPki(scratch_.path() + "/certs", elavon_sim::TestPkiOptions(), &pki_, &error))
        << error;
    elavon_sim::GatewayServerOptions options;
    options.cert_file = pki_.cert_file;
    options.key_file = pki_.key_file;
    gateway_ = std::make_unique<elavon_sim::GatewayServer>(&sim_, options);
    ASSERT_TRUE(gateway_->Start(&error)) << error;
    int rvcs_port = e2e::FreePort();  // nothing listens: the download fails at once
    if (StoredParameters()) {
      ASSERT_TRUE(StoreParameters(home_, {{kParmMerchantTerminalId, "123456789012"},
                                          {kParmNumberOfLanes, "4"},
                                          {kParmIpConnectTimeout, "5"}}));
    } else {
      rvcs_sim::ServerOptions service;
      service.cert_file = pki_.cert_file;
      service.key_file = pki_.key_file;
      service.values = {{kParmMerchantTerminalId, "555000111222"}, {kParmNumberOfLanes, "4"}};
      rvcs_ = std::make_unique<rvcs_sim::RvcsServer>(service);
      ASSERT_TRUE(rvcs_->Start(&error)) << error;
      rvcs_port = rvcs_->port();
    }
    port_ = e2e::FreePort();
    server_ = std::make_unique<e2e::ServerProcess>(
        KVR_SERVER_BINARY, work_,
        std::map<std::string, std::string>{
            {"KVR_HOME", home_},
            {"KVR_CLIENT_PORT", std::to_string(port_)},
            {"KVR_ELAVON_GATEWAY", "127.0.0.1:" + std::to_string(gateway_->Port())},
            {"KVR_RVCS_PRIMARY", "127.0.0.1:" + std::to_string(rvcs_port)},
            {"KVR_RVCS_SECONDARY", "127.0.0.1:" + std::to_string(rvcs_port)},
            {"SSL_CERT_FILE", pki_.ca_file},
            {"QT_QPA_PLATFORM", "offscreen"}});
    ASSERT_TRUE(server_->Start(port_, 30000, Args())) << server_->LogText();
  }
  void TearDown() override {
    if (server_) server_->Stop(30000);
    if (gateway_) gateway_->Stop();
    if (rvcs_) rvcs_->Stop();
  }

  e2e::ScratchFolder scratch_;
  std::string home_, work_;
  elavon_sim::TestPkiFiles pki_;
  elavon_sim::ElavonHostSim sim_;
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  std::unique_ptr<rvcs_sim::RvcsServer> rvcs_;
  std::unique_ptr<e2e::ServerProcess> server_;
  int port_ = 0;
};

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
  ASSERT_TRUE(pos.Exchange(CreditSale("15.00"), pos_client::Cipher::kRc4, 20000, &document, &encrypted, &failure))
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
    ASSERT_TRUE(pos.Exchange(CreditSale(c.amount), c.cipher, 20000, &document, &encrypted, &failure))
        << failure << "\n" << server_->LogText();
    EXPECT_TRUE(encrypted) << c.amount;
    EXPECT_EQ(e2e::Element(document, "CmdStatus"), c.status) << c.amount << "\n" << document;
  }
  // The card number never reaches the log in clear.
  EXPECT_EQ(server_->LogText().find("4111111111111111"), std::string::npos);
}

TEST_F(ServerE2ETest, ShutsDownCleanlyOnRequest) {
  int status = -1;
  ASSERT_TRUE(server_->Stop(30000, &status));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string log = server_->LogText();
  EXPECT_NE(log.find("Interfaces initialized successfully."), std::string::npos) << log;
  EXPECT_NE(log.find("Interfaces Stopped."), std::string::npos) << log;
  EXPECT_NE(log.find("Server Shutdown . . ."), std::string::npos) << log;
}

}  // namespace

namespace {

TEST_F(ServerE2ETest, ASecondInstanceOfEitherKindIsRefused) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"a second service instance", {"/started_as_service"}},
      {"an interactive instance while the service runs", {}},
  };
  for (const Case& c : cases) {
    e2e::ScratchFolder other_work;
    e2e::ServerProcess second(KVR_SERVER_BINARY, other_work.path(),
                              {{"KVR_HOME", home_}, {"KVR_CLIENT_PORT", std::to_string(e2e::FreePort())},
                               {"QT_QPA_PLATFORM", "offscreen"}});
    // It never serves: the service instance ends by itself, the interactive one
    // waits on its message box until it is told to close.
    EXPECT_FALSE(second.Start(e2e::FreePort(), 3000, c.args)) << c.name;
    int status = -1;
    EXPECT_TRUE(second.Stop(10000, &status)) << c.name;
    // Nothing was touched but the shut-down line.
    const std::string log = second.LogText();
    EXPECT_EQ(log.find("Server Startup"), std::string::npos) << c.name << "\n" << log;
  }
  // The first one still serves.
  e2e::PosConnection pos;
  ASSERT_TRUE(pos.Connect(port_, 5000));
  std::string failure;
  EXPECT_TRUE(pos.Login("", &failure)) << failure;
}

}  // namespace

namespace {

// Started by the launcher: the management pipe answers with the running title and
// the traffic lines.
class LauncherE2ETest : public ServerE2ETest {
 protected:
  std::vector<std::string> Args() override { return {"/started_as_service", "/device_id=[AB12]"}; }
};

TEST_F(LauncherE2ETest, ThePipeShowsTheRunningTitleAndTheTraffic) {
  e2e::PosConnection pos;
  ASSERT_TRUE(pos.Connect(port_, 5000));
  std::string failure;
  ASSERT_TRUE(pos.Login("M", &failure)) << failure;
  std::string document;
  bool encrypted = false;
  ASSERT_TRUE(pos.Exchange(CreditSale("10.00"), pos_client::Cipher::kRc4, 20000, &document, &encrypted, &failure))
      << failure;

  const std::string pipe = pipe_client::PipeNameForPid(static_cast<unsigned long>(server_->pid()));
  std::string reply, error;
  // The title timer runs every 500 ms: the running title replaces OFFLINE.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(pipe_client::SendCommand(pipe, "APP CAPTION", &reply, 5000, &error)) << error;
    if (reply.find("Corvane (Elavon Host)  Req->") != std::string::npos) break;
    usleep(100000);
  }
  EXPECT_NE(reply.find("Corvane (Elavon Host)  Req->"), std::string::npos) << reply;
  ASSERT_TRUE(pipe_client::SendCommand(pipe, "APP VIEW", &reply, 5000, &error)) << error;
  EXPECT_NE(reply.find("Auth Response Received (IP) from Elavon."), std::string::npos) << reply;
  ASSERT_TRUE(pipe_client::SendCommand(pipe, "APP LOG LOCATION", &reply, 5000, &error)) << error;
  EXPECT_NE(reply.find("QUILLON_LOGS"), std::string::npos) << reply;
}

}  // namespace
