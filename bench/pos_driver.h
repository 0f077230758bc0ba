// PosDriver: one point-of-sale lane against the server. It connects and logs in,
// then sends approved credit sales one after the other (send, wait for the final
// reply, repeat) until a deadline, and reports each reply to a StatsCollector: an
// "Approved" CmdStatus counts as completed, anything else as an error of its kind.
// A connection that failed an exchange is closed and opened again.
//
// Thread safety: a driver is used by one thread at a time; it takes no lock of its
// own (the collector takes its own).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "bench/stats_collector.h"
#include "tests/e2e/e2e_support.h"

namespace bench {

class PosDriver {
 public:
  using Clock = std::chrono::steady_clock;
  // How long one sale waits for its final reply.
  static constexpr int kReplyWaitMs = 30000;
  // Lane ids go round within this many: the server's NUMBER OF LANES has two digits.
  static constexpr int kLaneIds = 99;

  PosDriver(int port, int lane, StatsCollector* stats);
  PosDriver(const PosDriver&) = delete;
  PosDriver& operator=(const PosDriver&) = delete;

  // Connects, reads the greeting and logs in; a failure goes to the collector.
  bool Open();
  void Close();
  // Sales until the deadline; the one in flight then still gets its reply, but only
  // replies that arrive by the deadline count as inside the window.
  void RunSales(Clock::time_point deadline);

  // One login and nothing else: connect, greeting, login, close.
  static bool LoginOnce(int port, std::string* failure);

 private:
  std::vector<pos_client::TStreamItem> NextSale();

  const int port_;
  const int lane_;
  StatsCollector* const stats_;
  e2e::PosConnection connection_;
  bool open_ = false;
  int sales_ = 0;
};

}  // namespace bench
