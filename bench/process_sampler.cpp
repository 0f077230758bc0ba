#include "bench/process_sampler.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace bench {

bool ReadProcessSample(pid_t pid, ProcessSample* sample) {
  const std::string folder = "/proc/" + std::to_string(pid);
  std::ifstream status(folder + "/status");
  if (!status) return false;
  ProcessSample s;
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    if (name == "VmRSS:") fields >> s.rss_kb;
    if (name == "VmHWM:") fields >> s.hwm_kb;
    if (name == "Threads:") fields >> s.threads;
  }
  std::ifstream stat(folder + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold blanks: the fields count from after it.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  long long utime = 0, stime = 0;
  for (int number = 3; fields >> field && number <= 15; ++number) {
    if (number == 14) utime = std::stoll(field);
    if (number == 15) stime = std::stoll(field);
  }
  s.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  *sample = s;
  return s.threads > 0;
}

ProcessSampler::ProcessSampler(pid_t pid, int period_ms) : pid_(pid), period_(period_ms) {}

ProcessSampler::~ProcessSampler() { Stop(); }

void ProcessSampler::Start() {
  start_ = std::chrono::steady_clock::now();
  TakeSample();
  thread_ = std::thread([this] { Run(); });
}

void ProcessSampler::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  TakeSample();
}

std::vector<ProcessSample> ProcessSampler::Samples() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return samples_;
}

void ProcessSampler::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, period_, [this] { return stop_; })) {
    lock.unlock();
    TakeSample();
    lock.lock();
  }
}

void ProcessSampler::TakeSample() {
  ProcessSample sample;
  if (!ReadProcessSample(pid_, &sample)) return;
  sample.at_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::lock_guard<std::mutex> lock(mutex_);
  samples_.push_back(sample);
}

}  // namespace bench
