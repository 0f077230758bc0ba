#include "tools/fake-modem/fake_modem.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tools/elavon-sim/host_sim.h"

namespace fake_modem {
namespace {

using Clock = std::chrono::steady_clock;

// The terminal's side, opened raw with termios directly.
class Terminal {
 public:
  explicit Terminal(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios t;
    if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      cfsetospeed(&t, B19200);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~Terminal() { Close(); }
  bool ok() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  void Send(const std::string& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  // Everything that arrives until `until` is a suffix of it, or ms pass.
  std::string ReadUntil(const std::string& until, int ms = 1000) {
    std::string got;
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::milliseconds(ms)) {
      char buf[512];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
      if (!until.empty() && got.size() >= until.size() && got.compare(got.size() - until.size(), until.size(), until) == 0) break;
      if (n <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return got;
  }
  void SetSpeed(speed_t speed) {
    termios t;
    ASSERT_EQ(tcgetattr(fd_, &t), 0);
    cfsetospeed(&t, speed);
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &t), 0);
  }

 private:
  int fd_;
};

std::string Frame(const std::string& message) {
  std::string frame = std::string(1, kStx) + message + kEtx;
  frame += DialHostSession::Lrc(frame);
  return frame;
}

const std::string kConnected = "\r\nCONNECT 19200\r\n" + std::string(1, kEnq);

class FakeModemTest : public ::testing::Test {
 protected:
  void StartWith(const ModemScript& script) {
    ASSERT_TRUE(modem_.Start(script));
    terminal_ = std::make_unique<Terminal>(modem_.DevicePath());
    ASSERT_TRUE(terminal_->ok());
  }
  void Connect() {
    terminal_->Send("ATDT5551234\r");
    ASSERT_EQ(terminal_->ReadUntil(kConnected), kConnected);
  }
  bool Carrier() {
    uint32_t status = 0;
    modem_.Lines().GetModemStatus(&status);
    return (status & platform::serial::kMsRlsdOn) != 0;
  }

