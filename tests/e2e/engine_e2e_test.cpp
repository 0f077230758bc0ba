// The Elavon engine in the real server binary, against the simulated gateway on
// 127.0.0.1 (in this process, so that its ledger can be read): a request that cannot
// be built never leaves the server, an echo answer without a result is a decline and
// its approval is reversed, and SIGTERM while sales are at the host leaves no approval
// there that the POS was not told of.
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kShutdownLine[] = "Server Shutdown . . .";
constexpr char kUnreadablePrefix[] = "Unable to parse response from Elavon: ";

std::vector<pos_client::TStreamItem> DebitSale(const std::string& amount) {
  return {{"TStream", "Transaction"}, {"ClientID", "0005"},         {"MerchantID", "1234"},
          {"InvoiceNo", "INV2"},      {"RefNo", "REF2"},             {"TranType", "Debit"},
          {"TranCode", "Sale"},       {"Track2", e2e::kTestTrack2}, {"PINBlock", "1234567890ABCDEF"},
          {"DervdKey", "FFFF9876543210ABCDEF"}, {"Purchase", amount}};
}

std::vector<pos_client::TStreamItem> ECheckSale(const std::string& amount) {
  return {{"TStream", "Transaction"}, {"ClientID", "0005"},       {"MerchantID", "1234"},
          {"InvoiceNo", "INV3"},      {"RefNo", "REF3"},           {"TranType", "ECheck"},
          {"TranCode", "Sale"},       {"MICR", "Keyed"},           {"RoutingNo", "011000015"},
          {"AcctNo", "80276519"},     {"SequenceNo", "1001"},      {"Purchase", amount}};
}

// The server binary with the simulated gateway as both endpoints; the configuration
// service is down, so the stored parameters are used.
class EngineRig : public e2e::ServerRig {
 public:
  void Start(std::vector<std::pair<int, std::string>> extra = {}) {
    options().extra_parameters = std::move(extra);
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_NO_FATAL_FAILURE(ServerRig::Start());
  }

  // One request on pos; its final reply document ("" when none came).
  std::string Send(e2e::PosConnection* pos, const std::vector<pos_client::TStreamItem>& items, int wait_ms = 20000,
                   std::string* failure = nullptr) {
    std::string document, why;
    bool encrypted = false;
    if (!pos->Exchange(items, pos_client::Cipher::kRc4, wait_ms, &document, &encrypted, &why)) {
      if (failure) *failure = why;
      return std::string();
    }
    return document;
  }

  // SIGTERM: the server ends with status 0, its log ending with the shut-down line.
  void ExpectCleanShutdown() {
    int status = -1;
    ASSERT_NO_FATAL_FAILURE(Stop(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << server().Output();
    const std::string log = server().LogText();
    const std::string tail = std::string(kShutdownLine) + "\n----------\n";
    EXPECT_TRUE(log.size() >= tail.size() && log.compare(log.size() - tail.size(), tail.size(), tail) == 0)
        << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
  }
};

std::string ReturnCode(const std::string& document) { return e2e::Element(document, "KVRXReturnCode"); }

// An ECheck Sale with ECHECK "7" has no Elavon code: the POS gets "General Failure."
// (1001) at once, and not a byte of it reaches the gateway. The next sale is served.
TEST(EngineE2ETest, ARequestThatCannotBeBuiltGetsItsErrorAtOnce) {
  EngineRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Start({{kParmECheck, "7"}}));
  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  const int requests_before = rig.gateway().Counters().requests;
  const auto sent = Clock::now();
  const std::string document = rig.Send(pos.get(), ECheckSale("25.00"));
  EXPECT_LT(Clock::now() - sent, std::chrono::seconds(3)) << "not at once";
  EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Error") << document;
  EXPECT_EQ(ReturnCode(document), "001001") << document;
  EXPECT_EQ(e2e::Element(document, "TextResponse"), "General Failure.") << document;
  EXPECT_EQ(rig.gateway().Counters().requests, requests_before);
  EXPECT_NE(rig.Log().find("has no Elavon code"), std::string::npos) << rig.Log();

  EXPECT_EQ(e2e::Element(rig.Send(pos.get(), e2e::CreditSale("10.00")), "CmdStatus"), "Approved");
  EXPECT_EQ(rig.gateway().Counters().requests, requests_before + 1);
  rig.ExpectCleanShutdown();
}

// The host takes the echo of an approved debit sale but answers it without field 02:
// the POS gets a decline that carries nothing of the approval, and the server
// reverses the approval, which the host's ledger shows.
TEST(EngineE2ETest, AnEchoAnswerWithoutResultIsDeclinedAndReversed) {
  EngineRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  const std::string document = rig.Send(pos.get(), DebitSale("20.60"));
  EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Declined") << document;
  const std::string text = e2e::Element(document, "TextResponse");
  EXPECT_EQ(text.rfind(kUnreadablePrefix, 0), 0u) << document;
  EXPECT_EQ(document.find("APPROVAL"), std::string::npos) << document;
  EXPECT_EQ(e2e::Element(document, "AuthCode"), "") << document;
  EXPECT_EQ(e2e::Element(document, "AcqRefData"), "") << document;
  EXPECT_EQ(e2e::Element(document, "RefNo"), "") << document;

  const std::vector<elavon_sim::Approval> approvals = rig.sim().Approvals();
  ASSERT_EQ(approvals.size(), 1u);
  EXPECT_EQ(approvals[0].state, elavon_sim::ApprovalState::kReversed);
  EXPECT_EQ(document.find(approvals[0].auth_code), std::string::npos) << document;
  const std::vector<elavon_sim::ReceivedRequest> received = rig.sim().Received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[1].reply.action, elavon_sim::Action::kEchoTakenNoResult);
  EXPECT_EQ(received[2].reply.action, elavon_sim::Action::kReversed);
  EXPECT_EQ(received[2].reference, elavon_sim::ReferenceMatch::kMatched);
  EXPECT_NE(rig.Log().find("Approval reversed after an echo answer without a result"), std::string::npos)
      << rig.Log();
  rig.ExpectCleanShutdown();
}

