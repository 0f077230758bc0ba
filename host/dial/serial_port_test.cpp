#include "host/dial/serial_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "platform/fs/files.h"
#include "platform/serial/pty_fixture.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"
#include "tools/fake-modem/fake_modem.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

constexpr int kPort = 41;

// A pty whose slave is COM41; the test holds the master.
class SerialPortTest : public platform_serial_testing::PtyFixture {
 protected:
  void SetUp() override {
    PtyFixture::SetUp();
    if (HasFatalFailure()) return;
    char tmpl[] = "/tmp/kvr_serial_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    logger_ = std::make_unique<CLogger>(dir_, nullptr);
    port_ = std::make_unique<CSerialPort>(logger_.get());
    setenv("KVR_COM41", SlavePath().c_str(), 1);
    port_->SetAbortEvent(&abort_);
  }
  void TearDown() override {
    port_.reset();
    CloseMaster();
    unsetenv("KVR_COM41");
    logger_.reset();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  bool OpenStandard() { return port_->Open(kPort, 19200, 'E', '7', '1'); }
  std::string LogText() {
    EXPECT_TRUE(logger_->Flush(5000));
    const struct tm t = platform::LocalTime(platform::Now());
    std::string bytes;
    platform::fs::ReadFile(platform::Format("%s/KVR%02d%02d%04d.log", dir_.c_str(), t.tm_mon + 1, t.tm_mday,
                                            t.tm_year + 1900),
                           &bytes);
    return bytes;
  }

  std::string dir_;
  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<CSerialPort> port_;
  platform::Event abort_{platform::Event::Mode::kManualReset};
};

TEST_F(SerialPortTest, OpenTakesOnlyTheListedSettings) {
  struct Case {
    int port;
    int baud;
    char parity;
    char data;
    char stop;
    bool opens;
  };
  const Case cases[] = {
      {kPort, 19200, 'E', '7', '1', true},  {kPort, 115200, 'e', '8', '2', true},
      {kPort, 300, 'N', '8', '1', true},    {kPort, 9600, 'o', '7', '1', true},
      {kPort, 4800, 'E', '7', '1', false},  {kPort, 57600, 'E', '7', '1', false},
      {kPort, 19200, 'X', '7', '1', false}, {kPort, 19200, 'E', '6', '1', false},
      {kPort, 19200, 'E', '7', '3', false}, {0, 19200, 'E', '7', '1', false},
      {256, 19200, 'E', '7', '1', false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(port_->Open(c.port, c.baud, c.parity, c.data, c.stop), c.opens)
        << c.port << " " << c.baud << " " << c.parity << c.data << c.stop;
    EXPECT_EQ(port_->IsOpen(), c.opens);
    if (c.opens) {
      EXPECT_EQ(port_->GetPortNumber(), kPort);
    }
    EXPECT_TRUE(port_->Close());
  }
  setenv("KVR_COM42", "/dev/null", 1);
  EXPECT_FALSE(port_->Open(42, 19200, 'E', '7', '1')) << "not a terminal";
  unsetenv("KVR_COM42");
  ASSERT_TRUE(OpenStandard());
  ASSERT_TRUE(OpenStandard()) << "an open port is closed and opened again";
}

TEST_F(SerialPortTest, ReadLineSkipsEmptyLinesAndKeepsWhatFollows) {
  ASSERT_TRUE(OpenStandard());
  MasterWrite("\r\nOK\r\n\x05" "rest");
  std::string line;
  ASSERT_EQ(port_->ReadLine(1000, line), CSerialPort::kResultSuccess);
  EXPECT_EQ(line, "OK");
  std::string after;
  const auto t0 = Clock::now();
  while (after.size() < 5 && MsSince(t0) < 1000) {
    if (port_->WaitForInput(20) == CSerialPort::kResultSuccess && port_->Read(CSerialPort::kNoLimit) > 0) {
      after += port_->GetReadData();
    }
  }
  EXPECT_EQ(after, "\x05" "rest");

  MasterWrite("\xC3\xCF\xCE\r\n");  // 7 data bits: the top bit goes
  ASSERT_EQ(port_->ReadLine(1000, line), CSerialPort::kResultSuccess);
  EXPECT_EQ(line, "CON");
}

TEST_F(SerialPortTest, RepliesTimeOutInTimeAndAbortAtOnce) {
  ASSERT_TRUE(OpenStandard());
  std::string line;
  auto t0 = Clock::now();
  EXPECT_EQ(port_->ReadLine(80, line), CSerialPort::kResultTimeout);
  EXPECT_GE(MsSince(t0), 75);
  EXPECT_LT(MsSince(t0), 1000);
  MasterWrite("no line end");
  EXPECT_EQ(port_->ReadLine(80, line), CSerialPort::kResultTimeout);

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    abort_.Set();
  });
  t0 = Clock::now();
  EXPECT_EQ(port_->ReadLine(30000, line), CSerialPort::kResultAborted);
  EXPECT_LT(MsSince(t0), 1000);
  setter.join();
  // Every wait ends at once while the abort event is set.
  t0 = Clock::now();
  EXPECT_EQ(port_->WaitForOk(30000), CSerialPort::kResultAborted);
  EXPECT_EQ(port_->WaitForInput(30000), CSerialPort::kResultAborted);
  EXPECT_EQ(port_->CheckAbort(30000), CSerialPort::kResultAborted);
  EXPECT_FALSE(port_->WaitForCarrier(30000));
  EXPECT_EQ(port_->SendCommand("ATZ", true), CSerialPort::kResultAborted);
  EXPECT_FALSE(port_->HangUp());
  EXPECT_LT(MsSince(t0), 1000);
}

