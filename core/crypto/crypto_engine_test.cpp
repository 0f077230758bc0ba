#include "core/crypto/crypto_engine.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

uint32_t Le32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// An RC4 of the fixture's own, to check the engine's session keys independently.
Bytes Rc4(const Bytes& key, const Bytes& data) {
  uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % key.size()]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  Bytes out(data.size());
  for (size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
    i = (i + 1) & 0xFF;
    j = (j + s[i]) & 0xFF;
    std::swap(s[i], s[j]);
    out[n] = data[n] ^ s[(s[i] + s[j]) & 0xFF];
  }
  return out;
}

Bytes Md5(const std::string& text) {
  Bytes out(16);
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), out.data(), &len, EVP_md5(), nullptr);
  return out;
}

// The server's public key, rebuilt from the greeting's PUBLICKEYBLOB with OpenSSL.
EVP_PKEY* PublicKeyFromText(const std::string& text) {
  const Bytes blob = FromHex(text.substr(1, text.size() - 2));
  const uint32_t bits = Le32(blob, 12);
  const uint32_t exponent = Le32(blob, 16);
  Bytes modulus(blob.begin() + 20, blob.begin() + 20 + bits / 8);
  std::reverse(modulus.begin(), modulus.end());
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* e = BN_new();
  BN_set_word(e, exponent);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(n);
  BN_free(e);
  return key;
}

// A SIMPLEBLOB made by the fixture: PKCS #1 v1.5 to the key, byte-reversed.
Bytes SimpleBlob(EVP_PKEY* key, uint32_t alg, const Bytes& session_key) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_encrypt_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  size_t len = 0;
  EVP_PKEY_encrypt(ctx, nullptr, &len, session_key.data(), session_key.size());
  Bytes cipher(len);
  EVP_PKEY_encrypt(ctx, cipher.data(), &len, session_key.data(), session_key.size());
  EVP_PKEY_CTX_free(ctx);
  std::reverse(cipher.begin(), cipher.end());
  Bytes blob = {0x01, 0x02, 0x00, 0x00};
  for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(alg >> (8 * i)));
  for (uint8_t b : {0x00, 0xA4, 0x00, 0x00}) blob.push_back(b);
  blob.insert(blob.end(), cipher.begin(), cipher.end());
  return blob;
}

Bytes BlockCipher(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& data, bool encrypt) {
  const Bytes iv(16, 0);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
  Bytes out(data.size() + 32);
  int len = 0, tail = 0;
  EVP_CipherUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(data.size()));
  const int ok = EVP_CipherFinal_ex(ctx, out.data() + len, &tail);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(ok == 1 ? len + tail : 0);
  return out;
}

std::string HexOf(const Bytes& b) { return CRequest::BytesToHex(b.data(), b.size()); }
Bytes BytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

class CryptoEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_crypto_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    platform::capi::SetContainerRootForTesting(home_ + "/keys");
    // Tests run in parallel: each writes its log in a folder of its own.
    previous_folder_ = std::filesystem::current_path();
    ASSERT_EQ(chdir(home_.c_str()), 0);
    platform::fs::CreateFolder("QUILLON_LOGS");
  }
  void TearDown() override {
    g_CryptoEngine.Stop();
    platform::capi::SetContainerRootForTesting("");
    std::error_code back;  // the working folder the test found comes back first
    std::filesystem::current_path(previous_folder_, back);
    std::system(("rm -rf '" + home_ + "'").c_str());
  }

  // The log lines written since the last call, without stamps and separators.
  std::vector<std::string> NewLogLines() {
    EXPECT_TRUE(GetLogger().Flush(5000));
    const struct tm t = platform::LocalTime(platform::Now());
    std::string bytes;
    platform::fs::ReadFile(platform::Format("QUILLON_LOGS/KVR%02d%02d%04d.log", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900), &bytes);
    const std::string text = platform::fs::FromTextMode(bytes);
    std::vector<std::string> lines;
    size_t pos = seen_;
    while (pos < text.size()) {
      const size_t end = text.find("\n----------\n", pos);
      if (end == std::string::npos) break;
      lines.push_back(text.substr(pos + 10, end - pos - 10));  // after "[hh:mm:ss]"
      pos = end + 12;
    }
    seen_ = pos;
    return lines;
  }

  std::string home_;
  size_t seen_ = 0;
  std::filesystem::path previous_folder_;
};

