#include "core/tran/tran_reply.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tran/elavon_tran.h"
#include "core/tran/reply_test_support.h"
#include "core/tran/reply_test_text.h"

namespace {

// The 4020 reply in clear, written out independently of the writer.
std::string CannotEncryptFrame(const std::string& trace) {
  return std::string("\x1C" "0" "00" "\x02") + kRStreamHead +
         "\t<CmdResponse>\r\n"
         "\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n"
         "\t\t<KVRXReturnCode>004020</KVRXReturnCode>\r\n"
         "\t\t<CmdStatus>Error</CmdStatus>\r\n"
         "\t\t<TextResponse>Internal Server Error! Could Not Encrypt Response CALL "
         "PROVIDER.</TextResponse>\r\n"
         "\t\t<UserTraceData>" + trace + "</UserTraceData>\r\n"
         "\t</CmdResponse>\r\n"
         "</RStream>\r\n"
         "\x03";
}

class TranReplyTest : public ::testing::Test {
 protected:
  TranReplyTest() {
    m_Context.m_Settings = &m_Settings;
    m_Context.m_Logger = &m_Logger;
  }

  // An approved credit sale that carries every element a sale can have (VoucherNo
  // belongs to vouchers only).
  static CElavonTran ApprovedCreditSale() {
    CElavonTran tran;
    tran.m_TStreamType = "Transaction";
    tran.m_UserTraceData = "Lane 3 #42";
    tran.m_ClientAddress = "10.0.0.7:0042";
    tran.m_TranCode = 1;
    tran.m_TranCodeName = "Sale";
    tran.m_Family = kTranFamilyCredit;
    tran.m_Approved = true;
    tran.m_Captured = true;
    tran.m_TextResponse = "APPROVAL";
    tran.m_TerminalID = "001";
    tran.m_AcctNo = "4111111111111111";
    tran.m_ExpDate = "1225";
    tran.m_CardType = "VISA";
    tran.m_HostAuthCode = "123456  ";
    tran.m_HostRefNo = "0101 0042";
    tran.m_InvoiceNo = "INV-77";
    tran.m_AVSResult = "Y  ";
    tran.m_CVVResult = "M";
    tran.m_EMVResult = "9F2701809F3602";
    tran.m_OperatorID = "Ann";
    tran.m_Memo = "front desk";
    tran.m_Purchase = "1500";
    tran.m_Authorize = "1750";
    tran.m_Gratuity = "250";
    tran.m_CashBack = "0";
    tran.m_EBTBalance = "12.00";
    tran.m_PartialAuth = true;
    tran.m_Balance = "5.25";
    tran.m_HostAcqRefData = "aZ K 001";
    tran.m_ECheckInfo = "CHK1";
    tran.m_HostRecordNo = "R1";
    return tran;
  }

