// CUiThreadCall: runs a function on the thread that created the object (the UI
// thread, through its window-layer queue) for a caller on another thread, and waits
// for it. The wait gives up, without running the function, when an abort event is
// signalled or the time-out passes before the UI thread has taken the call; once
// taken, a call is always waited for to its end, so the function may use the
// caller's locals.
//
// Lock: the object's own mutex guards the queue of calls; no function runs under it.
// Create and destroy the object on the UI thread; it must outlive every caller (the
// pipe thread is stopped before it goes).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include "platform/sync/event.h"
#include "platform/sync/mutex.h"
#include "platform/window/window.h"

class CUiThreadCall {
 public:
  CUiThreadCall();
  CUiThreadCall(const CUiThreadCall&) = delete;
  CUiThreadCall& operator=(const CUiThreadCall&) = delete;
  ~CUiThreadCall();

  // Runs fn on the UI thread (at once when called there) and returns true when it
  // ran. False when abort (may be null) was signalled, timeoutMs passed, or the UI
  // thread's window is gone, before fn was taken.
  bool Run(const std::function<void()>& fn, platform::Event* abort, uint32_t timeoutMs) EXCLUDES(m_Lock);

 private:
  struct Call;

  // UI thread: runs the queued calls.
  void RunQueued() EXCLUDES(m_Lock);

  const std::thread::id m_Owner;
  platform::window::WindowHandle m_Window = 0;
  platform::Mutex m_Lock;
  std::deque<std::shared_ptr<Call>> m_Queue GUARDED_BY(m_Lock);
};
