// GatewayTimer: the simulated gateway's own time per host exchange, taken from its
// event lines (GatewayServerOptions::log): from "[n] accepted" to "[n] answered ..."
// on the same connection, so the TCP accept, the TLS handshake, reading the request,
// the host's rules and writing the answer are inside it. The server opens one
// connection per exchange; a connection that carries no request (the reachability
// check at start) gives no sample. The gaps between the starts of consecutive
// exchanges show the server's pace while its queue holds work.
//
// Thread safety: OnLine is called from the gateway's connection threads; every member
// takes the timer's one mutex.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bench/stats_collector.h"

namespace bench {

class GatewayTimer {
 public:
  void OnLine(const std::string& line);
  struct Figures {
    LatencySummary answer;     // accept to answer sent
    LatencySummary start_gap;  // from one exchange's accept to the next one's
  };
  // The figures of the exchanges so far, and forgets them (each phase has its own).
  Figures Take();

 private:
  std::mutex mutex_;
  std::map<int, std::chrono::steady_clock::time_point> accepted_;  // guarded by mutex_
  std::vector<double> samples_s_;                                  // guarded by mutex_
  std::vector<std::chrono::steady_clock::time_point> starts_;      // guarded by mutex_
};

}  // namespace bench
