// Routing over the real TLS link to the simulated gateway on 127.0.0.1.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "core/queue/process_events.h"
#include "core/queue/transaction_queue.h"
#include "host/engine/routing.h"
#include "host/engine/ssl_link.h"
#include "host/ip/elavon_ssl_client.h"
#include "host/ip/host_endpoints.h"
#include "host/ip/sspi_interface.h"
#include "host/seq/sequence_file.h"
#include "platform/fs/files.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"

namespace {

CParamSettings Settings() {
  CParamSettings settings;
  settings.ResetToDefaults();
  return settings;  // VERIFY SSL CERTIFICATE "Y", TRANSPORT METHOD 0
}

const char kCreditItems[] = "TranType=Credit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPurchase=";
const char kDebitItems[] =
    "TranType=Debit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPINBlock=1234567890ABCDEF\x1C"
    "DervdKey=FFFF9876543210ABCDEF\x1CPurchase=";

CElavonTran Sale(const std::string& amount, const CParamSettings& settings, const char* items = kCreditItems) {
  CElavonTran tran;
  tran.m_Request = std::string("TStream=Transaction\x1C" "ClientID=0005\x1C" "MerchantID=1234\x1C" "InvoiceNo=INV1\x1C"
                               "RefNo=REF1\x1C") + items + amount;
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.ParseRequest(settings);
  tran.m_ClientAddress = "127.0.0.1:0042";
  return tran;
}

class TlsRouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_tlsroute_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    previous_folder_ = std::filesystem::current_path();
    ASSERT_EQ(chdir(tmpl), 0);
    platform::fs::CreateFolder("QUILLON_LOGS");
    std::string error;
    ASSERT_TRUE(elavon_sim::MakeTestPki(dir_ + "/certs", elavon_sim::TestPkiOptions(), &pki_, &error)) << error;
    setenv("SSL_CERT_FILE", pki_.ca_file.c_str(), 1);
    ASSERT_TRUE(g_SspiInterface.Initialize());
    elavon_sim::GatewayServerOptions options;
    options.cert_file = pki_.cert_file;
    options.key_file = pki_.key_file;
    gateway_ = std::make_unique<elavon_sim::GatewayServer>(&sim_, options);
    ASSERT_TRUE(gateway_->Start(&error)) << error;
    setenv("KVR_ELAVON_GATEWAY", ("127.0.0.1:" + std::to_string(gateway_->Port())).c_str(), 1);
    endpoints_ = std::make_unique<CHostEndpoints>();
    g_AbortEvent.Reset();
  }
  void TearDown() override {
    gateway_->Stop();
    g_SspiInterface.Release();
    unsetenv("KVR_ELAVON_GATEWAY");
    std::error_code back;  // the working folder the test found comes back first
    std::filesystem::current_path(previous_folder_, back);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  CRoutingContext Context(const CParamSettings& settings) {
    CRoutingContext c;
    c.m_Settings = settings;
    c.m_Queue = &queue_;
    c.m_Endpoints = endpoints_.get();
    c.m_MakeLink = MakeElavonSslLink;
    return c;
  }

  std::string dir_;
  elavon_sim::TestPkiFiles pki_;
  elavon_sim::ElavonHostSim sim_;
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  std::unique_ptr<CHostEndpoints> endpoints_;
  CTransactionQueue queue_;
  std::filesystem::path previous_folder_;
};

TEST_F(TlsRouteTest, AnsweredDeclinedAndUnansweredSales) {
  ScopedElavonAnswerTimeout short_wait(1000);
  const CParamSettings settings = Settings();
  struct Case {
    const char* amount;
    int state;
    bool approved;
    size_t requests;  // what reached the gateway for this sale
  } cases[] = {
      {"10.00", kTranStateAnsweredIp, true, 1},
      {"10.51", kTranStateAnsweredIp, false, 1},
      {"10.54", kTranStateNoHostAnswer, false, 2},  // no answer: reversed on a new connection
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    CElavonTran tran = Sale(c.amount, settings);
    ASSERT_NE(tran.m_TranCode, 0);
    ASSERT_TRUE(tran.BuildElavonRequest(settings, g_SequenceFile)) << c.amount;
    CRoutingContext context = Context(settings);
    RouteRequest(tran, context);
    EXPECT_EQ(tran.m_State, c.state) << c.amount << " " << tran.m_HostErrorText;
    if (tran.m_State == kTranStateAnsweredIp) tran.ParseElavonResponse();
    EXPECT_EQ(tran.m_Approved, c.approved) << c.amount;
    const std::vector<elavon_sim::GatewayRequest> requests = gateway_->Requests();
    EXPECT_EQ(requests.size() - seen, c.requests) << c.amount;
    seen = requests.size();
  }
}

