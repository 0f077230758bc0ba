// Request dispatch and reply delivery of a client connection.
#include <algorithm>
#include <chrono>
#include <thread>

#include "app/server/client_session.h"
#include "app/server/request_mask.h"
#include "app/lanes/lanes.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/queue/duplicate_cache.h"
#include "core/queue/reverse_worker.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "platform/sync/event.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

constexpr uint32_t kSingleLaneHoldMs = 30000;
constexpr uint32_t kHoldStepMs = 250;
constexpr uint32_t kDrainStepMs = 100;
constexpr int kInterimFirstNumber = 45;

}  // namespace

void CClientSession::HoldSingleLane() {
  bool logged = false;
  for (;;) {
    const std::optional<uint32_t> since = m_Context.m_Queue->MsSinceLastAuth();
    if (!since || *since >= kSingleLaneHoldMs) return;
    if (!logged) {
      Logger().LogLine("Holding Transaction - SL Violation -");
      logged = true;
    }
    if (m_Context.m_Abort->Wait(kHoldStepMs) || IsShuttingDown()) return;
  }
}

void CClientSession::LogRequest(const CElavonTran& tran) {
  // 2. The request as logged: card data masked, cut, its line breaks escaped.
  Logger().LogText(tran.m_LogTag + "[" + RequestLogCopy(tran.GetRequestText()) + "] from " + m_PeerText);
}

void CClientSession::DispatchRequest(const std::string& text) {
  // 1. The record: envelope, decryption, TStream, validation.
  CElavonTran tran;
  tran.SetRequest(text);
  tran.m_ClientAddress = m_PeerText;

  // 3. Rejected at intake: its error reply alone. A peer that keeps sending what
  //    cannot be taken gets every answer, but only its first ones reach the log.
  if (tran.m_RequestKind == kRequestKindClear) {
    if (!m_RefusedLog.Admit()) {
      if (m_RefusedLog.FirstLeftOut()) {
        Logger().LogLine("Further refused requests of %s are answered but not logged", m_PeerText.c_str());
      }
      SendUnlogged(tran.BuildErrorResponse());
      return;
    }
    LogRequest(tran);
    SendAndLog(tran.BuildErrorResponse());
    return;
  }
  LogRequest(tran);

  const CParamSettings settings = m_Context.m_Params->GetSettings();
  const CParamMap params = settings.GetParams();
  const bool newAuthorization = IsNewAuthorizationCode(tran.m_TranCode);

  // 4. The lane check.
  if (newAuthorization && !m_Context.m_Lanes->Register(tran.m_ClientID)) {
    SendNotice(4048, "E", "Max Lane(s) Already Reached.");
    return;
  }

  // 5. One lane: new authorisations at least 30 s apart.
  if (newAuthorization && ReadIntParam(settings, kParmNumberOfLanes) == 1) HoldSingleLane();

  // 6. The interim reply.
  if (tran.m_RequestKind == kRequestKindEncrypted) {
    if (tran.m_TranCode == kCodeNone) {
      SendNotice(2007, "E", "Invalid Request.", tran.m_UserTraceData);
      return;
    }
    if (SendNotice(0, "S",
                   platform::Format("Queued:%03d:%03d", kInterimFirstNumber, m_Context.m_Queue->GetCount()),
                   tran.m_UserTraceData) < 0) {
      return;  // the connection has ended: no one would hear the answer
    }
    tran.MarkQueued();
  } else if (tran.m_RequestKind == kRequestKindCancel) {
    tran.MarkQueued();
  }

  // 7. The server's own commands.
  switch (tran.m_TranCode) {
    case kCodeServerVersion:
      SendAndLog(ServerVersion(tran));
      return;
    case kCodeGetCorvaneParms:
      SendAndLog(GetCorvaneParams(tran, settings));
      return;
    case kCodeEMVOfflineDeclinedSale:
      SendAndLog(OfflineDecline(tran));
      return;
    default:
      break;
  }

  // 8. A repeat of a recently delivered approval, unless the client overrides.
  if (params.GetParamValue(kParmDuplicateCheck) == "Y" && !tran.m_DuplicateOverride &&
      m_Context.m_Duplicates->FindDuplicate(tran, [](CElavonTran& duplicate) {
        return duplicate.BuildDuplicateResponse();
      })) {
    SendAndLog(tran.GetReply());
    return;
  }

  // 9. Into the queue for the Elavon interface.
  if (!m_Context.m_Queue->Add(tran)) {
    Logger().LogLine("Transaction queue full: request of %s not queued", m_PeerText.c_str());
    tran.m_ErrorCode = kErrorGeneralFailure;
    SendAndLog(tran.BuildErrorResponse());
    return;
  }
  m_PendingIds.push_back(tran.m_Id);
}

