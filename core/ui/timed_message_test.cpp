#include "core/ui/timed_message.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sync/event.h"

namespace {

// Records what the rules hand to the boxes, and answers as told.
class FakeUi final : public CMessageUi {
 public:
  bool available = true;
  int ask_answer = IDYES;
  int box_answer = IDOK;
  bool close_during_box = false;

  struct Call {
    std::string kind;
    std::string text;
    int default_answer;
    uint32_t timeout_ms;
    unsigned style;
  };
  std::vector<Call> calls;
  int modal_ends = 0;

  bool Available() const override { return available; }
  void ShowTimed(const std::string& text, uint32_t timeoutMs) override {
    calls.push_back({"show", text, 0, timeoutMs, 0});
  }
  int AskTimed(const std::string& text, int defaultAnswer, uint32_t timeoutMs) override {
    calls.push_back({"ask", text, defaultAnswer, timeoutMs, 0});
    return ask_answer;
  }
  int ShowMessageBox(const std::string& text, unsigned style) override {
    calls.push_back({"box", text, 0, 0, style});
    if (close_during_box) RequestCloseFromOutside();
    return box_answer;
  }
  void EndModalDialogs() override { ++modal_ends; }
};

class TimedMessageTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallMessageUi(&ui_); }
  void TearDown() override {
    InstallMessageUi(nullptr);
    ClearCloseRequest();
  }
  FakeUi ui_;
};

// Without a UI (none installed, or one that cannot show anything) and in silent mode
// nothing is shown: a question takes Yes when Yes is its default and No otherwise,
// a plain box its cautious answer.
TEST_F(TimedMessageTest, NothingShownTakesTheDefaultsAndTheCautiousAnswers) {
  enum class Setting { kNoUi, kUiUnavailable, kSilent };
  for (Setting setting : {Setting::kNoUi, Setting::kUiUnavailable, Setting::kSilent}) {
    SCOPED_TRACE(static_cast<int>(setting));
    ui_.calls.clear();
    InstallMessageUi(setting == Setting::kNoUi ? nullptr : &ui_);
    ui_.available = setting != Setting::kUiUnavailable;
    const bool silent = setting == Setting::kSilent;
    struct { int given, taken; } defaults[] = {{IDYES, IDYES}, {IDNO, IDNO}, {IDOK, IDNO}, {0, IDNO}};
    for (const auto& d : defaults) EXPECT_EQ(AskTimed("Retry?", silent, d.given, 5000), d.taken) << d.given;
    ShowTimedMessage("Failed to start TCP/IP Server!", false, silent, 0);
    if (setting != Setting::kSilent) {
      struct { unsigned style, answer; } cautious[] = {{0x00, IDOK},     {0x01, IDCANCEL}, {0x02, IDABORT},
                                                       {0x03, IDCANCEL}, {0x24, IDNO},     {0x05, IDCANCEL}};
      for (const auto& c : cautious) EXPECT_EQ(ShowMessageBox("Try Again?", c.style), static_cast<int>(c.answer));
    }
    EXPECT_TRUE(ui_.calls.empty());
  }
}

// With a UI the rules hand over the text, the default (always 6 or 7) and the
// time-out (a negative one is none), and give back the UI's answer.
TEST_F(TimedMessageTest, TheInstalledUiShowsAndAnswers) {
  ui_.ask_answer = IDNO;
  EXPECT_EQ(AskTimed("Retry?", false, IDYES, 5000), IDNO);
  ui_.ask_answer = IDYES;
  EXPECT_EQ(AskTimed("Are you SURE?", false, IDOK, -1), IDYES);
  ShowTimedMessage("Interfaces Stopped.", false, false, 3000);
  ShowTimedMessage("Configuration not Set!", false, false, -20);
  ui_.box_answer = IDRETRY;
  EXPECT_EQ(ShowMessageBox("Parameter Load Failed", 0x25), IDRETRY);
  ASSERT_EQ(ui_.calls.size(), 5u);
  const FakeUi::Call expected[] = {{"ask", "Retry?", IDYES, 5000, 0},
                                   {"ask", "Are you SURE?", IDNO, 0, 0},
                                   {"show", "Interfaces Stopped.", 0, 3000, 0},
                                   {"show", "Configuration not Set!", 0, 0, 0},
                                   {"box", "Parameter Load Failed", 0, 0, 0x25}};
  for (size_t i = 0; i < ui_.calls.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ui_.calls[i].kind, expected[i].kind);
    EXPECT_EQ(ui_.calls[i].text, expected[i].text);
    EXPECT_EQ(ui_.calls[i].default_answer, expected[i].default_answer);
    EXPECT_EQ(ui_.calls[i].timeout_ms, expected[i].timeout_ms);
    EXPECT_EQ(ui_.calls[i].style, expected[i].style);
  }
}

// A close request from outside ends the modal dialogs once, and from then on no box
// is shown: questions take their defaults, plain boxes their cautious answers, also
// a box that was up when the request came.
TEST_F(TimedMessageTest, ACloseRequestFromOutsideEndsTheDialogsAndShowsNoMore) {
  ui_.close_during_box = true;
  ui_.box_answer = IDYES;
  EXPECT_EQ(ShowMessageBox("Try Again?", 0x24), IDNO);
  EXPECT_TRUE(CloseRequested());
  EXPECT_EQ(ui_.modal_ends, 1);
  ui_.calls.clear();
  EXPECT_EQ(AskTimed("Retry?", false, IDYES, 0), IDYES);
  EXPECT_EQ(AskTimed("Retry?", false, IDNO, 0), IDNO);
  ShowTimedMessage("Server Shutdown", false, false, 0);
  EXPECT_EQ(ShowMessageBox("Select the item you wish to Edit."), IDOK);
  EXPECT_TRUE(ui_.calls.empty());
  ClearCloseRequest();
  EXPECT_FALSE(CloseRequested());
}

// The wait of the GUI thread: the index of the signalled handle; -1 without handles.
TEST_F(TimedMessageTest, PumpMessagesAndWaitReturnsTheSignalledHandle) {
  platform::Event first(platform::Event::Mode::kManualReset);
  platform::Event second(platform::Event::Mode::kManualReset, true);
  platform::Event* handles[] = {&first, &second};
  EXPECT_EQ(PumpMessagesAndWait(2, handles), 1);
  EXPECT_EQ(PumpMessagesAndWait(0, handles), -1);
  EXPECT_EQ(PumpMessagesAndWait(2, nullptr), -1);
}

}  // namespace
