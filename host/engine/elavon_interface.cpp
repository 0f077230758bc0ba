#include "host/engine/elavon_interface.h"

#include <cstdlib>

#include "core/log/logger.h"
#include "core/queue/process_events.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "core/vocab/text_helpers.h"
#include "host/ip/host_endpoints.h"
#include "host/seq/sequence_file.h"
#include "platform/sync/tick.h"
#include "platform/window/window.h"

namespace {
constexpr uint32_t kPassMs = 50;
constexpr uint32_t kStopWaitMs = 20000;
constexpr uint32_t kStopStepMs = 500;
const char kFatalText[] = "The Elavon Processing thread could NOT be started.\r\nThis error is FATAL!";
}  // namespace

CElavonInterface::CElavonInterface(CRoutingContext context)
    : m_Context(std::move(context)), m_FixedSettings(m_Context.m_Settings.GetParams().GetCount() != 0) {
  m_Context.FillDefaults();
}

CElavonInterface::~CElavonInterface() {
  Stop();
  // A worker that outlived a stop ends within its own time-outs.
  m_Worker.Join();
}

void CElavonInterface::SetMessageSink(ElavonInterfaceMessageFn show, bool silent) {
  m_Show = show;
  m_Silent = silent;
}

std::string CElavonInterface::GetStartFailureText() const {
  platform::MutexLock lock(m_TextLock);
  return m_StartFailureText;
}

CRoutingContext CElavonInterface::ContextForRequest() const {
  CRoutingContext context = m_Context;
  if (!m_FixedSettings) context.m_Settings = CParamSettings();  // a fresh copy per request
  context.FillDefaults();
  return context;
}

bool CElavonInterface::Start() {
  m_StartFailedEvent.Pulse();
  m_StartedEvent.Pulse();
  m_StopEvent.Pulse();
  // A worker left in an exchange by the last stop ends (within its own time-outs)
  // before the abort is cleared for the next one.
  m_Worker.Join();
  m_Context.m_Abort->Pulse();
  m_Context.m_Abort->Reset();

  if (!m_Thread.Start([this] { ProcessingLoop(); return 0u; }, /*start_suspended=*/true)) {
    if (m_Show) m_Show(kFatalText, true, m_Silent, 0); else m_Context.m_Logger->LogLine("%s", kFatalText);
    return false;
  }
  m_Thread.Resume();
  platform::Event* events[] = {&m_StartFailedEvent, &m_StartedEvent, &m_StopEvent};
  if (platform::window::PumpMessagesAndWait(events) == 1) return true;
  m_Thread.Join();
  Stop();
  return false;
}

int CElavonInterface::Stop() {
  m_Context.m_Abort->Set();
  const uint32_t start = platform::TickCount();
  while (m_JobIds.GetCount() > 0 && platform::TickDiff(platform::TickCount(), start) < kStopWaitMs) {
    // The window of the calling (UI) thread stays served between the steps.
    if (platform::window::PumpMessagesAndWait({}, kStopStepMs) == platform::window::kPumpQuit) {
      platform::Sleep(kStopStepMs);
    }
  }
  const bool left_in_flight = m_JobIds.GetCount() > 0;
  if (left_in_flight) {
    m_JobIds.Clear();
    m_Context.m_Logger->LogLine("ELAVON Interface stopped with a host exchange still in flight");
  }
  m_StopEvent.Set();
  m_Thread.Join();
  // A worker that released its id is ending and is joined now; one still in its
  // exchange is joined by the next Start or the destructor, never waited for here.
  if (!left_in_flight) m_Worker.Join();
  m_StartedEvent.Reset();
  return 1;
}

void CElavonInterface::ProcessingLoop() {
  const CRoutingContext context = ContextForRequest();
  const int method = ReadIntParam(context.m_Settings, kParmTransportMethod);
  if (method != 2 && context.m_Settings.GetParams().GetParamValue(kParmDoNotConnectOnStartup) != "Y") {
    std::unique_ptr<CHostLink> link = context.m_MakeLink();
    context.m_Endpoints->ResetLocked();
    const CActiveHost host = context.m_Endpoints->GetCurrent();
    const int timeout_s = ReadIntParam(context.m_Settings, kParmIpConnectTimeout);
    if (!link->Connect(host.GetHost(), AtoiClamped(host.GetPort()),
                       timeout_s > 0 ? static_cast<uint32_t>(timeout_s) * 1000u : 0u)) {
      {
        platform::MutexLock lock(m_TextLock);
        m_StartFailureText = "Failed to Connect to Elavon!\n" + link->GetLastErrorText();
      }
      link->Disconnect();
      m_StartFailedEvent.Set();
      return;
    }
    link->Disconnect();
  }
  m_StartedEvent.Set();

  platform::Event* stop[] = {&m_StopEvent};
  for (;;) {
    CTranList snapshot;
    context.m_Queue->Snapshot(snapshot);
    ProcessCancellations(snapshot);
    DispatchRequests(snapshot);
    const int woken = platform::window::PumpMessagesAndWait(stop, kPassMs);
    if (woken == 0 || woken == platform::window::kPumpQuit) break;
  }
}

