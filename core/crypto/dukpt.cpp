#include "core/crypto/dukpt.h"

#include <string.h>

#include <array>
#include <cstring>

#include "core/crypto/crypto_engine.h"
#include "core/crypto/des.h"
#include "platform/sync/mutex.h"

namespace {

constexpr uint8_t kKeyMask[16] = {0xC0, 0xC0, 0xC0, 0xC0, 0x00, 0x00, 0x00, 0x00,
                                  0xC0, 0xC0, 0xC0, 0xC0, 0x00, 0x00, 0x00, 0x00};
constexpr uint32_t kTopBit = 0x100000;

// A BDK component is kept only as masked hex text and unmasked where it is used.
struct MaskedHex {
  std::array<uint8_t, 32> text{};
  consteval explicit MaskedHex(const char (&hex)[33]) {
    for (size_t i = 0; i < 32; ++i) text[i] = static_cast<uint8_t>(hex[i]) ^ Mask(i);
  }
  static constexpr uint8_t Mask(size_t i) { return static_cast<uint8_t>(0x5B + 29 * i); }
  // The component's 16 bytes XORed into bytes.
  void XorInto(uint8_t bytes[16]) const {
    for (size_t i = 0; i < 16; ++i) {
      const char high = static_cast<char>(text[2 * i] ^ Mask(2 * i));
      const char low = static_cast<char>(text[2 * i + 1] ^ Mask(2 * i + 1));
      bytes[i] ^= CRequest::HexPairToByte(high, low);
    }
  }
};

constexpr MaskedHex kBdkComponent1("845D31765509B7EE5186585E1B9DC698");
constexpr MaskedHex kBdkComponent2("920D900318EA565828827463D5C43FC7");

void Wipe(void* p, size_t n) { explicit_bzero(p, n); }

}  // namespace

// ---- KSN helpers ----

uint32_t DukptKsnCounter(const uint8_t ksn[kDukptKsnLength]) {
  return (static_cast<uint32_t>(ksn[7] & 0x1F) << 16) | (static_cast<uint32_t>(ksn[8]) << 8) | ksn[9];
}

uint32_t DukptCounterPrefix(uint32_t counter, int n) {
  uint32_t prefix = 0;
  for (uint32_t bit = kTopBit; bit != 0 && n > 0; bit >>= 1) {
    if (counter & bit) {
      prefix |= bit;
      --n;
    }
  }
  return prefix;
}

void DukptWriteCounter(uint8_t ksn[kDukptKsnLength], uint32_t counter) {
  ksn[7] = static_cast<uint8_t>((ksn[7] & 0xE0) | ((counter >> 16) & 0x1F));
  ksn[8] = static_cast<uint8_t>(counter >> 8);
  ksn[9] = static_cast<uint8_t>(counter);
}

void DukptClearCounter(uint8_t ksn[kDukptKsnLength]) { DukptWriteCounter(ksn, 0); }

bool DukptIncrementKsn(uint8_t ksn[kDukptKsnLength]) {
  uint32_t device = (static_cast<uint32_t>(ksn[5]) << 11) | (static_cast<uint32_t>(ksn[6]) << 3) | (ksn[7] >> 5);
  if (++device >= (1u << 19)) return false;
  ksn[5] = static_cast<uint8_t>(device >> 11);
  ksn[6] = static_cast<uint8_t>(device >> 3);
  ksn[7] = static_cast<uint8_t>(((device & 0x07) << 5) | (ksn[7] & 0x1F));
  return true;
}

void DukptNonReversibleKeySingle(const uint8_t data[8], const uint8_t xor_key[8], const uint8_t des_key[8],
                                 uint8_t out[8]) {
  XorInto(out, data, xor_key, 8);
  DesEncryptBlock(out, des_key);
  XorBytes(out, xor_key, 8);
}

// ---- Initial key and data key ----

bool DukptDeriveIpekTyped(const uint8_t ksn[kDukptKsnLength], const uint8_t bdk[16], uint8_t* key, int type) {
  if (type != 2 && type != 3) return false;
  uint8_t base[kDukptKsnLength];
  CopyBytes(base, ksn, kDukptKsnLength);
  DukptClearCounter(base);
  uint8_t left[8];
  CopyBytes(left, base, 8);
  TripleDesEncryptBlock(left, bdk);
  CopyBytes(key, left, 8);
  if (type == 3) {
    uint8_t masked_bdk[16];
    XorInto(masked_bdk, bdk, kKeyMask, 16);
    uint8_t right[8];
    CopyBytes(right, base, 8);
    TripleDesEncryptBlock(right, masked_bdk);
    CopyBytes(key + 8, right, 8);
    Wipe(masked_bdk, sizeof masked_bdk);
    Wipe(right, sizeof right);
  }
  Wipe(left, sizeof left);
  return true;
}

