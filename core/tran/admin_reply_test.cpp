#include <array>
#include <string>

#include <gtest/gtest.h>

#include "core/tran/elavon_tran.h"
#include "core/tran/emv_report.h"
#include "core/tran/reply_test_support.h"
#include "core/tran/reply_test_text.h"
#include "core/tran/tran_reply.h"
#include "platform/fs/files.h"

namespace {

// The 23 elements of AID record n, each after one tab and without a line end.
std::string AidElements(int n, const std::array<std::string, 23>& values) {
  static const char* const kNames[23] = {
      "EMVParamsRid",   "AidList",        "FloorLimit",     "RSThreshold",
      "TargetRSPercent", "MaxTargetRSPercent", "FallBackIndicator", "TACDefault",
      "TACDenial",      "TACOnline",      "DefaultDDOL",    "DefaultTDOL",
      "TerminalCapabilities", "AdditionalCapabilities", "CtlsAidList", "CtlsFloorLimit",
      "CtlsTranLimit",  "CtlsCVMLimit",   "CtlsTACDefault", "CtlsTACDenial",
      "CtlsTACOnline",  "CtlsTerminalCapabilities", "CtlsAdditionalCapabilities"};
  std::string out;
  for (int i = 0; i < 23; ++i) {
    const std::string tag = kNames[i] + std::to_string(n);
    out += "\t<" + tag + ">" + values[i] + "</" + tag + ">";
  }
  return out;
}

constexpr char kTdol[] = "9F02065F2A029A039C0195059F3704";

class AdminReplyTest : public ::testing::Test {
 protected:
  AdminReplyTest() {
    m_Context.m_Settings = &m_Settings;
    m_Context.m_Logger = &m_Logger;
    m_Context.m_ReportFolder = m_Folder.Path();
  }

  static CElavonTran AdminRecord(int code, int family) {
    CElavonTran tran;
    tran.m_TStreamType = "Admin";
    tran.m_UserTraceData = "POS1";
    tran.m_TranCode = code;
    tran.m_Family = family;
    tran.m_MerchantID = "4445551234";
    tran.m_TerminalID = "001";
    tran.m_OperatorID = "Ann";
    return tran;
  }

  static CElavonTran EmvDownload(bool success) {
    CElavonTran tran = AdminRecord(63, kTranFamilyEmvKeyDownload);
    tran.m_AdminSuccess = success;
    tran.m_BatchResponse.m_TextResponse = "KEYS LOADED";
    CEmvCaKey visa;
    visa.m_RID = "A000000003";
    visa.m_Index = "92";
    visa.m_Modulus = "996AF56F569187D09293C14810450ED8EE3357397B18A2458EFAA92DA3B6DF65";
    visa.m_Exponent = "03";
    visa.m_Check = "429C954A3859CEF91295F663C963E582ED6EB253";
    visa.m_ExpDate = "1231";
    CEmvCaKey master = visa;
    master.m_RID = "A000000004";
    master.m_Index = "05";
    master.m_ExpDate.clear();  // an empty field gives no element
    CEmvCaKey foreign = visa;
    foreign.m_RID = "A000000999";
    foreign.m_Index = "01";
    tran.m_EMVParamTables.m_CaKeys = {visa, master, foreign};
    CEmvAidEntry stale;
    stale.m_RID = "A000000999";
    tran.m_EMVParamTables.m_AidEntries = {stale};  // replaced by the five defaults
    return tran;
  }

  std::string ReportPath(const std::string& name) const {
    return m_Folder.Path() + "/PARAM_LOADS/" + name;
  }

