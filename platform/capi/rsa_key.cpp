#include "platform/capi/rsa_key.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <vector>

namespace platform::capi {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// Never prompts for a pass phrase: an encrypted key file simply fails to load.
int NoPassword(char*, int, int, void*) { return 0; }

BnPtr GetBn(EVP_PKEY* pkey, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) return nullptr;
  return BnPtr(bn);
}

// From OpenSSL 3.2 a PKCS #1 v1.5 decryption returns a made-up message instead of an
// error when the padding is wrong ("implicit rejection"); this layer must report the
// fault, so the option is turned off whenever the running library has it, even if
// these headers predate it.
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
constexpr char kImplicitRejection[] = OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION;
#else
constexpr char kImplicitRejection[] = "implicit-rejection";
#endif

bool DisableImplicitRejection(EVP_PKEY_CTX* ctx) {
  if (OpenSSL_version_num() < 0x30200000L) return true;
  unsigned int off = 0;
  OSSL_PARAM params[] = {OSSL_PARAM_construct_uint(kImplicitRejection, &off), OSSL_PARAM_construct_end()};
  return EVP_PKEY_CTX_set_params(ctx, params) == 1;
}

}  // namespace

std::shared_ptr<const RsaKeyPair> RsaKeyPair::Generate(unsigned bits) {
  EVP_PKEY* pkey = EVP_RSA_gen(bits);
  if (pkey == nullptr) return nullptr;
  return std::make_shared<const RsaKeyPair>(pkey);
}

std::shared_ptr<const RsaKeyPair> RsaKeyPair::FromPem(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr);
  if (pkey == nullptr) return nullptr;
  auto key = std::make_shared<const RsaKeyPair>(pkey);
  if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) return nullptr;
  const unsigned bits = key->Bits();
  std::string modulus;
  uint32_t exponent = 0;
  if (bits < 512 || bits > 16384 || !key->PublicNumbers(&modulus, &exponent)) return nullptr;
  return key;
}

RsaKeyPair::RsaKeyPair(EVP_PKEY* pkey) : pkey_(pkey) {}

RsaKeyPair::~RsaKeyPair() { EVP_PKEY_free(pkey_); }

std::string RsaKeyPair::ToPem() const {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), pkey_, nullptr, nullptr, 0, nullptr, nullptr) != 1) return {};
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  std::string pem(data, static_cast<size_t>(len));
  OPENSSL_cleanse(data, static_cast<size_t>(len));
  return pem;
}

unsigned RsaKeyPair::Bits() const {
  const int bits = EVP_PKEY_get_bits(pkey_);
  return bits > 0 ? static_cast<unsigned>(bits) : 0;
}

bool RsaKeyPair::PublicNumbers(std::string* modulus, uint32_t* exponent) const {
  BnPtr n = GetBn(pkey_, OSSL_PKEY_PARAM_RSA_N);
  BnPtr e = GetBn(pkey_, OSSL_PKEY_PARAM_RSA_E);
  if (!n || !e || BN_num_bits(e.get()) > 32) return false;
  modulus->assign(ModulusBytes(), '\0');
  if (BN_bn2binpad(n.get(), reinterpret_cast<unsigned char*>(modulus->data()), static_cast<int>(modulus->size())) < 0) {
    return false;
  }
  *exponent = static_cast<uint32_t>(BN_get_word(e.get()));
  return true;
}

bool RsaKeyPair::DecryptPkcs1(const uint8_t* in, size_t len, std::string* out) const {
  out->clear();
  if (len != ModulusBytes()) return false;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey_, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 || !DisableImplicitRejection(ctx.get())) {
    return false;
  }
  std::vector<unsigned char> plain(len);
  size_t plain_len = plain.size();
  const bool ok = EVP_PKEY_decrypt(ctx.get(), plain.data(), &plain_len, in, len) == 1 && plain_len <= len;
  if (ok) out->assign(reinterpret_cast<const char*>(plain.data()), plain_len);
  OPENSSL_cleanse(plain.data(), plain.size());
  return ok;
}

}  // namespace platform::capi
