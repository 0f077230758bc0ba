#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/server/client_session.h"
#include "app/server/server_test_support.h"
#include "core/params/param_settings.h"
#include "tools/pos-client/reply_frame.h"

namespace {

using namespace server_test;

const std::string kHead =
    "<?xml version=\"1.0\"?>\r\n<RStream>\r\n\t<CmdResponse>\r\n\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n";

std::string CmdResponse(const std::string& code, const std::string& text, const std::string& trace) {
  return kHead + "\t\t<KVRXReturnCode>" + code + "</KVRXReturnCode>\r\n\t\t<CmdStatus>Success</CmdStatus>\r\n" +
         "\t\t<TextResponse>" + text + "</TextResponse>\r\n\t\t<UserTraceData>" + trace +
         "</UserTraceData>\r\n\t</CmdResponse>\r\n";
}

// A record taken in from a request that the POS client built for this server's key.
class ServerRepliesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetParams({});
    const std::string keyText = g_CryptoEngine.GetPublicKeyText();
    ASSERT_EQ(pos_client::ServerPublicKey::FromHex(keyText.substr(1, keyText.size() - 2), &m_Key),
              pos_client::Status::kOk);
    std::string tstream;
    ASSERT_EQ(pos_client::JoinTStream(ServerVersionItems(), &tstream), pos_client::Status::kOk);
    RequestOptions options;
    options.user_trace_data = "T1";
    ASSERT_EQ(pos_client::BuildRequest(m_Key, tstream, options, &m_Request), pos_client::Status::kOk);
    m_Tran.SetRequest(m_Request.envelope);
    ASSERT_EQ(m_Tran.m_RequestKind, kRequestKindEncrypted);
  }

  // The document of an encrypted reply frame.
  std::string Open(const std::string& frame) {
    std::string document;
    bool encrypted = false;
    EXPECT_EQ(pos_client::OpenReply(frame, m_Request.session, &document, &encrypted), pos_client::Status::kOk);
    EXPECT_TRUE(encrypted);
    return document;
  }

  pos_client::ServerPublicKey m_Key;
  Request m_Request;
  CElavonTran m_Tran;
};

TEST_F(ServerRepliesTest, ServerVersionDocument) {
  EXPECT_EQ(Open(CClientSession::ServerVersion(m_Tran)),
            CmdResponse("500000", "ZW 5.18", "T1") +
                "\t<ServerVersion>\r\n"
                "\t\t<ProductName>Corvane</ProductName>\r\n"
                "\t\t<ProductClass>Host Based</ProductClass>\r\n"
                "\t\t<Provider>Elavon</Provider>\r\n"
                "\t\t<ProductVersion>ZW 5.18</ProductVersion>\r\n"
                "\t</ServerVersion>\r\n"
                "</RStream>\r\n");
}

TEST_F(ServerRepliesTest, GetCorvaneParamsListsThePaymentTypesOfEmvSupport) {
  const struct {
    const char* emvSupport;
    const char* types;
  } cases[] = {{"1", "Credit"}, {"2", "Credit,Debit"}, {"0", "None"}, {"3", "None"}, {"", "None"}};
  for (const auto& c : cases) {
    CParamSettings settings;
    settings.ResetToDefaults();
    CParamMap params = settings.GetParams();
    CParamEntry entry;
    ASSERT_TRUE(params.Lookup(kParmEmvSupport, &entry));
    params.SetAt(kParmEmvSupport, CParamEntry(entry.GetFormat(), entry.GetName(), c.emvSupport));
    settings.SetParams(params);
    EXPECT_EQ(Open(CClientSession::GetCorvaneParams(m_Tran, settings)),
              CmdResponse("500001", "Success", "T1") + "\t<GetCorvaneParams>\r\n" +
                  "\t<Contactless>MSDONLY</Contactless>\r\n" + "\t<PaymentTypes>" + c.types +
                  "</PaymentTypes>\r\n" + "\t</GetCorvaneParams>\r\n</RStream>\r\n")
        << c.emvSupport;
  }
}

TEST_F(ServerRepliesTest, OfflineDeclineCarriesTheDefaultsOfTheRequestsRid) {
  m_Tran.m_EMVAppID = "A0000000031010";  // Visa; the RID is its first ten characters
  CEmvAidEntry visa;
  CElavonTran::LoadEMVDefaults(visa, "A000000003");
  const std::string document = Open(CClientSession::OfflineDecline(m_Tran));
  const std::string head = CmdResponse("500000", "ZW 5.18", "T1") + "\t<OfflineDecline>\r\n";
  const std::string tail = "\t</OfflineDecline>\r\n</RStream>\r\n";
  ASSERT_GT(document.size(), head.size() + tail.size());
  ASSERT_EQ(document.substr(0, head.size()), head);
  EXPECT_EQ(document.substr(document.size() - tail.size()), tail);
  // Elements on one line, each after one tab, in the record's order; no Merchant.
  const std::string body = document.substr(head.size(), document.size() - head.size() - tail.size());
  EXPECT_EQ(body.find("\r\n"), std::string::npos);
  EXPECT_EQ(body.rfind("\t<EMVParamsRid1>A000000003</EMVParamsRid1>\t<AidList1>" + visa.m_AidList + "</AidList1>", 0), 0u)
      << body;
  const char* order[] = {"EMVParamsRid1", "AidList1", "FloorLimit1", "TACDefault1", "TerminalCapabilities1",
                         "CtlsAidList1", "CtlsAdditionalCapabilities1"};
  size_t last = 0;
  for (const char* name : order) {
    const size_t at = body.find(std::string("<") + name + ">");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_GE(at, last) << name;
    last = at;
  }
  EXPECT_EQ(body.find("Merchant"), std::string::npos);

  // An RID without defaults: an empty block.
  m_Tran.m_EMVAppID = "A00000";
  EXPECT_EQ(Open(CClientSession::OfflineDecline(m_Tran)),
            CmdResponse("500000", "ZW 5.18", "T1") + "\t<OfflineDecline>\r\n\t</OfflineDecline>\r\n</RStream>\r\n");
}

TEST_F(ServerRepliesTest, AKeyBlockThatDoesNotImportGives4020InClear) {
  using Reply = std::string (*)(CElavonTran&);
  const Reply replies[] = {&CClientSession::ServerVersion, &CClientSession::GetCorvaneParams,
                           &CClientSession::OfflineDecline};
  for (Reply reply : replies) {
    CElavonTran tran = m_Tran;
    tran.SetKeyBlock("0102");
    std::string document;
    bool encrypted = true;
    ASSERT_EQ(pos_client::OpenReply(reply(tran), m_Request.session, &document, &encrypted), pos_client::Status::kOk);
    EXPECT_FALSE(encrypted);
    EXPECT_NE(document.find("<KVRXReturnCode>004020</KVRXReturnCode>"), std::string::npos);
    EXPECT_NE(document.find("<TextResponse>Internal Server Error! Could Not Encrypt Response CALL PROVIDER."
                            "</TextResponse>"),
              std::string::npos);
    EXPECT_NE(document.find("<UserTraceData>T1</UserTraceData>"), std::string::npos);
    EXPECT_EQ(tran.m_RequestKind, kRequestKindClear);
  }
}

}  // namespace
