#include "core/crypto/aes.h"

#include <string.h>

#include <array>
#include <cstring>

#include "core/crypto/des.h"

namespace {

// The S-box, its inverse and the round tables, computed from the field GF(2^8) with
// the polynomial x^8 + x^4 + x^3 + x + 1. Te[i] maps a byte to its S-box value times
// the MixColumns column, rotated by i bytes; Td[i] the same for the inverse S-box
// and InvMixColumns.
struct AesTables {
  uint8_t sbox[256];
  uint8_t inverse_sbox[256];
  uint32_t te[4][256];
  uint32_t td[4][256];
};

constexpr uint8_t XTime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }

constexpr uint8_t Multiply(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  for (; b; b >>= 1, a = XTime(a)) {
    if (b & 1) product ^= a;
  }
  return product;
}

constexpr uint8_t RotateByte(uint8_t x, int n) { return static_cast<uint8_t>((x << n) | (x >> (8 - n))); }

constexpr uint32_t RotateRight(uint32_t x, int n) { return n ? (x >> n) | (x << (32 - n)) : x; }

constexpr AesTables MakeTables() {
  AesTables t{};
  // Powers and logarithms of the generator 3 give the multiplicative inverses.
  uint8_t power[255] = {};
  uint8_t log[256] = {};
  uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    power[i] = x;
    log[x] = static_cast<uint8_t>(i);
    x = static_cast<uint8_t>(x ^ XTime(x));
  }
  for (int b = 0; b < 256; ++b) {
    const uint8_t inverse = b ? power[(255 - log[b]) % 255] : 0;
    const uint8_t s = static_cast<uint8_t>(inverse ^ RotateByte(inverse, 1) ^ RotateByte(inverse, 2) ^
                                           RotateByte(inverse, 3) ^ RotateByte(inverse, 4) ^ 0x63);
    t.sbox[b] = s;
    t.inverse_sbox[s] = static_cast<uint8_t>(b);
  }
  for (int b = 0; b < 256; ++b) {
    const uint8_t s = t.sbox[b];
    const uint32_t e = (static_cast<uint32_t>(Multiply(s, 2)) << 24) | (static_cast<uint32_t>(s) << 16) |
                       (static_cast<uint32_t>(s) << 8) | Multiply(s, 3);
    const uint8_t v = t.inverse_sbox[b];
    const uint32_t d = (static_cast<uint32_t>(Multiply(v, 14)) << 24) | (static_cast<uint32_t>(Multiply(v, 9)) << 16) |
                       (static_cast<uint32_t>(Multiply(v, 13)) << 8) | Multiply(v, 11);
    for (int i = 0; i < 4; ++i) {
      t.te[i][b] = RotateRight(e, 8 * i);
      t.td[i][b] = RotateRight(d, 8 * i);
    }
  }
  return t;
}

constexpr AesTables kTables = MakeTables();
constexpr const uint8_t* kSbox = kTables.sbox;
constexpr const uint8_t* kInverseSbox = kTables.inverse_sbox;

constexpr uint32_t Byte(uint32_t w, int i) { return (w >> (24 - 8 * i)) & 0xFF; }

uint32_t LoadWord(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void StoreWord(uint32_t w, uint8_t* p) {
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
}

uint32_t SubWord(uint32_t w) {
  return (static_cast<uint32_t>(kSbox[Byte(w, 0)]) << 24) | (static_cast<uint32_t>(kSbox[Byte(w, 1)]) << 16) |
         (static_cast<uint32_t>(kSbox[Byte(w, 2)]) << 8) | kSbox[Byte(w, 3)];
}

uint32_t InvMixColumn(uint32_t w) {
  const auto& td = kTables.td;
  return td[0][kSbox[Byte(w, 0)]] ^ td[1][kSbox[Byte(w, 1)]] ^ td[2][kSbox[Byte(w, 2)]] ^ td[3][kSbox[Byte(w, 3)]];
}

// Adds one to a 16-byte little-endian number.
void IncrementLittleEndian(uint8_t counter[16]) {
  for (int i = 0; i < 16; ++i) {
    if (++counter[i] != 0) break;
  }
}

void Wipe(void* p, size_t n) { explicit_bzero(p, n); }

}  // namespace

CAes::CAes() = default;

