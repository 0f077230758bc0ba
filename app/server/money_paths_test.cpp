// The money paths, one table: every route a sale can take (IP, dial, IP with dial
// backup while IP is down) against every answer the host can give, every way its
// reversal can fare and the interruptions a store meets. The whole server but its
// window runs in this process: POS clients on the listener, the Elavon processing
// thread over the real TLS link to the simulated gateway, the dial backup on the
// fake modem and its dial-up host, the ReverseWorker and the reversal journal on
// disk. After each row the host answers reversals again, and then the host must hold
// no approval that the POS was not told Approved of, have reversed none it was told
// of, have received no request twice and no reversal of a request it never saw.
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/server/gateway_test_support.h"
#include "app/server/server_test_support.h"
#include "core/queue/reversal_journal.h"
#include "core/queue/reverse_worker.h"
#include "core/tran/tran_journal.h"
#include "host/dial/dial_backup.h"
#include "host/dial/dial_test_support.h"
#include "host/engine/elavon_interface.h"
#include "host/engine/ssl_link.h"
#include "host/ip/elavon_ssl_client.h"
#include "host/ip/host_endpoints.h"
#include "host/ip/sspi_interface.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/invariant.h"
#include "tools/elavon-sim/test_pki.h"
#include "tools/fake-modem/fake_modem.h"

