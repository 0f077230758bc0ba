// The RC4 stream cipher, kept here because OpenSSL 3 ships RC4 only in its legacy
// provider, which a machine need not have. One object is one key stream from its
// start; it is not thread-safe and is meant to live for one message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform::capi {

class Rc4 {
 public:
  // key: 1 to 256 bytes.
  explicit Rc4(std::string_view key);
  Rc4(const Rc4&) = delete;
  Rc4& operator=(const Rc4&) = delete;
  ~Rc4();

  // XORs the next len bytes of the key stream into data (encrypts or decrypts).
  void Apply(uint8_t* data, size_t len);

 private:
  uint8_t s_[256];
  uint8_t i_ = 0;
  uint8_t j_ = 0;
};

}  // namespace platform::capi
