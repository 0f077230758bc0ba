#include "core/queue/reverse_worker.h"

#include <algorithm>

#include "core/log/logger.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/client_reply.h"
#include "core/tran/tran_codes.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"
#include "platform/sync/tick.h"
#include "platform/window/window.h"

namespace {
constexpr uint32_t kLoopMs = 150;
constexpr int kMaxReversalRetries = 10;
const char kFatalText[] = "The ReverseWorker thread could NOT be started.\r\nThis error is FATAL!";
}  // namespace

CTransactionQueue g_ReversalQueue;

CReverseWorker::CReverseWorker(const CReverseWorkerContext& context)
    : m_Reversals(*context.m_Reversals),
      m_Main(*context.m_Main),
      m_Logger(*context.m_Logger),
      m_Journal(*context.m_Journal) {}

CLogger& CReverseWorker::Log() { return m_Logger; }

CReverseWorker::~CReverseWorker() { Stop(); }

void CReverseWorker::SetMessageSink(ReverseWorkerMessageFn show, bool silent) {
  m_Show = show;
  m_Silent = silent;
}

void CReverseWorker::ShowFatal() {
  if (m_Show) {
    m_Show(kFatalText, true, m_Silent, 0);
  } else {
    Log().LogLine("%s", kFatalText);
  }
}

bool CReverseWorker::Start() {
  m_SecondEvent.Pulse();
  m_StartedEvent.Pulse();
  m_StopEvent.Pulse();
  m_PendingIds.clear();
  m_JournalTries.clear();
  m_Snapshot.clear();

  if (!m_Thread.Start([this] { Run(); return 0u; }, /*start_suspended=*/true)) {
    ShowFatal();
    return false;
  }
  m_Thread.Resume();

  platform::Event* events[] = {&m_SecondEvent, &m_StartedEvent, &m_StopEvent};
  if (platform::window::PumpMessagesAndWait(events) == 1) return true;
  // Not started: make sure the thread ends before it is joined.
  Stop();
  return false;
}

bool CReverseWorker::Stop() {
  m_StopEvent.Set();
  m_Thread.Join();
  m_StartedEvent.Reset();
  // Tries still under way are the journal's to follow: their records stay queued,
  // and an entry whose record leaves the queue without an outcome becomes owed.
  for (const auto& [id, entry] : m_JournalTries) {
    auto it = std::find(m_PendingIds.begin(), m_PendingIds.end(), id);
    if (it != m_PendingIds.end()) m_PendingIds.erase(it);
  }
  m_JournalTries.clear();
  return true;
}

void CReverseWorker::Run() {
  m_StartedEvent.Set();
  platform::Event* stop[] = {&m_StopEvent};
  for (;;) {
    TakeJournalReversals();
    TakeReversals();
    ProcessResults();
    PurgeFinished();
    KeepJournal();
    const int woken = platform::window::PumpMessagesAndWait(stop, kLoopMs);
    if (woken == 0 || woken == platform::window::kPumpQuit) return;
  }
}

void CReverseWorker::TakeReversals() {
  CTranList snapshot;
  m_Reversals.Snapshot(snapshot);
  for (CElavonTran& record : snapshot) {
    m_Reversals.Remove(record.m_Id);
    if (m_Main.AddFirst(record, record.m_LinkId)) m_PendingIds.push_back(record.m_Id);
  }
}

void CReverseWorker::TakeJournalReversals() {
  for (CJournalEntry& entry : m_Journal.TakeDue()) {
    CElavonTran record;
    record.m_TranCode = kCodeReversal;
    record.m_TranCodeName = CElavonTran::GetTranCodeName(kCodeReversal);
    record.m_Family = kTranFamilyReversal;
    record.m_TStreamType = "Transaction";
    record.m_HostRequest = entry.m_Reversal;
    record.m_RequestKind = kRequestKindEncrypted;  // the Elavon interface sends it
    record.MarkQueued();
    record.m_Authorize = entry.m_Amount;
    // A name no client connection has, so that no client's cancel can reach it.
    record.m_ClientAddress = "journal(" + entry.m_ClientAddress + ")";
    record.m_JournalKey = entry.m_Key;
    if (!m_Main.AddFirst(record, -1)) {
      record.MarkNotSent(m_Journal);
      continue;
    }
    Log().LogLine("Reversal owed to the host, try %d: Acct:XXX...%s AMT:%s of %s", entry.m_Tries + 1,
                  entry.m_AcctLast4.c_str(), entry.m_Amount.c_str(), entry.m_ClientAddress.c_str());
    m_PendingIds.push_back(record.m_Id);
    m_JournalTries[record.m_Id] = std::move(entry);
  }
}

