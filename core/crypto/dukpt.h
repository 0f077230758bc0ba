// Derived Unique Key Per Transaction (ANSI X9.24-1) for double-length keys: the
// initial key from a base derivation key (BDK) and a key serial number (KSN), the
// originator's future-key registers, and the data key of one KSN by replaying the
// originator up to the KSN's counter.
//
// A KSN is 10 bytes; its right-most 21 bits (the low 5 bits of byte 7 and bytes 8
// and 9) are the transaction counter, the bits above them name the device.
//
// Nothing here keeps state outside its arguments and the caller's CDukpt, and
// nothing takes a lock; a CDukpt is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kDukptKsnLength = 10;
constexpr uint32_t kDukptCounterMask = 0x1FFFFF;
// Valid counters have at most this many one-bits: the originator skips the others.
constexpr int kDukptMaxOneBits = 10;

// The field errors that CCryptoEngine::DukptDecrypt reports.
constexpr int kDukptErrEncryptedBlock = 100254;  // the data text
constexpr int kDukptErrEncryptedKey = 100255;    // the KSN text or its counter

// The variants of CDukpt::GetTransactionKey.
enum DukptVariant { kDukptVariantData = 0, kDukptVariantPin = 1, kDukptVariantMac = 2 };

// Results of CDukpt::GetTransactionKey.
enum DukptResult {
  kDukptOk = 1,
  kDukptBadArgument = -6,      // no key loaded, another key length, or an unknown variant
  kDukptCounterOverflow = -7,  // the counter is 0 or does not fit in 21 bits
  kDukptRegisterErased = -8,   // the register the counter selects fails its check byte
};

// The originator state: 21 future-key registers (register i serves the counter bit
// 0x100000 >> i), each a key (16 bytes, or 8 for single-length keys) followed by a
// check byte, the XOR of the key's bytes; an erased register holds zeros and the
// check byte 0xFF. Wipes its keys when destroyed.
class CDukpt {
 public:
  CDukpt();
  ~CDukpt();
  CDukpt(const CDukpt&) = delete;
  CDukpt& operator=(const CDukpt&) = delete;

  // Clears the registers, stores the key (16 bytes when double_length, else 8) and
  // the KSN with its counter cleared, generates the future key of every counter bit
  // from 0x100000 down to 1 from the initial key, and sets the counter to 1.
  void LoadInitialKey(bool double_length, const uint8_t* key, const uint8_t ksn[kDukptKsnLength]);

  // Takes counter as the current counter and returns kDukptOk with the key of the
  // register its lowest set bit selects, the variant applied (1 PIN: the last byte of
  // each half inverted; 2 MAC: the next-to-last byte; 0 data: the third byte from the
  // right, then each half encrypted under the whole variant key), and the KSN with
  // that counter in ksn_out; then runs the new-key step, which leaves the next
  // counter in Counter(). On any other result nothing is written.
  int GetTransactionKey(bool double_length, uint32_t counter, uint8_t ksn_out[kDukptKsnLength], uint8_t* key_out,
                        int variant);

  // The counter the originator would use next.
  uint32_t Counter() const { return m_Counter; }

  // The number of one-bits among the low 21 bits.
  static int CountOneBits(uint32_t counter);

 private:
  // The standard's new-key step after the key of the current counter was used.
  void NewKey();
  // Future keys of counter | bit for every bit from from_bit down to 1, from base_key.
  void GenerateFutureKeys(const uint8_t* base_key, uint32_t from_bit);
  void NonReversibleKeyGeneration(const uint8_t* key, const uint8_t crypto_register[8], uint8_t* out) const;
  // The right 8 KSN bytes with the counter and the shift register in the low 21 bits.
  void BuildCryptoRegister(uint32_t shift, uint8_t crypto_register[8]) const;
  // 20 minus the position of the lowest set bit.
  static int RegisterIndex(uint32_t bit);
  // The shift register := the lowest set bit of the counter.
  void SetRegisterBit();
  static uint8_t KeyLrc(const uint8_t* key, size_t length);
  void StoreRegister(int index, const uint8_t* key);
  void EraseRegister(int index);
  bool RegisterValid(int index) const;

  uint8_t m_Registers[21][17] = {};
  uint32_t m_Counter = 0;
  uint32_t m_ShiftRegister = 0;
  uint8_t m_Ksn[kDukptKsnLength] = {};
  size_t m_KeyLength = 0;      // 8 or 16; 0 until a key is loaded
  size_t m_RegisterSize = 0;   // 9 or 17
  size_t m_CheckPosition = 0;  // 8 or 16
};

// The initial key: type 3 the double-length key of ANSI X9.24-1 (left half: the KSN's
// left 8 bytes with the counter bits cleared, Triple-DES encrypted under the BDK;
// right half: the same under the BDK XOR C0C0C0C000000000C0C0C0C000000000), 16
// bytes; type 2 the left half only, 8 bytes; other types false.
bool DukptDeriveIpekTyped(const uint8_t ksn[kDukptKsnLength], const uint8_t bdk[16], uint8_t* key, int type);
bool DukptDeriveIpek(const uint8_t ksn[kDukptKsnLength], const uint8_t bdk[16], uint8_t ipek[16]);

// The data-encryption key of the KSN's counter, by loading the IPEK and asking for the
// data key of the counter reduced to its highest 1, 2, ... set bits. False for a
// counter of 0 or with more than 10 one-bits. The KSN is not changed.
bool DukptDeriveDataKey(const uint8_t ipek[16], const uint8_t ksn[kDukptKsnLength], uint8_t key[16]);

// DES(data XOR xor_key) under des_key, XOR xor_key: one half of the non-reversible
// key generation (xor_key = des_key for single-length keys).
void DukptNonReversibleKeySingle(const uint8_t data[8], const uint8_t xor_key[8], const uint8_t des_key[8],
                                 uint8_t out[8]);

uint32_t DukptKsnCounter(const uint8_t ksn[kDukptKsnLength]);
// The counter reduced to its highest n set bits.
uint32_t DukptCounterPrefix(uint32_t counter, int n);
// Writes the counter into KSN bytes 7 to 9, keeping the top 3 bits of byte 7.
void DukptWriteCounter(uint8_t ksn[kDukptKsnLength], uint32_t counter);
void DukptClearCounter(uint8_t ksn[kDukptKsnLength]);
// Adds 1 to the device part above the counter (top 3 bits of byte 7, then byte 6,
// then byte 5). False, with the KSN unchanged, on overflow.
bool DukptIncrementKsn(uint8_t ksn[kDukptKsnLength]);

// The program's own BDK, assembled from its two masked components.
void DukptProgramBdk(uint8_t bdk[16]);
