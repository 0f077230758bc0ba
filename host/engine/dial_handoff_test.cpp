// The dial hand-off of the routing, against a stand-in dial worker that answers
// records handed to it (state 9) from a script of outcomes.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "core/queue/process_events.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/tran_codes.h"
#include "host/engine/routing.h"
#include "host/ip/host_endpoints.h"
#include "host/message/message_test_support.h"
#include "host/seq/sequence_file.h"
#include "platform/fs/files.h"
#include "tools/elavon-sim/host_sim.h"

namespace {

enum class Outcome { kAnswer, kModemError, kFailed, kVanish };

// Plays the dial worker: each record it finds in state 9 gets the next outcome.
class FakeDialWorker {
 public:
  FakeDialWorker(CTransactionQueue* queue, std::deque<Outcome> script) : queue_(queue), script_(std::move(script)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeDialWorker() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::string> sent;  // the messages that went "over the line"
  std::vector<int> codes;         // their internal codes

 private:
  void Run() {
    while (!stop_) {
      CTranList all;
      queue_->Snapshot(all);
      for (CElavonTran& t : all) {
        if (t.m_State != kTranStateHandedToDial || script_.empty()) continue;
        const Outcome next = script_.front();
        script_.pop_front();
        sent.push_back(t.m_HostRequest);
        codes.push_back(t.m_TranCode);
        switch (next) {
          case Outcome::kAnswer:
            t.m_HostResponse = sim_.Answer(t.m_HostRequest);
            t.MarkDialAnswerReceived();
            break;
          case Outcome::kModemError:
            t.m_HostErrorText = "NO CARRIER";
            t.MarkDialModemError();
            break;
          case Outcome::kFailed:
            t.m_HostErrorText = "No response from host";
            t.MarkDialExchangeFailed();
            break;
          case Outcome::kVanish:
            queue_->Remove(t.m_Id);
            continue;
        }
        queue_->Update(t.m_Id, t);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  CTransactionQueue* queue_;
  std::deque<Outcome> script_;
  elavon_sim::ElavonHostSim sim_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

CParamSettings Settings(const std::string& method) {
  return message_test::Settings({{kParmTransportMethod, method}});
}

CElavonTran Request(const std::string& items, const CParamSettings& settings) {
  CElavonTran tran;
  tran.m_Request = "TStream=Transaction\x1C" "ClientID=0005\x1C" "MerchantID=1234\x1C" "InvoiceNo=INV1\x1C"
                   "RefNo=REF1\x1C" + items;
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.ParseRequest(settings);
  tran.m_ClientAddress = "10.0.0.9:0001";
  return tran;
}

const char kCreditSale[] = "TranType=Credit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPurchase=5.00";
const char kDebitSale[] =
    "TranType=Debit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPINBlock=1234567890ABCDEF\x1C"
    "DervdKey=FFFF9876543210ABCDEF\x1CPurchase=5.00";

class DialHandOffTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_dialhand_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    previous_folder_ = std::filesystem::current_path();
    ASSERT_EQ(chdir(tmpl), 0);
    platform::fs::CreateFolder("QUILLON_LOGS");
    g_AbortEvent.Reset();
    g_DialLineBusyEvent.Reset();
  }
  void TearDown() override {
    g_DialLineBusyEvent.Reset();
    std::error_code back;  // the working folder the test found comes back first
    std::filesystem::current_path(previous_folder_, back);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string dir_;
  std::filesystem::path previous_folder_;
};

TEST_F(DialHandOffTest, OutcomesOfTheDialBackup) {
  struct Case {
    const char* name;
    const char* items;
    std::string method;
    bool line_busy;
    std::deque<Outcome> script;
    int state;
    std::vector<int> codes;  // what went over the line, in order
  } cases[] = {
      {"credit answered", kCreditSale, "2", false, {Outcome::kAnswer}, kTranStateAnsweredDial, {1}},
      {"debit answered and echoed", kDebitSale, "2", false, {Outcome::kAnswer, Outcome::kAnswer},
       kTranStateAnsweredDial, {14, 14}},
      {"failed exchange reversed, then failed", kCreditSale, "2", false, {Outcome::kFailed, Outcome::kFailed},
       kTranStateNoHostAnswer, {1, kCodeReversal}},
      {"failed exchange reversed", kCreditSale, "2", false, {Outcome::kFailed, Outcome::kAnswer},
       kTranStateAnsweredDial, {1, kCodeReversal}},
      {"modem error", kCreditSale, "2", false, {Outcome::kModemError}, kTranStateHostFailure, {1}},
      {"busy line: modem error retried once", kCreditSale, "1", true, {Outcome::kModemError, Outcome::kAnswer},
       kTranStateAnsweredDial, {1, 1}},
      {"record gone", kCreditSale, "2", false, {Outcome::kVanish}, kTranStateHostFailure, {1}},
  };
  for (Case& c : cases) {
    CTransactionQueue queue;
    CHostEndpoints endpoints;
    const CParamSettings settings = Settings(c.method);
    CElavonTran tran = Request(c.items, settings);
    ASSERT_NE(tran.m_TranCode, 0) << c.name;
    ASSERT_TRUE(queue.Add(tran));
    ASSERT_TRUE(tran.BuildElavonRequest(settings, g_SequenceFile)) << c.name;
    if (c.line_busy) g_DialLineBusyEvent.Set(); else g_DialLineBusyEvent.Reset();
    FakeDialWorker dial(&queue, c.script);
    CRoutingContext context;
    context.m_Settings = settings;
    context.m_Queue = &queue;
    context.m_Endpoints = &endpoints;
    context.m_DialRoundLimitMs = 5000;
    context.m_MakeLink = []() -> std::unique_ptr<CHostLink> {
      ADD_FAILURE() << "no IP connection expected";
      return nullptr;
    };
    RouteRequest(tran, context);
    EXPECT_EQ(tran.m_State, c.state) << c.name;
    EXPECT_EQ(dial.codes, c.codes) << c.name;
  }
}

TEST_F(DialHandOffTest, ADialBackupThatNeverAnswersEndsTheRound) {
  CTransactionQueue queue;
  CHostEndpoints endpoints;
  const CParamSettings settings = Settings("2");
  CElavonTran tran = Request(kCreditSale, settings);
  ASSERT_TRUE(queue.Add(tran));
  CRoutingContext context;
  context.m_Settings = settings;
  context.m_Queue = &queue;
  context.m_Endpoints = &endpoints;
  context.m_DialRoundLimitMs = 300;
  const auto t0 = std::chrono::steady_clock::now();
  RouteRequest(tran, context);
  EXPECT_EQ(tran.m_State, kTranStateHostFailure);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
}

}  // namespace
