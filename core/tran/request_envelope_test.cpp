#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include "core/crypto/crypto_engine.h"
#include "core/log/logger.h"
#include "core/tran/elavon_tran.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "tools/pos-client/request_envelope.h"

namespace {

const char kTStream[] = "TStream=Transaction\x1CTranType=Credit\x1CTranCode=Sale\x1CPurchase=1.00";

// A started engine on a key container of the test's own.
class EnvelopeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previous_ = new std::string(cwd);
    char tmpl[] = "/tmp/kvr_envelope_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = new std::string(tmpl);
    ASSERT_EQ(chdir(tmpl), 0);
    platform::fs::CreateFolder("QUILLON_LOGS");
    platform::capi::SetContainerRootForTesting(*home_ + "/keys");
    ASSERT_TRUE(g_CryptoEngine.Start());
    const std::string text = g_CryptoEngine.GetPublicKeyText();
    server_ = new pos_client::ServerPublicKey;
    ASSERT_EQ(pos_client::ServerPublicKey::FromHex(text.substr(1, text.size() - 2), server_), pos_client::Status::kOk);
  }
  // The working folder the suite found comes back before its own folder goes.
  static void TearDownTestSuite() {
    g_CryptoEngine.Stop();
    platform::capi::SetContainerRootForTesting("");
    GetLogger().Flush(5000);
    if (previous_ != nullptr && chdir(previous_->c_str()) != 0) ADD_FAILURE() << "back to " << *previous_;
    if (home_ != nullptr) std::system(("rm -rf '" + *home_ + "'").c_str());
    delete previous_;
    delete home_;
    delete server_;
    previous_ = home_ = nullptr;
    server_ = nullptr;
  }

  static std::string Envelope(pos_client::RequestOptions options, const std::string& tstream = kTStream) {
    pos_client::Request request;
    EXPECT_EQ(pos_client::BuildRequest(*server_, tstream, options, &request), pos_client::Status::kOk);
    return request.envelope;
  }

  static std::string* previous_;
  static std::string* home_;
  static pos_client::ServerPublicKey* server_;
};
std::string* EnvelopeTest::previous_ = nullptr;
std::string* EnvelopeTest::home_ = nullptr;
pos_client::ServerPublicKey* EnvelopeTest::server_ = nullptr;

struct Expect {
  int kind;
  int error;
  std::string trace;
  std::string request;  // m_Request afterwards
  std::string log_tag;
};

void Check(const std::string& name, const std::string& text, const Expect& e) {
  CElavonTran tran;
  tran.m_Request = text;
  tran.DecodeRequestEnvelope();
  EXPECT_EQ(tran.m_RequestKind, e.kind) << name;
  EXPECT_EQ(tran.m_ErrorCode, e.error) << name;
  EXPECT_EQ(tran.m_UserTraceData, e.trace) << name;
  EXPECT_EQ(tran.m_Request, e.request) << name;
  EXPECT_EQ(tran.m_LogTag, e.log_tag) << name;
}

TEST_F(EnvelopeTest, TextsThatAreNotEncryptedRequests) {
  const std::string fs = "\x1C", stx = "\x02";
  struct Row {
    const char* name;
    std::string text;
    Expect expect;
  } rows[] = {
      {"no FS", "trace only", {2, 4010, "trace only", "trace only", ""}},
      {"FS without STX", "trace" + fs + "2ABC", {2, 4010, "trace" + fs + "2ABC", "trace" + fs + "2ABC", ""}},
      {"mode is the last character", stx + "ab" + fs + "2", {2, 4010, stx + "ab", stx + "ab" + fs + "2", ""}},
      {"cancel", "trace" + fs + "A00" + stx + "0011", {1, 4010, "trace", "trace" + fs + "A00" + stx + "0011", "Request ->"}},
      {"mode 0", "t" + fs + "000" + stx + "AB", {2, 4005, "t", "t" + fs + "000" + stx + "AB", "Request ->"}},
      {"mode 1", "t" + fs + "100" + stx + "AB", {2, 4006, "t", "t" + fs + "100" + stx + "AB", "Request ->"}},
      {"mode E", "t" + fs + "E00" + stx + "AB", {2, 4004, "t", "t" + fs + "E00" + stx + "AB", "Request ->"}},
      {"mode X", "t" + fs + "X00" + stx + "AB", {2, 4010, "t", "t" + fs + "X00" + stx + "AB", "Request ->"}},
      {"no key block", "t" + fs + "200" + stx + "ABCD", {2, 4011, "t", "t" + fs + "200" + stx + "ABCD", "Request ->"}},
      {"DC1 without DC2", "t" + fs + "200" + stx + "AB\x11" "CD", {2, 4011, "t", "t" + fs + "200" + stx + "AB\x11" "CD", "Request ->"}},
      {"empty key block", "t" + fs + "200" + stx + "AB\x11\x12", {2, 4011, "t", "t" + fs + "200" + stx + "AB\x11\x12", "Request ->"}},
      {"odd key block", "t" + fs + "200" + stx + "AB\x11" "ABC\x12", {2, 4011, "t", "t" + fs + "200" + stx + "AB\x11" "ABC\x12", "Request ->"}},
      {"block before the STX only", "t" + fs + "2\x11" "AB\x12" + stx + "ABCD",
       {2, 4011, "t", "t" + fs + "2\x11" "AB\x12" + stx + "ABCD", "Request ->"}},
  };
  for (const Row& row : rows) Check(row.name, row.text, row.expect);
}

