#include "app/pipe/ui_thread_call.h"

#include <algorithm>
#include <thread>

namespace {

constexpr uint32_t kRunQueuedMessage = platform::window::WM_APP + 0x40;

}  // namespace

struct CUiThreadCall::Call {
  enum class State { kQueued, kRunning, kDone, kDropped };

  explicit Call(const std::function<void()>& f) : fn(f) {}

  const std::function<void()>& fn;
  State state = State::kQueued;  // guarded by the owner's m_Lock
  platform::Event finished{platform::Event::Mode::kManualReset};
};

CUiThreadCall::CUiThreadCall() : m_Owner(std::this_thread::get_id()) {
  m_Window = platform::window::CreateWindowHandle(
      [this](uint32_t message, platform::window::WPARAM, platform::window::LPARAM) -> platform::window::LRESULT {
        if (message == kRunQueuedMessage) RunQueued();
        return 0;
      });
}

CUiThreadCall::~CUiThreadCall() {
  platform::window::DestroyWindowHandle(m_Window);
  platform::MutexLock lock(m_Lock);
  for (const auto& call : m_Queue) {
    call->state = Call::State::kDropped;
    call->finished.Set();
  }
  m_Queue.clear();
}

bool CUiThreadCall::Run(const std::function<void()>& fn, platform::Event* abort, uint32_t timeoutMs) {
  if (!fn) return false;
  if (std::this_thread::get_id() == m_Owner) {
    fn();
    return true;
  }
  auto call = std::make_shared<Call>(fn);
  {
    platform::MutexLock lock(m_Lock);
    m_Queue.push_back(call);
  }
  if (!platform::window::PostMessage(m_Window, kRunQueuedMessage, 0, 0)) {
    platform::MutexLock lock(m_Lock);
    m_Queue.erase(std::remove(m_Queue.begin(), m_Queue.end(), call), m_Queue.end());
    return false;
  }
  platform::Event* const events[] = {&call->finished, abort};
  platform::Event::WaitAny(std::span<platform::Event* const>(events, abort ? 2 : 1), timeoutMs);

  {
    platform::MutexLock lock(m_Lock);
    if (call->state == Call::State::kQueued) {
      // Not taken yet: withdraw it, so that it never runs after the caller has gone.
      m_Queue.erase(std::remove(m_Queue.begin(), m_Queue.end(), call), m_Queue.end());
      call->state = Call::State::kDropped;
      return false;
    }
  }
  // Taken: it runs to its end on the UI thread, which never waits for this caller.
  call->finished.Wait(platform::kInfinite);
  platform::MutexLock lock(m_Lock);
  return call->state == Call::State::kDone;
}

void CUiThreadCall::RunQueued() {
  for (;;) {
    std::shared_ptr<Call> call;
    {
      platform::MutexLock lock(m_Lock);
      if (m_Queue.empty()) return;
      call = m_Queue.front();
      m_Queue.pop_front();
      call->state = Call::State::kRunning;
    }
    call->fn();
    {
      platform::MutexLock lock(m_Lock);
      call->state = Call::State::kDone;
    }
    call->finished.Set();
  }
}