TEST(CRequestTest, HexTexts) {
  const uint8_t bytes[] = {0x00, 0x9F, 0xA0, 0xFF};
  EXPECT_EQ(CRequest::BytesToHex(bytes, 4), "009FA0FF");
  EXPECT_EQ(CRequest::HexPairToByte('9', 'f'), 0x90);
  EXPECT_EQ(CRequest::HexPairToByte('A', 'F'), 0xAF);
  uint8_t buffer[2] = {};
  size_t count = 99;
  EXPECT_FALSE(CRequest::TranslateHexStringToByteArray(&count, buffer, 2, "ABC"));
  EXPECT_TRUE(CRequest::TranslateHexStringToByteArray(&count, buffer, 2, "0A1B"));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(buffer[0], 0x0A);
  EXPECT_EQ(buffer[1], 0x1B);
  EXPECT_FALSE(CRequest::TranslateHexStringToByteArray(&count, buffer, 2, "0A1B2C"));  // beyond the buffer
  EXPECT_TRUE(CRequest::IsHexText("09AF"));
  EXPECT_FALSE(CRequest::IsHexText("09af"));
  EXPECT_FALSE(CRequest::IsHexText("0"));
}

TEST_F(CryptoEngineTest, FirstStartCreatesTheContainerAndLaterStartsFindIt) {
  NewLogLines();
  ASSERT_TRUE(g_CryptoEngine.Start());
  const std::vector<std::string> first = {
      "Trying ::CtAcCt('A')",
      "Failed ('A') with [0x80090016] Keyset does not exist\r\n",
      "NTE_BAD_KEYSET and NTE_BAD_KEY_STATE handler",
      "Trying ::CryptAcquireContext('B')",
      "Success on Trying ::CryptAcquireContext('B')",
      "Trying ::CtGtUKy('GA')",
      "Failed ('GA') with [0x8009000d] Key does not exist.\r\n",
      "Failure is NTE_NO_KEY",
      "Trying ::CryptGenKey('GB')",
      "Success on Trying CryptGenKey('GB')",
  };
  EXPECT_EQ(NewLogLines(), first);
  const std::string key_text = g_CryptoEngine.GetPublicKeyText();
  ASSERT_GT(key_text.size(), 2u);
  EXPECT_EQ(key_text.front(), '\x11');
  EXPECT_EQ(key_text.back(), '\x12');

  // The PUBLICKEYBLOB, field by field.
  const Bytes blob = FromHex(key_text.substr(1, key_text.size() - 2));
  ASSERT_EQ(blob.size(), 20u + 256u);
  EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 8), (Bytes{0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00}));
  EXPECT_EQ(std::string(blob.begin() + 8, blob.begin() + 12), "RSA1");
  EXPECT_EQ(Le32(blob, 12), 2048u);
  EXPECT_EQ(Le32(blob, 16), 65537u);

  g_CryptoEngine.Stop();
  EXPECT_EQ(g_CryptoEngine.GetPublicKeyText(), "");
  ASSERT_TRUE(g_CryptoEngine.Start());
  const std::vector<std::string> second = {
      "Trying ::CtAcCt('A')", "Success on Trying ::CtAcCt('A')", "Trying ::CtGtUKy('GA')",
      "Success on Trying CtGtUKy('GA')"};
  EXPECT_EQ(NewLogLines(), second);
  EXPECT_EQ(g_CryptoEngine.GetPublicKeyText(), key_text);
}

