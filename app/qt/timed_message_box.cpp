#include "app/qt/timed_message_box.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTextLayout>
#include <QTimer>
#include <QWindow>

#include "core/log/logger.h"
#include "platform/text/format.h"

namespace {

QWidget* g_MainWindow = nullptr;
uint32_t g_SecondMs = 1000;
// The boxes that exist, oldest first.
std::vector<CTimedMessageBox*> g_Boxes;

constexpr uintptr_t kRunTimerId = 1;

// The box's resource, in dialog units.
constexpr int kBoxWidth = 186, kBoxHeight = 66;
constexpr int kMessageX = 6, kMessageY = 6, kMessageWidth = 171, kMessageHeight = 30;
constexpr int kStatusY = 39, kStatusHeight = 10;
constexpr int kButtonY = 52, kButtonWidth = 25, kButtonHeight = 11, kYesX = 127, kNoX = 157;

bool HaveGuiApplication() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

QString CaptionOf(int answer) {
  switch (answer) {
    case IDOK: return QStringLiteral("\"OK\"");
    case IDYES: return QStringLiteral("\"Yes\"");
    case IDNO: return QStringLiteral("\"No\"");
    default: return QStringLiteral("UNKNOWN");
  }
}

// The paragraphs of a message: CR LF, a lone CR and LF each end a line.
QStringList Paragraphs(const QString& text) {
  QString normal = text;
  normal.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  normal.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return normal.split(QLatin1Char('\n'));
}

// Lays out one paragraph at width; the height it takes. With painter, draws it
// at top, aligned as alignment says.
int LayOutParagraph(const QString& paragraph, const QFont& font, int width, Qt::Alignment alignment,
                    QPainter* painter, int top) {
  QTextLayout layout(paragraph, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  option.setAlignment(alignment & Qt::AlignHorizontal_Mask);
  layout.setTextOption(option);
  const QFontMetricsF metrics(font);
  qreal height = 0;
  layout.beginLayout();
  for (;;) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(width);
    line.setPosition(QPointF(0, height));
    height += metrics.lineSpacing();
  }
  layout.endLayout();
  if (paragraph.isEmpty()) height = metrics.lineSpacing();
  if (painter) layout.draw(painter, QPointF(0, top));
  return static_cast<int>(std::ceil(height));
}

}  // namespace

void SetMainWindow(QWidget* window) { g_MainWindow = window; }
QWidget* GetMainWindow() { return g_MainWindow; }

int TitleWidth(const QWidget* window) {
  QFont caption = window->font();
  caption.setBold(true);
  // Title, its margins, the icon and three caption buttons of a usual window manager.
  constexpr int kCaptionRoom = 4 * 28 + 32;
  return QFontMetrics(caption).horizontalAdvance(window->windowTitle()) + kCaptionRoom;
}

void KeepTitleVisible(QWidget* window) {
  int width = TitleWidth(window);
  // A minimum width set here replaces the one the layout would set: keep the
  // layout's too, so that on a small screen no control gets less than it needs.
  if (QLayout* layout = window->layout()) width = std::max(width, layout->minimumSize().width());
  window->setMinimumWidth(std::max(window->minimumWidth(), width));
}


// ---------------------------------------------------------------------------------
// CMessageText

CMessageText::CMessageText(QWidget* parent) : QWidget(parent) {
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

void CMessageText::setText(const QString& text) {
  m_Text = text;
  updateGeometry();
  update();
}

void CMessageText::setAlignment(Qt::Alignment alignment) {
  m_Alignment = alignment;
  update();
}

int CMessageText::TextHeight(int width) const {
  if (m_Text.isEmpty()) return 0;
  int height = 0;
  for (const QString& paragraph : Paragraphs(m_Text)) {
    height += LayOutParagraph(paragraph, font(), width, m_Alignment, nullptr, 0);
  }
  return height;
}

void CMessageText::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::WindowText));
  int top = 0;
  for (const QString& paragraph : Paragraphs(m_Text)) {
    top += LayOutParagraph(paragraph, font(), width(), m_Alignment, &painter, top);
  }
}

// ---------------------------------------------------------------------------------
// CTimedMessageBox

void CTimedMessageBox::SetSecondMsForTesting(uint32_t ms) { g_SecondMs = ms == 0 ? 1000 : ms; }

