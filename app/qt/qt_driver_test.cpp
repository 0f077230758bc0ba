#include "app/qt/qt_driver.h"

#include <chrono>
#include <thread>

#include <QApplication>
#include <QTimer>
#include <gtest/gtest.h>

namespace app_qt {
using namespace platform::window;
using platform::Event;
using platform::kInfinite;
using platform::kWaitTimeout;
namespace {

int g_argc = 1;
char g_arg0[] = "qt_driver_test";
char* g_argv[] = {g_arg0, nullptr};

QApplication& App() {
  static QApplication* app = new QApplication(g_argc, g_argv);
  return *app;
}

TEST(QtDriverTest, QtLoopDispatchesPostsAndTimersAndEndsOnQuit) {
  App();
  QtPumpDriver driver;
  std::vector<WPARAM> posted;
  int ticks = 0;
  WindowHandle w = 0;
  w = CreateWindowHandle([&](uint32_t m, WPARAM wp, LPARAM) -> LRESULT {
    if (m == WM_TIMER) {
      if (++ticks == 2) {
        KillTimer(w, 1);
        PostQuitMessage(4);
      }
    } else {
      posted.push_back(wp);
      if (posted.size() == 3) SetTimer(w, 1, 10);
    }
    return 0;
  });
  std::thread poster([&] {
    for (WPARAM i = 1; i <= 3; ++i) PostMessage(w, WM_APP + 4, i, 0);
  });
  // A guard so a fault ends the test instead of hanging it.
  QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
  const int code = QCoreApplication::exec();
  poster.join();
  EXPECT_EQ(code, 4);
  EXPECT_EQ(posted, (std::vector<WPARAM>{1, 2, 3}));
  EXPECT_EQ(ticks, 2);
  EXPECT_FALSE(QuitPending());
  DestroyWindowHandle(w);
}

TEST(QtDriverTest, NestedPumpKeepsQtTimersRunningAndWakesOnEvents) {
  App();
  QtPumpDriver driver;
  int qt_ticks = 0;
  QTimer qt_timer;
  QObject::connect(&qt_timer, &QTimer::timeout, [&] { ++qt_ticks; });
  qt_timer.start(5);
  Event done(Event::Mode::kManualReset);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    done.Set();
  });
  Event* events[] = {&done};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(PumpMessagesAndWait(events, 5000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  setter.join();
  EXPECT_GT(qt_ticks, 3);
  // A time-out is honoured while Qt has nothing to do.
  qt_timer.stop();
  done.Reset();
  EXPECT_EQ(PumpMessagesAndWait(events, 30), kWaitTimeout);
}

TEST(QtDriverTest, QuitInsideANestedPumpReachesTheQtLoop) {
  App();
  QtPumpDriver driver;
  Event never(Event::Mode::kManualReset);
  Event* events[] = {&never};
  int inner = 0;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(20, [] { PostQuitMessage(6); });
    inner = PumpMessagesAndWait(events, 5000);
  });
  QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
  EXPECT_EQ(QCoreApplication::exec(), 6);
  EXPECT_EQ(inner, kPumpQuit);
  EXPECT_FALSE(QuitPending());
}

}  // namespace
}  // namespace app_qt
