// Run before the end-to-end tests: exits 0 when they can take the server's instance
// locks (a network namespace of their own can be made, or no server holds the locks
// here), otherwise says in one line which server holds them and exits 1.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e/own_network.h"

int main() {
  std::string why_not = "KVR_E2E_SHARED_NETWORK is set";
  if (std::getenv("KVR_E2E_SHARED_NETWORK") == nullptr && e2e::EnterOwnNetwork(&why_not)) return 0;
  const std::string running = e2e::RunningInstance();
  if (running.empty()) return 0;
  std::fprintf(stderr,
               "end-to-end tests: the server already runs on this machine (%s) and the tests cannot have a "
               "network namespace of their own here (%s); stop that server, or run the tests as root or where "
               "user namespaces are allowed\n",
               running.c_str(), why_not.c_str());
  return 1;
}
