// Every approval the host gives is delivered to its POS or reversed, seen from
// outside: the real server binary against the simulated gateway, or over its dial
// line against the fake modem and the dial host behind it, both in front of one
// simulated host whose ledger is read at the end (InvariantBreaches). The cases are
// the ones off the main roads: a reversal the host hangs up on for a while, a stop
// or a kill -9 with a sale at the host or not yet sent, a journal whose key is gone
// or whose file is damaged. Every sale of a test has an amount of its own.
#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/invariant.h"
#include "tools/fake-modem/fake_modem.h"
#include "tools/peer-support/silent_listener.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kJournalFile[] = "ReversalJournal.dat";
// The far end drops a dial call this long after its last message.
constexpr int kIdleDropMs = 1000;

enum class Route { kIp, kDial };
const char* RouteName(Route route) { return route == Route::kIp ? "IP" : "dial"; }

using e2e::Cents;
using e2e::HoldFirstAnswer;
using e2e::WaitFor;

// How often the waits of these tests look again.
constexpr int kPollMs = 100;

std::vector<pos_client::TStreamItem> DebitSale(const std::string& amount) {
  return {{"TStream", "Transaction"}, {"ClientID", "0005"},         {"MerchantID", "1234"},
          {"InvoiceNo", "INV2"},      {"RefNo", "REF2"},             {"TranType", "Debit"},
          {"TranCode", "Sale"},       {"Track2", e2e::kTestTrack2}, {"PINBlock", "1234567890ABCDEF"},
          {"DervdKey", "FFFF9876543210ABCDEF"}, {"Purchase", amount}};
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// A port that takes TCP connections into the backlog and never reads a byte nor
// answers one: a TLS handshake with it never ends, so no request goes out.
using peer_support::SilentListener;

// One simulated host behind the gateway and behind the fake modem, and the server
// on the route given (dial only for kDial), which can be stopped, killed and started
// again on the same folders. The sales made are kept for the invariant.
class MoneyRig : public e2e::ServerRig {
 public:
  explicit MoneyRig(Route route) : route_(route), modem_(&sim()) { options().end_wait_ms = 30000; }
  ~MoneyRig() override {
    End();
    modem_.Stop();
  }

  // Starts the server (and the modem for kDial). It does not connect to the host at
  // start: a sale is the first thing to reach it.
  void Begin() {
    options().extra_parameters = {{kParmDoNotConnectOnStartup, "Y"}};
    if (route_ == Route::kDial) {
      options().extra_parameters.insert(options().extra_parameters.end(), {{kParmTransportMethod, "2"},
                                    {kParmModemComPort, "3"},
                                    {kParmDialPrefix, "9"},
                                    {kParmAuthorizationPhone, "5551234"}});
      ASSERT_TRUE(modem_.Start(ModemScript()));
    }
    ASSERT_NO_FATAL_FAILURE(Prepare());
    if (route_ == Route::kDial) env()["KVR_COM3"] = modem_.DevicePath();
    ASSERT_NO_FATAL_FAILURE(Start());
  }

  // The modem's script as every test starts it: the far end drops idle calls.
  static fake_modem::ModemScript ModemScript() {
    fake_modem::ModemScript script;
    script.drop_idle_call_after_ms = kIdleDropMs;
    return script;
  }

  // After a kill -9 on the dial route: the modem on a new pseudo-terminal, which the
  // next start opens. The killed server could not undo the exclusive mode it set on
  // its line, and a pty keeps that mode while its master side stays open (a real
  // port loses it with its last close), so the old line cannot be opened again.
  void NewModemLine() {
    ASSERT_TRUE(modem_.Start(ModemScript()));
    env()["KVR_COM3"] = modem_.DevicePath();
  }

  // Reversals the host hangs up on (on) or takes again (off), on the rig's route.
  void HangUpOnReversals(bool on) {
    if (route_ == Route::kIp) {
      elavon_sim::GatewayFaults faults;
      faults.hang_up_on_reversals = on;
      gateway().SetFaults(faults);
    } else {
      fake_modem::ModemScript script = ModemScript();
      script.host.hang_up_on_reversal = on;
      modem_.SetScript(script);
    }
  }
  int ReversalsHungUp() {
    return route_ == Route::kIp ? gateway().Counters().reversals_hung_up : modem_.Counters().host.reversals_hung_up;
  }

  // One sale on pos; its reply document ("" when none came). Noted for the invariant
  // with what the POS was told.
  std::string Sell(e2e::PosConnection* pos, const std::vector<pos_client::TStreamItem>& items,
                   const std::string& amount, const std::string& description, int wait_ms,
                   std::string* failure = nullptr) {
    std::string document, why;
    bool encrypted = false;
    if (!pos->Exchange(items, pos_client::Cipher::kRc4, wait_ms, &document, &encrypted, &why)) document.clear();
    if (failure) *failure = why;
    elavon_sim::PosSale sale;
    sale.cents = Cents(amount);
    sale.told_approved = e2e::Element(document, "CmdStatus") == "Approved";
    sale.description = description;
    std::lock_guard<std::mutex> lock(mu_);
    sales_.push_back(sale);
    return document;
  }

  // A credit sale of amount on a new POS connection is approved.
  void ExpectServing(const std::string& amount) {
    auto pos = Pos();
    ASSERT_TRUE(pos);
    std::string failure;
    const std::string document = Sell(pos.get(), e2e::CreditSale(amount), amount, "served " + amount, 40000, &failure);
    EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Approved") << failure << "\n" << document << "\n" << Log();
  }

  std::vector<std::string> Breaches() {
    std::lock_guard<std::mutex> lock(mu_);
    return elavon_sim::InvariantBreaches(sim(), sales_);
  }
  void ExpectInvariant() {
    const std::vector<std::string> breaches = Breaches();
    EXPECT_TRUE(breaches.empty()) << Joined(breaches) << Log();
  }

  // The host's approval of amount (its state), or nullptr.
  bool ApprovalState(const std::string& amount, elavon_sim::ApprovalState* state) {
    for (const elavon_sim::Approval& approval : sim().Approvals()) {
      if (approval.requested_cents == Cents(amount)) {
        *state = approval.state;
        return true;
      }
    }
    return false;
  }
  bool WaitReversed(const std::string& amount, int wait_ms) {
    return WaitFor(wait_ms,
        [&] {
          elavon_sim::ApprovalState state{};
          return ApprovalState(amount, &state) && state == elavon_sim::ApprovalState::kReversed;
        }, kPollMs);
  }
  bool WaitForLog(const std::string& text, int wait_ms) {
    return WaitFor(wait_ms, [&] { return Log().find(text) != std::string::npos; }, kPollMs);
  }

  std::string JournalPath() const { return work() + "/" + kJournalFile; }
  std::string JournalText() const {
    std::string text;
    platform::fs::ReadFile(JournalPath(), &text);
    return text;
  }
  // The journal's entry lines (the header is its first line).
  size_t JournalEntries() const {
    size_t lines = 0;
    for (char c : JournalText()) lines += c == '\n';
    return lines > 0 ? lines - 1 : 0;
  }
  // The working folder's files whose names start with prefix.
  std::vector<std::string> WorkFiles(const std::string& prefix) const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(work(), error)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    return names;
  }

  Route route() const { return route_; }
  fake_modem::FakeModem& modem() { return modem_; }

 private:
  const Route route_;
  fake_modem::FakeModem modem_;
  std::mutex mu_;
  std::vector<elavon_sim::PosSale> sales_;
};

