// Session ciphers of the client protocol. A request's payload and the replies
// to it are encrypted with the session key that the request's SIMPLEBLOB
// carries:
//   RC4  (algorithm id 0x6801, 16-byte key): the plain key stream from its start,
//        restarted for every message;
//   3DES (algorithm id 0x6603, 24-byte key): CBC with a zero IV and PKCS #5
//        padding, each message padded on its own.
// Stateless functions over the key bytes; no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/pos-client/random.h"
#include "tools/pos-client/status.h"

namespace pos_client {

enum class Cipher { kRc4, kTripleDes };

struct SessionKey {
  Cipher cipher = Cipher::kRc4;
  std::string key;  // raw key bytes, KeyLength(cipher) of them
};

uint32_t AlgorithmId(Cipher cipher);  // 0x6801 or 0x6603
size_t KeyLength(Cipher cipher);      // 16 or 24

// Draws a fresh key. 3DES keys get odd parity in every byte, as a CryptoAPI
// provider generates them.
Status MakeSessionKey(Cipher cipher, const RandomBytes& random, SessionKey* out);

// One complete message each way. Decrypt refuses 3DES text whose length is not
// a positive multiple of 8 or whose padding is wrong (kDecryptFailed). On a
// failure the output is left unchanged.
Status Encrypt(const SessionKey& session, std::string_view plain, std::string* cipher_text);
Status Decrypt(const SessionKey& session, std::string_view cipher_text, std::string* plain);

// The RC4 key stream of a key of 1 to 256 bytes XORed onto data, from the
// stream's first byte. False for a key outside that range. OpenSSL 3 keeps RC4
// only in its legacy provider, so the cipher is written here.
bool Rc4Apply(std::string_view key, std::string_view data, std::string* out);

}  // namespace pos_client
