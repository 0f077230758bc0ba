#include "core/crypto/des.h"

#include <string.h>

#include <array>
#include <cstring>

namespace {

// Bit positions count from 1 at the most significant bit, as in the DES tables.
constexpr uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4, 62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8, 57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kFinalPermutation[64] = {
    40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31, 38, 6, 46, 14, 54, 22,
    62, 30, 37, 5, 45, 13, 53, 21, 61, 29, 36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11,
    51, 19, 59, 27, 34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9, 49, 17, 57, 25};

constexpr uint8_t kPermutationP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                       2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kPermutedChoice1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPermutedChoice2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                                          26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                                          51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kRotations[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3, 14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4, 13, 1,  5,  8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0, 9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7,  0,  9,  3, 4,
     6,  10, 2, 8,  5, 14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2, 12,
     5,  10, 14, 7, 1, 10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2,  8,  5,  11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0,  3,  4,  7, 2,  12, 1,  10, 14, 9,  10, 6,  9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5,  2,  8,  4, 3,  15, 0,  6,  10, 1,  13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0,  14, 9,  14, 11, 2, 12, 4, 7,
     13, 1,  5,  0,  15, 10, 3,  9,  8,  6,  4,  2,  1,  11, 10, 13, 7,  8,  15, 9, 12, 5,
     6,  3,  0,  14, 11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7, 5,  11, 10, 15, 4,  2,  7,  12,
     9,  5,  6,  1,  13, 14, 0, 11, 3,  8,  9,  14, 15, 5, 2,  8,  12, 3,  7,  0,  4,  10,
     1,  13, 11, 6,  4,  3,  2, 12, 9,  5,  15, 10, 11, 14, 1, 7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9, 7,  5, 10, 6,  1,  13, 0,  11, 7, 4,  9,
     1,  10, 14, 3,  5,  12, 2,  15, 8,  6,  1, 4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,
     0,  5,  9,  2,  6,  11, 13, 8,  1,  4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5, 6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8, 2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// Picks table[j]-th bits of an in_bits wide value, most significant first.
constexpr uint64_t Permute(uint64_t in, int in_bits, const uint8_t* table, int out_bits) {
  uint64_t out = 0;
  for (int j = 0; j < out_bits; ++j) out = (out << 1) | ((in >> (in_bits - table[j])) & 1u);
  return out;
}

// The S-boxes merged with the permutation P: entry v of table i is P applied to the
// output of S-box i for the 6-bit input v, in that box's place of the 32-bit word.
using SpTables = std::array<std::array<uint32_t, 64>, 8>;

constexpr SpTables MakeSpTables() {
  SpTables sp{};
  for (int box = 0; box < 8; ++box) {
    for (int v = 0; v < 64; ++v) {
      const int row = ((v >> 4) & 2) | (v & 1);
      const int column = (v >> 1) & 0x0F;
      const uint64_t s = static_cast<uint64_t>(kSBoxes[box][row * 16 + column]) << (28 - 4 * box);
      sp[box][v] = static_cast<uint32_t>(Permute(s, 32, kPermutationP, 32));
    }
  }
  return sp;
}

constexpr SpTables kSp = MakeSpTables();

constexpr uint32_t RotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
constexpr uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Rearranges the sixteen 48-bit subkeys for the table rounds: the first word of a
// round holds the 6-bit groups of S-boxes 1, 3, 5, 7 in its four bytes, the second
// those of S-boxes 2, 4, 6, 8.
void DesCookSchedule(const uint64_t subkeys[16], bool decrypt, uint32_t schedule[32]) {
  for (int round = 0; round < 16; ++round) {
    const uint64_t k = subkeys[decrypt ? 15 - round : round];
    uint32_t group[8];
    for (int i = 0; i < 8; ++i) group[i] = static_cast<uint32_t>((k >> (42 - 6 * i)) & 0x3F);
    schedule[2 * round] = (group[0] << 24) | (group[2] << 16) | (group[4] << 8) | group[6];
    schedule[2 * round + 1] = (group[1] << 24) | (group[3] << 16) | (group[5] << 8) | group[7];
  }
}

// One Feistel function value: the expansion E is the two rotations, whose bytes
// line up with the cooked subkey groups.
uint32_t Feistel(uint32_t right, const uint32_t* round_keys) {
  uint32_t work = RotateRight(right, 3) ^ round_keys[0];
  uint32_t f = kSp[0][(work >> 24) & 0x3F] | kSp[2][(work >> 16) & 0x3F] | kSp[4][(work >> 8) & 0x3F] |
               kSp[6][work & 0x3F];
  work = RotateLeft(right, 1) ^ round_keys[1];
  f |= kSp[1][(work >> 24) & 0x3F] | kSp[3][(work >> 16) & 0x3F] | kSp[5][(work >> 8) & 0x3F] | kSp[7][work & 0x3F];
  return f;
}

void Wipe(void* p, size_t n) { explicit_bzero(p, n); }

}  // namespace

void XorBytes(uint8_t* a, const uint8_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) a[i] ^= b[i];
}

