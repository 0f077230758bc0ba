#include "app/pipe/ui_thread_call.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

// Pumps the calling (owner) thread until done is set, at most ms.
bool PumpUntilSet(platform::Event& done, uint32_t ms) {
  platform::Event* events[] = {&done};
  return platform::window::PumpMessagesAndWait(events, ms) == 0;
}

TEST(UiThreadCallTest, RunsOnTheOwnerThreadWhileItPumps) {
  CUiThreadCall ui;
  const std::thread::id owner = std::this_thread::get_id();
  std::thread::id ran_on;
  bool result = false;
  platform::Event done(platform::Event::Mode::kManualReset);
  std::thread caller([&] {
    result = ui.Run([&] { ran_on = std::this_thread::get_id(); }, nullptr, 5000);
    done.Set();
  });
  EXPECT_TRUE(PumpUntilSet(done, 5000));
  caller.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(ran_on, owner);

  // On the owner thread itself the function runs at once.
  bool direct = false;
  EXPECT_TRUE(ui.Run([&] { direct = true; }, nullptr, 0));
  EXPECT_TRUE(direct);
}

TEST(UiThreadCallTest, AnUntakenCallIsWithdrawnOnTimeOutOrAbort) {
  CUiThreadCall ui;
  platform::Event abort(platform::Event::Mode::kManualReset);
  struct Case {
    const char* what;
    bool set_abort;
    uint32_t timeout_ms;
  } cases[] = {{"time-out", false, 50}, {"abort", true, 5000}};
  for (const Case& c : cases) {
    abort.Reset();
    std::atomic<bool> ran{false};
    bool result = true;
    const auto start = Clock::now();
    std::thread caller([&] { result = ui.Run([&] { ran = true; }, &abort, c.timeout_ms); });
    if (c.set_abort) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      abort.Set();
    }
    caller.join();  // the owner does not pump meanwhile
    EXPECT_FALSE(result) << c.what;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << c.what;
    platform::window::DispatchPending();  // the posted wake-up finds nothing to run
    EXPECT_FALSE(ran) << c.what;
  }
}

}  // namespace
