#include "host/dial/dial_backup.h"

#include <algorithm>

#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/queue/process_events.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/elavon_tran.h"
#include "host/dial/dial_frame.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"
#include "platform/window/window.h"

namespace {

constexpr int kSignalDsr = 1;
constexpr int kSignalCts = 2;
constexpr int kReversalCode = 50;
constexpr unsigned kReadChunk = 1023;
// Waits for the host are cut into slices this long, so that a carrier lost while
// nothing arrives is noticed; the stop event ends every slice at once.
constexpr uint32_t kLineCheckMs = 20;

constexpr const char* kModemFailureWords[] = {"NO CARRIER", "ERROR",       "NO DIALTONE", "BUSY",
                                               "NO ANSWER",  "LINE IN USE", "DIGITAL"};

uint32_t Elapsed(uint32_t start) { return platform::TickDiff(platform::TickCount(), start); }

bool Contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

}  // namespace

CDialBackup::CDialBackup(CTransactionQueue* queue, CDialSettingsSource settings, CLogger* logger,
                         CTranJournal* journal, platform::Event* abort)
    : m_SerialPort(logger),
      m_Logger(logger),
      m_Journal(journal),
      m_Abort(abort ? abort : &g_AbortEvent),
      m_Queue(queue ? *queue : g_TransactionQueue),
      m_Settings(settings ? std::move(settings) : CDialSettingsSource([] { return g_ParamStore.GetSettings(); })) {}

CDialBackup::~CDialBackup() {
  Stop();
  m_SerialPort.Close();
}

void CDialBackup::SetTimeoutsForTesting(const CDialTimeouts& timeouts, const CSerialPortTimeouts& portTimeouts) {
  m_Timeouts = timeouts;
  m_SerialPort.SetTimeoutsForTesting(portTimeouts);
}

bool CDialBackup::Start(int comPort) {
  Stop();
  m_ComPort = comPort;
  m_StartFailedEvent.Pulse();
  m_ReadyEvent.Pulse();
  m_StopEvent.Pulse();
  if (!m_WorkerThread.Start([this] { Run(); return 0u; }, /*start_suspended=*/true)) return false;
  m_WorkerThread.Resume();
  platform::Event* waits[] = {&m_StartFailedEvent, &m_ReadyEvent};
  if (platform::window::PumpMessagesAndWait(waits) == 1) return true;
  // Failed (the worker is ending) or a quit request: the thread is joined either way.
  Stop();
  return false;
}

bool CDialBackup::Stop() {
  m_StopEvent.Set();
  m_WorkerThread.Join();
  m_ReadyEvent.Reset();
  return true;
}

std::string CDialBackup::GetLastErrorText() const {
  platform::MutexLock lock(m_TextLock);
  return m_LastErrorText;
}

void CDialBackup::SetLastErrorText(const std::string& text) {
  platform::MutexLock lock(m_TextLock);
  m_LastErrorText = text;
}

bool CDialBackup::TraceStub(const std::string& text) {
  (void)text;
  return true;
}

bool CDialBackup::IsSignalActive(int signal) {
  return signal == kSignalDsr ? m_SerialPort.IsDsrOn() : m_SerialPort.IsCtsOn();
}

void CDialBackup::Run() {
  g_DialLineBusyEvent.Reset();
  m_SerialPort.SetAbortEvent(&m_StopEvent);
  if (!m_SerialPort.Open(m_ComPort, 19200, 'E', '7', '1')) {
    SetLastErrorText(platform::Format("Could not Open Com Port %d.", m_ComPort));
    m_StartFailedEvent.Set();
    return;
  }
  if (!IsSignalActive(kSignalDsr)) {
    SetLastErrorText(platform::Format(
        "DSR found Inactive on Com Port %d.\r\nMake Sure Quillon Device is Connected and Powered.", m_ComPort));
    m_SerialPort.Close();
    m_StartFailedEvent.Set();
    return;
  }
  if (!IsSignalActive(kSignalCts)) {
    SetLastErrorText(platform::Format(
        "CTS found Inactive on Com Port %d.\r\nYou may have a defective COM Port.\r\nIf you are emulating a COM "
        "Port,(USB to Serial Converter or equivalent)\r\nthe emulation may not fully support Flow "
        "Control.\r\nFlow Control is required.\r\n",
        m_ComPort));
    m_SerialPort.Close();
    m_StartFailedEvent.Set();
    return;
  }
  m_ReadyEvent.Set();

  bool lastFailed = false;
  for (;;) {
    CTranList snapshot;
    m_Queue.Snapshot(snapshot);
    for (CElavonTran& record : snapshot) {
      if (m_StopEvent.IsSet()) break;
      if (record.m_State == kTranStateHandedToDial && !record.m_OnDialLine) {
        Serve(std::move(record), lastFailed);
      }
    }
    if (m_StopEvent.Wait(m_Timeouts.m_PassMs)) break;
    TakeInIdleInput();
    if (!m_SerialPort.IsCarrierOn() && g_DialLineBusyEvent.IsSet()) g_DialLineBusyEvent.Reset();
  }
  // Closing drops DTR, which ends a call still up.
  g_DialLineBusyEvent.Reset();
  m_SerialPort.Close();
}

