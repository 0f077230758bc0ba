#include "core/crypto/dukpt.h"

#include <random>

#include <gtest/gtest.h>

#include "core/crypto/cipher_oracle_test_util.h"
#include "core/crypto/crypto_engine.h"

namespace {

using namespace cipher_oracle;

// The ANSI X9.24-1 test base derivation key and key serial number.
const char kTestBdk[] = "0123456789ABCDEFFEDCBA9876543210";
const char kTestKsn[] = "FFFF9876543210E00000";
const char kTestIpek[] = "6AC292FAA1315B4D858AB3A3D7D5933A";

Bytes XorMask(Bytes key) {
  for (size_t h = 0; h < key.size(); h += 8) {
    for (size_t i = 0; i < 4; ++i) key[h + i] ^= 0xC0;
  }
  return key;
}

Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

Bytes Xor(Bytes a, const Bytes& b) {
  for (size_t i = 0; i < a.size(); ++i) a[i] ^= b[i];
  return a;
}

Bytes KsnWithCounter(const std::string& ksn_hex, uint32_t counter) {
  Bytes ksn = FromHex(ksn_hex);
  ksn[7] = static_cast<uint8_t>((ksn[7] & 0xE0) | (counter >> 16));
  ksn[8] = static_cast<uint8_t>(counter >> 8);
  ksn[9] = static_cast<uint8_t>(counter);
  return ksn;
}

// The keys of the standard computed directly from its definitions, with OpenSSL's
// DES: one non-reversible step per set counter bit, from the highest down.
struct Oracle {
  static Bytes Ipek(const Bytes& bdk, const Bytes& ksn) {
    Bytes left = Slice(ksn, 0, 8);
    left[7] &= 0xE0;
    Bytes ipek = TripleDes2("ECB", bdk, {}, left, true);
    const Bytes right = TripleDes2("ECB", XorMask(bdk), {}, left, true);
    ipek.insert(ipek.end(), right.begin(), right.end());
    return ipek;
  }

  static Bytes HalfStep(const Bytes& data, const Bytes& xor_key, const Bytes& des_key) {
    return Xor(Des("ECB", des_key, {}, Xor(data, xor_key), true), xor_key);
  }

  static Bytes NonReversible(const Bytes& key, const Bytes& reg) {
    if (key.size() == 8) return HalfStep(reg, key, key);
    const Bytes masked = XorMask(key);
    Bytes out = HalfStep(reg, Slice(masked, 8, 8), Slice(masked, 0, 8));
    const Bytes right = HalfStep(reg, Slice(key, 8, 8), Slice(key, 0, 8));
    out.insert(out.end(), right.begin(), right.end());
    return out;
  }

