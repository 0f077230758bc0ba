// The real server binary with its dial backup on the fake modem (a pseudo-terminal
// given as its COM port), the simulated dial-up host behind the modem, and the
// simulated gateway over TLS on 127.0.0.1 for IP with dial backup.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/fake-modem/fake_modem.h"

namespace {

using fake_modem::ModemCounters;

// The far end drops a call this long after its last message.
constexpr int kIdleDropMs = 1000;

class DialE2ETest : public ::testing::Test {
 protected:
  // Starts the modem (dropping idle calls) and the server with TRANSPORT METHOD
  // method; the gateway's port is reserved but nothing listens there until
  // StartGateway.
  void StartServer(const std::string& method) {
    rig_.options().gateway = false;
    rig_.options().extra_parameters = {{kParmDoNotConnectOnStartup, "Y"}, {kParmTransportMethod, method},
                                       {kParmModemComPort, "3"},          {kParmDialPrefix, "9"},
                                       {kParmAuthorizationPhone, "5551234"}};
    rig_.options().end_wait_ms = 30000;
    fake_modem::ModemScript script;
    script.drop_idle_call_after_ms = kIdleDropMs;
    ASSERT_TRUE(modem_.Start(script));
    ASSERT_NO_FATAL_FAILURE(rig_.Prepare());
    gateway_port_ = e2e::FreePort();
    rig_.env()["KVR_ELAVON_GATEWAY"] = "127.0.0.1:" + std::to_string(gateway_port_);
    rig_.env()["KVR_COM3"] = modem_.DevicePath();
    ASSERT_NO_FATAL_FAILURE(rig_.Start());
    ASSERT_TRUE(pos_.Connect(rig_.port(), 5000));
    std::string failure;
    ASSERT_TRUE(pos_.Login("M", &failure)) << failure;
  }
  void StartGateway() {
    elavon_sim::GatewayServerOptions options;
    options.cert_file = rig_.pki().cert_file;
    options.key_file = rig_.pki().key_file;
    options.port = static_cast<uint16_t>(gateway_port_);
    gateway_ = std::make_unique<elavon_sim::GatewayServer>(&rig_.sim(), options);
    std::string error;
    ASSERT_TRUE(gateway_->Start(&error)) << error;
  }
  void TearDown() override {
    pos_.Close();
    rig_.End();
    if (gateway_) gateway_->Stop();
    modem_.Stop();
  }

  // One credit sale; its CmdStatus ("" when no final reply came).
  std::string Sale(const std::string& amount) {
    std::string document, failure;
    bool encrypted = false;
    if (!pos_.Exchange(e2e::CreditSale(amount), pos_client::Cipher::kRc4, 30000, &document, &encrypted, &failure)) {
      ADD_FAILURE() << failure << "\n" << rig_.server().LogText();
      return "";
    }
    const std::string status = e2e::Element(document, "CmdStatus");
    EXPECT_EQ(status, "Approved") << document << "\n" << rig_.server().LogText();
    return status;
  }
  // Waits until the far end has dropped the call of the sale before.
  bool CallDropped(int drops) {
    return modem_.WaitFor([drops](const ModemCounters& c) { return c.idle_drops == drops; }, kIdleDropMs + 5000);
  }

  // The server takes in what the idle line said on its next pass; until then the line
  // still counts as busy. Bounded by a few passes.
  bool ServerSawTheDrop() {
    for (int i = 0; i < 100; ++i) {
      if (rig_.server().LogText().find("Dial line dropped by the modem while idle") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  e2e::ServerRig rig_;  // its host is behind both the modem and the gateway
  fake_modem::FakeModem modem_{&rig_.sim()};
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  e2e::PosConnection pos_;
  int gateway_port_ = 0;
};

// Dial only: after the host hung up between two sales, the next sale dials a new
// call and is approved; nothing went to the modem while no call was up.
TEST_F(DialE2ETest, DialOnlySaleAfterTheHostHungUpDialsAgain) {
  ASSERT_NO_FATAL_FAILURE(StartServer("2"));
  ASSERT_EQ(Sale("10.00"), "Approved");
  ASSERT_TRUE(CallDropped(1));
  ASSERT_EQ(Sale("11.00"), "Approved");

  const ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.dials, 2);
  EXPECT_EQ(counters.calls, 2);
  EXPECT_EQ(counters.host.requests, 2) << "no reversal";
  EXPECT_EQ(counters.frames_without_call, 0);
  EXPECT_EQ(rig_.sim().GetCounters().sequence_errors, 0);
  EXPECT_NE(rig_.server().LogText().find("Dial line dropped by the modem while idle"), std::string::npos);
}

// IP with dial backup: a sale goes by dial while the gateway is down; the host
// then hangs up. The line is free again, so the next sale tries IP first, and the
// gateway, back by then, answers it.
TEST_F(DialE2ETest, IpWithBackupTriesIpFirstOnceTheDialLineHasDropped) {
  ASSERT_NO_FATAL_FAILURE(StartServer("1"));
  ASSERT_EQ(Sale("10.00"), "Approved");
  ASSERT_EQ(modem_.Counters().host.requests, 1) << "the first sale went by dial";
  ASSERT_TRUE(CallDropped(1));
  ASSERT_TRUE(ServerSawTheDrop());
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  ASSERT_EQ(Sale("11.00"), "Approved");

  EXPECT_EQ(gateway_->Counters().requests, 1);
  const ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.dials, 1);
  EXPECT_EQ(counters.host.requests, 1);
  EXPECT_EQ(counters.frames_without_call, 0);
  EXPECT_EQ(rig_.sim().GetCounters().sequence_errors, 0);
}

}  // namespace