void CDialBackup::TakeInIdleInput() {
  const bool carrierBefore = m_SerialPort.IsCarrierOn();
  while (m_SerialPort.Read(kReadChunk) > 0) {
    if (m_SerialPort.GetReadData().find(kDialENQ) != std::string::npos) m_HostReady = true;
  }
  if (m_SerialPort.IsCarrierOn()) return;
  m_HostReady = false;
  if (carrierBefore) {
    CLogger& log = m_Logger ? *m_Logger : GetLogger();
    log.LogLine("Dial line dropped by the modem while idle on Com Port %d.", m_ComPort);
  }
}

void CDialBackup::Serve(CElavonTran record, bool& lastFailed) {
  // While the Elavon interface stops nothing new goes on the line: the routing takes
  // such records back unsent.
  if (m_Abort != nullptr && m_Abort->IsSet()) return;
  // Taken only as read: a record changed since the snapshot is not the routing's
  // latest word on it.
  record.m_OnDialLine = true;
  if (!m_Queue.UpdateIfCurrent(record.m_Id, record)) return;

  TakeInIdleInput();
  if (m_SerialPort.IsCarrierOn() && !lastFailed && record.m_TranCode == kReversalCode) {
    // A reversal goes out on a fresh call.
    if (!HangUp() && !HangUp()) {
      SetLastErrorText(kHangUpFailedText);
      record.MarkDialModemError();
      record.m_HostErrorText = kHangUpFailedText;
      WriteBack(record);
      return;
    }
  }
  if (!m_SerialPort.IsCarrierOn()) {
    lastFailed = false;
    m_HostReady = false;
    if (!InitModem() || !Dial()) {
      record.MarkDialModemError();
      record.m_HostErrorText = GetLastErrorText();
      WriteBack(record);
      return;
    }
  }
  if (!m_SerialPort.IsCarrierOn()) {
    WriteBack(record);  // still handed over: served on a later pass
    return;
  }

  g_DialLineBusyEvent.Set();
  const ExchangeResult result = Exchange(record);
  if (result == ExchangeResult::kNotSent || result == ExchangeResult::kRefusedByJournal) {
    // Nothing reached the host. The call went before the request was written: the
    // record waits in state 9 for the next pass, which dials first. The journal could
    // not keep it: it is not sent at all.
    g_DialLineBusyEvent.Reset();
    if (result == ExchangeResult::kRefusedByJournal) {
      record.MarkDialModemError();
      record.m_HostErrorText = GetLastErrorText();
    }
    WriteBack(record);
    return;
  }
  if (result == ExchangeResult::kAnswered) {
    record.MarkDialAnswerReceived();
    if (record.m_TranCode == kReversalCode) {
      record.m_ErrorCode = kErrorResponseTimeout;
      record.m_RequestKind = kRequestKindClear;
    }
  } else {
    record.MarkDialExchangeFailed();
    lastFailed = record.m_TranCode != kReversalCode;
    record.m_HostErrorText = GetLastErrorText();
    HangUp();
  }
  WriteBack(record);
}

void CDialBackup::WriteBack(CElavonTran& record) {
  record.m_OnDialLine = false;
  if (!m_Queue.UpdateIfCurrent(record.m_Id, record)) {
    CLogger& log = m_Logger ? *m_Logger : GetLogger();
    log.LogLine("Dial backup: record %d of %s is no longer the one it carried; its outcome is not written",
                record.m_Id, record.m_ClientAddress.c_str());
  }
}

CTranJournal& CDialBackup::Journal() { return m_Journal ? *m_Journal : ProcessTranJournal(); }

bool CDialBackup::InitModem() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    m_SerialPort.PurgeReceive();
    if (m_SerialPort.SendCommand(kInitCommand, true) != CSerialPort::kResultSuccess) {
      SetLastErrorText(kTransmitFailedText);
      return false;
    }
    std::string line;
    if (m_SerialPort.ReadLine(m_Timeouts.m_InitReplyMs, line) == CSerialPort::kResultSuccess) {
      SetLastErrorText(line);
      if (Contains(line, "OK")) return true;
    } else {
      SetLastErrorText(kNoInitResponseText);
    }
  }
  return false;
}

std::string CDialBackup::DialCommand() const {
  const CParamMap params = m_Settings().GetParams();
  return "ATDT" + params.GetParamValue(kParmDialPrefix) + params.GetParamValue(kParmAuthorizationPhone);
}

bool CDialBackup::Dial() {
  if (m_SerialPort.SendCommand(DialCommand(), true) != CSerialPort::kResultSuccess) {
    SetLastErrorText(kTransmitFailedText);
    return false;
  }
  std::string line;
  if (m_SerialPort.ReadLine(m_Timeouts.m_DialReplyMs, line) != CSerialPort::kResultSuccess) {
    SetLastErrorText(kNoDialResponseText);
    return false;
  }
  if (Contains(line, "CONNECT") && m_SerialPort.WaitForCarrier(m_Timeouts.m_CarrierMs)) return true;
  for (const char* word : kModemFailureWords) {
    if (Contains(line, word)) {
      SetLastErrorText(line);
      return false;
    }
  }
  SetLastErrorText(kFailedToConnectText);
  return false;
}

