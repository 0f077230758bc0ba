#include "app/qt/timed_message_box.h"

#include <chrono>
#include <thread>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QDialog>
#include <QFontMetrics>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include "app/qt/qt_driver.h"

namespace {

int g_argc = 1;
char g_arg0[] = "timed_message_box_test";
char* g_argv[] = {g_arg0, nullptr};

class TimedMessageBoxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) new QApplication(g_argc, g_argv);
    InstallQtMessageUi();
  }
  void SetUp() override {
    driver_ = std::make_unique<app_qt::QtPumpDriver>();
    CTimedMessageBox::SetSecondMsForTesting(60);
    // A guard so that a box that never answers fails the test instead of hanging it.
    guard_ = new QTimer;
    guard_->setSingleShot(true);
    QObject::connect(guard_, &QTimer::timeout, [] { platform::window::PostQuitMessage(99); });
    guard_->start(10000);
  }
  void TearDown() override {
    delete guard_;
    SetMainWindow(nullptr);
    ClearCloseRequest();
    platform::window::ClearQuit();
    CTimedMessageBox::SetSecondMsForTesting(1000);
    driver_.reset();
  }

  // The box currently running, if any.
  static CTimedMessageBox* ActiveBox() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<CTimedMessageBox*>(w); box && box->Exists()) return box;
    }
    return nullptr;
  }

  static void ClickLeft(QWidget* button) {
    const QPointF at(button->width() / 2.0, button->height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, at, button->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, button->mapToGlobal(at), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(button, &press);
    QCoreApplication::sendEvent(button, &release);
  }

  // Calls f with the running box, after delay_ms, on the GUI thread.
  static void WithBoxAfter(int delay_ms, std::function<void(CTimedMessageBox*)> f) {
    QTimer::singleShot(delay_ms, [f] {
      CTimedMessageBox* box = ActiveBox();
      ASSERT_NE(box, nullptr);
      f(box);
    });
  }

  std::unique_ptr<app_qt::QtPumpDriver> driver_;
  QTimer* guard_ = nullptr;
};

TEST_F(TimedMessageBoxTest, SilentAskReturnsTheDefaultAtOnceAndShowsNothing) {
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(AskTimed("Retry?", true, IDYES, 5000), IDYES);
  EXPECT_EQ(AskTimed("Retry?", true, IDNO, 0), IDNO);
  ShowTimedMessage("never shown", false, true, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_EQ(ActiveBox(), nullptr);
}

TEST_F(TimedMessageBoxTest, CountdownRunsDownToOneAndTakesTheDefault) {
  std::vector<QString> shown;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    if (CTimedMessageBox* box = ActiveBox()) {
      const QString text = box->StatusControl()->text();
      if (box->StatusControl()->isVisible() && (shown.empty() || shown.back() != text)) shown.push_back(text);
    }
  });
  sampler.start(2);
  EXPECT_EQ(AskTimed("Connection failed. Retry?", false, IDNO, 5000), IDNO);
  sampler.stop();
  const std::vector<QString> expected = {
      "5 seconds until \"No\" is automatically selected", "4 seconds until \"No\" is automatically selected",
      "3 seconds until \"No\" is automatically selected", "2 seconds until \"No\" is automatically selected",
      "1 seconds until \"No\" is automatically selected"};
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(ActiveBox(), nullptr);
}

TEST_F(TimedMessageBoxTest, ClicksAnswerAndKeysDoNot) {
  struct Case {
    int default_answer;
    bool click_yes;
    int expected;
  } cases[] = {{IDNO, true, IDYES}, {IDYES, false, IDNO}};
  for (const Case& c : cases) {
    WithBoxAfter(30, [&](CTimedMessageBox* box) {
      EXPECT_TRUE(box->YesButton()->isVisible());
      EXPECT_EQ((c.default_answer == IDYES ? box->YesButton() : box->NoButton())->isDefault(), true);
      // Enter and Escape are ignored.
      QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QCoreApplication::sendEvent(box, &enter);
      QCoreApplication::sendEvent(box, &escape);
      ClickLeft(c.click_yes ? box->YesButton() : box->NoButton());
    });
    EXPECT_EQ(AskTimed("Question?", false, c.default_answer, 0), c.expected);
  }
}

TEST_F(TimedMessageBoxTest, KeysAloneLeaveTheTimeOutToAnswer) {
  WithBoxAfter(20, [](CTimedMessageBox* box) {
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(box, &enter);
  });
  EXPECT_EQ(AskTimed("Question?", false, IDYES, 300), IDYES);
}

