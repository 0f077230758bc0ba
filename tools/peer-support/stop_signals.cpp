#include "tools/peer-support/stop_signals.h"

#include <pthread.h>

namespace peer_support {

sigset_t BlockStopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return stop_signals;
}

}  // namespace peer_support