void CReverseWorker::FinishJournalTry(const CElavonTran& record, const CJournalEntry& entry) {
  // The routing has told the journal the try's outcome; this says it in the log.
  CJournalEntry now;
  if (!m_Journal.Find(entry.m_Key, &now)) {
    Log().LogLine("Reversal answered by the host: Acct:XXX...%s AMT:%s of %s, try %d", entry.m_AcctLast4.c_str(),
                  entry.m_Amount.c_str(), entry.m_ClientAddress.c_str(), entry.m_Tries + 1);
    return;
  }
  const uint32_t pause_ms = now.Owed() ? platform::TickDiff(now.m_DueTick, platform::TickCount()) : 0;
  Log().LogLine("Reversal not answered by the host, try %d: [%s] Acct:XXX...%s AMT:%s of %s - next try in %u s",
                entry.m_Tries + 1, record.m_HostErrorText.c_str(), entry.m_AcctLast4.c_str(), entry.m_Amount.c_str(),
                entry.m_ClientAddress.c_str(), (pause_ms + 999) / 1000);
}

void CReverseWorker::KeepJournal() {
  const uint64_t before = m_Journal.ChangeCount();
  m_Journal.OweUnheld(m_Main.JournalKeys(), before);
  m_Journal.Flush();
}

void CReverseWorker::ProcessResults() {
  if (m_PendingIds.empty()) return;
  m_Snapshot.clear();
  m_Main.SnapshotByIds(m_PendingIds, m_Snapshot);
  for (CElavonTran& record : m_Snapshot) {
    if (const auto it = m_JournalTries.find(record.m_Id); it != m_JournalTries.end()) {
      switch (record.m_State) {
        case kTranStateCancelled:
        case kTranStateNoHostAnswer:
        case kTranStateHostFailure:
        case kTranStateFailed:
        case kTranStateAnsweredIp:
        case kTranStateAnsweredDial:
          FinishJournalTry(record, it->second);
          record.MarkFinished();
          m_Main.Update(record.m_Id, record);
          m_JournalTries.erase(it);
          break;
        default:
          break;
      }
      continue;
    }
    switch (record.m_State) {
      case kTranStateNoHostAnswer:
      case kTranStateHostFailure:
      case kTranStateFailed:
        // One line per record: the retry count never changes here.
        if (record.m_ReversalRetries < kMaxReversalRetries) {
          LogNoReversal(record, std::string(kReversalReasonPreviousReversalFailed));
        }
        if (record.m_State == kTranStateNoHostAnswer) record.m_ErrorCode = kErrorResponseTimeout;
        if (record.m_State == kTranStateHostFailure) record.m_ErrorCode = kErrorHostText;
        record.m_RequestKind = kRequestKindClear;
        record.BuildErrorResponse();
        Log().LogLine("%s", ReplyLogCopy(record.GetReply()).c_str());
        record.MarkFinished();
        m_Main.Update(record.m_Id, record);
        break;
      case kTranStateAnsweredIp:
      case kTranStateAnsweredDial:
        record.MarkFinished();
        m_Main.Update(record.m_Id, record);
        break;
      default:
        break;
    }
  }
}

void CReverseWorker::PurgeFinished() {
  if (m_PendingIds.empty()) return;
  m_Snapshot.clear();
  m_Main.SnapshotByIds(m_PendingIds, m_Snapshot);
  for (const CElavonTran& record : m_Snapshot) {
    if (record.m_State != kTranStateFinished) continue;
    m_Main.Remove(record.m_Id);
    auto it = std::find(m_PendingIds.begin(), m_PendingIds.end(), record.m_Id);
    if (it != m_PendingIds.end()) m_PendingIds.erase(it);
  }
}

void CReverseWorker::LogNoReversal(CElavonTran record, const std::string& reason) {
  ::LogNoReversal(Log(), record, reason);
}

void LogNoReversal(CLogger& logger, const CElavonTran& record, const std::string& reason) {
  const std::string acct = record.m_AcctNo;
  const std::string last_four = acct.size() > 4 ? acct.substr(acct.size() - 4) : acct;
  logger.LogLine("NO Reversals Supported for this Host - Would have attempted This Transaction Acct:XXX...%s PurchAmt:%s -- because %s",
                last_four.c_str(), record.m_Purchase.c_str(), reason.c_str());
}
