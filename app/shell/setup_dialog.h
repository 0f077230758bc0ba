// The Setup dialog ("Setup Corvane Parameters"): shows the current merchant
// parameters read-only, opens the Lane Setup dialog, and downloads the parameters
// again from the configuration service ("Load New Parameters"). The parameters are
// never edited here; closing the dialog with OK, or after a download, makes the
// view restart the interfaces. The same dialog, created without being shown, is
// what the management pipe photographs.
//
// The download runs on a worker thread (RunWorkerThread) while the UI thread keeps
// dispatching messages; the two share only the download object, which the UI thread
// does not touch until the worker has ended. During it the abort event (normally
// g_AbortEvent) is cleared when it was set, and set again afterwards.
//
// Everything here runs on the UI thread and takes no lock of its own; the parameter
// store and the abort event lock themselves. Messages go through a message function
// (ShowMessageBox unless a test gives its own), so nothing blocks where no user is.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <QDialog>

#include "app/shell/lane_dialogs.h"
#include "app/lanes/lanes.h"
#include "platform/tls/sspi.h"

class CParamStore;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
namespace platform {
class Event;
}

// Plain message box: text and MB_ style bits; answers the command id (IDOK, IDYES...).
using SetupMessageSink = LaneMessageSink;

// One configuration-service download, as the Setup dialog and the view run it.
// DownloadParameters runs on the worker thread; the rest on the UI thread once
// the worker has ended.
class CParameterDownload {
 public:
  virtual ~CParameterDownload() = default;
  // The whole download; true when the new parameters are stored.
  virtual bool DownloadParameters() = 0;
  // Why the last download failed.
  virtual std::string GetLastErrorText() const = 0;
  // Ends the connection, when one is left.
  virtual void Disconnect() = 0;

  // Set by ParameterRetrievalThreadProc: false before, true after a download that
  // succeeded.
  bool m_DownloadSucceeded = false;
};

// The download from the configuration service (CRvcsClient) with the given security
// functions and credentials, storing into store (nullptr: g_ParamStore).
std::unique_ptr<CParameterDownload> MakeRvcsParameterDownload(platform::tls::PSecurityFunctionTableA functionTable,
                                                             platform::tls::PCredHandle credentials,
                                                             CParamStore* store = nullptr);
// The same with the process's security interface (g_SspiInterface).
std::unique_ptr<CParameterDownload> MakeDefaultParameterDownload();

// A worker thread procedure: its argument, its exit code.
using WorkerThreadProc = uint32_t (*)(void* argument);

// The worker of a download; argument is a CParameterDownload. Its result flag :=
// false, then DownloadParameters, then the flag := true when that succeeded. Returns 0.
uint32_t ParameterRetrievalThreadProc(void* argument);

// Runs proc(argument) on a new worker thread and returns when it has ended,
// dispatching the UI thread's messages meanwhile. When no thread can be started,
// shows "The Thread could NOT be started.\r\nThis error is FATAL!" through
// failureMessage (an empty function: nothing is shown) and returns false.
bool RunWorkerThread(WorkerThreadProc proc, void* argument, const SetupMessageSink& failureMessage);
// The same with ShowMessageBox for the failure message.
bool RunWorkerThread(WorkerThreadProc proc, void* argument);

// What the dialog works with; the process's objects unless a test gives others.
struct CSetupDialogContext {
  const CParamStore* store = nullptr;       // nullptr: g_ParamStore
  CLanesFile lanesFile;                     // "LanesInfo.dat" in the working folder
  SetupMessageSink message;                 // empty: ShowMessageBox
  platform::Event* abortEvent = nullptr;    // nullptr: g_AbortEvent
  // Makes the client of one "Load New Parameters" (empty: MakeDefaultParameterDownload).
  std::function<std::unique_ptr<CParameterDownload>()> makeDownload;
};

