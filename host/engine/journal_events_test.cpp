// What the routing tells the reversal journal of one exchange, over a link to the
// simulated host whose connections can be refused and whose answers can be
// withheld, and what the client's delivery then leaves of it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>

#include <gtest/gtest.h>

#include "core/queue/process_events.h"
#include "core/queue/reversal_journal.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/tran_codes.h"
#include "host/engine/routing.h"
#include "host/ip/host_endpoints.h"
#include "host/message/message_test_support.h"
#include "platform/fs/files.h"
#include "tools/elavon-sim/host_sim.h"

namespace {

// Each connection and each exchange takes the next step of its script: a connect
// refused, or an exchange without an answer (the host still handles it).
struct Script {
  elavon_sim::ElavonHostSim sim;
  std::deque<bool> connects;   // false: refused; empty: accepted
  std::deque<bool> answers;    // false: no answer; empty: answered
  std::vector<std::string> sent;
};

class ScriptedLink : public CHostLink {
 public:
  explicit ScriptedLink(Script* s) : s_(s) {}
  bool Connect(const std::string&, int, uint32_t) override { return Next(s_->connects); }
  bool BuildHttpRequest(const CElavonTran& tran) override {
    request_ = tran.m_HostRequest;
    return !request_.empty();
  }
  bool Transact() override {
    s_->sent.push_back(request_);
    const elavon_sim::Reply reply = s_->sim.Handle(request_);
    if (!Next(s_->answers) || reply.outcome == elavon_sim::Outcome::kNoAnswer) return false;
    body_ = reply.bytes;
    return true;
  }
  std::string AnswerBody() const override { return body_; }
  std::string GetLastErrorText() const override { return "scripted failure"; }
  void Disconnect() override {}

 private:
  static bool Next(std::deque<bool>& steps) {
    if (steps.empty()) return true;
    const bool ok = steps.front();
    steps.pop_front();
    return ok;
  }
  Script* s_;
  std::string request_, body_;
};

const char kTStreamBase[] = "TStream=Transaction\x1C" "ClientID=0005\x1C" "MerchantID=1234\x1C" "InvoiceNo=INV1\x1C" "RefNo=REF1\x1C";
const char kCreditSale[] = "TranType=Credit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPurchase=";
const char kDebitSale[] =
    "TranType=Debit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPINBlock=1234567890ABCDEF\x1C"
    "DervdKey=FFFF9876543210ABCDEF\x1CPurchase=";

std::string ElavonCode(const std::string& message) { return message.size() > 13 ? message.substr(10, 3) : ""; }

class RoutingJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_hooks_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // A test before this one may have left a folder it removed: then /tmp is home.
    if (::getcwd(previous_, sizeof previous_) == nullptr) std::snprintf(previous_, sizeof previous_, "/tmp");
    ASSERT_EQ(chdir(tmpl), 0);  // the sequence file lives in the working folder
    platform::fs::CreateFolder("QUILLON_LOGS");
    g_AbortEvent.Reset();
    g_DialLineBusyEvent.Reset();
    CJournalOpenReport report;
    ASSERT_TRUE(journal_.Open(dir_ + "/journal.dat", dir_ + "/journal.key", &report));
  }
  void TearDown() override {
    ASSERT_EQ(chdir(previous_), 0);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // The record routed as the Elavon worker routes it.
  CElavonTran Route(const std::string& items, Script* script) {
    const CParamSettings settings = message_test::Settings({});
    CElavonTran tran;
    tran.m_Request = std::string(kTStreamBase) + items;
    tran.m_RequestKind = kRequestKindEncrypted;
    tran.m_ClientAddress = "10.0.0.1:0001";
    tran.ParseRequest(settings);
    EXPECT_NE(tran.m_TranCode, 0) << items;
    tran.m_RequestKind = kRequestKindEncrypted;
    EXPECT_TRUE(queue_.Add(tran));
    EXPECT_TRUE(tran.BuildElavonRequest(settings, g_SequenceFile));
    tran.MarkInProcess();
    CRoutingContext c;
    c.m_Settings = settings;
    c.m_Queue = &queue_;
    c.m_Endpoints = &endpoints_;
    c.m_Journal = &journal_;
    c.m_MakeLink = [script] { return std::make_unique<ScriptedLink>(script); };
    RouteRequest(tran, c);
    return tran;
  }

  std::string dir_;
  char previous_[4096] = {};
  CReversalJournal journal_;
  CTransactionQueue queue_;
  CHostEndpoints endpoints_;
};

