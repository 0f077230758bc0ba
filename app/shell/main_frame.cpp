#include "app/shell/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>

#include "app/qt/timed_message_box.h"
#include "app/shell/kvr_app.h"
#include "app/shell/kvr_view.h"
#include "core/params/param_store.h"
#include "platform/window/window.h"

CMainFrame::CMainFrame(std::unique_ptr<CViewComponents> components) {
  setWindowTitle(QStringLiteral("Corvane"));
  resize(640, 420);
  // The caption keeps its menu, minimise and maximise buttons, but no close button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint);

  m_View = new CKVRView(this, std::move(components));
  setCentralWidget(m_View);

  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->addAction(QStringLiteral("E&xit"), this, &CMainFrame::OnAppExit);
  QMenu* setup = menuBar()->addMenu(QStringLiteral("&Setup"));
  QAction* setup_action = setup->addAction(QStringLiteral("&Setup Information"), m_View, &CKVRView::OnSetupParameters);
  setup_action->setStatusTip(QStringLiteral("Setup Parameters"));
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  QAction* about_action = help->addAction(QStringLiteral("&About"), [] { theApp.OnAppAbout(); });

  QToolBar* tools = addToolBar(QStringLiteral("Toolbar"));
  tools->setMovable(true);
  setup_action->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
  about_action->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
  tools->addAction(setup_action);
  tools->addSeparator();
  tools->addAction(about_action);
  // The message pane shows a command's prompt while the mouse is on it and "Ready"
  // otherwise: leaving a menu item sends an empty tip, which brings "Ready" back.
  statusBar()->showMessage(QString::fromLatin1(kIdleMessage));
  connect(statusBar(), &QStatusBar::messageChanged, this, [this](const QString& message) {
    if (message.isEmpty()) statusBar()->showMessage(QString::fromLatin1(kIdleMessage));
  });

  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    m_Tray = new QSystemTrayIcon(style()->standardIcon(QStyle::SP_ComputerIcon), this);
    m_Tray->setToolTip(QString::fromLatin1(kTrayTip).left(128));
    connect(m_Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
      if (reason == QSystemTrayIcon::DoubleClick) OnTrayDoubleClick();
    });
    m_Tray->show();
  }
}

CMainFrame::~CMainFrame() = default;

bool CMainFrame::TrayWhenMinimized() const {
  return g_ParamStore.GetSettings().GetParams().GetParamValue(kParmGoToTrayWhenMinimized) == "Y";
}

void CMainFrame::RemoveTrayIcon() {
  if (m_Tray) m_Tray->hide();
}

void CMainFrame::OnTrayDoubleClick() {
  if (!TrayWhenMinimized()) return;
  showNormal();
  raise();
  activateWindow();
}

void CMainFrame::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Hiding needs a tray to come back from: without one the window stays minimised.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && m_Tray && TrayWhenMinimized()) {
    QTimer::singleShot(0, this, [this] { hide(); });
  }
}

void CMainFrame::OnAppExit() { close(); }

void CMainFrame::RequestClose() {
  RequestCloseFromOutside();
  m_View->OnCloseRequested();
  close();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (m_Closing) {
    event->accept();
    return;
  }
  if (event->spontaneous()) {
    // The window system's close (the caption, a window manager's key): the close
    // button is greyed, so nothing happens.
    event->ignore();
    return;
  }
  if (m_InCloseSequence) {
    // A second request while the first one asks its questions: that one goes on.
    event->ignore();
    return;
  }
  if (m_View->Busy()) {
    // A start, a stop or a dialog is still running: close once it has returned.
    event->ignore();
    m_View->CallWhenIdle([this] { close(); });
    return;
  }
  struct CSequenceScope {
    bool& flag;
    explicit CSequenceScope(bool& f) : flag(f) { flag = true; }
    ~CSequenceScope() { flag = false; }
  } sequence(m_InCloseSequence);
  const platform::window::LRESULT answer =
      platform::window::SendMessage(m_View->Handle(), WM_STOP_ALL_INTERFACES, 0, 0);
  if (answer == 0) {
    RemoveTrayIcon();
    m_Closing = true;
    event->accept();
    QCoreApplication::quit();
    return;
  }
  if (AskTimed("There are requests in Process.\rAre you SURE you want to do this?\r\r", theApp.m_StartedAsService,
               IDYES, 0) == IDYES) {
    // The close goes ahead: the interfaces stop first, so that the exchange at the
    // host ends and the clients get their last replies.
    m_View->StopForClose();
    RemoveTrayIcon();
    m_Closing = true;
    event->accept();
    QCoreApplication::quit();
    return;
  }
  event->ignore();
}