TEST_F(TimedMessageBoxTest, ShortTimeOutHidesTheStatusLineAndTakesTheDefault) {
  bool status_visible = true;
  WithBoxAfter(100, [&](CTimedMessageBox* box) { status_visible = box->StatusControl()->isVisible(); });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(AskTimed("Question?", false, IDYES, 1500), IDYES);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_FALSE(status_visible);
  EXPECT_GE(ms, 1400);
  EXPECT_LT(ms, 5000);
}

TEST_F(TimedMessageBoxTest, MessageWithoutTimeOutWaitsForOkEvenInTheTray) {
  QMainWindow frame;
  SetMainWindow(&frame);  // never shown: the server sits in the tray
  bool checked = false;
  WithBoxAfter(50, [&](CTimedMessageBox* box) {
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->YesButton()->isVisible());
    EXPECT_EQ(box->NoButton()->text(), "OK");
    EXPECT_FALSE(frame.isEnabled());
    checked = true;
    ClickLeft(box->NoButton());
  });
  ShowTimedMessage("Failed to start TCP/IP Server!", false, false, 0);
  EXPECT_TRUE(checked);
  EXPECT_TRUE(frame.isEnabled());
}

TEST_F(TimedMessageBoxTest, TimedBoxStaysHiddenWhileTheMainWindowIsHidden) {
  QMainWindow frame;
  SetMainWindow(&frame);
  bool visible = true;
  WithBoxAfter(20, [&](CTimedMessageBox* box) { visible = box->isVisible(); });
  EXPECT_EQ(AskTimed("Question?", false, IDNO, 200), IDNO);
  EXPECT_FALSE(visible);
}

TEST_F(TimedMessageBoxTest, TextUpToFortyCharactersIsCentred) {
  CTimedMessageBox box;
  ASSERT_TRUE(CreateTimedMessageBox(box));
  EXPECT_FALSE(box.windowTitle().isNull());
  box.SetText(std::string(40, 'a'));
  EXPECT_TRUE(box.MessageControl()->alignment() & Qt::AlignHCenter);
  box.SetText(std::string(41, 'a'));
  EXPECT_TRUE(box.MessageControl()->alignment() & Qt::AlignLeft);
  EXPECT_EQ(box.StatusControl()->text(), "Please Wait . . .");
  box.DestroyWindow();
}

// The box belongs to the window that opened it: the main window, or the dialog
// given as parent. It is transient for that window, which it holds disabled, and
// it comes forward when that window is activated.
TEST_F(TimedMessageBoxTest, TheBoxIsOwnedByTheMainWindowOrTheDialogThatOpenedIt) {
  QMainWindow frame;
  frame.show();
  SetMainWindow(&frame);
  QDialog setup;
  setup.show();
  struct Case {
    const char* name;
    QWidget* parent;
    QWidget* owner;
  } cases[] = {{"no parent: the main window", nullptr, &frame}, {"the Setup dialog", &setup, &setup}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTimedMessageBox box;
    ASSERT_TRUE(box.Create(c.parent));
    EXPECT_EQ(box.Owner(), c.owner);
    ASSERT_NE(box.windowHandle(), nullptr);
    EXPECT_EQ(box.windowHandle()->transientParent(), c.owner->windowHandle());
    EXPECT_FALSE(c.owner->isEnabled());
    EXPECT_TRUE(box.isEnabled());
    EXPECT_TRUE(box.isVisible());
    // The owner comes to the front: the box follows it there.
    c.owner->activateWindow();
    c.owner->raise();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(c.owner->windowHandle(), &press);
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeWindow(), &box);
    box.DestroyWindow();
    EXPECT_TRUE(c.owner->isEnabled());
  }
}

// The box is centred over its owner when it is shown, and again when the owner moves
// (the window manager places a window that was just mapped after the box came up).
TEST_F(TimedMessageBoxTest, TheBoxIsCentredOverItsOwnerAndFollowsItsMoves) {
  QMainWindow frame;
  frame.resize(640, 420);
  frame.move(100, 60);
  frame.show();
  SetMainWindow(&frame);
  CTimedMessageBox box;
  ASSERT_TRUE(box.Create(nullptr));
  QCoreApplication::processEvents();
  auto expect_centred = [&box, &frame] {
    const QPoint box_centre = box.frameGeometry().center();
    const QPoint owner_centre = frame.frameGeometry().center();
    EXPECT_LE(std::abs(box_centre.x() - owner_centre.x()), 1) << box_centre.x() << " " << owner_centre.x();
    EXPECT_LE(std::abs(box_centre.y() - owner_centre.y()), 1) << box_centre.y() << " " << owner_centre.y();
  };
  {
    SCOPED_TRACE("shown");
    expect_centred();
  }
  frame.move(180, 120);
  QCoreApplication::processEvents();
  {
    SCOPED_TRACE("after the owner moved");
    expect_centred();
  }
  box.DestroyWindow();
}

