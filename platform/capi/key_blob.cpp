#include "platform/capi/key_blob.h"

#include <openssl/crypto.h>

#include <algorithm>
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

DWORD DecodeSimpleBlob(const RsaKeyPair& exchange, const uint8_t* blob, size_t len, ALG_ID* alg,
                       std::string* key_bytes) {
  key_bytes->clear();
  if (blob == nullptr || len < kSimpleBlobHeaderBytes || blob[0] != SIMPLEBLOB || blob[1] != CUR_BLOB_VERSION ||
      blob[2] != 0 || blob[3] != 0) {
    return NTE_BAD_DATA;
  }
  const ALG_ID key_alg = GetLe32(blob + 4);
  if (!SessionKey::IsSupported(key_alg)) return NTE_BAD_ALGID;
  if (GetLe32(blob + 8) != CALG_RSA_KEYX || len - kSimpleBlobHeaderBytes != exchange.ModulusBytes()) {
    return NTE_BAD_DATA;
  }
  std::vector<uint8_t> cipher(blob + kSimpleBlobHeaderBytes, blob + len);
  std::reverse(cipher.begin(), cipher.end());
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

}  // namespace platform::capi
