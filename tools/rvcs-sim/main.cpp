// rvcs-sim: the simulated configuration service as a program, for people and for
// the run script.
//
//   rvcs-sim [options]
//
// Serves the parameter download over TLS 1.2 on ADDRESS:PORT (tools/rvcs-sim/
// rvcs_server.h) until SIGINT or SIGTERM. Its certificate comes from a test CA in the
// certificate folder, made there when the files are missing. On start it prints:
//   listening 127.0.0.1:PORT
//   ca-file FOLDER/ca.pem
// Point KVR_RVCS_PRIMARY (and KVR_RVCS_SECONDARY) at 127.0.0.1:PORT. One line per
// finished download goes to stderr.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "tools/elavon-sim/test_pki.h"
#include "tools/peer-support/stop_signals.h"
#include "tools/rvcs-sim/rvcs_server.h"

namespace {

using namespace rvcs_sim;

int Usage() {
  std::string faults;
  for (Fault f : AllFaults()) faults += std::string(faults.empty() ? "" : ", ") + FaultName(f);
  std::fprintf(stderr,
               "usage: rvcs-sim [--address ADDRESS] [--port PORT] [--certs FOLDER] [--fault NAME]\n"
               "                [--set N=VALUE]... [--service-error TEXT] [--record-chunk BYTES]\n"
               "                [--greeting-with-handshake] [--quiet]\n"
               "  --address ADDRESS   IPv4 address to listen on (default 127.0.0.1)\n"
               "  --port PORT         port (default 0: one the system picks; see the first line)\n"
               "  --certs FOLDER      ca.pem, server.pem, server.key (default rvcs-sim-certs);\n"
               "                      made when missing\n"
               "  --fault NAME        %s\n"
               "  --set N=VALUE       serve VALUE for parameter N (0..21) instead of its default\n"
               "  --service-error T   the refusal that the service-error fault sends\n"
               "  --record-chunk N    send every message in TLS records of at most N bytes\n"
               "  --greeting-with-handshake  send the challenge together with the handshake's end\n"
               "  --quiet             no lines on stderr\n",
               faults.c_str());
  return 2;
}

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

bool ParseNumber(const std::string& text, long min, long max, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

bool ParseSetting(const std::string& text, std::map<int, std::string>* values) {
  const size_t equals = text.find('=');
  long n = 0;
  if (equals == std::string::npos || !ParseNumber(text.substr(0, equals), 0, 21, &n)) return false;
  (*values)[static_cast<int>(n)] = text.substr(equals + 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions options;
  std::string certs = "rvcs-sim-certs";
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    const bool has_value = i + 1 < argc;
    long number = 0;
    if (arg == "--quiet") {
      quiet = true;
    } else if (arg == "--greeting-with-handshake") {
      options.greeting_with_handshake = true;
    } else if (!has_value) {
      return Usage();
    } else if (arg == "--address") {
      options.address = value, ++i;
    } else if (arg == "--port" && ParseNumber(value, 0, 65535, &number)) {
      options.port = static_cast<uint16_t>(number), ++i;
    } else if (arg == "--certs") {
      certs = value, ++i;
    } else if (arg == "--fault" && FaultFromName(value, &options.fault)) {
      ++i;
    } else if (arg == "--set" && ParseSetting(value, &options.values)) {
      ++i;
    } else if (arg == "--service-error") {
      options.service_error = value, ++i;
    } else if (arg == "--record-chunk" && ParseNumber(value, 1, 16384, &number)) {
      options.record_chunk = static_cast<size_t>(number), ++i;
    } else {
      return Usage();
    }
  }

  elavon_sim::TestPkiFiles files = elavon_sim::TestPkiFilesIn(certs);
  if (!Exists(files.ca_file) || !Exists(files.cert_file) || !Exists(files.key_file)) {
    std::string error;
    if (!elavon_sim::MakeTestPki(certs, elavon_sim::TestPkiOptions(), &files, &error)) {
      std::fprintf(stderr, "rvcs-sim: %s\n", error.c_str());
      return 1;
    }
  }
  options.cert_file = files.cert_file;
  options.key_file = files.key_file;

  // The signals are taken by sigtimedwait below; every thread started later inherits the mask.
  const sigset_t stop_signals = peer_support::BlockStopSignals();

  RvcsServer server(options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "rvcs-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening %s:%u\nca-file %s\n", options.address.c_str(), server.port(), files.ca_file.c_str());
  std::fflush(stdout);

  // Reports each finished download while waiting for a stop signal.
  size_t reported = 0;
  while (true) {
    timespec wait{0, 200 * 1000 * 1000};
    if (sigtimedwait(&stop_signals, nullptr, &wait) > 0) break;
    if (quiet) continue;
    const std::vector<SessionRecord> sessions = server.Sessions();
    while (reported < sessions.size() && sessions[reported].ended) {
      const SessionRecord& s = sessions[reported++];
      const auto devid = s.fields.find("DEVID");
      std::fprintf(stderr, "rvcs-sim: download %zu: device [%s], challenge response %s, final [%s]\n", reported,
                   devid == s.fields.end() ? "" : devid->second.c_str(), s.response_valid ? "valid" : "invalid",
                   s.got_final ? s.final_message.c_str() : "(none)");
    }
  }
  server.Stop();
  return 0;
}