// The log names an owed reversal of cents and each try at it: at least one try
// that met the outage and the one the host answered.
void ExpectTriesLogged(const std::string& log, const std::string& cents) {
  const std::string amount = "AMT:" + cents;
  EXPECT_NE(log.find("Reversal owed to the host for 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find(amount + " kept in the reversal journal - next try in 2 s"), std::string::npos) << log;
  int tries = 0, failed = 0;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(amount) == std::string::npos) continue;
    tries += line.find("Reversal owed to the host, try ") != std::string::npos;
    failed += line.find("Reversal not answered by the host, try ") != std::string::npos;
  }
  EXPECT_GE(tries, 2) << log;
  EXPECT_GE(failed, 1) << log;
  EXPECT_NE(log.find("Reversal answered by the host: Acct:XXX...1111 " + amount), std::string::npos) << log;
}

// One of the two outside cases: a debit sale whose echo the host takes but answers
// without field 02 (.60), while the host hangs up on every reversal for 10 s (none
// when outage is false). The POS gets Declined, the reversal stays owed through the
// outage (and, with restart, through a SIGTERM and a start), and once the host
// takes reversals again the approval is reversed within a minute.
struct EchoRow {
  Route route;
  bool outage;
  bool restart;
  const char* amount;
  const char* served;  // the sale that shows the server serving afterwards
};

