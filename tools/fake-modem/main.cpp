// fake-modem: a modem with the simulated Elavon dial-up host behind it, on a
// pseudo-terminal. Prints the device to use as the COM port (for example as
// KVR_COM3) and serves it until interrupted.
//
//   fake-modem [--init WORD] [--dial WORD] [--no-enq] [--silent-host] [--drop-idle MS]
//     WORD: OK, CONNECT, NO CARRIER, BUSY, NO DIALTONE, NO ANSWER, ERROR,
//           LINE IN USE or SILENCE
//     --drop-idle MS: the far end drops a call idle for MS milliseconds (NO CARRIER)
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/elavon-sim/host_sim.h"
#include "tools/fake-modem/fake_modem.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: fake-modem [--init WORD] [--dial WORD] [--no-enq] [--silent-host] [--drop-idle MS]\n"
               "                  [--hang-up-on-reversal]\n"
               "  WORD: OK, CONNECT, NO CARRIER, BUSY, NO DIALTONE, NO ANSWER, ERROR, LINE IN USE, SILENCE\n"
               "  --drop-idle MS: the far end drops a call that has been idle for MS milliseconds\n"
               "  --hang-up-on-reversal: the host drops the call when a reversal comes, unanswered\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  fake_modem::ModemScript script;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--init" || arg == "--dial") && i + 1 < argc) {
      const auto reply = fake_modem::ModemReplyFromWord(argv[++i]);
      if (!reply) return Usage();
      (arg == "--init" ? script.init_reply : script.dial_reply) = *reply;
    } else if (arg == "--no-enq") {
      script.host.send_enq = false;
    } else if (arg == "--silent-host") {
      script.host.answer_requests = false;
    } else if (arg == "--hang-up-on-reversal") {
      script.host.hang_up_on_reversal = true;
    } else if (arg == "--drop-idle" && i + 1 < argc) {
      char* end = nullptr;
      const long ms = std::strtol(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || ms < 0 || ms > 3600000) return Usage();
      script.drop_idle_call_after_ms = static_cast<int>(ms);
    } else {
      return Usage();
    }
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts

  elavon_sim::ElavonHostSim host;
  fake_modem::FakeModem modem(&host);
  if (!modem.Start(script)) {
    std::fprintf(stderr, "fake-modem: no pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("%s\n", modem.DevicePath().c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  modem.Stop();
  const fake_modem::ModemCounters counters = modem.Counters();
  std::fprintf(stderr, "fake-modem: %d calls, %d requests, %d answers\n", counters.calls, counters.host.requests,
               counters.host.answers_sent);
  return 0;
}
