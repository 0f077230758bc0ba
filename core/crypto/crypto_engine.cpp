#include "core/crypto/crypto_engine.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "core/log/logger.h"
#include "core/vocab/control_chars.h"
#include "core/vocab/text_helpers.h"
#include "platform/text/format.h"

using namespace platform::capi;

namespace {

// Key material is kept only masked in the program and unmasked at Start.
template <size_t N>
struct MaskedMaterial {
  std::array<uint8_t, N - 1> bytes{};
  consteval explicit MaskedMaterial(const char (&text)[N]) {
    for (size_t i = 0; i + 1 < N; ++i) bytes[i] = static_cast<uint8_t>(text[i]) ^ Mask(i);
  }
  static constexpr uint8_t Mask(size_t i) { return static_cast<uint8_t>(0xA7 + 13 * i); }
  std::string Unmask() const {
    std::string out(bytes.size(), '\0');
    for (size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<char>(bytes[i] ^ Mask(i));
    return out;
  }
};

constexpr MaskedMaterial kMaterial1("KVR-HOST-SESSION-1:4f1c9a2e7b3d5086");
constexpr MaskedMaterial kMaterial2("KVR-CLIENT-LOGIN-A:93b1e5d07c2a4f68");
constexpr MaskedMaterial kMaterial3("RVCS-CHALLENGE-B:5a7e2c9f01d34b86");
constexpr MaskedMaterial kMaterial4("KVR-CLIENT-LOGIN-M:c4d8a61f3e9b2075");

constexpr char kContainer[] = "CorvaneElavonIP_Host{7C31E5A2-9B04-4F6D-8E21-3D5A90C4B7F1}";
constexpr DWORD kRc4_128 = 128u << 16;
constexpr DWORD k3Des192 = 192u << 16;
// A container made new gets an exchange pair of 2048 bits; one that already holds a
// pair keeps it, whatever its length.
constexpr DWORD kNewExchangeKeyFlags = 2048u << 16;
constexpr size_t kWorkBuffer = 32768;

// Engine state: one engine per process; guarded by the engine's lock (its private
// m_Lock, which a file-scope annotation cannot name; every member that touches the
// state takes it or, for the private helpers, requires it).
HCRYPTPROV g_Prov = 0;
HCRYPTKEY g_ExchangeKey = 0;
HCRYPTKEY g_Key[5] = {0, 0, 0, 0, 0};   // session keys 1 to 4
HCRYPTHASH g_Hash[5] = {0, 0, 0, 0, 0};  // their hashes

platform::Mutex g_PublicKeyTextLock;

CLogger& Log() { return GetLogger(); }

std::string ErrorText(DWORD code) { return SystemErrorText(code); }

void LogFailure(const char* step) {
  const DWORD code = platform::GetLastError();
  Log().LogLine("Failed ('%s') with [0x%x] %s", step, code, ErrorText(code).c_str());
}

// After a failed call that creates the key container or writes its key file
// (errno cleared before it): which folder, and the system's reason.
void LogContainerWriteFailure() {
  const int err = errno;
  const std::string reason = err != 0 ? platform::ErrnoText(err) : ErrorText(platform::GetLastError());
  Log().LogCause("The key container %s/%s cannot be written: %s", ContainerRoot().c_str(), kContainer, reason.c_str());
}

void DestroyKey(HCRYPTKEY* key) {
  if (*key) CryptDestroyKey(*key);
  *key = 0;
}
void DestroyHash(HCRYPTHASH* hash) {
  if (*hash) CryptDestroyHash(*hash);
  *hash = 0;
}

bool HashMaterial(HCRYPTHASH hash, const std::string& material) {
  return CryptHashData(hash, reinterpret_cast<const BYTE*>(material.data()), static_cast<DWORD>(material.size()), 0);
}

// A decrypted text ends at its first NUL, as a C string of the plain bytes would.
std::string TextBeforeNul(const uint8_t* bytes, size_t count) {
  const uint8_t* end = std::find(bytes, bytes + count, static_cast<uint8_t>(0));
  return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(end - bytes));
}

void SetPublicKeyText(std::string text) {
  platform::MutexLock lock(g_PublicKeyTextLock);
  g_PublicKeyText = std::move(text);
}

}  // namespace

CCryptoEngine g_CryptoEngine;
std::string g_PublicKeyText GUARDED_BY(g_PublicKeyTextLock);

// ---- CRequest ----

uint8_t CRequest::HexPairToByte(char high, char low) {
  auto nibble = [](char c) -> uint8_t {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    return 0;
  };
  return static_cast<uint8_t>((nibble(high) << 4) | nibble(low));
}

