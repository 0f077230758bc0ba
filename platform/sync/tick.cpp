#include "platform/sync/tick.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {
namespace {

class RealClock final : public Clock {
 public:
  uint32_t TickCount() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }
  time_t Now() override { return time(nullptr); }
};

std::atomic<Clock*> g_current{nullptr};

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

Clock& CurrentClock() {
  Clock* c = g_current.load(std::memory_order_acquire);
  return c ? *c : SystemClock();
}

ScopedClockOverride::ScopedClockOverride(Clock* clock)
    : previous_(g_current.exchange(clock, std::memory_order_acq_rel)) {}

ScopedClockOverride::~ScopedClockOverride() { g_current.store(previous_, std::memory_order_release); }

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct tm LocalTime(time_t t) {
  struct tm out {};
  localtime_r(&t, &out);
  return out;
}

}  // namespace platform
