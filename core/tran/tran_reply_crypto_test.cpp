// The encrypted replies end to end: a request built by the point-of-sale test peer,
// taken apart by the record, answered, and opened again by the peer with its own
// session key.
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "core/crypto/crypto_engine.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/reply_test_support.h"
#include "core/tran/reply_test_text.h"
#include "core/tran/tran_reply.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "tools/pos-client/reply_frame.h"
#include "tools/pos-client/request_envelope.h"

namespace {

const char kTStream[] = "TStream=Transaction\x1CTranType=Credit\x1CTranCode=Sale\x1CPurchase=1.00";

// A started engine on a key container of the suite's own, in a working folder of its
// own (the engine logs there); the previous working folder comes back at the end.
class EncryptedReplyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    s_PreviousFolder = new std::string(cwd);
    char pattern[] = "/tmp/kvr_reply_crypto_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    s_Home = new std::string(pattern);
    ASSERT_EQ(chdir(pattern), 0);
    platform::fs::CreateFolder("QUILLON_LOGS");
    platform::capi::SetContainerRootForTesting(*s_Home + "/keys");
    ASSERT_TRUE(g_CryptoEngine.Start());
    const std::string text = g_CryptoEngine.GetPublicKeyText();
    s_Server = new pos_client::ServerPublicKey;
    ASSERT_EQ(pos_client::ServerPublicKey::FromHex(text.substr(1, text.size() - 2), s_Server),
              pos_client::Status::kOk);
  }
  static void TearDownTestSuite() {
    g_CryptoEngine.Stop();
    platform::capi::SetContainerRootForTesting("");
    if (s_PreviousFolder != nullptr && chdir(s_PreviousFolder->c_str()) != 0) ADD_FAILURE();
    if (s_Home != nullptr) std::system(("rm -rf '" + *s_Home + "'").c_str());
    delete s_PreviousFolder;
    delete s_Home;
    delete s_Server;
  }

  EncryptedReplyTest() {
    m_Context.m_Settings = &m_Settings;
    m_Context.m_Logger = &m_Logger;
  }

  // A request of the peer taken in by the record (kind 0 with the request's key
  // block), then answered by the host as an approved sale.
  static CElavonTran AnsweredRequest(pos_client::Cipher cipher, pos_client::Request* request) {
    pos_client::RequestOptions options;
    options.user_trace_data = "Lane 5";
    options.cipher = cipher;
    EXPECT_EQ(pos_client::BuildRequest(*s_Server, kTStream, options, request),
              pos_client::Status::kOk);
    CElavonTran tran;
    tran.m_Request = request->envelope;
    tran.DecodeRequestEnvelope();
    EXPECT_EQ(tran.m_RequestKind, kRequestKindEncrypted);
    tran.m_TStreamType = "Transaction";
    tran.m_TranCode = 1;
    tran.m_TranCodeName = "Sale";
    tran.m_Family = kTranFamilyCredit;
    tran.m_Approved = true;
    tran.m_Captured = true;
    tran.m_TextResponse = "APPROVAL";
    tran.m_AcctNo = "4111111111111111";
    tran.m_Purchase = "100";
    tran.m_HostAuthCode = "654321";
    tran.m_EMVResult = "9F2701";
    tran.m_ClientAddress = "127.0.0.1:0007";
    return tran;
  }

  static std::string* s_PreviousFolder;
  static std::string* s_Home;
  static pos_client::ServerPublicKey* s_Server;

  CParamSettings m_Settings = ReplySettings("4445551234");
  CRecordingLogger m_Logger;
  CReplyContext m_Context;
};
std::string* EncryptedReplyTest::s_PreviousFolder = nullptr;
std::string* EncryptedReplyTest::s_Home = nullptr;
pos_client::ServerPublicKey* EncryptedReplyTest::s_Server = nullptr;

