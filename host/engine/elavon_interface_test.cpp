#include "host/engine/elavon_interface.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "core/queue/abort_event.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/tran_codes.h"
#include "host/engine/traffic.h"
#include "host/ip/host_endpoints.h"
#include "host/message/message_test_support.h"
#include "host/seq/sequence_file.h"
#include "platform/fs/files.h"
#include "tools/elavon-sim/host_sim.h"

namespace {

// The gateway as far as routing can tell: the simulated host's message rules behind
// a connection that can be refused or go silent.
struct SimGateway {
  std::mutex mu;
  elavon_sim::ElavonHostSim sim;
  bool refuse = false;
  int silent_exchanges = 0;  // the next n exchanges get no answer
  std::atomic<int> connects{0};
  std::atomic<int> in_flight{0};
  std::atomic<int> max_in_flight{0};
  std::vector<std::string> requests;
};

class SimLink : public CHostLink {
 public:
  explicit SimLink(SimGateway* g) : g_(g) {}
  bool Connect(const std::string& host, int, uint32_t) override {
    ++g_->connects;
    std::lock_guard<std::mutex> lock(g_->mu);
    if (g_->refuse) {
      error_ = "Connection refused by " + host;
      return false;
    }
    return true;
  }
  void BuildHttpRequest(const CElavonTran& tran) override { request_ = tran.m_HostRequest; }
  bool Transact() override {
    const int now = ++g_->in_flight;
    int seen = g_->max_in_flight.load();
    while (now > seen && !g_->max_in_flight.compare_exchange_weak(seen, now)) {}
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(g_->mu);
    --g_->in_flight;
    g_->requests.push_back(request_);
    if (g_->silent_exchanges > 0) {
      --g_->silent_exchanges;
      g_->sim.Handle(request_);
      error_ = "timed out";
      return false;
    }
    const elavon_sim::Reply reply = g_->sim.Handle(request_);
    if (reply.outcome == elavon_sim::Outcome::kNoAnswer) {
      error_ = "timed out";
      return false;
    }
    body_ = reply.bytes;
    return true;
  }
  std::string AnswerBody() const override { return body_; }
  std::string GetLastErrorText() const override { return error_; }
  void Disconnect() override {}

