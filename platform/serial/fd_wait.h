// Waits on a file descriptor that also end when one of a set of events is set: the
// bridge between poll() and platform::Event for the serial line and its test peers.
//
// The events are watched through a per-thread eventfd that their Waiter writes
// when they change, so a wait wakes at once on an event and never polls in steps.
// Stateless apart from that per-thread descriptor; safe on any thread.
#pragma once

#include <poll.h>

#include <cstdint>
#include <span>

#include "platform/sync/event.h"

namespace platform::serial {

enum class WaitResult {
  kReady,    // the descriptor is ready for what was asked
  kTimeout,  // the time ran out
  kAborted,  // one of the events was set
  kHangUp,   // the descriptor reports hang-up or an error condition instead
  kError,    // poll itself failed
};

struct FdWaitOutcome {
  WaitResult result = WaitResult::kTimeout;
  short revents = 0;     // what poll reported for the descriptor
  int event_index = -1;  // for kAborted: the lowest index of a set event
};

// Waits up to ms (kInfinite: no limit) until fd reports one of `events` (POLLIN,
// POLLOUT), reports POLLHUP/POLLERR/POLLNVAL without them, or one of `aborts` is
// set. An event already set when the call begins ends it at once, before the
// descriptor is looked at. Auto-reset events are consumed as by Event::WaitAny.
FdWaitOutcome WaitForFd(int fd, short events, std::span<Event* const> aborts, uint32_t ms);

}  // namespace platform::serial
