#include "app/shell/setup_dialog.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <utility>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>

#include "app/qt/timed_message_box.h"
#include "core/params/param_store.h"
#include "core/queue/process_events.h"
#include "core/vocab/text_helpers.h"
#include "platform/thread/worker_thread.h"

namespace {

// MessageBox styles.
constexpr unsigned kOkBox = 0x00;        // MB_OK
constexpr unsigned kYesNoBox = 0x04;     // MB_YESNO
constexpr unsigned kQuestionIcon = 0x20;  // MB_ICONQUESTION

// Control ids of the dialog resource.
enum : int {
  IDC_BIN = 1000,
  IDC_USE_PASSWORD = 1002,
  IDC_PASSWORD = 1003,
  IDC_TERMINAL_ID = 1004,
  IDC_MERCHANT_CATEGORY = 1008,
  IDC_CHECK_VERIFICATION = 1010,
  IDC_CHECK_GUARANTEE = 1011,
  IDC_PHONE_NUMBER = 1013,
  IDC_COM_PORT = 1016,
  IDC_DIAL_PREFIX = 1017,
  IDC_CONNECT_TIMEOUT = 1022,
  IDC_CHECK_CONVERSION = 1026,
  IDC_DO_NOT_CONNECT = 1028,
  IDC_TRANSPORT_IP = 1030,
  IDC_TRANSPORT_IP_DIAL = 1031,
  IDC_TRANSPORT_DIAL = 1032,
  IDC_SYSTEM_TRAY = 1033,
  IDC_DUPLICATE_YES = 1035,
  IDC_DUPLICATE_NO = 1036,
  IDC_LANE_SETUP = 1037,
  IDC_LOAD_NEW_PARAMETERS = 1038,
  IDC_NUMBER_OF_LANES = 1039,
  IDC_VERIFY_CERTIFICATE = 1041,
  IDC_EMV_NONE = 1043,
  IDC_EMV_CREDIT = 1044,
  IDC_EMV_CREDIT_DEBIT = 1045,
  IDC_CVM_ALL = 1046,
  IDC_CVM_SIGNATURE = 1047,
  IDC_CVM_NONE = 1048,
  IDC_OK = 1,
};

QString ToQt(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

// A parameter as a number: an optional sign and the leading digits, 0 when there
// are none; clamped to the int range.
int TextToInt(const std::string& text) { return AtoiClamped(text); }

// 1 -> the second choice, 2 -> the third, anything else -> the first.
int ChoiceOf(int value) { return value == 1 || value == 2 ? value : 0; }

int FlagOf(const std::string& text) { return text == "Y" ? 1 : 0; }

void SetChecked(QButtonGroup* group, int index) {
  QAbstractButton* button = group->button(index);
  if (button) {
    button->setChecked(true);
    return;
  }
  // No choice: every button unchecked, which an exclusive group refuses.
  group->setExclusive(false);
  for (QAbstractButton* b : group->buttons()) b->setChecked(false);
  group->setExclusive(true);
}

}  // namespace

// ---------------------------------------------------------------------------------
// The download on a worker thread

uint32_t ParameterRetrievalThreadProc(void* argument) {
  auto* download = static_cast<CParameterDownload*>(argument);
  download->m_DownloadSucceeded = false;
  if (download->DownloadParameters()) download->m_DownloadSucceeded = true;
  return 0;
}

bool RunWorkerThread(WorkerThreadProc proc, void* argument, const SetupMessageSink& failureMessage) {
  platform::WorkerThread thread;
  if (!proc || !thread.Start([proc, argument] { return proc(argument); }, /*start_suspended=*/true)) {
    if (failureMessage) failureMessage("The Thread could NOT be started.\r\nThis error is FATAL!", kOkBox);
    return false;
  }
  thread.Resume();
  platform::Event* exited = &thread.ExitEvent();
  // A quit request ends the pump early (and stays pending); the worker is bounded by
  // its own time-outs and is waited for all the same, since it uses the argument.
  PumpMessagesAndWait(1, &exited);
  thread.Join(platform::kInfinite);
  return true;
}

bool RunWorkerThread(WorkerThreadProc proc, void* argument) {
  return RunWorkerThread(proc, argument, DefaultLaneMessageSink());
}

// ---------------------------------------------------------------------------------
// CSetupParamsDlg

CSetupParamsDlg::CSetupParamsDlg(QWidget* parent) : CSetupParamsDlg(parent, CSetupDialogContext()) {}

CSetupParamsDlg::CSetupParamsDlg(QWidget* parent, CSetupDialogContext context)
    : QDialog(parent), m_Context(std::move(context)) {
  if (!m_Context.message) m_Context.message = DefaultLaneMessageSink();
  setWindowTitle("Setup Corvane Parameters");

  // Every control is a direct child of the dialog, as in a dialog resource, so that
  // the snapshot's flattening reaches each of them.
  auto* grid = new QGridLayout(this);
  int row = 0;
  auto keep = [this](int id, QWidget* control) {
    control->setObjectName(QString("control%1").arg(id));
    m_Controls[id] = control;
    return control;
  };
  auto edit = [&](int id, const char* caption, int column) {
    auto* line = new QLineEdit(this);
    keep(id, line);
    line->setEnabled(false);
    grid->addWidget(new QLabel(caption, this), row, column);
    grid->addWidget(line, row, column + 1);
    return line;
  };
  auto heading = [&](const char* caption, int column) {
    grid->addWidget(new QLabel(caption, this), row, column);
  };
  auto radios = [&](std::initializer_list<std::pair<int, const char*>> choices, int column) {
    auto* group = new QButtonGroup(this);
    int index = 0;
    for (const auto& [id, caption] : choices) {
      auto* radio = new QRadioButton(caption, this);
      keep(id, radio);
      radio->setEnabled(false);
      group->addButton(radio, index++);
      grid->addWidget(radio, ++row, column);
    }
    return group;
  };
  auto check = [&](int id, const char* caption, int column) {
    auto* box = new QCheckBox(caption, this);
    keep(id, box);
    box->setEnabled(false);
    grid->addWidget(box, row, column, 1, 2);
    return box;
  };

  // Left column: identity, password, options, transport.
  m_Bin = edit(IDC_BIN, "Asssigned BIN Number\n(6) Digits Fixed", 0);
  ++row;
  m_TerminalId = edit(IDC_TERMINAL_ID, "Merchant Terminal ID\n(max 16 Digits)", 0);
  ++row;
  m_MerchantCategory = new QComboBox(this);
  keep(IDC_MERCHANT_CATEGORY, m_MerchantCategory);
  m_MerchantCategory->addItems({"Retail / Grocery", "Moto", "eCommerce"});
  m_MerchantCategory->setEnabled(false);
  grid->addWidget(new QLabel("Merchant Category", this), row, 0);
  grid->addWidget(m_MerchantCategory, row, 1);
  ++row;
  heading("Electronic Check Service", 0);
  m_CheckService = radios({{IDC_CHECK_CONVERSION, "Conversion Only"},
                           {IDC_CHECK_VERIFICATION, "Conversion with Verification"},
                           {IDC_CHECK_GUARANTEE, "Conversion with Guarantee"}},
                          0);
  ++row;
  heading("Local Duplicate Checking", 0);
  m_DuplicateCheck = radios({{IDC_DUPLICATE_NO, "No"}, {IDC_DUPLICATE_YES, "Yes"}}, 0);
  ++row;
  m_UsePassword = check(IDC_USE_PASSWORD, "Use Client / Server Password", 0);
  ++row;
  m_Password = new QLineEdit(this);
  keep(IDC_PASSWORD, m_Password);
  m_Password->setEchoMode(QLineEdit::Password);  // shown masked; its text is the stored value
  m_Password->setEnabled(false);
  grid->addWidget(m_Password, row, 0, 1, 2);
  ++row;
  m_DoNotConnect = check(IDC_DO_NOT_CONNECT, "Do Not Connect to Elavon on Startup", 0);
  ++row;
  m_VerifyCertificate = check(IDC_VERIFY_CERTIFICATE, "Verify Vital SSL Certificate", 0);
  ++row;
  m_SystemTray = check(IDC_SYSTEM_TRAY, "Go To System Tray when Minimized.", 0);
  const int leftRows = row;

  // Right column: transport, dial, time-out, EMV, lanes.
  row = 0;
  heading("Transport ", 2);
  m_Transport = radios({{IDC_TRANSPORT_IP, "IP Only"},
                        {IDC_TRANSPORT_IP_DIAL, "IP with DIAL Backup"},
                        {IDC_TRANSPORT_DIAL, "DIAL Only"}},
                       2);
  ++row;
  // Plain line edits show the stored texts exactly (a spin box would rewrite them
  // to its range); the ranges 1 to 255 and 3 to 40 are the service's to keep.
  m_ComPort = edit(IDC_COM_PORT, "Comm Port", 2);
  ++row;
  m_DialPrefix = edit(IDC_DIAL_PREFIX, "Dial Prefix ", 2);
  ++row;
  m_PhoneNumber = edit(IDC_PHONE_NUMBER, "Elavon Authorization Phone No.", 2);
  ++row;
  m_ConnectTimeout = edit(IDC_CONNECT_TIMEOUT, "Connect Timeout to Elavon", 2);
  grid->addWidget(new QLabel("Seconds.", this), row, 4);
  ++row;
  heading("EMV Support", 2);
  ++row;
  heading("Transaction Support", 2);
  m_EmvSupport = radios({{IDC_EMV_NONE, "None"},
                         {IDC_EMV_CREDIT, "Credit Only"},
                         {IDC_EMV_CREDIT_DEBIT, "Credit and Swiped PIN Debit"}},
                        2);
  ++row;
  heading("CVM Support", 2);
  m_EmvCvm = radios({{IDC_CVM_ALL, "All"}, {IDC_CVM_SIGNATURE, "Signature"}, {IDC_CVM_NONE, "None"}}, 2);
  ++row;
  m_NumberOfLanes = edit(IDC_NUMBER_OF_LANES, "Max Lanes", 2);
  m_NumberOfLanes->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_NumberOfLanes));

  // The three enabled controls.
  row = std::max(row, leftRows) + 1;
  m_LaneSetup = new QPushButton("Lane Setup", this);
  keep(IDC_LANE_SETUP, m_LaneSetup);
  m_LoadNewParameters = new QPushButton("Load New Parameters", this);
  keep(IDC_LOAD_NEW_PARAMETERS, m_LoadNewParameters);
  m_Ok = new QPushButton("OK", this);
  keep(IDC_OK, m_Ok);
  m_Ok->setDefault(true);
  grid->addWidget(m_LaneSetup, row, 0);
  grid->addWidget(m_LoadNewParameters, row, 1);
  grid->addWidget(m_Ok, row, 3);
  // Enter and Space never press a button other than the one clicked.
  m_LaneSetup->setAutoDefault(false);
  m_LoadNewParameters->setAutoDefault(false);

  connect(m_LaneSetup, &QPushButton::clicked, this, &CSetupParamsDlg::OnLaneSetup);
  connect(m_LoadNewParameters, &QPushButton::clicked, this, &CSetupParamsDlg::OnLoadNewParameters);
  connect(m_Ok, &QPushButton::clicked, this, &CSetupParamsDlg::OnOK);
  KeepTitleVisible(this);
}