void XorInto(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] ^ b[i];
}

size_t CopyBytes(uint8_t* to, const uint8_t* from, size_t n) {
  if (n) std::memmove(to, from, n);
  return n;
}

void DesKeySchedule(const uint8_t key[8], bool decrypt, uint32_t schedule[32]) {
  uint64_t k = 0;
  for (int i = 0; i < 8; ++i) k = (k << 8) | key[i];
  const uint64_t cd = Permute(k, 64, kPermutedChoice1, 56);
  uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0FFFFFFF;
  uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFF;
  uint64_t subkeys[16];
  for (int round = 0; round < 16; ++round) {
    const int n = kRotations[round];
    c = ((c << n) | (c >> (28 - n))) & 0x0FFFFFFF;
    d = ((d << n) | (d >> (28 - n))) & 0x0FFFFFFF;
    subkeys[round] = Permute((static_cast<uint64_t>(c) << 28) | d, 56, kPermutedChoice2, 48);
  }
  DesCookSchedule(subkeys, decrypt, schedule);
  Wipe(subkeys, sizeof subkeys);
  Wipe(&k, sizeof k);
}

void DesBuildSchedules(const uint8_t key[8], CDesSchedule* schedules) {
  DesKeySchedule(key, false, schedules->encrypt);
  DesKeySchedule(key, true, schedules->decrypt);
}

void DesBytesToWords(const uint8_t block[8], uint32_t words[2]) {
  for (int w = 0; w < 2; ++w) {
    words[w] = (static_cast<uint32_t>(block[4 * w]) << 24) | (static_cast<uint32_t>(block[4 * w + 1]) << 16) |
               (static_cast<uint32_t>(block[4 * w + 2]) << 8) | block[4 * w + 3];
  }
}

void DesWordsToBytes(const uint32_t words[2], uint8_t block[8]) {
  for (int w = 0; w < 2; ++w) {
    block[4 * w] = static_cast<uint8_t>(words[w] >> 24);
    block[4 * w + 1] = static_cast<uint8_t>(words[w] >> 16);
    block[4 * w + 2] = static_cast<uint8_t>(words[w] >> 8);
    block[4 * w + 3] = static_cast<uint8_t>(words[w]);
  }
}

void DesRounds(uint32_t words[2], const uint32_t schedule[32]) {
  const uint64_t permuted =
      Permute((static_cast<uint64_t>(words[0]) << 32) | words[1], 64, kInitialPermutation, 64);
  uint32_t left = static_cast<uint32_t>(permuted >> 32);
  uint32_t right = static_cast<uint32_t>(permuted);
  for (int round = 0; round < 16; ++round) {
    const uint32_t next = left ^ Feistel(right, schedule + 2 * round);
    left = right;
    right = next;
  }
  // The last round does not swap the halves.
  const uint64_t out = Permute((static_cast<uint64_t>(right) << 32) | left, 64, kFinalPermutation, 64);
  words[0] = static_cast<uint32_t>(out >> 32);
  words[1] = static_cast<uint32_t>(out);
}

void DesEncryptWithSchedule(const CDesSchedule& schedules, const uint8_t in[8], uint8_t out[8]) {
  uint32_t words[2];
  DesBytesToWords(in, words);
  DesRounds(words, schedules.encrypt);
  DesWordsToBytes(words, out);
}

void DesDecryptWithSchedule(const CDesSchedule& schedules, const uint8_t in[8], uint8_t out[8]) {
  uint32_t words[2];
  DesBytesToWords(in, words);
  DesRounds(words, schedules.decrypt);
  DesWordsToBytes(words, out);
}

