#include "host/dial/dial_backup.h"

#include <stdlib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "core/params/param_settings.h"
#include "core/queue/process_events.h"
#include "core/tran/elavon_tran.h"
#include "host/dial/dial_frame.h"
#include "host/seq/sequence_file.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/fake-modem/fake_modem.h"

namespace {

using Clock = std::chrono::steady_clock;
using fake_modem::ModemCounters;
using fake_modem::ModemReply;
using fake_modem::ModemScript;

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

constexpr int kPort = 51;

CParamSettings Settings(const std::string& prefix) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  const std::pair<int, std::string> values[] = {{kParmAssignedBin, "1234"},
                                                {kParmMerchantTerminalId, "5678"},
                                                {kParmMerchantCategory, "0"},
                                                {kParmDialPrefix, prefix},
                                                {kParmAuthorizationPhone, "5551234"}};
  for (const auto& [number, value] : values) {
    CParamEntry entry;
    params.Lookup(number, &entry);
    params.SetAt(number, CParamEntry(entry.GetFormat(), entry.GetName(), value));
  }
  settings.SetParams(params);
  return settings;
}

// The fake modem and dial host on a pty that is COM51, a queue of the test's own
// and the dial backup serving it with short time limits.
class DialBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_dial_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    logger_ = std::make_unique<CLogger>(dir_, nullptr);
    sequence_ = std::make_unique<CSequenceFile>(dir_ + "/sequence.dat");
    timeouts_.m_InitReplyMs = 300;
    timeouts_.m_DialReplyMs = 500;
    timeouts_.m_EnqMs = 300;
    timeouts_.m_SendMs = 500;
    timeouts_.m_AnswerMs = 800;
    timeouts_.m_PassMs = 10;
    timeouts_.m_NakPauseMs = 5;
    port_timeouts_.m_CommandSendMs = 500;
    port_timeouts_.m_GuardMs = 20;
    port_timeouts_.m_DtrOkMs = 300;
    port_timeouts_.m_HangUpOkMs = 300;
  }
  void TearDown() override {
    StopAll();
    unsetenv("KVR_COM51");
    logger_.reset();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // Starts the modem with script and the dial backup on it; injected: the port
  // reads the modem's own lines instead of working them out from the line.
  bool StartAll(const ModemScript& script, bool injected = false) {
    if (!modem_.Start(script)) return false;
    setenv("KVR_COM51", modem_.DevicePath().c_str(), 1);
    dial_ = std::make_unique<CDialBackup>(&queue_, [this] { return settings_; }, logger_.get());
    dial_->SetTimeoutsForTesting(timeouts_, port_timeouts_);
    if (injected) dial_->SetModemLinesForTesting(&modem_.Lines());
    return dial_->Start(kPort);
  }
  void StopAll() {
    if (dial_) dial_->Stop();
    dial_.reset();
    modem_.Stop();
    queue_.RemoveAll();
  }

  // A credit sale of amount (cents text) with its Elavon request, handed to dial.
  int QueueSale(const std::string& amount = "1500", int kind = kRequestKindEncrypted) {
    CElavonTran tran;
    tran.m_TranCode = 1;
    tran.m_Family = kTranFamilyCredit;
    tran.m_TStreamType = "Transaction";
    tran.m_HostCardData = "4111111111111111=25121010";
    tran.m_Track2Given = true;
    tran.m_Authorize = amount;
    tran.m_ZipGiven = true;
    tran.m_Zip = "12345";
    tran.m_LaneNumber = "0007";
    EXPECT_TRUE(tran.BuildElavonRequest(settings_, *sequence_));
    return Queue(tran, kind);
  }
  int Queue(CElavonTran tran, int kind = kRequestKindEncrypted) {
    tran.MarkHandedToDialBackup();
    tran.m_RequestKind = kind;
    EXPECT_TRUE(queue_.Add(tran));
    return tran.m_Id;
  }
  // The record once the dial backup has written an outcome (11, 12 or 13).
  std::optional<CElavonTran> Outcome(int id, int ms = 5000) {
    const auto t0 = Clock::now();
    while (MsSince(t0) < ms) {
      CElavonTran tran;
      if (queue_.Find(id, tran) && tran.m_State != kTranStateHandedToDial) return tran;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
  }
  // What the request routing does with a dial answer: parse it, state 10.
  void FinishAsRouting(CElavonTran& tran) {
    tran.m_RequestKind = kRequestKindClear;  // no key block here: the reply is built in clear
    tran.ParseElavonResponse(*sequence_, *logger_);
    tran.MarkAnsweredOverDial();
    EXPECT_TRUE(queue_.Update(tran.m_Id, tran));
  }
  bool LineHungUp() {
    return modem_.WaitFor([](const ModemCounters& c) { return !c.carrier; }, 2000);
  }

  std::string dir_;
  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CSequenceFile> sequence_;
  CParamSettings settings_ = Settings("9");
  CDialTimeouts timeouts_;
  CSerialPortTimeouts port_timeouts_;
  elavon_sim::ElavonHostSim sim_;
  fake_modem::FakeModem modem_{&sim_};
  CTransactionQueue queue_;
  std::unique_ptr<CDialBackup> dial_;
};

TEST_F(DialBackupTest, SalesGoThroughTheDialHostOnOneCall) {
  ASSERT_TRUE(StartAll(ModemScript()));
  EXPECT_FALSE(g_DialLineBusyEvent.IsSet());
  const int first = QueueSale();
  std::optional<CElavonTran> tran = Outcome(first);
  ASSERT_TRUE(tran);
  ASSERT_EQ(tran->m_State, kTranStateDialAnswerReceived) << tran->m_HostErrorText;
  EXPECT_TRUE(g_DialLineBusyEvent.IsSet()) << "the call stays up";
  EXPECT_EQ(tran->m_HostResponse.front(), kSTX);
  EXPECT_EQ(tran->m_HostResponse.back(), kETX);
  FinishAsRouting(*tran);
  EXPECT_TRUE(tran->m_Approved);
  EXPECT_FALSE(tran->m_HostAuthCode.empty());

  // What went over the line: '#' marker, byte 20 blanked, a good LRC.
  const std::optional<elavon_sim::ReceivedRequest> received = sim_.LastReceived();
  ASSERT_TRUE(received);
  EXPECT_EQ(received->frame, elavon_sim::FrameStatus::kOk);
  EXPECT_EQ(received->message.marker, '#');
  EXPECT_EQ(received->bytes[20], ' ');
  EXPECT_EQ(received->bytes, tran->m_HostRequest);

  const int second = QueueSale("2500");
  tran = Outcome(second);
  ASSERT_TRUE(tran);
  EXPECT_EQ(tran->m_State, kTranStateDialAnswerReceived) << tran->m_HostErrorText;
  CElavonTran done;
  ASSERT_TRUE(queue_.Find(first, done));
  EXPECT_EQ(done.m_State, kTranStateAnsweredDial) << "a finished record is not served again";

  // The modem's thread counts the last ACK a moment after the record is written back.
  EXPECT_TRUE(modem_.WaitFor([](const ModemCounters& m) { return m.host.acks_received >= 2; }, 5000));
  const ModemCounters counters = modem_.Counters();
  ASSERT_GE(counters.commands.size(), 2u);
  EXPECT_EQ(counters.commands[0], CDialBackup::kInitCommand);
  EXPECT_EQ(counters.commands[1], "ATDT95551234");
  EXPECT_EQ(counters.dials, 1) << "the second sale used the same call";
  EXPECT_EQ(counters.host.requests, 2);
  EXPECT_EQ(counters.host.acks_received, 2);
}

TEST_F(DialBackupTest, DialCommandWithoutPrefixIsTheNumberAlone) {
  settings_ = Settings("");
  ASSERT_TRUE(StartAll(ModemScript()));
  const std::optional<CElavonTran> tran = Outcome(QueueSale());
  ASSERT_TRUE(tran);
  EXPECT_EQ(tran->m_State, kTranStateDialAnswerReceived);
  const ModemCounters counters = modem_.Counters();
  ASSERT_GE(counters.commands.size(), 2u);
  EXPECT_EQ(counters.commands[1], "ATDT5551234");
}

TEST_F(DialBackupTest, RefusalsOnEitherSideAreRepeated) {
  struct Case {
    const char* name;
    int nak_requests;      // the host refuses the request this often
    int bad_lrc_answers;   // the host's answer comes with a wrong LRC this often
  };
  for (const Case& c : {Case{"NAKed request", 1, 0}, Case{"bad LRC answer", 0, 1}, Case{"both", 2, 2}}) {
    ModemScript script;
    script.host.nak_requests = c.nak_requests;
    script.host.bad_lrc_answers = c.bad_lrc_answers;
    ASSERT_TRUE(StartAll(script)) << c.name;
    const std::optional<CElavonTran> tran = Outcome(QueueSale());
    ASSERT_TRUE(tran) << c.name;
    EXPECT_EQ(tran->m_State, kTranStateDialAnswerReceived) << c.name << ": " << tran->m_HostErrorText;
    // The record is written back as the ACK goes out; the modem's thread counts it a moment later.
    EXPECT_TRUE(modem_.WaitFor([](const fake_modem::ModemCounters& m) { return m.host.acks_received >= 1; }, 5000))
        << c.name;
    const fake_modem::HostCounters host = modem_.Counters().host;
    EXPECT_EQ(host.requests, 1 + c.nak_requests) << c.name;
    for (const std::string& request : host.received) EXPECT_EQ(request, tran->m_HostRequest) << c.name;
    EXPECT_EQ(host.naks_received, c.bad_lrc_answers) << c.name;
    EXPECT_EQ(host.acks_received, 1) << c.name;
    // The answer kept is the good one.
    const std::optional<elavon_sim::ReceivedRequest> received = sim_.LastReceived();
    ASSERT_TRUE(received);
    EXPECT_EQ(tran->m_HostResponse + received->reply.bytes.back(), received->reply.bytes) << c.name;
    StopAll();
  }
}

TEST_F(DialBackupTest, ExchangesWithoutAGoodAnswerFailAndHangUp) {
  struct Case {
    const char* name;
    fake_modem::HostScript host;
    std::string amount;
    std::string text;
  };
  fake_modem::HostScript silent;
  silent.answer_requests = false;
  fake_modem::HostScript always_bad;
  always_bad.bad_lrc_answers = 1000;
  fake_modem::HostScript hangs_up;
  hangs_up.hang_up_on_request = true;
  fake_modem::HostScript too_long;
  too_long.oversize_answer = kMaxDialAnswerFrame + 100;
  const Case cases[] = {
      {"silent host", silent, "1500", CDialBackup::kAnswerTimeoutText},
      {"host keeps the answer", fake_modem::HostScript(), "1554", CDialBackup::kAnswerTimeoutText},
      {"every answer bad", always_bad, "1500", CDialBackup::kBadLrcText},
      {"host hangs up", hangs_up, "1500", CDialBackup::kLostCarrierText},
      {"answer too long", too_long, "1500", CDialBackup::kTooLongText},
  };
  for (const Case& c : cases) {
    ModemScript script;
    script.host = c.host;
    ASSERT_TRUE(StartAll(script)) << c.name;
    const auto t0 = Clock::now();
    const std::optional<CElavonTran> tran = Outcome(QueueSale(c.amount));
    ASSERT_TRUE(tran) << c.name;
    EXPECT_EQ(tran->m_State, kTranStateDialFailed) << c.name;
    EXPECT_EQ(tran->m_HostErrorText, c.text) << c.name;
    EXPECT_LT(MsSince(t0), 3000) << c.name;
    EXPECT_TRUE(LineHungUp()) << c.name;
    EXPECT_FALSE(g_DialLineBusyEvent.IsSet()) << c.name;
    StopAll();
  }
}

TEST_F(DialBackupTest, ModemFailuresGiveStateElevenWithTheirTexts) {
  struct Case {
    ModemReply init;
    ModemReply dial;
    bool carrier_with_connect;
    std::string text;
  };
  const Case cases[] = {
      {ModemReply::kOk, ModemReply::kNoCarrier, true, "NO CARRIER"},
      {ModemReply::kOk, ModemReply::kBusy, true, "BUSY"},
      {ModemReply::kOk, ModemReply::kNoDialtone, true, "NO DIALTONE"},
      {ModemReply::kOk, ModemReply::kSilence, true, CDialBackup::kNoDialResponseText},
      {ModemReply::kSilence, ModemReply::kConnect, true, CDialBackup::kNoInitResponseText},
      {ModemReply::kError, ModemReply::kConnect, true, "ERROR"},
      {ModemReply::kOk, ModemReply::kConnect, false, CDialBackup::kFailedToConnectText},
  };
  for (const Case& c : cases) {
    ModemScript script;
    script.init_reply = c.init;
    script.dial_reply = c.dial;
    script.carrier_with_connect = c.carrier_with_connect;
    // A CONNECT without carrier exists only for the modem's own lines.
    ASSERT_TRUE(StartAll(script, /*injected=*/!c.carrier_with_connect)) << c.text;
    const std::optional<CElavonTran> tran = Outcome(QueueSale());
    ASSERT_TRUE(tran) << c.text;
    EXPECT_EQ(tran->m_State, kTranStateDialModemError) << c.text;
    EXPECT_EQ(tran->m_HostErrorText, c.text);
    const ModemCounters counters = modem_.Counters();
    // Two initialisations when they fail, else the initialisation and the dial.
    ASSERT_EQ(counters.commands.size(), 2u) << c.text;
    EXPECT_EQ(counters.commands[1].rfind("ATDT", 0) == 0, c.init == ModemReply::kOk) << c.text;
    EXPECT_EQ(counters.host.requests, 0) << c.text;
    EXPECT_FALSE(g_DialLineBusyEvent.IsSet()) << c.text;
    StopAll();
  }
}

TEST_F(DialBackupTest, StartFailsWithoutThePortOrItsSignals) {
  struct Case {
    bool dsr;
    bool cts;
    std::string text;
  };
  const std::string dsr_text =
      "DSR found Inactive on Com Port 51.\r\nMake Sure Quillon Device is Connected and Powered.";
  const std::string cts_text =
      "CTS found Inactive on Com Port 51.\r\nYou may have a defective COM Port.\r\nIf you are emulating a COM "
      "Port,(USB to Serial Converter or equivalent)\r\nthe emulation may not fully support Flow Control.\r\nFlow "
      "Control is required.\r\n";
  for (const Case& c : {Case{false, true, dsr_text}, Case{false, false, dsr_text}, Case{true, false, cts_text}}) {
    ASSERT_TRUE(modem_.Start(ModemScript()));
    modem_.SetDsr(c.dsr);
    modem_.SetCts(c.cts);
    setenv("KVR_COM51", modem_.DevicePath().c_str(), 1);
    CDialBackup dial(&queue_, [this] { return settings_; }, logger_.get());
    dial.SetModemLinesForTesting(&modem_.Lines());
    EXPECT_FALSE(dial.Start(kPort));
    EXPECT_EQ(dial.GetLastErrorText(), c.text);
    EXPECT_TRUE(dial.Stop());
    modem_.Stop();
  }
  setenv("KVR_COM51", (dir_ + "/no-such-tty").c_str(), 1);
  CDialBackup dial(&queue_, [this] { return settings_; }, logger_.get());
  EXPECT_FALSE(dial.Start(kPort));
  EXPECT_EQ(dial.GetLastErrorText(), "Could not Open Com Port 51.");
}

TEST_F(DialBackupTest, StopDuringACallReturnsPromptlyAndHangsUp) {
  timeouts_ = CDialTimeouts();  // the full 30 s answer wait
  ModemScript script;
  script.host.answer_requests = false;
  ASSERT_TRUE(StartAll(script));
  const int id = QueueSale();
  ASSERT_TRUE(modem_.WaitFor([](const ModemCounters& c) { return c.host.requests == 1; }, 5000));
  EXPECT_TRUE(g_DialLineBusyEvent.IsSet());
  const auto t0 = Clock::now();
  EXPECT_TRUE(dial_->Stop());
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_TRUE(LineHungUp());
  EXPECT_FALSE(g_DialLineBusyEvent.IsSet());
  CElavonTran tran;
  ASSERT_TRUE(queue_.Find(id, tran));
  EXPECT_EQ(tran.m_State, kTranStateDialFailed);
  EXPECT_EQ(tran.m_HostErrorText, CDialBackup::kShuttingDownText);
  // A stopped dial backup starts again on the same port.
  ASSERT_TRUE(dial_->Start(kPort));
}

TEST_F(DialBackupTest, ReversalIsSentOnAFreshCall) {
  ASSERT_TRUE(StartAll(ModemScript()));
  std::optional<CElavonTran> tran = Outcome(QueueSale());
  ASSERT_TRUE(tran);
  ASSERT_EQ(tran->m_State, kTranStateDialAnswerReceived);
  // The routing turns the record into its reversal and hands it over again.
  tran->m_TranCode = 50;
  tran->m_HostResponse.clear();
  ASSERT_TRUE(tran->BuildReversalRequest(settings_));
  tran->MarkHandedToDialBackup();
  ASSERT_TRUE(queue_.Update(tran->m_Id, *tran));
  tran = Outcome(tran->m_Id);
  ASSERT_TRUE(tran);
  EXPECT_EQ(tran->m_State, kTranStateDialAnswerReceived) << tran->m_HostErrorText;
  EXPECT_EQ(tran->m_ErrorCode, 1007);
  EXPECT_EQ(tran->m_RequestKind, kRequestKindClear);
  EXPECT_EQ(tran->m_HostRequest[1], '*') << "a reversal keeps its marker";
  const ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.dials, 2);
  EXPECT_EQ(counters.dtr_hang_ups, 1);
}

