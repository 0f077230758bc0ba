// The server program: the Qt application, the window layer's Qt driver, the Qt
// boxes of the timed messages, and the application object's start-up and shut-down
// around Qt's message loop. SIGTERM and SIGINT close the main window as File, Exit
// would, and end the questions that wait for the user with their default answers.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QApplication>
#include <QSocketNotifier>

#include "app/qt/qt_driver.h"
#include "app/qt/timed_message_box.h"
#include "app/shell/kvr_app.h"
#include "app/shell/main_frame.h"
#include "app/shell/wiring.h"
#include "platform/ipc/close_signals.h"

namespace {

constexpr char kNoDisplay[] =
    "kvr-elavon-host: no display to open the window on; set DISPLAY, or start with "
    "/started_as_service (or QT_QPA_PLATFORM=offscreen) to run without one\n";

// While the QApplication is made: a platform that cannot be opened (a DISPLAY that
// does not answer) ends the program with a line on stderr and status 1, instead of
// Qt's abort.
void OnQtStartMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  const QByteArray text = message.toLocal8Bit();
  std::fprintf(stderr, "%s\n", text.constData());
  if (type == QtFatalMsg) {
    std::fputs(kNoDisplay, stderr);
    std::fflush(stderr);
    std::_Exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string command_line;
  for (int i = 1; i < argc; ++i) command_line += std::string(i > 1 ? " " : "") + argv[i];
  // A service has no display: Qt's offscreen platform unless one was chosen.
  if (command_line.find("/started_as_service") != std::string::npos && !std::getenv("QT_QPA_PLATFORM") &&
      !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
    std::fputs(kNoDisplay, stderr);
    return 1;
  }

  const QtMessageHandler qt_default = qInstallMessageHandler(OnQtStartMessage);
  QApplication app(argc, argv);
  qInstallMessageHandler(qt_default);
  // Qt takes the user's locale; amounts and numbers are always written the "C" way.
  setlocale(LC_NUMERIC, "C");
  // No display name: the window system would append it to every window's title.
  QApplication::setQuitOnLastWindowClosed(false);
  app_qt::QtPumpDriver driver;
  // The boxes of the timed messages and questions are Qt's.
  InstallQtMessageUi();

  const int close_signals = platform::ipc::InstallCloseSignals();
  QSocketNotifier notifier(close_signals, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [close_signals] {
    platform::ipc::TakeCloseSignal(close_signals);
    if (CMainFrame* frame = theApp.MainFrame()) {
      frame->RequestClose();
    } else {
      // Before the window exists (a start-up message may be waiting): the box takes
      // its default, start-up ends at its next step, and every pump ends.
      RequestCloseFromOutside();
      platform::window::PostQuitMessage(0);
      QCoreApplication::quit();
    }
  });

  int code = 1;
  if (theApp.InitInstance(command_line)) {
    // The seams between the window and the other rooms (wiring.cpp).
    WireApplication(theApp);
    code = QApplication::exec();
  } else if (CloseRequested()) {
    code = 0;  // a stop asked for during start-up: no failure
  }
  // Whichever way the window went (a forced close included): the management pipe's
  // thread is stopped and joined before the window and its objects are destroyed.
  StopWiredParts();
  theApp.ExitInstance();
  return code;
}