bool CRequest::TranslateHexStringToByteArray(size_t* count, uint8_t* buffer, size_t capacity, const std::string& hex) {
  if (hex.size() % 2 != 0 || hex.size() / 2 > capacity) return false;
  for (size_t i = 0; i < hex.size(); i += 2) buffer[i / 2] = HexPairToByte(hex[i], hex[i + 1]);
  *count = hex.size() / 2;
  return true;
}

std::string CRequest::BytesToHex(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

std::string CRequest::BytesToHex(const std::string& bytes) {
  return BytesToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool CRequest::IsHexText(const std::string& hex) {
  if (hex.size() % 2 != 0) return false;
  for (char c : hex) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// ---- CCryptoEngine ----

CCryptoEngine::CCryptoEngine() = default;

CCryptoEngine::~CCryptoEngine() {
  volatile uint8_t* secret = m_RejectionSecret.data();
  for (size_t i = 0; i < m_RejectionSecret.size(); ++i) secret[i] = 0;
}

bool CCryptoEngine::ImportKeyBlobLocked(const uint8_t* blob, size_t blob_len, HCRYPTKEY* key) {
  *key = 0;
  if (!g_Prov || !m_HasRejectionSecret || blob_len > 0xFFFFFFFFu) return false;
  return ImportSimpleBlobImplicitRejection(g_Prov, blob, static_cast<DWORD>(blob_len), m_RejectionSecret.data(),
                                           static_cast<DWORD>(m_RejectionSecret.size()), key);
}

void CCryptoEngine::LogStartFailure(bool second_container) {
  const DWORD code = platform::GetLastError();
  if (second_container) {
    Log().LogLine("Error %x  %s Attempting to Start 128 bit Crypto2", code, ErrorText(code).c_str());
  } else {
    Log().LogLine("Error %x  %s Attempting to Start 128 bit Crypto", code, ErrorText(code).c_str());
  }
}

bool CCryptoEngine::Start() {
  platform::MutexLock lock(m_Lock);

  // 1. The key container.
  Log().LogLine("Trying ::CtAcCt('A')");
  if (CryptAcquireContext(&g_Prov, kContainer, MS_ENH_RSA_AES_PROV, PROV_RSA_AES, 0)) {
    Log().LogLine("Success on Trying ::CtAcCt('A')");
  } else {
    LogFailure("A");
    const DWORD code = platform::GetLastError();
    if (code == NTE_BAD_KEYSET || code == NTE_BAD_KEY_STATE) {
      Log().LogLine("NTE_BAD_KEYSET and NTE_BAD_KEY_STATE handler");
      Log().LogLine("Trying ::CryptAcquireContext('B')");
      errno = 0;
      if (CryptAcquireContext(&g_Prov, kContainer, MS_ENH_RSA_AES_PROV, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
        Log().LogLine("Success on Trying ::CryptAcquireContext('B')");
      } else {
        LogContainerWriteFailure();
        LogFailure("B");
        Log().LogLine("Trying ::CryptAcquireContext('C')");
        HCRYPTPROV deleted = 0;
        if (!CryptAcquireContext(&deleted, kContainer, MS_ENH_RSA_AES_PROV, PROV_RSA_AES, CRYPT_DELETEKEYSET)) {
          LogFailure("C");
          LogStartFailure();
          Log().LogLine("Unable to Delete Keyset...");
          return false;
        }
        Log().LogLine("Success on Trying ::CryptAcquireContext('C')");
        Log().LogLine("Deleted Keyset ...");
        Log().LogLine("Trying ::CryptAcquireContext('D')");
        if (!CryptAcquireContext(&g_Prov, kContainer, MS_ENH_RSA_AES_PROV, PROV_RSA_AES, CRYPT_NEWKEYSET)) {
          LogFailure("D");
          LogStartFailure(true);
          return false;
        }
        Log().LogLine("Success on Trying ::CryptAcquireContext('D')");
      }
    } else {
      Log().LogLine("Not Handled When Failure is not NTE_BAD_KEYSET and is not NTE_BAD_KEY_STATE");
    }
  }

  // 2. The exchange key pair.
  Log().LogLine("Trying ::CtGtUKy('GA')");
  if (CryptGetUserKey(g_Prov, AT_KEYEXCHANGE, &g_ExchangeKey)) {
    Log().LogLine("Success on Trying CtGtUKy('GA')");
  } else {
    LogFailure("GA");
    if (platform::GetLastError() == NTE_NO_KEY) {
      Log().LogLine("Failure is NTE_NO_KEY");
      Log().LogLine("Trying ::CryptGenKey('GB')");
      errno = 0;
      if (!CryptGenKey(g_Prov, AT_KEYEXCHANGE, kNewExchangeKeyFlags, &g_ExchangeKey)) {
        LogContainerWriteFailure();
        LogFailure("GB");
        LogStartFailure();
        return false;
      }
      Log().LogLine("Success on Trying CryptGenKey('GB')");
    } else {
      Log().LogLine("Not Handled When Failure is not NTE_NO_KEY");
    }
  }

  // 3. The public key text.
  DWORD blob_len = 0;
  if (!CryptExportKey(g_ExchangeKey, 0, PUBLICKEYBLOB, 0, nullptr, &blob_len)) {
    LogStartFailure();
    return false;
  }
  std::vector<BYTE> blob(blob_len);
  if (!CryptExportKey(g_ExchangeKey, 0, PUBLICKEYBLOB, 0, blob.data(), &blob_len)) {
    LogStartFailure();
    return false;
  }
  SetPublicKeyText(kDC1 + CRequest::BytesToHex(blob.data(), blob_len) + kDC2);

  // The secret behind the substitute keys of unsound key blobs: made once, at the
  // first start, and kept for the engine's life.
  if (!m_HasRejectionSecret) {
    if (!CryptGenRandom(g_Prov, static_cast<DWORD>(m_RejectionSecret.size()), m_RejectionSecret.data())) {
      LogStartFailure();
      return false;
    }
    m_HasRejectionSecret = true;
  }

  // 4.-7. Session keys 1 to 3.
  for (int i = 1; i <= 3; ++i) {
    if (!CryptCreateHash(g_Prov, CALG_MD5, 0, 0, &g_Hash[i])) {
      LogStartFailure();
      return false;
    }
  }
  if (!HashMaterial(g_Hash[1], kMaterial1.Unmask()) || !HashMaterial(g_Hash[2], kMaterial2.Unmask()) ||
      !HashMaterial(g_Hash[3], kMaterial3.Unmask())) {
    LogStartFailure();
    return false;
  }
  if (!CryptDeriveKey(g_Prov, CALG_3DES, g_Hash[1], k3Des192, &g_Key[1]) ||
      !CryptDeriveKey(g_Prov, CALG_RC4, g_Hash[2], kRc4_128, &g_Key[2]) ||
      !CryptDeriveKey(g_Prov, CALG_RC4, g_Hash[3], kRc4_128, &g_Key[3])) {
    LogStartFailure();
    return false;
  }
  for (int i = 1; i <= 3; ++i) DestroyHash(&g_Hash[i]);

  // 8. Session key 4.
  return DeriveFourthKeyLocked();
}

bool CCryptoEngine::DeriveFourthKeyLocked() {
  if (!CryptCreateHash(g_Prov, CALG_MD5, 0, 0, &g_Hash[4]) || !HashMaterial(g_Hash[4], kMaterial4.Unmask()) ||
      !CryptDeriveKey(g_Prov, CALG_RC4, g_Hash[4], kRc4_128, &g_Key[4])) {
    LogStartFailure();
    return false;
  }
  DestroyHash(&g_Hash[4]);
  return true;
}

bool CCryptoEngine::StartFourthKey() {
  platform::MutexLock lock(m_Lock);
  DestroyKey(&g_Key[4]);
  DestroyHash(&g_Hash[4]);
  return DeriveFourthKeyLocked();
}

void CCryptoEngine::DestroyFourthKey() {
  platform::MutexLock lock(m_Lock);
  DestroyKey(&g_Key[4]);
  DestroyHash(&g_Hash[4]);
}

bool CCryptoEngine::Stop() {
  platform::MutexLock lock(m_Lock);
  for (int i = 1; i <= 4; ++i) {
    DestroyKey(&g_Key[i]);
    DestroyHash(&g_Hash[i]);
  }
  DestroyKey(&g_ExchangeKey);
  if (g_Prov) CryptReleaseContext(g_Prov, 0);
  g_Prov = 0;
  SetPublicKeyText(std::string());
  return true;
}

std::string CCryptoEngine::GetPublicKeyText() const {
  platform::MutexLock lock(g_PublicKeyTextLock);
  return g_PublicKeyText;
}

bool CCryptoEngine::GenerateRandom(size_t count, uint8_t* buffer) {
  platform::MutexLock lock(m_Lock);
  if (!g_Prov || count > 0xFFFFFFFFu) return false;
  return CryptGenRandom(g_Prov, static_cast<DWORD>(count), buffer);
}

bool CCryptoEngine::EncryptRc4(HCRYPTKEY key, uint8_t* buffer, uint32_t* len, uint32_t buffer_len) {
  if (!key) return false;
  DWORD data_len = *len;
  if (!CryptEncrypt(key, 0, true, 0, buffer, &data_len, buffer_len)) return false;
  *len = data_len;
  return true;
}

bool CCryptoEngine::EncryptRc4A(uint8_t* buffer, uint32_t* len, uint32_t buffer_len) {
  platform::MutexLock lock(m_Lock);
  return EncryptRc4(g_Key[2], buffer, len, buffer_len);
}

bool CCryptoEngine::EncryptRc4B(uint8_t* buffer, uint32_t* len, uint32_t buffer_len) {
  platform::MutexLock lock(m_Lock);
  return EncryptRc4(g_Key[3], buffer, len, buffer_len);
}

bool CCryptoEngine::EncryptRc4C(uint8_t* buffer, uint32_t* len, uint32_t buffer_len) {
  platform::MutexLock lock(m_Lock);
  return EncryptRc4(g_Key[4], buffer, len, buffer_len);
}

bool CCryptoEngine::DecryptHexWithKeyBlob(const uint8_t* blob, size_t blob_len, const std::string& hex,
                                          std::string* out) {
  platform::MutexLock lock(m_Lock);
  HCRYPTKEY key = 0;
  if (!ImportKeyBlobLocked(blob, blob_len, &key)) return false;
  // Only upper-case hex of even length is a payload: any other text would decode to
  // bytes the client never sent.
  if (hex.empty() || !CRequest::IsHexText(hex)) {
    DestroyKey(&key);
    return false;
  }
  std::vector<uint8_t> buffer(hex.size() / 2 + 5);
  size_t count = 0;
  CRequest::TranslateHexStringToByteArray(&count, buffer.data(), buffer.size(), hex);
  DWORD data_len = static_cast<DWORD>(count);
  if (!CryptDecrypt(key, 0, true, 0, buffer.data(), &data_len)) {
    Log().LogLine("Error %x during CryptDecrypt!", platform::GetLastError());
    DestroyKey(&key);
    return false;
  }
  *out = TextBeforeNul(buffer.data(), data_len);
  DestroyKey(&key);
  return true;
}

bool CCryptoEngine::EncryptWithKeyBlobToHex(const uint8_t* blob, size_t blob_len, std::string* out_hex,
                                            const std::string& text) {
  platform::MutexLock lock(m_Lock);
  HCRYPTKEY key = 0;
  if (text.size() > 0x7FFFFFF0u || !ImportKeyBlobLocked(blob, blob_len, &key)) return false;
  const DWORD length = static_cast<DWORD>(text.size());
  std::vector<uint8_t> buffer(text.begin(), text.end());
  buffer.resize(length + 8);
  DWORD data_len = length;
  bool ok = CryptEncrypt(key, 0, true, 0, buffer.data(), &data_len, static_cast<DWORD>(buffer.size()));
  if (!ok && platform::GetLastError() == ERROR_MORE_DATA) {
    const DWORD needed = data_len;
    buffer.assign(text.begin(), text.end());
    buffer.resize(needed > length ? needed : length);
    data_len = length;
    ok = CryptEncrypt(key, 0, true, 0, buffer.data(), &data_len, static_cast<DWORD>(buffer.size()));
  }
  if (!ok) {
    Log().LogLine("%s", ErrorText(platform::GetLastError()).c_str());
    DestroyKey(&key);
    return false;
  }
  *out_hex = CRequest::BytesToHex(buffer.data(), data_len);
  DestroyKey(&key);
  return true;
}

bool CCryptoEngine::EncryptToHex(const std::string& text, std::string* out_hex) {
  platform::MutexLock lock(m_Lock);
  if (!g_Key[1] || text.size() > kWorkBuffer) return false;
  std::vector<uint8_t> buffer(kWorkBuffer);
  std::copy(text.begin(), text.end(), buffer.begin());
  DWORD data_len = static_cast<DWORD>(text.size());
  if (!CryptEncrypt(g_Key[1], 0, true, 0, buffer.data(), &data_len, kWorkBuffer)) {
    Log().LogLine("Error %x during CryptEncrypt!", platform::GetLastError());
    return false;
  }
  *out_hex = CRequest::BytesToHex(buffer.data(), data_len);
  return true;
}

bool CCryptoEngine::DecryptFromHex(const std::string& hex, std::string* out) {
  platform::MutexLock lock(m_Lock);
  out->clear();
  if (!g_Key[1]) return false;
  std::vector<uint8_t> buffer(kWorkBuffer);
  size_t count = 0;
  if (hex.size() > 65534 || !CRequest::TranslateHexStringToByteArray(&count, buffer.data(), buffer.size(), hex)) {
    Log().LogLine("Error during CRequest::TranslateHexStringToByteArray!");
    return false;
  }
  DWORD data_len = static_cast<DWORD>(count);
  if (!CryptDecrypt(g_Key[1], 0, true, 0, buffer.data(), &data_len)) {
    Log().LogLine("Error %x during CryptDecrypt!", platform::GetLastError());
    return false;
  }
  *out = TextBeforeNul(buffer.data(), data_len);
  return true;
}
