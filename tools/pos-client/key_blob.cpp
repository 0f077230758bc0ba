#include "tools/pos-client/key_blob.h"

#include <algorithm>
#include <utility>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include "tools/pos-client/hex.h"

namespace pos_client {

namespace {

constexpr size_t kPublicKeyHeader = 20;  // BLOBHEADER 8 + RSAPUBKEY 12
constexpr uint32_t kMaxBits = 16384;
constexpr size_t kPkcs1Overhead = 11;  // 00 02, at least 8 padding bytes, 00
// Draws of random bytes allowed per padding byte before the source is taken as broken.
constexpr int kDrawsPerPaddingByte = 64;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Bignum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ParamBuild = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

uint32_t ReadLe32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void AppendLe32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

EVP_PKEY* MakeRsaPublicKey(std::string_view modulus_le, uint32_t exponent) {
  Bignum n(BN_lebin2bn(reinterpret_cast<const unsigned char*>(modulus_le.data()),
                       static_cast<int>(modulus_le.size()), nullptr));
  Bignum e(BN_new());
  ParamBuild build(OSSL_PARAM_BLD_new());
  if (!n || !e || !build || BN_set_word(e.get(), exponent) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    return nullptr;
  }
  Params params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return key;
}

// PKCS #1 v1.5 type 2 block: 00 02, non-zero random padding, 00, the message.
bool Pkcs1Pad(std::string_view message, size_t size, const RandomBytes& random,
              std::string* block) {
  const size_t padding = size - 3 - message.size();
  std::string out;
  out.reserve(size);
  out.push_back('\x00');
  out.push_back('\x02');
  int draws_left = static_cast<int>(padding) * kDrawsPerPaddingByte;
  while (out.size() < 2 + padding) {
    unsigned char byte = 0;
    if (draws_left-- <= 0 || !random(&byte, 1)) return false;
    if (byte != 0) out.push_back(static_cast<char>(byte));
  }
  out.push_back('\x00');
  out.append(message);
  *block = std::move(out);
  return true;
}

}  // namespace

Status ServerPublicKey::FromBlob(std::string_view blob, ServerPublicKey* out) {
  static constexpr std::string_view kHeader("\x06\x02\x00\x00\x00\xA4\x00\x00RSA1", 12);
  if (blob.size() < kPublicKeyHeader || blob.substr(0, kHeader.size()) != kHeader) {
    return Status::kBadPublicKeyBlob;
  }
  const uint32_t bits = ReadLe32(blob, 12);
  const uint32_t exponent = ReadLe32(blob, 16);
  if (bits == 0 || bits % 8 != 0 || bits > kMaxBits ||
      blob.size() != kPublicKeyHeader + bits / 8 || exponent < 3 || exponent % 2 == 0) {
    return Status::kBadPublicKeyBlob;
  }
  const std::string_view modulus = blob.substr(kPublicKeyHeader);
  if (modulus.back() == '\0' || (static_cast<unsigned char>(modulus.front()) & 1) == 0) {
    return Status::kBadPublicKeyBlob;
  }
  EVP_PKEY* key = MakeRsaPublicKey(modulus, exponent);
  if (key == nullptr) return Status::kCryptoFailed;
  out->key_.reset(key, EVP_PKEY_free);
  out->bit_length_ = bits;
  out->exponent_ = exponent;
  return Status::kOk;
}

Status ServerPublicKey::FromHex(std::string_view hex, ServerPublicKey* out) {
  std::string blob;
  if (!pos_client::FromHex(hex, &blob)) return Status::kBadHex;
  return FromBlob(blob, out);
}

Status BuildSimpleBlob(const ServerPublicKey& server, const SessionKey& session,
                       const RandomBytes& random, std::string* blob) {
  if (!server.IsSet()) return Status::kBadPublicKeyBlob;
  if (session.key.size() != KeyLength(session.cipher)) return Status::kBadSessionKey;
  const size_t size = server.modulus_size();
  if (size < session.key.size() + kPkcs1Overhead) return Status::kKeyTooSmall;
  if (!random) return Status::kRandomFailed;

  std::string block;
  if (!Pkcs1Pad(session.key, size, random, &block)) return Status::kRandomFailed;

  // The padding is done above so that the random bytes are the caller's; the
  // RSA operation itself is the raw one.
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, server.pkey(), nullptr));
  std::string encrypted(size, '\0');
  size_t encrypted_size = encrypted.size();
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(encrypted.data()),
                       &encrypted_size, reinterpret_cast<const unsigned char*>(block.data()),
                       block.size()) != 1 ||
      encrypted_size != size) {
    return Status::kCryptoFailed;
  }
  std::reverse(encrypted.begin(), encrypted.end());

  std::string out("\x01\x02\x00\x00", 4);
  AppendLe32(&out, AlgorithmId(session.cipher));
  out.append("\x00\xA4\x00\x00", 4);
  out.append(encrypted);
  *blob = std::move(out);
  return Status::kOk;
}

}  // namespace pos_client
