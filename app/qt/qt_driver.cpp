#include "app/qt/qt_driver.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>

namespace app_qt {
using namespace platform::window;
using platform::kInfinite;
namespace {
const QEvent::Type kDispatchEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
}

QtPumpDriver::QtPumpDriver() {
  wait_timer_.setSingleShot(true);
  timer_check_.setSingleShot(true);
  connect(&timer_check_, &QTimer::timeout, this, [this] { DispatchFromQt(); });
  InstallDriver(this);
}

QtPumpDriver::~QtPumpDriver() {
  InstallDriver(nullptr);
  // A wake event still in Qt's queue for this object is removed with it.
  QCoreApplication::removePostedEvents(this, kDispatchEvent);
}

void QtPumpDriver::ProcessToolkitEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtPumpDriver::WaitForToolkitInput(uint32_t ms) {
  if (ms != kInfinite) wait_timer_.start(static_cast<int>(std::min<uint32_t>(ms, 0x7FFFFFFF)));
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread());
  if (dispatcher) dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  wait_timer_.stop();
}

void QtPumpDriver::Wake() {
  if (!wake_posted_.exchange(true)) QCoreApplication::postEvent(this, new QEvent(kDispatchEvent));
}

bool QtPumpDriver::event(QEvent* e) {
  if (e->type() != kDispatchEvent) return QObject::event(e);
  wake_posted_ = false;
  DispatchFromQt();
  return true;
}

void QtPumpDriver::DispatchFromQt() {
  // Inside one of the layer's own pumps the pump dispatches, and owns the quit.
  if (PumpDepth() > 0) return;
  const bool running = DispatchPending();
  int code = 0;
  if (!running && QuitPending(&code)) {
    ClearQuit();
    QCoreApplication::exit(code);
    return;
  }
  const uint32_t next = MsUntilNextTimer();
  if (next == kInfinite) {
    timer_check_.stop();
  } else {
    timer_check_.start(static_cast<int>(std::min<uint32_t>(next, 0x7FFFFFFF)));
  }
}

}  // namespace app_qt
