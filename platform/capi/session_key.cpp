#include "platform/capi/session_key.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/capi/rc4.h"

namespace platform::capi {
namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const EVP_CIPHER* BlockCipher(ALG_ID alg) {
  switch (alg) {
    case CALG_3DES: return EVP_des_ede3_cbc();
    case CALG_3DES_112: return EVP_des_ede_cbc();
    case CALG_AES_128: return EVP_aes_128_cbc();
    case CALG_AES_192: return EVP_aes_192_cbc();
    case CALG_AES_256: return EVP_aes_256_cbc();
    default: return nullptr;
  }
}

// Runs a CBC pass with a zero IV and PKCS #5 padding over in into out.
bool RunCbc(const EVP_CIPHER* cipher, const std::string& key, bool encrypt, const uint8_t* in, size_t len,
            uint8_t* out, size_t* out_len) {
  if (len > static_cast<size_t>(INT_MAX - 64)) return false;
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  const uint8_t iv[EVP_MAX_IV_LENGTH] = {};
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, k, iv, encrypt ? 1 : 0) != 1) return false;
  if (EVP_CIPHER_CTX_set_padding(ctx.get(), 1) != 1) return false;
  int n1 = 0;
  int n2 = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &n1, in, static_cast<int>(len)) != 1) return false;
  if (EVP_CipherFinal_ex(ctx.get(), out + n1, &n2) != 1) return false;
  *out_len = static_cast<size_t>(n1) + static_cast<size_t>(n2);
  return true;
}

bool Md5(const uint8_t* data, size_t len, uint8_t out[16]) {
  unsigned int n = 0;
  return EVP_Digest(data, len, out, &n, EVP_md5(), nullptr) == 1 && n == 16;
}

}  // namespace

bool SessionKey::IsSupported(ALG_ID alg) { return alg == CALG_RC4 || BlockCipher(alg) != nullptr; }

bool SessionKey::IsValidKeyLength(ALG_ID alg, size_t bytes) {
  switch (alg) {
    case CALG_RC4: return bytes >= 5 && bytes <= 16;
    case CALG_3DES: return bytes == 24;
    case CALG_3DES_112: return bytes == 16;
    case CALG_AES_128: return bytes == 16;
    case CALG_AES_192: return bytes == 24;
    case CALG_AES_256: return bytes == 32;
    default: return false;
  }
}

size_t SessionKey::DefaultKeyBytes(ALG_ID alg) {
  switch (alg) {
    case CALG_RC4: return 16;
    case CALG_3DES: return 24;
    case CALG_3DES_112: return 16;
    case CALG_AES_128: return 16;
    case CALG_AES_192: return 24;
    case CALG_AES_256: return 32;
    default: return 0;
  }
}

std::string SessionKey::DeriveKeyBytes(ALG_ID alg, std::string_view hash_value, size_t key_bytes) {
  if (alg == CALG_RC4) {
    if (key_bytes > hash_value.size()) return {};
    return std::string(hash_value.substr(0, key_bytes));
  }
  if (hash_value.size() > 64 || key_bytes > 32) return {};
  uint8_t inner[64];
  uint8_t outer[64];
  std::memset(inner, 0x36, sizeof inner);
  std::memset(outer, 0x5C, sizeof outer);
  for (size_t n = 0; n < hash_value.size(); ++n) {
    inner[n] ^= static_cast<uint8_t>(hash_value[n]);
    outer[n] ^= static_cast<uint8_t>(hash_value[n]);
  }
  uint8_t both[32];
  std::string result;
  if (Md5(inner, sizeof inner, both) && Md5(outer, sizeof outer, both + 16)) {
    result.assign(reinterpret_cast<const char*>(both), key_bytes);
  }
  OPENSSL_cleanse(inner, sizeof inner);
  OPENSSL_cleanse(outer, sizeof outer);
  OPENSSL_cleanse(both, sizeof both);
  return result;
}

SessionKey::SessionKey(ALG_ID alg, std::string key) : alg_(alg), key_(std::move(key)) {}

SessionKey::~SessionKey() { OPENSSL_cleanse(key_.data(), key_.size()); }

size_t SessionKey::BlockBytes() const {
  const EVP_CIPHER* cipher = BlockCipher(alg_);
  return cipher ? static_cast<size_t>(EVP_CIPHER_get_block_size(cipher)) : 0;
}

size_t SessionKey::EncryptedSize(size_t len) const {
  const size_t block = BlockBytes();
  return block == 0 ? len : (len / block + 1) * block;
}

bool SessionKey::Encrypt(const uint8_t* in, size_t len, uint8_t* out) const {
  if (alg_ == CALG_RC4) {
    if (len > 0) std::memcpy(out, in, len);
    Rc4(key_).Apply(out, len);
    return true;
  }
  size_t written = 0;
  return RunCbc(BlockCipher(alg_), key_, true, in, len, out, &written) && written == EncryptedSize(len);
}

bool SessionKey::Decrypt(const uint8_t* in, size_t len, uint8_t* out, size_t* out_len) const {
  if (alg_ == CALG_RC4) {
    if (len > 0) std::memcpy(out, in, len);
    Rc4(key_).Apply(out, len);
    *out_len = len;
    return true;
  }
  const size_t block = BlockBytes();
  if (len == 0 || len % block != 0) return false;
  // The cipher library may write up to a block beyond the input while it decrypts.
  std::vector<uint8_t> work(len + block);
  size_t plain = 0;
  const bool ok = RunCbc(BlockCipher(alg_), key_, false, in, len, work.data(), &plain) && plain < len;
  if (ok) {
    std::memcpy(out, work.data(), plain);
    *out_len = plain;
  }
  OPENSSL_cleanse(work.data(), work.size());
  return ok;
}

}  // namespace platform::capi