// SIGTERM while sales are at a slow host (every answer 3 s late): the one already
// sent runs to its end (here a debit sale and its echo) and is delivered; those still
// queued never reach the host and get their error. Every approval of the host's
// ledger is delivered to its POS or reversed, and the log says which.
TEST(EngineE2ETest, SigtermWhileSalesAreAtTheHostLosesNoApproval) {
  EngineRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  elavon_sim::GatewayFaults slow;
  slow.answer_delay_ms = 3000;
  rig.gateway().SetFaults(slow);

  struct Sale {
    std::vector<pos_client::TStreamItem> items;
    std::unique_ptr<e2e::PosConnection> pos;
    std::string document, failure;
    std::thread thread;
  };
  std::vector<Sale> sales(3);
  sales[0].items = DebitSale("30.00");
  sales[1].items = e2e::CreditSale("31.00");
  sales[2].items = e2e::CreditSale("32.00");
  for (Sale& sale : sales) {
    sale.pos = rig.Pos();
    ASSERT_TRUE(sale.pos);
  }
  const int requests_before = rig.gateway().Counters().requests;
  auto send = [&rig](Sale* sale) { sale->document = rig.Send(sale->pos.get(), sale->items, 40000, &sale->failure); };
  sales[0].thread = std::thread(send, &sales[0]);
  // The first sale is at the host before the others are queued behind it.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (rig.sim().Received().empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  sales[1].thread = std::thread(send, &sales[1]);
  sales[2].thread = std::thread(send, &sales[2]);
  ASSERT_FALSE(rig.sim().Received().empty()) << "no sale reached the host";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(rig.sim().Received().size(), 1u) << "the sale's answer came before the stop";

  const auto stopped = Clock::now();
  ASSERT_NO_FATAL_FAILURE(rig.ExpectCleanShutdown());
  EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(35));
  for (Sale& sale : sales) sale.thread.join();

  const std::string log = rig.Log();
  const std::vector<elavon_sim::Approval> approvals = rig.sim().Approvals();
  ASSERT_FALSE(approvals.empty()) << "the host approved nothing";
  for (const elavon_sim::Approval& approval : approvals) {
    SCOPED_TRACE("approval " + std::to_string(approval.id) + " of " + std::to_string(approval.requested_cents) +
                 " cents (" + elavon_sim::ApprovalStateName(approval.state) + ")");
    if (approval.state == elavon_sim::ApprovalState::kReversed) {
      EXPECT_NE(log.find("Sending Reversal(IP) Acct:"), std::string::npos) << log;
      continue;
    }
    bool delivered = false;
    for (const Sale& sale : sales) {
      delivered = delivered || (e2e::Element(sale.document, "CmdStatus") == "Approved" &&
                                e2e::Element(sale.document, "AuthCode") == approval.auth_code);
    }
    EXPECT_TRUE(delivered) << "neither delivered nor reversed";
    // The reply built for the POS is in the log, with its authorisation code.
    EXPECT_NE(log.find("<AuthCode>" + approval.auth_code + "</AuthCode>"), std::string::npos) << log;
  }
  // The sale at the host was answered, with its echo, and delivered.
  EXPECT_EQ(e2e::Element(sales[0].document, "CmdStatus"), "Approved") << sales[0].failure << sales[0].document;
  // The queued ones were never sent, and their POS was told.
  for (size_t i = 1; i < sales.size(); ++i) {
    SCOPED_TRACE("queued sale " + std::to_string(i));
    EXPECT_NE(e2e::Element(sales[i].document, "CmdStatus"), "Approved") << sales[i].document;
    EXPECT_TRUE(sales[i].failure.empty()) << sales[i].failure;
  }
  // What reached the host after the stop began: the debit sale and its echo only.
  EXPECT_EQ(rig.gateway().Counters().requests - requests_before, 2);
}

}  // namespace
