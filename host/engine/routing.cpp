#include "host/engine/routing.h"

#include <cstdlib>
#include <optional>

#include "core/log/log_text.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/queue/process_events.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "core/vocab/text_helpers.h"
#include "host/engine/traffic.h"
#include "host/ip/host_endpoints.h"
#include "host/message/elavon_request.h"
#include "platform/sync/tick.h"

namespace {

constexpr uint32_t kDialPollMs = 250;
constexpr char kNotSentWhileStopping[] = "Interface stopping: request not sent to Elavon";
constexpr char kNotConfirmedWhileStopping[] = "Interface stopping: the approval could not be confirmed";
constexpr uint32_t kDialRetryPauseMs = 1000;

uint32_t MsSince(uint32_t start) { return platform::TickDiff(platform::TickCount(), start); }

// What the log shows of a host's text: its card numbers masked, its line breaks
// escaped.
std::string HostTextForLog(const std::string& text) { return EscapeLineBreaks(MaskCardNumbers(text)); }

bool IsReversalMessage(const CElavonTran& tran) { return tran.m_Family == kTranFamilyReversal; }

// What did not confirm an approval: "an echo answer without a result" or "a
// declined echo".
const char* UnconfirmedEcho(const CElavonTran& tran) {
  return CElavonTran::AnswerHasResultField(tran.m_HostResponse) ? "a declined echo" : "an echo answer without a result";
}

void LogUnconfirmedEcho(const CElavonTran& tran, CLogger& logger) {
  logger.LogLine("Approval not confirmed by %s for %s: reversing the approval", UnconfirmedEcho(tran),
                 tran.m_ClientAddress.c_str());
}

// Empties what an earlier dial attempt left of the host's answer; the request stays.
void ClearHostAnswer(CElavonTran& tran) {
  const std::string request = tran.m_HostRequest;
  CEmvParamTables tables = tran.m_EMVParamTables;
  static_cast<CTranHostResponse&>(tran) = CTranHostResponse();
  tran.m_HostRequest = request;
  tran.m_EMVParamTables = tables;
}

// The dial hand-off: the record goes to the dial backup through the queue, and is
// read back every 250 ms until the dial worker writes an outcome. The dial worker
// tells the journal when it sends; the hand-off tells what came of it.
//
// Once the interface is stopping nothing more is handed over: a record the dial
// worker has not taken yet is taken back unsent, and the outcome of one it has taken
// (it is on the line) is waited for, as over IP. What would have followed it (an
// echo, a reversal, a retry) is left owed to the journal instead.
class CDialRound {
 public:
  CDialRound(CElavonTran& tran, CRoutingContext& c) : m_Tran(tran), m_C(c) {}

  void Run() {
    HandOver(kTrafficAuth, m_C.m_DialBusy->IsSet());
    while (Step()) {
    }
    PostTraffic(WM_TRAFFIC_DIAL_RESPONSE_RECEIVED, kTrafficAuth);
  }

 private:
  CTranJournal& Journal() { return *m_C.m_Journal; }

  void HandOver(uintptr_t traffic, bool retry_on_new_line) {
    m_Tran.MarkHandedToDialBackup();
    if (retry_on_new_line) m_Tran.m_RetryOnNewLine = 1;
    m_C.m_Queue->Update(m_Tran.m_Id, m_Tran);  // m_Tran takes the queued revision
    PostTraffic(WM_TRAFFIC_DIAL_REQUEST_SENT, traffic);
    m_RoundStart = platform::TickCount();
  }

  // Once the interface stops, what goes to the dial backup goes no further.
  bool Stopping() {
    if (!m_Stopping && m_C.m_Abort->IsSet()) m_Stopping = true;
    return m_Stopping;
  }

  // The record turns into its reversal and goes to the dial backup. False when no
  // reversal can be built (never the reversed message sent again in its place) or the
  // interface is stopping: the record then ends with no answer (1007) and its
  // reversal owed to the journal.
  bool HandReversal() {
    m_Tran.m_HostResponse.clear();
    m_Tran.m_TranCode = kCodeReversal;
    if (Stopping() || !m_Tran.BuildReversalRequest(m_C.m_Settings)) {
      m_C.m_Logger->LogLine("Reversal(dial) not sent for %s", m_Tran.m_ClientAddress.c_str());
      m_Tran.MarkNoHostAnswer();
      m_Tran.m_ErrorCode = kErrorResponseTimeout;
      m_Tran.MarkReversalFailed(Journal());
      return false;
    }
    HandOver(kTrafficAuth, false);
    return true;
  }

