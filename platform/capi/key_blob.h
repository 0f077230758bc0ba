// The CryptoAPI key blob layouts this layer speaks, all little-endian:
//   PUBLICKEYBLOB: 06 02 00 00, CALG_RSA_KEYX, "RSA1", bit length, public exponent,
//     modulus (ModulusBytes() bytes, least significant first).
//   SIMPLEBLOB: 01 02 00 00, the session key's ALG_ID, CALG_RSA_KEYX, then the RSA
//     PKCS #1 v1.5 ciphertext of the key bytes, least significant byte first.
// Stateless functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/capi/capi.h"
#include "platform/capi/rsa_key.h"

namespace platform::capi {

inline constexpr size_t kBlobHeaderBytes = 8;
inline constexpr size_t kRsaPubKeyBytes = 12;
inline constexpr size_t kSimpleBlobHeaderBytes = 12;

// The PUBLICKEYBLOB of key; empty on failure.
std::string EncodePublicKeyBlob(const RsaKeyPair& key);

// Checks a SIMPLEBLOB and decrypts its session key with exchange. Returns 0 and sets
// *alg and *key_bytes, or returns the error: NTE_BAD_ALGID for a session algorithm this
// layer does not run, NTE_BAD_DATA for anything else that is wrong (header, size,
// encrypting algorithm, padding, key length for the algorithm).
DWORD DecodeSimpleBlob(const RsaKeyPair& exchange, const uint8_t* blob, size_t len, ALG_ID* alg,
                       std::string* key_bytes);

}  // namespace platform::capi