CSetupParamsDlg::~CSetupParamsDlg() = default;

const CParamStore& CSetupParamsDlg::Store() const { return m_Context.store ? *m_Context.store : g_ParamStore; }

int CSetupParamsDlg::Message(const std::string& text, unsigned style) const { return m_Context.message(text, style); }

QWidget* CSetupParamsDlg::Control(int id) const {
  const auto it = m_Controls.find(id);
  return it == m_Controls.end() ? nullptr : it->second;
}

void CSetupParamsDlg::OnInitDialog() {
  LoadFields();
  UpdateData(false);
}

int CSetupParamsDlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

bool CSetupParamsDlg::Create() {
  setAttribute(Qt::WA_DontShowOnScreen, true);
  setAttribute(Qt::WA_ShowWithoutActivating, true);
  OnInitDialog();
  show();  // lays the controls out; nothing reaches the screen
  return true;
}

bool CSetupParamsDlg::LoadFields() {
  const CParamMap params = Store().GetSettings().GetParams();
  auto text = [&params](int n) { return params.GetParamValue(n); };

  m_Values.m_Bin = text(kParmAssignedBin);
  m_Values.m_TerminalId = text(kParmMerchantTerminalId);
  const int category = TextToInt(text(kParmMerchantCategory));
  m_Values.m_MerchantCategory = category == 3 ? 1 : (category == 4 ? 2 : 0);
  m_Values.m_CheckService = ChoiceOf(TextToInt(text(kParmECheck)));
  m_Values.m_DuplicateCheck = FlagOf(text(kParmDuplicateCheck));  // 0 "No", 1 "Yes"
  m_Values.m_UsePassword = FlagOf(text(kParmUseCorvPassword));
  m_Values.m_Password = m_Values.m_UsePassword ? text(kParmCorvPassword) : std::string();
  m_Values.m_DoNotConnect = FlagOf(text(kParmDoNotConnectOnStartup));
  m_Values.m_VerifyCertificate = FlagOf(text(kParmVerifySslCertificate));
  m_Values.m_SystemTray = FlagOf(text(kParmGoToTrayWhenMinimized));
  m_Values.m_Transport = ChoiceOf(TextToInt(text(kParmTransportMethod)));
  m_Values.m_ComPort = text(kParmModemComPort);
  m_Values.m_DialPrefix = text(kParmDialPrefix);
  m_Values.m_PhoneNumber = text(kParmAuthorizationPhone);
  m_Values.m_ConnectTimeout = text(kParmIpConnectTimeout);
  m_Values.m_EmvSupport = ChoiceOf(TextToInt(text(kParmEmvSupport)));
  m_Values.m_EmvCvm = ChoiceOf(TextToInt(text(kParmEmvCvm)));
  m_Values.m_NumberOfLanes = text(kParmNumberOfLanes);
  return true;
}