// The values exchanged with the controls (see the table in CSetupParamsDlg). Texts
// empty, indexes -1 and checks 0 until LoadFields.
struct CSetupValues {
  int m_UsePassword = 0;
  std::string m_Password;
  std::string m_TerminalId;
  int m_Transport = -1;
  std::string m_ComPort;
  std::string m_DialPrefix;
  std::string m_PhoneNumber;
  std::string m_ConnectTimeout;
  std::string m_Bin;
  int m_MerchantCategory = -1;
  int m_CheckService = -1;
  int m_DoNotConnect = 0;
  int m_SystemTray = 0;
  int m_DuplicateCheck = -1;
  std::string m_NumberOfLanes;
  int m_VerifyCertificate = 0;
  int m_EmvSupport = -1;
  int m_EmvCvm = -1;
};

// "Setup Corvane Parameters". Controls by id (Control(id)):
//   1000 BIN, 1004 merchant/terminal id, 1003 password, 1016 COM port, 1017 dial
//   prefix, 1013 phone number, 1022 connect time-out, 1039 number of lanes: line
//   edits, disabled, showing the stored text as it is;
//   1008 merchant category list ("Retail / Grocery", "Moto", "eCommerce");
//   radio groups 1026/1010/1011 check service, 1036/1035 duplicate checking (No,
//   Yes), 1030/1031/1032 transport, 1043/1044/1045 EMV support, 1046/1047/1048 CVM;
//   check boxes 1002 use password, 1028 do not connect, 1041 verify certificate,
//   1033 system tray; all disabled.
//   Enabled: 1037 "Lane Setup", 1038 "Load New Parameters", 1 "OK".
class CSetupParamsDlg : public QDialog {
  Q_OBJECT

 public:
  // The process's objects.
  explicit CSetupParamsDlg(QWidget* parent = nullptr);
  CSetupParamsDlg(QWidget* parent, CSetupDialogContext context);
  ~CSetupParamsDlg() override;

  // LoadFields, then the values to the controls; exec() does it before showing
  // the dialog, Create before the modeless (never shown) use.
  void OnInitDialog();
  int exec() override;
  // Creates the dialog modeless and lays it out without showing it on screen.
  bool Create();

  // A copy of the current settings into the values, by the table. Always true.
  bool LoadFields();
  // saveAndValidate false: values to the controls; true: controls to the values.
  bool UpdateData(bool saveAndValidate);

  const CSetupValues& Values() const { return m_Values; }
  // The control of that id, or nullptr.
  QWidget* Control(int id) const;

  // Set by the first "Load New Parameters", whatever its outcome: the caller
  // restarts the interfaces after the dialog ends.
  bool m_ParametersLoaded = false;

 public slots:
  // Values from the controls, then the dialog ends with OK. Nothing is written back.
  void OnOK();
  // The Lane Setup dialog, modal.
  void OnLaneSetup();
  // Marks the dialog as having loaded parameters, clears the abort event for the
  // time of the download when it is set, and downloads (LoadNewParameters).
  void OnLoadNewParameters();

 private:
  // The download with its progress box and retry question.
  void LoadNewParameters();
  int Message(const std::string& text, unsigned style) const;
  const CParamStore& Store() const;

  CSetupDialogContext m_Context;
  CSetupValues m_Values;
  std::map<int, QWidget*> m_Controls;

  QLineEdit* m_Bin;
  QLineEdit* m_TerminalId;
  QComboBox* m_MerchantCategory;
  QButtonGroup* m_CheckService;
  QButtonGroup* m_DuplicateCheck;
  QCheckBox* m_UsePassword;
  QLineEdit* m_Password;
  QCheckBox* m_DoNotConnect;
  QCheckBox* m_VerifyCertificate;
  QCheckBox* m_SystemTray;
  QButtonGroup* m_Transport;
  QLineEdit* m_ComPort;
  QLineEdit* m_DialPrefix;
  QLineEdit* m_PhoneNumber;
  QLineEdit* m_ConnectTimeout;
  QButtonGroup* m_EmvSupport;
  QButtonGroup* m_EmvCvm;
  QLineEdit* m_NumberOfLanes;
  QPushButton* m_LaneSetup;
  QPushButton* m_LoadNewParameters;
  QPushButton* m_Ok;
};

// Shows the Setup dialog modally without parent; true when the interfaces should
// restart (it ended with OK, or loaded new parameters).
bool RunSetupParamsDialog();