void RunEchoRow(const EchoRow& row) {
  const std::string name = std::string(RouteName(row.route)) + (row.outage ? "" : " without an outage") +
                           (row.restart ? " with a restart" : "");
  SCOPED_TRACE(name);
  MoneyRig rig(row.route);
  ASSERT_NO_FATAL_FAILURE(rig.Begin());
  rig.HangUpOnReversals(row.outage);
  const auto outage = Clock::now();
  {
    auto pos = rig.Pos();
    ASSERT_TRUE(pos);
    std::string failure;
    const std::string document =
        rig.Sell(pos.get(), DebitSale(row.amount), row.amount, name + ": echo without field 02", 30000, &failure);
    EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Declined") << failure << document << "\n" << rig.Log();
  }
  const std::string cents = std::to_string(Cents(row.amount));
  if (row.outage) {
    EXPECT_TRUE(WaitFor(10000, [&] { return rig.ReversalsHungUp() >= 1; }, kPollMs)) << rig.Log();
    EXPECT_TRUE(rig.WaitForLog("AMT:" + cents + " kept in the reversal journal - next try in", 10000)) << rig.Log();
    elavon_sim::ApprovalState state{};
    ASSERT_TRUE(rig.ApprovalState(row.amount, &state)) << "the host approved nothing";
    EXPECT_NE(state, elavon_sim::ApprovalState::kReversed);
  }
  if (row.restart) {
    ASSERT_NO_FATAL_FAILURE(rig.Stop());
    EXPECT_EQ(rig.JournalEntries(), 1u) << "the owed reversal is on disk\n" << rig.JournalText() << rig.Log();
    const int hung_up = rig.ReversalsHungUp();
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    EXPECT_TRUE(rig.WaitForLog("1 owed reversal(s) from an earlier run", 5000)) << rig.Log();
    // The new run tries it at once and meets the outage too.
    EXPECT_TRUE(WaitFor(15000, [&] { return rig.ReversalsHungUp() > hung_up; }, kPollMs)) << rig.Log();
  }
  if (row.outage) {
    std::this_thread::sleep_until(outage + std::chrono::seconds(10));
    rig.HangUpOnReversals(false);
  }
  const auto back = Clock::now();
  EXPECT_TRUE(rig.WaitReversed(row.amount, 60000)) << rig.Log();
  EXPECT_LT(Clock::now() - back, std::chrono::seconds(60));
  EXPECT_TRUE(rig.WaitForLog("Reversal answered by the host: Acct:XXX...1111 AMT:" + cents, 10000) ||
              rig.Log().find("Approval reversed after an echo answer without a result") != std::string::npos)
      << rig.Log();
  if (row.outage) ExpectTriesLogged(rig.Log(), cents);
  EXPECT_TRUE(WaitFor(5000, [&] { return rig.JournalEntries() == 0; }, kPollMs)) << rig.JournalText();
  if (row.route == Route::kDial) {
    // The call of the reversal ends before the next sale dials.
    std::this_thread::sleep_for(std::chrono::milliseconds(kIdleDropMs + 500));
  }
  ASSERT_NO_FATAL_FAILURE(rig.ExpectServing(row.served));
  rig.ExpectInvariant();
}

TEST(MoneyE2ETest, EchoWithoutResultOverIpIsReversedOnceTheHostTakesReversalsAgain) {
  const EchoRow rows[] = {
      {Route::kIp, true, false, "40.60", "50.00"},
      {Route::kIp, true, true, "41.60", "51.00"},
  };
  for (const EchoRow& row : rows) ASSERT_NO_FATAL_FAILURE(RunEchoRow(row));
}

// The same over the dial line (dial only), and once with a host that answers the
// reversal at once: the dial round reverses the approval and then delivers the
// decline of the echo's answer.
TEST(MoneyE2ETest, EchoWithoutResultOverDialIsReversedOnceTheHostTakesReversalsAgain) {
  const EchoRow rows[] = {
      {Route::kDial, false, false, "44.60", "54.00"},
      {Route::kDial, true, false, "42.60", "52.00"},
      {Route::kDial, true, true, "43.60", "53.00"},
  };
  for (const EchoRow& row : rows) ASSERT_NO_FATAL_FAILURE(RunEchoRow(row));
}

