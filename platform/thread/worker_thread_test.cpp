#include "platform/thread/worker_thread.h"

#include <atomic>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(WorkerThreadTest, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<int> ran{0};
  WorkerThread t;
  ASSERT_TRUE(t.Start([&] { ++ran; return 7u; }, /*start_suspended=*/true));
  EXPECT_FALSE(t.ExitEvent().Wait(30));
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(t.ExitCode(), 259u);
  t.Resume();
  EXPECT_TRUE(t.Join(5000));
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(t.ExitCode(), 7u);
}

TEST(WorkerThreadTest, JoinTimesOutWhileTheBodyRunsAndCanBeRestarted) {
  Event release(Event::Mode::kManualReset);
  WorkerThread t;
  ASSERT_TRUE(t.Start([&] { release.Wait(kInfinite); return 1u; }));
  EXPECT_FALSE(t.Start([] { return 2u; }));  // one thread at a time
  EXPECT_FALSE(t.Join(20));
  EXPECT_TRUE(t.Running());
  release.Set();
  EXPECT_TRUE(t.Join(5000));
  ASSERT_TRUE(t.Start([] { return 2u; }));
  EXPECT_TRUE(t.Join(5000));
  EXPECT_EQ(t.ExitCode(), 2u);
}

TEST(WorkerThreadTest, DestructorEndsASuspendedThreadWithoutRunningIt) {
  std::atomic<int> ran{0};
  {
    WorkerThread t;
    ASSERT_TRUE(t.Start([&] { ++ran; return 0u; }, true));
  }
  EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace platform
