#include "core/crypto/aes.h"

#include <gtest/gtest.h>

#include "core/crypto/cipher_oracle_test_util.h"

namespace {

using namespace cipher_oracle;

const char kSp800Key128[] = "2B7E151628AED2A6ABF7158809CF4F3C";
const char kSp800Key256[] = "603DEB1015CA71BE2B73AEF0857D77811F352C073B6108D72D9810A30914DFF4";
const char kSp800Iv[] = "000102030405060708090A0B0C0D0E0F";
const char kSp800Plain[] =
    "6BC1BEE22E409F96E93D7E117393172AAE2D8A571E03AC9C9EB76FAC45AF8E51"
    "30C81C46A35CE411E5FBC1191A0A52EFF69F2445DF4F9B17AD2B417BE66C3710";

void SetKey(CAes* aes, const Bytes& key) { aes->SetKey(key.data(), key.size()); }

TEST(AesTest, Fips197ExampleVectors) {
  struct Case {
    const char* key;
    const char* cipher;
  } cases[] = {
      {"000102030405060708090A0B0C0D0E0F", "69C4E0D86A7B0430D8CDB78070B4C55A"},
      {"000102030405060708090A0B0C0D0E0F1011121314151617", "DDA97CA4864CDFE06EAF70A0EC0D7191"},
      {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", "8EA2B7CA516745BFEAFC49904B496089"},
  };
  const Bytes plain = FromHex("00112233445566778899AABBCCDDEEFF");
  for (const Case& c : cases) {
    const Bytes key = FromHex(c.key);
    CAes aes;
    aes.SetKey(key.data(), key.size());
    ASSERT_TRUE(aes.IsInitialised());
    uint8_t out[16], back[16];
    aes.EncryptBlock(plain.data(), out);
    EXPECT_EQ(HexOf(out, 16), c.cipher) << key.size();
    aes.DecryptBlock(out, back);
    EXPECT_EQ(Bytes(back, back + 16), plain) << key.size();
  }
}

TEST(AesTest, Sp800_38aModes) {
  struct Case {
    const char* name;
    const char* key;
    int mode;
    const char* cipher;
  } cases[] = {
      {"ECB-AES128", kSp800Key128, CAes::kModeEcb,
       "3AD77BB40D7A3660A89ECAF32466EF97F5D3D58503B9699DE785895A96FDBAAF"
       "43B1CD7F598ECE23881B00E3ED0306887B0C785E27E8AD3F8223207104725DD4"},
      {"CBC-AES128", kSp800Key128, CAes::kModeCbc,
       "7649ABAC8119B246CEE98E9B12E9197D5086CB9B507219EE95DB113A917678B2"
       "73BED6B8E3C1743B7116E69E222295163FF1CAA1681FAC09120ECA307586E1A7"},
      {"CFB128-AES128", kSp800Key128, CAes::kModeCfb,
       "3B3FD92EB72DAD20333449F8E83CFB4AC8A64537A0B3A93FCDE3CDAD9F1CE58B"
       "26751F67A3CBB140B1808CF187A4F4DFC04B05357C5D1C0EEAC4C66F9FF7F2E6"},
      {"OFB-AES128", kSp800Key128, CAes::kModeOfb,
       "3B3FD92EB72DAD20333449F8E83CFB4A7789508D16918F03F53C52DAC54ED825"
       "9740051E9C5FECF64344F7A82260EDCC304C6528F659C77866A510D9C1D6AE5E"},
      {"ECB-AES256", kSp800Key256, CAes::kModeEcb,
       "F3EED1BDB5D2A03C064B5A7E3DB181F8591CCB10D410ED26DC5BA74A31362870"
       "B6ED21B99CA6F4F9F153E7B1BEAFED1D23304B7A39F9F3FF067D8D8F9E24ECC7"},
      {"CBC-AES256", kSp800Key256, CAes::kModeCbc,
       "F58C4C04D6E5F1BA779EABFB5F7BFBD69CFC4E967EDB808D679F777BC6702C7D"
       "39F23369A9D9BACFA530E26304231461B2EB05E2C39BE9FCDA6C19078C6A9D1B"},
  };
  const Bytes plain = FromHex(kSp800Plain);
  const Bytes iv = FromHex(kSp800Iv);
  for (const Case& c : cases) {
    CAes aes;
    SetKey(&aes, FromHex(c.key));
    aes.SetIv(iv.data());
    Bytes out(plain.size());
    ASSERT_TRUE(aes.Encrypt(plain.data(), out.data(), out.size(), c.mode)) << c.name;
    EXPECT_EQ(HexOf(out), c.cipher) << c.name;
    // Every call starts from the stored IV, and may work in place.
    Bytes in_place = plain;
    ASSERT_TRUE(aes.Encrypt(in_place.data(), in_place.data(), in_place.size(), c.mode)) << c.name;
    EXPECT_EQ(in_place, out) << c.name;
    ASSERT_TRUE(aes.Decrypt(in_place.data(), in_place.data(), in_place.size(), c.mode)) << c.name;
    EXPECT_EQ(in_place, plain) << c.name;
  }
}

TEST(AesTest, CounterModeRaisesTheCounterLittleEndian) {
  const Bytes key = FromHex("000102030405060708090A0B0C0D0E0F");
  const Bytes plain = FromHex(kSp800Plain);  // four blocks
  Bytes counter(16, 0);
  counter[0] = 0xFE;
  counter[1] = 0xFF;
  counter[2] = 0x07;
  counter[15] = 0x5A;
  // The counter blocks the key stream must come from: the carry runs up from byte 0.
  const Bytes blocks = FromHex(
      "FEFF070000000000000000000000005A"
      "FFFF070000000000000000000000005A"
      "0000080000000000000000000000005A"
      "0100080000000000000000000000005A");
  const Bytes stream = Cipher("AES-128-ECB", key, {}, blocks, true);
  ASSERT_EQ(stream.size(), 64u);
  Bytes expected(64);
  for (size_t i = 0; i < 64; ++i) expected[i] = plain[i] ^ stream[i];

  CAes aes;
  SetKey(&aes, key);
  aes.SetCounter(counter.data());
  Bytes out(64);
  ASSERT_TRUE(aes.Encrypt(plain.data(), out.data(), 64, CAes::kModeCounter));
  EXPECT_EQ(out, expected);
  EXPECT_EQ(HexOf(aes.Counter(), 16), "0200080000000000000000000000005A");

  // Calls continue the key stream; decryption starts again from the counter.
  aes.SetCounter(counter.data());
  Bytes parts(64);
  ASSERT_TRUE(aes.Encrypt(plain.data(), parts.data(), 16, CAes::kModeCounter));
  ASSERT_TRUE(aes.Encrypt(plain.data() + 16, parts.data() + 16, 48, CAes::kModeCounter));
  EXPECT_EQ(parts, expected);
  aes.SetCounter(counter.data());
  ASSERT_TRUE(aes.Decrypt(out.data(), out.data(), 64, CAes::kModeCounter));
  EXPECT_EQ(out, plain);
}

TEST(AesTest, CounterCarries) {
  struct Case {
    const char* before;
    const char* after;
  } cases[] = {
      {"FFFF0000000000000000000000000000", "00000100000000000000000000000000"},
      {"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", "00000000000000000000000000000000"},
      {"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF7F", "00000000000000000000000000000080"},
  };
  CAes aes;
  SetKey(&aes, Bytes(16, 0x42));
  const Bytes block(16, 0);
  for (const Case& c : cases) {
    aes.SetCounter(FromHex(c.before).data());
    uint8_t out[16];
    ASSERT_TRUE(aes.Encrypt(block.data(), out, 16, CAes::kModeCounter));
    EXPECT_EQ(HexOf(aes.Counter(), 16), c.after) << c.before;
  }
}

TEST(AesTest, RefusedCallsLeaveTheOutputUntouched) {
  const Bytes key(16, 0x01);
  const Bytes iv(16, 0x02);
  const Bytes in(32, 0x03);
  struct Case {
    const char* name;
    bool keyed, with_iv, with_counter;
    size_t length;
    int mode;
    bool null_in;
  } cases[] = {
      {"not initialised", false, true, true, 16, CAes::kModeEcb, false},
      {"length 0", true, true, true, 0, CAes::kModeEcb, false},
      {"length 17", true, true, true, 17, CAes::kModeCbc, false},
      {"no input", true, true, true, 16, CAes::kModeEcb, true},
      {"CBC without IV", true, false, true, 16, CAes::kModeCbc, false},
      {"CFB without IV", true, false, true, 16, CAes::kModeCfb, false},
      {"OFB without IV", true, false, true, 16, CAes::kModeOfb, false},
      {"counter without counter block", true, true, false, 16, CAes::kModeCounter, false},
      {"unknown mode", true, true, true, 16, 5, false},
  };
  for (const Case& c : cases) {
    CAes aes;
    if (c.keyed) aes.SetKey(key.data(), key.size());
    if (c.with_iv) aes.SetIv(iv.data());
    if (c.with_counter) aes.SetCounter(iv.data());
    Bytes out(32, 0xAA);
    const uint8_t* from = c.null_in ? nullptr : in.data();
    EXPECT_FALSE(aes.Encrypt(from, out.data(), c.length, c.mode)) << c.name;
    EXPECT_FALSE(aes.Decrypt(from, out.data(), c.length, c.mode)) << c.name;
    EXPECT_EQ(out, Bytes(32, 0xAA)) << c.name;
    // Any data length suits the length block; the other refusals hold for it too.
    if (c.length == 16) {
      EXPECT_EQ(aes.EncryptWithLengthBlock(from, 5, out.data(), out.size(), c.mode), 0u) << c.name;
      EXPECT_EQ(out, Bytes(32, 0xAA)) << c.name;
    }
  }

  // Keys of another length, or none, leave the object uninitialised.
  for (size_t length : {size_t{0}, size_t{8}, size_t{20}, size_t{33}}) {
    CAes aes;
    const Bytes odd(40, 0x05);
    aes.SetKey(odd.data(), length);
    EXPECT_FALSE(aes.IsInitialised()) << length;
  }
  CAes aes;
  aes.SetKey(nullptr, 16);
  EXPECT_FALSE(aes.IsInitialised());
}

TEST(AesTest, LengthBlock) {
  const Bytes key = FromHex(kSp800Key128);
  const Bytes iv = FromHex(kSp800Iv);
  struct Case {
    size_t n;
    size_t size;
    uint8_t marker;
  } cases[] = {{1, 32, 1}, {15, 32, 15}, {16, 32, 16}, {17, 48, 1}, {32, 48, 16}, {33, 64, 1}};
  for (const Case& c : cases) {
    Bytes data(c.n);
    for (size_t i = 0; i < c.n; ++i) data[i] = static_cast<uint8_t>(0x30 + i);
    EXPECT_EQ(CAes::LengthBlockSize(c.n), c.size) << c.n;

    // The plain message: the data, zeros to a whole block, the length block.
    Bytes message(c.size, 0);
    std::copy(data.begin(), data.end(), message.begin());
    message[c.size - 16] = c.marker;

    CAes aes;
    SetKey(&aes, key);
    aes.SetIv(iv.data());
    Bytes out(c.size + 5, 0xEE);
    ASSERT_EQ(aes.EncryptWithLengthBlock(data.data(), c.n, out.data(), out.size(), CAes::kModeCbc), c.size) << c.n;
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.size), Cipher("AES-128-CBC", key, iv, message, true)) << c.n;
    EXPECT_EQ(Bytes(out.begin() + c.size, out.end()), Bytes(5, 0xEE)) << c.n;

    // A buffer one byte short is refused untouched.
    Bytes small(c.size - 1, 0xEE);
    EXPECT_EQ(aes.EncryptWithLengthBlock(data.data(), c.n, small.data(), small.size(), CAes::kModeCbc), 0u) << c.n;
    EXPECT_EQ(small, Bytes(c.size - 1, 0xEE)) << c.n;

    // The padded helpers work in place and keep the length block on decryption.
    Bytes buffer = data;
    buffer.resize(c.size + 16, 0xEE);
    ASSERT_EQ(AesEncryptPadded(buffer.data(), c.size, key.data(), iv.data(), c.n), c.size) << c.n;
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.size), Bytes(out.begin(), out.begin() + c.size)) << c.n;
    ASSERT_TRUE(AesDecryptPadded(buffer.data(), key.data(), iv.data(), c.size)) << c.n;
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.size), message) << c.n;
    EXPECT_EQ(AesEncryptPadded(buffer.data(), c.size - 1, key.data(), iv.data(), c.n), 0u) << c.n;
  }
  EXPECT_EQ(CAes::LengthBlockSize(0), 0u);
  Bytes buffer(64, 0x11);
  EXPECT_EQ(AesEncryptPadded(buffer.data(), buffer.size(), key.data(), iv.data(), 0), 0u);
  EXPECT_EQ(buffer, Bytes(64, 0x11));
  EXPECT_FALSE(AesDecryptPadded(buffer.data(), key.data(), iv.data(), 0));
  EXPECT_FALSE(AesDecryptPadded(buffer.data(), key.data(), iv.data(), 17));
  EXPECT_EQ(buffer, Bytes(64, 0x11));
}

TEST(AesTest, PaddedWithoutIvUsesZeroIv) {
  const Bytes key = FromHex(kSp800Key128);
  const Bytes text = FromHex("48656C6C6F");
  Bytes a = text, b = text;
  a.resize(32);
  b.resize(32);
  ASSERT_EQ(AesEncryptPadded(a.data(), a.size(), key.data(), nullptr, text.size()), 32u);
  ASSERT_EQ(AesEncryptPadded(b.data(), b.size(), key.data(), Bytes(16, 0).data(), text.size()), 32u);
  EXPECT_EQ(a, b);
  EXPECT_NE(Bytes(a.begin(), a.begin() + 5), text);
  ASSERT_TRUE(AesDecryptPadded(a.data(), key.data(), nullptr, a.size()));
  EXPECT_EQ(Bytes(a.begin(), a.begin() + 5), text);
}

}  // namespace