TEST_F(SerialPortTest, WaitForOkTakesOkOrTheNumericZero) {
  ASSERT_TRUE(OpenStandard());
  struct Case {
    const char* reply;
    int result;
  };
  for (const Case& c : {Case{"\r\nOK\r\n", 0}, Case{"0\r", 0}, Case{"\r\nERROR\r\n", 5}, Case{"O", 5}}) {
    port_->PurgeReceive();
    MasterWrite(c.reply);
    EXPECT_EQ(port_->WaitForOk(100), c.result) << c.reply;
  }
}

TEST_F(SerialPortTest, WritesAreWholeAndBounded) {
  ASSERT_TRUE(OpenStandard());
  const std::string big(5000, 'x');
  EXPECT_EQ(port_->Write(big.data(), 5000, 1000), CSerialPort::kResultError);
  EXPECT_EQ(port_->Write(big.data(), 4096, 1000), CSerialPort::kResultError);
  EXPECT_EQ(MasterRead(1, 50), "") << "nothing of a refused write goes out";
  EXPECT_EQ(port_->Write(big.data(), 4095, 1000), CSerialPort::kResultSuccess);
  EXPECT_EQ(MasterRead(4095).size(), 4095u);
  EXPECT_EQ(port_->Write(big.data(), 0, 1000), CSerialPort::kResultSuccess);

  // The other side reads nothing: the line fills, and a write times out in time.
  int result = CSerialPort::kResultSuccess;
  for (int i = 0; i < 500 && result == CSerialPort::kResultSuccess; ++i) result = port_->Write(big.data(), 4000, 30);
  EXPECT_EQ(result, CSerialPort::kResultTimeout);
  EXPECT_NE(LogText().find("TIMED OUT! on TRANSMIT!! [COMSTAT [cbInQue = 0,cbOutQue = "), std::string::npos);
  // With the abort event set, the first write that has to wait gives up at once.
  abort_.Set();
  const auto t0 = Clock::now();
  result = CSerialPort::kResultSuccess;
  for (int i = 0; i < 500 && result == CSerialPort::kResultSuccess; ++i) result = port_->Write(big.data(), 4000, 30000);
  EXPECT_EQ(result, CSerialPort::kResultAborted);
  EXPECT_LT(MsSince(t0), 1000);
}

TEST_F(SerialPortTest, CommandsWithCrPauseAndDropTheEcho) {
  ASSERT_TRUE(OpenStandard());
  const auto t0 = Clock::now();
  std::thread echo([&] {
    EXPECT_EQ(MasterRead(3), "ATZ");
    MasterWrite("ATZ");  // the modem's echo, gone before the CR
  });
  ASSERT_EQ(port_->SendCommand("ATZ", true), CSerialPort::kResultSuccess);
  echo.join();
  EXPECT_EQ(MasterRead(1), "\r");
  EXPECT_GE(MsSince(t0), 40);
  EXPECT_EQ(port_->BytesWaiting(), 0u);

  MasterWrite("stale");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(port_->SendCommand("+++", false), CSerialPort::kResultSuccess);
  EXPECT_EQ(MasterRead(3), "+++");
  EXPECT_EQ(port_->BytesWaiting(), 0u);
}