  elavon_sim::ElavonHostSim sim_;
  FakeModem modem_{&sim_};
  std::unique_ptr<Terminal> terminal_;
};

TEST_F(FakeModemTest, AnswersCommandsWithTheScriptedResultWords) {
  struct Case {
    ModemReply init;
    ModemReply dial;
    std::string init_answer;
    std::string dial_answer;
  };
  const Case cases[] = {
      {ModemReply::kOk, ModemReply::kBusy, "\r\nOK\r\n", "\r\nBUSY\r\n"},
      {ModemReply::kError, ModemReply::kNoCarrier, "\r\nERROR\r\n", "\r\nNO CARRIER\r\n"},
      {ModemReply::kOk, ModemReply::kNoDialtone, "\r\nOK\r\n", "\r\nNO DIALTONE\r\n"},
      {ModemReply::kSilence, ModemReply::kSilence, "", ""},
  };
  for (const Case& c : cases) {
    ModemScript script;
    script.init_reply = c.init;
    script.dial_reply = c.dial;
    StartWith(script);
    terminal_->Send("AT&FE0Q0V1\r");
    EXPECT_EQ(terminal_->ReadUntil(c.init_answer, c.init_answer.empty() ? 100 : 1000), c.init_answer);
    terminal_->Send("atdt95551234\r");
    EXPECT_EQ(terminal_->ReadUntil(c.dial_answer, c.dial_answer.empty() ? 100 : 1000), c.dial_answer);
    EXPECT_FALSE(Carrier());
    const ModemCounters counters = modem_.Counters();
    ASSERT_EQ(counters.commands.size(), 2u);
    EXPECT_EQ(counters.commands[1], "ATDT95551234");
    EXPECT_EQ(counters.dials, 1);
    EXPECT_EQ(counters.calls, 0);
    terminal_.reset();
    modem_.Stop();
  }
  EXPECT_EQ(ModemReplyFromWord("no carrier"), ModemReply::kNoCarrier);
  EXPECT_EQ(ModemReplyFromWord("silence"), ModemReply::kSilence);
  EXPECT_FALSE(ModemReplyFromWord("MAYBE"));
}

TEST_F(FakeModemTest, HostChecksLrcAnswersAndRepeatsOnNak) {
  ModemScript script;
  script.host.fixed_answer = "ANSWER";
  script.host.bad_lrc_answers = 1;
  StartWith(script);
  Connect();
  EXPECT_TRUE(Carrier());

  std::string bad = Frame("REQUEST");
  bad.back() = static_cast<char>(bad.back() ^ 1);
  terminal_->Send(bad);
  EXPECT_EQ(terminal_->ReadUntil(std::string(1, kEnq)), std::string(1, kNak) + kEnq);

  const std::string answer = Frame("ANSWER");
  std::string wrong = answer;
  wrong.back() = static_cast<char>(wrong.back() ^ 0x55);
  terminal_->Send(Frame("REQUEST"));
  EXPECT_EQ(terminal_->ReadUntil(wrong), std::string(1, kAck) + wrong) << "first answer has a wrong LRC";
  terminal_->Send(std::string(1, kNak));
  EXPECT_EQ(terminal_->ReadUntil(answer), answer);
  terminal_->Send(std::string(1, kAck));
  EXPECT_EQ(terminal_->ReadUntil(std::string(1, kEnq)), std::string(1, kEnq)) << "ready for the next message";

  const HostCounters host = modem_.Counters().host;
  EXPECT_EQ(host.bad_lrc_requests, 1);
  EXPECT_EQ(host.requests, 1);
  EXPECT_EQ(host.answers_sent, 2);
  EXPECT_EQ(host.naks_received, 1);
  EXPECT_EQ(host.acks_received, 1);
  ASSERT_EQ(host.received.size(), 1u);
  EXPECT_EQ(host.received[0], Frame("REQUEST"));
}

TEST_F(FakeModemTest, RequestsTheSimulatorRefusesAreNakedAndAskedForAgain) {
  ModemScript script;
  script.host.nak_requests = 1;
  StartWith(script);
  Connect();
  // Refused by the script once, then by the simulator (not an Elavon request).
  for (int i = 0; i < 2; ++i) {
    terminal_->Send(Frame("NOT A REQUEST"));
    EXPECT_EQ(terminal_->ReadUntil(std::string(1, kEnq)), std::string(1, kNak) + kEnq) << i;
  }
  EXPECT_EQ(modem_.Counters().host.requests, 2);
  EXPECT_EQ(sim_.GetCounters().refused, 1);
}

TEST_F(FakeModemTest, DtrDropEscapeAndHostHangUpEndTheCall) {
  StartWith(ModemScript());
  // DTR dropped by the output speed 0: the call ends with OK.
  Connect();
  terminal_->SetSpeed(B0);
  EXPECT_EQ(terminal_->ReadUntil("\r\nOK\r\n"), "\r\nOK\r\n");
  EXPECT_FALSE(Carrier());
  terminal_->SetSpeed(B19200);
  ASSERT_TRUE(modem_.WaitFor([](const ModemCounters& c) { return c.dtr; }, 1000));

  // DTR dropped through the injected lines.
  Connect();
  modem_.Lines().SetDtr(false);
  EXPECT_FALSE(Carrier());
  EXPECT_EQ(terminal_->ReadUntil("\r\nOK\r\n"), "\r\nOK\r\n");
  modem_.Lines().SetDtr(true);

  // Escape to command mode, then ATH.
  Connect();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  terminal_->Send("+++");
  EXPECT_EQ(terminal_->ReadUntil("\r\nOK\r\n"), "\r\nOK\r\n");
  EXPECT_TRUE(Carrier()) << "the call stays up in command mode";
  terminal_->Send("ATH0\r");
  EXPECT_EQ(terminal_->ReadUntil("\r\nOK\r\n"), "\r\nOK\r\n");
  EXPECT_FALSE(Carrier());

  // The terminal closes the line.
  Connect();
  terminal_->Close();
  EXPECT_TRUE(modem_.WaitFor([](const ModemCounters& c) { return !c.carrier && !c.line_open; }, 1000));

  const ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.calls, 4);
  EXPECT_EQ(counters.dtr_hang_ups, 3);
  EXPECT_EQ(counters.ath_hang_ups, 1);
  EXPECT_EQ(counters.escapes, 1);
}

TEST_F(FakeModemTest, FarEndDropsAnIdleCallAndFramesWithoutACallAreCounted) {
  ModemScript script;
  script.host.fixed_answer = "ANSWER";
  script.drop_idle_call_after_ms = 100;
  StartWith(script);
  Connect();
  // A message under way is not idle: the answer comes, then the call drops.
  terminal_->Send(Frame("REQUEST"));
  EXPECT_EQ(terminal_->ReadUntil(Frame("ANSWER")), std::string(1, kAck) + Frame("ANSWER"));
  const auto t0 = Clock::now();
  terminal_->Send(std::string(1, kAck));
  EXPECT_EQ(terminal_->ReadUntil("\r\nNO CARRIER\r\n"), std::string(1, kEnq) + "\r\nNO CARRIER\r\n");
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(90));
  EXPECT_FALSE(Carrier());

