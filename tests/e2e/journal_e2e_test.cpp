// Reversals that survive a crash and an outage, with the real server binary and the
// simulated gateway: a sale still at the host when the server is killed is reversed
// after the restart; a reversal that meets a gateway that refuses is tried again
// until the gateway answers. In each, every approval the host gave is delivered to
// its POS or reversed, and the log names the reversal and each try.
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kJournalFile[] = "ReversalJournal.dat";
constexpr char kCardNumber[] = "4111111111111111";

using e2e::Cents;
using e2e::HoldFirstAnswer;
using e2e::WaitFor;

// How often the waits of these tests look again.
constexpr int kPollMs = 100;

// One simulated host behind one gateway, and the server, which can be killed and
// started again on the same working folder and home.
class JournalRig : public e2e::ServerRig {
 public:
  JournalRig() { options().end_wait_ms = 30000; }

  // A sale on pos; its reply document ("" when none came). An approval is noted as
  // delivered.
  std::string Sell(e2e::PosConnection* pos, const std::string& amount, int wait_ms, std::string* failure) {
    std::string document;
    bool encrypted = false;
    if (!pos->Exchange(e2e::CreditSale(amount), pos_client::Cipher::kRc4, wait_ms, &document, &encrypted, failure)) {
      return std::string();
    }
    if (e2e::Element(document, "CmdStatus") == "Approved") {
      std::lock_guard<std::mutex> lock(mu_);
      delivered_cents_.insert(Cents(amount));
    }
    return document;
  }

  void ExpectServing(const std::string& amount) {
    auto pos = Pos();
    ASSERT_TRUE(pos);
    std::string failure;
    const std::string document = Sell(pos.get(), amount, 20000, &failure);
    EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Approved") << failure << "\n" << Log();
  }

  void ExpectNoApprovalLost() {
    std::lock_guard<std::mutex> lock(mu_);
    for (const elavon_sim::Approval& approval : sim().Approvals()) {
      if (approval.state == elavon_sim::ApprovalState::kReversed) continue;
      EXPECT_EQ(delivered_cents_.count(approval.requested_cents), 1u)
          << "approval " << approval.id << " of " << approval.requested_cents << " cents ("
          << elavon_sim::ApprovalStateName(approval.state) << ") neither delivered nor reversed";
    }
  }

  // The approval of amount at the host, or nullptr.
  const elavon_sim::Approval* ApprovalOf(const std::string& amount, std::vector<elavon_sim::Approval>* all) {
    *all = sim().Approvals();
    for (const elavon_sim::Approval& approval : *all) {
      if (approval.requested_cents == Cents(amount)) return &approval;
    }
    return nullptr;
  }
  bool WaitReversed(const std::string& amount, int wait_ms) {
    return WaitFor(wait_ms,
        [&] {
          std::vector<elavon_sim::Approval> all;
          const elavon_sim::Approval* approval = ApprovalOf(amount, &all);
          return approval && approval->state == elavon_sim::ApprovalState::kReversed;
        }, kPollMs);
  }
  bool WaitForLog(const std::string& text, int wait_ms) {
    return WaitFor(wait_ms, [&] { return Log().find(text) != std::string::npos; }, kPollMs);
  }