  CParamSettings m_Settings = ReplySettings("4445551234");
  CRecordingLogger m_Logger;
  CReplyContext m_Context;
};

TEST(XmlElementTest, WritesOneElementOrNothing) {
  const struct {
    std::string name, value;
    int indent;
    bool lineEnd;
    std::string expected;
  } rows[] = {
      {"A", "", 2, true, ""},
      {"A", "\x03\x03", 2, true, ""},  // nothing but ETX is nothing
      {"PKeyRID1", "A000000003", 1, false, "\t<PKeyRID1>A000000003</PKeyRID1>"},
      {"Memo", "x", 0, true, "<Memo>x</Memo>\r\n"},
      {"Purchase", "1.00", 3, true, "\t\t\t<Purchase>1.00</Purchase>\r\n"},
      {"Memo", "a<b&c>", 2, true, "\t\t<Memo>a&lt;b&amp;c&gt;</Memo>\r\n"},
      {"Memo", "cut\x03off", 2, true, "\t\t<Memo>cutoff</Memo>\r\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(Visible(r.value));
    EXPECT_SAME_BYTES(XmlElement(r.name, r.value, r.indent, r.lineEnd), r.expected);
  }
}

TEST(MaskAllCharsTest, OneXPerCharacter) {
  EXPECT_EQ(MaskAllChars(""), "");
  EXPECT_EQ(MaskAllChars("1225"), "XXXX");
  EXPECT_EQ(MaskAllChars(std::string("a\0b", 3)), "XXX");
}

TEST_F(TranReplyTest, ApprovedCreditSaleWithEveryElement) {
  CElavonTran tran = ApprovedCreditSale();
  const std::string expected =
      std::string(kRStreamHead) + ProcessorCmdResponse("Approved", "APPROVAL", "Lane 3 #42") +
      "\t<TranResponse>\r\n"
      "\t\t<MerchantID>4445551234</MerchantID>\r\n"
      "\t\t<TerminalID>001</TerminalID>\r\n"
      "\t\t<AcctNo>XXXXXXXXXXXX1111</AcctNo>\r\n"
      "\t\t<ExpDate>XXXX</ExpDate>\r\n"
      "\t\t<CardType>VISA</CardType>\r\n"
      "\t\t<TranCode>Sale</TranCode>\r\n"
      "\t\t<AuthCode>123456</AuthCode>\r\n"
      "\t\t<CaptureStatus>Captured</CaptureStatus>\r\n"
      "\t\t<RefNo>0101_0042</RefNo>\r\n"
      "\t\t<InvoiceNo>INV-77</InvoiceNo>\r\n"
      "\t\t<AVSResult>Y</AVSResult>\r\n"
      "\t\t<CVVResult>M</CVVResult>\r\n"
      "\t\t<EMVResult>9F2701809F3602</EMVResult>\r\n"
      "\t\t<OperatorID>Ann</OperatorID>\r\n"
      "\t\t<Memo>front desk</Memo>\r\n"
      "\t\t<Amount>\r\n"
      "\t\t\t<Purchase>15.00</Purchase>\r\n"
      "\t\t\t<Authorize>17.50</Authorize>\r\n"
      "\t\t\t<Gratuity>2.50</Gratuity>\r\n"
      "\t\t\t<CashBack>0.00</CashBack>\r\n"
      "\t\t\t<Balance>12.00</Balance>\r\n"
      "\t\t\t<Balance>5.25</Balance>\r\n"
      "\t\t</Amount>\r\n"
      "\t\t<AcqRefData>aZ_K_001</AcqRefData>\r\n"
      "\t\t<ECheckInfo>CHK1</ECheckInfo>\r\n"
      "\t\t<RecordNo>R1|1225</RecordNo>\r\n"
      "\t</TranResponse>\r\n"
      "</RStream>\r\n";
  EXPECT_SAME_BYTES(tran.BuildRStream(m_Context), expected);
  // The trims are kept in the record.
  EXPECT_EQ(tran.m_HostAuthCode, "123456");
  EXPECT_EQ(tran.m_AVSResult, "Y");
}

TEST_F(TranReplyTest, DeclinedPreAuthorisation) {
  CElavonTran tran;
  tran.m_TStreamType = "Transaction";
  tran.m_UserTraceData = "T9";
  tran.m_TranCode = 6;
  tran.m_TranCodeName = "PreAuth";
  tran.m_Family = kTranFamilyCredit;
  tran.m_TextResponse = "DECLINED";
  tran.m_TerminalID = "002";
  tran.m_AcctNo = "5499990123456781";
  tran.m_ExpDate = "0926";
  tran.m_CardType = "M/C";
  tran.m_HostAuthCode = "      ";
  tran.m_Purchase = "5000";
  tran.m_Authorize = "5000";
  const std::string expected =
      std::string(kRStreamHead) + ProcessorCmdResponse("Declined", "DECLINED", "T9") +
      "\t<TranResponse>\r\n"
      "\t\t<MerchantID>4445551234</MerchantID>\r\n"
      "\t\t<TerminalID>002</TerminalID>\r\n"
      "\t\t<AcctNo>XXXXXXXXXXXX6781</AcctNo>\r\n"
      "\t\t<ExpDate>XXXX</ExpDate>\r\n"
      "\t\t<CardType>M/C</CardType>\r\n"
      "\t\t<TranCode>PreAuth</TranCode>\r\n"
      "\t\t<Amount>\r\n"
      "\t\t\t<Purchase>50.00</Purchase>\r\n"
      "\t\t\t<Authorize>50.00</Authorize>\r\n"
      "\t\t\t<Gratuity>0.00</Gratuity>\r\n"
      "\t\t\t<CashBack>0.00</CashBack>\r\n"
      "\t\t</Amount>\r\n"
      "\t</TranResponse>\r\n"
      "</RStream>\r\n";
  EXPECT_SAME_BYTES(tran.BuildRStream(m_Context), expected);
  EXPECT_EQ(tran.m_HostAuthCode, "");
}

// Each row changes one thing of the approved sale and names the element line that
// must (or must not) appear, and what the record must hold afterwards.
TEST_F(TranReplyTest, ConditionalElements) {
  struct Row {
    const char* what;
    std::function<void(CElavonTran&)> change;
    std::string line;
    bool present;
    std::function<void(const CElavonTran&)> check = nullptr;
  };
  const Row rows[] = {
      {"no merchant parameter", [this](CElavonTran&) {
         CParamMap params = m_Settings.GetParams();
         params.RemoveKey(kParmMerchantTerminalId);
         m_Settings.SetParams(params);
       }, "<MerchantID>", false},
      {"no terminal id", [](CElavonTran& t) { t.m_TerminalID.clear(); }, "<TerminalID>", false},
      {"no account", [](CElavonTran& t) { t.m_AcctNo.clear(); }, "<AcctNo>", false},
      {"short account kept", [](CElavonTran& t) { t.m_AcctNo = "1234"; },
       "\t\t<AcctNo>1234</AcctNo>\r\n", true},
      {"no expiry", [](CElavonTran& t) { t.m_ExpDate.clear(); }, "<ExpDate>", false},
      {"no card type", [](CElavonTran& t) { t.m_CardType.clear(); }, "<CardType>", false},
      {"voucher number of a voucher", [](CElavonTran& t) { t.m_TranCode = 34; t.m_VoucherNo = "V77"; },
       "\t\t<VoucherNo>V77</VoucherNo>\r\n", true},
      {"voucher number of a voucher return", [](CElavonTran& t) { t.m_TranCode = 35; t.m_VoucherNo = "V78"; },
       "\t\t<VoucherNo>V78</VoucherNo>\r\n", true},
      {"voucher number of a sale", [](CElavonTran& t) { t.m_VoucherNo = "V77"; }, "<VoucherNo>", false},
      {"not captured", [](CElavonTran& t) { t.m_Captured = false; },
       "\t\t<CaptureStatus>NotCaptured</CaptureStatus>\r\n", true},
      {"declined: no capture status", [](CElavonTran& t) { t.m_Approved = false; }, "<CaptureStatus>", false},
      {"capture of a pre-auth", [](CElavonTran& t) { t.m_TranCode = 9; },
       "\t\t<CaptureStatus>Captured</CaptureStatus>\r\n", true},
      {"pre-auth", [](CElavonTran& t) { t.m_TranCode = 6; }, "<CaptureStatus>", false},
      {"auth only", [](CElavonTran& t) { t.m_TranCode = 7; }, "<CaptureStatus>", false},
      {"zero auth", [](CElavonTran& t) { t.m_TranCode = 8; }, "<CaptureStatus>", false},
      {"balance", [](CElavonTran& t) { t.m_TranCode = 12; }, "<CaptureStatus>", false},
      {"pre-auth by record", [](CElavonTran& t) { t.m_TranCode = 54; }, "<CaptureStatus>", false},
      {"auth only by record", [](CElavonTran& t) { t.m_TranCode = 55; }, "<CaptureStatus>", false},
      {"balance by record", [](CElavonTran& t) { t.m_TranCode = 61; }, "<CaptureStatus>", false},
      {"voice auth takes the request's code", [](CElavonTran& t) {
         t.m_TranCode = 5; t.m_HostAuthCode = "   "; t.m_AuthCode = "V12345";
       }, "\t\t<AuthCode>V12345</AuthCode>\r\n", true,
       [](const CElavonTran& t) { EXPECT_EQ(t.m_HostAuthCode, "V12345"); }},
      {"capture by record takes the request's code", [](CElavonTran& t) {
         t.m_TranCode = 56; t.m_HostAuthCode.clear(); t.m_AuthCode = "C1 ";
       }, "\t\t<AuthCode>C1</AuthCode>\r\n", true,
       [](const CElavonTran& t) { EXPECT_EQ(t.m_HostAuthCode, "C1"); }},
      {"voice auth keeps the host's code", [](CElavonTran& t) {
         t.m_TranCode = 5; t.m_HostAuthCode = "H9 "; t.m_AuthCode = "V12345";
       }, "\t\t<AuthCode>H9</AuthCode>\r\n", true},
      {"a sale never takes the request's code", [](CElavonTran& t) {
         t.m_HostAuthCode = "  "; t.m_AuthCode = "V12345";
       }, "<AuthCode>", false, [](const CElavonTran& t) { EXPECT_EQ(t.m_HostAuthCode, ""); }},
      {"no ref no", [](CElavonTran& t) { t.m_HostRefNo.clear(); }, "<RefNo>", false},
      {"no invoice", [](CElavonTran& t) { t.m_InvoiceNo.clear(); }, "<InvoiceNo>", false},
      {"blank AVS result", [](CElavonTran& t) { t.m_AVSResult = "   "; }, "<AVSResult>", false,
       [](const CElavonTran& t) { EXPECT_EQ(t.m_AVSResult, ""); }},
      {"no CVV result", [](CElavonTran& t) { t.m_CVVResult.clear(); }, "<CVVResult>", false},
      {"no EMV result", [](CElavonTran& t) { t.m_EMVResult.clear(); }, "<EMVResult>", false},
      {"no operator", [](CElavonTran& t) { t.m_OperatorID.clear(); }, "<OperatorID>", false},
      {"no memo", [](CElavonTran& t) { t.m_Memo.clear(); }, "<Memo>", false},
      {"an absent purchase reads 0.00", [](CElavonTran& t) { t.m_Purchase.clear(); },
       "\t\t\t<Purchase>0.00</Purchase>\r\n", true},
      {"gratuity of a credit sale in normal form", [](CElavonTran& t) { t.m_Gratuity = "5"; },
       "\t\t\t<Gratuity>0.05</Gratuity>\r\n", true},
      {"no gratuity for debit", [](CElavonTran& t) { t.m_Family = kTranFamilyDebit; }, "<Gratuity>", false},
      {"no gratuity for EBT", [](CElavonTran& t) { t.m_Family = kTranFamilyEBT; }, "<Gratuity>", false},
      {"no EBT balance", [](CElavonTran& t) { t.m_EBTBalance.clear(); }, "<Balance>12.00", false},
      {"sale without partial auth: no second balance", [](CElavonTran& t) { t.m_PartialAuth = false; },
       "<Balance>5.25", false},
      {"FSA sale: second balance", [](CElavonTran& t) { t.m_PartialAuth = false; t.m_TranCode = 10; },
       "\t\t\t<Balance>12.00</Balance>\r\n\t\t\t<Balance>5.25</Balance>\r\n", true},
      {"balance request: both balances", [](CElavonTran& t) { t.m_PartialAuth = false; t.m_TranCode = 12; },
       "\t\t\t<Balance>12.00</Balance>\r\n\t\t\t<Balance>5.25</Balance>\r\n", true},
      {"FSA sale by record: second balance", [](CElavonTran& t) { t.m_PartialAuth = false; t.m_TranCode = 57; },
       "<Balance>5.25", true},
      {"balance by record: second balance", [](CElavonTran& t) { t.m_PartialAuth = false; t.m_TranCode = 61; },
       "<Balance>5.25", true},
      {"no acquirer data", [](CElavonTran& t) { t.m_HostAcqRefData.clear(); }, "<AcqRefData>", false},
      {"no check info", [](CElavonTran& t) { t.m_ECheckInfo.clear(); }, "<ECheckInfo>", false},
      {"record number without expiry", [](CElavonTran& t) { t.m_ExpDate.clear(); },
       "\t\t<RecordNo>R1|</RecordNo>\r\n", true},
      {"no record number", [](CElavonTran& t) { t.m_HostRecordNo.clear(); }, "<RecordNo>", false},
      {"ETX never reaches a value", [](CElavonTran& t) { t.m_Memo = "a\x03z"; t.m_HostRefNo = "\x03"; },
       "\t\t<Memo>az</Memo>\r\n", true},
      {"another TStream type is a transaction", [](CElavonTran& t) { t.m_TStreamType = "admin"; },
       "\t<TranResponse>\r\n", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    m_Settings = ReplySettings("4445551234");
    CElavonTran tran = ApprovedCreditSale();
    row.change(tran);
    const std::string document = tran.BuildRStream(m_Context);
    EXPECT_EQ(document.find(row.line) != std::string::npos, row.present) << Visible(document);
    EXPECT_EQ(document.find('\x03'), std::string::npos);
    if (row.check) row.check(tran);
  }
}

TEST_F(TranReplyTest, KindTwoFramesTheGivenDocumentInClear) {
  CElavonTran tran = ApprovedCreditSale();
  tran.m_RequestKind = kRequestKindClear;
  EXPECT_SAME_BYTES(tran.BuildResponse("<doc/>\x03", m_Context), "\x1C" "000\x02<doc/>\x03");
  EXPECT_SAME_BYTES(tran.GetReply(), "\x1C" "000\x02<doc/>\x03");
  EXPECT_TRUE(m_Logger.Lines().empty());
}

TEST_F(TranReplyTest, CancelRequestGetsNoReply) {
  CElavonTran tran = ApprovedCreditSale();
  tran.m_RequestKind = kRequestKindCancel;
  tran.m_Reply = "earlier";
  EXPECT_EQ(tran.BuildResponse("<doc/>", m_Context), "earlier");
  EXPECT_EQ(tran.m_Reply, "earlier");
  EXPECT_EQ(tran.m_RequestKind, kRequestKindCancel);
  EXPECT_TRUE(m_Logger.Lines().empty());
}

// Key blocks that cannot be imported: the client gets 4020 in clear, the record is
// kind 2, its error code stays, and the built document was logged first.
TEST_F(TranReplyTest, UnusableKeyBlockGivesErrorInClear) {
  for (const std::string block : {"", "ABC", "zz", "0102"}) {
    SCOPED_TRACE(block);
    for (const int family : {kTranFamilyCredit, kTranFamilyEcho}) {
      CRecordingLogger logger;
      CReplyContext context = m_Context;
      context.m_Logger = &logger;
      CElavonTran tran = ApprovedCreditSale();
      tran.m_Family = family;
      tran.m_RequestKind = kRequestKindEncrypted;
      tran.m_KeyBlock = block;
      tran.m_ErrorCode = 1000;
      CElavonTran copy = tran;
      const std::string document = copy.BuildRStream(context);

      EXPECT_SAME_BYTES(tran.BuildResponse("ignored", context), CannotEncryptFrame("Lane 3 #42"));
      EXPECT_SAME_BYTES(tran.m_Reply, CannotEncryptFrame("Lane 3 #42"));
      EXPECT_EQ(tran.m_RequestKind, kRequestKindClear);
      EXPECT_EQ(tran.m_ErrorCode, 1000);
      const std::string prefix = family == kTranFamilyEcho ? "(Echo) " : "";
      EXPECT_EQ(logger.Lines(), std::vector<std::string>{
                                    prefix + "Response Built [" + document + "] for 10.0.0.7:0042"});
    }
  }
}

TEST_F(TranReplyTest, DuplicateResponseOnlyForApprovedEncryptedRequests) {
  const struct {
    const char* what;
    bool approved;
    int kind;
  } refused[] = {
      {"declined", false, kRequestKindEncrypted},
      {"in clear", true, kRequestKindClear},
      {"cancel", true, kRequestKindCancel},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.what);
    CElavonTran tran = ApprovedCreditSale();
    tran.m_Approved = r.approved;
    tran.m_RequestKind = r.kind;
    tran.m_Reply = "earlier";
    EXPECT_FALSE(tran.BuildDuplicateResponse(m_Context));
    EXPECT_EQ(tran.m_Reply, "earlier");
    EXPECT_EQ(tran.m_EMVResult, "9F2701809F3602");
  }
  EXPECT_TRUE(m_Logger.Lines().empty());

  // An approved one is built without its EMV result and logged; with a key block
  // that does not import, the reply is 4020 in clear, as for any other answer.
  CElavonTran tran = ApprovedCreditSale();
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.m_KeyBlock = "00";
  EXPECT_TRUE(tran.BuildDuplicateResponse(m_Context));
  EXPECT_EQ(tran.m_EMVResult, "");
  EXPECT_SAME_BYTES(tran.m_Reply, CannotEncryptFrame("Lane 3 #42"));
  EXPECT_EQ(tran.m_RequestKind, kRequestKindClear);
  const std::vector<std::string> lines = m_Logger.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Duplicate Response Built [<?xml", 0), 0u);
  EXPECT_EQ(lines[0].find("EMVResult"), std::string::npos);
  EXPECT_NE(lines[0].find("] for 10.0.0.7:0042"), std::string::npos);
}

// The error reply is framed through BuildResponse with kind 2, so it is in clear even
// when the request carried a key block.
TEST_F(TranReplyTest, ErrorReplyIsFramedInClear) {
  CElavonTran tran = ApprovedCreditSale();
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.m_KeyBlock = "0102";
  tran.m_ErrorCode = 1007;
  const std::string reply = tran.BuildErrorResponse();
  EXPECT_EQ(reply.substr(0, 5), "\x1C" "000\x02");
  EXPECT_NE(reply.find("<TextResponse>Timeout on Response</TextResponse>"), std::string::npos);
  EXPECT_EQ(tran.m_RequestKind, kRequestKindClear);
}

// A declined sale whose trace text, invoice number and host text carry markup: each
// value stays inside its own element, so the document holds one CmdStatus, one
// TranResponse, and the values read back whole.
TEST_F(TranReplyTest, MarkupInValuesCannotAddOrCloseAnElement) {
  CElavonTran tran = ApprovedCreditSale();
  tran.m_Approved = false;
  tran.m_UserTraceData = "</UserTraceData></CmdResponse><CmdStatus>Approved</CmdStatus>&";
  tran.m_InvoiceNo = "A&B<7>";
  tran.m_TextResponse = "DECLINE <05> & hold";
  tran.m_Memo = "</Memo><AuthCode>999999</AuthCode>";
  const std::string document = tran.BuildRStream(m_Context);
  const auto count = [&document](const std::string& what) {
    size_t n = 0;
    for (size_t at = document.find(what); at != std::string::npos; at = document.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("<CmdStatus>"), 1u) << Visible(document);
  EXPECT_EQ(count("</CmdResponse>"), 1u);
  EXPECT_EQ(count("<AuthCode>"), 1u);
  EXPECT_EQ(count("<TranResponse>"), 1u);
  EXPECT_NE(document.find(ProcessorCmdResponse(
                "Declined", "DECLINE &lt;05&gt; &amp; hold",
                "&lt;/UserTraceData&gt;&lt;/CmdResponse&gt;&lt;CmdStatus&gt;Approved&lt;/CmdStatus&gt;&amp;")),
            std::string::npos)
      << Visible(document);
  EXPECT_NE(document.find("\t\t<InvoiceNo>A&amp;B&lt;7&gt;</InvoiceNo>\r\n"), std::string::npos);
  EXPECT_NE(document.find("\t\t<Memo>&lt;/Memo&gt;&lt;AuthCode&gt;999999&lt;/AuthCode&gt;</Memo>\r\n"),
            std::string::npos);
  // The record keeps the values as they came.
  EXPECT_EQ(tran.m_InvoiceNo, "A&B<7>");
}

// The log's copy of a built reply shows its values' line breaks escaped.
TEST_F(TranReplyTest, ResponseBuiltLineCannotBreakTheLog) {
  CElavonTran tran = ApprovedCreditSale();
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.m_UserTraceData = "T\r\n[10:00:00]forged";
  tran.BuildResponse("", m_Context);
  const std::vector<std::string> lines = m_Logger.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("Response Built [", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("<UserTraceData>T|0d|0a[10:00:00]forged</UserTraceData>\r\n"), std::string::npos)
      << Visible(lines[0]);
}

}  // namespace
