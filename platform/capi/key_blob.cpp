#include "platform/capi/key_blob.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "platform/capi/session_key.h"

namespace platform::capi {
namespace {

constexpr uint32_t kRsa1Magic = 0x31415352;  // "RSA1"

void PutLe32(std::string* out, uint32_t v) {
  for (int n = 0; n < 4; ++n) out->push_back(static_cast<char>((v >> (8 * n)) & 0xFF));
}

uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

std::string EncodePublicKeyBlob(const RsaKeyPair& key) {
  std::string modulus;
  uint32_t exponent = 0;
  if (!key.PublicNumbers(&modulus, &exponent)) return {};
  std::string blob;
  blob.reserve(kBlobHeaderBytes + kRsaPubKeyBytes + modulus.size());
  blob.push_back(static_cast<char>(PUBLICKEYBLOB));
  blob.push_back(static_cast<char>(CUR_BLOB_VERSION));
  blob.append(2, '\0');
  PutLe32(&blob, CALG_RSA_KEYX);
  PutLe32(&blob, kRsa1Magic);
  PutLe32(&blob, key.Bits());
  PutLe32(&blob, exponent);
  blob.append(modulus.rbegin(), modulus.rend());
  return blob;
}

namespace {

// The checks made before the private key is used: header, session and encrypting
// algorithms, size. 0 and *alg, or the error.
DWORD CheckSimpleBlobFrame(const RsaKeyPair& exchange, const uint8_t* blob, size_t len, ALG_ID* alg) {
  if (blob == nullptr || len < kSimpleBlobHeaderBytes || blob[0] != SIMPLEBLOB || blob[1] != CUR_BLOB_VERSION ||
      blob[2] != 0 || blob[3] != 0) {
    return NTE_BAD_DATA;
  }
  const ALG_ID key_alg = GetLe32(blob + 4);
  if (!SessionKey::IsSupported(key_alg)) return NTE_BAD_ALGID;
  if (GetLe32(blob + 8) != CALG_RSA_KEYX || len - kSimpleBlobHeaderBytes != exchange.ModulusBytes()) {
    return NTE_BAD_DATA;
  }
  *alg = key_alg;
  return 0;
}

// The RSA part of a checked blob, big-endian.
std::vector<uint8_t> RsaPart(const uint8_t* blob, size_t len) {
  std::vector<uint8_t> cipher(blob + kSimpleBlobHeaderBytes, blob + len);
  std::reverse(cipher.begin(), cipher.end());
  return cipher;
}

}  // namespace

DWORD DecodeSimpleBlob(const RsaKeyPair& exchange, const uint8_t* blob, size_t len, ALG_ID* alg,
                       std::string* key_bytes) {
  key_bytes->clear();
  ALG_ID key_alg = 0;
  if (const DWORD err = CheckSimpleBlobFrame(exchange, blob, len, &key_alg); err != 0) return err;
  const std::vector<uint8_t> cipher = RsaPart(blob, len);
  std::string plain;
  if (!exchange.DecryptPkcs1(cipher.data(), cipher.size(), &plain)) return NTE_BAD_DATA;
  if (!SessionKey::IsValidKeyLength(key_alg, plain.size())) {
    OPENSSL_cleanse(plain.data(), plain.size());
    return NTE_BAD_DATA;
  }
  *alg = key_alg;
  *key_bytes = std::move(plain);
  return 0;
}

DWORD DecodeSimpleBlobImplicitRejection(const RsaKeyPair& exchange, const uint8_t* blob, size_t len,
                                        std::string_view secret, ALG_ID* alg, std::string* key_bytes) {
  key_bytes->clear();
  ALG_ID key_alg = 0;
  if (const DWORD err = CheckSimpleBlobFrame(exchange, blob, len, &key_alg); err != 0) return err;
  const size_t key_len = SessionKey::DefaultKeyBytes(key_alg);
  if (key_len == 0 || key_len > kSubstituteKeyBytes || len > static_cast<size_t>(INT_MAX)) return NTE_FAIL;

  // The substitute is made whatever the RSA part turns out to be.
  uint8_t substitute[EVP_MAX_MD_SIZE];
  unsigned int substitute_len = 0;
  if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), blob, len, substitute, &substitute_len) ==
          nullptr ||
      substitute_len != kSubstituteKeyBytes) {
    OPENSSL_cleanse(substitute, sizeof substitute);
    return NTE_FAIL;
  }
  const std::vector<uint8_t> cipher = RsaPart(blob, len);
  std::string key(key_len, '\0');
  const bool ok = exchange.DecryptPkcs1OrSubstitute(cipher.data(), cipher.size(), substitute, key_len,
                                                    reinterpret_cast<uint8_t*>(key.data()));
  OPENSSL_cleanse(substitute, sizeof substitute);
  if (!ok) {
    OPENSSL_cleanse(key.data(), key.size());
    return NTE_FAIL;
  }
  *alg = key_alg;
  *key_bytes = std::move(key);
  return 0;
}

}  // namespace platform::capi