TEST_F(RoutingJournalTest, WhatEachOutcomeLeavesInTheJournal) {
  enum class Left { kNothing, kAnswered, kOwed };
  struct Case {
    const char* name;
    const char* items;
    const char* cents;
    std::deque<bool> connects, answers;
    int state;
    Left left;            // after the route
    Left after_delivery;  // once the client's reply has gone out
    const char* reversal_code;  // of the reversal the entry holds
    int reached_host;     // messages that went out
  } cases[] = {
      {"approved: waits for its delivery", kCreditSale, ".00", {}, {}, kTranStateAnsweredIp, Left::kAnswered,
       Left::kNothing, "099", 1},
      {"declined: waits for its delivery", kCreditSale, ".51", {}, {}, kTranStateAnsweredIp, Left::kAnswered,
       Left::kNothing, "099", 1},
      {"no answer, reversal answered", kCreditSale, ".00", {}, {false}, kTranStateNoHostAnswer, Left::kNothing,
       Left::kNothing, "", 2},
      {"no answer, reversal refused", kCreditSale, ".00", {true, false}, {false}, kTranStateHostFailure, Left::kOwed,
       Left::kOwed, "099", 1},
      {"no answer, reversal unanswered", kCreditSale, ".00", {}, {false, false}, kTranStateHostFailure, Left::kOwed,
       Left::kOwed, "099", 2},
      {"refused at once: nothing sent", kCreditSale, ".00", {false}, {}, kTranStateHostFailure, Left::kNothing,
       Left::kNothing, "", 0},
      {"debit echoed: the echo's reversal", kDebitSale, ".00", {}, {}, kTranStateAnsweredIp, Left::kAnswered,
       Left::kNothing, "199", 2},
      {"debit echo unanswered, reversal answered", kDebitSale, ".00", {}, {true, false}, kTranStateNoHostAnswer,
       Left::kNothing, Left::kNothing, "", 3},
      {"debit echo unanswered, reversal refused", kDebitSale, ".00", {true, false}, {true, false},
       kTranStateHostFailure, Left::kOwed, Left::kOwed, "199", 2},
      // The echo is taken but answered without field 02: the approval is reversed on
      // a copy while the record keeps the echo's answer (a decline for its client).
      {"debit echo without result, reversal answered", kDebitSale, ".60", {}, {}, kTranStateAnsweredIp,
       Left::kNothing, Left::kNothing, "", 3},
      {"debit echo without result, reversal hung up on", kDebitSale, ".60", {}, {true, true, false},
       kTranStateAnsweredIp, Left::kOwed, Left::kOwed, "199", 3},
      {"debit echo without result, reversal refused", kDebitSale, ".60", {true, false}, {},
       kTranStateAnsweredIp, Left::kOwed, Left::kOwed, "199", 2},
  };
  int amount = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script script;
    script.connects = c.connects;
    script.answers = c.answers;
    CElavonTran done = Route(std::string(c.items) + std::to_string(amount++) + c.cents, &script);
    EXPECT_EQ(done.m_State, c.state);
    EXPECT_EQ(static_cast<int>(script.sent.size()), c.reached_host);
    journal_.ExchangeEnded(done);
    const auto check = [&](Left left) {
      CJournalEntry entry;
      const bool found = done.m_JournalKey != 0 && journal_.Find(done.m_JournalKey, &entry);
      EXPECT_EQ(found, left != Left::kNothing);
      if (!found) return;
      EXPECT_EQ(entry.Owed(), left == Left::kOwed);
      EXPECT_EQ(ElavonCode(entry.m_Reversal), c.reversal_code);
      EXPECT_EQ(entry.m_AcctLast4, "1111");
      EXPECT_EQ(entry.m_Tries, left == Left::kOwed ? 1 : 0);
    };
    check(c.left);
    // The client's connection delivers the reply.
    done.ParseElavonResponse();
    done.MarkDelivered(journal_);
    {
      SCOPED_TRACE("after the delivery");
      check(c.after_delivery);
    }
    if (done.m_JournalKey != 0) journal_.ReversalAnswered(done);
    EXPECT_EQ(journal_.Count(), 0u);
  }
}

