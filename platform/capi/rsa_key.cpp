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

#include <algorithm>
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
// error when the padding is wrong ("implicit rejection"); DecryptPkcs1 must report the
// fault, so the option is turned off whenever the running library has it, even if
// these headers predate it. DecryptPkcs1OrSubstitute does its own implicit rejection
// over the raw RSA operation, the same with every library version.
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

// Masks for choices that must not branch on secret bytes: all ones or all zeros.
using Mask = size_t;
constexpr unsigned kMaskBits = sizeof(Mask) * 8;

Mask MaskFromTopBit(size_t a) { return static_cast<Mask>(0) - (a >> (kMaskBits - 1)); }
Mask MaskIsZero(size_t a) { return MaskFromTopBit(~a & (a - 1)); }
Mask MaskEqual(size_t a, size_t b) { return MaskIsZero(a ^ b); }
// a < b for values below 2^(kMaskBits - 1).
Mask MaskLess(size_t a, size_t b) { return MaskFromTopBit(a - b); }
uint8_t Select(Mask mask, uint8_t yes, uint8_t no) {
  return static_cast<uint8_t>((mask & yes) | (~mask & no));
}
size_t Select(Mask mask, size_t yes, size_t no) { return (mask & yes) | (~mask & no); }

// All ones when em (k bytes) is 00 02, at least 8 non-zero bytes, 00 and a message of
// exactly message_len bytes. Reads every byte whatever it finds.
Mask Pkcs1Type2Mask(const uint8_t* em, size_t k, size_t message_len) {
  Mask good = MaskIsZero(em[0]) & MaskEqual(em[1], 2);
  Mask looking = ~static_cast<Mask>(0);
  size_t zero_at = 0;
  for (size_t i = 2; i < k; ++i) {
    const Mask is_zero = MaskIsZero(em[i]);
    zero_at = Select(looking & is_zero, i, zero_at);
    looking &= ~is_zero;
  }
  good &= ~looking;                  // a separator was found
  good &= ~MaskLess(zero_at, 2 + 8);  // after at least 8 padding bytes
  good &= MaskEqual(k - 1 - zero_at, message_len);
  return good;
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

bool RsaKeyPair::DecryptPkcs1OrSubstitute(const uint8_t* in, size_t len, const uint8_t* substitute,
                                          size_t message_len, uint8_t* out) const {
  const size_t k = ModulusBytes();
  if (len != k || k < 11) return false;
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey_, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1) {
    return false;
  }
  // The raw operation fails only for a block that is not below the modulus, which
  // anyone holding the public key can see; such a block gets the substitute.
  std::vector<uint8_t> em(k, 0);
  size_t em_len = k;
  const bool decrypted = EVP_PKEY_decrypt(ctx.get(), em.data(), &em_len, in, len) == 1 && em_len == k;
  if (!decrypted) std::fill(em.begin(), em.end(), 0);  // a block of zeros is never good
  const Mask good = Pkcs1Type2Mask(em.data(), k, message_len);
  // With a good mask the message is the block's last message_len bytes; a length
  // the block cannot hold is never good.
  const size_t start = message_len <= k ? k - message_len : 0;
  for (size_t i = 0; i < message_len; ++i) {
    const uint8_t real = start + i < k ? em[start + i] : 0;
    out[i] = Select(good, real, substitute[i]);
  }
  OPENSSL_cleanse(em.data(), em.size());
  return true;
}

}  // namespace platform::capi
