#include "bench/gateway_timer.h"

#include <algorithm>
#include <cstdio>

namespace bench {

void GatewayTimer::OnLine(const std::string& line) {
  const auto now = std::chrono::steady_clock::now();
  int connection = 0, used = 0;
  if (std::sscanf(line.c_str(), "[%d] %n", &connection, &used) != 1 || used == 0) return;
  const std::string event = line.substr(static_cast<size_t>(used));
  std::lock_guard<std::mutex> lock(mutex_);
  if (event == "accepted") {
    accepted_[connection] = now;
  } else if (event.rfind("answered", 0) == 0) {
    const auto found = accepted_.find(connection);
    if (found == accepted_.end()) return;
    samples_s_.push_back(std::chrono::duration<double>(now - found->second).count());
    starts_.push_back(found->second);
    accepted_.erase(found);  // a later request on the same connection has no start
  } else if (event == "closed") {
    accepted_.erase(connection);
  }
}

GatewayTimer::Figures GatewayTimer::Take() {
  std::vector<double> samples;
  std::vector<std::chrono::steady_clock::time_point> starts;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    samples.swap(samples_s_);
    starts.swap(starts_);
  }
  std::sort(starts.begin(), starts.end());
  std::vector<double> gaps;
  for (size_t i = 1; i < starts.size(); ++i) {
    gaps.push_back(std::chrono::duration<double>(starts[i] - starts[i - 1]).count());
  }
  return {Summarize(std::move(samples)), Summarize(std::move(gaps))};
}

}  // namespace bench