TEST_F(CryptoEngineTest, SessionKeysComeFromTheSharedMaterialAndRestartEveryCall) {
  ASSERT_TRUE(g_CryptoEngine.Start());
  const Bytes challenge = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  struct Case {
    bool (CCryptoEngine::*encrypt)(uint8_t*, uint32_t*, uint32_t);
    const char* material;
  } cases[] = {
      {&CCryptoEngine::EncryptRc4A, "KVR-CLIENT-LOGIN-A:93b1e5d07c2a4f68"},
      {&CCryptoEngine::EncryptRc4B, "RVCS-CHALLENGE-B:5a7e2c9f01d34b86"},
      {&CCryptoEngine::EncryptRc4C, "KVR-CLIENT-LOGIN-M:c4d8a61f3e9b2075"},
  };
  for (const Case& c : cases) {
    Bytes once = challenge, twice = challenge;
    uint32_t len = 16;
    ASSERT_TRUE((g_CryptoEngine.*c.encrypt)(once.data(), &len, 16));
    EXPECT_EQ(len, 16u);
    ASSERT_TRUE((g_CryptoEngine.*c.encrypt)(twice.data(), &len, 16));
    EXPECT_EQ(once, twice) << c.material;
    EXPECT_EQ(once, Rc4(Md5(c.material), challenge)) << c.material;
  }
  // Session key 1 round-trips through its hex texts.
  std::string hex, back;
  ASSERT_TRUE(g_CryptoEngine.EncryptToHex("hello", &hex));
  EXPECT_EQ(hex.size(), 16u);
  ASSERT_TRUE(g_CryptoEngine.DecryptFromHex(hex, &back));
  EXPECT_EQ(back, "hello");
  EXPECT_FALSE(g_CryptoEngine.DecryptFromHex("ABC", &back));

  uint8_t random[32] = {};
  EXPECT_TRUE(g_CryptoEngine.GenerateRandom(sizeof random, random));
}

TEST_F(CryptoEngineTest, KeyBlobsFromTheClientDecryptAndEncrypt) {
  ASSERT_TRUE(g_CryptoEngine.Start());
  EVP_PKEY* server_key = PublicKeyFromText(g_CryptoEngine.GetPublicKeyText());
  ASSERT_NE(server_key, nullptr);
  const std::string request = "TStream=Transaction\x1cTranType=Credit\x1cTranCode=Sale";
  const std::string reply16(32, 'R');  // a whole number of AES blocks: the engine must retry

  struct Case {
    const char* name;
    uint32_t alg;
    size_t key_len;
    const EVP_CIPHER* cipher;  // null: RC4
  } cases[] = {
      {"RC4", 0x6801, 16, nullptr},
      {"3DES", 0x6603, 24, EVP_des_ede3_cbc()},
      {"AES-256", 0x6610, 32, EVP_aes_256_cbc()},
  };
  for (const Case& c : cases) {
    Bytes session(c.key_len);
    RAND_bytes(session.data(), static_cast<int>(session.size()));
    const Bytes blob = SimpleBlob(server_key, c.alg, session);
    auto encrypt = [&](const Bytes& plain) { return c.cipher ? BlockCipher(c.cipher, session, plain, true) : Rc4(session, plain); };
    auto decrypt = [&](const Bytes& cipher) { return c.cipher ? BlockCipher(c.cipher, session, cipher, false) : Rc4(session, cipher); };

    std::string plain;
    ASSERT_TRUE(g_CryptoEngine.DecryptHexWithKeyBlob(blob.data(), blob.size(), HexOf(encrypt(BytesOf(request))), &plain)) << c.name;
    EXPECT_EQ(plain, request) << c.name;

    for (const std::string& text : {std::string("<RStream>ok</RStream>"), reply16}) {
      std::string hex;
      ASSERT_TRUE(g_CryptoEngine.EncryptWithKeyBlobToHex(blob.data(), blob.size(), &hex, text)) << c.name;
      EXPECT_EQ(decrypt(FromHex(hex)), BytesOf(text)) << c.name;
    }

    // Texts that are not a payload.
    std::string hex = HexOf(encrypt(BytesOf(request)));
    std::string lower = hex;
    for (char& ch : lower) ch = static_cast<char>(tolower(ch));
    for (const std::string& bad : {std::string(), hex.substr(1), lower}) {
      EXPECT_FALSE(g_CryptoEngine.DecryptHexWithKeyBlob(blob.data(), blob.size(), bad, &plain)) << c.name << " " << bad;
    }
  }
  EVP_PKEY_free(server_key);
}

