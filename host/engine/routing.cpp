#include "host/engine/routing.h"

#include <chrono>
#include <cstdlib>

#include "core/log/log_text.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/queue/abort_event.h"
#include "core/queue/reversal_journal.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "core/vocab/text_helpers.h"
#include "host/engine/journal_hooks.h"
#include "host/engine/traffic.h"
#include "host/ip/host_endpoints.h"
#include "host/message/elavon_request.h"

namespace {

constexpr uint32_t kDialPollMs = 250;
constexpr int kErrorRequestNotBuilt = 1001;
constexpr char kNotSentWhileStopping[] = "Interface stopping: request not sent to Elavon";
constexpr uint32_t kDialRetryPauseMs = 1000;

// What the log shows of a host's text: its card numbers masked, its line breaks
// escaped.
std::string HostTextForLog(const std::string& text) { return EscapeLineBreaks(MaskCardNumbers(text)); }

uint32_t MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// Empties what an earlier dial attempt left of the host's answer; the request stays.
void ClearHostAnswer(CElavonTran& tran) {
  const std::string request = tran.m_HostRequest;
  CEmvParamTables tables = tran.m_EMVParamTables;
  static_cast<CTranHostResponse&>(tran) = CTranHostResponse();
  tran.m_HostRequest = request;
  tran.m_EMVParamTables = tables;
}

// Turns the record into its reversal and hands that to the dial backup. False when
// no reversal can be built: the record is then in state 4 with error 1007 (never
// the reversed message sent again in its place).
bool HandReversalToDial(CElavonTran& tran, CRoutingContext& c) {
  tran.m_HostResponse.clear();
  tran.m_TranCode = kCodeReversal;
  if (!tran.BuildReversalRequest(c.settings)) {
    tran.MarkNoHostAnswer();
    tran.m_ErrorCode = 1007;
    c.logger->LogLine("Reversal(dial) not sent for %s", tran.m_ClientAddress.c_str());
    return false;
  }
  tran.MarkHandedToDialBackup();
  JournalExchangeSending(tran, c);
  c.queue->Update(tran.m_Id, tran);
  PostTraffic(WM_TRAFFIC_DIAL_REQUEST_SENT, kTrafficAuth);
  return true;
}

// The dial hand-off: the record goes to the dial backup through the queue, and is
// read back every 250 ms until the dial worker writes an outcome.
bool DialHandOff(CElavonTran& tran, CRoutingContext& c) {
  tran.MarkHandedToDialBackup();
  if (c.dial_busy->IsSet()) tran.m_RetryOnNewLine = 1;
  JournalExchangeSending(tran, c);
  c.queue->Update(tran.m_Id, tran);
  PostTraffic(WM_TRAFFIC_DIAL_REQUEST_SENT, kTrafficAuth);
  auto round_start = std::chrono::steady_clock::now();

  for (;;) {
    if (c.abort->Wait(kDialPollMs)) break;
    CElavonTran back;
    if (!c.queue->Find(tran.m_Id, back)) {
      // The client's connection gave up on the record: nobody will read an outcome.
      tran.MarkHostFailure();
      tran.m_HostErrorText = "Dial backup request no longer queued";
      c.logger->LogLine("Dial hand-off ended: the record for %s is no longer queued", tran.m_ClientAddress.c_str());
      break;
    }
    const int state = back.m_State;
    if (state == kTranStateDialFailed || state == kTranStateDialModemError) {
      tran = back;
      const bool retry = tran.m_RetryOnNewLine > 0;
      if (retry) tran.m_RetryOnNewLine = 0;
      if (state == kTranStateDialFailed && IsReversibleCode(tran.m_TranCode)) {
        c.logger->LogLine("RESPONSE (reverse handler(dial))from ELAVON INTERFACE ->[%s] for %s",
                          HostTextForLog(tran.m_HostErrorText).c_str(), tran.m_ClientAddress.c_str());
        if (!HandReversalToDial(tran, c)) break;
        round_start = std::chrono::steady_clock::now();
        continue;
      }
      if (retry) {
        if (c.abort->Wait(kDialRetryPauseMs)) break;
        tran.MarkHandedToDialBackup();
        ClearHostAnswer(tran);
        c.queue->Update(tran.m_Id, tran);
        PostTraffic(WM_TRAFFIC_DIAL_REQUEST_SENT, kTrafficAuth);
        round_start = std::chrono::steady_clock::now();
        continue;
      }
      if (state == kTranStateDialFailed) {
        tran.MarkNoHostAnswer();
      } else {
        tran.MarkHostFailure();
      }
      break;
    }
    if (state == kTranStateDialAnswerReceived) {
      tran = back;
      if (NeedsEchoAfterApproval(tran.m_TranCode) && tran.m_Family != kTranFamilyEcho) {
        c.logger->LogLine("building Response to Determine if Echo Required (dial)");
        tran.ParseElavonResponse();
        if (tran.m_Approved && tran.BuildEchoRequest().empty()) {
          // An echo that cannot be built leaves the approval unconfirmed: reverse it
          // on the dial line, or, when it cannot be reversed, report no answer.
          c.logger->LogLine("Echo(dial) not built for %s", tran.m_ClientAddress.c_str());
          if (!IsReversibleCode(tran.m_TranCode)) {
            tran.MarkNoHostAnswer();
            break;
          }
          if (!HandReversalToDial(tran, c)) break;
          round_start = std::chrono::steady_clock::now();
          continue;
        }
        if (tran.m_Approved) {
          tran.MarkHandedToDialBackup();
          tran.m_RetryOnNewLine = 0;
          JournalExchangeSending(tran, c);
          c.queue->Update(tran.m_Id, tran);
          PostTraffic(WM_TRAFFIC_DIAL_REQUEST_SENT, kTrafficEcho);
          round_start = std::chrono::steady_clock::now();
          continue;
        }
      }
      tran.MarkAnsweredOverDial();
      break;
    }
    if (MsSince(round_start) > c.dial_round_limit_ms) {
      tran = back;
      tran.MarkHostFailure();
      tran.m_HostErrorText = "No answer from the dial backup";
      c.logger->LogLine("Dial hand-off timed out for %s", tran.m_ClientAddress.c_str());
      break;
    }
  }
  JournalDialRouteEnded(tran, c);
  PostTraffic(WM_TRAFFIC_DIAL_RESPONSE_RECEIVED, kTrafficAuth);
  return true;
}

// An echo answer without a result (field 02): the host may have taken the echo, so
// the approval is reversed on a new connection as for an echo that got no answer.
// The record itself keeps the echo's answer, which its final parse reads as a
// decline; the reversal works on a copy.
void ReverseUnconfirmedEcho(const CElavonTran& tran, CRoutingContext& c) {
  c.logger->LogLine("Echo answer without a result for %s: reversing the approval", tran.m_ClientAddress.c_str());
  CElavonTran reversal = tran;
  const bool ended = ReverseHandlerIp(reversal, c);
  if (ended && reversal.m_Family == kTranFamilyReversal) {
    c.logger->LogLine("Approval reversed after an echo answer without a result for %s", tran.m_ClientAddress.c_str());
  } else {
    c.logger->LogLine("Approval NOT reversed after an echo answer without a result for %s: %s",
                      tran.m_ClientAddress.c_str(), ended ? "no reversal applies" : "the reversal failed");
  }
}

}  // namespace