 private:
  SimGateway* g_;
  std::string request_, body_, error_;
};

using message_test::Settings;

const char kTStreamBase[] = "TStream=Transaction\x1C" "ClientID=0005\x1C" "MerchantID=1234\x1C" "InvoiceNo=INV1\x1C" "RefNo=REF1\x1C";

CElavonTran Request(const std::string& items, const std::string& client, const CParamSettings& settings) {
  CElavonTran tran;
  tran.m_Request = std::string(kTStreamBase) + items;
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.m_ClientAddress = client;
  tran.ParseRequest(settings);
  EXPECT_NE(tran.m_TranCode, 0) << items << " error " << tran.m_ErrorCode;
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.m_State = kTranStateQueued;
  return tran;
}

const char kCreditSale[] = "TranType=Credit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPurchase=";
const char kDebitSale[] =
    "TranType=Debit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPINBlock=1234567890ABCDEF\x1C"
    "DervdKey=FFFF9876543210ABCDEF\x1CPurchase=";

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_engine_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    previous_folder_ = std::filesystem::current_path();
    ASSERT_EQ(chdir(tmpl), 0);  // the sequence file lives in the working folder
    platform::fs::CreateFolder("QUILLON_LOGS");
    g_AbortEvent.Reset();
    g_DialLineBusyEvent.Reset();
    traffic_ = platform::window::CreateWindowHandle(
        [this](uint32_t m, platform::window::WPARAM w, platform::window::LPARAM) -> platform::window::LRESULT {
          std::lock_guard<std::mutex> lock(traffic_mu_);
          traffic_seen_.emplace_back(m, w);
          return 0;
        });
    g_TrafficListWnd = traffic_;
  }
  void TearDown() override {
    g_TrafficListWnd = 0;
    platform::window::DestroyWindowHandle(traffic_);
    std::error_code back;  // the working folder the test found comes back first
    std::filesystem::current_path(previous_folder_, back);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  CRoutingContext Context(const CParamSettings& settings) {
    CRoutingContext c;
    c.settings = settings;
    c.queue = &queue_;
    c.endpoints = &endpoints_;
    c.make_link = [this] { return std::make_unique<SimLink>(&gateway_); };
    return c;
  }

  // Waits (dispatching the traffic window) until every record of the queue is final.
  bool WaitFinal(uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      platform::window::DispatchPending();
      CTranList all;
      queue_.Snapshot(all);
      bool final = true;
      for (const CElavonTran& t : all) {
        if (t.m_State == kTranStateQueued || t.m_State == kTranStateInProcess || t.m_State == kTranStateHandedToDial)
          final = false;
      }
      if (final) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  CElavonTran Get(int id) {
    CElavonTran t;
    EXPECT_TRUE(queue_.Find(id, t));
    return t;
  }

  std::string dir_;
  CTransactionQueue queue_;
  CHostEndpoints endpoints_;
  SimGateway gateway_;
  platform::window::WindowHandle traffic_ = 0;
  std::mutex traffic_mu_;
  std::vector<std::pair<uint32_t, platform::window::WPARAM>> traffic_seen_;
  std::filesystem::path previous_folder_;
};

TEST_F(EngineTest, QueuedRecordsGoOneAtATimeAndComeBackAnswered) {
  const CParamSettings settings = Settings({});
  CElavonInterface engine(Context(settings));
  ASSERT_TRUE(engine.Start());
  std::vector<int> ids;
  for (const char* amount : {"10.00", "11.00", "12.51"}) {
    CElavonTran t = Request(std::string(kCreditSale) + amount, "10.0.0.1:0001", settings);
    ASSERT_TRUE(queue_.Add(t));
    ids.push_back(t.m_Id);
  }
  ASSERT_TRUE(WaitFinal(10000));
  engine.Stop();
  EXPECT_EQ(gateway_.max_in_flight.load(), 1);
  EXPECT_TRUE(Get(ids[0]).m_Approved);
  EXPECT_TRUE(Get(ids[1]).m_Approved);
  EXPECT_FALSE(Get(ids[2]).m_Approved);  // .51 declines
  for (int id : ids) EXPECT_EQ(Get(id).m_State, kTranStateAnsweredIp);
  // The sequence number of the last answer is stored for the next request.
  std::string messages;
  EXPECT_EQ(g_SequenceFile.Read(&messages), gateway_.sim.ConfirmedSequence());
}

TEST_F(EngineTest, DebitIsMarkedAndEchoedOnTheSameConnection) {
  const CParamSettings settings = Settings({});
  CElavonInterface engine(Context(settings));
  ASSERT_TRUE(engine.Start());
  CElavonTran t = Request(std::string(kDebitSale) + "20.00", "10.0.0.2:0001", settings);
  ASSERT_TRUE(queue_.Add(t));
  ASSERT_TRUE(WaitFinal(10000));
  engine.Stop();
  const CElavonTran done = Get(t.m_Id);
  EXPECT_EQ(done.m_State, kTranStateAnsweredIp);
  EXPECT_TRUE(done.m_Approved);
  ASSERT_EQ(gateway_.requests.size(), 2u);
  EXPECT_EQ(gateway_.requests[0][1], '#');
  EXPECT_EQ(gateway_.connects.load(), 2);  // the start-up test, then one for sale and echo
  EXPECT_EQ(gateway_.sim.GetCounters().echo_mismatches, 0);
  platform::window::DispatchPending();
  std::lock_guard<std::mutex> lock(traffic_mu_);
  const std::vector<std::pair<uint32_t, platform::window::WPARAM>> expected = {
      {WM_TRAFFIC_IP_REQUEST_SENT, 0}, {WM_TRAFFIC_IP_REQUEST_SENT, 20}, {WM_TRAFFIC_IP_RESPONSE_RECEIVED, 0}};
  EXPECT_EQ(traffic_seen_, expected);
}

TEST_F(EngineTest, FailedExchangesAreReversedOrFail) {
  struct Case {
    const char* name;
    std::string items;
    bool refuse;
    int silent;
    int state;
    size_t requests;  // what reached the gateway
  } cases[] = {
      {"sale without answer is reversed", std::string(kCreditSale) + "30.00", false, 1, kTranStateNoHostAnswer, 2},
      {"balance without answer is not reversed",
       "TranType=Credit\x1CTranCode=Balance\x1CTrack2=4111111111111111=2512101\x1CPurchase=0.00", false, 1, kTranStateNoHostAnswer, 1},
      {"refused connection", std::string(kCreditSale) + "30.00", true, 0, kTranStateHostFailure, 0},
      {"reversal without answer too", std::string(kCreditSale) + "30.00", false, 2, kTranStateHostFailure, 2},
  };
  for (const Case& c : cases) {
    SimGateway gateway;
    gateway.refuse = c.refuse;
    gateway.silent_exchanges = c.silent;
    CTransactionQueue queue;
    CHostEndpoints endpoints;
    const CParamSettings settings = Settings({});
    CRoutingContext context = Context(settings);
    context.queue = &queue;
    context.endpoints = &endpoints;
    context.make_link = [&gateway] { return std::make_unique<SimLink>(&gateway); };
    CElavonTran t = Request(c.items, "10.0.0.3:0001", settings);
    t.BuildElavonRequest(settings, g_SequenceFile);
    RouteRequest(t, context);
    EXPECT_EQ(t.m_State, c.state) << c.name;
    EXPECT_EQ(gateway.requests.size(), c.requests) << c.name;
    if (c.refuse) {
      EXPECT_FALSE(endpoints.IsPrimaryActive()) << c.name;  // the next attempt uses the other endpoint
      EXPECT_EQ(t.m_HostErrorText.rfind("Connection refused", 0), 0u) << c.name;
    }
    if (c.requests == 2) {
      EXPECT_NE(gateway.requests[1].substr(0, 20).find("099"), std::string::npos) << c.name;  // a reversal
    }
  }
}

TEST_F(EngineTest, CancelRequestsTouchOnlyTheirClientsQueuedRecords) {
  const CParamSettings settings = Settings({{kParmDoNotConnectOnStartup, "Y"}});
  CElavonInterface engine(Context(settings));
  CElavonTran mine = Request(std::string(kCreditSale) + "1.00", "10.0.0.4:0001", settings);
  CElavonTran other = Request(std::string(kCreditSale) + "1.00", "10.0.0.5:0001", settings);
  CElavonTran busy = Request(std::string(kCreditSale) + "1.00", "10.0.0.4:0001", settings);
  busy.m_State = kTranStateInProcess;
  CElavonTran reversal = Request(std::string(kCreditSale) + "1.00", "10.0.0.4:0001", settings);
  reversal.m_TranCode = kCodeReversal;
  CElavonTran cancel;
  cancel.m_RequestKind = kRequestKindCancel;
  cancel.m_State = kTranStateQueued;
  cancel.m_ClientAddress = "10.0.0.4:0001";
  for (CElavonTran* t : {&mine, &other, &busy, &reversal, &cancel}) ASSERT_TRUE(queue_.Add(*t));
  CTranList snapshot;
  queue_.Snapshot(snapshot);
  engine.ProcessCancellations(snapshot);
  EXPECT_EQ(Get(mine.m_Id).m_State, kTranStateCancelled);
  EXPECT_EQ(Get(other.m_Id).m_State, kTranStateQueued);
  EXPECT_EQ(Get(busy.m_Id).m_State, kTranStateInProcess);
  EXPECT_EQ(Get(reversal.m_Id).m_State, kTranStateQueued);
  EXPECT_EQ(Get(cancel.m_Id).m_State, kTranStateFinished);
  // The same pass's dispatch reads the record again: the cancelled one is not sent.
  engine.DispatchRequests(snapshot);
  EXPECT_EQ(Get(mine.m_Id).m_State, kTranStateCancelled);
  engine.Stop();
}

TEST_F(EngineTest, StartUpConnectionTest) {
  struct Case {
    const char* name;
    CParamSettings settings;
    bool refuse;
    bool started;
  } cases[] = {
      {"unreachable gateway", Settings({}), true, false},
      {"reachable gateway", Settings({}), false, true},
      {"dial only", Settings({{kParmTransportMethod, "2"}}), true, true},
      {"do not connect on start-up", Settings({{kParmDoNotConnectOnStartup, "Y"}}), true, true},
  };
  for (const Case& c : cases) {
    gateway_.refuse = c.refuse;
    CElavonInterface engine(Context(c.settings));
    EXPECT_EQ(engine.Start(), c.started) << c.name;
    if (!c.started) {
      EXPECT_EQ(engine.GetStartFailureText().rfind("Failed to Connect to Elavon!\n", 0), 0u) << c.name;
    }
    engine.Stop();
  }
}

TEST_F(EngineTest, AbortedStartRefusesJobsAndStopIsPrompt) {
  const CParamSettings settings = Settings({{kParmTransportMethod, "2"}});  // dial only: nobody answers
  CRoutingContext context = Context(settings);
  context.dial_round_limit_ms = 60000;
  CElavonInterface engine(context);
  ASSERT_TRUE(engine.Start());
  CElavonTran t = Request(std::string(kCreditSale) + "1.00", "10.0.0.6:0001", settings);
  ASSERT_TRUE(queue_.Add(t));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Get(t.m_Id).m_State != kTranStateHandedToDial && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(Get(t.m_Id).m_State, kTranStateHandedToDial);
  const auto t0 = std::chrono::steady_clock::now();
  engine.Stop();  // the abort ends the dial wait at its next step
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_EQ(engine.JobsInFlight(), 0);
  EXPECT_EQ(Get(t.m_Id).m_State, kTranStateHandedToDial);  // 9 after an abort
}

}  // namespace
