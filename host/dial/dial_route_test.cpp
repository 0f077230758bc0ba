// The request routing and the real dial backup together, over the fake modem and
// its dial host on a pseudo-terminal: what a sale goes through when it travels by
// dial, from the hand-off to the record's final state.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/crypto/crypto_engine.h"
#include "core/queue/process_events.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/tran_codes.h"
#include "host/dial/dial_backup.h"
#include "host/dial/dial_test_support.h"
#include "host/engine/routing.h"
#include "host/ip/host_endpoints.h"
#include "host/message/message_test_support.h"
#include "host/seq/sequence_file.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/fake-modem/fake_modem.h"
#include "tools/pos-client/request_envelope.h"

namespace {

using Clock = std::chrono::steady_clock;
using fake_modem::ModemCounters;
using fake_modem::ModemScript;

constexpr int kPort = 52;

const char kCreditSale[] = "TranType=Credit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPurchase=5.00";
const char kDebitSale[] =
    "TranType=Debit\x1CTranCode=Sale\x1CTrack2=4111111111111111=2512101\x1CPINBlock=1234567890ABCDEF\x1C"
    "DervdKey=FFFF9876543210ABCDEF\x1CPurchase=5.00";

// An IP link that never connects, counting the attempts.
class RefusedLink : public CHostLink {
 public:
  explicit RefusedLink(int* attempts) : attempts_(attempts) {}
  bool Connect(const std::string&, int, uint32_t) override {
    ++*attempts_;
    return false;
  }
  bool BuildHttpRequest(const CElavonTran&) override { return true; }
  bool Transact() override { return false; }
  std::string AnswerBody() const override { return std::string(); }
  std::string GetLastErrorText() const override { return "Connection refused"; }
  void Disconnect() override {}

