#include "platform/serial/serial_device.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/serial/pty_fixture.h"
#include "platform/text/format.h"

namespace platform::serial {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

int64_t ThreadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// A pseudo-terminal: the test holds the master, the device under test opens the slave.
class PtyTest : public platform_serial_testing::PtyFixture {
 protected:
  void OpenConfigured(SerialDevice& device, int data_bits = 7) {
    ASSERT_TRUE(device.Open(SlavePath()));
    LineSettings settings;
    settings.parity = Parity::kEven;
    settings.data_bits = data_bits;
    settings.cts_flow = true;
    ASSERT_TRUE(device.Configure(settings));
  }
  // Reads what arrives on the device within ms.
  static std::string DeviceRead(SerialDevice& device, size_t want, uint32_t ms = 1000) {
    std::string got;
    const auto t0 = Clock::now();
    while (got.size() < want && MsSince(t0) < ms) {
      if (device.WaitReadable(20, {}) != WaitResult::kReady) continue;
      char buf[256];
      const int n = device.ReadAvailable(buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  speed_t MasterSeesSpeed() {
    termios t;
    EXPECT_EQ(tcgetattr(MasterFd(), &t), 0);
    return cfgetospeed(&t);
  }
};

TEST(ComPortDevicePathTest, DefaultsToTtySUnlessNamedInEnvironment) {
  unsetenv("KVR_COM3");
  EXPECT_EQ(ComPortDevicePath(3), "/dev/ttyS2");
  EXPECT_EQ(ComPortDevicePath(1), "/dev/ttyS0");
  setenv("KVR_COM3", "/dev/pts/77", 1);
  EXPECT_EQ(ComPortDevicePath(3), "/dev/pts/77");
  EXPECT_EQ(ComPortDevicePath(4), "/dev/ttyS3");
  setenv("KVR_COM3", "", 1);
  EXPECT_EQ(ComPortDevicePath(3), "/dev/ttyS2");
  unsetenv("KVR_COM3");
}

TEST(SerialDeviceOpenTest, RefusesMissingDevicesAndNonTerminals) {
  SerialDevice device;
  SetLastError(0);
  EXPECT_FALSE(device.Open("/nonexistent/tty"));
  EXPECT_NE(GetLastError(), 0u);
  SetLastError(0);
  EXPECT_FALSE(device.Open("/dev/null"));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(device.Close());
}

TEST_F(PtyTest, ConfigureSetsARawLocalLineAndRefusesUnknownSettings) {
  SerialDevice device;
  ASSERT_TRUE(device.Open(SlavePath()));
  struct Bad {
    uint32_t baud;
    int data_bits;
    int stop_bits;
  };
  for (const Bad& bad : {Bad{4800, 7, 1}, Bad{57600, 7, 1}, Bad{19200, 6, 1}, Bad{19200, 7, 3}}) {
    LineSettings settings;
    settings.baud_rate = bad.baud;
    settings.data_bits = bad.data_bits;
    settings.stop_bits = bad.stop_bits;
    EXPECT_FALSE(device.Configure(settings)) << bad.baud << " " << bad.data_bits << " " << bad.stop_bits;
  }
  LineSettings settings;
  settings.baud_rate = 115200;
  settings.parity = Parity::kEven;
  settings.data_bits = 7;
  settings.cts_flow = true;
  ASSERT_TRUE(device.Configure(settings));
  termios t;
  ASSERT_EQ(tcgetattr(MasterFd(), &t), 0);  // a pty master reports its slave's settings
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL));
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}

TEST_F(PtyTest, ReadsAreMaskedToSevenBitsOnlyWithSevenDataBits) {
  for (int bits : {7, 8}) {
    SerialDevice device;
    OpenConfigured(device, bits);
    MasterWrite("\xC5\x85" "A");
    const std::string got = DeviceRead(device, 3);
    EXPECT_EQ(got, bits == 7 ? std::string("\x45\x05" "A") : std::string("\xC5\x85" "A")) << bits;
    ASSERT_EQ(device.WriteAvailable("xyz", 3), 3);
    EXPECT_EQ(MasterRead(3), "xyz");
  }
}

TEST_F(PtyTest, WaitReadableIsBoundedAndEndsOnAbortOrHangUp) {
  SerialDevice device;
  OpenConfigured(device);
  Event abort(Event::Mode::kManualReset);
  Event* aborts[] = {&abort};

  auto t0 = Clock::now();
  EXPECT_EQ(device.WaitReadable(50, aborts), WaitResult::kTimeout);
  EXPECT_GE(MsSince(t0), 45);
  EXPECT_LT(MsSince(t0), 1000);

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    abort.Set();
  });
  t0 = Clock::now();
  EXPECT_EQ(device.WaitReadable(10000, aborts), WaitResult::kAborted);
  EXPECT_LT(MsSince(t0), 1000);
  setter.join();
  abort.Reset();

  MasterWrite("x");
  EXPECT_EQ(device.WaitReadable(1000, aborts), WaitResult::kReady);
  EXPECT_EQ(device.BytesWaiting(), 1u);
  EXPECT_TRUE(device.PurgeReceive());
  EXPECT_EQ(device.BytesWaiting(), 0u);

  CloseMaster();
  t0 = Clock::now();
  EXPECT_EQ(device.WaitReadable(5000, aborts), WaitResult::kHangUp);
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(device.WriteAvailable("x", 1), -1);
}

