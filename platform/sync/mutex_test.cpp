#include "platform/sync/mutex.h"

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A counter and a flag guarded by one mutex, as the shared objects keep them.
struct Guarded {
  Mutex mu;
  CondVar changed;
  int count GUARDED_BY(mu) = 0;
  bool ready GUARDED_BY(mu) = false;

  void Increment() EXCLUDES(mu) {
    MutexLock lock(mu);
    ++count;
  }
  int Count() EXCLUDES(mu) {
    MutexLock lock(mu);
    return count;
  }
  void MakeReady() EXCLUDES(mu) {
    {
      MutexLock lock(mu);
      ready = true;
    }
    changed.NotifyAll();
  }
  // True when ready came before the deadline.
  bool WaitReady(steady_clock::time_point deadline) EXCLUDES(mu) {
    MutexLock lock(mu);
    while (!ready && changed.WaitUntil(mu, deadline)) {
    }
    return ready;
  }
};

TEST(MutexTest, LockSerialisesUpdatesFromManyThreads) {
  Guarded g;
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&g] {
      for (int i = 0; i < kEach; ++i) g.Increment();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(g.Count(), kThreads * kEach);
}

TEST(MutexTest, LockIsReleasedAtTheEndOfItsScope) {
  Guarded g;
  g.Increment();
  // A second thread gets the mutex: the scoped lock above has let it go.
  std::thread other([&g] { g.Increment(); });
  other.join();
  EXPECT_EQ(g.Count(), 2);
}

TEST(CondVarTest, WaitUntilGivesUpAtTheDeadlineAndHoldsTheMutexAgain) {
  Guarded g;
  const auto start = steady_clock::now();
  EXPECT_FALSE(g.WaitReady(start + milliseconds(50)));
  const auto spent = std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_GE(spent, 45);
  EXPECT_LT(spent, 2000);
  // The wait returned with the mutex held and released it with its scope.
  g.Increment();
  EXPECT_EQ(g.Count(), 1);
}

TEST(CondVarTest, NotifyWakesAWaiterBeforeItsDeadline) {
  Guarded g;
  const auto start = steady_clock::now();
  std::thread setter([&g] {
    std::this_thread::sleep_for(milliseconds(20));
    g.MakeReady();
  });
  EXPECT_TRUE(g.WaitReady(start + milliseconds(5000)));
  setter.join();
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count(), 4000);
}

TEST(CondVarTest, AConditionAlreadyTrueNeedsNoNotify) {
  Guarded g;
  g.MakeReady();
  EXPECT_TRUE(g.WaitReady(steady_clock::now()));
}

TEST(CondVarTest, WaitReturnsOnceNotifiedWithTheMutexHeld) {
  Guarded g;
  std::thread setter([&g] { g.MakeReady(); });
  {
    MutexLock lock(g.mu);
    while (!g.ready) g.changed.Wait(g.mu);
    ++g.count;  // still under the mutex
  }
  setter.join();
  EXPECT_EQ(g.Count(), 1);
}

}  // namespace
}  // namespace platform
