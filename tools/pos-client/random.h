// Source of random bytes for session keys and key-blob padding. Tests inject a
// fixed sequence so that whole envelopes are reproducible; SystemRandom() draws
// from OpenSSL's generator (thread-safe, no lock of ours).
#pragma once

#include <cstddef>
#include <functional>

#include <openssl/rand.h>

namespace pos_client {

// Fills n bytes; false when no bytes could be drawn.
using RandomBytes = std::function<bool(unsigned char* out, size_t n)>;

inline RandomBytes SystemRandom() {
  return [](unsigned char* out, size_t n) {
    return n == 0 || (n <= 0x7FFFFFFF && RAND_bytes(out, static_cast<int>(n)) == 1);
  };
}

}  // namespace pos_client
