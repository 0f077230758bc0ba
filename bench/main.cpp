// kvr-bench: the real server binary in service mode against the simulated Elavon
// gateway (HTTPS with a test CA, answering at once) and the simulated configuration
// service, both in this process, driven by POS clients over the client port. Three
// phases: logins (many clients at once, each connect, greeting, login, close), idle
// connections (memory and threads with many clients logged in), and sales (N lanes
// sending approved sales one after the other for a bounded time). It prints the
// figures and, for each target, whether it was met; nothing fails on a miss.
//
// Run it in a network namespace of its own when other servers run on the machine:
// the server's instance locks are machine-wide.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/gateway_timer.h"
#include "bench/pos_driver.h"
#include "bench/process_sampler.h"
#include "bench/stats_collector.h"
#include "core/params/param_settings.h"
#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"
#include "tools/rvcs-sim/rvcs_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// One host exchange at a time, started on a 50 ms pass.
constexpr double kDesignLimitPerSecond = 20.0;
// Final replies leave on the connection's one-second delivery pass.
constexpr double kDeliveryPassS = 1.0;
constexpr int kServerStartWaitMs = 30000;
constexpr int kSessionsEndWaitMs = 15000;
constexpr int kIdleSettleMs = 2000;

struct Options {
  int clients = 50;
  int seconds = 60;
  int login_clients = 200;
  int light_clients = 5;
  int light_seconds = 20;
  std::string binary = KVR_SERVER_BINARY;
};

void Usage() {
  std::printf(
      "usage: kvr-bench [--clients N] [--seconds S] [--login-clients N] [--light-clients N]\n"
      "                 [--light-seconds S] [--binary PATH]\n"
      "  --clients N        POS lanes sending sales (default 50)\n"
      "  --seconds S        length of the sales phase (default 60)\n"
      "  --login-clients N  clients of the login and idle phases (default 200)\n"
      "  --light-clients N  lanes of the latency phase, below the design limit (default 5)\n"
      "  --light-seconds S  length of the latency phase (default 20)\n"
      "  --binary PATH      the server binary (default the built one)\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") return false;
    if (i + 1 >= argc) return std::fprintf(stderr, "%s needs a value\n", name.c_str()), false;
    const std::string value = argv[++i];
    if (name == "--binary") {
      options->binary = value;
      continue;
    }
    const int number = std::atoi(value.c_str());
    if (number <= 0) return std::fprintf(stderr, "%s needs a positive number\n", name.c_str()), false;
    if (name == "--clients") options->clients = number;
    else if (name == "--seconds") options->seconds = number;
    else if (name == "--login-clients") options->login_clients = number;
    else if (name == "--light-clients") options->light_clients = number;
    else if (name == "--light-seconds") options->light_seconds = number;
    else return std::fprintf(stderr, "unknown option %s\n", name.c_str()), false;
  }
  return true;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Mb(int64_t kb) { return static_cast<double>(kb) / 1024.0; }
const char* Met(bool met) { return met ? "met" : "NOT MET"; }

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

// The peers and the server in a scratch folder; everything stops in the destructor.
class BenchEnvironment {
 public:
  bool Start(const std::string& binary, std::string* error) {
    if (scratch_.path().empty()) return *error = "no scratch folder", false;
    const std::string home = scratch_.path() + "/home", work = scratch_.path() + "/work";
    if (!platform::fs::CreateFolders(home) || !platform::fs::CreateFolders(work)) return *error = "cannot make the folders", false;
    elavon_sim::TestPkiFiles pki;
    if (!elavon_sim::MakeTestPki(scratch_.path() + "/certs", elavon_sim::TestPkiOptions(), &pki, error)) return false;

    elavon_sim::GatewayServerOptions gateway;
    gateway.cert_file = pki.cert_file;
    gateway.key_file = pki.key_file;
    gateway.log = [this](const std::string& line) { timer_.OnLine(line); };
    gateway_ = std::make_unique<elavon_sim::GatewayServer>(&host_, gateway);
    if (!gateway_->Start(error)) return false;

    // The first start downloads the parameters: as many lanes as a store may have.
    rvcs_sim::ServerOptions service;
    service.cert_file = pki.cert_file;
    service.key_file = pki.key_file;
    service.values = {{kParmMerchantTerminalId, "555000111222"},
                      {kParmNumberOfLanes, std::to_string(bench::PosDriver::kLaneIds)},
                      {kParmIpConnectTimeout, "5"}};
    rvcs_ = std::make_unique<rvcs_sim::RvcsServer>(service);
    if (!rvcs_->Start(error)) return false;

    port_ = e2e::FreePort();
    const std::string rvcs = "127.0.0.1:" + std::to_string(rvcs_->port());
    server_ = std::make_unique<e2e::ServerProcess>(
        binary, work,
        std::map<std::string, std::string>{{"KVR_HOME", home},
                                           {"KVR_CLIENT_PORT", std::to_string(port_)},
                                           {"KVR_ELAVON_GATEWAY", "127.0.0.1:" + std::to_string(gateway_->Port())},
                                           {"KVR_RVCS_PRIMARY", rvcs},
                                           {"KVR_RVCS_SECONDARY", rvcs},
                                           {"SSL_CERT_FILE", pki.ca_file},
                                           {"QT_QPA_PLATFORM", "offscreen"}});
    if (!server_->Start(port_, kServerStartWaitMs)) {
      return *error = "the server did not start; see " + work + "/server.out", false;
    }
    return true;
  }