CAes::~CAes() {
  Wipe(m_EncryptKeys, sizeof m_EncryptKeys);
  Wipe(m_DecryptKeys, sizeof m_DecryptKeys);
  Wipe(m_Iv, sizeof m_Iv);
  Wipe(m_Counter, sizeof m_Counter);
}

void CAes::SetKey(const uint8_t* key, size_t length) {
  if (!key || (length != 16 && length != 24 && length != 32)) return;
  const int nk = static_cast<int>(length / 4);
  const int rounds = nk + 6;
  const int words = 4 * (rounds + 1);
  uint32_t* w = m_EncryptKeys;
  for (int i = 0; i < nk; ++i) w[i] = LoadWord(key + 4 * i);
  uint8_t rcon = 1;
  for (int i = nk; i < words; ++i) {
    uint32_t temp = w[i - 1];
    if (i % nk == 0) {
      temp = SubWord((temp << 8) | (temp >> 24)) ^ (static_cast<uint32_t>(rcon) << 24);
      rcon = XTime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      temp = SubWord(temp);
    }
    w[i] = w[i - nk] ^ temp;
  }
  // The equivalent inverse cipher: round keys in reverse order, InvMixColumns applied
  // to all but the first and the last.
  uint32_t* d = m_DecryptKeys;
  for (int round = 0; round <= rounds; ++round) {
    for (int j = 0; j < 4; ++j) {
      const uint32_t k = w[4 * (rounds - round) + j];
      d[4 * round + j] = (round == 0 || round == rounds) ? k : InvMixColumn(k);
    }
  }
  m_KeyLength = length;
  m_Rounds = rounds;
  m_Initialised = 1;
}

void CAes::SetIv(const uint8_t iv[16]) {
  if (!iv) return;
  std::memcpy(m_Iv, iv, 16);
  m_HasIv = 1;
}

void CAes::SetCounter(const uint8_t counter[16]) {
  if (!counter) return;
  std::memcpy(m_Counter, counter, 16);
  m_HasCounter = 1;
}

void CAes::EncryptBlock(const uint8_t in[16], uint8_t out[16]) const {
  if (!m_Initialised) return;
  const auto& te = kTables.te;
  const uint32_t* rk = m_EncryptKeys;
  uint32_t s[4];
  for (int i = 0; i < 4; ++i) s[i] = LoadWord(in + 4 * i) ^ rk[i];
  for (int round = 1; round < m_Rounds; ++round) {
    rk += 4;
    uint32_t t[4];
    for (int i = 0; i < 4; ++i) {
      t[i] = te[0][Byte(s[i], 0)] ^ te[1][Byte(s[(i + 1) & 3], 1)] ^ te[2][Byte(s[(i + 2) & 3], 2)] ^
             te[3][Byte(s[(i + 3) & 3], 3)] ^ rk[i];
    }
    std::memcpy(s, t, sizeof s);
  }
  rk += 4;
  for (int i = 0; i < 4; ++i) {
    const uint32_t w = (static_cast<uint32_t>(kSbox[Byte(s[i], 0)]) << 24) |
                       (static_cast<uint32_t>(kSbox[Byte(s[(i + 1) & 3], 1)]) << 16) |
                       (static_cast<uint32_t>(kSbox[Byte(s[(i + 2) & 3], 2)]) << 8) | kSbox[Byte(s[(i + 3) & 3], 3)];
    StoreWord(w ^ rk[i], out + 4 * i);
  }
}

void CAes::DecryptBlock(const uint8_t in[16], uint8_t out[16]) const {
  if (!m_Initialised) return;
  const auto& td = kTables.td;
  const uint32_t* rk = m_DecryptKeys;
  uint32_t s[4];
  for (int i = 0; i < 4; ++i) s[i] = LoadWord(in + 4 * i) ^ rk[i];
  for (int round = 1; round < m_Rounds; ++round) {
    rk += 4;
    uint32_t t[4];
    for (int i = 0; i < 4; ++i) {
      t[i] = td[0][Byte(s[i], 0)] ^ td[1][Byte(s[(i + 3) & 3], 1)] ^ td[2][Byte(s[(i + 2) & 3], 2)] ^
             td[3][Byte(s[(i + 1) & 3], 3)] ^ rk[i];
    }
    std::memcpy(s, t, sizeof s);
  }
  rk += 4;
  for (int i = 0; i < 4; ++i) {
    const uint32_t w = (static_cast<uint32_t>(kInverseSbox[Byte(s[i], 0)]) << 24) |
                       (static_cast<uint32_t>(kInverseSbox[Byte(s[(i + 3) & 3], 1)]) << 16) |
                       (static_cast<uint32_t>(kInverseSbox[Byte(s[(i + 2) & 3], 2)]) << 8) |
                       kInverseSbox[Byte(s[(i + 1) & 3], 3)];
    StoreWord(w ^ rk[i], out + 4 * i);
  }
}

