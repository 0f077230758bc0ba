// The application object: the first half of start-up (command line, single
// instance, profile, log folder, parameters, crypto engine, security interface, the
// window) and the last step of shut-down. Everything runs on the UI thread; the
// flags are written once at start-up and only read afterwards.
#pragma once

#include <memory>
#include <string>

#include "app/shell/instance_lock.h"

class CMainFrame;

// What the command line says.
struct CCommandLine {
  bool m_StartedAsService = false;
  bool m_StartedByLauncher = false;
  std::string m_DeviceId;
};
// "/started_as_service" anywhere; "/device_id=" followed by "[" id "]" with an id of
// at least two characters.
CCommandLine ParseCommandLine(const std::string& line);

inline constexpr char kInteractiveInstanceName[] = "Global\\KvrElavonTCPIP";
inline constexpr char kServiceInstanceName[] = "Global\\KvrElavonTCPIP_SERVICE";
inline constexpr char kVersionTag[] = "ZW 5.18";
inline constexpr char kAboutVersion[] = "5.06.18-0001";

class CKVRElavonIP_HostApp {
 public:
  CKVRElavonIP_HostApp();
  ~CKVRElavonIP_HostApp();

  // Start-up; false ends the process (ExitInstance still runs).
  bool InitInstance(const std::string& command_line);
  int ExitInstance();
  void OnAppAbout();
  CMainFrame* MainFrame() const { return m_Frame.get(); }

  bool m_StartedAsService = false;
  bool m_StartedByLauncher = false;
  std::string m_DeviceId;

 private:
  // Opens g_ReversalJournal in the working folder and logs what it read.
  void OpenReversalJournal();

  CInstanceLock m_InstanceMutex;
  bool m_Refused = false;  // another instance runs: start-up ended at the instance check
  std::unique_ptr<CMainFrame> m_Frame;
};

extern CKVRElavonIP_HostApp theApp;
