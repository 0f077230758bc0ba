// The ReverseWorker: a thread that runs beside the interfaces and serves
// g_ReversalQueue. Every 150 ms it moves what that queue holds to the head of
// g_TransactionQueue, and finishes the records it moved once they reach a final
// state, giving failed ones their error reply in clear. It also writes the line
// that reports a transaction a host without reversals would have reversed.
//
// It also serves the reversal journal: on every pass the owed reversals that are due
// go to the head of g_TransactionQueue as reversal records (code 50) of their own
// (the routing tells the journal each try's outcome; the worker logs it when the
// record reaches a final state), every entry whose record has left the main queue
// without a final outcome becomes owed, and a journal write that failed is tried
// again.
//
// Start and Stop run on the UI thread (Start dispatches window messages while it
// waits). The snapshot list and the pending ids belong to the worker's thread; the
// queues are touched only through their locked operations.
#pragma once

#include <map>
#include <string>

#include "core/queue/reversal_journal.h"
#include "core/queue/transaction_queue.h"
#include "platform/sync/event.h"
#include "platform/thread/worker_thread.h"

class CLogger;

// Shows a message the way ShowTimedMessage does (text, log, silent, time-out).
using ReverseWorkerMessageFn = void (*)(const std::string& text, bool log, bool silent, int timeoutMs);

extern CTransactionQueue g_ReversalQueue;

// What the ReverseWorker works with. The wiring fills it with the process's objects
// (g_ReversalQueue, g_TransactionQueue, the process's logger, g_ReversalJournal);
// tests give their own. Every member must be set, and each must outlive the worker.
struct CReverseWorkerContext {
  CTransactionQueue* m_Reversals = nullptr;  // what the worker serves
  CTransactionQueue* m_Main = nullptr;       // where the reversals go, at the head
  CLogger* m_Logger = nullptr;
  CReversalJournal* m_Journal = nullptr;
};

// The line that reports a transaction a host without reversals would have reversed.
void LogNoReversal(CLogger& logger, const CElavonTran& record, const std::string& reason);

class CReverseWorker {
 public:
  // The message box is the logger unless SetMessageSink gives one.
  explicit CReverseWorker(const CReverseWorkerContext& context);
  CReverseWorker(const CReverseWorker&) = delete;
  CReverseWorker& operator=(const CReverseWorker&) = delete;
  virtual ~CReverseWorker();

  // How a failed start is shown; silent when the program runs as a service.
  void SetMessageSink(ReverseWorkerMessageFn show, bool silent);

  // True when the thread runs. Forgets the ids of an earlier run.
  bool Start();
  // Ends and joins the thread. Always true.
  bool Stop();

  void LogNoReversal(CElavonTran record, const std::string& reason);

  // One pass of the loop (the thread calls them; tests may too).
  void TakeReversals();
  // Puts the journal's due reversals at the head of the main queue.
  void TakeJournalReversals();
  void ProcessResults();
  void PurgeFinished();
  // The journal's upkeep: entries whose records left the main queue without a final
  // outcome become owed, and a write that failed is tried again.
  void KeepJournal();

  size_t PendingCountForTesting() const { return m_PendingIds.size(); }
  size_t JournalTriesUnderWayForTesting() const { return m_JournalTries.size(); }

 private:
  void Run();
  CLogger& Log();
  void ShowFatal();
  // The outcome of a try of a journal reversal: logged, and the entry cleared or owed.
  void FinishJournalTry(const CElavonTran& record, const CJournalEntry& entry);

  CTransactionQueue& m_Reversals;
  CTransactionQueue& m_Main;
  CLogger& m_Logger;
  CReversalJournal& m_Journal;
  ReverseWorkerMessageFn m_Show = nullptr;
  bool m_Silent = false;

  platform::Event m_StartedEvent{platform::Event::Mode::kManualReset};
  platform::Event m_SecondEvent{platform::Event::Mode::kAutoReset};
  platform::Event m_StopEvent{platform::Event::Mode::kAutoReset};
  platform::WorkerThread m_Thread;

  CTranList m_Snapshot;
  CTranIdArray m_PendingIds;
  // Queue id of each journal reversal under way, with its entry as it was taken.
  std::map<int, CJournalEntry> m_JournalTries;
};