// A question asked while the progress box shows: a click on the owner brings both
// forward, the question last, so the question keeps the focus above the progress box.
TEST_F(TimedMessageBoxTest, AClickOnTheOwnerKeepsTheNewestBoxInFront) {
  QMainWindow frame;
  frame.show();
  SetMainWindow(&frame);
  CTimedMessageBox progress;
  ASSERT_TRUE(progress.Create(nullptr));
  CTimedMessageBox question;
  ASSERT_TRUE(question.Create(nullptr));
  for (QWidget* clicked : {static_cast<QWidget*>(&frame), static_cast<QWidget*>(&progress)}) {
    SCOPED_TRACE(clicked == &frame ? "the owner clicked" : "the progress box activated first");
    if (clicked == &frame) {
      frame.activateWindow();
      QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                        Qt::NoModifier);
      QCoreApplication::sendEvent(frame.windowHandle(), &press);
    } else {
      progress.activateWindow();
      frame.activateWindow();
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeWindow(), &question);
  }
  question.DestroyWindow();
  // With the question gone, the progress box is the one that comes forward.
  frame.activateWindow();
  QCoreApplication::processEvents();
  EXPECT_EQ(QApplication::activeWindow(), &progress);
  progress.DestroyWindow();
}

// A plain message asked while a window shows its progress box belongs to that box,
// so that the window system keeps the progress box above the window with it.
TEST_F(TimedMessageBoxTest, APlainMessageDuringAProgressBoxBelongsToTheBox) {
  QMainWindow frame;
  frame.show();
  SetMainWindow(&frame);
  QDialog setup(&frame);
  setup.show();
  setup.activateWindow();
  QCoreApplication::processEvents();
  CTimedMessageBox progress;
  ASSERT_TRUE(progress.Create(&setup));
  QWidget* parent_seen = nullptr;
  QTimer::singleShot(50, [&parent_seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    parent_seen = box->parentWidget();
    box->done(QMessageBox::No);
  });
  EXPECT_EQ(ShowMessageBox("Parameter Load Failed - \r\n\r\n  Try Again?", 0x24), IDNO);
  EXPECT_EQ(parent_seen, &progress);
  progress.DestroyWindow();
  // Without a progress box the message belongs to the window itself.
  setup.activateWindow();
  QCoreApplication::processEvents();
  parent_seen = nullptr;
  QTimer::singleShot(50, [&parent_seen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    parent_seen = box->parentWidget();
    box->done(QMessageBox::Ok);
  });
  EXPECT_EQ(ShowMessageBox("Select the item you wish to Edit."), IDOK);
  EXPECT_EQ(parent_seen, &setup);
}

