// Result codes of the point-of-sale test client. Every operation of the library
// answers one of these; nothing throws.
#pragma once

namespace pos_client {

enum class Status {
  kOk,
  kBadPublicKeyBlob,  // not a PUBLICKEYBLOB of an RSA exchange key
  kKeyTooSmall,       // modulus too short to carry the session key with PKCS #1 padding
  kBadSessionKey,     // session key of the wrong length for its cipher
  kBadTStreamItem,    // a name or value that cannot be written as a TStream item
  kBadHex,            // not upper-case hex, two characters per byte
  kBadFrame,          // not a reply frame
  kRandomFailed,      // the random source failed or gave no usable bytes
  kCryptoFailed,      // an OpenSSL call failed
  kDecryptFailed,     // cipher text of a wrong length or with bad padding
};

inline const char* StatusText(Status status) {
  switch (status) {
    case Status::kOk: return "ok";
    case Status::kBadPublicKeyBlob: return "bad public key blob";
    case Status::kKeyTooSmall: return "server key too small for the session key";
    case Status::kBadSessionKey: return "bad session key length";
    case Status::kBadTStreamItem: return "bad TStream item";
    case Status::kBadHex: return "bad hex text";
    case Status::kBadFrame: return "bad reply frame";
    case Status::kRandomFailed: return "random source failed";
    case Status::kCryptoFailed: return "OpenSSL call failed";
    case Status::kDecryptFailed: return "decryption failed";
  }
  return "unknown";
}

}  // namespace pos_client
