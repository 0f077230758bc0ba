#include "host/engine/elavon_interface.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "core/queue/process_events.h"
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
  // When set, every echo gets this answer instead of the host's (the host still
  // takes the echo).
  std::optional<std::string> echo_answer;
  // While set, an exchange waits for it to be cleared (a link that never returns).
  bool hang = false;
  std::condition_variable released;
};

// Whether an Elavon message is an echo (code 197 or 397).
bool IsEcho(const std::string& message) {
  return message.size() > 12 && (message.compare(10, 3, "197") == 0 || message.compare(10, 3, "397") == 0);
}

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
  bool BuildHttpRequest(const CElavonTran& tran) override {
    request_ = tran.m_HostRequest;
    return true;
  }
  bool Transact() override {
    const int now = ++g_->in_flight;
    int seen = g_->max_in_flight.load();
    while (now > seen && !g_->max_in_flight.compare_exchange_weak(seen, now)) {}
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::unique_lock<std::mutex> lock(g_->mu);
    g_->released.wait(lock, [this] { return !g_->hang; });
    --g_->in_flight;
    g_->requests.push_back(request_);
    if (g_->echo_answer && IsEcho(request_)) {
      g_->sim.Handle(request_);
      body_ = *g_->echo_answer;
      return true;
    }
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
  tran.MarkQueued();
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
    c.m_Settings = settings;
    c.m_Queue = &queue_;
    c.m_Endpoints = &endpoints_;
    c.m_MakeLink = [this] { return std::make_unique<SimLink>(&gateway_); };
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
    context.m_Queue = &queue;
    context.m_Endpoints = &endpoints;
    context.m_MakeLink = [&gateway] { return std::make_unique<SimLink>(&gateway); };
    CElavonTran t = Request(c.items, "10.0.0.3:0001", settings);
    ASSERT_TRUE(t.BuildElavonRequest(settings, g_SequenceFile));
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
  busy.MarkInProcess();
  CElavonTran reversal = Request(std::string(kCreditSale) + "1.00", "10.0.0.4:0001", settings);
  reversal.m_TranCode = kCodeReversal;
  CElavonTran cancel;
  cancel.m_RequestKind = kRequestKindCancel;
  cancel.MarkQueued();
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

// A record for which no Elavon request can be built (an ECheck Sale with ECHECK "7"
// has no Elavon code) fails at once with its own code: the gateway is not even
// connected to, and the next record is served as usual.
TEST_F(EngineTest, ARequestThatCannotBeBuiltIsNeverSent) {
  const CParamSettings settings = Settings({{kParmDoNotConnectOnStartup, "Y"}, {kParmECheck, "7"}});
  CElavonInterface engine(Context(settings));
  ASSERT_TRUE(engine.Start());
  CElavonTran check = Request("TranType=ECheck\x1CTranCode=Sale\x1CMICR=Keyed\x1CRoutingNo=011000015\x1C"
                              "AcctNo=12345678\x1CSequenceNo=1001\x1CPurchase=25.00",
                              "10.0.0.7:0001", settings);
  ASSERT_EQ(check.m_TranCode, kCodeECheckSale);
  const auto queued = std::chrono::steady_clock::now();
  ASSERT_TRUE(queue_.Add(check));
  ASSERT_TRUE(WaitFinal(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - queued, std::chrono::milliseconds(500));
  const CElavonTran failed = Get(check.m_Id);
  EXPECT_EQ(failed.m_State, kTranStateFailed);
  EXPECT_EQ(failed.m_ErrorCode, 1001);
  EXPECT_EQ(gateway_.connects.load(), 0);
  EXPECT_TRUE(gateway_.requests.empty());
  CElavonTran copy = failed;
  EXPECT_NE(copy.BuildErrorResponse().find("General Failure."), std::string::npos);

  CElavonTran sale = Request(std::string(kCreditSale) + "10.00", "10.0.0.7:0001", settings);
  ASSERT_TRUE(queue_.Add(sale));
  ASSERT_TRUE(WaitFinal(5000));
  engine.Stop();
  EXPECT_EQ(Get(sale.m_Id).m_State, kTranStateAnsweredIp);
  EXPECT_EQ(gateway_.requests.size(), 1u);
  platform::window::DispatchPending();
  std::lock_guard<std::mutex> lock(traffic_mu_);
  // Traffic only for the sale.
  EXPECT_EQ(std::count(traffic_seen_.begin(), traffic_seen_.end(),
                       std::make_pair(WM_TRAFFIC_IP_REQUEST_SENT, platform::window::WPARAM{0})),
            1);
}

// An approved debit sale whose echo answer has no result (no field 02, no GS, too
// short, empty): the host may have taken the echo, so the approval is reversed, and
// the client's reply is a decline with the unreadable-answer text and nothing of the
// approval.
TEST_F(EngineTest, AnEchoAnswerWithoutResultIsADeclineAndTheApprovalIsReversed) {
  struct Case {
    const char* name;
    const char* amount;
    std::optional<std::string> echo_answer;  // none: the host's own (rule .60)
  } cases[] = {
      {"framed without field 02", "20.60", std::nullopt},
      {"no GS", "21.00", std::string("\x02") + "ECHO ANSWER WITHOUT ANY FIELD AT ALL" + "\x03"},
      {"too short", "22.00", std::string("\x02NAK\x03")},
      {"empty", "23.00", std::string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimGateway gateway;
    gateway.echo_answer = c.echo_answer;
    CTransactionQueue queue;
    CHostEndpoints endpoints;
    const CParamSettings settings = Settings({});
    CRoutingContext context = Context(settings);
    context.m_Queue = &queue;
    context.m_Endpoints = &endpoints;
    context.m_MakeLink = [&gateway] { return std::make_unique<SimLink>(&gateway); };
    CElavonTran t = Request(std::string(kDebitSale) + c.amount, "10.0.0.8:0001", settings);
    ASSERT_TRUE(t.BuildElavonRequest(settings, g_SequenceFile));
    EXPECT_TRUE(RouteRequest(t, context));
    ASSERT_EQ(t.m_State, kTranStateAnsweredIp);
    t.ParseElavonResponse();

    ASSERT_EQ(gateway.requests.size(), 3u);  // sale, echo, reversal
    EXPECT_TRUE(IsEcho(gateway.requests[1]));
    EXPECT_EQ(gateway.requests[2].substr(10, 3), "199");
    const std::vector<elavon_sim::Approval> approvals = gateway.sim.Approvals();
    ASSERT_EQ(approvals.size(), 1u);
    EXPECT_EQ(approvals[0].state, elavon_sim::ApprovalState::kReversed);

    EXPECT_FALSE(t.m_Approved);
    EXPECT_EQ(t.m_TextResponse.rfind("Unable to parse response from Elavon: ", 0), 0u) << t.m_TextResponse;
    const std::string document = t.BuildRStream();
    EXPECT_NE(document.find("<CmdStatus>Declined</CmdStatus>"), std::string::npos) << document;
    EXPECT_EQ(document.find("APPROVAL"), std::string::npos) << document;
    EXPECT_EQ(document.find(approvals[0].auth_code), std::string::npos) << document;
    EXPECT_EQ(document.find("<AuthCode>"), std::string::npos) << document;
    EXPECT_EQ(document.find("<AcqRefData>"), std::string::npos) << document;
    EXPECT_EQ(document.find("<RefNo>"), std::string::npos) << document;
  }
}

// A link that never returns: Stop gives the exchange its 20 s and then goes on; the
// worker is joined later (here by the next Start, once the link has returned).
TEST_F(EngineTest, StopReturnsWhileALinkNeverReturns) {
  const CParamSettings settings = Settings({{kParmDoNotConnectOnStartup, "Y"}});
  CElavonInterface engine(Context(settings));
  ASSERT_TRUE(engine.Start());
  {
    std::lock_guard<std::mutex> lock(gateway_.mu);
    gateway_.hang = true;
  }
  CElavonTran t = Request(std::string(kCreditSale) + "10.00", "10.0.0.9:0001", settings);
  ASSERT_TRUE(queue_.Add(t));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (gateway_.in_flight.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(gateway_.in_flight.load(), 1);
  const auto t0 = std::chrono::steady_clock::now();
  engine.Stop();
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(19500));
  EXPECT_LT(waited, std::chrono::seconds(21));
  EXPECT_EQ(engine.JobsInFlight(), 0);
  EXPECT_EQ(Get(t.m_Id).m_State, kTranStateInProcess);

  {
    std::lock_guard<std::mutex> lock(gateway_.mu);
    gateway_.hang = false;
  }
  gateway_.released.notify_all();
  ASSERT_TRUE(engine.Start());  // joins the worker, which has written its record back
  EXPECT_EQ(Get(t.m_Id).m_State, kTranStateAnsweredIp);
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
  context.m_DialRoundLimitMs = 60000;
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
  // Never taken by the dial worker: taken back unsent, as over IP, so that no
  // worker serves it later and its client hears at once.
  EXPECT_EQ(Get(t.m_Id).m_State, kTranStateHostFailure);
  EXPECT_EQ(Get(t.m_Id).m_HostErrorText, "Interface stopping: request not sent to Elavon");
}

}  // namespace
