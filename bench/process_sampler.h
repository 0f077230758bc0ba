// ProcessSampler: the memory, thread and CPU figures of one process, read from
// /proc/<pid>/status (VmRSS, VmHWM, Threads) and /proc/<pid>/stat (utime + stime),
// and a sampling thread that keeps one sample per period while it runs.
//
// Thread safety: Start and Stop are for the owner's thread; Samples may be called
// from any thread and takes the sampler's one mutex, which the sampling thread also
// takes to append. ReadProcessSample is stateless.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

struct ProcessSample {
  double at_s = 0;        // seconds since the sampler started (0 for a single read)
  int64_t rss_kb = 0;     // VmRSS
  int64_t hwm_kb = 0;     // VmHWM, the peak resident size so far
  int threads = 0;
  double cpu_s = 0;       // user + system CPU time so far
};

// False when the process is gone or its files cannot be read.
bool ReadProcessSample(pid_t pid, ProcessSample* sample);

class ProcessSampler {
 public:
  ProcessSampler(pid_t pid, int period_ms);
  ProcessSampler(const ProcessSampler&) = delete;
  ProcessSampler& operator=(const ProcessSampler&) = delete;
  ~ProcessSampler();  // Stop()

  // Takes a first sample at once, then one per period.
  void Start();
  // Takes a last sample and joins the thread. Safe to call more than once.
  void Stop();
  std::vector<ProcessSample> Samples() const;

 private:
  void Run();
  void TakeSample();

  const pid_t pid_;
  const std::chrono::milliseconds period_;
  std::chrono::steady_clock::time_point start_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;                   // guarded by mutex_
  std::vector<ProcessSample> samples_;  // guarded by mutex_
};

}  // namespace bench
