// The Qt boxes behind the timed messages and questions: the small modeless box
// (also the "Please Wait" box, created directly), the plain message box, and the
// Qt implementation of CMessageUi that the application installs at start-up.
//
// Everything here runs on the GUI thread (the thread of the QApplication) and takes
// no lock. Worker threads reach the window through posted messages instead.
#pragma once

#include <cstdint>
#include <string>

#include <QDialog>

#include "core/ui/timed_message.h"
#include "platform/window/window.h"

class QLabel;
class QPushButton;
class QWindow;

// The application's main window (the frame), or nullptr before it exists. The
// application sets it; the boxes read it to pick their owner and to stay hidden
// while the frame sits in the tray.
void SetMainWindow(QWidget* window);
QWidget* GetMainWindow();

// Makes a dialog at least as wide as its title needs in a window manager's caption
// (title in a bold caption font, and room for the caption's buttons), so that the
// title is not cut, and at least as wide as its layout needs. Call after
// setWindowTitle, once the layout holds every control.
void KeepTitleVisible(QWidget* window);
// The width KeepTitleVisible gives a window with that title.
int TitleWidth(const QWidget* window);

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
  bool Exists() const { return m_Created; }
  // The window this box belongs to (nullptr when none).
  QWidget* Owner() const { return m_Owner; }

  // Gives the box a caption with the application's title (used before the main
  // window exists).
  void AddCaption();

  // For tests: the controls, and the length of one countdown second.
  CMessageText* MessageControl() const { return m_Message; }
  QLabel* StatusControl() const { return m_Status; }
  QPushButton* YesButton() const { return m_Yes; }
  QPushButton* NoButton() const { return m_No; }
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
  // Makes the box transient for m_Owner and watches the owner for clicks.
  void AttachToOwner();
  void DetachFromOwner();
  void BringForward();
  // Centres the box over its owner's frame, inside the owner's screen. The owner's
  // place may still change after the box is shown (the window manager places a
  // window that was just mapped), so this runs again whenever the owner moves.
  void CenterOverOwner();

  QWidget* m_Owner = nullptr;
  QWindow* m_WatchedWindow = nullptr;
  bool m_OwnerDisabled = false;
  bool m_ForceShow = false;
  bool m_Created = false;

  CMessageText* m_Message;
  QLabel* m_Status;
  QPushButton* m_Yes;
  QPushButton* m_No;

  // State of a Run in progress.
  platform::window::WindowHandle m_TimerWindow = 0;
  bool m_Running = false;
  bool m_OkBox = false;
  int m_Answer = 0;
  bool m_Answered = false;
  int m_Seconds = 0;
  int m_Ticks = 0;
  int m_DefaultAnswer = IDOK;
  QString m_DefaultCaption;
};

// Creates box without a parent; before the main window exists it gets a caption.
bool CreateTimedMessageBox(CTimedMessageBox& box);

// The Qt boxes as the application's CMessageUi: installs it (once; later calls do
// nothing more). Boxes can be shown while a QApplication exists.
void InstallQtMessageUi();
