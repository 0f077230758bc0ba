// CAppPipeCommandSource: what the management pipe's commands read from the running
// application. The pipe thread calls it; each answer is made on the UI thread
// through a CUiThreadCall: the main window's title (core/ui's main window), the
// traffic list's lines (column 0 of the view's list, top first), and the picture of
// the Setup dialog, made by the factory that the application's wiring hands in,
// created without being shown, flattened, captured into the BMP file and destroyed
// again. A picture that could not be written leaves no file.
//
// Waiting for the UI thread gives up when the pipe server stops
// (CurrentPipeStopEvent) or after the time-out; the command then answers as for a
// failure (empty text, no lines, "Failed to create dialog window.").
//
// Create and destroy on the UI thread, after the traffic list and before it goes;
// the pipe thread must be stopped before the object is destroyed. No lock of its
// own beyond the CUiThreadCall's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QPointer>
#include <QTreeWidget>

#include "app/pipe/pipe_commands.h"
#include "app/pipe/ui_thread_call.h"

class CAppPipeCommandSource : public CPipeCommandSource {
 public:
  // Makes the dialog to photograph, on the UI thread; it is created (modeless,
  // never shown) by the caller of the factory. nullptr: it could not be made.
  using DialogFactory = std::function<std::unique_ptr<QWidget>()>;

  static constexpr uint32_t kUiWaitMs = 10000;

  // trafficList may be null (no lines). factory: makes the Setup dialog with the
  // process's parameters; empty, there is no dialog to photograph ("APP SETTINGS
  // FORM" answers as for a dialog that could not be made).
  CAppPipeCommandSource(QTreeWidget* trafficList, DialogFactory factory, uint32_t uiWaitMs = kUiWaitMs);

  std::string MainWindowText() override;
  std::vector<std::string> TrafficLines() override;
  SettingsFormResult SaveSettingsForm(const std::string& path) override;

 private:
  // Runs fn on the UI thread; false when the wait gave up.
  bool OnUiThread(const std::function<void()>& fn);

  CUiThreadCall m_Ui;
  QPointer<QTreeWidget> m_TrafficList;
  DialogFactory m_Factory;
  const uint32_t m_UiWaitMs;
};