void CRoutingContext::FillDefaults() {
  if (settings.GetParams().GetCount() == 0) settings = g_ParamStore.GetSettings();
  if (!queue) queue = &g_TransactionQueue;
  if (!endpoints) endpoints = &g_HostEndpoints;
  if (!abort) abort = &g_AbortEvent;
  if (!dial_busy) dial_busy = &g_DialLineBusyEvent;
  if (!logger) logger = &GetLogger();
  if (!journal) journal = &g_ReversalJournal;
}

bool ConnectToElavon(CHostLink& link, CRoutingContext& c) {
  const CActiveHost host = c.endpoints->GetCurrent();
  const int timeout_s = ReadIntParam(c.settings, kParmIpConnectTimeout);
  const uint32_t timeout_ms = timeout_s > 0 ? static_cast<uint32_t>(timeout_s) * 1000u : 0u;
  if (link.Connect(host.GetHost(), AtoiClamped(host.GetPort()), timeout_ms)) return true;
  c.endpoints->Switch(host.GetHost(), host.GetPort());
  return false;
}

bool ReverseHandlerIp(CElavonTran& tran, CRoutingContext& c) {
  std::unique_ptr<CHostLink> link = c.make_link();
  // What this connection carries is owed to the host: a stop does not cut it short.
  link->SetAbortable(false);
  if (!ConnectToElavon(*link, c)) {
    c.logger->LogLine("Failed to connect Attempting reversal");
    JournalReversalOwed(tran, c);
    return false;
  }
  if (!IsReversibleCode(tran.m_TranCode)) {
    tran.MarkNoHostAnswer();
    JournalNotReversed(tran, c);
    link->Disconnect();
    return true;
  }
  tran.m_HostResponse.clear();
  // Never the original message in place of a reversal that cannot be built: that
  // would charge the card twice.
  if (!tran.BuildReversalRequest(c.settings) || !link->BuildHttpRequest(tran)) {
    tran.MarkNoHostAnswer();
    tran.m_ErrorCode = 1007;
    c.logger->LogLine("Reversal(IP) not sent for %s", tran.m_ClientAddress.c_str());
    JournalNotReversed(tran, c);
    link->Disconnect();
    return true;
  }
  JournalExchangeSending(tran, c);
  PostTraffic(WM_TRAFFIC_IP_REQUEST_SENT, kTrafficAuth);
  c.logger->LogLine("Sending Reversal(IP) Acct:%s AMT:%s for %s", MaskAccountNumber(tran.m_AcctNo).c_str(),
                    tran.m_Authorize.c_str(), tran.m_ClientAddress.c_str());
  const bool answered = link->Transact();
  if (answered) {
    tran.MarkNoHostAnswer();
    JournalReversalAnswered(tran, c);
    link->Disconnect();
    return true;
  }
  tran.MarkHostFailure();
  tran.m_HostErrorText = link->GetLastErrorText();
  JournalReversalOwed(tran, c);
  c.logger->LogLine("EXITING (reverse handler(ip)) from ELAVON INTERFACE ->[%s] for %s",
                    HostTextForLog(tran.m_HostErrorText).c_str(), tran.m_ClientAddress.c_str());
  link->Disconnect();
  return false;
}