  ~BenchEnvironment() {
    if (server_) server_->Stop(30000);
    if (gateway_) gateway_->Stop();
    if (rvcs_) rvcs_->Stop();
  }

  int port() const { return port_; }
  pid_t pid() const { return server_->pid(); }
  bench::GatewayTimer& timer() { return timer_; }

 private:
  e2e::ScratchFolder scratch_;
  bench::GatewayTimer timer_;
  elavon_sim::ElavonHostSim host_;
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  std::unique_ptr<rvcs_sim::RvcsServer> rvcs_;
  std::unique_ptr<e2e::ServerProcess> server_;
  int port_ = 0;
};

bench::ProcessSample Sample(pid_t pid) {
  bench::ProcessSample sample;
  bench::ReadProcessSample(pid, &sample);
  return sample;
}

// Waits (bounded) until the sessions of closed clients have ended: the server's
// thread count is back to `threads`.
void WaitForSessionsToEnd(pid_t pid, int threads) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kSessionsEndWaitMs);
  while (Sample(pid).threads > threads && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// Runs body(i) on n threads released together; the seconds from the release until
// the last one returned.
template <typename Body>
double RunTogether(int n, Body body) {
  std::latch ready(n), go(1);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      ready.count_down();
      go.wait();
      body(i);
    });
  }
  ready.wait();
  const Clock::time_point start = Clock::now();
  go.count_down();
  for (std::thread& t : threads) t.join();
  return Seconds(Clock::now() - start);
}

void PrintErrors(const bench::StatsCollector& stats) {
  const auto errors = stats.Errors();
  if (errors.empty()) return std::printf("  errors: none\n"), void();
  std::printf("  errors: %d\n", stats.ErrorCount());
  for (const auto& [kind, count] : errors) std::printf("    %6d  %s\n", count, kind.c_str());
}

void PrintLatency(const char* what, const bench::LatencySummary& l) {
  std::printf("  %s (%zu): median %.3f s, p95 %.3f s, p99 %.3f s, max %.3f s\n", what, l.count, l.median_s,
              l.p95_s, l.p99_s, l.max_s);
}

struct Tally {
  int met = 0, total = 0;
  bool Count(bool met_now) {
    ++total;
    met += met_now ? 1 : 0;
    return met_now;
  }
};

void LoginPhase(BenchEnvironment& env, int n, Tally* tally) {
  std::printf("\nlogins: %d clients at once, each connect, greeting, login, close\n", n);
  bench::StatsCollector stats;
  const double seconds = RunTogether(n, [&](int) {
    const Clock::time_point start = Clock::now();
    std::string failure;
    if (bench::PosDriver::LoginOnce(env.port(), &failure)) {
      stats.AddCompleted(Seconds(Clock::now() - start), true);
    } else {
      stats.AddError("login: " + failure);
    }
  });
  const double rate = static_cast<double>(stats.Completed()) / seconds;
  std::printf("  %zu of %d logged in within %.3f s: %.0f logins/s            target >= 500/s: %s\n",
              stats.Completed(), n, seconds, rate, Met(tally->Count(rate >= 500)));
  PrintLatency("time per login", stats.Latency());
  PrintErrors(stats);
}

