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
#include <string_view>

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

// The length of the substitute key HMAC-SHA256 gives.
inline constexpr size_t kSubstituteKeyBytes = 32;

// Checks a SIMPLEBLOB's header and size as DecodeSimpleBlob does (the same errors),
// then takes its session key with implicit rejection: the key must be of the
// algorithm's full length (SessionKey::DefaultKeyBytes: RC4 16, 3DES 24, ...); when the
// RSA part does not decrypt to a PKCS #1 v1.5 block carrying such a key, *key_bytes
// gets that many bytes of HMAC-SHA256(secret, the whole blob) instead. The same blob
// and secret always give the same key, and both outcomes take the same path, so
// neither the result nor its cost tells a caller whether the padding was sound.
// NTE_FAIL when the library fails for want of resources.
DWORD DecodeSimpleBlobImplicitRejection(const RsaKeyPair& exchange, const uint8_t* blob, size_t len,
                                        std::string_view secret, ALG_ID* alg, std::string* key_bytes);

}  // namespace platform::capi