  static Bytes Key(const Bytes& initial, const Bytes& ksn, uint32_t counter, int variant) {
    Bytes reg = KsnWithCounter(HexOf(ksn), 0);
    reg.erase(reg.begin(), reg.begin() + 2);
    Bytes key = initial;
    for (uint32_t bit = 0x100000; bit; bit >>= 1) {
      if (!(counter & bit)) continue;
      reg[5] |= static_cast<uint8_t>(bit >> 16);
      reg[6] |= static_cast<uint8_t>(bit >> 8);
      reg[7] |= static_cast<uint8_t>(bit);
      key = NonReversible(key, reg);
    }
    const size_t at = variant == kDukptVariantPin ? 7 : variant == kDukptVariantMac ? 6 : 5;
    for (size_t h = 0; h < key.size(); h += 8) key[h + at] ^= 0xFF;
    if (variant != kDukptVariantData) return key;
    Bytes out;
    for (size_t h = 0; h < key.size(); h += 8) {
      const Bytes half = key.size() == 16 ? TripleDes2("ECB", key, {}, Slice(key, h, 8), true)
                                          : Des("ECB", key, {}, Slice(key, h, 8), true);
      out.insert(out.end(), half.begin(), half.end());
    }
    return out;
  }
};

// The originator replayed to the counter with CDukpt, as DukptDeriveDataKey does,
// for any key length and variant.
Bytes Replay(const Bytes& initial, const Bytes& ksn, uint32_t counter, int variant) {
  CDukpt originator;
  originator.LoadInitialKey(initial.size() == 16, initial.data(), ksn.data());
  Bytes key(initial.size());
  uint8_t ksn_out[kDukptKsnLength];
  for (int n = 1; n <= CDukpt::CountOneBits(counter); ++n) {
    const int rc = originator.GetTransactionKey(initial.size() == 16, DukptCounterPrefix(counter, n), ksn_out,
                                                key.data(), variant);
    if (rc != kDukptOk) return {};
  }
  EXPECT_EQ(HexOf(ksn_out, kDukptKsnLength), HexOf(KsnWithCounter(HexOf(ksn), counter)));
  return key;
}

TEST(DukptTest, PublishedVectors) {
  const Bytes bdk = FromHex(kTestBdk);
  const Bytes ksn = FromHex(kTestKsn);
  uint8_t ipek[16];
  ASSERT_TRUE(DukptDeriveIpek(ksn.data(), bdk.data(), ipek));
  EXPECT_EQ(HexOf(ipek, 16), kTestIpek);
  // The counter bits of the KSN do not enter the initial key.
  ASSERT_TRUE(DukptDeriveIpek(KsnWithCounter(kTestKsn, 0x1FFFFF).data(), bdk.data(), ipek));
  EXPECT_EQ(HexOf(ipek, 16), kTestIpek);

  struct Case {
    uint32_t counter;
    const char* data_key;
  } cases[] = {
      {1, "448D3F076D8304036A55A3D7E0055A78"},
      {2, "F1BE73B36135C5C26CF937D50ABBE5AF"},
  };
  for (const Case& c : cases) {
    const Bytes counted = KsnWithCounter(kTestKsn, c.counter);
    uint8_t key[16];
    ASSERT_TRUE(DukptDeriveDataKey(ipek, counted.data(), key)) << c.counter;
    EXPECT_EQ(HexOf(key, 16), c.data_key) << c.counter;
  }
}

TEST(DukptTest, InitialKeyTypes) {
  const Bytes bdk = FromHex(kTestBdk);
  const Bytes ksn = FromHex(kTestKsn);
  uint8_t key[16] = {};
  ASSERT_TRUE(DukptDeriveIpekTyped(ksn.data(), bdk.data(), key, 2));
  EXPECT_EQ(HexOf(key, 8), std::string(kTestIpek).substr(0, 16));
  EXPECT_EQ(HexOf(key + 8, 8), "0000000000000000");  // only the left half is written
  for (int type : {0, 1, 4}) {
    uint8_t untouched[16] = {};
    EXPECT_FALSE(DukptDeriveIpekTyped(ksn.data(), bdk.data(), untouched, type)) << type;
    EXPECT_EQ(HexOf(untouched, 16), std::string(32, '0')) << type;
  }
}

TEST(DukptTest, ReplayAgreesWithDirectDerivation) {
  const Bytes ipek = FromHex(kTestIpek);
  const Bytes ksn = FromHex(kTestKsn);
  std::vector<uint32_t> counters = {1, 2, 3, 0x100000, 0x000400, 0x0003FF, 0x1FF800, 0x155400, 0x1C0007};
  std::mt19937 rng(0x121);
  while (counters.size() < 150) {
    // A random number of random bits, one to ten.
    const int ones = 1 + static_cast<int>(rng() % kDukptMaxOneBits);
    uint32_t counter = 0;
    while (CDukpt::CountOneBits(counter) < ones) counter |= 1u << (rng() % 21);
    counters.push_back(counter);
  }
  for (uint32_t counter : counters) {
    uint8_t key[16];
    ASSERT_TRUE(DukptDeriveDataKey(ipek.data(), KsnWithCounter(kTestKsn, counter).data(), key)) << counter;
    EXPECT_EQ(HexOf(key, 16), HexOf(Oracle::Key(ipek, ksn, counter, kDukptVariantData))) << std::hex << counter;
  }
}

TEST(DukptTest, VariantsAndSingleLengthKeysAgreeWithDirectDerivation) {
  const Bytes ksn = FromHex(kTestKsn);
  const Bytes double_key = FromHex(kTestIpek);
  const Bytes single_key = Slice(double_key, 0, 8);
  for (const Bytes* initial : {&double_key, &single_key}) {
    for (int variant : {kDukptVariantData, kDukptVariantPin, kDukptVariantMac}) {
      for (uint32_t counter : {1u, 6u, 0x0A0501u, 0x1FF800u}) {
        EXPECT_EQ(HexOf(Replay(*initial, ksn, counter, variant)), HexOf(Oracle::Key(*initial, ksn, counter, variant)))
            << initial->size() << " " << variant << " " << std::hex << counter;
      }
    }
  }
}

TEST(DukptTest, TheOriginatorSkipsCountersWithMoreThanTenOneBits) {
  const Bytes ipek = FromHex(kTestIpek);
  const Bytes ksn = FromHex(kTestKsn);
  CDukpt originator;
  originator.LoadInitialKey(true, ipek.data(), ksn.data());
  EXPECT_EQ(originator.Counter(), 1u);
  uint8_t ksn_out[kDukptKsnLength];
  uint8_t key[16];
  // Move the originator to 0xFF0, then let it run on by itself.
  for (int n = 1; n <= 8; ++n) {
    ASSERT_EQ(originator.GetTransactionKey(true, DukptCounterPrefix(0xFF0, n), ksn_out, key, 0), kDukptOk);
  }
  std::vector<uint32_t> visited;
  while (originator.Counter() <= 0x1010) {
    const uint32_t counter = originator.Counter();
    const int variant = static_cast<int>(visited.size() % 3);
    ASSERT_EQ(originator.GetTransactionKey(true, counter, ksn_out, key, variant), kDukptOk) << std::hex << counter;
    EXPECT_EQ(HexOf(ksn_out, kDukptKsnLength), HexOf(KsnWithCounter(kTestKsn, counter)));
    EXPECT_EQ(HexOf(key, 16), HexOf(Oracle::Key(ipek, ksn, counter, variant))) << std::hex << counter;
    visited.push_back(counter);
  }
  std::vector<uint32_t> valid;
  for (uint32_t c = 0xFF1; c <= 0x1010; ++c) {
    if (CDukpt::CountOneBits(c) <= kDukptMaxOneBits) valid.push_back(c);
  }
  EXPECT_EQ(visited, valid);
}

TEST(DukptTest, TransactionKeyRefusals) {
  const Bytes ipek = FromHex(kTestIpek);
  const Bytes ksn = FromHex(kTestKsn);
  uint8_t ksn_out[kDukptKsnLength] = {};
  uint8_t key[16] = {};
  CDukpt empty;
  EXPECT_EQ(empty.GetTransactionKey(true, 1, ksn_out, key, 0), kDukptBadArgument);

  CDukpt originator;
  originator.LoadInitialKey(true, ipek.data(), ksn.data());
  struct Case {
    const char* name;
    bool double_length;
    uint32_t counter;
    int variant;
    int result;
  } cases[] = {
      {"single-length request", false, 1, 0, kDukptBadArgument},
      {"unknown variant", true, 1, 3, kDukptBadArgument},
      {"negative variant", true, 1, -1, kDukptBadArgument},
      {"counter 0", true, 0, 0, kDukptCounterOverflow},
      {"counter beyond 21 bits", true, 0x200000, 0, kDukptCounterOverflow},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(originator.GetTransactionKey(c.double_length, c.counter, ksn_out, key, c.variant), c.result) << c.name;
  }
  EXPECT_EQ(HexOf(key, 16), std::string(32, '0'));
  EXPECT_EQ(originator.Counter(), 1u);

  // A used key is erased: asking for it again fails its check byte.
  ASSERT_EQ(originator.GetTransactionKey(true, 1, ksn_out, key, 0), kDukptOk);
  const std::string first = HexOf(key, 16);
  EXPECT_EQ(originator.GetTransactionKey(true, 1, ksn_out, key, 0), kDukptRegisterErased);
  EXPECT_EQ(HexOf(key, 16), first);
  EXPECT_EQ(originator.Counter(), 2u);

  // A counter with more than ten one-bits has no key of its own.
  EXPECT_FALSE(DukptDeriveDataKey(ipek.data(), KsnWithCounter(kTestKsn, 0x7FF).data(), key));
  EXPECT_FALSE(DukptDeriveDataKey(ipek.data(), KsnWithCounter(kTestKsn, 0).data(), key));
}

TEST(DukptTest, KsnHelpers) {
  Bytes ksn = FromHex("FFFF9876543210E00000");
  DukptWriteCounter(ksn.data(), 0x1ABCDE);
  EXPECT_EQ(HexOf(ksn), "FFFF9876543210FABCDE");
  EXPECT_EQ(DukptKsnCounter(ksn.data()), 0x1ABCDEu);
  DukptClearCounter(ksn.data());
  EXPECT_EQ(HexOf(ksn), "FFFF9876543210E00000");

  EXPECT_EQ(DukptCounterPrefix(0x1ABCDE, 1), 0x100000u);
  EXPECT_EQ(DukptCounterPrefix(0x1ABCDE, 3), 0x1A0000u);
  EXPECT_EQ(DukptCounterPrefix(0x000005, 5), 0x000005u);
  EXPECT_EQ(CDukpt::CountOneBits(0x1FFFFF), 21);
  EXPECT_EQ(CDukpt::CountOneBits(0xE00000), 0);  // bits above the counter do not count

  struct Case {
    const char* before;
    const char* after;  // null: overflow
  } cases[] = {
      {"FFFF9876543210E00005", "FFFF9876543211000005"},  // carry from byte 7 into byte 6
      {"FFFF98765432FFE1FFFF", "FFFF987654330001FFFF"},
      {"FFFF98765400001FFFFF", "FFFF98765400003FFFFF"},
      {"FFFF987654FFFFE00001", nullptr},
  };
  for (const Case& c : cases) {
    Bytes k = FromHex(c.before);
    EXPECT_EQ(DukptIncrementKsn(k.data()), c.after != nullptr) << c.before;
    EXPECT_EQ(HexOf(k), c.after ? c.after : c.before) << c.before;
  }
}

// ---- The engine's entry point ----

Bytes Encrypt3DesCbc(const Bytes& key, const Bytes& plain) { return TripleDes2("CBC", key, Bytes(8, 0), plain, true); }

TEST(DukptDecryptTest, DecryptsUnderTheDataKeyOfTheKsn) {
  const Bytes bdk = FromHex(kTestBdk);
  const std::string plain("4012345678909=1512\0\0\0\0\0\0", 24);
  struct Case {
    uint32_t counter;
    const char* data_key;
  } cases[] = {{1, "448D3F076D8304036A55A3D7E0055A78"}, {2, "F1BE73B36135C5C26CF937D50ABBE5AF"}};
  for (const Case& c : cases) {
    const Bytes cipher = Encrypt3DesCbc(FromHex(c.data_key), Bytes(plain.begin(), plain.end()));
    std::string out;
    int error = -1;
    ASSERT_TRUE(g_CryptoEngine.DukptDecrypt(HexOf(cipher), HexOf(KsnWithCounter(kTestKsn, c.counter)), &out, &error,
                                            bdk.data()));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(out, plain);  // nothing is stripped
  }

  // A counter with exactly ten one-bits is a valid one.
  const Bytes ksn10 = KsnWithCounter(kTestKsn, 0x0003FF);
  const Bytes key10 = Oracle::Key(Oracle::Ipek(bdk, ksn10), ksn10, 0x3FF, kDukptVariantData);
  std::string out;
  int error = -1;
  ASSERT_TRUE(g_CryptoEngine.DukptDecrypt(HexOf(Encrypt3DesCbc(key10, Bytes(16, 0x5A))), HexOf(ksn10), &out, &error,
                                          bdk.data()));
  EXPECT_EQ(out, std::string(16, 0x5A));
}

TEST(DukptDecryptTest, TheProgramsOwnBdkIsTheDefault) {
  uint8_t own[16];
  DukptProgramBdk(own);
  const Bytes bdk(own, own + 16);
  EXPECT_NE(HexOf(bdk), kTestBdk);
  EXPECT_NE(HexOf(bdk), std::string(32, '0'));

  const Bytes ksn = KsnWithCounter("1234567890ABCDE00000", 0x000123);
  const Bytes key = Oracle::Key(Oracle::Ipek(bdk, ksn), ksn, 0x123, kDukptVariantData);
  const Bytes plain = FromHex("00112233445566778899AABBCCDDEEFF");
  const std::string cipher_hex = HexOf(Encrypt3DesCbc(key, plain));
  std::string out;
  int error = -1;
  ASSERT_TRUE(g_CryptoEngine.DukptDecrypt(cipher_hex, HexOf(ksn), &out, &error));
  EXPECT_EQ(out, std::string(plain.begin(), plain.end()));
  ASSERT_TRUE(g_CryptoEngine.DukptDecrypt(cipher_hex, HexOf(ksn), &out, &error, FromHex(kTestBdk).data()));
  EXPECT_NE(out, std::string(plain.begin(), plain.end()));
}

TEST(DukptDecryptTest, RefusesBadKsnAndData) {
  const Bytes bdk = FromHex(kTestBdk);
  const std::string ksn = HexOf(KsnWithCounter(kTestKsn, 1));
  const std::string data(16, 'A');
  struct Case {
    const char* name;
    std::string data_hex, ksn_hex;
    int error;
  } cases[] = {
      {"KSN of 19 characters", data, ksn.substr(1), kDukptErrEncryptedKey},
      {"KSN of 21 characters", data, ksn + "0", kDukptErrEncryptedKey},
      {"KSN not hex", data, "FFFF9876543210E0000G", kDukptErrEncryptedKey},
      {"KSN in lower case", data, "ffff9876543210e00001", kDukptErrEncryptedKey},
      {"counter 0", data, "FFFF9876543210E00000", kDukptErrEncryptedKey},
      {"counter with 11 one-bits", data, "FFFF9876543210E007FF", kDukptErrEncryptedKey},
      {"counter with 21 one-bits", data, "FFFF9876543210FFFFFF", kDukptErrEncryptedKey},
      {"bad KSN before bad data", "ABC", ksn.substr(1), kDukptErrEncryptedKey},
      {"data of 202 characters", std::string(202, '0'), ksn, kDukptErrEncryptedBlock},
      {"data of odd length", std::string(15, '0'), ksn, kDukptErrEncryptedBlock},
      {"data not whole blocks", std::string(24, '0'), ksn, kDukptErrEncryptedBlock},
      {"empty data", "", ksn, kDukptErrEncryptedBlock},
      {"data not hex", std::string(14, '0') + "XY", ksn, kDukptErrEncryptedBlock},
      {"bad data before counter 0", "ABC", "FFFF9876543210E00000", kDukptErrEncryptedBlock},
  };
  for (const Case& c : cases) {
    std::string out = "previous";
    int error = 0;
    EXPECT_FALSE(g_CryptoEngine.DukptDecrypt(c.data_hex, c.ksn_hex, &out, &error, bdk.data())) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_EQ(out, "") << c.name;
  }
  // 100 bytes are not whole blocks: the longest data accepted is 96 bytes.
  std::string out;
  int error = -1;
  EXPECT_TRUE(g_CryptoEngine.DukptDecrypt(std::string(192, '0'), ksn, &out, &error, bdk.data()));
  EXPECT_EQ(out.size(), 96u);
}

}  // namespace