// kill -9 with a sale at the host (its answer withheld: the .54 rule, or an answer
// held back by the gateway) or with a sale not yet sent (the gateway takes the TCP
// connection but never its TLS handshake; the modem never answers the dial
// command). After the restart a sale that reached the host is reversed; of one that
// never left, nothing reaches the host: no reversal of a request it never received.
TEST(MoneyE2ETest, KillNineBeforeAndAfterTheSendOnBothRoutes) {
  enum class Hold { kHostWithholds, kGatewayHoldsTheAnswer, kNotSent };
  struct Row {
    const char* name;
    Route route;
    Hold hold;
    const char* amount;
  };
  const Row rows[] = {
      {"IP, the host withholds its answer", Route::kIp, Hold::kHostWithholds, "60.54"},
      {"IP, the gateway holds the answer back", Route::kIp, Hold::kGatewayHoldsTheAnswer, "61.00"},
      {"IP, not sent (TLS handshake never answered)", Route::kIp, Hold::kNotSent, "62.00"},
      {"dial, the host withholds its answer", Route::kDial, Hold::kHostWithholds, "63.54"},
      {"dial, not sent (dial command never answered)", Route::kDial, Hold::kNotSent, "64.00"},
  };
  int served = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MoneyRig rig(row.route);
    SilentListener silent(16);
    ASSERT_GT(silent.port(), 0);
    ASSERT_NO_FATAL_FAILURE(rig.Begin());
    const std::map<std::string, std::string> env = rig.env();
    if (row.hold == Hold::kNotSent && row.route == Route::kIp) {
      // The gateway addresses are read at start: the server is started again on them.
      const std::string nowhere = "127.0.0.1:" + std::to_string(silent.port());
      rig.env()["KVR_ELAVON_GATEWAY"] = nowhere;
      rig.env()["KVR_ELAVON_GATEWAY_SECONDARY"] = nowhere;
      ASSERT_NO_FATAL_FAILURE(rig.Start());
    } else if (row.hold == Hold::kNotSent) {
      fake_modem::ModemScript script = MoneyRig::ModemScript();
      script.dial_reply = fake_modem::ModemReply::kSilence;
      rig.modem().SetScript(script);
    } else if (row.hold == Hold::kGatewayHoldsTheAnswer) {
      HoldFirstAnswer(rig.gateway(), 20000);
    }

    auto pos = rig.Pos();
    ASSERT_TRUE(pos);
    std::thread sale([&] { rig.Sell(pos.get(), e2e::CreditSale(row.amount), row.amount, row.name, 30000); });
    bool held = false;
    if (row.hold == Hold::kNotSent && row.route == Route::kIp) {
      // Time for the connection and the ClientHello, which the listener never reads.
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      held = rig.gateway().Counters().accepted == 0;
    } else if (row.hold == Hold::kNotSent) {
      held = rig.modem().WaitFor([](const fake_modem::ModemCounters& c) { return c.dials >= 1; }, 10000);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } else {
      held = WaitFor(20000, [&] { return rig.sim().GetCounters().requests >= 1; }, kPollMs);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(held) << rig.Log();
    const size_t entries = rig.JournalEntries();
    ASSERT_NO_FATAL_FAILURE(rig.Kill());
    sale.join();
    pos.reset();
    const int requests_before = rig.sim().GetCounters().requests;

    rig.env() = env;
    rig.gateway().SetFaults(elavon_sim::GatewayFaults());
    if (row.route == Route::kDial) {
      ASSERT_NO_FATAL_FAILURE(rig.NewModemLine());
    }
    ASSERT_NO_FATAL_FAILURE(rig.Start());
    const std::string cents = std::to_string(Cents(row.amount));
    if (row.hold == Hold::kNotSent) {
      EXPECT_EQ(entries, 0u) << "an entry for a request that never left\n" << rig.JournalText();
      EXPECT_EQ(requests_before, 0) << "the held request reached the host";
      EXPECT_TRUE(rig.WaitForLog("0 owed reversal(s) from an earlier run", 5000)) << rig.Log();
      std::this_thread::sleep_for(std::chrono::seconds(3));  // time for a reversal that should not come
      EXPECT_EQ(rig.sim().GetCounters().reversals, 0) << rig.Log();
    } else {
      EXPECT_EQ(entries, 1u) << rig.JournalText();
      EXPECT_TRUE(rig.WaitForLog("1 owed reversal(s) from an earlier run", 5000)) << rig.Log();
      EXPECT_TRUE(rig.WaitReversed(row.amount, 30000)) << rig.Log();
      EXPECT_TRUE(rig.WaitForLog("Reversal answered by the host: Acct:XXX...1111 AMT:" + cents, 10000)) << rig.Log();
      EXPECT_NE(rig.Log().find("Reversal owed to the host, try 1: Acct:XXX...1111 AMT:" + cents), std::string::npos)
          << rig.Log();
    }
    const elavon_sim::Counters counters = rig.sim().GetCounters();
    EXPECT_EQ(counters.unmatched_reversals, 0) << Joined(rig.sim().Incidents());
    EXPECT_EQ(counters.repeated_requests, 0) << Joined(rig.sim().Incidents());
    if (row.route == Route::kDial) {
      // The previous call, if any, must have ended before the next sale dials.
      std::this_thread::sleep_for(std::chrono::milliseconds(kIdleDropMs + 500));
    }
    ASSERT_NO_FATAL_FAILURE(rig.ExpectServing("7" + std::to_string(served++) + ".00"));
    EXPECT_TRUE(WaitFor(5000, [&] { return rig.JournalEntries() == 0; }, kPollMs)) << rig.JournalText();
    rig.ExpectInvariant();
  }
}