// Blobs whose RSA part does not carry a key of the algorithm's length (made for
// another key of the same size, a random number, a short key) open with a substitute
// key, as a blob with a wrong key does: the same for the same blob, in both
// directions, across a restart of the engine, and without a log line. Blobs that fail
// their header checks are refused without one.
TEST_F(CryptoEngineTest, UnsoundBlobsOpenWithASubstituteKeyWithoutALogLine) {
  ASSERT_TRUE(g_CryptoEngine.Start());
  EVP_PKEY* server_key = PublicKeyFromText(g_CryptoEngine.GetPublicKeyText());
  ASSERT_NE(server_key, nullptr);
  const size_t k = static_cast<size_t>(EVP_PKEY_get_size(server_key));
  EVP_PKEY* other = EVP_RSA_gen(static_cast<unsigned>(k * 8));
  ASSERT_NE(other, nullptr);
  const Bytes session(16, 0x42);
  auto rsa_part = [](const Bytes& blob) { return Bytes(blob.begin() + 12, blob.end()); };
  Bytes random_part(k);
  RAND_bytes(random_part.data(), static_cast<int>(k));
  Bytes random_blob = SimpleBlob(server_key, 0x6801, session);
  std::copy(random_part.begin(), random_part.end(), random_blob.begin() + 12);
  struct Case {
    const char* name;
    Bytes blob;
  } cases[] = {
      {"made for another key", SimpleBlob(other, 0x6801, session)},
      {"random RSA part", random_blob},
      {"RC4 key of 5 bytes", SimpleBlob(server_key, 0x6801, Bytes(5, 0x42))},
      {"3DES key of 16 bytes", SimpleBlob(server_key, 0x6603, Bytes(16, 0x42))},
  };
  const std::string request = "TStream=Transaction";
  for (const Case& c : cases) {
    NewLogLines();
    ASSERT_NE(rsa_part(c.blob), rsa_part(SimpleBlob(server_key, 0x6801, session))) << c.name;
    // What the engine encrypts with the blob it decrypts with the blob again.
    std::string reply_hex;
    ASSERT_TRUE(g_CryptoEngine.EncryptWithKeyBlobToHex(c.blob.data(), c.blob.size(), &reply_hex, request)) << c.name;
    std::string back;
    ASSERT_TRUE(g_CryptoEngine.DecryptHexWithKeyBlob(c.blob.data(), c.blob.size(), reply_hex, &back)) << c.name;
    EXPECT_EQ(back, request) << c.name << ": both directions take one key";
    // Not the key the client meant.
    const std::string meant = HexOf(Rc4(session, BytesOf(request)));
    EXPECT_NE(reply_hex, meant) << c.name;
    std::string again;
    ASSERT_TRUE(g_CryptoEngine.EncryptWithKeyBlobToHex(c.blob.data(), c.blob.size(), &again, request)) << c.name;
    EXPECT_EQ(again, reply_hex) << c.name << ": the same blob, the same key";
    EXPECT_TRUE(NewLogLines().empty()) << c.name;

    g_CryptoEngine.Stop();
    ASSERT_TRUE(g_CryptoEngine.Start());
    NewLogLines();
    ASSERT_TRUE(g_CryptoEngine.EncryptWithKeyBlobToHex(c.blob.data(), c.blob.size(), &again, request)) << c.name;
    EXPECT_EQ(again, reply_hex) << c.name << ": the same key after a restart";
  }

  std::string out;
  const Bytes junk(12, 0x01);
  Bytes wrong_size = SimpleBlob(server_key, 0x6801, session);
  wrong_size.pop_back();
  Bytes wrong_alg = SimpleBlob(server_key, 0x6602, session);  // RC2
  for (const Bytes& blob : {junk, wrong_size, wrong_alg}) {
    EXPECT_FALSE(g_CryptoEngine.DecryptHexWithKeyBlob(blob.data(), blob.size(), "00", &out));
    EXPECT_FALSE(g_CryptoEngine.EncryptWithKeyBlobToHex(blob.data(), blob.size(), &out, "reply"));
  }
  EXPECT_TRUE(NewLogLines().empty());
  EVP_PKEY_free(other);
  EVP_PKEY_free(server_key);
}

