// The engine that takes queued transactions to Elavon one at a time. Its thread first
// proves (unless told not to) that the gateway can be reached; then every 50 ms it
// snapshots the queue, applies the clients' cancel requests and, only while no host
// exchange is in flight, builds the Elavon request of the next queued record and
// hands it to the one worker thread, which routes it, has the answer parsed and
// writes the record back.
//
// Start and Stop run on the UI thread (Start dispatches window messages while it
// waits). The processing thread and the worker share only the queue, the job-id
// list and the process-wide objects, each behind its own lock; records are copies.
// Both threads are owned and always joined, the worker at the latest by the next
// Start or the destructor.
#pragma once

#include <string>

#include "core/queue/job_id_list.h"
#include "core/tran/elavon_tran.h"
#include "host/engine/routing.h"
#include "platform/sync/event.h"
#include "platform/sync/mutex.h"
#include "platform/thread/worker_thread.h"

using ElavonInterfaceMessageFn = void (*)(const std::string& text, bool log, bool silent, int timeoutMs);

class CElavonInterface {
 public:
  // The routing context's unset members are the process's objects; its settings,
  // when given, replace the copy of g_ParamStore's that every request takes.
  explicit CElavonInterface(CRoutingContext context = CRoutingContext());
  CElavonInterface(const CElavonInterface&) = delete;
  CElavonInterface& operator=(const CElavonInterface&) = delete;
  virtual ~CElavonInterface();

  // How a failed thread start is shown; silent when running as a service.
  void SetMessageSink(ElavonInterfaceMessageFn show, bool silent);

  // True when the processing thread runs and is ready. First joins a worker that the
  // last stop left in its exchange.
  bool Start();
  // Sets the abort event, waits up to 20 s for the exchange in flight, ends and
  // joins the processing thread, and joins the worker when its exchange has ended.
  // A worker still in its exchange after the 20 s keeps running to the end of it and
  // is joined by the next Start or the destructor. Returns 1.
  int Stop();
  std::string GetStartFailureText() const EXCLUDES(m_TextLock);

  // One pass's steps on a snapshot (the processing thread runs them).
  void ProcessCancellations(const CTranList& snapshot);
  void DispatchRequests(const CTranList& snapshot);

  int JobsInFlight() const { return m_JobIds.GetCount(); }

 private:
  void ProcessingLoop();
  void RunWorker(CElavonTran tran, int job_id);
  CRoutingContext ContextForRequest() const;
  // The record fails with its own code before anything of it was sent.
  void FailUnsent(CElavonTran& record, int error_code, const CRoutingContext& context);

  CRoutingContext m_Context;
  bool m_FixedSettings;
  ElavonInterfaceMessageFn m_Show = nullptr;
  bool m_Silent = false;

  mutable platform::Mutex m_TextLock;
  std::string m_StartFailureText GUARDED_BY(m_TextLock);

  platform::Event m_StartedEvent{platform::Event::Mode::kManualReset};
  platform::Event m_StartFailedEvent{platform::Event::Mode::kAutoReset};
  platform::Event m_StopEvent{platform::Event::Mode::kAutoReset};
  CJobIdList m_JobIds;
  platform::WorkerThread m_Worker;  // the one request in flight
  platform::WorkerThread m_Thread;  // the processing thread (destroyed first)
};