bool CSetupParamsDlg::UpdateData(bool saveAndValidate) {
  struct TextField {
    QLineEdit* control;
    std::string* value;
  };
  const TextField texts[] = {
      {m_Bin, &m_Values.m_Bin},
      {m_TerminalId, &m_Values.m_TerminalId},
      {m_Password, &m_Values.m_Password},
      {m_ComPort, &m_Values.m_ComPort},
      {m_DialPrefix, &m_Values.m_DialPrefix},
      {m_PhoneNumber, &m_Values.m_PhoneNumber},
      {m_ConnectTimeout, &m_Values.m_ConnectTimeout},
      {m_NumberOfLanes, &m_Values.m_NumberOfLanes},
  };
  struct ChoiceField {
    QButtonGroup* control;
    int* value;
  };
  const ChoiceField choices[] = {
      {m_CheckService, &m_Values.m_CheckService}, {m_DuplicateCheck, &m_Values.m_DuplicateCheck},
      {m_Transport, &m_Values.m_Transport},       {m_EmvSupport, &m_Values.m_EmvSupport},
      {m_EmvCvm, &m_Values.m_EmvCvm},
  };
  struct CheckField {
    QCheckBox* control;
    int* value;
  };
  const CheckField checks[] = {
      {m_UsePassword, &m_Values.m_UsePassword},
      {m_DoNotConnect, &m_Values.m_DoNotConnect},
      {m_VerifyCertificate, &m_Values.m_VerifyCertificate},
      {m_SystemTray, &m_Values.m_SystemTray},
  };

  if (saveAndValidate) {
    for (const TextField& f : texts) *f.value = FromQt(f.control->text());
    for (const ChoiceField& f : choices) *f.value = f.control->checkedId();
    for (const CheckField& f : checks) *f.value = f.control->isChecked() ? 1 : 0;
    m_Values.m_MerchantCategory = m_MerchantCategory->currentIndex();
  } else {
    for (const TextField& f : texts) f.control->setText(ToQt(*f.value));
    for (const ChoiceField& f : choices) SetChecked(f.control, *f.value);
    for (const CheckField& f : checks) f.control->setChecked(*f.value != 0);
    m_MerchantCategory->setCurrentIndex(m_Values.m_MerchantCategory);
  }
  return true;
}