  // One wait and what it brought. False when the round has ended.
  bool Step() {
    if (Stopping()) {
      platform::Sleep(kDialPollMs);
    } else if (m_C.m_Abort->Wait(kDialPollMs)) {
      m_Stopping = true;
    }
    CElavonTran back;
    if (!m_C.m_Queue->Find(m_Tran.m_Id, back)) {
      // The client's connection gave up on the record: nobody will read an outcome.
      m_Tran.MarkHostFailure();
      m_Tran.m_HostErrorText = "Dial backup request no longer queued";
      m_C.m_Logger->LogLine("Dial hand-off ended: the record for %s is no longer queued",
                            m_Tran.m_ClientAddress.c_str());
      return false;
    }
    switch (back.m_State) {
      case kTranStateDialFailed:
      case kTranStateDialModemError:
        m_Tran = back;
        return Failed(back.m_State == kTranStateDialFailed);
      case kTranStateDialAnswerReceived:
        m_Tran = back;
        return Answered();
      case kTranStateHandedToDial:
        if (m_Stopping && !back.m_OnDialLine) {
          // Not on the line: it never left, and now it will not. Taken back only if
          // the dial worker has not taken it meanwhile.
          CElavonTran taken = back;
          taken.MarkHostFailure();
          taken.m_HostErrorText = kNotSentWhileStopping;
          if (m_C.m_Queue->UpdateIfCurrent(taken.m_Id, taken)) {
            m_Tran = taken;
            m_C.m_Logger->LogLine("RESPONSE from ELAVON INTERFACE ->[%s] for %s", kNotSentWhileStopping,
                                  m_Tran.m_ClientAddress.c_str());
            m_Tran.MarkNotSent(Journal());
            return false;
          }
        }
        break;
      default:
        break;
    }
    if (MsSince(m_RoundStart) > m_C.m_DialRoundLimitMs) {
      m_Tran = back;
      m_Tran.MarkHostFailure();
      m_Tran.m_HostErrorText = "No answer from the dial backup";
      m_C.m_Logger->LogLine("Dial hand-off timed out for %s", m_Tran.m_ClientAddress.c_str());
      return false;
    }
    return true;
  }

  // 13 (the exchange failed) or 11 (the modem could not carry it: nothing was sent).
  bool Failed(bool exchange_failed) {
    const bool retry = m_Tran.m_RetryOnNewLine > 0;
    if (retry) m_Tran.m_RetryOnNewLine = 0;
    if (IsReversalMessage(m_Tran)) {
      // A reversal that did not reach the host, or got no answer: owed.
      if (exchange_failed) {
        m_Tran.MarkReversalFailed(Journal());
      } else {
        m_Tran.MarkNotSent(Journal());
      }
      if (m_Restore) return Restore("the reversal failed");
      m_Tran.MarkNoHostAnswer();
      return false;
    }
    if (exchange_failed && IsReversibleCode(m_Tran.m_TranCode)) {
      m_C.m_Logger->LogLine("RESPONSE (reverse handler(dial))from ELAVON INTERFACE ->[%s] for %s",
                            HostTextForLog(m_Tran.m_HostErrorText).c_str(), m_Tran.m_ClientAddress.c_str());
      return HandReversal();
    }
    if (!exchange_failed) m_Tran.MarkNotSent(Journal());  // an echo that could not go leaves its approval owed
    if (retry && !Stopping()) {
      if (m_C.m_Abort->Wait(kDialRetryPauseMs)) {
        m_Stopping = true;
      } else {
        ClearHostAnswer(m_Tran);
        HandOver(kTrafficAuth, false);
        return true;
      }
    }
    if (exchange_failed) {
      m_Tran.MarkNoHostAnswer();
    } else {
      m_Tran.MarkHostFailure();
    }
    return false;
  }

