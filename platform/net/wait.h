// Waits on several sockets at once (listening, connected, TCP or local), in place of
// select over a set of sockets, and the stop wake that lets an Event end such a wait
// at once instead of being polled.
//
// Thread safety: WaitAnyReadable keeps no state; a StopWake is made and used by the
// one thread that waits with it, while any thread may Set its event.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/net/socket.h"
#include "platform/sync/event.h"

namespace platform::net {

// Watches a manual-reset stop event for its lifetime: setting the event writes the
// object's own eventfd, so a wait that is given the object wakes at once. It holds
// its descriptor from construction on, so the waits themselves open none (they go on
// working while descriptors run out). The event must outlive the object.
class StopWake {
 public:
  explicit StopWake(Event& stop);
  StopWake(const StopWake&) = delete;
  StopWake& operator=(const StopWake&) = delete;
  // Detaches from the event, then closes the descriptor.
  ~StopWake();

  // False when no eventfd could be had: a wait given this object then still sees a
  // stop that is already set when it begins, but is not woken by a later one.
  bool IsValid() const { return fd_ >= 0; }
  // The event is set (a manual-reset event is not consumed).
  bool IsStopped() const { return stop_.IsSet(); }

  // For the waits of this layer: the descriptor to poll, and the reset of the wake-up
  // after it fired.
  int Fd() const { return fd_; }
  void Drain() const;

 private:
  const int fd_;
  Event& stop_;
  Waiter waiter_;
  std::optional<EventWaitScope> scope_;
};

// One socket of a WaitAnyReadable and what the wait found on it.
struct WaitHandle {
  SOCKET socket = INVALID_SOCKET;  // in: watched for reading (INVALID_SOCKET: ignored)
  bool readable = false;           // out: data, a waiting connection or an orderly close (POLLIN)
  bool broken = false;             // out: an error or hang-up to collect (POLLERR, POLLHUP)
  bool invalid = false;            // out: not an open descriptor (POLLNVAL)
  bool Reported() const { return readable || broken || invalid; }
};

// Waits up to timeout_ms (0 polls once, kInfinite has no bound) until at least one of
// the handles reports something or `stop` (may be null) is set. A stop already set
// returns kStopped at once, before any handle is looked at, and a stop set by the
// time the wait ends wins over handles that reported. kReady: the handles'
// out fields say which reported (all are cleared first); kTimedOut: none did in
// time; kError: the wait failed (its code is the last error). Signals do not end
// the wait; it resumes with the time left.
WaitResult WaitAnyReadable(std::span<WaitHandle> handles, uint32_t timeout_ms, StopWake* stop = nullptr);

}  // namespace platform::net
