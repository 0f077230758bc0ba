#include "platform/capi/rc4.h"

#include <openssl/crypto.h>

#include <utility>

namespace platform::capi {

Rc4::Rc4(std::string_view key) {
  for (int n = 0; n < 256; ++n) s_[n] = static_cast<uint8_t>(n);
  if (key.empty()) return;
  uint8_t j = 0;
  for (int n = 0; n < 256; ++n) {
    j = static_cast<uint8_t>(j + s_[n] + static_cast<uint8_t>(key[n % key.size()]));
    std::swap(s_[n], s_[j]);
  }
}

Rc4::~Rc4() {
  OPENSSL_cleanse(s_, sizeof s_);
  i_ = j_ = 0;
}

void Rc4::Apply(uint8_t* data, size_t len) {
  for (size_t n = 0; n < len; ++n) {
    i_ = static_cast<uint8_t>(i_ + 1);
    j_ = static_cast<uint8_t>(j_ + s_[i_]);
    std::swap(s_[i_], s_[j_]);
    data[n] ^= s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
  }
}

}  // namespace platform::capi
