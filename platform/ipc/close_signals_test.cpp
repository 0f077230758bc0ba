#include "platform/ipc/close_signals.h"

#include <poll.h>
#include <signal.h>

#include <gtest/gtest.h>

namespace {

bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

// Each signal becomes one byte to take; the process goes on.
TEST(CloseSignalsTest, EachSignalIsOneByteToTake) {
  const int fd = platform::ipc::InstallCloseSignals();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(platform::ipc::InstallCloseSignals(), fd);  // once per process
  EXPECT_FALSE(Readable(fd, 0));
  for (int sig : {SIGTERM, SIGINT}) {
    ASSERT_EQ(::raise(sig), 0);
    ASSERT_TRUE(Readable(fd, 1000)) << sig;
    EXPECT_TRUE(platform::ipc::TakeCloseSignal(fd));
    EXPECT_FALSE(Readable(fd, 0));
  }
}

}  // namespace
