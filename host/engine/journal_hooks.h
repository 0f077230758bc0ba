// The routing's calls into the reversal journal, one per event of an exchange. Each
// works on the worker's copy of the record and the context's journal, does nothing
// while the journal is closed, and logs a journal that cannot be written. They take
// the journal's lock (and the logger's afterwards), never together.
#pragma once

class CElavonTran;
struct CRoutingContext;

// A request, an echo or a reversal is about to go to the host: the journal holds the
// reversal that would cancel what goes out (the record's own reversal message when
// it is one). A transaction that cannot be reversed gets no entry.
void JournalExchangeSending(CElavonTran& tran, CRoutingContext& context);
// The host answered: for a reversal the outcome is final; any other answer waits
// for its delivery to the POS.
void JournalAnswerReceived(CElavonTran& tran, CRoutingContext& context);
// The host answered the reversal of a failed exchange: nothing more is owed.
void JournalReversalAnswered(CElavonTran& tran, CRoutingContext& context);
// A reversal could not reach the host, or got no answer: it stays owed.
void JournalReversalOwed(CElavonTran& tran, CRoutingContext& context);
// A failed exchange that is not reversed: final, unless the record is itself a
// reversal, which then stays owed.
void JournalNotReversed(CElavonTran& tran, CRoutingContext& context);
// Nothing was sent (no connection): a reversal record stays owed; nothing else has
// an entry.
void JournalNotSent(CElavonTran& tran, CRoutingContext& context);
// The dial route ended: an answered reversal is final, any other answer waits for
// its delivery, and an exchange that ended without an answer owes its reversal. An
// abort leaves the entry as it is, for the next start.
void JournalDialRouteEnded(CElavonTran& tran, CRoutingContext& context);