// The interface stops (the abort event is set) while a sale is at the host: what was
// sent runs to its end. A slow answer is taken, with the debit echo after it; a sale
// that gets no answer is reversed on a new connection all the same.
TEST_F(TlsRouteTest, AStopDoesNotCutAnExchangeAtTheHost) {
  ScopedElavonAnswerTimeout short_wait(1500);
  const CParamSettings settings = Settings();
  struct Case {
    const char* name;
    const char* items;
    const char* amount;
    int delay_ms;
    int state;
    bool approved;
    size_t requests;
    elavon_sim::ApprovalState host_state;
  } cases[] = {
      {"credit, slow answer", kCreditItems, "10.00", 600, kTranStateAnsweredIp, true, 1,
       elavon_sim::ApprovalState::kFinal},
      {"debit, slow answer, then its echo", kDebitItems, "11.00", 600, kTranStateAnsweredIp, true, 2,
       elavon_sim::ApprovalState::kFinal},
      {"credit, no answer", kCreditItems, "12.54", 0, kTranStateNoHostAnswer, false, 2,
       elavon_sim::ApprovalState::kReversed},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_AbortEvent.Reset();
    elavon_sim::GatewayFaults faults;
    faults.answer_delay_ms = c.delay_ms;
    faults.answer_fault_requests = c.delay_ms > 0 ? 1 : 0;
    gateway_->SetFaults(faults);
    CElavonTran tran = Sale(c.amount, settings, c.items);
    ASSERT_TRUE(tran.BuildElavonRequest(settings, g_SequenceFile));
    CRoutingContext context = Context(settings);
    std::thread stopper([this, seen] {
      // The abort comes once the request has reached the host.
      for (int i = 0; i < 200 && gateway_->Requests().size() <= seen; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      g_AbortEvent.Set();
    });
    RouteRequest(tran, context);
    stopper.join();
    EXPECT_EQ(tran.m_State, c.state) << tran.m_HostErrorText;
    if (tran.m_State == kTranStateAnsweredIp) tran.ParseElavonResponse();
    EXPECT_EQ(tran.m_Approved, c.approved);
    EXPECT_EQ(gateway_->Requests().size() - seen, c.requests);
    seen = gateway_->Requests().size();
    ASSERT_FALSE(sim_.Approvals().empty());
    EXPECT_EQ(sim_.Approvals().back().state, c.host_state);
  }
  g_AbortEvent.Reset();
}

// Once the abort event is set, a request that has nothing at the host yet is not
// sent: the connection's handshake gives up, and no dial or failover follows.
TEST_F(TlsRouteTest, NothingNewIsSentWhileStopping) {
  const CParamSettings settings = Settings();
  CElavonTran tran = Sale("10.00", settings);
  ASSERT_TRUE(tran.BuildElavonRequest(settings, g_SequenceFile));
  CRoutingContext context = Context(settings);
  g_AbortEvent.Set();
  EXPECT_FALSE(RouteRequest(tran, context));
  g_AbortEvent.Reset();
  EXPECT_EQ(tran.m_State, kTranStateHostFailure);
  EXPECT_FALSE(tran.m_HostErrorText.empty());
  EXPECT_EQ(gateway_->Counters().requests, 0);
  EXPECT_TRUE(sim_.Approvals().empty());
}

TEST_F(TlsRouteTest, ARefusedConnectionFailsAndSwitchesTheEndpoint) {
  elavon_sim::GatewayFaults faults;
  faults.refuse = true;
  gateway_->SetFaults(faults);
  const CParamSettings settings = Settings();
  CElavonTran tran = Sale("10.00", settings);
  ASSERT_TRUE(tran.BuildElavonRequest(settings, g_SequenceFile));
  CRoutingContext context = Context(settings);
  RouteRequest(tran, context);
  EXPECT_EQ(tran.m_State, kTranStateHostFailure);
  EXPECT_FALSE(tran.m_HostErrorText.empty());
  EXPECT_FALSE(endpoints_->IsPrimaryActive());
}

}  // namespace