namespace server_test {
namespace {

enum class Route { kIp, kDial, kIpWithBackup };
enum class Answer { kApprove, kDecline, kNone, kEchoApproved, kEchoDeclined, kEchoUnanswered, kEchoNoResult };
enum class Reversal { kAnswered, kHungUpAWhile, kNeverUntilTheEnd };
enum class Interruption { kNone, kStopBeforeTheAnswer, kStopAfterTheAnswer, kPosGone };

const char* Name(Route r) { return r == Route::kIp ? "Ip" : r == Route::kDial ? "Dial" : "IpWithBackup"; }
const char* Name(Answer a) {
  switch (a) {
    case Answer::kApprove: return "Approve";
    case Answer::kDecline: return "Decline";
    case Answer::kNone: return "NoAnswer";
    case Answer::kEchoApproved: return "EchoApproved";
    case Answer::kEchoDeclined: return "EchoDeclined";
    case Answer::kEchoUnanswered: return "EchoUnanswered";
    case Answer::kEchoNoResult: return "EchoWithoutResult";
  }
  return "?";
}
const char* Name(Reversal r) {
  return r == Reversal::kAnswered ? "ReversalAnswered" : r == Reversal::kHungUpAWhile ? "ReversalHungUpAWhile"
                                                                                       : "ReversalHungUpToTheEnd";
}
const char* Name(Interruption i) {
  switch (i) {
    case Interruption::kNone: return "NoInterruption";
    case Interruption::kStopBeforeTheAnswer: return "StopBeforeTheAnswer";
    case Interruption::kStopAfterTheAnswer: return "StopAfterTheAnswer";
    case Interruption::kPosGone: return "PosGoneBeforeTheAnswer";
  }
  return "?";
}

struct Row {
  Route route;
  Answer answer;
  Reversal reversal;
  Interruption interruption;
};

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  const Row& r = info.param;
  return std::string(Name(r.route)) + "_" + Name(r.answer) + "_" + Name(r.reversal) + "_" + Name(r.interruption);
}

// The amount rule of the simulated host for each answer (tools/elavon-sim).
std::string Cents(Answer a) {
  switch (a) {
    case Answer::kApprove:
    case Answer::kEchoApproved: return "00";
    case Answer::kDecline: return "51";
    case Answer::kNone: return "54";
    case Answer::kEchoDeclined: return "56";
    case Answer::kEchoUnanswered: return "55";
    case Answer::kEchoNoResult: return "60";
  }
  return "00";
}
bool IsDebit(Answer a) { return a >= Answer::kEchoApproved; }

std::vector<TStreamItem> SaleItems(Answer answer, const std::string& amount) {
  std::vector<TStreamItem> items = {{"TStream", "Transaction"}, {"ClientID", "0005"}, {"MerchantID", "1234"},
                                    {"InvoiceNo", "INV1"},      {"RefNo", "REF1"},    {"TranCode", "Sale"},
                                    {"Track2", "4111111111111111=2512101"},          {"Purchase", amount}};
  if (IsDebit(answer)) {
    items.push_back({"TranType", "Debit"});
    items.push_back({"PINBlock", "1234567890ABCDEF"});
    items.push_back({"DervdKey", "FFFF9876543210ABCDEF"});
  } else {
    items.push_back({"TranType", "Credit"});
  }
  return items;
}

constexpr int kComPort = 7;

class MoneyPathsTest : public ListenerTest, public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    ListenerTest::SetUp();
    const Row row = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartTestGateway("money-certs", &host_, &pki_, &gateway_));
    // IP with dial backup meets a gateway that refuses every connection.
    if (row.route == Route::kIpWithBackup) SetGatewayFaults([](elavon_sim::GatewayFaults& f) { f.refuse = true; });

    ASSERT_TRUE(modem_.Start(fake_modem::ModemScript()));
    ::setenv(("KVR_COM" + std::to_string(kComPort)).c_str(), modem_.DevicePath().c_str(), 1);

    const std::string method = row.route == Route::kIp ? "0" : row.route == Route::kDial ? "2" : "1";
    SetParams({{kParmVerifySslCertificate, "Y"},
               {kParmIpConnectTimeout, "5"},
               {kParmDoNotConnectOnStartup, "Y"},
               {kParmTransportMethod, method},
               {kParmModemComPort, std::to_string(kComPort)},
               {kParmDialPrefix, "9"},
               {kParmAuthorizationPhone, "5551234"}});

    CJournalOpenReport report;
    ASSERT_TRUE(journal_.Open("ReversalJournal.dat", "keys/ReversalJournal.key", &report));
    journal_.SetRetryPauses(200, 800);
    SetProcessTranJournal(&journal_);

    dial_test::SetFastDialTimings(&timeouts_, &port_timeouts_);
    ASSERT_NO_FATAL_FAILURE(StartInterfaces());
  }

  void TearDown() override {
    StopInterfaces();
    ListenerTest::TearDown();
    modem_.Stop();
    if (gateway_) gateway_->Stop();
    SetProcessTranJournal(nullptr);
    g_SspiInterface.Release();
    ::unsetenv("KVR_ELAVON_GATEWAY");
    ::unsetenv("SSL_CERT_FILE");
    g_HostEndpoints.ResetLocked();
  }

  void SetGatewayFaults(const std::function<void(elavon_sim::GatewayFaults&)>& change) {
    elavon_sim::GatewayFaults faults = gateway_->Faults();
    change(faults);
    gateway_->SetFaults(faults);
  }
  void SetHostHangsUpOnReversals(bool on) {
    SetGatewayFaults([on](elavon_sim::GatewayFaults& f) { f.hang_up_on_reversals = on; });
    fake_modem::ModemScript script;
    script.host.hang_up_on_reversal = on;
    modem_.SetScript(script);
  }

  // Start and stop as the view does it: the queue emptied, the ReverseWorker, the
  // Elavon interface, the dial backup, the listener; stopped in the view's order.
  void StartInterfaces() {
    g_TransactionQueue.RemoveAll();
    reverse_worker_ = std::make_unique<CReverseWorker>(
        CReverseWorkerContext{&g_ReversalQueue, &g_TransactionQueue, &GetLogger(), &journal_});
    ASSERT_TRUE(reverse_worker_->Start());
    CRoutingContext context;
    context.m_MakeLink = MakeElavonSslLink;
    context.m_Journal = &journal_;
    context.m_DialRoundLimitMs = 20000;
    elavon_ = std::make_unique<CElavonInterface>(context);
    ASSERT_TRUE(elavon_->Start());
    const Route route = GetParam().route;
    if (route != Route::kIp) {
      dial_ = std::make_unique<CDialBackup>(nullptr, nullptr, nullptr, &journal_);
      dial_->SetTimeoutsForTesting(timeouts_, port_timeouts_);
      ASSERT_TRUE(dial_->Start(kComPort)) << dial_->GetLastErrorText();
    }
    CClientTimings timings = FastTimings();
    timings.m_PollMs = 100;
    Start(200, timings);
  }
  void StopInterfaces() {
    if (listener_) listener_->Stop();
    if (reverse_worker_) reverse_worker_->Stop();
    if (elavon_) elavon_->Stop();
    if (dial_) dial_->Stop();
    if (listener_) {
      listener_->m_ShuttingDown = 1;
      EXPECT_TRUE(WaitFor([this] { return listener_->GetConnectionCount() == 0; }, 20000));
      listener_.reset();
    }
    dial_.reset();
    elavon_.reset();
    reverse_worker_.reset();
  }

  // Requests that have reached the host (the sale is the first).
  int ReachedHost() const { return host_.GetCounters().requests; }

  elavon_sim::TestPkiFiles pki_;
  elavon_sim::ElavonHostSim host_;
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  fake_modem::FakeModem modem_{&host_};
  CDialTimeouts timeouts_;
  CSerialPortTimeouts port_timeouts_;
  CReversalJournal journal_;
  ScopedElavonAnswerTimeout short_answers_{1500};
  std::unique_ptr<CReverseWorker> reverse_worker_;
  std::unique_ptr<CElavonInterface> elavon_;
  std::unique_ptr<CDialBackup> dial_;
};

