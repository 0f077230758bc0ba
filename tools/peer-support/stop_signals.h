// The simulators' stop signals: SIGINT, SIGTERM and SIGHUP are taken by the main
// thread with sigwait or sigtimedwait instead of a handler.
#pragma once

#include <signal.h>

namespace peer_support {

// Blocks the stop signals in the calling thread (every thread started later inherits
// the mask) and ignores SIGPIPE; returns the set to wait on. Call it before any thread
// is started.
sigset_t BlockStopSignals();

}  // namespace peer_support