CTimedMessageBox::CTimedMessageBox(QWidget* parent)
    : QDialog(nullptr, Qt::Dialog | Qt::FramelessWindowHint),
      m_Message(new CMessageText(this)),
      m_Status(new QLabel(QStringLiteral("Please Wait . . ."), this)),
      m_Yes(new QPushButton(QStringLiteral("Yes"), this)),
      m_No(new QPushButton(QStringLiteral("No"), this)) {
  // The box is a top-level window of its own, owned only at the window-system level
  // (transient for its owner): disabling the owner must not disable the box.
  m_Owner = parent;
  setModal(false);
  setStyleSheet(QStringLiteral("CTimedMessageBox { border: 1px solid palette(dark); }"));
  m_Status->setAlignment(Qt::AlignCenter);
  m_Yes->hide();
  m_No->hide();
  // The default button is chosen by Run alone, not by focus.
  m_Yes->setAutoDefault(false);
  m_No->setAutoDefault(false);
  m_Yes->installEventFilter(this);
  m_No->installEventFilter(this);
  LayOut();
}

CTimedMessageBox::~CTimedMessageBox() {
  if (m_Created) DestroyWindow();
  DetachFromOwner();
  if (m_TimerWindow) platform::window::DestroyWindowHandle(m_TimerWindow);
}

int CTimedMessageBox::DluX(int x) const {
  // The horizontal base unit: the average width of the alphabet in the box's font.
  static const QString kAlphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const qreal base = QFontMetricsF(font()).horizontalAdvance(kAlphabet) / kAlphabet.size();
  return static_cast<int>(std::lround(x * base / 4));
}

int CTimedMessageBox::DluY(int y) const { return (y * QFontMetrics(font()).height() + 4) / 8; }

void CTimedMessageBox::LayOut() {
  const int width = DluX(kMessageWidth);
  const int needed = m_Message->TextHeight(width);
  const int extra = std::max(0, needed - DluY(kMessageHeight));
  m_Message->setGeometry(DluX(kMessageX), DluY(kMessageY), width, DluY(kMessageHeight) + extra);
  m_Status->setGeometry(DluX(kMessageX), DluY(kStatusY) + extra, width,
                        std::max(DluY(kStatusHeight), QFontMetrics(font()).height()));
  // Buttons as the resource gives them, wider or taller only when a caption needs it.
  const QFontMetrics metrics(font());
  const int button_height = std::max(DluY(kButtonHeight), metrics.height() + 4);
  const int button_width = std::max({DluX(kButtonWidth), metrics.horizontalAdvance(m_Yes->text()) + DluX(8),
                                     metrics.horizontalAdvance(m_No->text()) + DluX(8)});
  const int gap = DluX(kNoX - kYesX - kButtonWidth);
  const int no_x = DluX(kNoX + kButtonWidth) - button_width;
  const int yes_x = std::min(DluX(kYesX + kButtonWidth) - button_width, no_x - gap - button_width);
  const int button_y = std::max(DluY(kButtonY) + extra, m_Status->geometry().bottom() + 1 + DluY(3));
  m_Yes->setGeometry(yes_x, button_y, button_width, button_height);
  m_No->setGeometry(no_x, button_y, button_width, button_height);
  const int height = std::max(DluY(kBoxHeight) + extra, button_y + button_height + DluY(3));
  setFixedSize(DluX(kBoxWidth), height);
}

bool CTimedMessageBox::Create(QWidget* parent) {
  QWidget* owner = parent ? parent->window() : g_MainWindow;
  if (owner && owner->isEnabled()) {
    owner->setEnabled(false);
    m_OwnerDisabled = true;
  }
  m_Owner = owner;
  if (!HaveGuiApplication()) {
    if (m_OwnerDisabled) m_Owner->setEnabled(true);
    m_OwnerDisabled = false;
    return false;
  }
  m_Created = true;
  if (std::find(g_Boxes.begin(), g_Boxes.end(), this) == g_Boxes.end()) g_Boxes.push_back(this);
  AttachToOwner();
  setVisible(true);
  return true;
}

void CTimedMessageBox::AttachToOwner() {
  DetachFromOwner();
  if (!m_Owner) return;
  // The window-system windows of both, so that the box can be transient for the owner.
  winId();
  m_Owner->winId();
  QWindow* own = windowHandle();
  QWindow* owner = m_Owner->windowHandle();
  if (own && owner) own->setTransientParent(owner);
  m_WatchedWindow = owner;
  if (m_WatchedWindow) m_WatchedWindow->installEventFilter(this);
  m_Owner->installEventFilter(this);
}

void CTimedMessageBox::DetachFromOwner() {
  if (m_WatchedWindow) m_WatchedWindow->removeEventFilter(this);
  m_WatchedWindow = nullptr;
  if (m_Owner) m_Owner->removeEventFilter(this);
}