TEST_P(MoneyPathsTest, EveryApprovalIsDeliveredOrReversed) {
  const Row row = GetParam();
  const std::string amount = "12." + Cents(row.answer);
  const int64_t cents = 1200 + std::stoi(Cents(row.answer));
  if (row.reversal != Reversal::kAnswered) SetHostHangsUpOnReversals(true);
  // Before the answer: the gateway holds its answer a while, so that the stop comes
  // while the sale is at the host.
  if (row.interruption == Interruption::kStopBeforeTheAnswer) {
    SetGatewayFaults([](elavon_sim::GatewayFaults& f) { f.answer_delay_ms = 600; });
  }

  auto client = LoggedIn();
  ASSERT_TRUE(client);
  Request request;
  ASSERT_EQ(client->SendRequest(SaleItems(row.answer, amount), RequestOptions(), &request), LinkStatus::kOk);
  Reply reply;
  ASSERT_EQ(client->ReadReply(request.session, 10000, &reply), LinkStatus::kOk);
  ASSERT_EQ(reply.notice.text.rfind("Queued:", 0), 0u) << reply.notice.text;

  std::string told;  // what the POS was told in the end ("" for nothing)
  switch (row.interruption) {
    case Interruption::kPosGone:
      client->Close();
      break;
    case Interruption::kStopBeforeTheAnswer:
    case Interruption::kStopAfterTheAnswer: {
      // The trigger: the sale has reached the host; after the answer, a little later.
      ASSERT_TRUE(WaitFor([&] { return ReachedHost() > 0; }, 15000));
      if (row.interruption == Interruption::kStopAfterTheAnswer) {
        std::this_thread::sleep_for(std::chrono::milliseconds(row.answer == Answer::kNone ? 1600 : 100));
      }
      // Read what comes while the interfaces stop, as a POS would.
      std::thread reader([&] {
        Reply last;
        if (client->ReadReply(request.session, 30000, &last) == LinkStatus::kOk) told = last.notice.status;
      });
      StopInterfaces();
      reader.join();
      ASSERT_NO_FATAL_FAILURE(StartInterfaces());
      break;
    }
    case Interruption::kNone:
      ASSERT_EQ(client->ReadReply(request.session, 60000, &reply), LinkStatus::kOk);
      told = reply.notice.status;
      break;
  }
  if (row.reversal == Reversal::kHungUpAWhile) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }
  // The host answers reversals again: whatever is owed reaches it.
  SetHostHangsUpOnReversals(false);
  EXPECT_TRUE(WaitFor([&] { return journal_.Count() == 0 && g_TransactionQueue.GetCount() == 0; }, 30000))
      << journal_.Count() << " entries left, " << g_TransactionQueue.GetCount() << " records queued\n"
      << LogText();

  std::vector<elavon_sim::PosSale> sales = {{cents, told == "Approved", RowName({row, 0})}};
  const std::vector<std::string> breaches = elavon_sim::InvariantBreaches(host_, sales);
  EXPECT_TRUE(breaches.empty()) << ::testing::PrintToString(breaches) << "\n" << LogText();
  // And no approval the POS was told of was taken back.
  for (const elavon_sim::Approval& approval : host_.Approvals()) {
    if (told == "Approved") {
      EXPECT_NE(approval.state, elavon_sim::ApprovalState::kReversed) << "a delivered approval was reversed";
    }
  }
  // What the POS hears follows from the host: no Approved unless the host holds it.
  if (told == "Approved") {
    EXPECT_TRUE(row.answer == Answer::kApprove || row.answer == Answer::kEchoApproved ||
                row.answer == Answer::kEchoDeclined)
        << told;
  }
}

std::vector<Row> AllRows() {
  std::vector<Row> rows;
  for (Route route : {Route::kIp, Route::kDial, Route::kIpWithBackup}) {
    for (Answer answer : {Answer::kApprove, Answer::kDecline, Answer::kNone, Answer::kEchoApproved,
                          Answer::kEchoDeclined, Answer::kEchoUnanswered, Answer::kEchoNoResult}) {
      for (Reversal reversal : {Reversal::kAnswered, Reversal::kHungUpAWhile, Reversal::kNeverUntilTheEnd}) {
        for (Interruption interruption : {Interruption::kNone, Interruption::kStopBeforeTheAnswer,
                                          Interruption::kStopAfterTheAnswer, Interruption::kPosGone}) {
          rows.push_back({route, answer, reversal, interruption});
        }
      }
    }
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Table, MoneyPathsTest, ::testing::ValuesIn(AllRows()), RowName);

}  // namespace
}  // namespace server_test