  // What is sent now reaches a modem in command mode.
  terminal_->Send(Frame("REQUEST"));
  terminal_->Send("AT\r");
  EXPECT_EQ(terminal_->ReadUntil("\r\nOK\r\n"), "\r\nOK\r\n");
  const ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.idle_drops, 1);
  EXPECT_EQ(counters.frames_without_call, 1);
  EXPECT_EQ(counters.host.requests, 1);
}

// An Elavon request message between its STX and ETX, from the message layout.
std::string ElavonMessage(const std::string& code, const std::string& fid01, const std::string& more = "") {
  return "*00E4029A" + code + "JX4807GC0012340000000000005678zovade" + "\x1d" "01" + fid01 + more;
}

// The host hangs up on a reversal without handing it on; the script set for the
// next call serves it.
TEST_F(FakeModemTest, HostHangsUpOnReversalsWhileScripted) {
  ModemScript script;
  script.host.hang_up_on_reversal = true;
  StartWith(script);
  Connect();
  const std::string card = "03020" "4111111111111111";
  terminal_->Send(Frame(ElavonMessage("000", card + "\x1c" "1000" "\x1c" "0000")));
  ASSERT_TRUE(modem_.WaitFor([](const ModemCounters& c) { return c.host.answers_sent == 1; }, 1000));
  terminal_->Send(std::string(1, kAck));
  EXPECT_EQ(terminal_->ReadUntil(std::string(1, kEnq)).back(), kEnq);

  const std::string reversal =
      Frame(ElavonMessage("099", "03010" "4111111111111111" "\x1c" "1000" "\x1c" "0000", "\x1d" "04000  "));
  terminal_->Send(reversal);
  EXPECT_EQ(terminal_->ReadUntil("\r\nNO CARRIER\r\n"), "\r\nNO CARRIER\r\n") << "no ACK, no answer";
  EXPECT_FALSE(Carrier());
  ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.host.reversals_hung_up, 1);
  EXPECT_EQ(counters.host.requests, 2);
  EXPECT_EQ(counters.host.received.back(), reversal);
  EXPECT_EQ(sim_.GetCounters().requests, 1) << "the host never saw the reversal";

  modem_.SetScript(ModemScript());
  Connect();
  terminal_->Send(reversal);
  ASSERT_TRUE(modem_.WaitFor([](const ModemCounters& c) { return c.host.answers_sent == 2; }, 1000));
  ASSERT_TRUE(sim_.LastReceived().has_value());
  EXPECT_EQ(sim_.LastReceived()->reversal, elavon_sim::ReversalTarget::kApproval) << sim_.LastReceived()->note;
  EXPECT_EQ(sim_.GetLedgerCounts().credit.held, 0);
  EXPECT_EQ(modem_.Counters().host.reversals_hung_up, 1);
  EXPECT_TRUE(Carrier());
}

TEST_F(FakeModemTest, StatusLinesFollowTheSwitches) {
  StartWith(ModemScript());
  uint32_t status = 0;
  modem_.Lines().GetModemStatus(&status);
  EXPECT_EQ(status, platform::serial::kMsDsrOn | platform::serial::kMsCtsOn);
  modem_.SetDsr(false);
  modem_.Lines().GetModemStatus(&status);
  EXPECT_EQ(status, platform::serial::kMsCtsOn);
  modem_.SetCts(false);
  modem_.Lines().GetModemStatus(&status);
  EXPECT_EQ(status, 0u);
}

}  // namespace
}  // namespace fake_modem
