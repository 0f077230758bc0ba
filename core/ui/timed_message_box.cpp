#include "core/ui/timed_message_box.h"

#include <cstdio>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/log/logger.h"
#include "platform/text/format.h"

namespace {

QWidget* g_main_window = nullptr;
uint32_t g_second_ms = 1000;

constexpr uintptr_t kRunTimerId = 1;

// Dialog units of the box's 8-point font, in pixels.
int DluX(int x) { return x * 3 / 2; }
int DluY(int y) { return y * 13 / 8; }

bool HaveGuiApplication() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

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

QString CaptionOf(int answer) {
  switch (answer) {
    case IDOK: return QStringLiteral("\"OK\"");
    case IDYES: return QStringLiteral("\"Yes\"");
    case IDNO: return QStringLiteral("\"No\"");
    default: return QStringLiteral("UNKNOWN");
  }
}

}  // namespace

void SetMainWindow(QWidget* window) { g_main_window = window; }
QWidget* GetMainWindow() { return g_main_window; }

void CTimedMessageBox::SetSecondMsForTesting(uint32_t ms) { g_second_ms = ms == 0 ? 1000 : ms; }

CTimedMessageBox::CTimedMessageBox(QWidget* parent)
    : QDialog(nullptr, Qt::Dialog | Qt::FramelessWindowHint),
      message_(new QLabel(this)),
      status_(new QLabel(QStringLiteral("Please Wait . . ."), this)),
      yes_(new QPushButton(QStringLiteral("Yes"), this)),
      no_(new QPushButton(QStringLiteral("No"), this)) {
  // The box is a top-level window of its own: disabling its owner must not disable it.
  owner_ = parent;
  setModal(false);
  setFixedSize(DluX(186), DluY(66));
  setStyleSheet(QStringLiteral("CTimedMessageBox { border: 1px solid palette(dark); }"));
  message_->setGeometry(DluX(6), DluY(6), DluX(171), DluY(30));
  message_->setWordWrap(true);
  message_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  status_->setGeometry(DluX(6), DluY(39), DluX(171), DluY(10));
  status_->setAlignment(Qt::AlignCenter);
  yes_->setGeometry(DluX(127), DluY(52), DluX(25), DluY(11));
  no_->setGeometry(DluX(157), DluY(52), DluX(25), DluY(11));
  yes_->hide();
  no_->hide();
  // The default button is chosen by Run alone, not by focus.
  yes_->setAutoDefault(false);
  no_->setAutoDefault(false);
  yes_->installEventFilter(this);
  no_->installEventFilter(this);
}

CTimedMessageBox::~CTimedMessageBox() {
  if (created_) DestroyWindow();
  if (timer_window_) platform::window::DestroyWindowHandle(timer_window_);
}

bool CTimedMessageBox::Create(QWidget* parent) {
  QWidget* owner = parent ? parent->window() : g_main_window;
  if (owner && owner->isEnabled()) {
    owner->setEnabled(false);
    owner_ = owner;
    owner_disabled_ = true;
  }
  if (!HaveGuiApplication()) {
    if (owner_disabled_) owner_->setEnabled(true);
    owner_disabled_ = false;
    return false;
  }
  created_ = true;
  setVisible(true);
  return true;
}

void CTimedMessageBox::AddCaption() {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint);
  setWindowTitle(QApplication::applicationDisplayName());
  if (created_) setVisible(true);
}