bool DukptDeriveIpek(const uint8_t ksn[kDukptKsnLength], const uint8_t bdk[16], uint8_t ipek[16]) {
  return DukptDeriveIpekTyped(ksn, bdk, ipek, 3);
}

bool DukptDeriveDataKey(const uint8_t ipek[16], const uint8_t ksn[kDukptKsnLength], uint8_t key[16]) {
  const uint32_t target = DukptKsnCounter(ksn);
  const int ones = CDukpt::CountOneBits(target);
  if (target == 0 || ones > kDukptMaxOneBits) return false;
  uint8_t base[kDukptKsnLength];
  CopyBytes(base, ksn, kDukptKsnLength);
  DukptClearCounter(base);
  CDukpt originator;
  originator.LoadInitialKey(true, ipek, base);
  uint8_t ksn_out[kDukptKsnLength];
  uint8_t data_key[16];
  bool ok = true;
  for (int n = 1; n <= ones && ok; ++n) {
    ok = originator.GetTransactionKey(true, DukptCounterPrefix(target, n), ksn_out, data_key, kDukptVariantData) ==
         kDukptOk;
  }
  if (ok) CopyBytes(key, data_key, 16);
  Wipe(data_key, sizeof data_key);
  return ok;
}

void DukptProgramBdk(uint8_t bdk[16]) {
  std::memset(bdk, 0, 16);
  kBdkComponent1.XorInto(bdk);
  kBdkComponent2.XorInto(bdk);
}

// ---- CDukpt ----

CDukpt::CDukpt() = default;

CDukpt::~CDukpt() { Wipe(m_Registers, sizeof m_Registers); }

int CDukpt::CountOneBits(uint32_t counter) {
  int ones = 0;
  for (counter &= kDukptCounterMask; counter; counter &= counter - 1) ++ones;
  return ones;
}

int CDukpt::RegisterIndex(uint32_t bit) {
  int position = 0;
  while (!(bit & 1)) {
    bit >>= 1;
    ++position;
  }
  return 20 - position;
}

void CDukpt::SetRegisterBit() { m_ShiftRegister = m_Counter & (~m_Counter + 1); }

uint8_t CDukpt::KeyLrc(const uint8_t* key, size_t length) {
  uint8_t lrc = 0;
  for (size_t i = 0; i < length; ++i) lrc ^= key[i];
  return lrc;
}

void CDukpt::StoreRegister(int index, const uint8_t* key) {
  CopyBytes(m_Registers[index], key, m_KeyLength);
  m_Registers[index][m_CheckPosition] = KeyLrc(key, m_KeyLength);
}

void CDukpt::EraseRegister(int index) {
  std::memset(m_Registers[index], 0, m_KeyLength);
  m_Registers[index][m_CheckPosition] = 0xFF;
}

bool CDukpt::RegisterValid(int index) const {
  return m_Registers[index][m_CheckPosition] == KeyLrc(m_Registers[index], m_KeyLength);
}

void CDukpt::BuildCryptoRegister(uint32_t shift, uint8_t crypto_register[8]) const {
  uint8_t ksn[kDukptKsnLength];
  CopyBytes(ksn, m_Ksn, kDukptKsnLength);
  DukptWriteCounter(ksn, m_Counter | shift);
  CopyBytes(crypto_register, ksn + 2, 8);
}

void CDukpt::NonReversibleKeyGeneration(const uint8_t* key, const uint8_t crypto_register[8], uint8_t* out) const {
  if (m_KeyLength == 8) {
    DukptNonReversibleKeySingle(crypto_register, key, key, out);
    return;
  }
  // Right half under the key itself, left half under the key XOR the mask.
  uint8_t masked[16];
  XorInto(masked, key, kKeyMask, 16);
  uint8_t left[8], right[8];
  DukptNonReversibleKeySingle(crypto_register, key + 8, key, right);
  DukptNonReversibleKeySingle(crypto_register, masked + 8, masked, left);
  CopyBytes(out, left, 8);
  CopyBytes(out + 8, right, 8);
  Wipe(masked, sizeof masked);
  Wipe(left, sizeof left);
  Wipe(right, sizeof right);
}

void CDukpt::GenerateFutureKeys(const uint8_t* base_key, uint32_t from_bit) {
  uint8_t crypto_register[8];
  uint8_t future[16];
  for (uint32_t shift = from_bit; shift != 0; shift >>= 1) {
    BuildCryptoRegister(shift, crypto_register);
    NonReversibleKeyGeneration(base_key, crypto_register, future);
    StoreRegister(RegisterIndex(shift), future);
  }
  Wipe(future, sizeof future);
}