// The longest failure texts of the interfaces, as the start shows them, fit whole:
// the message area is as tall as the wrapped text (long words broken too), and the
// status line and the buttons stay below it, inside the box.
TEST_F(TimedMessageBoxTest, TheLongestFailureTextsShowWhole) {
  const std::string retry = "\r\n   Retry?";
  const std::string texts[] = {
      "Failed to Connect to Elavon!\nDNS Lookup of 'gateway.elavon.com' Failed with Error 11002." + retry,
      "Failed to Connect to Elavon!\nDNS Lookup of 'an-unusually-long-gateway-host-name.payments.example.invalid' "
      "Failed with Error 11002." + retry,
      "Failed to Connect to Elavon!\nVerifyCertificateChain Failed (F) - Error = -2146762481 more: SSL Certificate "
      "Common Name Does Not Match." + retry,
      "Failed to Connect to Elavon!\nVerifyServerCertificate Failed (C) - The target principal name is incorrect." +
          retry,
      "Failed to Connect to Elavon!\nTimeout Waiting for Verifiable Packet from Host (ReceiveAndDecrypt)" + retry,
      "Could Not Start Crypto API \r\nEnsure that 128 bit encryption is installed.- FATAL Error!!",
      "There are requests in Process.\rAre you SURE you want to do this?\r\r",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    bool checked = false;
    WithBoxAfter(30, [&](CTimedMessageBox* box) {
      checked = true;
      CMessageText* message = box->MessageControl();
      // Laid out independently of the box: every line of every paragraph, broken
      // at words and inside words that are too wide.
      QString shown = QString::fromStdString(text);
      shown.replace("\r\n", "\n").replace('\r', '\n');
      const QFontMetrics metrics(message->font());
      int needed = 0;
      for (const QString& paragraph : shown.split('\n')) {
        const QRect r = metrics.boundingRect(QRect(0, 0, message->width(), 100000),
                                             Qt::TextWordWrap | Qt::TextWrapAnywhere, paragraph.isEmpty() ? " " : paragraph);
        needed += std::max(r.height(), metrics.lineSpacing());
      }
      EXPECT_GE(message->height() + 2, needed);
      // The last word of the question is inside the message area.
      EXPECT_LE(message->geometry().bottom(), box->StatusControl()->geometry().top());
      EXPECT_LE(box->StatusControl()->geometry().bottom(), box->YesButton()->geometry().top());
      EXPECT_EQ(box->YesButton()->geometry().top(), box->NoButton()->geometry().top());
      EXPECT_LE(box->NoButton()->geometry().bottom(), box->height());
      EXPECT_LE(box->NoButton()->geometry().right(), box->width());
      EXPECT_LT(box->YesButton()->geometry().right(), box->NoButton()->geometry().left());
      ClickLeft(box->YesButton());
    });
    EXPECT_EQ(AskTimed(text, false, IDNO, 0), IDYES);
    EXPECT_TRUE(checked);
  }
}

// A close request from outside ends a waiting box with its default answer, later
// boxes answer their default at once, and a modal dialog is closed.
TEST_F(TimedMessageBoxTest, ACloseRequestFromOutsideEndsTheWaitingBoxesWithTheirDefaults) {
  QTimer::singleShot(30, [] { RequestCloseFromOutside(); });
  EXPECT_EQ(AskTimed("There are requests in Process.\rAre you SURE you want to do this?\r\r", false, IDYES, 0), IDYES);
  EXPECT_FALSE(platform::window::QuitPending());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(AskTimed("Retry?", false, IDNO, 0), IDNO);
  ShowTimedMessage("Error Stopping TCP/IP Accept thread!", false, false, 0);
  EXPECT_EQ(ShowMessageBox("Try Again?", 0x24), IDNO);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_EQ(ActiveBox(), nullptr);

  ClearCloseRequest();
  QDialog dialog;
  QTimer::singleShot(30, [] { RequestCloseFromOutside(); });
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);
}

TEST_F(TimedMessageBoxTest, QuitEndsTheBoxWithTheDefaultAndStaysPending) {
  QTimer::singleShot(30, [] { platform::window::PostQuitMessage(0); });
  EXPECT_EQ(AskTimed("Question?", false, IDYES, 0), IDYES);
  EXPECT_TRUE(platform::window::QuitPending());
}

TEST_F(TimedMessageBoxTest, PumpMessagesAndWaitDispatchesThenReturnsTheSignalledIndex) {
  std::vector<int> seen;
  const auto window = platform::window::CreateWindowHandle(
      [&](uint32_t, platform::window::WPARAM w, platform::window::LPARAM) -> platform::window::LRESULT {
        seen.push_back(static_cast<int>(w));
        return 0;
      });
  platform::Event first(platform::Event::Mode::kManualReset), second(platform::Event::Mode::kManualReset);
  std::thread worker([&] {
    platform::window::PostMessage(window, platform::window::WM_APP + 4, 1, 0);
    platform::window::PostMessage(window, platform::window::WM_APP + 4, 2, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    second.Set();
  });
  platform::Event* handles[] = {&first, &second};
  EXPECT_EQ(PumpMessagesAndWait(2, handles), 1);
  worker.join();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));

  QTimer::singleShot(10, [] { platform::window::PostQuitMessage(0); });
  second.Reset();
  EXPECT_EQ(PumpMessagesAndWait(2, handles), -1);
  EXPECT_TRUE(platform::window::QuitPending());
  EXPECT_EQ(PumpMessagesAndWait(0, handles), -1);
  platform::window::DestroyWindowHandle(window);
}

}  // namespace
