// The millisecond tick count and the wall clock, both replaceable in tests, and the
// calling thread's plain sleep.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform {

// A source of time. The default reads CLOCK_MONOTONIC and CLOCK_REALTIME.
// Implementations must be safe to call from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
  virtual uint32_t TickCount() = 0;
  // Seconds since the epoch (local time is derived from it with localtime_r).
  virtual time_t Now() = 0;
};

// The process's clock: the system clock unless a test installed another one.
Clock& CurrentClock();
Clock& SystemClock();

// Installs a clock for the lifetime of the object (tests only; not thread-safe
// against concurrent installs).
class ScopedClockOverride {
 public:
  explicit ScopedClockOverride(Clock* clock);
  ScopedClockOverride(const ScopedClockOverride&) = delete;
  ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;
  ~ScopedClockOverride();

 private:
  Clock* previous_;
};

inline uint32_t TickCount() { return CurrentClock().TickCount(); }
inline time_t Now() { return CurrentClock().Now(); }

// Milliseconds from earlier to later, correct across the 49.7-day wrap as long as
// the true distance is below 2^32 ms.
inline uint32_t TickDiff(uint32_t later, uint32_t earlier) { return later - earlier; }

// Suspends the calling thread for ms real milliseconds (the system's monotonic time,
// whatever clock a test installed), resuming after signals until they have passed.
void Sleep(uint32_t ms);

// The local broken-down time of t (localtime_r).
struct tm LocalTime(time_t t);

}  // namespace platform