void CDukpt::LoadInitialKey(bool double_length, const uint8_t* key, const uint8_t ksn[kDukptKsnLength]) {
  m_KeyLength = double_length ? 16 : 8;
  m_RegisterSize = m_KeyLength + 1;
  m_CheckPosition = m_KeyLength;
  Wipe(m_Registers, sizeof m_Registers);
  CopyBytes(m_Ksn, ksn, kDukptKsnLength);
  DukptClearCounter(m_Ksn);
  m_Counter = 0;
  uint8_t initial[16];
  CopyBytes(initial, key, m_KeyLength);
  GenerateFutureKeys(initial, kTopBit);
  Wipe(initial, sizeof initial);
  m_Counter = 1;
}

void CDukpt::NewKey() {
  const int index = RegisterIndex(m_ShiftRegister);
  if (CountOneBits(m_Counter) >= kDukptMaxOneBits) {
    // No counter below this one may have more one-bits: skip to the next that has fewer.
    EraseRegister(index);
    m_Counter += m_ShiftRegister;
    return;
  }
  uint8_t current[16];
  CopyBytes(current, m_Registers[index], m_KeyLength);
  GenerateFutureKeys(current, m_ShiftRegister >> 1);
  Wipe(current, sizeof current);
  EraseRegister(index);
  m_Counter += 1;
}

int CDukpt::GetTransactionKey(bool double_length, uint32_t counter, uint8_t ksn_out[kDukptKsnLength],
                              uint8_t* key_out, int variant) {
  if (m_KeyLength == 0 || double_length != (m_KeyLength == 16) || variant < kDukptVariantData ||
      variant > kDukptVariantMac) {
    return kDukptBadArgument;
  }
  if (counter == 0 || counter > kDukptCounterMask) return kDukptCounterOverflow;
  const uint32_t lowest = counter & (~counter + 1);
  if (!RegisterValid(RegisterIndex(lowest))) return kDukptRegisterErased;

  m_Counter = counter;
  SetRegisterBit();
  const int index = RegisterIndex(m_ShiftRegister);
  DukptWriteCounter(m_Ksn, m_Counter);
  CopyBytes(ksn_out, m_Ksn, kDukptKsnLength);

  uint8_t key[16];
  CopyBytes(key, m_Registers[index], m_KeyLength);
  const size_t halves = m_KeyLength / 8;
  static constexpr size_t kVariantByte[] = {5, 7, 6};  // data, PIN, MAC: offset in each half
  for (size_t h = 0; h < halves; ++h) key[8 * h + kVariantByte[variant]] ^= 0xFF;
  if (variant == kDukptVariantData) {
    uint8_t variant_key[16];
    CopyBytes(variant_key, key, m_KeyLength);
    for (size_t h = 0; h < halves; ++h) DesEncryptBlockSingleOrTriple(key + 8 * h, variant_key, halves == 2);
    Wipe(variant_key, sizeof variant_key);
  }
  CopyBytes(key_out, key, m_KeyLength);
  Wipe(key, sizeof key);
  NewKey();
  return kDukptOk;
}

// ---- The engine's entry point ----

bool CCryptoEngine::DukptDecrypt(const std::string& data_hex, const std::string& ksn_hex, std::string* out,
                                 int* error, const uint8_t* bdk) {
  platform::MutexLock lock(m_Lock);
  int ignored = 0;
  if (!error) error = &ignored;
  out->clear();
  *error = 0;

  uint8_t ksn[kDukptKsnLength];
  size_t count = 0;
  if (ksn_hex.size() != 2 * kDukptKsnLength || !CRequest::IsHexText(ksn_hex) ||
      !CRequest::TranslateHexStringToByteArray(&count, ksn, sizeof ksn, ksn_hex)) {
    *error = kDukptErrEncryptedKey;
    return false;
  }
  constexpr size_t kMaxData = 100;
  uint8_t data[kMaxData];
  if (data_hex.empty() || data_hex.size() > 2 * kMaxData || !CRequest::IsHexText(data_hex) ||
      !CRequest::TranslateHexStringToByteArray(&count, data, sizeof data, data_hex) || count % 8 != 0) {
    *error = kDukptErrEncryptedBlock;
    return false;
  }
  const uint32_t counter = DukptKsnCounter(ksn);
  if (counter == 0 || CDukpt::CountOneBits(counter) > kDukptMaxOneBits) {
    *error = kDukptErrEncryptedKey;
    return false;
  }

  uint8_t own_bdk[16];
  DukptProgramBdk(own_bdk);
  uint8_t ipek[16], key[16];
  const bool derived = DukptDeriveIpek(ksn, bdk ? bdk : own_bdk, ipek) && DukptDeriveDataKey(ipek, ksn, key);
  Wipe(own_bdk, sizeof own_bdk);
  Wipe(ipek, sizeof ipek);
  if (!derived) {
    Wipe(key, sizeof key);
    *error = kDukptErrEncryptedKey;
    return false;
  }
  static const uint8_t kZeroIv[8] = {};
  TripleDesCbcDecrypt(data, key, kZeroIv, count);
  Wipe(key, sizeof key);
  out->assign(reinterpret_cast<const char*>(data), count);
  Wipe(data, sizeof data);
  return true;
}
