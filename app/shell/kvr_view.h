// The traffic view, and the conductor of the server: it owns the objects that run
// the interfaces (ReverseWorker, Elavon processing thread, dial backup, client
// listener, management pipe), starts them in a fixed order once the window is up,
// stops them in the reverse order before the window closes or after the Setup
// dialog, and refreshes the main window's title every 500 ms. Worker threads reach
// it only through the messages they post to its window handle (g_TrafficListWnd).
// UI thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QTreeWidget>

#include "app/shell/view_components.h"
#include "platform/sync/event.h"
#include "platform/window/window.h"

constexpr uint32_t WM_START_ALL_INTERFACES = platform::window::WM_APP + 1;
constexpr uint32_t WM_UPDATE_TITLE_LINE = platform::window::WM_APP + 2;
constexpr uint32_t WM_STOP_ALL_INTERFACES = platform::window::WM_APP + 3;
constexpr uint32_t WM_SHOW_OFFLINE_TITLE = platform::window::WM_APP + 8;
constexpr uint32_t WM_TRAY_NOTIFY = platform::window::WM_APP + 9;
constexpr uintptr_t kTitleTimerId = 52;
inline constexpr char kOfflineTitle[] = "Corvane (Elavon)      OFFLINE       OFFLINE";

// True once the first start of the interfaces has downloaded the parameters.
extern bool g_ParametersRetrieved;

// How long a service waits before it tries the Elavon start again (30 s).
inline constexpr uint32_t kServiceRetryMs = 30000;

// The parts of the start that live in other rooms, wired by the application.
struct CViewHooks {
  std::function<bool(const std::string& pipe_name)> start_pipe;  // the management pipe
  std::function<void()> stop_pipe;
  std::function<void()> retrieve_parameters;                    // one configuration download
  std::function<bool()> run_setup_dialog;                        // true: restart the interfaces
  // The view's own boxes: ShowTimedMessage and AskTimed without a time-out.
  std::function<void(const std::string& text, bool log, bool silent)> show_message;
  std::function<int(const std::string& text, bool silent, int default_answer)> ask;
};

class CKVRView : public QTreeWidget {
  Q_OBJECT

 public:
  // components: what the view starts and stops (nullptr: the server's own, as the
  // wiring makes them: MakeServerComponents).
  explicit CKVRView(QWidget* parent, std::unique_ptr<CViewComponents> components = nullptr);
  ~CKVRView() override;

  void SetHooks(CViewHooks hooks) { m_Hooks = std::move(hooks); }
  platform::window::WindowHandle Handle() const { return m_Handle; }

  int StartAllInterfaces();
  void StopAllInterfaces();
  // What a close that goes ahead runs first: every interface stopped, then the
  // management pipe when the launcher started the program.
  void StopForClose();
  void UpdateTitleLine();
  void AddTrafficLine(const std::string& text);
  void OnSetupParameters();

  // A close request from outside arrived (SIGTERM): a start in progress ends at its
  // next step, and its waits end now (the parameter download gives up on the
  // configuration service, a service's pause before the next Elavon try ends).
  void OnCloseRequested();
  // For tests: the pause between a service's Elavon tries.
  void SetServiceRetryMsForTesting(uint32_t ms) { m_ServiceRetryMs = ms; }

  // True while a start, a stop or the Setup dialog is running: a close request must
  // wait, since it would destroy the view under its own method. `when_idle` runs
  // once the outermost of them has returned.
  bool Busy() const { return m_Busy > 0; }
  void CallWhenIdle(std::function<void()> when_idle) { m_WhenIdle = std::move(when_idle); }

 private:
  platform::window::LRESULT WindowProc(uint32_t message, platform::window::WPARAM wparam);
  void SetFrameTitle(const QString& title);
  void Progress(const char* text);
  void Show(const std::string& text, bool log);
  int Ask(const std::string& text, bool silent, int default_answer);
  // Steps 4 to 11 of the start; returning ends the start (step 12 follows).
  void StartSteps();
  // Steps 10 and 11: the client listener, the title timer.
  void StartListenerAndTimer(int lanes);
  // Waits ms while the window is served; true when a close request (or a quit) ended
  // the wait first.
  bool WaitUnlessStopped(uint32_t ms);

  // Counts the running starts, stops and dialogs; runs m_WhenIdle at the end of the
  // outermost one.
  class CBusyScope {
   public:
    explicit CBusyScope(CKVRView* view) : m_View(view) { ++m_View->m_Busy; }
    ~CBusyScope();

   private:
    CKVRView* m_View;
  };

  platform::window::WindowHandle m_Handle = 0;
  CViewHooks m_Hooks;
  int m_Busy = 0;
  bool m_Starting = false;
  uint32_t m_ServiceRetryMs = kServiceRetryMs;
  platform::Event m_CloseRequested{platform::Event::Mode::kManualReset, false};
  std::function<void()> m_WhenIdle;
  class CTimedMessageBox* m_ProgressBox = nullptr;
  std::unique_ptr<CViewComponents> m_Components;
};
