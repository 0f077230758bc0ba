// elavon-sim: the simulated Elavon IP gateway as a program, for people and for the
// run script.
//
//   elavon-sim [options]
//
// Serves HTTPS (TLS 1.2) on ADDRESS:PORT with the answer rules of the host simulator
// (tools/elavon-sim/host_sim.h: the cents of the amount choose approve, decline,
// partial approval, no answer...) until SIGINT or SIGTERM. Its certificate comes from
// a test CA in the certificate folder, made there when the files are missing. On
// start it prints two lines to stdout:
//   listening 127.0.0.1:PORT
//   ca-file FOLDER/ca.pem
// The CA file is what the clients trust (SSL_CERT_FILE). Events go to stderr.
//
//   elavon-sim --make-certs-only [--certs FOLDER]
//
// Makes a new CA and server certificate in the folder, prints the CA file's name and
// exits.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"
#include "tools/peer-support/stop_signals.h"

namespace {

using namespace elavon_sim;

int Usage() {
  std::fputs(
      "usage: elavon-sim [--address ADDRESS] [--port PORT] [--certs FOLDER] [--port-file FILE]\n"
      "                  [--first-sequence N] [--delay MS] [--fault NAME]... [--quiet]\n"
      "       elavon-sim --make-certs-only [--certs FOLDER]\n"
      "  --address ADDRESS   IPv4 address to listen on (default 127.0.0.1)\n"
      "  --port PORT         port (default 0: one the system picks; see the first line printed)\n"
      "  --certs FOLDER      ca.pem, server.pem, server.key (default elavon-sim-certs);\n"
      "                      made when missing\n"
      "  --port-file FILE    also write the port number into FILE\n"
      "  --first-sequence N  the host's confirmed sequence number at start (default 0)\n"
      "  --delay MS          answer every request MS milliseconds late\n"
      "  --fault NAME        refuse, close-mid-answer, http-500, empty-200, split,\n"
      "                      renegotiate, close-notify, close-notify-after,\n"
      "                      hang-up-on-reversals\n"
      "  --quiet             no event lines on stderr\n",
      stderr);
  return 2;
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

bool ParseInt(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

bool ApplyFault(const std::string& name, GatewayFaults* faults) {
  if (name == "refuse") {
    faults->refuse = true;
  } else if (name == "close-mid-answer") {
    faults->close_mid_answer = true;
  } else if (name == "http-500") {
    faults->http_500 = true;
  } else if (name == "empty-200") {
    faults->empty_200 = true;
  } else if (name == "split") {
    faults->split_records = true;
  } else if (name == "renegotiate") {
    faults->renegotiate = true;
  } else if (name == "close-notify") {
    faults->close_notify = CloseNotifyFault::kInsteadOfAnswer;
  } else if (name == "close-notify-after") {
    faults->close_notify = CloseNotifyFault::kAfterAnswer;
  } else if (name == "hang-up-on-reversals") {
    faults->hang_up_on_reversals = true;
  } else {
    return false;
  }
  return true;
}

bool WritePortFile(const std::string& path, uint16_t port) {
  std::string temporary = path + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  bool ok = std::fprintf(file, "%u\n", port) > 0;
  ok = std::fclose(file) == 0 && ok;
  return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::mutex g_stderr_lock;

void LogLine(const std::string& line) {
  std::timespec now;
  std::timespec_get(&now, TIME_UTC);
  std::tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::lock_guard<std::mutex> lock(g_stderr_lock);
  std::fprintf(stderr, "%s.%03ld elavon-sim %s\n", stamp, now.tv_nsec / 1000000, line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  long port = 0;
  std::string certs = "elavon-sim-certs";
  std::string port_file;
  long first_sequence = 0;
  bool make_certs_only = false;
  bool quiet = false;
  GatewayFaults faults;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = 0;
    if (arg == "--make-certs-only") {
      make_certs_only = true;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (value == nullptr) {
      return Usage();
    } else if (arg == "--address") {
      address = value;
      ++i;
    } else if (arg == "--port" && ParseInt(value, 0, 65535, &port)) {
      ++i;
    } else if (arg == "--certs") {
      certs = value;
      ++i;
    } else if (arg == "--port-file") {
      port_file = value;
      ++i;
    } else if (arg == "--first-sequence" && ParseInt(value, 0, 9949, &first_sequence)) {
      ++i;
    } else if (arg == "--delay" && ParseInt(value, 0, 600000, &number)) {
      faults.answer_delay_ms = static_cast<int>(number);
      ++i;
    } else if (arg == "--fault" && ApplyFault(value, &faults)) {
      ++i;
    } else {
      return Usage();
    }
  }

  TestPkiFiles files = TestPkiFilesIn(certs);
  if (make_certs_only || !Exists(files.ca_file) || !Exists(files.cert_file) || !Exists(files.key_file)) {
    std::string error;
    if (!MakeTestPki(certs, TestPkiOptions(), &files, &error)) {
      std::fprintf(stderr, "elavon-sim: %s\n", error.c_str());
      return 1;
    }
  }
  if (make_certs_only) {
    std::printf("ca-file %s\n", files.ca_file.c_str());
    return 0;
  }

  // The signals are taken by sigwait below; every thread started later inherits the mask.
  const sigset_t stop_signals = peer_support::BlockStopSignals();

  HostSimOptions host_options;
  host_options.first_sequence = static_cast<int>(first_sequence);
  ElavonHostSim host(host_options);

  GatewayServerOptions options;
  options.cert_file = files.cert_file;
  options.key_file = files.key_file;
  options.address = address;
  options.port = static_cast<uint16_t>(port);
  if (!quiet) options.log = LogLine;
  GatewayServer server(&host, options);
  server.SetFaults(faults);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "elavon-sim: %s\n", error.c_str());
    return 1;
  }
  if (!port_file.empty() && !WritePortFile(port_file, server.Port())) {
    std::fprintf(stderr, "elavon-sim: cannot write %s\n", port_file.c_str());
    server.Stop();
    return 1;
  }
  std::printf("listening %s:%u\nca-file %s\n", address.c_str(), server.Port(), files.ca_file.c_str());
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  if (!quiet) LogLine(std::string("stopping on ") + strsignal(signal_number));
  server.Stop();
  return 0;
}