TEST_F(EncryptedReplyTest, ReplyDecryptsToTheDocument) {
  for (const pos_client::Cipher cipher : {pos_client::Cipher::kRc4, pos_client::Cipher::kTripleDes}) {
    SCOPED_TRACE(cipher == pos_client::Cipher::kRc4 ? "RC4" : "3DES");
    pos_client::Request request;
    CElavonTran tran = AnsweredRequest(cipher, &request);
    CElavonTran copy = tran;
    const std::string document = copy.BuildRStream(m_Context);

    const std::string reply = tran.BuildResponse("not used", m_Context);
    EXPECT_EQ(reply, tran.m_Reply);
    EXPECT_EQ(reply.substr(0, 5), "\x1C" "200\x02");
    EXPECT_EQ(tran.m_RequestKind, kRequestKindEncrypted);
    std::string opened;
    bool encrypted = false;
    ASSERT_EQ(pos_client::OpenReply(reply, request.session, &opened, &encrypted),
              pos_client::Status::kOk);
    EXPECT_TRUE(encrypted);
    EXPECT_SAME_BYTES(opened, document);
    EXPECT_NE(opened.find("<UserTraceData>Lane 5</UserTraceData>"), std::string::npos);
  }
}

// A duplicate is encrypted the same way and carries no EMV result.
TEST_F(EncryptedReplyTest, DuplicateReplyDecryptsWithoutEmvResult) {
  pos_client::Request request;
  CElavonTran tran = AnsweredRequest(pos_client::Cipher::kRc4, &request);
  ASSERT_TRUE(tran.BuildDuplicateResponse(m_Context));
  std::string opened;
  ASSERT_EQ(pos_client::OpenReply(tran.m_Reply, request.session, &opened), pos_client::Status::kOk);
  EXPECT_EQ(opened.find("EMVResult"), std::string::npos);
  EXPECT_NE(opened.find("<AuthCode>654321</AuthCode>"), std::string::npos);
}

// Blobs that the engine cannot import: the reply is error 4020 in clear and the
// record becomes kind 2.
TEST_F(EncryptedReplyTest, CorruptKeyBlobGivesErrorInClear) {
  pos_client::Request request;
  const CElavonTran answered = AnsweredRequest(pos_client::Cipher::kRc4, &request);
  const std::string block = answered.m_KeyBlock;
  ASSERT_GT(block.size(), 24u);
  const struct {
    const char* what;
    std::string block;
  } rows[] = {
      {"cut short", block.substr(0, block.size() - 2)},
      {"unknown algorithm", block.substr(0, 8) + "FFFF0000" + block.substr(16)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    CElavonTran tran = answered;
    tran.m_KeyBlock = r.block;
    const std::string reply = tran.BuildResponse("", m_Context);
    pos_client::ReplyFrame frame;
    ASSERT_EQ(pos_client::ParseReplyFrame(reply, &frame), pos_client::Status::kOk);
    EXPECT_FALSE(frame.encrypted);
    EXPECT_NE(frame.payload.find("<KVRXReturnCode>004020</KVRXReturnCode>"), std::string::npos);
    EXPECT_NE(frame.payload.find("<ResponseOrigin>Server</ResponseOrigin>"), std::string::npos);
    EXPECT_NE(frame.payload.find("<UserTraceData>Lane 5</UserTraceData>"), std::string::npos);
    EXPECT_EQ(tran.m_RequestKind, kRequestKindClear);
  }
}

// A block whose RSA part is not sound is imported with a substitute key, as one with
// a wrong key would be: the reply goes out encrypted, and the request's own session
// key does not open it.
TEST_F(EncryptedReplyTest, UnsoundKeyPartEncryptsWithASubstituteKey) {
  pos_client::Request request;
  CElavonTran tran = AnsweredRequest(pos_client::Cipher::kRc4, &request);
  const std::string block = tran.m_KeyBlock;
  tran.m_KeyBlock = block.substr(0, 24) + std::string(block.size() - 24, '0');
  const std::string reply = tran.BuildResponse("", m_Context);
  pos_client::ReplyFrame frame;
  ASSERT_EQ(pos_client::ParseReplyFrame(reply, &frame), pos_client::Status::kOk);
  EXPECT_TRUE(frame.encrypted);
  EXPECT_EQ(tran.m_RequestKind, kRequestKindEncrypted);
  std::string opened;
  pos_client::OpenReply(reply, request.session, &opened);
  EXPECT_EQ(opened.find("<UserTraceData>Lane 5</UserTraceData>"), std::string::npos);
}

}  // namespace
