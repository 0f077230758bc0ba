// Test support for the serial tests of this room and of the dial backup: a fixture
// that opens a pseudo-terminal whose master the test holds, while the code under
// test opens the slave (SlavePath). The master is non-blocking.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace platform_serial_testing {

class PtyFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    m_Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(m_Master, 0);
    ASSERT_EQ(grantpt(m_Master), 0);
    ASSERT_EQ(unlockpt(m_Master), 0);
    m_SlavePath = ptsname(m_Master);
  }
  void TearDown() override { CloseMaster(); }

  int MasterFd() const { return m_Master; }
  const std::string& SlavePath() const { return m_SlavePath; }

  // The other side goes away (the slave then sees a hang-up).
  void CloseMaster() {
    if (m_Master >= 0) close(m_Master);
    m_Master = -1;
  }
  void MasterWrite(const std::string& bytes) {
    ASSERT_EQ(write(m_Master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the master reads within ms, once at least `want` bytes have come.
  std::string MasterRead(size_t want, int ms = 1000) {
    std::string got;
    const auto t0 = std::chrono::steady_clock::now();
    while (got.size() < want && std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(ms)) {
      char buf[4096];
      const ssize_t n = read(m_Master, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
      else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
  }

 private:
  int m_Master = -1;
  std::string m_SlavePath;
};

}  // namespace platform_serial_testing