void CClientSession::DeliverResponses() {
  if (m_PendingIds.empty()) return;
  m_Context.m_Queue->SnapshotByIds(m_PendingIds, m_Snapshot);
  CTranJournal& journal = *m_Context.m_Journal;
  for (CElavonTran& record : m_Snapshot) {
    switch (record.m_State) {
      case kTranStateCancelled:
        record.m_ErrorCode = kErrorUserAbort;
        SendAndLog(record.BuildErrorResponse());
        record.MarkDelivered(journal);
        break;
      case kTranStateNoHostAnswer:
        record.m_ErrorCode = kErrorResponseTimeout;
        record.m_RequestKind = kRequestKindClear;
        SendAndLog(record.BuildErrorResponse());
        record.MarkDelivered(journal);
        break;
      case kTranStateHostFailure:
        record.m_ErrorCode = kErrorHostText;
        record.m_RequestKind = kRequestKindClear;
        SendAndLog(record.BuildErrorResponse());
        record.MarkDelivered(journal);
        break;
      case kTranStateFailed:
        SendAndLog(record.BuildErrorResponse());
        record.MarkDelivered(journal);
        break;
      case kTranStateAnsweredIp:
      case kTranStateAnsweredDial:
        if (record.m_TranCode == kCodeEMVKeyDownloadNext) {
          // More keys to come: back to the Elavon interface, no reply yet.
          record.MarkQueued();
          break;
        }
        if (record.m_TranCode == kCodeReversal) {
          // The reversal of an approval this client never received.
          record.m_ErrorCode = kErrorResponseTimeout;
          record.m_RequestKind = kRequestKindClear;
          SendAndLog(record.BuildErrorResponse());
          record.MarkDelivered(journal);
          break;
        }
        DeliverAnswer(record, journal);
        break;
      default:
        continue;  // not final yet: nothing to write back
    }
    m_Context.m_Queue->Update(record.m_Id, record);
  }
}

void CClientSession::DeliverAnswer(CElavonTran& record, CTranJournal& journal) {
  // An approval whose reply could not be encrypted reaches its POS as that error
  // (4020): the POS is not told Approved, so the approval is not kept either.
  const bool approval_in_clear = record.m_Approved && record.ReplyCouldNotBeEncrypted();
  if (DeliverReply(record.GetReply()) && !approval_in_clear) {
    if (record.m_Approved) m_Context.m_Duplicates->Add(record);
    record.MarkDelivered(journal);
    return;
  }
  record.MarkFinished();
  if (approval_in_clear) {
    Logger().LogLine("Approval %d of %s answered with an error (its reply could not be encrypted): reversal owed",
                     record.m_Id, m_PeerText.c_str());
    record.MarkUndeliverable(journal, false);
    return;
  }
  if (!record.m_Approved || !IsReversibleCode(record.m_TranCode)) {
    record.MarkUndeliverable(journal, false);
    return;
  }
  const CElavonTran undelivered = record;
  record.m_HostResponse.clear();
  record.m_TranCode = kCodeReversal;
  if (record.BuildReversalRequest(m_Context.m_Params->GetSettings())) {
    record.MarkQueued();
    record.MarkUndeliverable(journal, true);
    Logger().LogLine("Approval %d not delivered to %s: queued for reversal", record.m_Id, m_PeerText.c_str());
    return;
  }
  record = undelivered;
  record.MarkFinished();
  record.MarkUndeliverable(journal, false);
  Logger().LogLine("Approval %d not delivered to %s and no reversal could be built here: left to the reversal journal",
                   record.m_Id, m_PeerText.c_str());
}

void CClientSession::PurgeFinished() {
  if (m_PendingIds.empty()) return;
  m_Context.m_Queue->SnapshotByIds(m_PendingIds, m_Snapshot);
  for (const CElavonTran& record : m_Snapshot) {
    if (record.m_State != kTranStateFinished) continue;
    m_Context.m_Queue->Remove(record.m_Id);
    const auto it = std::find(m_PendingIds.begin(), m_PendingIds.end(), record.m_Id);
    if (it != m_PendingIds.end()) m_PendingIds.erase(it);
  }
}

bool CClientSession::WaitForPending() {
  if (m_PendingIds.empty()) return true;
  const uint32_t start = platform::TickCount();
  while (platform::TickDiff(platform::TickCount(), start) < m_Timings.m_DrainMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kDrainStepMs, m_Timings.m_DrainMs)));
    DeliverResponses();
    PurgeFinished();
    if (m_PendingIds.empty() || IsShuttingDown()) return true;
  }
  m_Context.m_Queue->SnapshotByIds(m_PendingIds, m_Snapshot);
  for (const CElavonTran& record : m_Snapshot) {
    Logger().LogLine("Dropping record %d (state %d) of %s: no final answer in time", record.m_Id,
                        record.m_State, m_PeerText.c_str());
    m_Context.m_Queue->Remove(record.m_Id);
  }
  m_PendingIds.clear();
  return true;
}

void CClientSession::LogReversalNotSupported(const CElavonTran& record, const std::string& reason) {
  if (!IsReversibleCode(record.m_TranCode)) return;
  LogNoReversal(Logger(), record, reason);
}
