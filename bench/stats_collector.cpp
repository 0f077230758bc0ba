#include "bench/stats_collector.h"

#include <algorithm>
#include <cmath>

namespace bench {

LatencySummary Summarize(std::vector<double> samples_s) {
  LatencySummary summary;
  summary.count = samples_s.size();
  if (samples_s.empty()) return summary;
  std::sort(samples_s.begin(), samples_s.end());
  const auto rank = [&samples_s](double fraction) {
    const size_t n = samples_s.size();
    const size_t index = static_cast<size_t>(std::ceil(fraction * static_cast<double>(n)));
    return samples_s[std::clamp<size_t>(index, 1, n) - 1];
  };
  summary.median_s = rank(0.50);
  summary.p95_s = rank(0.95);
  summary.p99_s = rank(0.99);
  summary.max_s = samples_s.back();
  return summary;
}

void StatsCollector::AddCompleted(double latency_s, bool in_window) {
  std::lock_guard<std::mutex> lock(mutex_);
  latencies_s_.push_back(latency_s);
  if (in_window) ++in_window_;
}

void StatsCollector::AddError(const std::string& kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++errors_[kind];
}

LatencySummary StatsCollector::Latency() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Summarize(latencies_s_);
}

size_t StatsCollector::CompletedInWindow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_window_;
}

size_t StatsCollector::Completed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return latencies_s_.size();
}

std::map<std::string, int> StatsCollector::Errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

int StatsCollector::ErrorCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int total = 0;
  for (const auto& [kind, count] : errors_) total += count;
  return total;
}

}  // namespace bench