  std::string JournalText() const {
    std::string text;
    platform::fs::ReadFile(work() + "/" + kJournalFile, &text);
    return text;
  }
  // The journal's entry lines (the header is its first line).
  size_t JournalEntries() const {
    const std::string text = JournalText();
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines > 0 ? lines - 1 : 0;
  }
  unsigned JournalMode() const {
    struct stat st {};
    return ::stat((work() + "/" + kJournalFile).c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
  }

 private:
  std::mutex mu_;
  std::set<int64_t> delivered_cents_;
};

// (a) The server is killed while a sale is at the host (its answer held back for
// 20 s). The sale was approved there and its outcome never recorded: the restarted
// server reverses it before it takes a request, and says so in its log.
TEST(JournalE2ETest, SaleAtTheHostWhenKilledIsReversedAfterTheRestart) {
  JournalRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  HoldFirstAnswer(rig.gateway(), 20000);

  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  std::thread sale([&] {
    std::string failure;
    rig.Sell(pos.get(), "12.34", 30000, &failure);  // cut by the kill
  });
  std::vector<elavon_sim::Approval> all;
  EXPECT_TRUE(WaitFor(10000, [&] { return rig.ApprovalOf("12.34", &all) != nullptr; }, kPollMs)) << rig.Log();
  // The exchange is in the journal, without the card number, for its owner only.
  EXPECT_EQ(rig.JournalEntries(), 1u) << rig.JournalText();
  EXPECT_EQ(rig.JournalText().find(kCardNumber), std::string::npos);
  EXPECT_EQ(rig.JournalMode(), 0600u);

  ASSERT_NO_FATAL_FAILURE(rig.Kill());
  sale.join();
  pos.reset();
  rig.gateway().SetFaults(elavon_sim::GatewayFaults());
  const elavon_sim::Approval* approval = rig.ApprovalOf("12.34", &all);
  ASSERT_TRUE(approval);
  EXPECT_NE(approval->state, elavon_sim::ApprovalState::kReversed);

  ASSERT_NO_FATAL_FAILURE(rig.Start());
  EXPECT_TRUE(rig.WaitReversed("12.34", 20000)) << rig.Log();
  EXPECT_TRUE(rig.WaitForLog("Reversal answered by the host: Acct:XXX...1111 AMT:1234", 10000)) << rig.Log();
  const std::string log = rig.Log();
  EXPECT_NE(log.find("1 owed reversal(s) from an earlier run"), std::string::npos) << log;
  EXPECT_NE(log.find("Reversal owed to the host, try 1: Acct:XXX...1111 AMT:1234"), std::string::npos) << log;
  EXPECT_EQ(rig.JournalEntries(), 0u) << rig.JournalText();
  rig.ExpectServing("12.35");
  // The entry goes just after the reply is sent.
  EXPECT_TRUE(WaitFor(5000, [&] { return rig.JournalEntries() == 0; }, kPollMs)) << "a delivered approval leaves nothing owed";
  rig.ExpectNoApprovalLost();
}

// (b) The sale's answer is cut and the gateway then refuses every connection, so the
// reversal cannot be sent. It stays owed and is tried again after 2 s and then 4 s;
// the outage ends after the first of these tries fails (about 3 s in all), and the
// next try reaches the host.
TEST(JournalE2ETest, ReversalOwedDuringAnOutageReachesTheHostAfterIt) {
  JournalRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  elavon_sim::GatewayFaults cut;
  cut.close_mid_answer = true;
  cut.answer_delay_ms = 1000;  // time to shut the gateway before the answer is cut
  cut.answer_fault_requests = 1;
  rig.gateway().SetFaults(cut);

  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  std::string document, failure;
  std::thread sale([&] { document = rig.Sell(pos.get(), "23.45", 30000, &failure); });
  ASSERT_TRUE(WaitFor(10000, [&] { return rig.gateway().Counters().requests >= 1; }, kPollMs)) << rig.Log();
  elavon_sim::GatewayFaults refuse;
  refuse.refuse = true;
  rig.gateway().SetFaults(refuse);
  const auto outage = Clock::now();
  sale.join();
  // The POS hears of the failure; the approval it never got is owed to the host.
  EXPECT_EQ(e2e::Element(document, "KVRXReturnCode"), "004003") << document << failure;
  EXPECT_TRUE(rig.WaitForLog("Failed to connect Attempting reversal", 10000)) << rig.Log();
  EXPECT_TRUE(rig.WaitForLog("kept in the reversal journal - next try in 2 s", 5000)) << rig.Log();
  EXPECT_TRUE(rig.WaitForLog("Reversal not answered by the host, try 2: [", 10000)) << rig.Log();
  EXPECT_EQ(rig.JournalEntries(), 1u);
  std::vector<elavon_sim::Approval> all;
  const elavon_sim::Approval* approval = rig.ApprovalOf("23.45", &all);
  ASSERT_TRUE(approval);
  EXPECT_NE(approval->state, elavon_sim::ApprovalState::kReversed);

  rig.gateway().SetFaults(elavon_sim::GatewayFaults());  // the host is back
  const auto back = Clock::now();
  EXPECT_LT(back - outage, std::chrono::seconds(15));
  EXPECT_TRUE(rig.WaitReversed("23.45", 15000)) << rig.Log();
  EXPECT_TRUE(rig.WaitForLog("Reversal answered by the host: Acct:XXX...1111 AMT:2345 of 127.0.0.1:", 5000))
      << rig.Log();
  EXPECT_NE(rig.Log().find("next try in 4 s"), std::string::npos) << rig.Log();
  EXPECT_NE(rig.Log().find(", try 3"), std::string::npos) << rig.Log();
  EXPECT_EQ(rig.JournalEntries(), 0u) << rig.JournalText();
  rig.ExpectServing("23.46");
  rig.ExpectNoApprovalLost();
}

}  // namespace