// A decrypted text ends at its first NUL, as a NUL-terminated text does; what comes
// before it is kept byte for byte, control bytes included.
TEST_F(CryptoEngineTest, DecryptedTextsEndAtTheirFirstNul) {
  ASSERT_TRUE(g_CryptoEngine.Start());
  EVP_PKEY* server_key = PublicKeyFromText(g_CryptoEngine.GetPublicKeyText());
  ASSERT_NE(server_key, nullptr);
  const std::string sale = "TStream=Transaction\x1cTranType=Credit\x1cTranCode=Sale";
  struct Row {
    const char* name;
    std::string plain;
    std::string text;
  } rows[] = {
      {"no NUL", sale, sale},
      {"one NUL at the end", sale + std::string(1, '\0'), sale},
      {"two NULs at the end", sale + std::string(2, '\0'), sale},
      {"bytes after the NUL", sale + std::string(1, '\0') + "Memo=x", sale},
      {"NUL first", std::string(1, '\0') + sale, ""},
      {"control byte before the NUL", "Memo=a\x01" + std::string(1, '\0'), "Memo=a\x01"},
      {"only a NUL", std::string(1, '\0'), ""},
  };
  Bytes rc4_key(16), des_key(24);
  RAND_bytes(rc4_key.data(), 16);
  RAND_bytes(des_key.data(), 24);
  const Bytes rc4_blob = SimpleBlob(server_key, 0x6801, rc4_key);
  const Bytes des_blob = SimpleBlob(server_key, 0x6603, des_key);
  for (const Row& row : rows) {
    std::string out = "untouched";
    ASSERT_TRUE(g_CryptoEngine.DecryptHexWithKeyBlob(rc4_blob.data(), rc4_blob.size(),
                                                     HexOf(Rc4(rc4_key, BytesOf(row.plain))), &out)) << row.name;
    EXPECT_EQ(out, row.text) << "RC4, " << row.name;
    out = "untouched";
    ASSERT_TRUE(g_CryptoEngine.DecryptHexWithKeyBlob(
        des_blob.data(), des_blob.size(), HexOf(BlockCipher(EVP_des_ede3_cbc(), des_key, BytesOf(row.plain), true)),
        &out)) << row.name;
    EXPECT_EQ(out, row.text) << "3DES, " << row.name;
    // Session key 1 the same way.
    std::string hex;
    ASSERT_TRUE(g_CryptoEngine.EncryptToHex(row.plain, &hex)) << row.name;
    out = "untouched";
    ASSERT_TRUE(g_CryptoEngine.DecryptFromHex(hex, &out)) << row.name;
    EXPECT_EQ(out, row.text) << "session key 1, " << row.name;
  }
  EVP_PKEY_free(server_key);
}