// A request whose entry cannot be written is never sent; one that needs no entry
// (it cannot be reversed) goes all the same.
TEST_F(RoutingJournalTest, NoRequestLeavesWithoutItsEntry) {
  journal_.Close();
  Script refused;
  const CElavonTran sale = Route(std::string(kCreditSale) + "12.00", &refused);
  EXPECT_EQ(sale.m_State, kTranStateFailed);
  EXPECT_EQ(sale.m_ErrorCode, 1001);
  EXPECT_TRUE(refused.sent.empty());
  Script balance;
  const CElavonTran inquiry =
      Route("TranType=Credit\x1CTranCode=Balance\x1CTrack2=4111111111111111=2512101\x1CPurchase=0.00", &balance);
  EXPECT_EQ(inquiry.m_State, kTranStateAnsweredIp);
  EXPECT_EQ(balance.sent.size(), 1u);
}

TEST_F(RoutingJournalTest, AReversalRecordIsClearedOnlyWhenTheHostAnswersIt) {
  // The reversal of an approval that could not be delivered, as the session queues it.
  Script first;
  CElavonTran approved = Route(std::string(kCreditSale) + "30.00", &first);
  journal_.ExchangeEnded(approved);
  approved.ParseElavonResponse();
  ASSERT_TRUE(approved.m_Approved);
  approved.m_HostResponse.clear();
  approved.m_TranCode = kCodeReversal;
  ASSERT_TRUE(approved.BuildReversalRequest(message_test::Settings({})));
  approved.MarkQueued();
  approved.MarkUndeliverable(journal_, true);
  const uint64_t key = approved.m_JournalKey;
  ASSERT_NE(key, 0u);

  struct Try {
    const char* name;
    std::deque<bool> connects, answers;
    bool cleared;
    int tries;
  } tries[] = {
      {"refused", {false}, {}, false, 1},
      {"unanswered", {}, {false}, false, 2},
      {"answered", {}, {}, true, 2},
  };
  for (const Try& t : tries) {
    SCOPED_TRACE(t.name);
    Script script;
    script.connects = t.connects;
    script.answers = t.answers;
    CElavonTran again = approved;
    again.MarkInProcess();
    CRoutingContext c;
    c.m_Settings = message_test::Settings({});
    c.m_Queue = &queue_;
    c.m_Endpoints = &endpoints_;
    c.m_Journal = &journal_;
    c.m_MakeLink = [&script] { return std::make_unique<ScriptedLink>(&script); };
    RouteRequest(again, c);
    journal_.ExchangeEnded(again);
    EXPECT_EQ(again.m_JournalKey, key);
    CJournalEntry entry;
    EXPECT_EQ(!journal_.Find(key, &entry), t.cleared);
    if (!t.cleared) {
      EXPECT_TRUE(entry.Owed());
      EXPECT_EQ(entry.m_Tries, t.tries);
      // Its client hears 1007; the reversal stays owed all the same.
      again.MarkDelivered(journal_);
      ASSERT_TRUE(journal_.Find(key, &entry));
      EXPECT_TRUE(entry.Owed());
    }
  }
}

}  // namespace
