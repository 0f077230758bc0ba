#include "platform/sync/event.h"

#include <algorithm>
#include <chrono>


namespace platform {

void Waiter::Notify() {
  {
    MutexLock lock(mu_);
    notified_ = true;
  }
  cv_.NotifyAll();
  if (on_notify_) on_notify_();
}

bool Waiter::Sleep(uint32_t ms) {
  MutexLock lock(mu_);
  if (ms == kInfinite) {
    while (!notified_) cv_.Wait(mu_);
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!notified_ && cv_.WaitUntil(mu_, deadline)) {
    }
  }
  const bool was = notified_;
  notified_ = false;
  return was;
}

Event::Event(Mode mode, bool initially_set) : mode_(mode), signaled_(initially_set) {}

Event::~Event() = default;

// Waiters are notified under the event's mutex: Detach takes it too, so a waiter
// that has detached (and may be gone) is never notified. Lock order: event, then
// waiter; a waiter never takes an event's mutex.
void Event::Set() {
  MutexLock lock(mu_);
  signaled_ = true;
  for (Waiter* w : waiters_) w->Notify();
}

void Event::Reset() {
  MutexLock lock(mu_);
  signaled_ = false;
}

void Event::Pulse() {
  MutexLock lock(mu_);
  if (waiters_.empty()) {
    signaled_ = false;
    return;
  }
  if (mode_ == Mode::kManualReset) {
    ++pulses_;
    signaled_ = false;
  } else {
    // One of the waits in progress takes the signal and clears it.
    signaled_ = true;
  }
  for (Waiter* w : waiters_) w->Notify();
}

bool Event::Wait(uint32_t ms) {
  Event* self = this;
  return WaitAny(std::span<Event* const>(&self, 1), ms) == 0;
}

bool Event::IsSet() const {
  MutexLock lock(mu_);
  return signaled_;
}

uint64_t Event::Attach(Waiter* waiter) {
  MutexLock lock(mu_);
  waiters_.push_back(waiter);
  return pulses_;
}

bool Event::TryConsume(uint64_t attach_token) {
  MutexLock lock(mu_);
  if (signaled_) {
    if (mode_ == Mode::kAutoReset) signaled_ = false;
    return true;
  }
  return pulses_ != attach_token;
}

void Event::Detach(Waiter* waiter) {
  MutexLock lock(mu_);
  auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
  if (it != waiters_.end()) waiters_.erase(it);
}

EventWaitScope::EventWaitScope(std::span<Event* const> events, Waiter* waiter)
    : events_(events.begin(), events.end()), waiter_(waiter) {
  tokens_.reserve(events_.size());
  for (Event* e : events_) tokens_.push_back(e->Attach(waiter_));
}

EventWaitScope::~EventWaitScope() {
  for (Event* e : events_) e->Detach(waiter_);
}

int EventWaitScope::FirstSignalled() {
  for (size_t i = 0; i < events_.size(); ++i) {
    if (events_[i]->TryConsume(tokens_[i])) return static_cast<int>(i);
  }
  return -1;
}

int Event::WaitAny(std::span<Event* const> events, uint32_t ms) {
  Waiter waiter;
  EventWaitScope scope(events, &waiter);
  // Waits always run on the real clock, whatever clock a test installed.
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int index = scope.FirstSignalled();
    if (index >= 0) return index;
    uint32_t left = kInfinite;
    if (ms != kInfinite) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start).count();
      if (spent >= ms) return kWaitTimeout;
      left = ms - static_cast<uint32_t>(spent);
    }
    waiter.Sleep(left);
  }
}

}  // namespace platform
