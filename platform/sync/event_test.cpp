#include "platform/sync/event.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sync/tick.h"

namespace platform {
namespace {

using Mode = Event::Mode;

TEST(EventTest, ManualResetStaysSetUntilReset) {
  Event e(Mode::kManualReset);
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(0));
  e.Reset();
  EXPECT_FALSE(e.Wait(0));
}

TEST(EventTest, AutoResetReleasesOneWait) {
  Event e(Mode::kAutoReset, true);
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0));
}

TEST(EventTest, WaitTimesOutWithinBounds) {
  Event e(Mode::kManualReset);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(e.Wait(50));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 45);
  EXPECT_LT(ms, 2000);
}

TEST(EventTest, SetFromAnotherThreadWakesTheWait) {
  Event e(Mode::kAutoReset);
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    e.Set();
  });
  EXPECT_TRUE(e.Wait(5000));
  t.join();
}

TEST(EventTest, WaitAnyReturnsLowestSignalledIndexAndConsumesOnlyIt) {
  Event a(Mode::kAutoReset), b(Mode::kAutoReset), c(Mode::kAutoReset);
  b.Set();
  c.Set();
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), 1);
  EXPECT_TRUE(c.IsSet());
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 0), 2);
  EXPECT_EQ(Event::WaitAny({&a, &b, &c}, 10), kWaitTimeout);
}

TEST(EventTest, PulseReleasesWaitsInProgressAndLeavesTheEventClear) {
  for (Mode mode : {Mode::kManualReset, Mode::kAutoReset}) {
    Event e(mode);
    e.Set();
    e.Pulse();  // no wait in progress: only clears
    EXPECT_FALSE(e.IsSet());

    std::atomic<bool> woke{false};
    std::thread t([&] { woke = e.Wait(5000); });
    // Pulse until the waiter has been released; a pulse before it attached is lost.
    for (int i = 0; i < 500 && !woke; ++i) {
      e.Pulse();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    t.join();
    EXPECT_TRUE(woke);
    EXPECT_FALSE(e.IsSet());
  }
}

TEST(TickTest, DifferencesSurviveTheWrap) {
  EXPECT_EQ(TickDiff(5u, 0xFFFFFFFBu), 10u);
  EXPECT_EQ(TickDiff(1000u, 400u), 600u);
}

TEST(TickTest, OverrideReplacesAndRestoresTheClock) {
  struct Fixed : Clock {
    uint32_t TickCount() override { return 42; }
    time_t Now() override { return 1000; }
  } fixed;
  {
    ScopedClockOverride use(&fixed);
    EXPECT_EQ(TickCount(), 42u);
    EXPECT_EQ(Now(), 1000);
    // Waits keep real time even under a frozen clock.
    Event e(Event::Mode::kManualReset);
    EXPECT_FALSE(e.Wait(10));
  }
  EXPECT_NE(Now(), 1000);
}

}  // namespace
}  // namespace platform
