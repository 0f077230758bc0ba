// Symmetric session keys: which algorithms and key lengths this layer runs, the
// CryptDeriveKey rule that turns a hash value into key bytes, and whole-message
// encryption and decryption (RC4 from the start of its key stream; Triple-DES and AES
// in CBC mode with a zero IV and PKCS #5 padding). A SessionKey is immutable once
// made, so one object may serve several threads at once; it takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/capi/capi.h"

namespace platform::capi {

class SessionKey {
 public:
  // True for CALG_RC4, CALG_3DES, CALG_3DES_112 and CALG_AES_128/192/256.
  static bool IsSupported(ALG_ID alg);
  // Whether a key of that many bytes fits alg (RC4 5 to 16; the others their size).
  static bool IsValidKeyLength(ALG_ID alg, size_t bytes);
  // The key size CryptDeriveKey makes when the flags give none.
  static size_t DefaultKeyBytes(ALG_ID alg);
  // Key bytes from a hash value by CryptDeriveKey's rule: RC4 takes the first
  // key_bytes of the value; Triple-DES and AES take the first key_bytes of
  // MD5(64 x 0x36 XOR value) || MD5(64 x 0x5C XOR value). Empty when the value is
  // longer than 64 bytes or the result would be longer than the rule gives.
  static std::string DeriveKeyBytes(ALG_ID alg, std::string_view hash_value, size_t key_bytes);

  // alg supported and key.size() valid for it.
  SessionKey(ALG_ID alg, std::string key);
  SessionKey(const SessionKey&) = delete;
  SessionKey& operator=(const SessionKey&) = delete;
  ~SessionKey();

  ALG_ID alg() const { return alg_; }
  size_t KeyBits() const { return key_.size() * 8; }
  // 0 for the stream cipher.
  size_t BlockBytes() const;

  // The ciphertext size of len plaintext bytes (block ciphers add 1 to a block of
  // padding).
  size_t EncryptedSize(size_t len) const;
  // Writes EncryptedSize(len) bytes to out (which must not overlap in). len must not
  // exceed INT_MAX - 64. False only when the cipher library fails.
  bool Encrypt(const uint8_t* in, size_t len, uint8_t* out) const;
  // Writes the plaintext to out (room for len bytes, no overlap) and its size to
  // *out_len. False when a block cipher input is empty or not whole blocks, when the
  // padding is wrong, or when the cipher library fails.
  bool Decrypt(const uint8_t* in, size_t len, uint8_t* out, size_t* out_len) const;

 private:
  const ALG_ID alg_;
  std::string key_;
};

}  // namespace platform::capi