void CSetupParamsDlg::OnOK() {
  if (UpdateData(true)) accept();
}

void CSetupParamsDlg::OnLaneSetup() {
  CLaneSetupDlg lanes(this, Store(), m_Context.lanesFile, m_Context.message);
  lanes.exec();
}

void CSetupParamsDlg::OnLoadNewParameters() {
  // Closing the dialog will restart the interfaces, whatever the outcome.
  m_ParametersLoaded = true;
  platform::Event& abort = m_Context.abortEvent ? *m_Context.abortEvent : g_AbortEvent;
  if (abort.IsSet()) {
    // The Elavon interface is stopped: the configuration socket would give up at
    // once while the event is set.
    abort.Pulse();
    LoadNewParameters();
    abort.Set();
  } else {
    LoadNewParameters();
  }
}

void CSetupParamsDlg::LoadNewParameters() {
  // The box belongs to this dialog: it holds the dialog disabled and stays in front of it.
  CTimedMessageBox progress;
  progress.Create(this);
  QApplication::setOverrideCursor(Qt::WaitCursor);

  std::unique_ptr<CParameterDownload> download =
      m_Context.makeDownload ? m_Context.makeDownload() : MakeDefaultParameterDownload();
  while (download) {
    progress.SetText("Attempting to Retrieve Parameters from RVCS...");
    RunWorkerThread(ParameterRetrievalThreadProc, download.get(), m_Context.message);
    download->Disconnect();

    if (download->m_DownloadSucceeded) {
      LoadFields();
      UpdateData(false);
      // The descriptions belong to the previous assignment of lane ids.
      m_Context.lanesFile.Clear();
      Message("Parameters Successfully Loaded\r\nSome Changes may not take effect until you 'OK' the Setup Screen.",
              kOkBox);
      break;
    }
    const std::string question = "Parameter Load Failed - " + download->GetLastErrorText() + "\r\n\r\n  Try Again?";
    if (Message(question, kYesNoBox | kQuestionIcon) != IDYES) break;
  }

  download.reset();
  QApplication::restoreOverrideCursor();
  progress.DestroyWindow();
}

bool RunSetupParamsDialog() {
  // Owned by the main window, as a dialog without a parent is on the original platform.
  CSetupParamsDlg dialog(GetMainWindow());
  const int result = dialog.exec();
  return result == QDialog::Accepted || dialog.m_ParametersLoaded;
}