TEST_F(SerialPortTest, MonitorSignalsArrivingCharactersAndEndsWithTheClose) {
  ASSERT_TRUE(OpenStandard());
  MasterWrite("x");
  EXPECT_TRUE(port_->RxCharEvent().Wait(1000));
  EXPECT_TRUE(port_->IsDsrOn());
  EXPECT_TRUE(port_->IsCtsOn());
  EXPECT_FALSE(port_->IsCarrierOn());
  CloseMaster();  // DSR goes with the other side
  EXPECT_TRUE(port_->DsrEvent().Wait(1000));
  EXPECT_FALSE(port_->IsDsrOn());
  const auto t0 = Clock::now();
  EXPECT_TRUE(port_->Close());
  EXPECT_LT(MsSince(t0), 500);
  EXPECT_FALSE(port_->IsOpen());
  EXPECT_FALSE(port_->IsDsrOn());
}

TEST(SerialPortFormatTest, FormatComStat) {
  platform::serial::ComStat stat;
  stat.cbInQue = 12;
  stat.cbOutQue = 3;
  stat.fCtsHold = true;
  EXPECT_EQ(CSerialPort::FormatComStat(stat), "COMSTAT [cbInQue = 12,cbOutQue = 3, ctsHold = 1,DsrHold = 0]");
}

// Hang-ups against the fake modem, with the pty's in-band lines.
class SerialPortHangUpTest : public ::testing::Test {
 protected:
  void Connect(const fake_modem::ModemScript& script) {
    ASSERT_TRUE(modem_.Start(script));
    setenv("KVR_COM43", modem_.DevicePath().c_str(), 1);
    CSerialPortTimeouts timeouts;
    timeouts.m_GuardMs = 20;
    timeouts.m_DtrOkMs = 200;
    port_.SetTimeoutsForTesting(timeouts);
    port_.SetAbortEvent(&abort_);
    ASSERT_TRUE(port_.Open(43, 19200, 'E', '7', '1'));
    ASSERT_EQ(port_.SendCommand("ATDT1", true), CSerialPort::kResultSuccess);
    std::string line;
    ASSERT_EQ(port_.ReadLine(1000, line), CSerialPort::kResultSuccess);
    EXPECT_EQ(line, "CONNECT 19200");
    ASSERT_TRUE(port_.WaitForCarrier(100));
  }
  void TearDown() override {
    port_.Close();
    modem_.Stop();
    unsetenv("KVR_COM43");
  }

  fake_modem::FakeModem modem_{nullptr};
  CSerialPort port_;
  platform::Event abort_{platform::Event::Mode::kManualReset};
};

TEST_F(SerialPortHangUpTest, DtrDropHangsUp) {
  Connect(fake_modem::ModemScript());
  const auto t0 = Clock::now();
  EXPECT_TRUE(port_.HangUp());
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_FALSE(port_.IsCarrierOn());
  EXPECT_TRUE(modem_.WaitFor([](const fake_modem::ModemCounters& c) { return c.dtr; }, 1000))
      << "DTR is raised again";
  const fake_modem::ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.dtr_hang_ups, 1);
  EXPECT_FALSE(counters.carrier);
}

TEST_F(SerialPortHangUpTest, EscapeAndAthWhenTheDtrDropIsNotAnswered) {
  fake_modem::ModemScript script;
  script.ok_on_dtr_drop = false;
  Connect(script);
  EXPECT_FALSE(port_.HangUpByDtr());
  EXPECT_TRUE(port_.HangUp());
  const fake_modem::ModemCounters counters = modem_.Counters();
  EXPECT_EQ(counters.dtr_hang_ups, 1);
  ASSERT_FALSE(counters.commands.empty());
  EXPECT_EQ(counters.commands.back(), "ATH0");
}

}  // namespace
