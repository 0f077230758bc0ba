// How start-up, shut-down and the interface starters show messages and ask Yes/No
// questions without ever blocking an unattended server: a question times out to its
// default answer, and in silent mode (started as a service) nothing is shown and the
// default comes back at once.
//
// This room holds the rules (logging, silence, the echo to stderr, a close request
// from outside) and no toolkit. The boxes themselves are drawn by a CMessageUi that
// the application installs at start-up; without one nothing can be shown and every
// question takes its cautious answer.
//
// Everything here runs on the GUI thread (the thread that pumps the window layer)
// and takes no lock. Worker threads reach the window through posted messages instead.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync/event.h"

// Answers, as the platform's command ids.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// The application's title: the caption of an early box and of the plain message
// boxes. Window titles are never decorated with it.
inline constexpr char kApplicationTitle[] = "KVR Elavon TCPIP";

// What draws the boxes. Every call comes on the GUI thread; none takes a lock of
// this room.
class CMessageUi {
 public:
  virtual ~CMessageUi() = default;
  // Whether boxes can be shown at all (a GUI application exists).
  virtual bool Available() const = 0;
  // An OK box with text for timeoutMs (0: until the user clicks OK).
  virtual void ShowTimed(const std::string& text, uint32_t timeoutMs) = 0;
  // A Yes/No box that takes defaultAnswer (6 or 7) after timeoutMs (0: no time-out)
  // or when a close request from outside arrives; returns 6 or 7.
  virtual int AskTimed(const std::string& text, int defaultAnswer, uint32_t timeoutMs) = 0;
  // The plain message box (style as ShowMessageBox's); the command id clicked.
  virtual int ShowMessageBox(const std::string& text, unsigned style) = 0;
  // A close request from outside arrived: every modal dialog ends as Escape would
  // end it. The timed boxes end through their own wait (CloseRequested).
  virtual void EndModalDialogs() = 0;
};

// Installs the UI (nullptr removes it). It must outlive its installation. GUI thread.
void InstallMessageUi(CMessageUi* ui);
CMessageUi* InstalledMessageUi();

// A close request from outside (SIGTERM, SIGINT): every box that waits for the user
// ends with its default answer, and a box asked for afterwards answers its default
// at once (it is still logged and echoed); every modal dialog is closed as Escape
// would close it. Stays set until ClearCloseRequest (tests only). GUI thread.
void RequestCloseFromOutside();
bool CloseRequested();
void ClearCloseRequest();

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
// the command id of the button clicked. When nothing can be asked (no UI, or a close
// request from outside, also one that came while the box was up) the cautious
// answer comes back (IDOK for an OK box, IDNO for Yes/No, else IDCANCEL or IDABORT).
int ShowMessageBox(const std::string& text, unsigned style = 0, unsigned helpId = 0);