bool SendRequestOverIp(CElavonTran& tran, CHostLink& link, CRoutingContext& c) {
  if (!link.BuildHttpRequest(tran)) {
    // Nothing went out: the record fails with its own code.
    tran.MarkFailedWithOwnCode();
    if (tran.m_ErrorCode == 0) tran.m_ErrorCode = kErrorRequestNotBuilt;
    c.logger->LogLine("Elavon Request not sent for %s: no HTTP request could be built",
                      tran.m_ClientAddress.c_str());
    JournalNotSent(tran, c);
    return false;
  }
  JournalExchangeSending(tran, c);
  PostTraffic(WM_TRAFFIC_IP_REQUEST_SENT, kTrafficAuth);
  if (!link.Transact()) return ReverseHandlerIp(tran, c);
  tran.m_HostResponse = link.AnswerBody();
  JournalAnswerReceived(tran, c);
  c.logger->LogLine("RESPONSE from ELAVON ->[%s] for %s", "{Truncated}", tran.m_ClientAddress.c_str());

  if (NeedsEchoAfterApproval(tran.m_TranCode)) {
    c.logger->LogLine("building Response to Determine if Echo Required (ip)");
    tran.ParseElavonResponse();
    if (tran.m_Approved) {
      tran.m_HostResponse.clear();
      // An echo that cannot be built leaves the approval unconfirmed: reverse it.
      if (tran.BuildEchoRequest().empty() || !link.BuildHttpRequest(tran)) return ReverseHandlerIp(tran, c);
      JournalExchangeSending(tran, c);
      PostTraffic(WM_TRAFFIC_IP_REQUEST_SENT, kTrafficEcho);
      if (!link.Transact()) return ReverseHandlerIp(tran, c);
      tran.m_HostResponse = link.AnswerBody();
      c.logger->LogLine("RESPONSE from ELAVON ->[%s] for %s", "{Truncated}", tran.m_ClientAddress.c_str());
      if (!CElavonTran::AnswerHasResultField(tran.m_HostResponse)) ReverseUnconfirmedEcho(tran, c);
    }
  }
  tran.MarkAnsweredOverIp();
  return true;
}

bool RouteRequest(CElavonTran& tran, CRoutingContext& c) {
  c.FillDefaults();
  const int method = ReadIntParam(c.settings, kParmTransportMethod);
  const bool dial_available = method == 1 || method == 2;
  if (dial_available && (method == 2 || c.dial_busy->IsSet())) return DialHandOff(tran, c);

  std::unique_ptr<CHostLink> link = c.make_link();
  if (!ConnectToElavon(*link, c)) {
    if (dial_available && !c.abort->IsSet()) {
      link.reset();
      return DialHandOff(tran, c);
    }
    tran.MarkHostFailure();
    tran.m_HostErrorText = link->GetLastErrorText();
    c.logger->LogLine("RESPONSE from ELAVON INTERFACE ->[%s] for %s", HostTextForLog(tran.m_HostErrorText).c_str(),
                      tran.m_ClientAddress.c_str());
    JournalNotSent(tran, c);
    return false;
  }
  if (c.abort->IsSet()) {
    // The interface is stopping and nothing of this request is at the host yet.
    tran.MarkHostFailure();
    tran.m_HostErrorText = kNotSentWhileStopping;
    c.logger->LogLine("RESPONSE from ELAVON INTERFACE ->[%s] for %s", tran.m_HostErrorText.c_str(),
                      tran.m_ClientAddress.c_str());
    JournalNotSent(tran, c);
    link->Disconnect();
    return false;
  }
  if (NeedsEchoAfterApproval(tran.m_TranCode) && tran.m_HostRequest.size() > 1) {
    tran.m_HostRequest[1] = '#';
    ReplaceElavonChecksum(tran.m_HostRequest);
  }
  if (SendRequestOverIp(tran, *link, c)) {
    PostTraffic(WM_TRAFFIC_IP_RESPONSE_RECEIVED, kTrafficAuth);
    link->Disconnect();
    return true;
  }
  if (tran.m_State == kTranStateFailed) {
    link->Disconnect();
    return false;
  }
  tran.MarkHostFailure();
  tran.m_HostErrorText = link->GetLastErrorText();
  c.logger->LogLine("RESPONSE from ELAVON INTERFACE ->[%s] for %s", HostTextForLog(tran.m_HostErrorText).c_str(),
                    tran.m_ClientAddress.c_str());
  link->Disconnect();
  return false;
}
