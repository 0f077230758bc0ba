#include "platform/window/window.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace platform::window {
namespace {

struct Recorder {
  std::vector<std::pair<uint32_t, WPARAM>> seen;
  std::thread::id thread;
  WindowHandle Create() {
    return CreateWindowHandle([this](uint32_t m, WPARAM w, LPARAM) -> LRESULT {
      seen.emplace_back(m, w);
      thread = std::this_thread::get_id();
      return static_cast<LRESULT>(w) * 2;
    });
  }
};

class WindowTest : public ::testing::Test {
 protected:
  void TearDown() override {
    while (DispatchPending()) break;
    ClearQuit();
  }
};

TEST_F(WindowTest, PostsFromOtherThreadsArriveInOrderOnTheOwner) {
  Recorder r;
  const WindowHandle w = r.Create();
  std::thread poster([&] {
    for (WPARAM i = 0; i < 100; ++i) ASSERT_TRUE(PostMessage(w, WM_APP + 4, i, 0));
  });
  poster.join();
  EXPECT_TRUE(DispatchPending());
  ASSERT_EQ(r.seen.size(), 100u);
  for (size_t i = 0; i < r.seen.size(); ++i) EXPECT_EQ(r.seen[i].second, i);
  EXPECT_EQ(r.thread, std::this_thread::get_id());
  DestroyWindowHandle(w);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(PostMessage(w, WM_APP, 0, 0));
}

TEST_F(WindowTest, PumpReturnsTheSignalledIndexAfterDispatchingEarlierMessages) {
  Recorder r;
  const WindowHandle w = r.Create();
  Event first(Event::Mode::kManualReset), second(Event::Mode::kAutoReset);
  std::thread worker([&] {
    PostMessage(w, WM_APP + 5, 1, 0);
    PostMessage(w, WM_APP + 5, 2, 0);
    second.Set();
  });
  Event* events[] = {&first, &second};
  EXPECT_EQ(PumpMessagesAndWait(events, 5000), 1);
  worker.join();
  DispatchPending();
  ASSERT_EQ(r.seen.size(), 2u);
  EXPECT_FALSE(second.IsSet());  // the auto-reset event was consumed
  DestroyWindowHandle(w);
}

TEST_F(WindowTest, MessagesPostedBeforeASignalAreDispatchedBeforeTheWaitReturns) {
  Recorder r;
  const WindowHandle w = r.Create();
  Event done(Event::Mode::kManualReset);
  PostMessage(w, WM_APP + 6, 7, 0);
  done.Set();
  Event* events[] = {&done};
  EXPECT_EQ(PumpMessagesAndWait(events, 1000), 0);
  ASSERT_EQ(r.seen.size(), 1u);
  EXPECT_EQ(r.seen[0].second, 7u);
  DestroyWindowHandle(w);
}

TEST_F(WindowTest, QuitEndsNestedPumpsAndStaysPendingForTheOutermostLoop) {
  Event never(Event::Mode::kManualReset);
  Event* events[] = {&never};
  int inner = 0, depth_inside = -1;
  const WindowHandle quitter = CreateWindowHandle([](uint32_t, WPARAM, LPARAM) -> LRESULT {
    PostQuitMessage(3);
    return 0;
  });
  const WindowHandle nest = CreateWindowHandle([&](uint32_t, WPARAM, LPARAM) -> LRESULT {
    // A pump started from a handler, as a modal wait would be.
    inner = PumpMessagesAndWait(events, 5000);
    depth_inside = PumpDepth();
    EXPECT_TRUE(QuitPending());
    return 0;
  });
  PostMessage(nest, WM_APP, 0, 0);
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessage(quitter, WM_APP, 0, 0);
  });
  const int outer_code = RunMessageLoop();
  poster.join();
  EXPECT_EQ(inner, kPumpQuit);
  EXPECT_EQ(depth_inside, 0);
  EXPECT_EQ(outer_code, 3);
  EXPECT_FALSE(QuitPending());
  EXPECT_EQ(PumpMessagesAndWait(events, 0), kWaitTimeout);
  DestroyWindowHandle(nest);
  DestroyWindowHandle(quitter);
}

TEST_F(WindowTest, PumpWithAPendingQuitReturnsAtOnceAndKeepsIt) {
  PostQuitMessage(0);
  Event never(Event::Mode::kManualReset);
  Event* events[] = {&never};
  EXPECT_EQ(PumpMessagesAndWait(events, 5000), kPumpQuit);
  EXPECT_EQ(PumpMessagesAndWait(events, 5000), kPumpQuit);
  EXPECT_FALSE(PumpUntil([] { return false; }));
  EXPECT_TRUE(QuitPending());
}

TEST_F(WindowTest, TimersTickWhileTheOwnerPumpsAndStopWhenKilled) {
  int ticks = 0;
  WindowHandle w = 0;
  w = CreateWindowHandle([&](uint32_t m, WPARAM id, LPARAM) -> LRESULT {
    if (m == WM_TIMER && id == 9 && ++ticks == 3) KillTimer(w, 9);
    return 0;
  });
  ASSERT_EQ(SetTimer(w, 9, 10), 9u);
  EXPECT_NE(MsUntilNextTimer(), kInfinite);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  Event never(Event::Mode::kManualReset);
  Event* events[] = {&never};
  EXPECT_EQ(PumpMessagesAndWait(events, 50), kWaitTimeout);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(MsUntilNextTimer(), kInfinite);
  DestroyWindowHandle(w);
}

TEST_F(WindowTest, SetTimerOnlyOnTheOwnerThread) {
  const WindowHandle w = CreateWindowHandle([](uint32_t, WPARAM, LPARAM) -> LRESULT { return 0; });
  uintptr_t from_other = 1;
  std::thread t([&] { from_other = SetTimer(w, 1, 10); });
  t.join();
  EXPECT_EQ(from_other, 0u);
  DestroyWindowHandle(w);
  EXPECT_EQ(SetTimer(w, 1, 10), 0u);
}

TEST_F(WindowTest, SendMessageRunsOnTheOwnerAndReturnsItsResult) {
  Recorder r;
  const WindowHandle w = r.Create();
  EXPECT_EQ(SendMessage(w, WM_APP + 3, 21, 0), 42);  // same thread: direct call

  std::atomic<LRESULT> result{0};
  std::thread sender([&] { result = SendMessage(w, WM_APP + 3, 5, 0); });
  EXPECT_TRUE(PumpUntil([&] { return r.seen.size() == 2; }));
  sender.join();
  EXPECT_EQ(result, 10);
  EXPECT_EQ(r.thread, std::this_thread::get_id());

  // A send to a window destroyed before it was dispatched returns 0 instead of hanging.
  result = -1;
  std::thread late([&] { result = SendMessage(w, WM_APP + 3, 8, 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  DestroyWindowHandle(w);
  late.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(SendMessage(w, WM_APP, 1, 0), 0);
}

}  // namespace
}  // namespace platform::window
