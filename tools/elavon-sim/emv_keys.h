// EMV certification-authority keys that the host simulator hands out in a key
// download, one per round. The default keys are made-up test values: their
// moduli are not real keys and their check values are not real hashes.
// Plain data; no lock.
#pragma once

#include <string>
#include <vector>

namespace elavon_sim {

struct EmvKey {
  std::string rid;       // 10 hex characters
  std::string index;     // 2 hex characters
  std::string modulus;   // hex
  std::string exponent;  // hex
  std::string check;     // 40 hex characters
  std::string expiry;    // YYMMDD; sent as DDMMYY (the terminal reverses the pairs)
};

// Three keys: RID A000000003 index 92, A000000004 index F1, A000000025 index C8.
std::vector<EmvKey> DefaultEmvKeys();

}  // namespace elavon_sim