TEST_F(PtyTest, WritesStopWhenTheOtherSideReadsNothing) {
  SerialDevice device;
  OpenConfigured(device, 8);
  // Fill the line until it stays full (the driver moves bytes on in the background).
  const std::string block(4000, 'a');
  bool full = false;
  for (int i = 0; i < 2000 && !full; ++i) {
    if (device.WriteAvailable(block.data(), block.size()) != 0) continue;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    full = device.WriteAvailable(block.data(), block.size()) == 0;
  }
  ASSERT_TRUE(full) << "the pty never filled up";
  Event abort(Event::Mode::kManualReset);
  Event* aborts[] = {&abort};
  EXPECT_EQ(device.WaitWritable(30, aborts), WaitResult::kTimeout);
  abort.Set();
  EXPECT_EQ(device.WaitWritable(5000, aborts), WaitResult::kAborted);
}

TEST_F(PtyTest, InBandLinesFollowResultLinesDtrAndTheOtherSide) {
  SerialDevice device;
  OpenConfigured(device);
  uint32_t status = 0;
  ASSERT_TRUE(device.GetModemStatus(&status));
  EXPECT_EQ(status, kMsDsrOn | kMsCtsOn);

  struct Step {
    const char* received;
    bool carrier;
  };
  const Step steps[] = {
      {"\r\nOK\r\n", false},
      {"\r\nCONNECT 19200\r\n", true},
      {"\x02" "NO CARRIER\r\n", true},  // inside data: not a result line
      {"\r\nNO CARRIER\r\n", false},
      {"\r\nCONNECT\r", true},
  };
  for (const Step& step : steps) {
    MasterWrite(step.received);
    DeviceRead(device, std::string(step.received).size());
    ASSERT_TRUE(device.GetModemStatus(&status));
    EXPECT_EQ((status & kMsRlsdOn) != 0, step.carrier) << step.received;
  }

  ASSERT_TRUE(device.SetDtr(false));
  EXPECT_EQ(MasterSeesSpeed(), static_cast<speed_t>(B0));
  ASSERT_TRUE(device.GetModemStatus(&status));
  EXPECT_EQ(status & kMsRlsdOn, 0u) << "a DTR drop hangs the modem up";
  ASSERT_TRUE(device.SetDtr(true));
  EXPECT_EQ(MasterSeesSpeed(), static_cast<speed_t>(B19200));

  CloseMaster();
  ASSERT_TRUE(device.GetModemStatus(&status));
  EXPECT_EQ(status, 0u);
}

TEST_F(PtyTest, CloseDropsDtrAndInjectedLinesReplaceTheDevicesOwn) {
  struct StubLines : ModemLines {
    bool GetModemStatus(uint32_t* status) override {
      *status = kMsDsrOn | kMsRingOn;
      return true;
    }
    bool SetDtr(bool on) override {
      calls += on ? "+" : "-";
      return true;
    }
    void OnReceived(std::string_view bytes) override { seen.append(bytes); }
    std::string calls;
    std::string seen;
  } stub;
  {
    SerialDevice device;
    OpenConfigured(device);
    ASSERT_TRUE(device.Close());
    EXPECT_EQ(MasterSeesSpeed(), static_cast<speed_t>(B0)) << "closed: DTR stays down";
  }
  SerialDevice device;
  device.SetModemLines(&stub);
  OpenConfigured(device);
  uint32_t status = 0;
  ASSERT_TRUE(device.GetModemStatus(&status));
  EXPECT_EQ(status, kMsDsrOn | kMsRingOn);
  MasterWrite("\xC1z");
  EXPECT_EQ(DeviceRead(device, 2), "Az");
  EXPECT_EQ(stub.seen, "\xC1z") << "the lines see the bytes as they came";
  ASSERT_TRUE(device.Close());
  EXPECT_EQ(stub.calls, "+-");
}

TEST_F(PtyTest, CommEventsReportDataAndLineChangesWithoutSpinning) {
  SerialDevice device;
  OpenConfigured(device);
  ASSERT_TRUE(device.SetCommMask(kEvRxChar | kEvDsr | kEvRlsd | kEvRing));
  Event stop(Event::Mode::kManualReset);
  Event* aborts[] = {&stop};
  uint32_t events = 0;

  EXPECT_EQ(device.WaitCommEvent(&events, aborts, 30), WaitResult::kTimeout);
  MasterWrite("ab");
  EXPECT_EQ(device.WaitCommEvent(&events, aborts, 1000), WaitResult::kReady);
  EXPECT_EQ(events, kEvRxChar);
  // Still unread, nothing new: no second report.
  EXPECT_EQ(device.WaitCommEvent(&events, aborts, 30), WaitResult::kTimeout);

  CloseMaster();  // DSR goes off with the other side
  EXPECT_EQ(device.WaitCommEvent(&events, aborts, 1000), WaitResult::kReady);
  EXPECT_TRUE(events & kEvDsr);

  // The hung-up line stays "ready" for poll: the wait must sleep, not spin.
  const int64_t cpu0 = ThreadCpuMs();
  const auto t0 = Clock::now();
  EXPECT_EQ(device.WaitCommEvent(&events, aborts, 300), WaitResult::kTimeout);
  EXPECT_GE(MsSince(t0), 290);
  EXPECT_LT(ThreadCpuMs() - cpu0, 100);

  stop.Set();
  EXPECT_EQ(device.WaitCommEvent(&events, aborts, kInfinite), WaitResult::kAborted);
  ASSERT_TRUE(device.Close());
  EXPECT_EQ(device.WaitCommEvent(&events, aborts, 10), WaitResult::kError);
}

}  // namespace
}  // namespace platform::serial