bool CDialBackup::WaitForEnq() {
  const uint32_t start = platform::TickCount();
  for (;;) {
    if (m_StopEvent.IsSet() || !m_SerialPort.IsCarrierOn()) return false;
    const uint32_t elapsed = Elapsed(start);
    if (elapsed >= m_Timeouts.m_EnqMs) return false;
    const int waited = m_SerialPort.WaitForInput(std::min(m_Timeouts.m_EnqMs - elapsed, kLineCheckMs));
    if (waited == CSerialPort::kResultAborted) return false;
    if (waited != CSerialPort::kResultSuccess) continue;
    if (m_SerialPort.Read(kReadChunk) > 0 && m_SerialPort.GetReadData().find(kDialENQ) != std::string::npos) {
      return true;
    }
  }
}

bool CDialBackup::WriteForExchange(const char* bytes, size_t length) {
  const int written = m_SerialPort.Write(bytes, static_cast<int>(length), m_Timeouts.m_SendMs);
  if (written == CSerialPort::kResultSuccess) return true;
  SetLastErrorText(written == CSerialPort::kResultAborted ? kShuttingDownText : kTransmitFailedText);
  return false;
}

CDialBackup::ExchangeResult CDialBackup::Exchange(CElavonTran& record) {
  std::string& message = record.m_HostRequest;
  if (message.empty()) {
    SetLastErrorText(kEmptyRequestText);
    return ExchangeResult::kFailed;
  }
  const std::string reversal = record.ReversalToKeep(m_Settings());
  ReframeForDial(message, record.m_Family);
  // The message goes out whether the host asked for it or not, but never to a
  // modem whose call has gone (its words may have come in while waiting).
  const bool asked = m_HostReady;
  m_HostReady = false;
  if (!asked) WaitForEnq();
  if (!m_SerialPort.IsCarrierOn()) return ExchangeResult::kNotSent;
  // From here on the host may have it: the journal keeps what would cancel it first.
  if (!record.MarkSent(Journal(), reversal)) {
    SetLastErrorText(kJournalRefusedText);
    return ExchangeResult::kRefusedByJournal;
  }
  if (!WriteForExchange(message.data(), message.size())) return ExchangeResult::kFailed;

  CDialAnswerReader reader;
  bool refused = false;  // an answer was NAK'd: its text stands when the time runs out
  const uint32_t start = platform::TickCount();
  for (;;) {
    if (m_StopEvent.IsSet()) {
      SetLastErrorText(kShuttingDownText);
      return ExchangeResult::kFailed;
    }
    if (!m_SerialPort.IsCarrierOn()) {
      SetLastErrorText(kLostCarrierText);
      return ExchangeResult::kFailed;
    }
    const uint32_t elapsed = Elapsed(start);
    if (elapsed >= m_Timeouts.m_AnswerMs) {
      if (!refused) SetLastErrorText(kAnswerTimeoutText);
      return ExchangeResult::kFailed;
    }
    if (m_SerialPort.WaitForInput(std::min(m_Timeouts.m_AnswerMs - elapsed, kLineCheckMs)) !=
        CSerialPort::kResultSuccess) {
      continue;
    }
    if (m_SerialPort.Read(kReadChunk) <= 0) continue;
    const std::string chunk = m_SerialPort.GetReadData();
    for (size_t i = 0; i < chunk.size(); ++i) {
      const CDialAnswerReader::Result result = reader.Feed(chunk[i]);
      if (result == CDialAnswerReader::Result::kNone) continue;
      if (result == CDialAnswerReader::Result::kFrame) {
        if (!WriteForExchange(&kDialACK, 1)) return ExchangeResult::kFailed;
        record.m_HostResponse = reader.Frame();
        return ExchangeResult::kAnswered;
      }
      if (result == CDialAnswerReader::Result::kNak) {
        // The host refused the request; its ENQ asks for it again. The ENQ may have
        // come in the same read as the NAK.
        const bool asked = chunk.find(kDialENQ, i + 1) != std::string::npos || WaitForEnq();
        if (asked) {
          m_SerialPort.PurgeReceive();
          if (!WriteForExchange(message.data(), message.size())) return ExchangeResult::kFailed;
          reader.Reset();
        }
      } else {
        // A refused answer: NAK it, and the host sends it again.
        m_SerialPort.CheckAbort(m_Timeouts.m_NakPauseMs);
        m_SerialPort.PurgeReceive();
        if (!WriteForExchange(&kDialNAK, 1)) return ExchangeResult::kFailed;
        SetLastErrorText(result == CDialAnswerReader::Result::kBadLrc ? kBadLrcText : kTooLongText);
        refused = true;
      }
      break;  // the rest of this read was purged or answered
    }
  }
}

bool CDialBackup::HangUp() {
  m_HostReady = false;
  if (g_DialLineBusyEvent.IsSet()) g_DialLineBusyEvent.Reset();
  return m_SerialPort.HangUp();
}
