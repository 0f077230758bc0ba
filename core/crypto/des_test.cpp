#include "core/crypto/des.h"

#include <random>

#include <gtest/gtest.h>

#include "core/crypto/cipher_oracle_test_util.h"

namespace {

using namespace cipher_oracle;

Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes out(n);
  for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Two-key Triple-DES CBC from OpenSSL: DES-EDE-CBC when the provider has it, else the
// same cipher as K1 K2 K1 three-key Triple-DES.
Bytes OracleTripleDesCbc(const Bytes& key16, const Bytes& iv, const Bytes& data, bool encrypt) {
  Bytes out = Cipher("DES-EDE-CBC", key16, iv, data, encrypt);
  return out.empty() ? TripleDes2("CBC", key16, iv, data, encrypt) : out;
}

TEST(DesTest, PublishedVector) {
  Bytes block = FromHex("0123456789ABCDEF");
  const Bytes key = FromHex("133457799BBCDFF1");
  DesEncryptBlock(block.data(), key.data());
  EXPECT_EQ(HexOf(block), "85E813540F0AB405");
  DesDecryptBlock(block.data(), key.data());
  EXPECT_EQ(HexOf(block), "0123456789ABCDEF");
}

TEST(DesTest, BlocksAgreeWithOpenSsl) {
  std::mt19937 rng(1121);
  for (int i = 0; i < 200; ++i) {
    const Bytes key = RandomBytes(rng, 16);
    const Bytes plain = RandomBytes(rng, 8);
    const Bytes key8(key.begin(), key.begin() + 8);

    Bytes single = plain;
    DesEncryptBlock(single.data(), key.data());
    ASSERT_EQ(single, Des("ECB", key8, {}, plain, true)) << HexOf(key8) << " " << HexOf(plain);
    DesDecryptBlock(single.data(), key.data());
    EXPECT_EQ(single, plain);

    Bytes triple = plain;
    TripleDesEncryptBlock(triple.data(), key.data());
    ASSERT_EQ(triple, TripleDes2("ECB", key, {}, plain, true)) << HexOf(key) << " " << HexOf(plain);
    TripleDesDecryptBlock(triple.data(), key.data());
    EXPECT_EQ(triple, plain);

    // The flag form picks the same ciphers.
    Bytes flagged = plain;
    DesEncryptBlockSingleOrTriple(flagged.data(), key.data(), true);
    EXPECT_EQ(flagged, TripleDes2("ECB", key, {}, plain, true));
    flagged = plain;
    DesEncryptBlockSingleOrTriple(flagged.data(), key.data(), false);
    EXPECT_EQ(flagged, Des("ECB", key8, {}, plain, true));
  }
}

TEST(DesTest, TripleDesCbcAgreesWithOpenSslAndLeavesTrailingBytes) {
  std::mt19937 rng(7);
  const Bytes key = RandomBytes(rng, 16);
  const Bytes iv = RandomBytes(rng, 8);
  for (size_t length : {size_t{0}, size_t{7}, size_t{8}, size_t{16}, size_t{44}, size_t{96}, size_t{100}}) {
    const Bytes plain = RandomBytes(rng, length);
    const size_t whole = length / 8 * 8;
    const Bytes head(plain.begin(), plain.begin() + whole);

    Bytes buffer = plain;
    TripleDesCbcEncrypt(buffer.data(), key.data(), iv.data(), length);
    if (whole) {
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + whole), OracleTripleDesCbc(key, iv, head, true)) << length;
    }
    EXPECT_EQ(Bytes(buffer.begin() + whole, buffer.end()), Bytes(plain.begin() + whole, plain.end())) << length;
    TripleDesCbcDecrypt(buffer.data(), key.data(), iv.data(), length);
    EXPECT_EQ(buffer, plain) << length;
  }
}

TEST(DesTest, CbcBlocksWithSingleDesAgreeWithOpenSsl) {
  std::mt19937 rng(8);
  const Bytes key = RandomBytes(rng, 8);
  const Bytes iv = RandomBytes(rng, 8);
  const Bytes plain = RandomBytes(rng, 40);
  CTripleDes work;
  Bytes buffer = plain;
  TripleDesCbcEncryptBlocks(&work, false, buffer.data(), key.data(), iv.data(), 5);
  EXPECT_EQ(buffer, Des("CBC", key, iv, plain, true));
  TripleDesCbcDecryptBlocks(&work, false, buffer.data(), key.data(), iv.data(), 5);
  EXPECT_EQ(buffer, plain);
}

TEST(DesTest, KeyCheckValue) {
  const Bytes double_key = FromHex("0123456789ABCDEFFEDCBA9876543210");
  const Bytes single_key = FromHex("133457799BBCDFF1");
  uint8_t kcv[3] = {};
  ASSERT_TRUE(KeyCheckValue(double_key.data(), kcv, 16, 1));
  EXPECT_EQ(HexOf(kcv, 3), HexOf(TripleDes2("ECB", double_key, {}, Bytes(8, 0), true)).substr(0, 6));
  EXPECT_EQ(HexOf(kcv, 3), "08D7B4");
  ASSERT_TRUE(KeyCheckValue(single_key.data(), kcv, 8, 0));
  EXPECT_EQ(HexOf(kcv, 3), HexOf(Des("ECB", single_key, {}, Bytes(8, 0), true)).substr(0, 6));

  struct Refused {
    size_t key_length;
    int type;
  } refused[] = {{12, 0}, {24, 0}, {0, 0}, {8, 1}, {8, 2}, {8, 3}};
  const Bytes long_key(24, 0x11);
  for (const Refused& r : refused) {
    uint8_t out[3] = {0xAA, 0xAA, 0xAA};
    EXPECT_FALSE(KeyCheckValue(long_key.data(), out, r.key_length, r.type)) << r.key_length << " " << r.type;
    EXPECT_EQ(HexOf(out, 3), "AAAAAA");
  }
}

}  // namespace
