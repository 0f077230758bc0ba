// DES (FIPS 46-3) and two-key Triple-DES (EDE: encrypt under the left key half,
// decrypt under the right, encrypt under the left), in ECB blocks and CBC chaining,
// plus the key check value and small byte helpers.
//
// The routines keep no state outside their arguments and the caller's CTripleDes,
// so they may run on several threads at once; they take no lock. Keys are 8 bytes
// (single DES) or 16 bytes (two-key Triple-DES); parity bits are ignored.
#pragma once

#include <cstddef>
#include <cstdint>

// a ^= b over n bytes.
void XorBytes(uint8_t* a, const uint8_t* b, size_t n);
// out = a ^ b over n bytes; out may be a or b.
void XorInto(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t n);
// Copies n bytes (the ranges may overlap) and returns n.
size_t CopyBytes(uint8_t* to, const uint8_t* from, size_t n);

// The key schedules of one DES key in the form the table rounds use: two words per
// round, sixteen rounds, in encryption order and in decryption order.
struct CDesSchedule {
  uint32_t encrypt[32];
  uint32_t decrypt[32];
};

// A per-call work object: the schedules of a single DES key, or of both halves of a
// two-key Triple-DES key. Not shared between threads; wipes its schedules when
// destroyed.
class CTripleDes {
 public:
  CTripleDes();
  ~CTripleDes();
  CTripleDes(const CTripleDes&) = delete;
  CTripleDes& operator=(const CTripleDes&) = delete;

  // Builds the schedules of key[0..7] and, when triple, of key[8..15].
  void SetKey(const uint8_t* key, bool triple);
  // One 8-byte block with the key set last (in and out may be the same block).
  void EncryptBlock(const uint8_t* in, uint8_t* out) const;
  void DecryptBlock(const uint8_t* in, uint8_t* out) const;

 private:
  bool m_Triple = false;
  CDesSchedule m_Left{};
  CDesSchedule m_Right{};
};

// The DES engine. A schedule is built by PC-1, the left rotations and PC-2 in
// encryption or decryption order, then rearranged for the table rounds.
void DesKeySchedule(const uint8_t key[8], bool decrypt, uint32_t schedule[32]);
void DesBuildSchedules(const uint8_t key[8], CDesSchedule* schedules);
// Big-endian conversion of an 8-byte block to two words and back.
void DesBytesToWords(const uint8_t block[8], uint32_t words[2]);
void DesWordsToBytes(const uint32_t words[2], uint8_t block[8]);
// Initial permutation, sixteen rounds with the schedule, final permutation.
void DesRounds(uint32_t words[2], const uint32_t schedule[32]);
void DesEncryptWithSchedule(const CDesSchedule& schedules, const uint8_t in[8], uint8_t out[8]);
void DesDecryptWithSchedule(const CDesSchedule& schedules, const uint8_t in[8], uint8_t out[8]);

// One block in place with an 8-byte key.
void DesEncryptBlock(uint8_t block[8], const uint8_t key[8]);
void DesDecryptBlock(uint8_t block[8], const uint8_t key[8]);
// One block in place with two-key Triple-DES (16-byte key).
void TripleDesEncryptBlock(uint8_t block[8], const uint8_t key[16]);
void TripleDesDecryptBlock(uint8_t block[8], const uint8_t key[16]);
// Single DES with the first 8 key bytes, or Triple-DES with all 16 when triple.
void DesEncryptBlockSingleOrTriple(uint8_t block[8], const uint8_t* key, bool triple);
void DesDecryptBlockSingleOrTriple(uint8_t block[8], const uint8_t* key, bool triple);

// CBC chaining in place over blocks whole 8-byte blocks, with single DES (first 8 key
// bytes) or two-key Triple-DES; work receives the key's schedules. The IV is not
// changed.
void TripleDesCbcEncryptBlocks(CTripleDes* work, bool triple, uint8_t* buffer, const uint8_t* key, const uint8_t iv[8],
                               size_t blocks);
void TripleDesCbcDecryptBlocks(CTripleDes* work, bool triple, uint8_t* buffer, const uint8_t* key, const uint8_t iv[8],
                               size_t blocks);
// Two-key Triple-DES CBC in place over length / 8 whole blocks; trailing bytes are
// left untouched.
void TripleDesCbcEncrypt(uint8_t* buffer, const uint8_t key[16], const uint8_t iv[8], size_t length);
void TripleDesCbcDecrypt(uint8_t* buffer, const uint8_t key[16], const uint8_t iv[8], size_t length);

// The first three bytes of a zero block encrypted under the key: DES for an 8-byte
// key, Triple-DES for a 16-byte key. False (out untouched) for another key length,
// or for types 1 to 3 with a key that is not 16 bytes.
bool KeyCheckValue(const uint8_t* key, uint8_t out[3], size_t key_length, int type);