  // 12: the host's answer is in the record.
  bool Answered() {
    if (IsReversalMessage(m_Tran)) {
      m_Tran.MarkAnswered(Journal());  // the reversal's answer: nothing more is owed
      if (m_Restore) return Restore(nullptr);
      m_Tran.MarkAnsweredOverDial();
      return false;
    }
    if (m_Tran.m_Family == kTranFamilyEcho) {
      if (CElavonTran::EchoAnswerConfirms(m_Tran.m_HostResponse)) {
        m_Tran.MarkConfirmed(Journal());
        m_Tran.MarkAnsweredOverDial();
        return false;
      }
      // The approval is not confirmed (the echo was declined, or answered without a
      // result though the host may have taken it): it is reversed as for an echo that
      // got no answer. The record keeps the echo's answer, which its final parse reads
      // as a decline, once the reversal has ended.
      LogUnconfirmedEcho(m_Tran, *m_C.m_Logger);
      m_Restore = m_Tran;
      m_Restore->MarkAnsweredOverDial();
      if (!HandReversal()) return Restore("the reversal failed");
      return true;
    }
    m_Tran.MarkAnswered(Journal());
    if (!NeedsEchoAfterApproval(m_Tran.m_TranCode)) {
      m_Tran.MarkAnsweredOverDial();
      return false;
    }
    m_C.m_Logger->LogLine("building Response to Determine if Echo Required (dial)");
    m_Tran.ParseElavonResponse();
    if (!m_Tran.m_Approved) {
      m_Tran.MarkAnsweredOverDial();
      return false;
    }
    if (Stopping()) {
      // The echo cannot go now: the approval stays unconfirmed and is reversed later.
      m_Tran.MarkNotSent(Journal());
      m_Tran.MarkHostFailure();
      m_Tran.m_HostErrorText = kNotConfirmedWhileStopping;
      m_C.m_Logger->LogLine("RESPONSE from ELAVON INTERFACE ->[%s] for %s", kNotConfirmedWhileStopping,
                            m_Tran.m_ClientAddress.c_str());
      return false;
    }
    if (m_Tran.BuildEchoRequest().empty()) {
      // An echo that cannot be built leaves the approval unconfirmed: reverse it on
      // the dial line, or, when it cannot be reversed, report no answer.
      m_C.m_Logger->LogLine("Echo(dial) not built for %s", m_Tran.m_ClientAddress.c_str());
      if (!IsReversibleCode(m_Tran.m_TranCode)) {
        m_Tran.MarkNoHostAnswer();
        return false;
      }
      return HandReversal();
    }
    m_Tran.m_RetryOnNewLine = 0;
    HandOver(kTrafficEcho, false);
    return true;
  }

  // The reversal of an approval whose echo came back without a result has ended: the
  // record is the echo's answer again.
  bool Restore(const char* failure) {
    const char* what = UnconfirmedEcho(*m_Restore);
    const CElavonTran kept = *m_Restore;
    m_Restore.reset();
    const uint32_t revision = m_Tran.m_Revision;  // the queued record's, as last read
    m_Tran = kept;
    m_Tran.m_Revision = revision;
    if (failure) {
      m_C.m_Logger->LogLine("Approval NOT reversed after %s for %s: %s", what, m_Tran.m_ClientAddress.c_str(),
                            failure);
    } else {
      m_C.m_Logger->LogLine("Approval reversed after %s for %s", what, m_Tran.m_ClientAddress.c_str());
    }
    return false;
  }

  CElavonTran& m_Tran;
  CRoutingContext& m_C;
  uint32_t m_RoundStart = 0;
  bool m_Stopping = false;
  std::optional<CElavonTran> m_Restore;  // the echo's answer, while its approval is reversed
};

bool DialHandOff(CElavonTran& tran, CRoutingContext& c) {
  CDialRound(tran, c).Run();
  return true;
}

// An echo answer that does not confirm the approval: a decline, or one without a
// result (field 02) though the host may have taken the echo. The approval is
// reversed on a new connection as for an echo that got no answer. The record itself
// keeps the echo's answer, which its final parse reads as a decline; the reversal
// works on a copy, which tells the journal its outcome.
void ReverseUnconfirmedEcho(const CElavonTran& tran, CRoutingContext& c) {
  LogUnconfirmedEcho(tran, *c.m_Logger);
  CElavonTran reversal = tran;
  const bool ended = ReverseHandlerIp(reversal, c);
  if (ended && reversal.m_Family == kTranFamilyReversal) {
    c.m_Logger->LogLine("Approval reversed after %s for %s", UnconfirmedEcho(tran), tran.m_ClientAddress.c_str());
  } else {
    c.m_Logger->LogLine("Approval NOT reversed after %s for %s: %s", UnconfirmedEcho(tran),
                        tran.m_ClientAddress.c_str(), ended ? "no reversal applies" : "the reversal failed");
  }
}

}  // namespace