void CElavonInterface::ProcessCancellations(const CTranList& snapshot) {
  CTransactionQueue& queue = *m_Context.m_Queue;
  for (const CElavonTran& cancel : snapshot) {
    if (cancel.m_RequestKind != kRequestKindCancel || cancel.m_State != kTranStateQueued) continue;
    for (const CElavonTran& record : snapshot) {
      if (record.m_RequestKind == kRequestKindCancel || record.m_State != kTranStateQueued) continue;
      if (record.m_ClientAddress != cancel.m_ClientAddress) continue;
      // The server's own reversals and key-download steps are not the client's to cancel.
      if (record.m_TranCode == kCodeReversal || record.m_TranCode == kCodeEMVKeyDownloadNext) continue;
      CElavonTran cancelled = record;
      cancelled.MarkCancelledByClient();
      queue.Update(cancelled.m_Id, cancelled);
    }
    CElavonTran done = cancel;
    done.MarkFinished();
    queue.Update(done.m_Id, done);
  }
}

void CElavonInterface::DispatchRequests(const CTranList& snapshot) {
  CTransactionQueue& queue = *m_Context.m_Queue;
  for (const CElavonTran& candidate : snapshot) {
    if (candidate.m_State != kTranStateQueued || candidate.m_RequestKind != kRequestKindEncrypted) continue;
    if (m_JobIds.GetCount() > 0) continue;  // one host exchange at a time
    // Read it again: the cancellations of this pass may have changed it.
    CElavonTran record;
    if (!queue.Find(candidate.m_Id, record) || record.m_State != kTranStateQueued) continue;

    const CRoutingContext context = ContextForRequest();
    if (!record.BuildElavonRequest(context.m_Settings, g_SequenceFile)) {
      // Nothing can be sent for it: it fails at once with its own code.
      FailUnsent(record, record.m_ErrorCode == 0 ? kErrorGeneralFailure : record.m_ErrorCode, context);
      continue;
    }
    const int job_id = m_JobIds.Allocate();
    if (job_id == 0) {
      FailUnsent(record, kErrorShuttingDown, context);
      continue;
    }
    record.MarkInProcess();
    record.m_DispatchTime = platform::Now();
    if (!queue.Update(record.m_Id, record)) {
      // Its client is gone: nothing to send for it.
      m_JobIds.Release(job_id);
      continue;
    }
    m_Worker.Join();  // the previous worker has released its id and is ending
    if (!m_Worker.Start([this, record, job_id] {
          RunWorker(record, job_id);
          return 0u;
        })) {
      m_JobIds.Release(job_id);
      FailUnsent(record, kErrorAuthThreadFailed, context);
    }
  }
}

void CElavonInterface::FailUnsent(CElavonTran& record, int error_code, const CRoutingContext& context) {
  record.MarkFailedWithOwnCode();
  record.m_ErrorCode = error_code;
  // A reversal that could not go stays owed; a request that did not go needs none.
  if (record.m_Family == kTranFamilyReversal) record.MarkNotSent(*context.m_Journal);
  m_Context.m_Queue->Update(record.m_Id, record);
}

void CElavonInterface::RunWorker(CElavonTran tran, int job_id) {
  CRoutingContext context = ContextForRequest();
  RouteRequest(tran, context);
  if (tran.m_State == kTranStateAnsweredIp || tran.m_State == kTranStateAnsweredDial) {
    context.m_Logger->LogLine("Building Final Response");
    tran.ParseElavonResponse();
  }
  if (!context.m_Queue->UpdateIfCurrent(tran.m_Id, tran) && context.m_Queue->Contains(tran.m_Id)) {
    // The dial backup wrote the record after the route had ended with it: its copy is
    // the later one and stays.
    context.m_Logger->LogLine("Record %d of %s changed after its route ended: the queue keeps the later one",
                              tran.m_Id, tran.m_ClientAddress.c_str());
  }
  tran.MarkExchangeEnded(*context.m_Journal);
  m_JobIds.Release(job_id);
}
