// The main window: toolbar, status bar, the traffic view as its centre, and the tray
// icon. It can hide in the tray when minimised (GO TO SYSTEM TRAY WHEN MINIMIZED
// "Y"), and it closes only after the view has stopped every interface. Its caption
// has no close button: the window closes only through File, Exit or a close request
// from outside (RequestClose); a close that the window system asks for is refused.
// UI thread only.
#pragma once

#include <memory>

#include <QMainWindow>

#include "app/shell/view_components.h"

class CKVRView;
class QSystemTrayIcon;

constexpr int kTrayIconId = 144;
inline constexpr char kTrayTip[] = "ZW 5.18";
// The status bar's message pane when no command's prompt is shown.
inline constexpr char kIdleMessage[] = "Ready";

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  // components: what the view starts and stops (nullptr: the server's own).
  explicit CMainFrame(std::unique_ptr<CViewComponents> components = nullptr);
  ~CMainFrame() override;

  CKVRView* View() const { return m_View; }
  // True when the last close request was granted (the window is closing).
  bool Closing() const { return m_Closing; }

  // The tray icon's double click (what the shell's callback would deliver).
  void OnTrayDoubleClick();

  // File, Exit: the close sequence.
  void OnAppExit();
  // A close request from outside (SIGTERM, SIGINT): waiting boxes take their
  // defaults, modal dialogs close, and the close sequence runs (once the start, stop
  // or dialog in progress has returned).
  void RequestClose();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  bool TrayWhenMinimized() const;
  void RemoveTrayIcon();

  CKVRView* m_View = nullptr;
  QSystemTrayIcon* m_Tray = nullptr;
  bool m_Closing = false;
  bool m_InCloseSequence = false;  // a close sequence is running (it may be asking)
};