void CRoutingContext::FillDefaults() {
  if (m_Settings.GetParams().GetCount() == 0) m_Settings = g_ParamStore.GetSettings();
  if (!m_Queue) m_Queue = &g_TransactionQueue;
  if (!m_Endpoints) m_Endpoints = &g_HostEndpoints;
  if (!m_Abort) m_Abort = &g_AbortEvent;
  if (!m_DialBusy) m_DialBusy = &g_DialLineBusyEvent;
  if (!m_Logger) m_Logger = &GetLogger();
  if (!m_Journal) m_Journal = &ProcessTranJournal();
}

bool ConnectToElavon(CHostLink& link, CRoutingContext& c) {
  const CActiveHost host = c.m_Endpoints->GetCurrent();
  const int timeout_s = ReadIntParam(c.m_Settings, kParmIpConnectTimeout);
  const uint32_t timeout_ms = timeout_s > 0 ? static_cast<uint32_t>(timeout_s) * 1000u : 0u;
  if (link.Connect(host.GetHost(), AtoiClamped(host.GetPort()), timeout_ms)) return true;
  c.m_Endpoints->Switch(host.GetHost(), host.GetPort());
  return false;
}

bool ReverseHandlerIp(CElavonTran& tran, CRoutingContext& c) {
  CTranJournal& journal = *c.m_Journal;
  // The link disconnects when it is destroyed, on every way out of here.
  std::unique_ptr<CHostLink> link = c.m_MakeLink();
  // What this connection carries is owed to the host: a stop does not cut it short.
  link->SetAbortable(false);
  if (!ConnectToElavon(*link, c)) {
    c.m_Logger->LogLine("Failed to connect Attempting reversal");
    tran.MarkReversalFailed(journal);
    return false;
  }
  if (!IsReversibleCode(tran.m_TranCode)) {
    // A reversal that got no answer is not reversed in its turn: it stays owed.
    if (IsReversalMessage(tran)) tran.MarkReversalFailed(journal);
    tran.MarkNoHostAnswer();
    return true;
  }
  tran.m_HostResponse.clear();
  // Never the original message in place of a reversal that cannot be built: that
  // would charge the card twice.
  if (!tran.BuildReversalRequest(c.m_Settings) || !link->BuildHttpRequest(tran)) {
    tran.MarkNoHostAnswer();
    tran.m_ErrorCode = kErrorResponseTimeout;
    c.m_Logger->LogLine("Reversal(IP) not sent for %s", tran.m_ClientAddress.c_str());
    tran.MarkReversalFailed(journal);
    return true;
  }
  // A reversal always goes: it only ever cancels.
  (void)tran.MarkSent(journal, std::string());
  PostTraffic(WM_TRAFFIC_IP_REQUEST_SENT, kTrafficAuth);
  c.m_Logger->LogLine("Sending Reversal(IP) Acct:%s AMT:%s for %s", MaskAccountNumber(tran.m_AcctNo).c_str(),
                      tran.m_Authorize.c_str(), tran.m_ClientAddress.c_str());
  if (link->Transact()) {
    tran.MarkReversalAnswered(journal);
    return true;
  }
  tran.MarkHostFailure();
  tran.m_HostErrorText = link->GetLastErrorText();
  tran.MarkReversalFailed(journal);
  c.m_Logger->LogLine("EXITING (reverse handler(ip)) from ELAVON INTERFACE ->[%s] for %s",
                      HostTextForLog(tran.m_HostErrorText).c_str(), tran.m_ClientAddress.c_str());
  return false;
}

