#include "platform/window/window.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/sync/mutex.h"
#include "platform/sync/thread_annotations.h"
#include "platform/sync/tick.h"

namespace platform::window {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct SendSlot {
  Event done{Event::Mode::kManualReset};
  LRESULT result = 0;
};

struct Posted {
  WindowHandle window;
  uint32_t message;
  WPARAM wparam;
  LPARAM lparam;
  std::shared_ptr<SendSlot> reply;  // set for SendMessage from another thread
};

struct Timer {
  WindowHandle window;
  uintptr_t id;
  uint32_t ms;
  SteadyClock::time_point due;
};

// One thread's queue. mu guards everything but depth, which only the owner touches.
struct ThreadQueue {
  platform::Mutex mu;
  std::deque<Posted> queue GUARDED_BY(mu);
  std::vector<Timer> timers GUARDED_BY(mu);
  std::vector<Waiter*> sleepers GUARDED_BY(mu);
  PumpDriver* driver GUARDED_BY(mu) = nullptr;
  bool quit GUARDED_BY(mu) = false;
  int quit_code GUARDED_BY(mu) = 0;
  int depth = 0;

  void WakeLocked() REQUIRES(mu) {
    for (Waiter* w : sleepers) w->Notify();
    if (driver) driver->Wake();
  }
};

struct Entry {
  std::shared_ptr<ThreadQueue> owner;
  std::shared_ptr<MessageHandler> handler;
};

platform::Mutex g_registry_mu;
std::unordered_map<WindowHandle, Entry>& Registry() REQUIRES(g_registry_mu) {
  static auto* registry = new std::unordered_map<WindowHandle, Entry>();  // never destroyed: usable at exit
  return *registry;
}
WindowHandle g_next_handle GUARDED_BY(g_registry_mu) = 1;

thread_local std::shared_ptr<ThreadQueue> t_queue;

ThreadQueue& Current() {
  if (!t_queue) t_queue = std::make_shared<ThreadQueue>();
  return *t_queue;
}

bool Lookup(WindowHandle window, Entry* out) {
  platform::MutexLock lock(g_registry_mu);
  auto it = Registry().find(window);
  if (it == Registry().end()) return false;
  *out = it->second;
  return true;
}

LRESULT Call(WindowHandle window, uint32_t message, WPARAM wparam, LPARAM lparam) {
  Entry entry;
  if (!Lookup(window, &entry)) return 0;
  return (*entry.handler)(message, wparam, lparam);
}

uint32_t MsUntil(SteadyClock::time_point due, SteadyClock::time_point now) {
  if (due <= now) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
  return ms >= kInfinite ? kInfinite - 1 : static_cast<uint32_t>(ms);
}

// The owner's pump: dispatch, check, sleep; used by every loop of this layer.
// Returns an event index, kPumpQuit, kWaitTimeout, or -2 when done() said so.
int Pump(std::span<Event* const> events, uint32_t ms, const std::function<bool()>* done, bool outermost) {
  ThreadQueue& tq = Current();
  PumpDriver* driver;
  {
    platform::MutexLock lock(tq.mu);
    driver = tq.driver;
  }
  Waiter waiter(driver ? std::function<void()>([driver] { driver->Wake(); }) : nullptr);
  EventWaitScope scope(events, &waiter);
  {
    platform::MutexLock lock(tq.mu);
    tq.sleepers.push_back(&waiter);
  }
  if (!outermost) ++tq.depth;
  const auto start = SteadyClock::now();

  int result;
  for (;;) {
    if (!DispatchPending()) { result = kPumpQuit; break; }
    if (driver) driver->ProcessToolkitEvents();
    if (QuitPending()) { result = kPumpQuit; break; }
    if (done && (*done)()) { result = -2; break; }
    const int index = scope.FirstSignalled();
    if (index >= 0) { result = index; break; }

    const auto now = SteadyClock::now();
    uint32_t sleep = kInfinite;
    if (ms != kInfinite) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
      if (spent >= ms) { result = kWaitTimeout; break; }
      sleep = ms - static_cast<uint32_t>(spent);
    }
    {
      platform::MutexLock lock(tq.mu);
      if (!tq.queue.empty()) continue;
      for (const Timer& t : tq.timers) sleep = std::min(sleep, MsUntil(t.due, now));
    }
    if (sleep == 0) continue;
    if (driver) driver->WaitForToolkitInput(sleep); else waiter.Sleep(sleep);
  }

  {
    platform::MutexLock lock(tq.mu);
    tq.sleepers.erase(std::find(tq.sleepers.begin(), tq.sleepers.end(), &waiter));
    // Back in a toolkit's own loop: let it see a pending quit and re-arm its timers.
    if (!outermost && --tq.depth == 0 && tq.driver) tq.driver->Wake();
  }
  return result;
}

}  // namespace

void InstallDriver(PumpDriver* driver) {
  ThreadQueue& tq = Current();
  platform::MutexLock lock(tq.mu);
  tq.driver = driver;
  if (driver && (!tq.queue.empty() || tq.quit)) driver->Wake();
}

WindowHandle CreateWindowHandle(MessageHandler handler) {
  Current();
  platform::MutexLock lock(g_registry_mu);
  const WindowHandle handle = g_next_handle++;
  Registry()[handle] = Entry{t_queue, std::make_shared<MessageHandler>(std::move(handler))};
  return handle;
}

