// The end of a bounded wait, shared by the socket calls of this layer (not part of
// its interface). Remaining time is signed and stops at zero, so a late wake-up never
// turns into a huge unsigned remainder. A value; no lock.
#pragma once

#include <poll.h>

#include <chrono>
#include <climits>
#include <cstdint>

#include "platform/sync/event.h"

namespace platform::net::detail {

class Deadline {
 public:
  explicit Deadline(uint32_t timeout_ms)
      : infinite_(timeout_ms == kInfinite),
        end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)) {}

  // The timeout argument for poll(): -1 without a bound, else the milliseconds left
  // (rounded up, so poll never wakes before the deadline), 0 once it has passed.
  int PollTimeout() const {
    if (infinite_) return -1;
    const int64_t left =
        std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
  }

  bool Expired() const { return !infinite_ && std::chrono::steady_clock::now() >= end_; }

 private:
  const bool infinite_;
  const std::chrono::steady_clock::time_point end_;
};

// poll() until an event, the deadline or a failure, resuming after signals. Returns
// poll's count, 0 when the deadline passed, -1 with errno set on failure.
int PollUntil(pollfd* fds, nfds_t count, const Deadline& deadline);

}  // namespace platform::net::detail