TEST_F(EnvelopeTest, EncryptedRequestsDecryptWhereverTheBlockStands) {
  using pos_client::Cipher;
  using pos_client::KeyBlockPlace;
  struct Row {
    const char* name;
    char mode;
    Cipher cipher;
    KeyBlockPlace place;
    std::string trace;
    std::string log_tag;
  } rows[] = {
      {"RC4, block after", '2', Cipher::kRc4, KeyBlockPlace::kAfterPayload, "lane 1", "Request ->"},
      {"3DES, block after", '2', Cipher::kTripleDes, KeyBlockPlace::kAfterPayload, "lane 1", "Request ->"},
      {"block first", 'M', Cipher::kRc4, KeyBlockPlace::kBeforePayload, "x", "Request ->"},
      {"block within", '2', Cipher::kTripleDes, KeyBlockPlace::kWithinPayload, "x", "Request ->"},
      {"mode Z", 'Z', Cipher::kRc4, KeyBlockPlace::kAfterPayload, "", "Request +>"},
      // A DC1..DC2 in the client's own trace text is not the key block.
      {"trace with DC1 DC2", '2', Cipher::kRc4, KeyBlockPlace::kAfterPayload, "a\x11" "BEEF\x12z", "Request ->"},
  };
  for (const Row& row : rows) {
    pos_client::RequestOptions options;
    options.mode = row.mode;
    options.cipher = row.cipher;
    options.key_block_place = row.place;
    options.user_trace_data = row.trace;
    Check(row.name, Envelope(options), {0, 4010, row.trace, kTStream, row.log_tag});
  }
}

TEST_F(EnvelopeTest, PayloadsThatCannotBeDecryptedGive4011) {
  struct Row {
    const char* name;
    pos_client::RequestFaults faults;
  };
  // Another exchange key: made in memory, never this container's.
  namespace capi = platform::capi;
  capi::HCRYPTPROV prov = 0;
  capi::HCRYPTKEY key = 0;
  ASSERT_TRUE(capi::CryptAcquireContext(&prov, nullptr, nullptr, capi::PROV_RSA_AES, capi::CRYPT_VERIFYCONTEXT));
  ASSERT_TRUE(capi::CryptGenKey(prov, capi::AT_KEYEXCHANGE, 0, &key));
  capi::DWORD len = 0;
  ASSERT_TRUE(capi::CryptExportKey(key, 0, capi::PUBLICKEYBLOB, 0, nullptr, &len));
  std::string blob(len, '\0');
  ASSERT_TRUE(capi::CryptExportKey(key, 0, capi::PUBLICKEYBLOB, 0, reinterpret_cast<capi::BYTE*>(blob.data()), &len));
  capi::CryptDestroyKey(key);
  capi::CryptReleaseContext(prov, 0);
  pos_client::ServerPublicKey other;
  ASSERT_EQ(pos_client::ServerPublicKey::FromBlob(blob, &other), pos_client::Status::kOk);

  std::vector<Row> rows;
  pos_client::RequestFaults foreign;
  foreign.wrap_for_other_key = other;
  rows.push_back({"blob for another key", foreign});
  pos_client::RequestFaults lower;
  lower.lower_case_payload = true;
  rows.push_back({"lower-case payload", lower});
  pos_client::RequestFaults odd;
  odd.odd_length_payload = true;
  rows.push_back({"odd payload", odd});
  pos_client::RequestFaults lower_block;
  lower_block.lower_case_key_block = true;
  rows.push_back({"lower-case key block", lower_block});
  for (const Row& row : rows) {
    pos_client::RequestOptions options;
    options.cipher = pos_client::Cipher::kTripleDes;
    options.faults = row.faults;
    const std::string text = Envelope(options);
    Check(row.name, text, {2, 4011, "", text, "Request ->"});
  }
}

TEST_F(EnvelopeTest, SetRequestParsesTheDecryptedTStream) {
  pos_client::RequestOptions options;
  CElavonTran tran;
  tran.SetRequest(Envelope(options));
  // Decrypted, then parsed: the TStream lacks its ClientID, which the parser reports.
  EXPECT_EQ(tran.GetRequestText(), kTStream);
  EXPECT_EQ(tran.m_ErrorCode, 4201);
  EXPECT_EQ(tran.m_RequestKind, 2);
}

TEST_F(EnvelopeTest, RepliesEncryptWithTheRequestsOwnKey) {
  pos_client::RequestOptions options;
  options.cipher = pos_client::Cipher::kTripleDes;
  pos_client::Request request;
  ASSERT_EQ(pos_client::BuildRequest(*server_, kTStream, options, &request), pos_client::Status::kOk);
  CElavonTran tran;
  tran.m_Request = request.envelope;
  tran.DecodeRequestEnvelope();
  std::string hex;
  ASSERT_TRUE(tran.EncryptResponse(&hex, "<RStream>reply</RStream>"));
  std::string plain;
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  ASSERT_EQ(pos_client::Decrypt(request.session, bytes, &plain), pos_client::Status::kOk);
  EXPECT_EQ(plain, "<RStream>reply</RStream>");

  tran.SetKeyBlock("");
  EXPECT_FALSE(tran.EncryptResponse(&hex, "x"));
  tran.SetKeyBlock("ABC");
  EXPECT_FALSE(tran.EncryptResponse(&hex, "x"));
}

}  // namespace