void CTimedMessageBox::SetText(const std::string& text) {
  const QString t = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
  message_->setText(t);
  message_->setAlignment((text.size() <= 40 ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
}

void CTimedMessageBox::setVisible(bool visible) {
  // While the server sits in the tray, the box stays hidden too, unless forced.
  if (visible && !force_show_ && g_main_window && !g_main_window->isVisible()) return;
  QDialog::setVisible(visible);
}

void CTimedMessageBox::DestroyWindow() {
  if (owner_disabled_ && owner_) owner_->setEnabled(true);
  owner_disabled_ = false;
  created_ = false;
  QDialog::setVisible(false);
}

bool CTimedMessageBox::eventFilter(QObject* watched, QEvent* event) {
  if (running_ && !answered_ && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* button = qobject_cast<QPushButton*>(watched);
    if (button && button->isVisible() && mouse->button() == Qt::LeftButton &&
        button->rect().contains(mouse->position().toPoint())) {
      if (button == yes_) {
        answer_ = IDYES;
      } else {
        answer_ = ok_box_ ? IDOK : IDNO;
      }
      answered_ = true;
    }
  }
  return QDialog::eventFilter(watched, event);  // the button's own click still happens
}

void CTimedMessageBox::OnTimer() {
  if (!running_ || answered_) return;
  if (seconds_ > 1) {
    ++ticks_;
    if (ticks_ < seconds_) {
      status_->setText(QStringLiteral("%1 seconds until %2 is automatically selected")
                           .arg(seconds_ - ticks_)
                           .arg(default_caption_));
      return;
    }
  }
  answer_ = default_answer_;
  answered_ = true;
}

int CTimedMessageBox::Run(uint32_t timeoutMs, int defaultAnswer) {
  namespace pw = platform::window;
  if (!isVisible() && timeoutMs == 0) {
    // A box that waits for the user is always shown.
    force_show_ = true;
    QDialog::setVisible(true);
    force_show_ = false;
  }

  ok_box_ = defaultAnswer == IDOK;
  if (ok_box_) {
    no_->setText(QStringLiteral("OK"));
    yes_->hide();
  } else {
    no_->setText(QStringLiteral("No"));
    yes_->show();
  }
  no_->show();
  (defaultAnswer == IDYES ? yes_ : no_)->setDefault(true);
  (defaultAnswer == IDYES ? no_ : yes_)->setDefault(false);
  const QString saved_status = status_->text();

  default_answer_ = defaultAnswer;
  default_caption_ = CaptionOf(defaultAnswer);
  seconds_ = static_cast<int>(timeoutMs / 1000);
  ticks_ = 0;
  answered_ = false;
  answer_ = defaultAnswer;
  const bool countdown = seconds_ > 1;
  if (countdown) {
    status_->setText(QStringLiteral("%1 seconds until %2 is automatically selected").arg(seconds_).arg(default_caption_));
    status_->show();
  } else {
    status_->hide();
  }

  if (!timer_window_) {
    timer_window_ = pw::CreateWindowHandle([this](uint32_t m, pw::WPARAM id, pw::LPARAM) -> pw::LRESULT {
      if (m == pw::WM_TIMER && id == kRunTimerId) OnTimer();
      return 0;
    });
  }
  if (timeoutMs != 0) {
    const uint32_t period = countdown ? g_second_ms : timeoutMs;
    pw::SetTimer(timer_window_, kRunTimerId, period);
  }

  running_ = true;
  const bool not_quit = pw::PumpUntil([this] { return answered_; });
  running_ = false;
  pw::KillTimer(timer_window_, kRunTimerId);
  if (!not_quit && !answered_) answer_ = defaultAnswer;

  yes_->hide();
  no_->hide();
  if (countdown) status_->setText(saved_status);
  status_->show();
  return answer_;
}

bool CreateTimedMessageBox(CTimedMessageBox& box) {
  const bool early = g_main_window == nullptr;
  if (!box.Create(nullptr)) return false;
  if (early) box.AddCaption();
  return true;
}

void ShowTimedMessage(const std::string& text, bool log, bool silent, int timeoutMs) {
  if (log) GetLogger().LogLine("%s", text.c_str());
  if (silent) return;
  EchoToStderr(text);
  if (!HaveGuiApplication()) return;
  CTimedMessageBox box;
  if (!CreateTimedMessageBox(box)) return;
  box.SetText(text);
  box.Run(static_cast<uint32_t>(timeoutMs < 0 ? 0 : timeoutMs), IDOK);
  box.DestroyWindow();
}

int AskTimed(const std::string& text, bool silent, int defaultAnswer, int timeoutMs) {
  // Anything but Yes as the default is taken as No, so the answer is always 6 or 7.
  const int fallback = defaultAnswer == IDYES ? IDYES : IDNO;
  if (silent || !HaveGuiApplication()) return fallback;
  CTimedMessageBox box;
  if (!CreateTimedMessageBox(box)) return fallback;
  box.SetText(text);
  const int answer = box.Run(static_cast<uint32_t>(timeoutMs < 0 ? 0 : timeoutMs), fallback);
  box.DestroyWindow();
  return answer;
}

int PumpMessagesAndWait(int count, platform::Event* const* handles) {
  if (count <= 0 || handles == nullptr) return -1;
  return platform::window::PumpMessagesAndWait(std::span<platform::Event* const>(handles, static_cast<size_t>(count)));
}

int ShowMessageBox(const std::string& text, unsigned style, unsigned /*helpId*/) {
  const unsigned buttons = style & 0x0F;
  if (!HaveGuiApplication()) {
    switch (buttons) {
      case 0: return IDOK;
      case 2: return IDABORT;
      case 4: return IDNO;
      default: return IDCANCEL;
    }
  }
  QMessageBox box;
  box.setWindowTitle(QApplication::applicationDisplayName());
  box.setText(QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size())));
  switch (style & 0xF0) {
    case 0x10: box.setIcon(QMessageBox::Critical); break;
    case 0x20: box.setIcon(QMessageBox::Question); break;
    case 0x30: box.setIcon(QMessageBox::Warning); break;
    case 0x40: box.setIcon(QMessageBox::Information); break;
    default: break;
  }
  struct Choice { QMessageBox::StandardButton button; int id; };
  std::vector<Choice> choices;
  switch (buttons) {
    case 1: choices = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; break;
    case 2: choices = {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}}; break;
    case 3: choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}}; break;
    case 4: choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}; break;
    case 5: choices = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}}; break;
    default: choices = {{QMessageBox::Ok, IDOK}}; break;
  }
  QMessageBox::StandardButtons set;
  for (const Choice& c : choices) set |= c.button;
  box.setStandardButtons(set);
  box.setDefaultButton(choices.front().button);
  const int clicked = box.exec();
  for (const Choice& c : choices) {
    if (clicked == c.button) return c.id;
  }
  return choices.size() == 1 ? IDOK : IDCANCEL;
}