 private:
  int* attempts_;
};

// A folder of the test's own as the working folder (the sequence file, the logs and
// the crypto engine's key container live there), the fake modem on COM52, a queue
// and the dial backup serving it with short time limits, and the routing of one
// request at a time. Requests come encrypted from the POS peer, as in service.
class DialRouteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_dialroute_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
    ASSERT_EQ(chdir(tmpl), 0);
    platform::fs::CreateFolder("QUILLON_LOGS");
    platform::capi::SetContainerRootForTesting(dir_ + "/keys");
    ASSERT_TRUE(g_CryptoEngine.Start());
    const std::string key = g_CryptoEngine.GetPublicKeyText();
    ASSERT_EQ(pos_client::ServerPublicKey::FromHex(key.substr(1, key.size() - 2), &server_key_),
              pos_client::Status::kOk);
    g_AbortEvent.Reset();
    g_DialLineBusyEvent.Reset();
    dial_test::SetFastDialTimings(&timeouts_, &port_timeouts_);
  }
  void TearDown() override {
    if (dial_) dial_->Stop();
    dial_.reset();
    modem_.Stop();
    unsetenv("KVR_COM52");
    g_DialLineBusyEvent.Reset();
    g_CryptoEngine.Stop();
    platform::capi::SetContainerRootForTesting("");
    EXPECT_EQ(chdir(cwd_.c_str()), 0);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // injected: the port reads the modem's own lines (as on a real serial port)
  // instead of working the carrier out from the modem's words.
  bool StartAll(const ModemScript& script, bool injected) {
    if (!modem_.Start(script)) return false;
    setenv("KVR_COM52", modem_.DevicePath().c_str(), 1);
    dial_ = std::make_unique<CDialBackup>(&queue_, [] { return message_test::StandardSettings(); });
    dial_->SetTimeoutsForTesting(timeouts_, port_timeouts_);
    if (injected) dial_->SetModemLinesForTesting(&modem_.Lines());
    return dial_->Start(kPort);
  }

  CParamSettings Settings(const std::string& method) {
    CParamSettings settings = message_test::StandardSettings();
    CParamMap params = settings.GetParams();
    CParamEntry entry;
    params.Lookup(kParmTransportMethod, &entry);
    params.SetAt(kParmTransportMethod, CParamEntry(entry.GetFormat(), entry.GetName(), method));
    settings.SetParams(params);
    return settings;
  }

  // A queued record of the POS request of items, with its Elavon request built.
  CElavonTran Request(const std::string& items, const CParamSettings& settings) {
    pos_client::Request request;
    EXPECT_EQ(pos_client::BuildRequest(server_key_,
                                       "TStream=Transaction\x1C" "ClientID=0005\x1C" "MerchantID=1234\x1C"
                                       "InvoiceNo=INV1\x1C" "RefNo=REF1\x1C" + items,
                                       pos_client::RequestOptions(), &request),
              pos_client::Status::kOk);
    CElavonTran tran;
    tran.m_Request = request.envelope;
    tran.DecodeRequestEnvelope();
    EXPECT_EQ(tran.m_RequestKind, kRequestKindEncrypted);
    tran.ParseRequest(settings);
    tran.m_ClientAddress = "10.0.0.9:0001";
    EXPECT_NE(tran.m_TranCode, 0);
    EXPECT_TRUE(queue_.Add(tran));
    EXPECT_TRUE(tran.BuildElavonRequest(settings, g_SequenceFile));
    return tran;
  }

  // Routes the record as the request worker does, the final parse included.
  void Route(CElavonTran& tran, const CParamSettings& settings) {
    CRoutingContext context;
    context.m_Settings = settings;
    context.m_Queue = &queue_;
    context.m_Endpoints = &endpoints_;
    context.m_DialRoundLimitMs = 10000;
    context.m_MakeLink = [this]() -> std::unique_ptr<CHostLink> {
      return std::make_unique<RefusedLink>(&ip_attempts_);
    };
    RouteRequest(tran, context);
    if (tran.m_State == kTranStateAnsweredDial) tran.ParseElavonResponse();
    queue_.Update(tran.m_Id, tran);
  }

  static bool WaitUntil(const std::function<bool()>& done, int ms) {
    const auto t0 = Clock::now();
    while (!done()) {
      if (Clock::now() - t0 > std::chrono::milliseconds(ms)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  std::string dir_, cwd_;
  pos_client::ServerPublicKey server_key_;
  CDialTimeouts timeouts_;
  CSerialPortTimeouts port_timeouts_;
  elavon_sim::ElavonHostSim sim_;
  fake_modem::FakeModem modem_{&sim_};
  CTransactionQueue queue_;
  CHostEndpoints endpoints_;
  std::unique_ptr<CDialBackup> dial_;
  int ip_attempts_ = 0;
};

// The far end hangs up while the line is idle between two sales. The next sale
// must find the line down: it tries IP first (the line no longer counts as busy),
// then dials a new call and is approved; nothing is written to the modem while no
// call is up, and nothing is reversed.
TEST_F(DialRouteTest, ACallDroppedWhileIdleIsRedialledForTheNextSale) {
  struct Case {
    const char* name;
    bool injected;
  };
  for (const Case& c : {Case{"carrier from the modem's words", false}, Case{"carrier from the status lines", true}}) {
    ModemScript script;
    script.drop_idle_call_after_ms = 600;  // after the routing has read the answer (250 ms polls)
    ASSERT_TRUE(StartAll(script, c.injected)) << c.name;
    ip_attempts_ = 0;

    const CParamSettings dial_only = Settings("2");
    CElavonTran first = Request(kCreditSale, dial_only);
    Route(first, dial_only);
    ASSERT_EQ(first.m_State, kTranStateAnsweredDial) << c.name << ": " << first.m_HostErrorText;
    EXPECT_TRUE(first.m_Approved) << c.name;
    EXPECT_TRUE(g_DialLineBusyEvent.IsSet()) << c.name << ": the call stays up after an answer";

    ASSERT_TRUE(modem_.WaitFor([](const ModemCounters& m) { return m.idle_drops == 1; }, 3000)) << c.name;
    EXPECT_TRUE(WaitUntil([] { return !g_DialLineBusyEvent.IsSet(); }, 1000))
        << c.name << ": the dropped call still counts as busy";

    const CParamSettings with_backup = Settings("1");
    CElavonTran second = Request(kCreditSale, with_backup);
    Route(second, with_backup);
    EXPECT_EQ(ip_attempts_, 1) << c.name << ": IP is tried first on a free line";
    ASSERT_EQ(second.m_State, kTranStateAnsweredDial) << c.name << ": " << second.m_HostErrorText;
    EXPECT_EQ(second.m_TranCode, kCodeCreditSale) << c.name << ": not reversed";
    EXPECT_TRUE(second.m_Approved) << c.name;
    EXPECT_EQ(second.m_RetryOnNewLine, 0) << c.name;

    const ModemCounters counters = modem_.Counters();
    EXPECT_EQ(counters.frames_without_call, 0) << c.name;
    EXPECT_EQ(counters.dials, 2) << c.name << ": the second sale dialled first";
    EXPECT_EQ(counters.host.requests, 2) << c.name;
    ASSERT_EQ(counters.commands.size(), 4u) << c.name;
    EXPECT_EQ(counters.commands[2], CDialBackup::kInitCommand) << c.name;
    EXPECT_EQ(counters.commands[3].rfind("ATDT", 0), 0u) << c.name;
    EXPECT_EQ(sim_.GetCounters().sequence_errors, 0) << c.name;

    dial_->Stop();
    dial_.reset();
    modem_.Stop();
    queue_.RemoveAll();
  }
}

// An approved sale that needs an echo, whose echo cannot be built from the message
// that was sent: the approval is not delivered as one. A reversible sale is reversed
// on the dial line; one that cannot be reversed, or whose reversal cannot be built,
// ends without an answer (the client hears 1007). No echo is ever sent.
TEST_F(DialRouteTest, AnApprovalWhoseEchoCannotBeBuiltIsNotDelivered) {
  struct Case {
    const char* name;
    int code;          // the sale's internal code
    bool keep_a_gs;    // the sent message keeps a GS (a reversal can be built)
    int state;
    int final_code;    // the record's internal code at the end
    int frames;        // frames the dial host received
  };
  const Case cases[] = {
      {"debit sale reversed", kCodeDebitSale, true, kTranStateAnsweredDial, kCodeReversal, 2},
      {"debit sale whose reversal cannot be built", kCodeDebitSale, false, kTranStateNoHostAnswer, kCodeReversal, 1},
      {"EMV debit sale, not reversible", kCodeEMVDebitSale, true, kTranStateNoHostAnswer, kCodeEMVDebitSale, 1},
  };
  for (const Case& c : cases) {
    const CParamSettings dial_only = Settings("2");
    CElavonTran tran = Request(kDebitSale, dial_only);
    tran.m_TranCode = c.code;
    ASSERT_TRUE(NeedsEchoAfterApproval(c.code)) << c.name;
    // The host approves the message as built.
    elavon_sim::ElavonHostSim answers;
    const std::string approval = answers.Answer(tran.m_HostRequest);
    ASSERT_GT(approval.size(), 3u) << c.name;
    ModemScript script;
    script.host.fixed_answer = approval.substr(1, approval.size() - 3);  // without STX, ETX and LRC
    ASSERT_TRUE(StartAll(script, false)) << c.name;

    // The message sent has its first GS too early for an echo's header, or no GS at all.
    std::string& message = tran.m_HostRequest;
    const size_t gs = message.find('\x1D');
    ASSERT_NE(gs, std::string::npos) << c.name;
    message = c.keep_a_gs ? message.substr(0, 4) + message.substr(gs)
                          : std::string("\x02*00E4029A100") + std::string(30, 'X') + "\x03" + "?";
    ASSERT_TRUE(queue_.Update(tran.m_Id, tran)) << c.name;

    Route(tran, dial_only);
    EXPECT_EQ(tran.m_State, c.state) << c.name << ": " << tran.m_HostErrorText;
    EXPECT_EQ(tran.m_TranCode, c.final_code) << c.name;
    if (c.final_code == kCodeReversal) {
      EXPECT_EQ(tran.m_ErrorCode, 1007) << c.name;
    }

    EXPECT_TRUE(modem_.WaitFor([&](const ModemCounters& m) { return m.host.acks_received >= c.frames; }, 3000))
        << c.name;
    const ModemCounters counters = modem_.Counters();
    ASSERT_EQ(counters.host.received.size(), static_cast<size_t>(c.frames)) << c.name;
    for (const std::string& frame : counters.host.received) {
      ASSERT_GT(frame.size(), 13u) << c.name;
      EXPECT_NE(frame.substr(10, 3), "197") << c.name << ": no echo";
    }
    if (c.frames == 2) {
      EXPECT_EQ(counters.host.received[1].substr(10, 3), "199") << c.name << ": a debit reversal";
    }

    dial_->Stop();
    dial_.reset();
    modem_.Stop();
    queue_.RemoveAll();
  }
}

}  // namespace
