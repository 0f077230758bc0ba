// CTranJournal: what a record's life tells the reversal journal, one call per event.
// The record's transitions of the same names (CElavonTran::MarkSent and the others)
// are the only callers; each event names the record by its m_JournalKey.
//
// The events, and what the journal promises for each (the journal keeps the entry
// of every exchange that may need reversing until its outcome is final):
//   Sent               an exchange of the record (its request, echo or reversal, in
//                      m_HostRequest) is about to go to the host. reversal cancels
//                      what goes out ("" when nothing can cancel it). False when the
//                      entry that it needs could not be written: nothing may be sent.
//   NotSent            an exchange that was to go never left: an entry it finds is
//                      owed (something of the transaction did leave before).
//   Answered           the host answered the request; the answer waits for its POS.
//   Confirmed          the host answered the echo that confirms an approval.
//   Delivered          the record's final reply reached its POS. Clears the entry
//                      only when it holds an answer that waited for delivery; an
//                      entry that owes a reversal stays owed.
//   Undeliverable      an answer could not be delivered: a decline is final; an
//                      approval's entry is held by the reversal queued in its place
//                      (reversal_queued), or owed.
//   ReversalAnswered   the host answered a reversal: nothing more is owed.
//   ReversalFailed     a reversal (or the exchange it should cancel) went without an
//                      answer: the entry is owed and tried again after a pause.
//   ExchangeEnded      the worker that carried the record's exchanges has ended.
// An entry owed is cleared only by ReversalAnswered; no event but Sent makes one.
#pragma once

#include <string>

class CElavonTran;

class CTranJournal {
 public:
  virtual ~CTranJournal() = default;
  [[nodiscard]] virtual bool Sent(CElavonTran& tran, const std::string& reversal) = 0;
  virtual void NotSent(const CElavonTran& tran) = 0;
  virtual void Answered(const CElavonTran& tran) = 0;
  virtual void Confirmed(const CElavonTran& tran) = 0;
  virtual void Delivered(const CElavonTran& tran) = 0;
  virtual void Undeliverable(const CElavonTran& tran, bool reversal_queued) = 0;
  virtual void ReversalAnswered(const CElavonTran& tran) = 0;
  virtual void ReversalFailed(const CElavonTran& tran) = 0;
  virtual void ExchangeEnded(const CElavonTran& tran) = 0;
};

// A journal that keeps nothing and refuses nothing: for the tests of parts that
// carry records without a journal.
class CNoTranJournal : public CTranJournal {
 public:
  bool Sent(CElavonTran&, const std::string&) override { return true; }
  void NotSent(const CElavonTran&) override {}
  void Answered(const CElavonTran&) override {}
  void Confirmed(const CElavonTran&) override {}
  void Delivered(const CElavonTran&) override {}
  void Undeliverable(const CElavonTran&, bool) override {}
  void ReversalAnswered(const CElavonTran&) override {}
  void ReversalFailed(const CElavonTran&) override {}
  void ExchangeEnded(const CElavonTran&) override {}
};

// The process's journal once start-up has opened it; a CNoTranJournal until then.
CTranJournal& ProcessTranJournal();
void SetProcessTranJournal(CTranJournal* journal);