namespace {
CTimedMessageBox* OldestShownBoxOf(const QWidget* owner) {
  for (CTimedMessageBox* box : g_Boxes) {
    if (box->Owner() == owner && box->isVisible()) return box;
  }
  return nullptr;
}
CTimedMessageBox* NewestShownBoxOf(const QWidget* owner) {
  for (auto it = g_Boxes.rbegin(); it != g_Boxes.rend(); ++it) {
    if ((*it)->Owner() == owner && (*it)->isVisible()) return *it;
  }
  return nullptr;
}
}  // namespace

void CTimedMessageBox::BringForward() {
  if (!m_Created || !isVisible()) return;
  // The boxes of the same owner come forward in the order they were made, so the
  // newest (the question asked during a wait) stays on top and takes the focus.
  CTimedMessageBox* newest = nullptr;
  for (CTimedMessageBox* box : g_Boxes) {
    if (box->m_Owner != m_Owner || !box->isVisible()) continue;
    box->raise();
    newest = box;
  }
  if (newest) newest->activateWindow();
}

void CTimedMessageBox::CenterOverOwner() {
  if (!m_Owner || !m_Owner->isVisible()) return;
  QPoint top_left = m_Owner->frameGeometry().center() - QPoint(width() / 2, height() / 2);
  if (const QScreen* screen = m_Owner->screen()) {
    const QRect area = screen->availableGeometry();
    top_left.setX(std::clamp(top_left.x(), area.left(), std::max(area.left(), area.right() + 1 - width())));
    top_left.setY(std::clamp(top_left.y(), area.top(), std::max(area.top(), area.bottom() + 1 - height())));
  }
  if (top_left != pos()) move(top_left);
}

void CTimedMessageBox::AddCaption() {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint);
  setWindowTitle(QString::fromLatin1(kApplicationTitle));
  if (m_Created) {
    AttachToOwner();
    setVisible(true);
  }
}