bool SendRequestOverIp(CElavonTran& tran, CHostLink& link, CRoutingContext& c) {
  CTranJournal& journal = *c.m_Journal;
  if (!link.BuildHttpRequest(tran)) {
    // Nothing went out: the record fails with its own code.
    tran.MarkFailedWithOwnCode();
    if (tran.m_ErrorCode == 0) tran.m_ErrorCode = kErrorGeneralFailure;
    c.m_Logger->LogLine("Elavon Request not sent for %s: no HTTP request could be built",
                        tran.m_ClientAddress.c_str());
    if (IsReversalMessage(tran)) tran.MarkNotSent(journal);
    return false;
  }
  if (!tran.MarkSent(journal, tran.ReversalToKeep(c.m_Settings))) {
    // Without its entry in the journal a request that may need reversing stays here.
    tran.MarkFailedWithOwnCode();
    tran.m_ErrorCode = kErrorGeneralFailure;
    c.m_Logger->LogLine("Elavon Request not sent for %s: the reversal journal cannot keep it",
                        tran.m_ClientAddress.c_str());
    return false;
  }
  PostTraffic(WM_TRAFFIC_IP_REQUEST_SENT, kTrafficAuth);
  if (!link.Transact()) return ReverseHandlerIp(tran, c);
  tran.m_HostResponse = link.AnswerBody();
  tran.MarkAnswered(journal);
  c.m_Logger->LogLine("RESPONSE from ELAVON ->[%s] for %s", "{Truncated}", tran.m_ClientAddress.c_str());

  if (NeedsEchoAfterApproval(tran.m_TranCode) && !IsReversalMessage(tran)) {
    c.m_Logger->LogLine("building Response to Determine if Echo Required (ip)");
    tran.ParseElavonResponse();
    if (tran.m_Approved) {
      tran.m_HostResponse.clear();
      // An echo that cannot be built leaves the approval unconfirmed: reverse it.
      if (tran.BuildEchoRequest().empty() || !link.BuildHttpRequest(tran)) return ReverseHandlerIp(tran, c);
      (void)tran.MarkSent(journal, tran.ReversalToKeep(c.m_Settings));  // the entry exists: this only updates it
      PostTraffic(WM_TRAFFIC_IP_REQUEST_SENT, kTrafficEcho);
      if (!link.Transact()) return ReverseHandlerIp(tran, c);
      tran.m_HostResponse = link.AnswerBody();
      c.m_Logger->LogLine("RESPONSE from ELAVON ->[%s] for %s", "{Truncated}", tran.m_ClientAddress.c_str());
      if (CElavonTran::EchoAnswerConfirms(tran.m_HostResponse)) {
        tran.MarkConfirmed(journal);
      } else {
        ReverseUnconfirmedEcho(tran, c);
      }
    }
  }
  tran.MarkAnsweredOverIp();
  return true;
}

bool RouteRequest(CElavonTran& tran, CRoutingContext& c) {
  c.FillDefaults();
  const int method = ReadIntParam(c.m_Settings, kParmTransportMethod);
  const bool dial_available = method == 1 || method == 2;
  if (dial_available && (method == 2 || c.m_DialBusy->IsSet())) return DialHandOff(tran, c);

  // The link disconnects when it is destroyed: on every way out of here, and before a
  // dial hand-off.
  std::unique_ptr<CHostLink> link = c.m_MakeLink();
  if (!ConnectToElavon(*link, c)) {
    if (dial_available && !c.m_Abort->IsSet()) {
      link.reset();
      return DialHandOff(tran, c);
    }
    tran.MarkHostFailure();
    tran.m_HostErrorText = link->GetLastErrorText();
    c.m_Logger->LogLine("RESPONSE from ELAVON INTERFACE ->[%s] for %s", HostTextForLog(tran.m_HostErrorText).c_str(),
                        tran.m_ClientAddress.c_str());
    if (IsReversalMessage(tran)) tran.MarkNotSent(*c.m_Journal);
    return false;
  }
  if (c.m_Abort->IsSet()) {
    // The interface is stopping and nothing of this request is at the host yet.
    tran.MarkHostFailure();
    tran.m_HostErrorText = kNotSentWhileStopping;
    c.m_Logger->LogLine("RESPONSE from ELAVON INTERFACE ->[%s] for %s", HostTextForLog(tran.m_HostErrorText).c_str(),
                        tran.m_ClientAddress.c_str());
    if (IsReversalMessage(tran)) tran.MarkNotSent(*c.m_Journal);
    return false;
  }
  if (NeedsEchoAfterApproval(tran.m_TranCode) && tran.m_HostRequest.size() > 1) {
    tran.m_HostRequest[1] = '#';
    ReplaceElavonChecksum(tran.m_HostRequest);
  }
  if (SendRequestOverIp(tran, *link, c)) {
    PostTraffic(WM_TRAFFIC_IP_RESPONSE_RECEIVED, kTrafficAuth);
    return true;
  }
  if (tran.m_State == kTranStateFailed) return false;
  tran.MarkHostFailure();
  tran.m_HostErrorText = link->GetLastErrorText();
  c.m_Logger->LogLine("RESPONSE from ELAVON INTERFACE ->[%s] for %s", HostTextForLog(tran.m_HostErrorText).c_str(),
                      tran.m_ClientAddress.c_str());
  return false;
}
