#include "tools/elavon-sim/emv_keys.h"

#include <cstdint>

namespace elavon_sim {

namespace {

// Deterministic upper-case hex of `bytes` bytes, different for each seed.
std::string TestHex(uint32_t seed, size_t bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < bytes; ++i) {
    state = state * 1103515245u + 12345u;
    uint8_t byte = static_cast<uint8_t>(state >> 16);
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

}  // namespace

std::vector<EmvKey> DefaultEmvKeys() {
  return {
      {"A000000003", "92", TestHex(1, 176), "03", TestHex(11, 20), "281231"},
      {"A000000004", "F1", TestHex(2, 176), "03", TestHex(12, 20), "291231"},
      {"A000000025", "C8", TestHex(3, 144), "03", TestHex(13, 20), "301231"},
  };
}

}  // namespace elavon_sim
