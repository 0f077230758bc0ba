// Test helpers: hex texts and OpenSSL ciphers as an independent oracle for the
// cipher routines of this module.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cipher_oracle {

using Bytes = std::vector<uint8_t>;

inline Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string HexOf(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}
inline std::string HexOf(const Bytes& b) { return HexOf(b.data(), b.size()); }

// OpenSSL's cipher of the given name over whole blocks, without padding; empty when
// the cipher is not available or fails.
inline Bytes Cipher(const char* name, const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  if (!cipher) return {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(data.size() + 32);
  int len = 0, tail = 0;
  bool ok = EVP_CipherInit_ex2(ctx, cipher, key.data(), iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
            EVP_CipherUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(data.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, out.data() + len, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  if (!ok) return {};
  out.resize(static_cast<size_t>(len + tail));
  return out;
}

// Single DES as three-key Triple-DES with one key three times (the default provider
// has no single DES).
inline Bytes Des(const char* mode, const Bytes& key8, const Bytes& iv, const Bytes& data, bool encrypt) {
  Bytes key = key8;
  key.insert(key.end(), key8.begin(), key8.end());
  key.insert(key.end(), key8.begin(), key8.end());
  return Cipher((std::string("DES-EDE3-") + mode).c_str(), key, iv, data, encrypt);
}

// Two-key Triple-DES, as K1 K2 K1 three-key Triple-DES.
inline Bytes TripleDes2(const char* mode, const Bytes& key16, const Bytes& iv, const Bytes& data, bool encrypt) {
  Bytes key = key16;
  key.insert(key.end(), key16.begin(), key16.begin() + 8);
  return Cipher((std::string("DES-EDE3-") + mode).c_str(), key, iv, data, encrypt);
}

}  // namespace cipher_oracle
