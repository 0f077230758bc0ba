#include "core/ui/timed_message.h"

#include <cstdio>
#include <span>

#include "core/log/logger.h"
#include "platform/window/window.h"

namespace {

CMessageUi* g_ui = nullptr;
bool g_close_requested = false;

bool HaveUi() { return g_ui != nullptr && g_ui->Available(); }

// A message that is shown also goes to stderr, one line, so that it is read where
// no one sees the screen (Qt's offscreen platform, a terminal start).
void EchoToStderr(const std::string& text) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    line.push_back(text[i] == '\r' || text[i] == '\n' ? ' ' : text[i]);
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

// What a plain message box answers when no one can be asked.
int CautiousAnswer(unsigned buttons) {
  switch (buttons) {
    case 0: return IDOK;
    case 2: return IDABORT;
    case 4: return IDNO;
    default: return IDCANCEL;
  }
}

uint32_t TimeoutMs(int timeoutMs) { return static_cast<uint32_t>(timeoutMs < 0 ? 0 : timeoutMs); }

}  // namespace

void InstallMessageUi(CMessageUi* ui) { g_ui = ui; }
CMessageUi* InstalledMessageUi() { return g_ui; }

void RequestCloseFromOutside() {
  g_close_requested = true;
  if (HaveUi()) g_ui->EndModalDialogs();
}
bool CloseRequested() { return g_close_requested; }
void ClearCloseRequest() { g_close_requested = false; }

void ShowTimedMessage(const std::string& text, bool log, bool silent, int timeoutMs) {
  if (log) GetLogger().LogLine("%s", text.c_str());
  if (silent) return;
  EchoToStderr(text);
  // After a close request from outside no one is waited for.
  if (!HaveUi() || g_close_requested) return;
  g_ui->ShowTimed(text, TimeoutMs(timeoutMs));
}

int AskTimed(const std::string& text, bool silent, int defaultAnswer, int timeoutMs) {
  // Anything but Yes as the default is taken as No, so the answer is always 6 or 7.
  const int fallback = defaultAnswer == IDYES ? IDYES : IDNO;
  if (silent || !HaveUi()) return fallback;
  EchoToStderr(text);
  if (g_close_requested) return fallback;
  const int answer = g_ui->AskTimed(text, fallback, TimeoutMs(timeoutMs));
  return answer == IDYES || answer == IDNO ? answer : fallback;
}

int PumpMessagesAndWait(int count, platform::Event* const* handles) {
  if (count <= 0 || handles == nullptr) return -1;
  return platform::window::PumpMessagesAndWait(std::span<platform::Event* const>(handles, static_cast<size_t>(count)));
}

int ShowMessageBox(const std::string& text, unsigned style, unsigned /*helpId*/) {
  const unsigned buttons = style & 0x0F;
  if (!HaveUi() || g_close_requested) return CautiousAnswer(buttons);
  const int clicked = g_ui->ShowMessageBox(text, style);
  return g_close_requested ? CautiousAnswer(buttons) : clicked;
}
