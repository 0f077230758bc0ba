// StatsCollector: what the POS drivers of one phase report: the latency of every
// correct reply (an approved sale), whether it arrived inside the measured window,
// and every error by kind. Summaries are computed from copies.
//
// Thread safety: every member takes the collector's one mutex; any thread may call.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

struct LatencySummary {
  size_t count = 0;
  double median_s = 0, p95_s = 0, p99_s = 0, max_s = 0;
};

// Nearest-rank percentiles of the samples (all zero when there are none).
LatencySummary Summarize(std::vector<double> samples_s);

class StatsCollector {
 public:
  void AddCompleted(double latency_s, bool in_window);
  void AddError(const std::string& kind);

  LatencySummary Latency() const;
  size_t CompletedInWindow() const;
  size_t Completed() const;
  std::map<std::string, int> Errors() const;
  int ErrorCount() const;

 private:
  mutable std::mutex mutex_;
  std::vector<double> latencies_s_;    // guarded by mutex_
  size_t in_window_ = 0;               // guarded by mutex_
  std::map<std::string, int> errors_;  // guarded by mutex_
};

}  // namespace bench
