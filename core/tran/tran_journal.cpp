// The record's journal transitions, and the process's journal.
#include "core/tran/tran_journal.h"

#include <atomic>

#include "core/tran/elavon_tran.h"

namespace {
CNoTranJournal g_NoJournal;
std::atomic<CTranJournal*> g_ProcessJournal{&g_NoJournal};
}  // namespace

CTranJournal& ProcessTranJournal() { return *g_ProcessJournal.load(); }

void SetProcessTranJournal(CTranJournal* journal) { g_ProcessJournal.store(journal ? journal : &g_NoJournal); }

bool CElavonTran::MarkSent(CTranJournal& journal, const std::string& reversal) {
  return journal.Sent(*this, reversal);
}

void CElavonTran::MarkNotSent(CTranJournal& journal) { journal.NotSent(*this); }

void CElavonTran::MarkAnswered(CTranJournal& journal) { journal.Answered(*this); }

void CElavonTran::MarkConfirmed(CTranJournal& journal) { journal.Confirmed(*this); }

void CElavonTran::MarkDelivered(CTranJournal& journal) {
  MarkFinished();
  journal.Delivered(*this);
}

void CElavonTran::MarkUndeliverable(CTranJournal& journal, bool reversal_queued) {
  journal.Undeliverable(*this, reversal_queued);
}

void CElavonTran::MarkReversalAnswered(CTranJournal& journal) {
  MarkNoHostAnswer();
  journal.ReversalAnswered(*this);
}

void CElavonTran::MarkReversalFailed(CTranJournal& journal) { journal.ReversalFailed(*this); }

void CElavonTran::MarkExchangeEnded(CTranJournal& journal) { journal.ExchangeEnded(*this); }