// ---- CTripleDes ----

CTripleDes::CTripleDes() = default;

CTripleDes::~CTripleDes() {
  Wipe(&m_Left, sizeof m_Left);
  Wipe(&m_Right, sizeof m_Right);
}

void CTripleDes::SetKey(const uint8_t* key, bool triple) {
  m_Triple = triple;
  DesBuildSchedules(key, &m_Left);
  if (triple) {
    DesBuildSchedules(key + 8, &m_Right);
  } else {
    Wipe(&m_Right, sizeof m_Right);
  }
}

void CTripleDes::EncryptBlock(const uint8_t* in, uint8_t* out) const {
  DesEncryptWithSchedule(m_Left, in, out);
  if (m_Triple) {
    DesDecryptWithSchedule(m_Right, out, out);
    DesEncryptWithSchedule(m_Left, out, out);
  }
}

void CTripleDes::DecryptBlock(const uint8_t* in, uint8_t* out) const {
  DesDecryptWithSchedule(m_Left, in, out);
  if (m_Triple) {
    DesEncryptWithSchedule(m_Right, out, out);
    DesDecryptWithSchedule(m_Left, out, out);
  }
}

// ---- Block and CBC operations ----

void DesEncryptBlockSingleOrTriple(uint8_t block[8], const uint8_t* key, bool triple) {
  CTripleDes work;
  work.SetKey(key, triple);
  work.EncryptBlock(block, block);
}

void DesDecryptBlockSingleOrTriple(uint8_t block[8], const uint8_t* key, bool triple) {
  CTripleDes work;
  work.SetKey(key, triple);
  work.DecryptBlock(block, block);
}

void DesEncryptBlock(uint8_t block[8], const uint8_t key[8]) { DesEncryptBlockSingleOrTriple(block, key, false); }
void DesDecryptBlock(uint8_t block[8], const uint8_t key[8]) { DesDecryptBlockSingleOrTriple(block, key, false); }
void TripleDesEncryptBlock(uint8_t block[8], const uint8_t key[16]) { DesEncryptBlockSingleOrTriple(block, key, true); }
void TripleDesDecryptBlock(uint8_t block[8], const uint8_t key[16]) { DesDecryptBlockSingleOrTriple(block, key, true); }

void TripleDesCbcEncryptBlocks(CTripleDes* work, bool triple, uint8_t* buffer, const uint8_t* key, const uint8_t iv[8],
                               size_t blocks) {
  work->SetKey(key, triple);
  const uint8_t* previous = iv;
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t* block = buffer + 8 * i;
    XorBytes(block, previous, 8);
    work->EncryptBlock(block, block);
    previous = block;
  }
}

void TripleDesCbcDecryptBlocks(CTripleDes* work, bool triple, uint8_t* buffer, const uint8_t* key, const uint8_t iv[8],
                               size_t blocks) {
  work->SetKey(key, triple);
  uint8_t previous[8];
  uint8_t cipher[8];
  CopyBytes(previous, iv, 8);
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t* block = buffer + 8 * i;
    CopyBytes(cipher, block, 8);
    work->DecryptBlock(block, block);
    XorBytes(block, previous, 8);
    CopyBytes(previous, cipher, 8);
  }
}

void TripleDesCbcEncrypt(uint8_t* buffer, const uint8_t key[16], const uint8_t iv[8], size_t length) {
  CTripleDes work;
  TripleDesCbcEncryptBlocks(&work, true, buffer, key, iv, length / 8);
}

void TripleDesCbcDecrypt(uint8_t* buffer, const uint8_t key[16], const uint8_t iv[8], size_t length) {
  CTripleDes work;
  TripleDesCbcDecryptBlocks(&work, true, buffer, key, iv, length / 8);
}

bool KeyCheckValue(const uint8_t* key, uint8_t out[3], size_t key_length, int type) {
  if (key_length != 8 && key_length != 16) return false;
  if (type >= 1 && type <= 3 && key_length != 16) return false;
  uint8_t block[8] = {};
  DesEncryptBlockSingleOrTriple(block, key, key_length == 16);
  CopyBytes(out, block, 3);
  return true;
}
