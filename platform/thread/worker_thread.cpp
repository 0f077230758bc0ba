#include "platform/thread/worker_thread.h"

#include <system_error>

namespace platform {

WorkerThread::WorkerThread() = default;

WorkerThread::~WorkerThread() {
  cancelled_ = true;
  gate_.Set();
  if (thread_.joinable()) thread_.join();
}

bool WorkerThread::Start(std::function<uint32_t()> body, bool start_suspended) {
  if (thread_.joinable()) {
    if (!exited_.IsSet()) return false;
    thread_.join();
  }
  exited_.Reset();
  exit_code_ = 259;
  if (start_suspended) gate_.Reset(); else gate_.Set();
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      gate_.Wait(kInfinite);
      if (!cancelled_) exit_code_ = body();
      exited_.Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void WorkerThread::Resume() { gate_.Set(); }

bool WorkerThread::Join(uint32_t ms) {
  if (!thread_.joinable()) return true;
  if (!exited_.Wait(ms)) return false;
  thread_.join();
  return true;
}

}  // namespace platform
