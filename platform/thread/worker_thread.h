// A worker thread in the manner of a suspended-created thread: created with a start
// gate, resumed when its starter is ready, with an exit event that waits can join and
// an exit code. Every thread is joined (at the latest by the destructor); none is
// killed or detached.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/sync/event.h"

namespace platform {

class WorkerThread {
 public:
  WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // Joins the thread. A thread still held at its gate ends without running its body.
  ~WorkerThread();

  // Starts a thread that runs body once the gate opens (at once when start_suspended
  // is false). Returns false when a thread is already running or none can be
  // created. Not thread-safe against concurrent Start/Join on the same object.
  bool Start(std::function<uint32_t()> body, bool start_suspended = false);
  // Opens the start gate.
  void Resume();
  // Set when the body has returned (manual reset); usable in Event::WaitAny.
  Event& ExitEvent() { return exited_; }
  // Waits up to ms for the body to return, then joins. Returns false on time-out
  // (the thread keeps running and is joined later).
  bool Join(uint32_t ms = kInfinite);
  bool Running() const { return thread_.joinable() && !exited_.IsSet(); }
  // The body's return value; 259 (STILL_ACTIVE) while it runs.
  uint32_t ExitCode() const { return exit_code_.load(); }
  std::thread::id Id() const { return thread_.get_id(); }

 private:
  std::thread thread_;
  Event gate_{Event::Mode::kManualReset};
  Event exited_{Event::Mode::kManualReset};
  std::atomic<uint32_t> exit_code_{259};
  std::atomic<bool> cancelled_{false};
};

}  // namespace platform
