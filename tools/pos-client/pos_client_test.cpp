#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "tools/pos-client/hex.h"
#include "tools/pos-client/key_blob.h"
#include "tools/pos-client/reply_frame.h"
#include "tools/pos-client/request_envelope.h"
#include "tools/pos-client/session_cipher.h"

namespace pos_client {
namespace {

// ---- helpers written against OpenSSL directly, independent of the library ----

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

std::string Bytes(std::string_view lower_hex) {
  std::string out;
  for (size_t i = 0; i + 1 < lower_hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(lower_hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string Reversed(std::string text) { return std::string(text.rbegin(), text.rend()); }

// a XOR b for a no longer than b.
std::string Xor(std::string_view a, std::string_view b) {
  EXPECT_LE(a.size(), b.size());
  std::string out(a.substr(0, std::min(a.size(), b.size())));
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ b[i]);
  return out;
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The PUBLICKEYBLOB of an OpenSSL RSA key.
std::string PublicKeyBlobOf(EVP_PKEY* key) {
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e), 1);
  const int bytes = BN_num_bytes(n);
  const uint32_t bits = static_cast<uint32_t>(bytes) * 8;
  const uint32_t exponent = static_cast<uint32_t>(BN_get_word(e));
  std::string blob("\x06\x02\x00\x00\x00\xA4\x00\x00RSA1", 12);
  for (uint32_t v : {bits, exponent}) {
    for (int i = 0; i < 4; ++i) blob.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  std::string modulus(static_cast<size_t>(bytes), '\0');
  BN_bn2lebinpad(n, reinterpret_cast<unsigned char*>(modulus.data()), bytes);
  BN_free(n);
  BN_free(e);
  return blob + modulus;
}

// OpenSSL's own writer of the same blob ("MSBLOB").
std::string OpenSslPublicKeyBlob(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  EXPECT_GT(i2b_PublicKey_bio(bio, key), 0);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string blob(data, static_cast<size_t>(size));
  BIO_free(bio);
  return blob;
}

// RSA decryption of big-endian cipher text with the private key; false when refused.
bool RsaDecrypt(EVP_PKEY* key, const std::string& cipher_text, int padding, std::string* out) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  std::string plain(cipher_text.size(), '\0');
  size_t size = plain.size();
  const bool ok = ctx != nullptr && EVP_PKEY_decrypt_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
                  EVP_PKEY_decrypt(ctx, reinterpret_cast<unsigned char*>(plain.data()), &size,
                                   reinterpret_cast<const unsigned char*>(cipher_text.data()),
                                   cipher_text.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (ok) *out = plain.substr(0, size);
  return ok;
}

// The session key inside a SIMPLEBLOB, unwrapped with the private key.
bool Unwrap(EVP_PKEY* key, const std::string& blob, std::string* session_key) {
  return blob.size() > 12 && RsaDecrypt(key, Reversed(blob.substr(12)), RSA_PKCS1_PADDING, session_key);
}

// 3DES-CBC, zero IV, through EVP; with padding off, the text must be whole blocks.
std::string EvpTripleDes(bool encrypt, const std::string& key, const std::string& in,
                         bool padding = true) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const unsigned char iv[8] = {};
  std::string out(in.size() + 8, '\0');
  int n1 = 0;
  int n2 = 0;
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  const bool ok =
      EVP_CipherInit_ex(ctx, EVP_des_ede3_cbc(), nullptr,
                        reinterpret_cast<const unsigned char*>(key.data()), iv, encrypt) == 1 &&
      EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0) == 1 &&
      EVP_CipherUpdate(ctx, dst, &n1, reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size())) == 1 &&
      EVP_CipherFinal_ex(ctx, dst + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_TRUE(ok);
  return ok ? out.substr(0, static_cast<size_t>(n1 + n2)) : std::string();
}

// A reproducible source: 0, 1, 2, ... 255, 0, 1, ... (zeros included, which the
// key-blob padding must skip).
RandomBytes CountingRandom() {
  auto next = std::make_shared<unsigned>(0);
  return [next](unsigned char* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>((*next)++ & 0xFF);
    return true;
  };
}

std::string CountingPadding(size_t length) {
  std::string out;
  for (unsigned v = 0; out.size() < length; ++v) {
    if ((v & 0xFF) != 0) out.push_back(static_cast<char>(v & 0xFF));
  }
  return out;
}

// RFC 6229, key 0x0102...10: key stream bytes 0 to 31.
const std::string kRfcKey = Bytes("0102030405060708090a0b0c0d0e0f10");
const std::string kRfcStream =
    Bytes("9ac7cc9a609d1ef7b2932899cde41b97" "5248c4959014126a6e8a84f11d1a9e1c");

// Two RSA key pairs for the whole suite: the server's and a stranger's.
class PosClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_pair_ = EVP_RSA_gen(1024);
    other_pair_ = EVP_RSA_gen(1024);
    large_pair_ = EVP_RSA_gen(2048);
    ASSERT_NE(large_pair_, nullptr);
    ASSERT_NE(server_pair_, nullptr);
    ASSERT_NE(other_pair_, nullptr);
  }
  static void TearDownTestSuite() {
    EVP_PKEY_free(server_pair_);
    EVP_PKEY_free(other_pair_);
    EVP_PKEY_free(large_pair_);
    server_pair_ = other_pair_ = large_pair_ = nullptr;
  }

