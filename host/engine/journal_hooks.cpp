#include "host/engine/journal_hooks.h"

#include "core/log/logger.h"
#include "core/queue/reversal_journal.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "host/engine/routing.h"

namespace {

bool IsReversalRecord(const CElavonTran& tran) { return tran.m_TranCode == kCodeReversal; }

void Owe(CElavonTran& tran, CRoutingContext& c) {
  if (tran.m_JournalKey == 0) return;
  uint32_t pause_ms = 0;
  if (c.journal->MarkOwed(tran.m_JournalKey, &pause_ms)) {
    c.logger->LogLine("Reversal owed to the host for %s AMT:%s kept in the reversal journal - next try in %u s",
                      tran.m_ClientAddress.c_str(), tran.m_Authorize.c_str(), (pause_ms + 999) / 1000);
  }
}

void Final(CElavonTran& tran, CRoutingContext& c) {
  if (tran.m_JournalKey != 0) c.journal->Clear(tran.m_JournalKey);
}

}  // namespace

void JournalExchangeSending(CElavonTran& tran, CRoutingContext& c) {
  if (!c.journal->IsOpen()) return;
  std::string reversal;
  if (IsReversalRecord(tran) && tran.m_Family == kTranFamilyReversal) {
    reversal = tran.m_HostRequest;
  } else if (IsReversibleCode(tran.m_TranCode)) {
    CElavonTran copy = tran;
    if (copy.BuildReversalRequest(c.settings)) reversal = copy.m_HostRequest;
  }
  if (reversal.empty()) return;
  if (!c.journal->RecordReversal(tran, reversal)) {
    c.logger->LogLine("Reversal journal could not be written: %s", c.journal->LastWriteError().c_str());
  }
}

void JournalAnswerReceived(CElavonTran& tran, CRoutingContext& c) {
  if (IsReversalRecord(tran)) Final(tran, c);
}

void JournalReversalAnswered(CElavonTran& tran, CRoutingContext& c) { Final(tran, c); }

void JournalReversalOwed(CElavonTran& tran, CRoutingContext& c) { Owe(tran, c); }

void JournalNotReversed(CElavonTran& tran, CRoutingContext& c) {
  if (IsReversalRecord(tran)) {
    Owe(tran, c);
  } else {
    Final(tran, c);
  }
}

void JournalNotSent(CElavonTran& tran, CRoutingContext& c) {
  if (IsReversalRecord(tran)) Owe(tran, c);
}

void JournalDialRouteEnded(CElavonTran& tran, CRoutingContext& c) {
  switch (tran.m_State) {
    case kTranStateAnsweredDial:
      JournalAnswerReceived(tran, c);
      break;
    case kTranStateHandedToDial:  // aborted: the next start reverses it
      break;
    default:
      Owe(tran, c);
      break;
  }
}
