// The challenge cipher the configuration service shares with the server: RC4 whose
// 16-byte key is the MD5 digest of the shared key material, the key stream
// restarted for every message. Written here on libcrypto's MD5 and an RC4 of our
// own (OpenSSL 3 keeps RC4 only in its legacy provider), not on the server's
// crypto engine, so that a fault on one side is not mirrored on the other.
// Stateless functions; no lock.
#pragma once

#include <string>
#include <string_view>

namespace rvcs_sim {

// The key material the service shares with the server.
inline constexpr char kChallengeMaterial[] = "RVCS-CHALLENGE-B:5a7e2c9f01d34b86";

// The RC4 key stream of a key of 1 to 256 bytes XORed onto data, from the stream's
// first byte. False for a key outside that range.
bool Rc4Apply(std::string_view key, std::string_view data, std::string* out);

// MD5 of the material: the RC4 key.
std::string ChallengeKey(std::string_view material = kChallengeMaterial);

// The bytes encrypted under ChallengeKey(material).
std::string EncryptChallenge(std::string_view bytes, std::string_view material = kChallengeMaterial);

// Upper-case hex (lower-case when asked, for fault answers).
std::string ToHex(std::string_view bytes, bool lower_case = false);
// Strict upper-case hex: false (bytes emptied) for an odd length or any other
// character.
bool FromHex(std::string_view hex, std::string* bytes);

}  // namespace rvcs_sim
