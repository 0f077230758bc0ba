// The Qt binding of the window layer: installed on the thread that runs the
// QApplication, it lets Qt's own loop (QApplication::exec, or a modal box) dispatch
// the layer's messages and timers, and lets the layer's nested pumps keep Qt's
// widgets alive while they wait.
#pragma once

#include <atomic>

#include <QObject>
#include <QTimer>

#include "platform/window/window.h"

namespace app_qt {

// Create one on the GUI thread after the QApplication; it installs itself for that
// thread and removes itself when destroyed. Wake is thread-safe (QCoreApplication::
// postEvent); everything else runs on the GUI thread.
class QtPumpDriver final : public QObject, public platform::window::PumpDriver {
 public:
  QtPumpDriver();
  ~QtPumpDriver() override;

  void ProcessToolkitEvents() override;
  void WaitForToolkitInput(uint32_t ms) override;
  void Wake() override;

 protected:
  bool event(QEvent* e) override;

 private:
  void DispatchFromQt();

  std::atomic<bool> wake_posted_{false};
  QTimer wait_timer_;   // bounds WaitForToolkitInput
  QTimer timer_check_;  // fires the layer's timers while Qt's loop is outermost
};

}  // namespace app_qt