bool CAes::Encrypt(const uint8_t* in, uint8_t* out, size_t length, int mode) {
  return Crypt(in, out, length, mode, true);
}

bool CAes::Decrypt(const uint8_t* in, uint8_t* out, size_t length, int mode) {
  return Crypt(in, out, length, mode, false);
}

bool CAes::Ready(int mode) const {
  if (!m_Initialised) return false;
  switch (mode) {
    case kModeEcb:
      return true;
    case kModeCbc:
    case kModeCfb:
    case kModeOfb:
      return m_HasIv != 0;
    case kModeCounter:
      return m_HasCounter != 0;
    default:
      return false;
  }
}

bool CAes::Crypt(const uint8_t* in, uint8_t* out, size_t length, int mode, bool encrypt) {
  if (!Ready(mode) || !in || !out || length == 0 || length % 16 != 0) return false;
  uint8_t chain[16];  // the previous cipher block (CBC, CFB) or key stream block (OFB)
  uint8_t block[16];  // the input block, copied first so that in and out may coincide
  uint8_t work[16];
  std::memcpy(chain, m_Iv, 16);
  for (size_t offset = 0; offset < length; offset += 16) {
    std::memcpy(block, in + offset, 16);
    uint8_t* to = out + offset;
    switch (mode) {
      case kModeEcb:
        if (encrypt) {
          EncryptBlock(block, to);
        } else {
          DecryptBlock(block, to);
        }
        break;
      case kModeCbc:
        if (encrypt) {
          XorBytes(block, chain, 16);
          EncryptBlock(block, chain);
          std::memcpy(to, chain, 16);
        } else {
          DecryptBlock(block, work);
          XorInto(to, work, chain, 16);
          std::memcpy(chain, block, 16);
        }
        break;
      case kModeCfb:
        EncryptBlock(chain, work);
        XorInto(to, block, work, 16);
        std::memcpy(chain, encrypt ? to : block, 16);
        break;
      case kModeOfb:
        EncryptBlock(chain, chain);
        XorInto(to, block, chain, 16);
        break;
      case kModeCounter:
        EncryptBlock(m_Counter, work);
        XorInto(to, block, work, 16);
        IncrementLittleEndian(m_Counter);
        break;
    }
  }
  Wipe(chain, sizeof chain);
  Wipe(block, sizeof block);
  Wipe(work, sizeof work);
  return true;
}

size_t CAes::LengthBlockSize(size_t n) {
  if (n == 0 || n > SIZE_MAX - 32) return 0;
  return (n - 1) / 16 * 16 + 32;
}

size_t CAes::EncryptWithLengthBlock(const uint8_t* in, size_t n, uint8_t* out, size_t out_capacity, int mode) {
  const size_t size = LengthBlockSize(n);
  if (size == 0 || !in || !out || out_capacity < size || !Ready(mode)) return 0;
  CopyBytes(out, in, n);
  std::memset(out + n, 0, size - n);
  out[size - 16] = static_cast<uint8_t>(n % 16 ? n % 16 : 16);
  return Crypt(out, out, size, mode, true) ? size : 0;
}

size_t AesEncryptPadded(uint8_t* buffer, size_t capacity, const uint8_t key[16], const uint8_t* iv, size_t length) {
  static const uint8_t kZeroIv[16] = {};
  CAes aes;
  aes.SetKey(key, 16);
  aes.SetIv(iv ? iv : kZeroIv);
  return aes.EncryptWithLengthBlock(buffer, length, buffer, capacity, CAes::kModeCbc);
}

bool AesDecryptPadded(uint8_t* buffer, const uint8_t key[16], const uint8_t* iv, size_t length) {
  static const uint8_t kZeroIv[16] = {};
  CAes aes;
  aes.SetKey(key, 16);
  aes.SetIv(iv ? iv : kZeroIv);
  return aes.Decrypt(buffer, buffer, length, CAes::kModeCbc);
}