// A call that the far end drops at once, before the request could go out: nothing
// is written to the modem without a call; the record waits and goes out on the
// next call that stays up.
TEST_F(DialBackupTest, ARequestIsNeverWrittenAfterTheCallWent) {
  ModemScript script;
  script.drop_idle_call_after_ms = 0;
  ASSERT_TRUE(StartAll(script));
  const int id = QueueSale();
  ASSERT_TRUE(modem_.WaitFor([](const ModemCounters& c) { return c.idle_drops >= 2; }, 5000));
  CElavonTran waiting;
  ASSERT_TRUE(queue_.Find(id, waiting));
  EXPECT_EQ(waiting.m_State, kTranStateHandedToDial);
  ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.frames_without_call, 0);
  EXPECT_EQ(counters.host.requests, 0);

  modem_.SetScript(ModemScript());
  const std::optional<CElavonTran> tran = Outcome(id);
  ASSERT_TRUE(tran);
  EXPECT_EQ(tran->m_State, kTranStateDialAnswerReceived) << tran->m_HostErrorText;
  counters = modem_.Counters();
  EXPECT_EQ(counters.frames_without_call, 0);
  EXPECT_EQ(counters.host.requests, 1);
}

TEST_F(DialBackupTest, RecordsThatCannotBeSentFailOrWait) {
  ASSERT_TRUE(StartAll(ModemScript(), /*injected=*/true));
  // No message: fails at once, without waiting for an answer.
  const auto t0 = Clock::now();
  const std::optional<CElavonTran> empty = Outcome(Queue(CElavonTran()));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->m_State, kTranStateDialFailed);
  EXPECT_EQ(empty->m_HostErrorText, CDialBackup::kEmptyRequestText);
  EXPECT_LT(MsSince(t0), timeouts_.m_AnswerMs);
  // What the routing hands over is served whatever its kind: an echo whose record's
  // reply is in clear (it could not be encrypted) still goes to the host.
  const std::optional<CElavonTran> clear = Outcome(QueueSale("1600", kRequestKindClear));
  ASSERT_TRUE(clear);
  EXPECT_EQ(clear->m_State, kTranStateDialAnswerReceived) << clear->m_HostErrorText;
  StopAll();

  // The modem goes away after CONNECT, before any ENQ, while its lines still show a
  // call: the write fails.
  ModemScript gone;
  gone.close_after_connect_ms = 50;
  gone.host.send_enq = false;
  ASSERT_TRUE(StartAll(gone, /*injected=*/true));
  const std::optional<CElavonTran> failed = Outcome(QueueSale());
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->m_State, kTranStateDialFailed);
  EXPECT_EQ(failed->m_HostErrorText, CDialBackup::kTransmitFailedText);
}

}  // namespace
