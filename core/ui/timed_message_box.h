// The small modeless box through which start-up, shut-down and the interface
// starters show messages and ask Yes/No questions without ever blocking an
// unattended server: a question times out to its default answer, and in silent
// mode (started as a service) nothing is shown and the default comes back at once.
// Created directly, the same box is the "Please Wait" box.
//
// Everything here runs on the GUI thread (the thread of the QApplication) and takes
// no lock. Worker threads reach the window through posted messages instead.
#pragma once

#include <cstdint>
#include <string>

#include <QDialog>

#include "platform/sync/event.h"
#include "platform/window/window.h"

class QLabel;
class QPushButton;
class QWindow;

// Answers, as the platform's command ids.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// The application's main window (the frame), or nullptr before it exists. The
// application sets it; the boxes read it to pick their owner and to stay hidden
// while the frame sits in the tray.
void SetMainWindow(QWidget* window);
QWidget* GetMainWindow();

// The application's title: the caption of an early box and of the plain message
// boxes. Window titles are never decorated with it.
inline constexpr char kApplicationTitle[] = "KVR Elavon TCPIP";

// Makes a dialog at least as wide as its title needs in a window manager's caption
// (title in a bold caption font, and room for the caption's buttons), so that the
// title is not cut. Call after setWindowTitle.
void KeepTitleVisible(QWidget* window);
// The width KeepTitleVisible gives a window with that title.
int TitleWidth(const QWidget* window);

// A close request from outside (SIGTERM, SIGINT): every box that waits for the user
// ends with its default answer, and a box asked for afterwards answers its default
// at once (it is still logged and echoed); every modal dialog is closed as Escape
// would close it. Stays set until ClearCloseRequest (tests only). GUI thread.
void RequestCloseFromOutside();
bool CloseRequested();
void ClearCloseRequest();

// The message area of a box: plain text (CR LF, CR and LF break lines) wrapped at
// word boundaries, and inside a word that is wider than the area.
class CMessageText : public QWidget {
  Q_OBJECT

 public:
  explicit CMessageText(QWidget* parent);
  void setText(const QString& text);
  QString text() const { return m_Text; }
  void setAlignment(Qt::Alignment alignment);
  Qt::Alignment alignment() const { return m_Alignment; }
  // The height the whole text needs at width.
  int TextHeight(int width) const;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override { return TextHeight(width); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString m_Text;
  Qt::Alignment m_Alignment = Qt::AlignHCenter | Qt::AlignTop;
};

class CTimedMessageBox : public QDialog {
  Q_OBJECT

 public:
  explicit CTimedMessageBox(QWidget* parent = nullptr);
  ~CTimedMessageBox() override;

  // Disables the owner (the parent's window, else the main window) when it is
  // enabled and shows the box, unless the main window is hidden. The box is owned
  // by (transient for) that window, stays above it, centred over it (also after the
  // owner moved), and comes forward whenever the owner is clicked or activated. False when no box can be made (no GUI
  // application); the owner is then enabled again.
  bool Create(QWidget* parent);
  // Centres texts of at most 40 characters, aligns longer ones left. The message
  // area grows downwards until the whole text shows; the status line, the buttons
  // and the box move and grow with it.
  void SetText(const std::string& text);
  // Runs the box as an OK box (defaultAnswer 1) or a Yes/No box (6 or 7) until the
  // user clicks a button, the time-out (0: none) takes the default, or a quit
  // request arrives (default answer; the quit stays pending).
  int Run(uint32_t timeoutMs, int defaultAnswer);
  // Enables the owner again when this box disabled it, then closes the box.
  void DestroyWindow();
  bool Exists() const { return created_; }
  // The window this box belongs to (nullptr when none).
  QWidget* Owner() const { return owner_; }

  // Gives the box a caption with the application's title (used before the main
  // window exists).
  void AddCaption();

  // For tests: the controls, and the length of one countdown second.
  CMessageText* MessageControl() const { return message_; }
  QLabel* StatusControl() const { return status_; }
  QPushButton* YesButton() const { return yes_; }
  QPushButton* NoButton() const { return no_; }
  static void SetSecondMsForTesting(uint32_t ms);

  void setVisible(bool visible) override;

 protected:
  // Enter and Escape do nothing.
  void accept() override {}
  void reject() override {}
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnTimer();
  // Places the controls in dialog units of the box's font, the message area as tall
  // as its text needs.
  void LayOut();
  int DluX(int x) const;
  int DluY(int y) const;
  // Makes the box transient for owner_ and watches the owner for clicks.
  void AttachToOwner();
  void DetachFromOwner();
  void BringForward();
  // Centres the box over its owner's frame, inside the owner's screen. The owner's
  // place may still change after the box is shown (the window manager places a
  // window that was just mapped), so this runs again whenever the owner moves.
  void CenterOverOwner();

  QWidget* owner_ = nullptr;
  QWindow* watched_window_ = nullptr;
  bool owner_disabled_ = false;
  bool force_show_ = false;
  bool created_ = false;

  CMessageText* message_;
  QLabel* status_;
  QPushButton* yes_;
  QPushButton* no_;

  // State of a Run in progress.
  platform::window::WindowHandle timer_window_ = 0;
  bool running_ = false;
  bool ok_box_ = false;
  int answer_ = 0;
  bool answered_ = false;
  int seconds_ = 0;
  int ticks_ = 0;
  int default_answer_ = IDOK;
  QString default_caption_;
};

// Creates box without a parent; before the main window exists it gets a caption.
bool CreateTimedMessageBox(CTimedMessageBox& box);

// Logs text verbatim when log is set; unless silent, writes it to stderr as one
// line and shows it in an OK box for timeoutMs (0: until the user clicks OK).
void ShowTimedMessage(const std::string& text, bool log, bool silent, int timeoutMs);

// Silent: the default at once, nothing shown or logged. Otherwise the question goes
// to stderr as one line and into a Yes/No box that takes defaultAnswer after
// timeoutMs (0: no time-out). Always 6 or 7.
int AskTimed(const std::string& text, bool silent, int defaultAnswer, int timeoutMs);

// Dispatches the GUI thread's messages while it waits for one of the handles:
// returns the index of the signalled one, or -1 for a quit request (left pending)
// and for a call without handles.
int PumpMessagesAndWait(int count, platform::Event* const* handles);

// The application's plain message box: style holds the MB_ button set (low 4 bits)
// and icon (0x10 stop, 0x20 question, 0x30 exclamation, 0x40 information). Returns
// the command id of the button clicked. Without a GUI application nothing can be
// asked: the cautious answer comes back (IDOK for an OK box, IDNO for Yes/No, else
// IDCANCEL or IDABORT).
int ShowMessageBox(const std::string& text, unsigned style = 0, unsigned helpId = 0);
