#include "tools/rvcs-sim/challenge_cipher.h"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <utility>

namespace rvcs_sim {

bool Rc4Apply(std::string_view key, std::string_view data, std::string* out) {
  if (key.empty() || key.size() > 256) return false;
  std::array<uint8_t, 256> s;
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s[i] + static_cast<uint8_t>(key[i % key.size()]));
    std::swap(s[i], s[j]);
  }
  std::string result(data.size(), '\0');
  uint8_t a = 0, b = 0;
  for (size_t n = 0; n < data.size(); ++n) {
    a = static_cast<uint8_t>(a + 1);
    b = static_cast<uint8_t>(b + s[a]);
    std::swap(s[a], s[b]);
    const uint8_t k = s[static_cast<uint8_t>(s[a] + s[b])];
    result[n] = static_cast<char>(static_cast<uint8_t>(data[n]) ^ k);
  }
  *out = std::move(result);
  return true;
}

std::string ChallengeKey(std::string_view material) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(material.data(), material.size(), digest, &length, EVP_md5(), nullptr) != 1) return std::string();
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string EncryptChallenge(std::string_view bytes, std::string_view material) {
  std::string out;
  if (!Rc4Apply(ChallengeKey(material), bytes, &out)) return std::string();
  return out;
}

std::string ToHex(std::string_view bytes, bool lower_case) {
  const char* digits = lower_case ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    hex += digits[b >> 4];
    hex += digits[b & 0x0F];
  }
  return hex;
}

namespace {
int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool FromHex(std::string_view hex, std::string* bytes) {
  bytes->clear();
  if (hex.size() % 2 != 0) return false;
  std::string out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = Nibble(hex[i]);
    const int low = Nibble(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
  }
  *bytes = std::move(out);
  return true;
}

}  // namespace rvcs_sim