void CTimedMessageBox::SetText(const std::string& text) {
  const QString t = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
  m_Message->setAlignment((text.size() <= 40 ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
  m_Message->setText(t);
  LayOut();
}

void CTimedMessageBox::setVisible(bool visible) {
  // While the server sits in the tray, the box stays hidden too, unless forced.
  if (visible && !m_ForceShow && g_MainWindow && !g_MainWindow->isVisible()) return;
  if (visible) CenterOverOwner();
  QDialog::setVisible(visible);
}

void CTimedMessageBox::DestroyWindow() {
  if (m_OwnerDisabled && m_Owner) m_Owner->setEnabled(true);
  m_OwnerDisabled = false;
  m_Created = false;
  g_Boxes.erase(std::remove(g_Boxes.begin(), g_Boxes.end(), this), g_Boxes.end());
  DetachFromOwner();
  QDialog::setVisible(false);
}

bool CTimedMessageBox::eventFilter(QObject* watched, QEvent* event) {
  if (m_Created && (watched == m_Owner || watched == m_WatchedWindow)) {
    // A click on the disabled owner, or the owner made active: the box comes forward.
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::WindowActivate:
      case QEvent::FocusIn:
        // One box of an owner answers for all of them: the oldest one shown.
        if (OldestShownBoxOf(m_Owner) == this) QTimer::singleShot(0, this, [this] { BringForward(); });
        break;
      case QEvent::Move:
      case QEvent::Resize:
        if (watched == m_Owner && isVisible()) CenterOverOwner();
        break;
      default:
        break;
    }
    return false;
  }
  if (m_Running && !m_Answered && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* button = qobject_cast<QPushButton*>(watched);
    if (button && button->isVisible() && mouse->button() == Qt::LeftButton &&
        button->rect().contains(mouse->position().toPoint())) {
      if (button == m_Yes) {
        m_Answer = IDYES;
      } else {
        m_Answer = m_OkBox ? IDOK : IDNO;
      }
      m_Answered = true;
    }
  }
  return QDialog::eventFilter(watched, event);  // the button's own click still happens
}

void CTimedMessageBox::OnTimer() {
  if (!m_Running || m_Answered) return;
  if (m_Seconds > 1) {
    ++m_Ticks;
    if (m_Ticks < m_Seconds) {
      m_Status->setText(QStringLiteral("%1 seconds until %2 is automatically selected")
                            .arg(m_Seconds - m_Ticks)
                            .arg(m_DefaultCaption));
      return;
    }
  }
  m_Answer = m_DefaultAnswer;
  m_Answered = true;
}

int CTimedMessageBox::Run(uint32_t timeoutMs, int defaultAnswer) {
  namespace pw = platform::window;
  if (!isVisible() && timeoutMs == 0) {
    // A box that waits for the user is always shown.
    m_ForceShow = true;
    CenterOverOwner();
    QDialog::setVisible(true);
    m_ForceShow = false;
  }

  m_OkBox = defaultAnswer == IDOK;
  if (m_OkBox) {
    m_No->setText(QStringLiteral("OK"));
    m_Yes->hide();
  } else {
    m_No->setText(QStringLiteral("No"));
    m_Yes->show();
  }
  m_No->show();
  LayOut();
  (defaultAnswer == IDYES ? m_Yes : m_No)->setDefault(true);
  (defaultAnswer == IDYES ? m_No : m_Yes)->setDefault(false);
  const QString saved_status = m_Status->text();

  m_DefaultAnswer = defaultAnswer;
  m_DefaultCaption = CaptionOf(defaultAnswer);
  m_Seconds = static_cast<int>(timeoutMs / 1000);
  m_Ticks = 0;
  m_Answered = false;
  m_Answer = defaultAnswer;
  const bool countdown = m_Seconds > 1;
  if (countdown) {
    m_Status->setText(QStringLiteral("%1 seconds until %2 is automatically selected").arg(m_Seconds).arg(m_DefaultCaption));
    m_Status->show();
  } else {
    m_Status->hide();
  }

  if (!m_TimerWindow) {
    m_TimerWindow = pw::CreateWindowHandle([this](uint32_t m, pw::WPARAM id, pw::LPARAM) -> pw::LRESULT {
      if (m == pw::WM_TIMER && id == kRunTimerId) OnTimer();
      return 0;
    });
  }
  if (timeoutMs != 0) {
    const uint32_t period = countdown ? g_SecondMs : timeoutMs;
    pw::SetTimer(m_TimerWindow, kRunTimerId, period);
  }

  m_Running = true;
  // A close request from outside ends the wait like a quit request.
  pw::PumpUntil([this] { return m_Answered || CloseRequested(); });
  m_Running = false;
  pw::KillTimer(m_TimerWindow, kRunTimerId);
  if (!m_Answered) m_Answer = defaultAnswer;  // a quit or a close request

  m_Yes->hide();
  m_No->hide();
  if (countdown) m_Status->setText(saved_status);
  m_Status->show();
  return m_Answer;
}

bool CreateTimedMessageBox(CTimedMessageBox& box) {
  const bool early = g_MainWindow == nullptr;
  if (!box.Create(nullptr)) return false;
  if (early) box.AddCaption();
  return true;
}

namespace {

// The Qt boxes behind the timed messages, the questions and the plain message box.
class CQtMessageUi final : public CMessageUi {
 public:
  bool Available() const override { return HaveGuiApplication(); }

  void ShowTimed(const std::string& text, uint32_t timeoutMs) override {
    CTimedMessageBox box;
    if (!CreateTimedMessageBox(box)) return;
    box.SetText(text);
    box.Run(timeoutMs, IDOK);
    box.DestroyWindow();
  }

  int AskTimed(const std::string& text, int defaultAnswer, uint32_t timeoutMs) override {
    CTimedMessageBox box;
    if (!CreateTimedMessageBox(box)) return defaultAnswer;
    box.SetText(text);
    const int answer = box.Run(timeoutMs, defaultAnswer);
    box.DestroyWindow();
    return answer;
  }

  int ShowMessageBox(const std::string& text, unsigned style) override {
    const unsigned buttons = style & 0x0F;
    // Owned by the window the user works in, so that it stays in front of it.
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner) owner = QApplication::activeWindow();
    if (!owner) owner = g_MainWindow;
    // While that window shows a progress box, the message belongs to the box: the
    // window system raises the message with the windows it belongs to, so the
    // progress box stays above its owner (the last popup of the owner, as the
    // original platform's message boxes chose theirs).
    if (owner && !qobject_cast<CTimedMessageBox*>(owner)) {
      if (CTimedMessageBox* progress = NewestShownBoxOf(owner->window())) owner = progress;
    }
    QMessageBox box(owner);
    box.setWindowTitle(QString::fromLatin1(kApplicationTitle));
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

  void EndModalDialogs() override {
    // Every modal dialog ends as Escape would end it; the timed boxes end through
    // their own wait.
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<QDialog*>(w);
      if (!dialog || qobject_cast<CTimedMessageBox*>(dialog) || !dialog->isVisible()) continue;
      if (dialog->isModal() || dialog->windowModality() != Qt::NonModal) dialog->done(QDialog::Rejected);
    }
  }
};

}  // namespace

void InstallQtMessageUi() {
  static CQtMessageUi* ui = new CQtMessageUi();  // lives as long as the process
  InstallMessageUi(ui);
}