void DestroyWindowHandle(WindowHandle window) {
  Entry entry;
  {
    platform::MutexLock lock(g_registry_mu);
    auto it = Registry().find(window);
    if (it == Registry().end()) return;
    entry = std::move(it->second);
    Registry().erase(it);
  }
  std::vector<std::shared_ptr<SendSlot>> unanswered;
  {
    platform::MutexLock lock(entry.owner->mu);
    auto& q = entry.owner->queue;
    for (auto it = q.begin(); it != q.end();) {
      if (it->window == window) {
        if (it->reply) unanswered.push_back(it->reply);
        it = q.erase(it);
      } else {
        ++it;
      }
    }
    auto& timers = entry.owner->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const Timer& t) { return t.window == window; }),
                 timers.end());
  }
  for (auto& slot : unanswered) slot->done.Set();
}

bool IsWindow(WindowHandle window) {
  platform::MutexLock lock(g_registry_mu);
  return Registry().count(window) != 0;
}

bool PostMessage(WindowHandle window, uint32_t message, WPARAM wparam, LPARAM lparam) {
  Entry entry;
  if (!Lookup(window, &entry)) return false;
  platform::MutexLock lock(entry.owner->mu);
  entry.owner->queue.push_back(Posted{window, message, wparam, lparam, nullptr});
  entry.owner->WakeLocked();
  return true;
}

LRESULT SendMessage(WindowHandle window, uint32_t message, WPARAM wparam, LPARAM lparam) {
  Entry entry;
  if (!Lookup(window, &entry)) return 0;
  if (entry.owner == t_queue) return (*entry.handler)(message, wparam, lparam);
  auto slot = std::make_shared<SendSlot>();
  {
    platform::MutexLock lock(entry.owner->mu);
    entry.owner->queue.push_back(Posted{window, message, wparam, lparam, slot});
    entry.owner->WakeLocked();
  }
  slot->done.Wait(kInfinite);
  return slot->result;
}

uintptr_t SetTimer(WindowHandle window, uintptr_t id, uint32_t ms) {
  Entry entry;
  if (!Lookup(window, &entry) || entry.owner != t_queue) return 0;
  ThreadQueue& tq = *entry.owner;
  platform::MutexLock lock(tq.mu);
  const auto due = SteadyClock::now() + std::chrono::milliseconds(ms);
  auto it = std::find_if(tq.timers.begin(), tq.timers.end(),
                         [&](const Timer& t) { return t.window == window && t.id == id; });
  if (it != tq.timers.end()) {
    it->ms = ms;
    it->due = due;
  } else {
    tq.timers.push_back(Timer{window, id, ms, due});
  }
  tq.WakeLocked();
  return id;
}

bool KillTimer(WindowHandle window, uintptr_t id) {
  ThreadQueue& tq = Current();
  platform::MutexLock lock(tq.mu);
  auto it = std::find_if(tq.timers.begin(), tq.timers.end(),
                         [&](const Timer& t) { return t.window == window && t.id == id; });
  if (it == tq.timers.end()) return false;
  tq.timers.erase(it);
  return true;
}

void PostQuitMessage(int exit_code) {
  ThreadQueue& tq = Current();
  platform::MutexLock lock(tq.mu);
  tq.quit = true;
  tq.quit_code = exit_code;
  tq.WakeLocked();
}

bool QuitPending(int* exit_code) {
  ThreadQueue& tq = Current();
  platform::MutexLock lock(tq.mu);
  if (tq.quit && exit_code) *exit_code = tq.quit_code;
  return tq.quit;
}

void ClearQuit() {
  ThreadQueue& tq = Current();
  platform::MutexLock lock(tq.mu);
  tq.quit = false;
  tq.quit_code = 0;
}

bool DispatchPending() {
  ThreadQueue& tq = Current();
  for (;;) {
    Posted m;
    {
      platform::MutexLock lock(tq.mu);
      if (tq.queue.empty()) break;
      m = std::move(tq.queue.front());
      tq.queue.pop_front();
    }
    const LRESULT r = Call(m.window, m.message, m.wparam, m.lparam);
    if (m.reply) {
      m.reply->result = r;
      m.reply->done.Set();
    }
  }
  // Timers that are due now, each once per call, in the order they were set.
  std::vector<std::pair<WindowHandle, uintptr_t>> due;
  {
    platform::MutexLock lock(tq.mu);
    const auto now = SteadyClock::now();
    for (Timer& t : tq.timers) {
      if (t.due <= now) {
        due.emplace_back(t.window, t.id);
        t.due = now + std::chrono::milliseconds(t.ms);
      }
    }
  }
  for (const auto& [window, id] : due) Call(window, WM_TIMER, id, 0);
  return !QuitPending();
}

int PumpMessagesAndWait(std::span<Event* const> events, uint32_t ms) {
  return Pump(events, ms, nullptr, /*outermost=*/false);
}

bool PumpUntil(const std::function<bool()>& done) {
  return Pump({}, kInfinite, &done, /*outermost=*/false) != kPumpQuit;
}

void PumpFor(uint32_t ms) {
  const uint32_t start = platform::TickCount();
  if (PumpMessagesAndWait({}, ms) == kPumpQuit) {
    // A pending quit ends every pump at once: the wait keeps its length all the same.
    const uint32_t waited = platform::TickDiff(platform::TickCount(), start);
    if (waited < ms) platform::Sleep(ms - waited);
  }
}

int RunMessageLoop() {
  Pump({}, kInfinite, nullptr, /*outermost=*/true);
  int code = 0;
  QuitPending(&code);
  ClearQuit();
  return code;
}

int PumpDepth() { return Current().depth; }

uint32_t MsUntilNextTimer() {
  ThreadQueue& tq = Current();
  platform::MutexLock lock(tq.mu);
  uint32_t next = kInfinite;
  const auto now = SteadyClock::now();
  for (const Timer& t : tq.timers) next = std::min(next, MsUntil(t.due, now));
  return next;
}

}  // namespace platform::window
