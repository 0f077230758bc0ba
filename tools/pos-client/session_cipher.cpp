#include "tools/pos-client/session_cipher.h"

#include <array>
#include <memory>
#include <utility>

#include <openssl/evp.h>

namespace pos_client {

namespace {

constexpr int kDesBlock = 8;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

unsigned char OddParity(unsigned char byte) {
  unsigned char high = byte & 0xFE;
  int ones = 0;
  for (unsigned char b = high; b != 0; b >>= 1) ones += b & 1;
  return static_cast<unsigned char>(high | ((ones % 2 == 0) ? 1 : 0));
}

Status TripleDes(bool encrypt, std::string_view key, std::string_view in, std::string* out) {
  if (!encrypt && (in.empty() || in.size() % kDesBlock != 0)) return Status::kDecryptFailed;
  if (in.size() > 0x7FFFFFF0) return Status::kCryptoFailed;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return Status::kCryptoFailed;
  const unsigned char zero_iv[kDesBlock] = {};
  const auto* key_bytes = reinterpret_cast<const unsigned char*>(key.data());
  if (EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key_bytes, zero_iv,
                        encrypt ? 1 : 0) != 1) {
    return Status::kCryptoFailed;
  }
  std::string buffer(in.size() + kDesBlock, '\0');
  auto* dst = reinterpret_cast<unsigned char*>(buffer.data());
  int written = 0;
  if (EVP_CipherUpdate(ctx.get(), dst, &written,
                       reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size())) != 1) {
    return Status::kCryptoFailed;
  }
  int tail = 0;
  if (EVP_CipherFinal_ex(ctx.get(), dst + written, &tail) != 1) {
    return encrypt ? Status::kCryptoFailed : Status::kDecryptFailed;
  }
  buffer.resize(static_cast<size_t>(written + tail));
  *out = std::move(buffer);
  return Status::kOk;
}

Status Transform(bool encrypt, const SessionKey& session, std::string_view in, std::string* out) {
  if (session.key.size() != KeyLength(session.cipher)) return Status::kBadSessionKey;
  if (session.cipher == Cipher::kRc4) {
    return Rc4Apply(session.key, in, out) ? Status::kOk : Status::kBadSessionKey;
  }
  return TripleDes(encrypt, session.key, in, out);
}

}  // namespace

uint32_t AlgorithmId(Cipher cipher) { return cipher == Cipher::kRc4 ? 0x6801 : 0x6603; }

size_t KeyLength(Cipher cipher) { return cipher == Cipher::kRc4 ? 16 : 24; }

Status MakeSessionKey(Cipher cipher, const RandomBytes& random, SessionKey* out) {
  std::string key(KeyLength(cipher), '\0');
  if (!random || !random(reinterpret_cast<unsigned char*>(key.data()), key.size())) {
    return Status::kRandomFailed;
  }
  if (cipher == Cipher::kTripleDes) {
    for (char& c : key) c = static_cast<char>(OddParity(static_cast<unsigned char>(c)));
  }
  out->cipher = cipher;
  out->key = std::move(key);
  return Status::kOk;
}

Status Encrypt(const SessionKey& session, std::string_view plain, std::string* cipher_text) {
  return Transform(true, session, plain, cipher_text);
}

Status Decrypt(const SessionKey& session, std::string_view cipher_text, std::string* plain) {
  return Transform(false, session, cipher_text, plain);
}

bool Rc4Apply(std::string_view key, std::string_view data, std::string* out) {
  if (key.empty() || key.size() > 256) return false;
  std::array<unsigned char, 256> s;
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<unsigned char>(i);
  unsigned char j = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    j = static_cast<unsigned char>(j + s[i] + static_cast<unsigned char>(key[i % key.size()]));
    std::swap(s[i], s[j]);
  }
  std::string result(data);
  unsigned char i = 0;
  j = 0;
  for (char& c : result) {
    i = static_cast<unsigned char>(i + 1);
    j = static_cast<unsigned char>(j + s[i]);
    std::swap(s[i], s[j]);
    c = static_cast<char>(static_cast<unsigned char>(c) ^ s[static_cast<unsigned char>(s[i] + s[j])]);
  }
  *out = std::move(result);
  return true;
}

}  // namespace pos_client