// The server over IP is killed (kill -9) while a credit sale of amount is at the
// host, its answer held back by the gateway: the journal holds its one entry.
void KillWithASaleAtTheHost(MoneyRig& rig, const std::string& amount, const std::string& description) {
  ASSERT_NO_FATAL_FAILURE(rig.Begin());
  HoldFirstAnswer(rig.gateway(), 20000);
  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  std::thread sale([&] { rig.Sell(pos.get(), e2e::CreditSale(amount), amount, description, 30000); });
  const bool at_host = WaitFor(10000, [&] { return rig.sim().GetCounters().requests >= 1; }, kPollMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(at_host) << rig.Log();
  EXPECT_EQ(rig.JournalEntries(), 1u) << rig.JournalText();
  rig.Kill();
  sale.join();
  rig.gateway().SetFaults(elavon_sim::GatewayFaults());
}

// A journal whose key is gone: the server is killed with a sale at the host, the
// key file is removed, and the server started again. The entry cannot be read, so it
// cannot be reversed; it is not dropped silently: the file is kept aside, the log
// names the entry (masked card, amount, sequence number), stderr carries the alert,
// and the server serves new sales. The approval stands at the host: the one breach
// of the invariant, and the one the log names.
TEST(MoneyE2ETest, JournalWhoseKeyIsGoneNamesWhatItLost) {
  MoneyRig rig(Route::kIp);
  ASSERT_NO_FATAL_FAILURE(KillWithASaleAtTheHost(rig, "80.12", "lost with the key"));
  const std::string key = rig.home() + "/keys/ReversalJournal.key";
  ASSERT_TRUE(platform::fs::FileExists(key));
  ASSERT_EQ(std::remove(key.c_str()), 0);

  ASSERT_NO_FATAL_FAILURE(rig.Start());
  EXPECT_TRUE(rig.WaitForLog("0 owed reversal(s) from an earlier run", 5000)) << rig.Log();
  const std::string log = rig.Log();
  EXPECT_NE(log.find("Reversal journal lost line 2: "), std::string::npos) << log;
  EXPECT_NE(log.find("(Acct:XXX...1111 AMT:8012 Seq:"), std::string::npos) << log;
  EXPECT_NE(log.find("cannot be read without the key that is gone; the file is kept as"), std::string::npos) << log;
  EXPECT_NE(rig.server().Output().find("1 reversal(s) the server may owe the host could not be read (the key of the "
                                       "reversal journal is missing)."),
            std::string::npos)
      << rig.server().Output();
  const std::vector<std::string> aside = rig.WorkFiles(std::string(kJournalFile) + ".unreadable-");
  ASSERT_EQ(aside.size(), 1u);
  std::string kept;
  ASSERT_TRUE(platform::fs::ReadFile(rig.work() + "/" + aside[0], &kept));
  EXPECT_NE(kept.find("\nE "), std::string::npos) << "the entry is in the file kept aside: " << kept;
  EXPECT_TRUE(platform::fs::FileExists(key)) << "a new key for the new entries";

  ASSERT_NO_FATAL_FAILURE(rig.ExpectServing("81.00"));
  EXPECT_TRUE(WaitFor(5000, [&] { return rig.JournalEntries() == 0; }, kPollMs)) << rig.JournalText();
  EXPECT_EQ(rig.sim().GetCounters().reversals, 0);
  const std::vector<std::string> breaches = rig.Breaches();
  ASSERT_EQ(breaches.size(), 1u) << Joined(breaches);
  EXPECT_NE(breaches[0].find("8012"), std::string::npos) << breaches[0];
}

// A damaged journal: the server is killed with a sale at the host, and a second line
// is added to the journal, a copy of the first with its key and amount changed, so
// that it fails its check. The good entry is still reversed after the restart, the
// bad line is named with what its clear fields say, and the file as read is kept
// under a name of its own.
TEST(MoneyE2ETest, DamagedJournalLineIsNamedAndTheGoodOnesReversed) {
  MoneyRig rig(Route::kIp);
  ASSERT_NO_FATAL_FAILURE(KillWithASaleAtTheHost(rig, "82.34", "kept in a damaged file"));

  // The entry's line: "E key tries created code amount acct client seq nonce cipher
  // tag", the text fields in hex.
  const std::string text = rig.JournalText();
  const size_t start = text.find("\nE ");
  ASSERT_NE(start, std::string::npos) << text;
  const size_t end = text.find('\n', start + 1);
  ASSERT_NE(end, std::string::npos) << text;
  std::vector<std::string> fields;
  std::istringstream line(text.substr(start + 1, end - start - 1));
  for (std::string field; line >> field;) fields.push_back(field);
  ASSERT_EQ(fields.size(), 12u) << text;
  ASSERT_EQ(fields[5], "38323334") << "the amount 8234 in hex";
  fields[1] = "00000000DEADBEEF";
  fields[5] = "39393939";  // 9999
  std::string damaged;
  for (const std::string& field : fields) damaged += (damaged.empty() ? "" : " ") + field;
  const std::string written = text + damaged + "\n";
  ASSERT_TRUE(platform::fs::ReplaceFile(rig.JournalPath(), written, 0600));

  ASSERT_NO_FATAL_FAILURE(rig.Start());
  EXPECT_TRUE(rig.WaitForLog("1 owed reversal(s) from an earlier run", 5000)) << rig.Log();
  EXPECT_TRUE(rig.WaitReversed("82.34", 20000)) << rig.Log();
  EXPECT_TRUE(rig.WaitForLog("Reversal answered by the host: Acct:XXX...1111 AMT:8234", 10000)) << rig.Log();
  const std::string log = rig.Log();
  EXPECT_NE(log.find("Reversal owed to the host, try 1: Acct:XXX...1111 AMT:8234"), std::string::npos) << log;
  EXPECT_NE(log.find(": line 3: "), std::string::npos) << log;
  EXPECT_NE(log.find("(Acct:XXX...1111 AMT:9999 Seq:"), std::string::npos) << log;
  EXPECT_NE(log.find("- left out"), std::string::npos) << log;
  const std::vector<std::string> kept_names = rig.WorkFiles(std::string(kJournalFile) + ".bad-");
  ASSERT_EQ(kept_names.size(), 1u);
  EXPECT_NE(log.find("Reversal journal: the file as read is kept as " + kept_names[0]), std::string::npos) << log;
  std::string kept;
  ASSERT_TRUE(platform::fs::ReadFile(rig.work() + "/" + kept_names[0], &kept));
  EXPECT_EQ(kept, written);
  EXPECT_NE(rig.server().Output().find("1 line(s) of the reversal journal could not be read."), std::string::npos)
      << rig.server().Output();

  EXPECT_TRUE(WaitFor(5000, [&] { return rig.JournalEntries() == 0; }, kPollMs)) << rig.JournalText();
  ASSERT_NO_FATAL_FAILURE(rig.ExpectServing("83.00"));
  EXPECT_EQ(rig.sim().GetCounters().unmatched_reversals, 0) << Joined(rig.sim().Incidents());
  rig.ExpectInvariant();
}

}  // namespace
