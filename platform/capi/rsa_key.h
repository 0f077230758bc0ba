// An RSA key pair held in memory: generation, the PEM text it is stored as, its public
// numbers, and PKCS #1 v1.5 decryption, either with a strict padding check or with
// implicit rejection (a substitute message instead of an error). Immutable once
// made; shared between handles and threads through std::shared_ptr<const RsaKeyPair>
// (OpenSSL allows concurrent use of one key for decryption). Takes no lock.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform::capi {

class RsaKeyPair {
 public:
  // A new pair of that many bits with public exponent 65537; null on failure.
  static std::shared_ptr<const RsaKeyPair> Generate(unsigned bits);
  // The pair in an unencrypted PEM private key text; null unless the text holds an
  // RSA private key of 512 to 16384 bits whose public exponent fits 32 bits.
  static std::shared_ptr<const RsaKeyPair> FromPem(std::string_view pem);

  explicit RsaKeyPair(EVP_PKEY* pkey);  // takes ownership
  RsaKeyPair(const RsaKeyPair&) = delete;
  RsaKeyPair& operator=(const RsaKeyPair&) = delete;
  ~RsaKeyPair();

  // The private key as PKCS #8 PEM text; empty on failure.
  std::string ToPem() const;
  unsigned Bits() const;
  size_t ModulusBytes() const { return (Bits() + 7) / 8; }
  // The modulus, big-endian in exactly ModulusBytes() bytes, and the public exponent.
  bool PublicNumbers(std::string* modulus, uint32_t* exponent) const;
  // Decrypts one block of exactly ModulusBytes() bytes (big-endian) with PKCS #1
  // v1.5 padding. A padding fault is reported as false, never as a made-up result.
  bool DecryptPkcs1(const uint8_t* in, size_t len, std::string* out) const;
  // Decrypts one block of exactly ModulusBytes() bytes (big-endian) and takes from it a
  // PKCS #1 v1.5 type 2 message of exactly message_len bytes, with implicit rejection:
  // when the block does not decrypt (it is not below the modulus), its padding is
  // wrong or its message has another length, out receives the message_len bytes of
  // substitute instead. Which of the two out receives is chosen with masks, not with
  // a branch on the decrypted bytes, so the call takes the same path either way.
  // False only for a len other than ModulusBytes() or a library that cannot set up
  // the operation; out is then untouched.
  bool DecryptPkcs1OrSubstitute(const uint8_t* in, size_t len, const uint8_t* substitute, size_t message_len,
                                uint8_t* out) const;

 private:
  EVP_PKEY* const pkey_;
};

}  // namespace platform::capi
