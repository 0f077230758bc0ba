// Kernel-event style synchronisation: manual- and auto-reset events, waits on one or
// several of them, and the Waiter that lets other wake sources (a window message
// queue, a toolkit's event loop) join such a wait.
//
// Every Event owns its mutex; a wait never holds an event's mutex while it sleeps,
// so any thread may Set, Reset or Pulse at any time.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <vector>

#include "platform/sync/mutex.h"
#include "platform/sync/thread_annotations.h"

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// What WaitAny returns when the time ran out (the Windows WAIT_TIMEOUT value).
constexpr int kWaitTimeout = 258;

// One waiting call. Events (and other sources) that the call waits on hold a pointer
// to it while the wait lasts and Notify it when they change. A Waiter may carry a hook
// that is called after every Notify, on the notifying thread: the window layer uses it
// to wake a toolkit loop. Thread-safe; takes its own mutex only.
class Waiter {
 public:
  explicit Waiter(std::function<void()> on_notify = nullptr) : on_notify_(std::move(on_notify)) {}
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  void Notify() EXCLUDES(mu_);
  // Sleeps until Notify was called since the last return, or ms ran out. Returns
  // true when notified. Clears the notification.
  bool Sleep(uint32_t ms) EXCLUDES(mu_);

 private:
  Mutex mu_;
  CondVar cv_;
  bool notified_ GUARDED_BY(mu_) = false;
  std::function<void()> on_notify_;
};

class Event {
 public:
  enum class Mode { kManualReset, kAutoReset };

  explicit Event(Mode mode, bool initially_set = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event();

  // Signals the event. A manual-reset event stays set until Reset; an auto-reset
  // event releases one wait and clears itself. Each member takes the event's own
  // mutex (and, to notify, the waiters' mutexes under it).
  void Set() EXCLUDES(mu_);
  void Reset() EXCLUDES(mu_);
  // Releases the waits in progress (all of them for manual reset, one for auto reset)
  // and leaves the event clear. With no wait in progress it only clears the event.
  void Pulse() EXCLUDES(mu_);
  // Waits until set (consuming it when auto-reset). ms may be kInfinite; 0 polls.
  bool Wait(uint32_t ms) EXCLUDES(mu_);
  // True when set; does not consume an auto-reset event.
  bool IsSet() const EXCLUDES(mu_);

  // Waits until one of the events is set and returns the lowest index among the set
  // ones (consuming that one alone when it is auto-reset), or kWaitTimeout.
  static int WaitAny(std::span<Event* const> events, uint32_t ms);
  static int WaitAny(std::initializer_list<Event*> events, uint32_t ms) {
    return WaitAny(std::span<Event* const>(events.begin(), events.size()), ms);
  }

  // The building block of combined waits: Attach registers the waiter, TryConsume
  // reports (and consumes) a signal seen since Attach, Detach ends the registration.
  // The value returned by Attach must be passed back to TryConsume.
  uint64_t Attach(Waiter* waiter) EXCLUDES(mu_);
  bool TryConsume(uint64_t attach_token) EXCLUDES(mu_);
  void Detach(Waiter* waiter) EXCLUDES(mu_);

 private:
  const Mode mode_;
  mutable Mutex mu_;
  bool signaled_ GUARDED_BY(mu_);
  uint64_t pulses_ GUARDED_BY(mu_) = 0;  // grows with every Pulse of a manual-reset event
  std::vector<Waiter*> waiters_ GUARDED_BY(mu_);
};

// Attaches a waiter to a set of events for the lifetime of the object.
class EventWaitScope {
 public:
  EventWaitScope(std::span<Event* const> events, Waiter* waiter);
  EventWaitScope(const EventWaitScope&) = delete;
  EventWaitScope& operator=(const EventWaitScope&) = delete;
  ~EventWaitScope();
  // Lowest index of an event signalled since the scope began (consumed), or -1.
  int FirstSignalled();

 private:
  std::vector<Event*> events_;
  std::vector<uint64_t> tokens_;
  Waiter* waiter_;
};

}  // namespace platform