  static ServerPublicKey Public(EVP_PKEY* pair) {
    ServerPublicKey key;
    EXPECT_EQ(ServerPublicKey::FromBlob(PublicKeyBlobOf(pair), &key), Status::kOk);
    return key;
  }

  static EVP_PKEY* server_pair_;
  static EVP_PKEY* other_pair_;
  static EVP_PKEY* large_pair_;  // a server key of 2048 bits, as new containers hold
};
EVP_PKEY* PosClientTest::server_pair_ = nullptr;
EVP_PKEY* PosClientTest::other_pair_ = nullptr;
EVP_PKEY* PosClientTest::large_pair_ = nullptr;

// ---- hex ----

TEST(HexTest, WritesUpperCaseAndReadsOnlyUpperCase) {
  EXPECT_EQ(ToHex(std::string("\x00\x9F\xA0\xFF", 4)), "009FA0FF");
  EXPECT_EQ(ToHex(std::string("\x00\x9F\xA0\xFF", 4), true), "009fa0ff");

  std::string bytes;
  ASSERT_TRUE(FromHex("0A1B", &bytes));
  EXPECT_EQ(bytes, "\x0A\x1B");
  ASSERT_TRUE(FromHex("", &bytes));
  EXPECT_EQ(bytes, "");
  for (const char* bad : {"ABC", "9f", "0G", " 0", "0\x11"}) {
    EXPECT_FALSE(FromHex(bad, &bytes)) << bad;
    EXPECT_EQ(bytes, "") << bad;
  }
}

// ---- session ciphers ----

