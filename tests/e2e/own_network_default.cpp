// Linked into every e2e test binary: during its static start-up, while it has one
// thread, the binary moves into a network namespace of its own (see own_network.h),
// unless KVR_E2E_SHARED_NETWORK is set. Where that cannot be done and a server
// already holds the instance locks, every test fails at once with one line saying so.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/own_network.h"

namespace {

std::string g_why_not;

class RunningInstanceCheck : public ::testing::Environment {
 public:
  void SetUp() override {
    if (e2e::InOwnNetwork()) return;
    const std::string running = e2e::RunningInstance();
    if (!running.empty()) {
      GTEST_FAIL() << "the server already runs on this machine: " << running
                   << "; no network namespace of the tests' own (" << g_why_not << ")";
    }
  }
};

const bool g_own_network = [] {
  if (std::getenv("KVR_E2E_SHARED_NETWORK") != nullptr) {
    g_why_not = "KVR_E2E_SHARED_NETWORK is set";
  } else {
    (void)e2e::EnterOwnNetwork(&g_why_not);  // else the check below tells when that matters
  }
  ::testing::AddGlobalTestEnvironment(new RunningInstanceCheck);
  return true;
}();

}  // namespace
