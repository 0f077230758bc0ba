// Key blobs of the client protocol, in CryptoAPI's little-endian layout.
//
// ServerPublicKey reads the server's PUBLICKEYBLOB (from the greeting):
//   06 02 00 00 | 00 A4 00 00 | "RSA1" | bit length LE32 | exponent LE32 |
//   modulus, bit length / 8 bytes, least significant byte first.
// It is immutable once read and may be shared between threads (no lock).
//
// BuildSimpleBlob wraps a session key for that server:
//   01 02 00 00 | algorithm id LE32 | 00 A4 00 00 |
//   RSA PKCS #1 v1.5 encryption of the key bytes, byte-reversed, modulus length.
// The padding bytes come from the caller's random source, so a fixed source
// gives a fixed blob.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <openssl/types.h>

#include "tools/pos-client/random.h"
#include "tools/pos-client/session_cipher.h"
#include "tools/pos-client/status.h"

namespace pos_client {

class ServerPublicKey {
 public:
  ServerPublicKey() = default;  // unset: BuildSimpleBlob refuses it

  // Reads a PUBLICKEYBLOB. Refused (kBadPublicKeyBlob, *out unchanged): a wrong
  // header, algorithm or magic, a bit length that is zero, not a multiple of 8
  // or above 16384, a size other than 20 + bit length / 8, a modulus whose top
  // byte is zero or which is even, an exponent that is even or below 3.
  static Status FromBlob(std::string_view blob, ServerPublicKey* out);
  // The same from the blob's hex text (kBadHex when that is not upper-case hex).
  static Status FromHex(std::string_view hex, ServerPublicKey* out);

  bool IsSet() const { return key_ != nullptr; }
  uint32_t bit_length() const { return bit_length_; }
  uint32_t exponent() const { return exponent_; }
  size_t modulus_size() const { return bit_length_ / 8; }
  EVP_PKEY* pkey() const { return key_.get(); }

 private:
  std::shared_ptr<EVP_PKEY> key_;
  uint32_t bit_length_ = 0;
  uint32_t exponent_ = 0;
};

// The SIMPLEBLOB of the session key for the server key. kKeyTooSmall when the
// modulus is shorter than the key plus 11 bytes of padding; kRandomFailed when
// the source fails or keeps giving zero bytes.
Status BuildSimpleBlob(const ServerPublicKey& server, const SessionKey& session,
                       const RandomBytes& random, std::string* blob);

}  // namespace pos_client
