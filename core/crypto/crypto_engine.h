// The process-wide cryptographic service: the persistent RSA key-exchange pair whose
// public half greets every client, four session keys derived at start from the
// program's own key material, random bytes for challenges, and encryption and
// decryption with the key blobs that clients send with each request.
//
// Every operation takes the engine's lock for its whole run (GetPublicKeyText takes a
// lock of the text's own). The engine logs while it holds its lock: lock order is
// engine, then logger.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/capi/capi.h"
#include "platform/sync/mutex.h"

// Upper-case hex texts, two characters per byte, high nibble first.
class CRequest {
 public:
  virtual ~CRequest() = default;
  // Each of '0'-'9' and 'A'-'F' gives its value; any other character counts as 0.
  static uint8_t HexPairToByte(char high, char low);
  // False for a text of odd length or one that needs more than capacity bytes;
  // else the bytes in buffer and their number in *count.
  static bool TranslateHexStringToByteArray(size_t* count, uint8_t* buffer, size_t capacity, const std::string& hex);
  static std::string BytesToHex(const uint8_t* bytes, size_t count);
  static std::string BytesToHex(const std::string& bytes);
  // True when every character is '0'-'9' or 'A'-'F' and the length is even.
  static bool IsHexText(const std::string& hex);
};

class CCryptoEngine {
 public:
  CCryptoEngine();
  CCryptoEngine(const CCryptoEngine&) = delete;
  CCryptoEngine& operator=(const CCryptoEngine&) = delete;
  virtual ~CCryptoEngine();

  // Acquires (or creates) the key container, gets (or generates, 2048 bits) the
  // exchange key pair, sets the public key text and derives the four session keys;
  // every step is logged. The first start also draws the secret of the substitute
  // keys (DecryptHexWithKeyBlob). On false the caller runs Stop.
  bool Start() EXCLUDES(m_Lock);
  bool StartFourthKey() EXCLUDES(m_Lock);
  // Destroys every key and hash, releases the container (which stays on disk) and
  // clears the public key text. Always true.
  bool Stop() EXCLUDES(m_Lock);
  void DestroyFourthKey() EXCLUDES(m_Lock);

  // DC1 + hex of the exchange key's PUBLICKEYBLOB + DC2; empty while stopped.
  std::string GetPublicKeyText() const;

  bool GenerateRandom(size_t count, uint8_t* buffer) EXCLUDES(m_Lock);
  // Encrypt len bytes in place with session key 2 (login), 3 (configuration
  // service) or 4 (login with the "M" marker); each call restarts the key stream.
  bool EncryptRc4A(uint8_t* buffer, uint32_t* len, uint32_t buffer_len) EXCLUDES(m_Lock);
  bool EncryptRc4B(uint8_t* buffer, uint32_t* len, uint32_t buffer_len) EXCLUDES(m_Lock);
  bool EncryptRc4C(uint8_t* buffer, uint32_t* len, uint32_t buffer_len) EXCLUDES(m_Lock);

  // Key blobs are imported with implicit rejection: a blob whose header, algorithms
  // or size are wrong cannot be imported, but one whose RSA part does not decrypt to
  // a key of its algorithm's full length gives a substitute key, the same for the same
  // blob while the engine lives, so that such a blob fails exactly as one carrying a
  // wrong key does and a peer learns nothing of the padding.
  //
  // The hex text decrypted with the key imported from the blob, as a NUL-terminated
  // text: out ends before the first NUL of the plain bytes. False for a blob that
  // cannot be imported (no log line), an empty, odd or non-hex text, or a failed
  // decryption.
  bool DecryptHexWithKeyBlob(const uint8_t* blob, size_t blob_len, const std::string& hex, std::string* out)
      EXCLUDES(m_Lock);
  // The text encrypted with the key imported from the blob (the same key the
  // decryption takes), as hex.
  bool EncryptWithKeyBlobToHex(const uint8_t* blob, size_t blob_len, std::string* out_hex, const std::string& text)
      EXCLUDES(m_Lock);

  // Session key 1 (Triple-DES), which nothing of the server calls. DecryptFromHex's
  // out ends before the first NUL of the plain bytes, as DecryptHexWithKeyBlob's.
  bool EncryptToHex(const std::string& text, std::string* out_hex) EXCLUDES(m_Lock);
  bool DecryptFromHex(const std::string& hex, std::string* out) EXCLUDES(m_Lock);

  // Decrypts a hex data block (whole 8-byte blocks, at most 100 bytes) with two-key
  // Triple-DES CBC and a zero IV under the DUKPT data key of the KSN (20 hex
  // characters); out receives every decrypted byte. bdk is 16 bytes, or null for the
  // program's own base derivation key. False with *error 100255 for a KSN text that
  // is not 20 hex characters or a counter that is 0 or has more than 10 one-bits, or
  // 100254 for a data text that is empty, longer than 200 characters, not hex or not
  // whole blocks. Needs no Start. Defined in dukpt.cpp.
  bool DukptDecrypt(const std::string& data_hex, const std::string& ksn_hex, std::string* out, int* error,
                    const uint8_t* bdk = nullptr) EXCLUDES(m_Lock);

 private:
  bool EncryptRc4(platform::capi::HCRYPTKEY key, uint8_t* buffer, uint32_t* len, uint32_t buffer_len)
      REQUIRES(m_Lock);
  // The key of a client's blob, with implicit rejection.
  bool ImportKeyBlobLocked(const uint8_t* blob, size_t blob_len, platform::capi::HCRYPTKEY* key) REQUIRES(m_Lock);
  bool DeriveFourthKeyLocked() REQUIRES(m_Lock);
  // The general start failure line, with the last error's code and text.
  void LogStartFailure(bool second_container = false);

  mutable platform::Mutex m_Lock;
  // The key of the substitute keys.
  std::array<uint8_t, 32> m_RejectionSecret GUARDED_BY(m_Lock){};
  bool m_HasRejectionSecret GUARDED_BY(m_Lock) = false;
};

// The one engine of the process.
extern CCryptoEngine g_CryptoEngine;
// The greeting's public key text; read it through CCryptoEngine::GetPublicKeyText.
extern std::string g_PublicKeyText;