TEST(Rc4Test, MatchesRfc6229KeyStreams) {
  struct Case {
    const char* key;
    size_t offset;
    const char* stream;
  };
  const Case cases[] = {
      {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
      {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
      {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
      {"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
      {"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
      {"0102030405060708090a0b0c0d0e0f10", 16, "5248c4959014126a6e8a84f11d1a9e1c"},
      {"0102030405060708090a0b0c0d0e0f10", 240, "065902e4b620f6cc36c8589f66432f2b"},
      {"0102030405060708090a0b0c0d0e0f10", 256, "d39d566bc6bce3010768151549f3873f"},
  };
  for (const Case& c : cases) {
    std::string stream;
    ASSERT_TRUE(Rc4Apply(Bytes(c.key), std::string(272, '\0'), &stream));
    EXPECT_EQ(stream.substr(c.offset, 16), Bytes(c.stream)) << c.key << " @" << c.offset;
  }
  std::string out;
  EXPECT_FALSE(Rc4Apply("", "data", &out));
  EXPECT_FALSE(Rc4Apply(std::string(257, 'k'), "data", &out));
}

TEST(SessionCipherTest, Rc4StartsItsKeyStreamAfreshForEveryMessage) {
  const SessionKey session{Cipher::kRc4, kRfcKey};
  const std::string plain = "TranType=Credit\x1cTranCode=Sale";
  std::string first;
  std::string second;
  ASSERT_EQ(Encrypt(session, plain, &first), Status::kOk);
  ASSERT_EQ(Encrypt(session, plain, &second), Status::kOk);
  EXPECT_EQ(first, Xor(plain, kRfcStream));
  EXPECT_EQ(second, first);
  std::string back;
  ASSERT_EQ(Decrypt(session, first, &back), Status::kOk);
  EXPECT_EQ(back, plain);
}

TEST(SessionCipherTest, TripleDesIsCbcWithZeroIvAndPkcs5Padding) {
  const std::string key = Bytes("0123456789abcdeffedcba987654321089abcdef01234567");
  const SessionKey session{Cipher::kTripleDes, key};
  std::string cipher_text;
  // Known answer of DES-EDE3-CBC, zero IV, for a 25-byte text.
  ASSERT_EQ(Encrypt(session, "The quick brown fox jumps", &cipher_text), Status::kOk);
  EXPECT_EQ(cipher_text,
            Bytes("5de3127f7a416b4d7e118c2750aeaa377d63d510112e938ef8adea11291659a9"));

  for (size_t length : {0, 7, 8, 9, 100}) {
    const std::string plain(length, 'x');
    ASSERT_EQ(Encrypt(session, plain, &cipher_text), Status::kOk);
    EXPECT_EQ(cipher_text.size(), (length / 8 + 1) * 8) << length;
    EXPECT_EQ(EvpTripleDes(false, key, cipher_text), plain) << length;
    std::string back;
    ASSERT_EQ(Decrypt(session, EvpTripleDes(true, key, plain), &back), Status::kOk);
    EXPECT_EQ(back, plain) << length;
  }
}

TEST(SessionCipherTest, TripleDesRefusesTextOfWrongLengthOrPadding) {
  const std::string key(24, '\x5A');
  const SessionKey session{Cipher::kTripleDes, key};
  const std::string bad_pad_zero = EvpTripleDes(true, key, std::string(8, '\0'), false);
  const std::string bad_pad_nine = EvpTripleDes(true, key, std::string(7, 'a') + "\x09", false);
  const std::string bad_pad_mixed = EvpTripleDes(true, key, "abcdef\x01\x02", false);
  for (const std::string& bad : {std::string(), std::string(7, 'c'), std::string(9, 'c'),
                                 bad_pad_zero, bad_pad_nine, bad_pad_mixed}) {
    std::string plain = "untouched";
    EXPECT_EQ(Decrypt(session, bad, &plain), Status::kDecryptFailed) << bad.size();
    EXPECT_EQ(plain, "untouched");
  }
}

TEST(SessionCipherTest, RefusesKeysOfTheWrongLength) {
  std::string out;
  for (const SessionKey& session : {SessionKey{Cipher::kRc4, std::string(24, 'k')},
                                    SessionKey{Cipher::kRc4, ""},
                                    SessionKey{Cipher::kTripleDes, std::string(16, 'k')}}) {
    EXPECT_EQ(Encrypt(session, "text", &out), Status::kBadSessionKey);
    EXPECT_EQ(Decrypt(session, std::string(8, 'c'), &out), Status::kBadSessionKey);
  }
}

TEST(SessionCipherTest, MakesKeysOfTheCipherLength) {
  SessionKey rc4;
  ASSERT_EQ(MakeSessionKey(Cipher::kRc4, CountingRandom(), &rc4), Status::kOk);
  EXPECT_EQ(rc4.cipher, Cipher::kRc4);
  EXPECT_EQ(rc4.key, Bytes("000102030405060708090a0b0c0d0e0f"));

  SessionKey des;
  ASSERT_EQ(MakeSessionKey(Cipher::kTripleDes, CountingRandom(), &des), Status::kOk);
  ASSERT_EQ(des.key.size(), 24u);
  for (size_t i = 0; i < des.key.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(des.key[i]);
    EXPECT_EQ(byte & 0xFE, i & 0xFE) << i;
    EXPECT_EQ(__builtin_popcount(byte) % 2, 1) << i;
  }

  const RandomBytes broken = [](unsigned char*, size_t) { return false; };
  EXPECT_EQ(MakeSessionKey(Cipher::kRc4, broken, &rc4), Status::kRandomFailed);
}

// ---- key blobs ----

TEST_F(PosClientTest, ReadsThePublicKeyBlobOfAnRsaKey) {
  const std::string blob = PublicKeyBlobOf(server_pair_);
  EXPECT_EQ(blob, OpenSslPublicKeyBlob(server_pair_));
  ServerPublicKey key;
  ASSERT_EQ(ServerPublicKey::FromBlob(blob, &key), Status::kOk);
  EXPECT_TRUE(key.IsSet());
  EXPECT_EQ(key.bit_length(), 1024u);
  EXPECT_EQ(key.exponent(), 65537u);
  EXPECT_EQ(key.modulus_size(), 128u);

  ServerPublicKey from_hex;
  EXPECT_EQ(ServerPublicKey::FromHex(ToHex(blob), &from_hex), Status::kOk);
  EXPECT_EQ(ServerPublicKey::FromHex(ToHex(blob, true), &from_hex), Status::kBadHex);
}

TEST_F(PosClientTest, RefusesMalformedPublicKeyBlobs) {
  const std::string good = PublicKeyBlobOf(server_pair_);
  auto with = [&](size_t at, std::string_view bytes) {
    std::string blob = good;
    blob.replace(at, bytes.size(), bytes);
    return blob;
  };
  struct Case {
    const char* what;
    std::string blob;
  };
  const Case cases[] = {
      {"empty", ""},
      {"headers only", good.substr(0, 20)},
      {"one byte short", good.substr(0, good.size() - 1)},
      {"one byte long", good + '\x01'},
      {"private key blob type", with(0, "\x07")},
      {"version 3", with(1, "\x03")},
      {"signature algorithm", with(4, std::string("\x00\x24", 2))},
      {"magic RSA2", with(8, "RSA2")},
      {"bit length 1016", with(12, std::string("\xF8\x03", 2))},
      {"bit length 1020", with(12, std::string("\xFC\x03", 2))},
      {"bit length 0", with(12, std::string("\x00\x00", 2))},
      {"exponent 0", with(16, std::string("\x00\x00\x00\x00", 4))},
      {"exponent 65536", with(16, std::string("\x00\x00\x01\x00", 4))},
      {"modulus top byte zero", with(good.size() - 1, std::string(1, '\0'))},
      {"even modulus", with(20, std::string(1, static_cast<char>(good[20] & 0xFE)))},
  };
  for (const Case& c : cases) {
    ServerPublicKey key;
    EXPECT_EQ(ServerPublicKey::FromBlob(c.blob, &key), Status::kBadPublicKeyBlob) << c.what;
    EXPECT_FALSE(key.IsSet()) << c.what;
  }
}

// The blob follows the size of the key the server publishes: 128 bytes of RSA part
// for a 1024-bit key, 256 for a 2048-bit one.
TEST_F(PosClientTest, SimpleBlobUnwrapsWithTheServerPrivateKey) {
  const struct {
    Cipher cipher;
    std::string_view alg_id;
    EVP_PKEY* pair;
    size_t modulus_bytes;
  } cases[] = {{Cipher::kRc4, std::string_view("\x01\x68\x00\x00", 4), server_pair_, 128},
               {Cipher::kTripleDes, std::string_view("\x03\x66\x00\x00", 4), server_pair_, 128},
               {Cipher::kRc4, std::string_view("\x01\x68\x00\x00", 4), large_pair_, 256},
               {Cipher::kTripleDes, std::string_view("\x03\x66\x00\x00", 4), large_pair_, 256}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.modulus_bytes);
    const ServerPublicKey server = Public(c.pair);
    EXPECT_EQ(server.modulus_size(), c.modulus_bytes);
    SessionKey session;
    ASSERT_EQ(MakeSessionKey(c.cipher, SystemRandom(), &session), Status::kOk);
    std::string blob;
    ASSERT_EQ(BuildSimpleBlob(server, session, SystemRandom(), &blob), Status::kOk);
    ASSERT_EQ(blob.size(), 12u + c.modulus_bytes);
    EXPECT_EQ(blob.substr(0, 4), std::string_view("\x01\x02\x00\x00", 4));
    EXPECT_EQ(blob.substr(4, 4), c.alg_id);
    EXPECT_EQ(blob.substr(8, 4), std::string_view("\x00\xA4\x00\x00", 4));
    std::string unwrapped;
    ASSERT_TRUE(Unwrap(c.pair, blob, &unwrapped));
    EXPECT_EQ(unwrapped, session.key);

    std::string again;
    ASSERT_EQ(BuildSimpleBlob(server, session, SystemRandom(), &again), Status::kOk);
    EXPECT_NE(again, blob) << "padding must be random";
  }
}

TEST_F(PosClientTest, SimpleBlobPaddingComesFromTheGivenRandomSource) {
  const SessionKey session{Cipher::kRc4, kRfcKey};
  std::string blob;
  ASSERT_EQ(BuildSimpleBlob(Public(server_pair_), session, CountingRandom(), &blob), Status::kOk);
  std::string block;
  ASSERT_TRUE(RsaDecrypt(server_pair_, Reversed(blob.substr(12)), RSA_NO_PADDING, &block));
  EXPECT_EQ(block, std::string("\x00\x02", 2) + CountingPadding(128 - 3 - 16) + '\0' + kRfcKey);
}

TEST_F(PosClientTest, SimpleBlobRefusals) {
  const ServerPublicKey server = Public(server_pair_);
  const SessionKey rc4{Cipher::kRc4, kRfcKey};
  std::string blob = "untouched";

  EXPECT_EQ(BuildSimpleBlob(ServerPublicKey(), rc4, SystemRandom(), &blob),
            Status::kBadPublicKeyBlob);
  EXPECT_EQ(BuildSimpleBlob(server, SessionKey{Cipher::kTripleDes, kRfcKey}, SystemRandom(), &blob),
            Status::kBadSessionKey);
  EXPECT_EQ(BuildSimpleBlob(server, rc4, [](unsigned char*, size_t) { return false; }, &blob),
            Status::kRandomFailed);
  EXPECT_EQ(BuildSimpleBlob(server, rc4,
                            [](unsigned char* out, size_t n) {
                              std::fill(out, out + n, 0);
                              return true;
                            },
                            &blob),
            Status::kRandomFailed);

  // A 256-bit modulus holds an RC4 key with its padding (16 + 11 bytes) but not a 3DES key.
  std::string small("\x06\x02\x00\x00\x00\xA4\x00\x00RSA1\x00\x01\x00\x00\x03\x00\x00\x00", 20);
  small += std::string(32, '\xFF');
  ServerPublicKey small_key;
  ASSERT_EQ(ServerPublicKey::FromBlob(small, &small_key), Status::kOk);
  EXPECT_EQ(BuildSimpleBlob(small_key, SessionKey{Cipher::kTripleDes, std::string(24, 'k')},
                            SystemRandom(), &blob),
            Status::kKeyTooSmall);
  EXPECT_EQ(blob, "untouched");
}

// ---- TStream and envelope ----

TEST(TStreamTest, JoinsItemsWithFsBetweenThem) {
  std::string tstream;
  ASSERT_EQ(JoinTStream({{"TranType", "Credit"}, {"TranCode", "Sale"}, {"Memo", "a=b"}}, &tstream),
            Status::kOk);
  EXPECT_EQ(tstream, "TranType=Credit\x1cTranCode=Sale\x1cMemo=a=b");
  ASSERT_EQ(JoinTStream({}, &tstream), Status::kOk);
  EXPECT_EQ(tstream, "");

  for (const TStreamItem& bad : {TStreamItem{"", "v"}, TStreamItem{"a=b", "v"},
                                 TStreamItem{"a\x1c" "b", "v"}, TStreamItem{"a", "v\x1cw"}}) {
    tstream = "untouched";
    EXPECT_EQ(JoinTStream({{"TranType", "Credit"}, bad}, &tstream), Status::kBadTStreamItem)
        << bad.name << "=" << bad.value;
    EXPECT_EQ(tstream, "untouched");
  }
}

// The pieces of an envelope: the text before the STX, the payload (the text
// after the STX without the key block) and the key block's hex.
struct Pieces {
  std::string head;
  std::string payload;
  bool has_block = false;
  std::string block;
};

Pieces Split(const std::string& envelope) {
  Pieces pieces;
  std::string text = envelope;
  const size_t dc1 = text.find(kDc1);
  const size_t dc2 = dc1 == std::string::npos ? std::string::npos : text.find(kDc2, dc1);
  if (dc2 != std::string::npos) {
    pieces.has_block = true;
    pieces.block = text.substr(dc1 + 1, dc2 - dc1 - 1);
    text.erase(dc1, dc2 - dc1 + 1);
  }
  const size_t stx = text.find(kStx);
  pieces.head = text.substr(0, stx);
  pieces.payload = stx == std::string::npos ? "" : text.substr(stx + 1);
  return pieces;
}

// A fixed RC4 session key and random source, so whole envelopes repeat.
RequestOptions FixedOptions(KeyBlockPlace place = KeyBlockPlace::kAfterPayload) {
  RequestOptions options;
  options.user_trace_data = "T1";
  options.session_key = kRfcKey;
  options.random = CountingRandom();
  options.key_block_place = place;
  return options;
}

const std::string kTStream = "TranType=Debit\x1cTranCode=Sale\x1c" "A=1";  // 32 bytes

TEST_F(PosClientTest, EnvelopeLayoutByteByByte) {
  const std::string payload = ToHex(Xor(kTStream, kRfcStream));
  ASSERT_EQ(payload.size(), 64u);
  const std::string head = "T1\x1c" "200";
  const struct {
    KeyBlockPlace place;
    std::function<std::string(const std::string&)> expected;  // of the key block with DC1, DC2
  } cases[] = {
      {KeyBlockPlace::kAfterPayload, [&](auto& b) { return head + kStx + payload + b; }},
      {KeyBlockPlace::kBeforePayload, [&](auto& b) { return head + kStx + b + payload; }},
      {KeyBlockPlace::kWithinPayload,
       [&](auto& b) { return head + kStx + payload.substr(0, 32) + b + payload.substr(32); }},
      {KeyBlockPlace::kBeforeStx, [&](auto& b) { return head + b + kStx + payload; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.place));
    Request request;
    ASSERT_EQ(BuildRequest(Public(server_pair_), kTStream, FixedOptions(c.place), &request),
              Status::kOk);

    // The key block holds the RSA of exactly the padded key: checked with the
    // private key, then the whole text compared.
    const Pieces pieces = Split(request.envelope);
    ASSERT_TRUE(pieces.has_block);
    std::string blob;
    ASSERT_TRUE(FromHex(pieces.block, &blob));
    EXPECT_EQ(blob.substr(0, 12),
              std::string_view("\x01\x02\x00\x00\x01\x68\x00\x00\x00\xA4\x00\x00", 12));
    std::string block;
    ASSERT_TRUE(RsaDecrypt(server_pair_, Reversed(blob.substr(12)), RSA_NO_PADDING, &block));
    EXPECT_EQ(block, std::string("\x00\x02", 2) + CountingPadding(128 - 3 - 16) + '\0' + kRfcKey);

    EXPECT_EQ(request.envelope, c.expected(kDc1 + pieces.block + kDc2));
    EXPECT_EQ(request.WireText(), request.envelope + kEtx);
    EXPECT_EQ(request.session.cipher, Cipher::kRc4);
    EXPECT_EQ(request.session.key, kRfcKey);

    Request again;
    ASSERT_EQ(BuildRequest(Public(server_pair_), kTStream, FixedOptions(c.place), &again),
              Status::kOk);
    EXPECT_EQ(again.envelope, request.envelope);
  }
}

TEST_F(PosClientTest, EnvelopeTakesTraceModeAndFillerAsGiven) {
  RequestOptions options = FixedOptions();
  options.user_trace_data = "";
  options.mode = 'Z';
  options.before_stx = "xy";
  Request request;
  ASSERT_EQ(BuildRequest(Public(server_pair_), kTStream, options, &request), Status::kOk);
  EXPECT_EQ(request.envelope.substr(0, 5), "\x1cZxy\x02");
}

TEST_F(PosClientTest, TripleDesEnvelopeOpensWithEvpAndThePrivateKey) {
  RequestOptions options;
  options.cipher = Cipher::kTripleDes;
  Request request;
  ASSERT_EQ(BuildRequest(Public(server_pair_), kTStream, options, &request), Status::kOk);
  ASSERT_EQ(request.session.cipher, Cipher::kTripleDes);
  ASSERT_EQ(request.session.key.size(), 24u);

  const Pieces pieces = Split(request.envelope);
  EXPECT_EQ(pieces.head, "\x1c" "200");
  std::string blob;
  ASSERT_TRUE(FromHex(pieces.block, &blob));
  EXPECT_EQ(blob.substr(4, 4), std::string_view("\x03\x66\x00\x00", 4));
  std::string unwrapped;
  ASSERT_TRUE(Unwrap(server_pair_, blob, &unwrapped));
  EXPECT_EQ(unwrapped, request.session.key);

  std::string cipher_text;
  ASSERT_TRUE(FromHex(pieces.payload, &cipher_text));
  EXPECT_EQ(cipher_text.size(), 40u);
  EXPECT_EQ(EvpTripleDes(false, unwrapped, cipher_text), kTStream);
}

TEST_F(PosClientTest, EnvelopeFaultsSpoilOnePieceEach) {
  Request clean;
  ASSERT_EQ(BuildRequest(Public(server_pair_), kTStream, FixedOptions(), &clean), Status::kOk);
  const Pieces good = Split(clean.envelope);

  const struct {
    const char* what;
    std::function<void(RequestFaults&)> set;
    std::string payload;
    bool has_block;
    std::string block;
  } cases[] = {
      {"lower-case payload", [](auto& f) { f.lower_case_payload = true; },
       LowerCase(good.payload), true, good.block},
      {"lower-case key block", [](auto& f) { f.lower_case_key_block = true; }, good.payload, true,
       LowerCase(good.block)},
      {"odd-length payload", [](auto& f) { f.odd_length_payload = true; },
       good.payload.substr(0, good.payload.size() - 1), true, good.block},
      {"empty key block", [](auto& f) { f.empty_key_block = true; }, good.payload, true, ""},
      {"no key block", [](auto& f) { f.no_key_block = true; }, good.payload, false, ""},
  };
  for (const auto& c : cases) {
    RequestOptions options = FixedOptions();
    c.set(options.faults);
    Request request;
    ASSERT_EQ(BuildRequest(Public(server_pair_), kTStream, options, &request), Status::kOk) << c.what;
    const Pieces pieces = Split(request.envelope);
    EXPECT_EQ(pieces.head, good.head) << c.what;
    EXPECT_EQ(pieces.payload, c.payload) << c.what;
    EXPECT_EQ(pieces.has_block, c.has_block) << c.what;
    EXPECT_EQ(pieces.block, c.block) << c.what;
    EXPECT_EQ(request.session.key, kRfcKey) << c.what;
  }

  // A blob for another key: the stranger's private key opens it, the server's does not.
  RequestOptions options = FixedOptions();
  options.faults.wrap_for_other_key = Public(other_pair_);
  Request request;
  ASSERT_EQ(BuildRequest(Public(server_pair_), kTStream, options, &request), Status::kOk);
  const Pieces pieces = Split(request.envelope);
  EXPECT_EQ(pieces.payload, good.payload);
  std::string blob;
  ASSERT_TRUE(FromHex(pieces.block, &blob));
  std::string unwrapped;
  ASSERT_TRUE(Unwrap(other_pair_, blob, &unwrapped));
  EXPECT_EQ(unwrapped, kRfcKey);
  if (Unwrap(server_pair_, blob, &unwrapped)) {
    EXPECT_NE(unwrapped, kRfcKey);
  }

  // An empty TStream still gives an odd payload when asked.
  options = FixedOptions();
  options.faults.odd_length_payload = true;
  ASSERT_EQ(BuildRequest(Public(server_pair_), "", options, &request), Status::kOk);
  EXPECT_EQ(Split(request.envelope).payload, "0");
}

TEST_F(PosClientTest, BuildRequestRefusals) {
  Request request;
  request.envelope = "untouched";
  EXPECT_EQ(BuildRequest(ServerPublicKey(), kTStream, FixedOptions(), &request),
            Status::kBadPublicKeyBlob);

  RequestOptions options = FixedOptions();
  options.cipher = Cipher::kTripleDes;  // the fixed key is an RC4 key
  EXPECT_EQ(BuildRequest(Public(server_pair_), kTStream, options, &request), Status::kBadSessionKey);

  options = RequestOptions();
  options.random = [](unsigned char*, size_t) { return false; };
  EXPECT_EQ(BuildRequest(Public(server_pair_), kTStream, options, &request), Status::kRandomFailed);
  EXPECT_EQ(request.envelope, "untouched");
}

// ---- reply frames ----

std::string Frame(char kind, const std::string& payload) {
  return std::string(1, kFs) + kind + "00" + kStx + payload + kEtx;
}

TEST(ReplyFrameTest, OpensEncryptedAndClearFrames) {
  const std::string document = "<?xml version=\"1.0\"?>\r\n<RStream>";  // 32 bytes
  bool encrypted = false;
  std::string opened;

  const SessionKey rc4{Cipher::kRc4, kRfcKey};
  ASSERT_EQ(OpenReply(Frame('2', ToHex(Xor(document, kRfcStream))), rc4, &opened, &encrypted),
            Status::kOk);
  EXPECT_EQ(opened, document);
  EXPECT_TRUE(encrypted);

  const SessionKey des{Cipher::kTripleDes, std::string(24, '\x2F')};
  ASSERT_EQ(OpenReply(Frame('2', ToHex(EvpTripleDes(true, des.key, document))), des, &opened),
            Status::kOk);
  EXPECT_EQ(opened, document);

  ASSERT_EQ(OpenReply(Frame('0', document), rc4, &opened, &encrypted), Status::kOk);
  EXPECT_EQ(opened, document);
  EXPECT_FALSE(encrypted);

  ReplyFrame frame;
  ASSERT_EQ(ParseReplyFrame("\x1c" "000\x02\x03", &frame), Status::kOk);
  EXPECT_FALSE(frame.encrypted);
  EXPECT_EQ(frame.payload, "");
}

TEST(ReplyFrameTest, RefusesMalformedFramesAndPayloads) {
  const SessionKey rc4{Cipher::kRc4, kRfcKey};
  const SessionKey des{Cipher::kTripleDes, std::string(24, '\x2F')};
  const struct {
    const char* what;
    std::string frame;
    const SessionKey& session;
    Status status;
  } cases[] = {
      {"empty", "", rc4, Status::kBadFrame},
      {"five characters", "\x1c" "000\x02", rc4, Status::kBadFrame},
      {"no FS", "X000\x02" "AB\x03", rc4, Status::kBadFrame},
      {"kind 1", Frame('1', "AB"), rc4, Status::kBadFrame},
      {"01 after the kind", "\x1c" "201\x02" "AB\x03", rc4, Status::kBadFrame},
      {"no STX", "\x1c" "200X" "AB\x03", rc4, Status::kBadFrame},
      {"no ETX at the end", Frame('2', "AB") + "A", rc4, Status::kBadFrame},
      {"two frames", Frame('0', "a") + Frame('0', "b"), rc4, Status::kBadFrame},
      {"lower-case hex", Frame('2', "ab"), rc4, Status::kBadHex},
      {"odd hex", Frame('2', "ABC"), rc4, Status::kBadHex},
      {"3DES text of 4 bytes", Frame('2', "01020304"), des, Status::kDecryptFailed},
      {"3DES empty text", Frame('2', ""), des, Status::kDecryptFailed},
  };
  for (const auto& c : cases) {
    std::string document = "untouched";
    EXPECT_EQ(OpenReply(c.frame, c.session, &document), c.status) << c.what;
    EXPECT_EQ(document, "untouched") << c.what;
  }
}

}  // namespace
}  // namespace pos_client