// A container made before new ones got 2048-bit keys keeps its 1024-bit pair: the
// engine publishes it, opens blobs made for it and never replaces it.
TEST_F(CryptoEngineTest, AContainerWithA1024BitKeyKeepsItAndWorks) {
  namespace capi = platform::capi;
  const char kContainer[] = "CorvaneElavonIP_Host{7C31E5A2-9B04-4F6D-8E21-3D5A90C4B7F1}";
  capi::HCRYPTPROV prov = 0;
  capi::HCRYPTKEY pair = 0;
  ASSERT_TRUE(capi::CryptAcquireContext(&prov, kContainer, capi::MS_ENH_RSA_AES_PROV, capi::PROV_RSA_AES,
                                        capi::CRYPT_NEWKEYSET));
  ASSERT_TRUE(capi::CryptGenKey(prov, capi::AT_KEYEXCHANGE, 1024u << 16, &pair));
  capi::DWORD len = 0;
  ASSERT_TRUE(capi::CryptExportKey(pair, 0, capi::PUBLICKEYBLOB, 0, nullptr, &len));
  Bytes made(len);
  ASSERT_TRUE(capi::CryptExportKey(pair, 0, capi::PUBLICKEYBLOB, 0, made.data(), &len));
  capi::CryptDestroyKey(pair);
  capi::CryptReleaseContext(prov, 0);

  for (int start = 0; start < 2; ++start) {
    NewLogLines();
    ASSERT_TRUE(g_CryptoEngine.Start());
    const std::vector<std::string> found = {"Trying ::CtAcCt('A')", "Success on Trying ::CtAcCt('A')",
                                            "Trying ::CtGtUKy('GA')", "Success on Trying CtGtUKy('GA')"};
    EXPECT_EQ(NewLogLines(), found);
    const std::string text = g_CryptoEngine.GetPublicKeyText();
    EXPECT_EQ(FromHex(text.substr(1, text.size() - 2)), made);
    const Bytes blob = FromHex(text.substr(1, text.size() - 2));
    ASSERT_EQ(blob.size(), 20u + 128u);
    EXPECT_EQ(Le32(blob, 12), 1024u);

    EVP_PKEY* server_key = PublicKeyFromText(text);
    ASSERT_NE(server_key, nullptr);
    Bytes session(16);
    RAND_bytes(session.data(), 16);
    const Bytes key_blob = SimpleBlob(server_key, 0x6801, session);
    ASSERT_EQ(key_blob.size(), 12u + 128u);
    const std::string request = "TStream=Transaction\x1cTranType=Credit";
    std::string plain, reply;
    ASSERT_TRUE(g_CryptoEngine.DecryptHexWithKeyBlob(key_blob.data(), key_blob.size(),
                                                     HexOf(Rc4(session, BytesOf(request))), &plain));
    EXPECT_EQ(plain, request);
    ASSERT_TRUE(g_CryptoEngine.EncryptWithKeyBlobToHex(key_blob.data(), key_blob.size(), &reply, "<RStream/>"));
    EXPECT_EQ(Rc4(session, FromHex(reply)), BytesOf("<RStream/>"));
    EVP_PKEY_free(server_key);
    g_CryptoEngine.Stop();
  }
}

TEST_F(CryptoEngineTest, NothingWorksWhileStopped) {
  uint8_t buffer[16] = {};
  uint32_t len = 16;
  EXPECT_FALSE(g_CryptoEngine.EncryptRc4A(buffer, &len, 16));
  EXPECT_FALSE(g_CryptoEngine.GenerateRandom(16, buffer));
  std::string out;
  EXPECT_FALSE(g_CryptoEngine.EncryptToHex("x", &out));
  EXPECT_EQ(g_CryptoEngine.GetPublicKeyText(), "");
}

}  // namespace

namespace {

TEST_F(CryptoEngineTest, AContainerThatCannotBeMadeFailsTheStart) {
  // A regular file where the container folder should go.
  ASSERT_TRUE(platform::fs::ReplaceFile(home_ + "/blocked", "x"));
  platform::capi::SetContainerRootForTesting(home_ + "/blocked");
  NewLogLines();
  EXPECT_FALSE(g_CryptoEngine.Start());
  const std::vector<std::string> lines = NewLogLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.back(), "Unable to Delete Keyset...");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Trying ::CryptAcquireContext('C')"), lines.end());
  EXPECT_EQ(g_CryptoEngine.GetPublicKeyText(), "");
}

}  // namespace