  ScratchFolder m_Folder;
  CParamSettings m_Settings = ReplySettings("4445551234");
  CRecordingLogger m_Logger;
  CReplyContext m_Context;
};

TEST_F(AdminReplyTest, BatchSummary) {
  CElavonTran tran = AdminRecord(18, kTranFamilyAdmin);
  tran.m_AdminSuccess = true;
  CTranBatchResponse& batch = tran.m_BatchResponse;
  batch.m_TextResponse = "GB OK";
  batch.m_BatchNo = "017";
  batch.m_BatchItemCount = "12";
  batch.m_NetBatchTotal = "-1234.56";
  batch.m_CreditPurchaseCount = "10";
  batch.m_CreditPurchaseAmount = "1500.00";
  batch.m_CreditReturnCount = "1";
  batch.m_CreditReturnAmount = "20.00";
  batch.m_DebitPurchaseCount = "0";
  batch.m_DebitPurchaseAmount = "0.00";
  batch.m_DebitReturnCount = "1";
  batch.m_DebitReturnAmount = "2714.56";
  const std::string expected =
      std::string(kRStreamHead) + ProcessorCmdResponse("Success", "GB OK", "POS1") +
      "\t<BatchSummary>\r\n"
      "\t\t<MerchantID>4445551234</MerchantID>\r\n"
      "\t\t<TerminalID>001</TerminalID>\r\n"
      "\t\t<OperatorID>Ann</OperatorID>\r\n"
      "\t\t<BatchNo>017</BatchNo>\r\n"
      "\t\t<BatchItemCount>12</BatchItemCount>\r\n"
      "\t\t<NetBatchTotal>-1234.56</NetBatchTotal>\r\n"
      "\t\t<CreditPurchaseCount>10</CreditPurchaseCount>\r\n"
      "\t\t<CreditPurchaseAmount>1500.00</CreditPurchaseAmount>\r\n"
      "\t\t<CreditReturnCount>1</CreditReturnCount>\r\n"
      "\t\t<CreditReturnAmount>20.00</CreditReturnAmount>\r\n"
      "\t\t<DebitPurchaseCount>0</DebitPurchaseCount>\r\n"
      "\t\t<DebitPurchaseAmount>0.00</DebitPurchaseAmount>\r\n"
      "\t\t<DebitReturnCount>1</DebitReturnCount>\r\n"
      "\t\t<DebitReturnAmount>2714.56</DebitReturnAmount>\r\n"
      "\t</BatchSummary>\r\n"
      "</RStream>\r\n";
  EXPECT_SAME_BYTES(tran.BuildRStream(m_Context), expected);
}

// A batch close that failed: CmdStatus Error, and only the batch lines that the
// answer filled.
TEST_F(AdminReplyTest, BatchClose) {
  CElavonTran tran = AdminRecord(20, kTranFamilyAdmin);
  tran.m_OperatorID.clear();
  tran.m_BatchResponse.m_TextResponse = "CLOSE FAILED";
  tran.m_BatchResponse.m_BatchNo = "018";
  tran.m_BatchResponse.m_NetBatchTotal = "0.00";
  const std::string expected =
      std::string(kRStreamHead) + ProcessorCmdResponse("Error", "CLOSE FAILED", "POS1") +
      "\t<BatchClose>\r\n"
      "\t\t<MerchantID>4445551234</MerchantID>\r\n"
      "\t\t<TerminalID>001</TerminalID>\r\n"
      "\t\t<BatchNo>018</BatchNo>\r\n"
      "\t\t<NetBatchTotal>0.00</NetBatchTotal>\r\n"
      "\t</BatchClose>\r\n"
      "</RStream>\r\n";
  EXPECT_SAME_BYTES(tran.BuildRStream(m_Context), expected);
}

// Three CA keys, then the five default AID records (EMV SUPPORT 1, EMV CVM 0), all on
// one line with the closing tag.
TEST_F(AdminReplyTest, EmvDownloadWithThreeKeys) {
  CElavonTran tran = EmvDownload(true);
  const std::string modulus = "996AF56F569187D09293C14810450ED8EE3357397B18A2458EFAA92DA3B6DF65";
  const std::string check = "429C954A3859CEF91295F663C963E582ED6EB253";
  const std::string expected =
      std::string(kRStreamHead) + ProcessorCmdResponse("Success", "KEYS LOADED", "POS1") +
      "\t<EMVParamDownload>\r\n"
      "\t\t<MerchantID>4445551234</MerchantID>\r\n"
      "\t\t<TerminalID>001</TerminalID>\r\n"
      "\t\t<OperatorID>Ann</OperatorID>\r\n"
      "\t<PKeyRID1>A000000003</PKeyRID1>\t<PKeyINDEX1>92</PKeyINDEX1>"
      "\t<PKeyEXPONENT1>03</PKeyEXPONENT1>\t<PKeyCHECK1>" + check + "</PKeyCHECK1>"
      "\t<PKeyEXPDATE1>1231</PKeyEXPDATE1>\t<PKeyMOD1>" + modulus + "</PKeyMOD1>"
      "\t<PKeyRID2>A000000004</PKeyRID2>\t<PKeyINDEX2>05</PKeyINDEX2>"
      "\t<PKeyEXPONENT2>03</PKeyEXPONENT2>\t<PKeyCHECK2>" + check + "</PKeyCHECK2>"
      "\t<PKeyMOD2>" + modulus + "</PKeyMOD2>"
      "\t<PKeyRID3>A000000999</PKeyRID3>\t<PKeyINDEX3>01</PKeyINDEX3>"
      "\t<PKeyEXPONENT3>03</PKeyEXPONENT3>\t<PKeyCHECK3>" + check + "</PKeyCHECK3>"
      "\t<PKeyEXPDATE3>1231</PKeyEXPDATE3>\t<PKeyMOD3>" + modulus + "</PKeyMOD3>" +
      AidElements(1, {"A000000003",
                      "A0000000031010.2.008C.0096.VISA,A0000000032010.2.008C.0096.VISA ELECTRON",
                      "0", "0", "20", "60", "Y", "DC4000A800", "0010000000", "DC4004F800",
                      "9F3704", "NotUsed", "E0F8C8", "F000F0A001", "A0000000031010.6.192", "000",
                      "000", "2500", "DC4000A800", "0010000000", "DC4004F800", "E02888",
                      "F000F0A001"}) +
      AidElements(2, {"A000000004", "A0000000041010.2.0002.0002.MASTERCARD", "0", "0", "20",
                      "60", "Y", "FC50B8A000", "0000000000", "FC50B8F800", "9F3704", kTdol,
                      "E0F8C8", "F000F0A001", "A0000000041010.1.193", "000", "000", "2500",
                      "FC50808800", "0000000000", "FC50808800", "E02888", "F000F0A001"}) +
      AidElements(3, {"A000000025", "A00000002501.2.0001.0001.AMEX", "0", "0", "20", "60", "Y",
                      "C800000000", "0000000000", "C800000000", "9F3704", kTdol, "E0B8C8",
                      "F000F0A001", "A00000002501.2.194", "000", "000", "2500", "DC50840000",
                      "0000000000", "C400000000", "E0F8C8", "F000F0A001"}) +
      AidElements(4, {"A000000152", "A0000001523010.2.0001.0001.DISCOVER", "0", "0", "20", "60",
                      "Y", "DC00002000", "0010000000", "FCE09CF800", "9F3704", kTdol, "E0F8C8",
                      "F000F0A001", "A0000001523010.13.128,A0000003241010.13.128", "000", "000",
                      "2500", "0000000000", "0000000000", "0000000000", "E02888",
                      "F000F0A001"}) +
      AidElements(5, {"A000000065", "A0000000651010.2.0200.0120.JCB", "0", "0", "20", "60", "Y",
                      "FC6024A800", "0010000000", "FC60ACF800", "9F3704", kTdol, "E0F8C8",
                      "F000F0A001", "A0000000651010.6.192", "000", "000", "2500", "0000000000",
                      "0000000000", "0000000000", "E0F8C8", "F000F0A001"}) +
      "\t</EMVParamDownload>\r\n"
      "</RStream>\r\n";
  EXPECT_SAME_BYTES(tran.BuildRStream(m_Context), expected);
  EXPECT_EQ(tran.m_EMVParamTables.m_AidEntries.size(), 5u);
  EXPECT_EQ(tran.m_EMVParamTables.m_CaKeys.size(), 3u);
  EXPECT_TRUE(platform::fs::FileExists(ReportPath("EMVParam_4445551234_001.log")));
  EXPECT_TRUE(m_Logger.Lines().empty());
}

// A download that failed: the block with its common lines only, the tables as they
// were, and no report (not even its folder).
TEST_F(AdminReplyTest, FailedEmvDownloadWritesNoElementsAndNoReport) {
  CElavonTran tran = EmvDownload(false);
  const std::string expected =
      std::string(kRStreamHead) + ProcessorCmdResponse("Error", "KEYS LOADED", "POS1") +
      "\t<EMVParamDownload>\r\n"
      "\t\t<MerchantID>4445551234</MerchantID>\r\n"
      "\t\t<TerminalID>001</TerminalID>\r\n"
      "\t\t<OperatorID>Ann</OperatorID>\r\n"
      "\t</EMVParamDownload>\r\n"
      "</RStream>\r\n";
  EXPECT_SAME_BYTES(tran.BuildRStream(m_Context), expected);
  EXPECT_EQ(tran.m_EMVParamTables.m_AidEntries.size(), 1u);
  EXPECT_FALSE(platform::fs::FolderExists(m_Folder.Path() + "/PARAM_LOADS"));
}

// The reply does not depend on the report: a report that cannot be written is logged
// and the reply is the same as when it can.
TEST_F(AdminReplyTest, ReportFailureLeavesTheReplyAlone) {
  CElavonTran written = EmvDownload(true);
  const std::string document = written.BuildRStream(m_Context);
  ASSERT_TRUE(platform::fs::ReplaceFile(m_Folder.Path() + "/blocker", "x"));
  CReplyContext blocked = m_Context;
  blocked.m_ReportFolder = m_Folder.Path() + "/blocker";  // a file, not a folder
  CElavonTran failing = EmvDownload(true);
  EXPECT_SAME_BYTES(failing.BuildRStream(blocked), document);
  ASSERT_EQ(m_Logger.Lines().size(), 1u);
  EXPECT_EQ(m_Logger.Lines()[0].rfind("error at CreateVirureday: ", 0), 0u);
}

// Admin records that are neither batch nor EMV download get the common lines alone.
TEST_F(AdminReplyTest, OtherAdminRecordGetsTheCommonLinesOnly) {
  CElavonTran tran = AdminRecord(63, kTranFamilyAdmin);
  tran.m_AdminSuccess = true;
  tran.m_TerminalID.clear();
  tran.m_BatchResponse.m_TextResponse = "OK";
  const std::string expected =
      std::string(kRStreamHead) + ProcessorCmdResponse("Success", "OK", "POS1") +
      "\t\t<MerchantID>4445551234</MerchantID>\r\n"
      "\t\t<OperatorID>Ann</OperatorID>\r\n"
      "</RStream>\r\n";
  EXPECT_SAME_BYTES(tran.BuildRStream(m_Context), expected);
}

}  // namespace