void IdlePhase(BenchEnvironment& env, int n, Tally* tally) {
  std::printf("\nidle: %d clients connected and logged in\n", n);
  bench::StatsCollector stats;
  std::vector<std::unique_ptr<bench::PosDriver>> drivers;
  for (int i = 0; i < n; ++i) drivers.push_back(std::make_unique<bench::PosDriver>(env.port(), i, &stats));
  std::atomic<int> open{0};
  RunTogether(n, [&](int i) { open += drivers[static_cast<size_t>(i)]->Open() ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(kIdleSettleMs));
  const bench::ProcessSample idle = Sample(env.pid());
  std::printf("  %d connected: server RSS %.1f MB, %d threads          target RSS < 64 MB: %s\n", open.load(),
              Mb(idle.rss_kb), idle.threads, Met(tally->Count(open == n && idle.rss_kb < 64 * 1024)));
  PrintErrors(stats);
}

// Sales from lanes that `clients` drivers keep busy, one sale each at a time; the
// drivers are opened before the measured window starts. The sampler, when given,
// starts once they are open and stops before they close.
void RunSalesFor(BenchEnvironment& env, int clients, int seconds, bench::StatsCollector& stats,
                 bench::ProcessSampler* sampler = nullptr) {
  std::vector<std::unique_ptr<bench::PosDriver>> drivers;
  for (int i = 0; i < clients; ++i) drivers.push_back(std::make_unique<bench::PosDriver>(env.port(), i, &stats));
  for (auto& d : drivers) d->Open();
  if (sampler) sampler->Start();
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (auto& d : drivers) threads.emplace_back([&d, deadline] { d->RunSales(deadline); });
  for (std::thread& t : threads) t.join();
  if (sampler) sampler->Stop();
}

// The latency of one sale when no queue forms: fewer lanes than the exchanges the
// tick allows, so a request waits only for the tick, the host and the delivery pass.
void LatencyPhase(BenchEnvironment& env, const Options& options, Tally* tally) {
  std::printf("\nlatency: %d clients, each approved credit sales one after the other, for %d s\n",
              options.light_clients, options.light_seconds);
  env.timer().Take();
  bench::StatsCollector stats;
  RunSalesFor(env, options.light_clients, options.light_seconds, stats);
  const bench::GatewayTimer::Figures gateway = env.timer().Take();
  const bench::LatencySummary latency = stats.Latency();
  std::printf("  %.2f tx/s\n", static_cast<double>(stats.CompletedInWindow()) / options.light_seconds);
  PrintErrors(stats);
  PrintLatency("gateway time per exchange", gateway.answer);
  PrintLatency("latency, request sent to final reply", latency);
  const double host = gateway.answer.median_s;
  std::printf("  p99 %.3f s against 1.2 s + host time = %.3f s               target: %s\n", latency.p99_s,
              1.2 + host, Met(tally->Count(latency.count > 0 && latency.p99_s < 1.2 + host)));
}

void SalesPhase(BenchEnvironment& env, const Options& options, Tally* tally) {
  std::printf("\nsales: %d clients, each approved credit sales one after the other, for %d s\n", options.clients,
              options.seconds);
  env.timer().Take();  // only this phase's exchanges
  bench::ProcessSampler sampler(env.pid(), 1000);
  bench::StatsCollector stats;
  RunSalesFor(env, options.clients, options.seconds, stats, &sampler);
  const std::vector<bench::ProcessSample> samples = sampler.Samples();
  const bench::GatewayTimer::Figures gateway = env.timer().Take();
  const bench::LatencySummary latency = stats.Latency();

  const double tps = static_cast<double>(stats.CompletedInWindow()) / options.seconds;
  const double ratio = tps / kDesignLimitPerSecond;
  std::printf("  %zu approved sales completed within %d s: %.2f tx/s = %.2f of the design limit (%.0f/s)"
              "    target >= 0.90: %s\n",
              stats.CompletedInWindow(), options.seconds, tps, ratio, kDesignLimitPerSecond,
              Met(tally->Count(ratio >= 0.9)));
  PrintErrors(stats);
  PrintLatency("gateway time per exchange, accept to answer sent, TLS handshake included", gateway.answer);
  PrintLatency("gap between the starts of consecutive exchanges", gateway.start_gap);
  PrintLatency("latency, request sent to final reply", latency);
  const double host = gateway.answer.median_s;
  const double bound = host + kDeliveryPassS;
  std::printf("  against host time + 1 s = %.3f s: median %.2fx, p95 %.2fx, p99 %.2fx\n", bound,
              latency.median_s / bound, latency.p95_s / bound, latency.p99_s / bound);
  std::printf("  closed loop: %d clients at the limit of %.0f/s wait at least %.2f s per sale on average"
              " (the queue, not the server; see the latency phase)\n",
              options.clients, kDesignLimitPerSecond, options.clients / kDesignLimitPerSecond);

  if (samples.empty()) return;
  const bench::ProcessSample& first = samples.front();
  const bench::ProcessSample& last = samples.back();
  const size_t done = stats.Completed();
  std::printf("  server CPU %.2f s for %zu sales: %.2f ms per transaction\n", last.cpu_s - first.cpu_s, done,
              done ? 1000.0 * (last.cpu_s - first.cpu_s) / static_cast<double>(done) : 0.0);
  std::printf("  server over the run:");
  for (double fraction : {0.0, 0.1, 0.25, 0.5, 0.75, 1.0}) {
    const size_t i = std::min(samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1)));
    std::printf("%s %.0f s %.1f MB %d thr", fraction == 0.0 ? "" : ",", samples[i].at_s, Mb(samples[i].rss_kb),
                samples[i].threads);
  }
  std::printf("\n");
  // Growth: the last tenth of the run against its second tenth (the first allocations
  // made, the lazily started threads running): the highest RSS, and the fewest threads,
  // since an exchange's worker and Qt's pool threads come and go while a leaked one
  // stays. Allowed: 1 MB or 2% of RSS (allocator noise), no thread.
  const auto window = [&samples](double from, double to) {
    const double n = static_cast<double>(samples.size());
    const size_t first_index = std::min(samples.size() - 1, static_cast<size_t>(from * n));
    const size_t end_index = std::clamp(static_cast<size_t>(to * n), first_index + 1, samples.size());
    bench::ProcessSample figures = samples[first_index];
    for (size_t i = first_index; i < end_index; ++i) {
      figures.rss_kb = std::max(figures.rss_kb, samples[i].rss_kb);
      figures.threads = std::min(figures.threads, samples[i].threads);
    }
    return figures;
  };
  const bench::ProcessSample early = window(0.1, 0.2), late = window(0.9, 1.0);
  const int64_t growth_kb = late.rss_kb - early.rss_kb;
  const int64_t allowed_kb = std::max<int64_t>(1024, early.rss_kb / 50);
  const int thread_growth = late.threads - early.threads;
  const bool steady = growth_kb <= allowed_kb && thread_growth <= 0;
  std::printf("  growth, last tenth against the second: RSS %+.2f MB (allowed %.2f), threads %+d"
              "    target no growth%s: %s\n",
              Mb(growth_kb), Mb(allowed_kb), thread_growth, options.seconds >= 300 ? "" : " (meant for a 300 s run)",
              Met(tally->Count(steady)));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage();
    return 2;
  }
  std::printf("kvr-bench: %s\n", options.binary.c_str());
  std::printf("machine: %u CPUs, %s; the peers and the clients run in this process\n",
              std::thread::hardware_concurrency(), CpuModel().c_str());
  BenchEnvironment env;
  std::string error;
  if (!env.Start(options.binary, &error)) {
    std::fprintf(stderr, "kvr-bench: %s\n", error.c_str());
    return 1;
  }
  const bench::ProcessSample started = Sample(env.pid());
  std::printf("server pid %d started: RSS %.1f MB, %d threads\n", env.pid(), Mb(started.rss_kb), started.threads);

  Tally tally;
  LoginPhase(env, options.login_clients, &tally);
  WaitForSessionsToEnd(env.pid(), started.threads);
  IdlePhase(env, options.login_clients, &tally);
  WaitForSessionsToEnd(env.pid(), started.threads);
  LatencyPhase(env, options, &tally);
  SalesPhase(env, options, &tally);

  const bench::ProcessSample end = Sample(env.pid());
  std::printf("\nserver peak RSS (VmHWM) over all phases: %.1f MB; now RSS %.1f MB, %d threads\n", Mb(end.hwm_kb),
              Mb(end.rss_kb), end.threads);
  std::printf("targets met: %d of %d\n", tally.met, tally.total);
  return 0;
}
