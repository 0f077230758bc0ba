// AES (FIPS-197) with 128-, 192- and 256-bit keys in five modes, and AES-128 CBC with
// a trailing length block.
//
// A CAes object keeps all its state (key schedules, IV, counter block) itself and
// takes no lock: one object is used by one thread at a time; different objects may
// be used on different threads.
#pragma once

#include <cstddef>
#include <cstdint>

class CAes {
 public:
  enum Mode { kModeEcb = 0, kModeCbc = 1, kModeCfb = 2, kModeOfb = 3, kModeCounter = 4 };

  CAes();
  ~CAes();
  CAes(const CAes&) = delete;
  CAes& operator=(const CAes&) = delete;

  // A 16-, 24- or 32-byte key: 10, 12 or 14 rounds, the encryption schedule and the
  // decryption schedule of the equivalent inverse cipher; the object is then
  // initialised. Any other length, or no key, changes nothing.
  void SetKey(const uint8_t* key, size_t length);
  bool IsInitialised() const { return m_Initialised != 0; }

  // The IV of CBC, CFB and OFB: every call of those modes starts from it.
  void SetIv(const uint8_t iv[16]);
  // The counter block of counter mode. Each 16 bytes encrypted or decrypted in that
  // mode raise it by one as a little-endian number (byte 0 lowest), so consecutive
  // calls continue the key stream; set it again to start over.
  void SetCounter(const uint8_t counter[16]);
  // The counter block as it stands (all zeros until set).
  const uint8_t* Counter() const { return m_Counter; }

  // One 16-byte block; in and out may be the same. Nothing happens while the object
  // is not initialised.
  void EncryptBlock(const uint8_t in[16], uint8_t out[16]) const;
  void DecryptBlock(const uint8_t in[16], uint8_t out[16]) const;

  // length bytes from in to out in the given mode (in and out the same buffer or not
  // overlapping). False, with out untouched, unless the object is initialised, both
  // buffers are given, the length is a non-zero multiple of 16, the mode is known
  // and its IV (modes 1 to 3) or counter block (mode 4) has been set.
  bool Encrypt(const uint8_t* in, uint8_t* out, size_t length, int mode);
  bool Decrypt(const uint8_t* in, uint8_t* out, size_t length, int mode);

  // The size of the length-block message for n data bytes: the data rounded up to
  // whole blocks plus one block; 0 for n = 0.
  static size_t LengthBlockSize(size_t n);
  // Writes the n bytes, zero fill to a whole block, and a last block whose first byte
  // is n mod 16 (16 when n is a multiple of 16) and whose other bytes are zero, all
  // encrypted in the given mode, to out. Returns the number of bytes written, or 0
  // (out untouched) for n = 0, a capacity below LengthBlockSize(n) or a refused
  // encryption. in and out may be the same buffer.
  size_t EncryptWithLengthBlock(const uint8_t* in, size_t n, uint8_t* out, size_t out_capacity, int mode);

 private:
  // The object is initialised and the mode is known with its IV or counter block set.
  bool Ready(int mode) const;
  bool Crypt(const uint8_t* in, uint8_t* out, size_t length, int mode, bool encrypt);

  uint8_t m_Initialised = 0;
  uint32_t m_EncryptKeys[60] = {};
  uint32_t m_DecryptKeys[60] = {};
  size_t m_KeyLength = 0;
  int m_Rounds = 0;
  uint8_t m_HasIv = 0;
  uint8_t m_Iv[16] = {};
  uint8_t m_HasCounter = 0;
  uint8_t m_Counter[16] = {};
};

// AES-128 CBC with the length block: length data bytes at the start of buffer are
// replaced by their encryption. iv null means an all-zero IV. Returns the encrypted
// size (CAes::LengthBlockSize(length)), or 0 with the buffer untouched when length is
// 0 or the capacity is smaller than that size.
size_t AesEncryptPadded(uint8_t* buffer, size_t capacity, const uint8_t key[16], const uint8_t* iv, size_t length);
// AES-128 CBC decryption in place; the length block is not removed. iv null means an
// all-zero IV. False (buffer untouched) unless length is a non-zero multiple of 16.
bool AesDecryptPadded(uint8_t* buffer, const uint8_t key[16], const uint8_t* iv, size_t length);
