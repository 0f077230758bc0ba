#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/log/logger.h"
#include "core/params/param_settings.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "host/message/elavon_request.h"
#include "host/message/message_test_support.h"

namespace {

using message_test::Framed;
using message_test::SameBytes;
using message_test::ScopedSequenceFile;
using message_test::StandardHeader;
using message_test::StandardSettings;

#define GS "\x1D"
#define FS "\x1C"
#define CARD "4111111111111111=25121010"

// A transaction as it stands after its request (sequence number 42) was built and
// approved.
class ReversalEchoTest : public testing::Test {
 protected:
  CElavonTran Sent(int code, int family) {
    CElavonTran tran;
    tran.m_TranCode = code;
    tran.m_Family = family;
    tran.m_HostCardData = CARD;
    tran.m_Track2Given = true;
    tran.m_Authorize = "1500";
    tran.m_InvoiceNo = "INV1";
    tran.m_LaneNumber = "0007";
    tran.m_AccountType = "1";
    if (family == kTranFamilyECheck) {
      tran.m_Track2Given = false;
      tran.m_HostCardData = "T011000015T12345678O1001";
      tran.m_PhoneNo = "5551234567";
      tran.m_DriversLicense = "D1234";
      tran.m_StateCode = "GA";
    }
    EXPECT_TRUE(tran.BuildElavonRequest(m_Settings, m_Sequence.File()));
    tran.m_HostAuthCode = "APP123";
    tran.m_HostAcqRefData = "X|123456|789|03|000|AA|S|0042";
    tran.m_EchoRef1 = "ABCDEFGH";
    tran.m_EchoRef2 = "123456789";
    tran.m_HostRefNo = "0042";
    return tran;
  }

  const CParamSettings m_Settings = StandardSettings();
  ScopedSequenceFile m_Sequence{42};
};

struct ReversalRow {
  const char* m_Name;
  int m_Code;
  int m_Family;
  bool m_EchoFirst;  // the echo of the approval is the message reversed
  std::string m_Expected;
};

TEST_F(ReversalEchoTest, ReversalOfEachFamily) {
  const std::string creditF01 =
      GS "01" "0303" "0" "4111111111111111=1225" FS "1500" FS "0042" FS FS "10000000";
  const std::vector<ReversalRow> rows = {
      {"credit sale", kCodeCreditSale, kTranFamilyCredit, false,
       Framed(StandardHeader("099") + creditF01 + GS "04" "000" "  " GS "06" "0007"
              GS "59" "APP123" "123456" "789")},
      {"debit sale", kCodeDebitSale, kTranFamilyDebit, false,
       Framed(StandardHeader("199") + creditF01 + GS "04" "100" "  " GS "06" "0007"
              GS "59" "APP123" "123456" "789")},
      {"EBT sale", kCodeEBTFoodstampSale, kTranFamilyEBT, false,
       Framed(StandardHeader("199") + creditF01 + GS "04" "120" "  " GS "06" "0007"
              GS "59" "APP123" "123456" "789")},
      {"failed debit echo", kCodeDebitSale, kTranFamilyDebit, true,
       Framed(StandardHeader("199") + creditF01 + GS "04" "100" "  " GS "06" "0007")},
      {"failed EBT echo", kCodeEBTCashSale, kTranFamilyEBT, true,
       Framed(StandardHeader("199") + creditF01 + GS "04" "140" "  " GS "06" "0007")},
      {"ECheck sale", kCodeECheckSale, kTranFamilyECheck, false,
       Framed(StandardHeader("399") + GS "01" "1011" "0" "T011000015T12345678O1001" FS "1500" FS
              "0042" GS "04" "300" "  " GS "06" "0007" GS "59" "APP123" "123456" "789")},
      {"failed ECheck echo", kCodeECheckSale, kTranFamilyECheck, true,
       Framed(StandardHeader("399") + GS "01" "1011" "0" "T011000015T12345678O1001" FS "1500" FS
              "0042" GS "04" "300" "  " GS "06" "0007")},
  };
  for (const ReversalRow& row : rows) {
    SCOPED_TRACE(row.m_Name);
    CElavonTran tran = Sent(row.m_Code, row.m_Family);
    const std::string elavonCode = tran.m_ElavonCode;
    if (row.m_EchoFirst) {
      ASSERT_FALSE(tran.BuildEchoRequest().empty());
    }
    ASSERT_TRUE(tran.BuildReversalRequest(m_Settings));
    EXPECT_TRUE(SameBytes(tran.m_HostRequest, row.m_Expected));
    EXPECT_EQ(tran.m_Family, kTranFamilyReversal);
    EXPECT_EQ(tran.m_ElavonCode, elavonCode);
  }
}

TEST_F(ReversalEchoTest, ReversalRefreshesTheEntryModeAndSendsEncryptedData) {
  CElavonTran tran = Sent(kCodeCreditSale, kTranFamilyCredit);
  tran.m_Encrypted = true;
  tran.m_EncryptedKey = "KEY";
  tran.m_RecordNoGiven = true;
  tran.m_TerminalCapability = "04";  // as the request sent it
  ASSERT_TRUE(tran.BuildReversalRequest(m_Settings));
  // The card part is reordered whether encrypted or not; the capability sent is the
  // request's, the one kept afterwards the one computed now.
  EXPECT_TRUE(SameBytes(
      tran.m_HostRequest,
      Framed(StandardHeader("099") + GS "01" "0403" "0" "4111111111111111=1225" FS "1500" FS
             "0042" FS FS "10000100" GS "04" "000" "  " GS "06" "0007" GS "59" "APP123" "123456"
             "789" GS "E1" "E3" "KEY")));
  EXPECT_EQ(tran.m_TerminalCapability, "03");
}

std::string LogText() {
  EXPECT_TRUE(GetLogger().Flush(5000));
  std::string all;
  std::error_code error;
  for (const auto& file : std::filesystem::directory_iterator("QUILLON_LOGS", error)) {
    std::ifstream in(file.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    all += text.str();
  }
  return all;
}

TEST_F(ReversalEchoTest, UnusableMessagesAreNotReversed) {
  // The application makes the log folder at start-up; the logger writes into it.
  std::error_code error;
  std::filesystem::create_directory("QUILLON_LOGS", error);
  struct Row {
    const char* m_Name;
    int m_Family;
    std::string m_Message;
  };
  const std::string header = StandardHeader("000");
  const std::string f01 = GS "01" "0303" "0" CARD FS "1500" FS "0042" FS FS "1000000";
  const std::vector<Row> rows = {
      {"batch close", kTranFamilyAdmin,
       Framed(StandardHeader("900") + GS "90" "0057" FS "-1250" FS "0" GS "06" "0007")},
      {"earlier reversal", kTranFamilyReversal,
       Framed(StandardHeader("099") + f01 + GS "04" "000" "  " GS "06" "0007")},
      {"no family", kTranFamilyNone, Framed(header + f01 + GS "12" "INV1" FS)},
      {"EMV download", kTranFamilyEmvKeyDownload, Framed(StandardHeader("803", 'M') + GS "77" "1" GS "06" "0007")},
      {"no field", kTranFamilyCredit, Framed(header)},
      {"empty", kTranFamilyCredit, ""},
      {"no end after the first field", kTranFamilyCredit, header + f01},
      {"first field followed only by the ETX", kTranFamilyCredit, Framed(header + f01)},
      {"lane of four characters after the first field", kTranFamilyCredit,
       Framed(header + f01 + GS "06" "1234")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.m_Name);
    CElavonTran tran;
    tran.m_TranCode = kCodeCreditSale;
    tran.m_Family = row.m_Family;
    tran.m_HostRequest = row.m_Message;
    tran.m_TerminalCapability = "03";
    tran.m_ClientAddress = "127.0.0.1:0042";
    const CElavonTran before = tran;
    EXPECT_FALSE(tran.BuildReversalRequest(m_Settings));
    EXPECT_EQ(tran.m_HostRequest, before.m_HostRequest);
    EXPECT_EQ(tran.m_Family, before.m_Family);
    EXPECT_EQ(tran.m_TerminalCapability, "03");
  }
  EXPECT_NE(LogText().find("Reversal Request not built for 127.0.0.1:0042"), std::string::npos);
}

TEST_F(ReversalEchoTest, ReversalLengthLimitIsTenBytesFromTheSecondField) {
  const std::string header = StandardHeader("000");
  const std::string f01 = GS "01" "0303" "0" CARD FS "1500" FS "0042" FS FS "1000000";
  for (const auto& [lane, reversed] :
       std::vector<std::pair<std::string, bool>>{{"1234", false}, {"12345", true}}) {
    CElavonTran tran;
    tran.m_Family = kTranFamilyCredit;
    tran.m_HostRequest = Framed(header + f01 + GS "06" + lane);
    EXPECT_EQ(tran.BuildReversalRequest(m_Settings), reversed) << lane;
  }
}

TEST_F(ReversalEchoTest, EchoOfAnApproval) {
  struct Row {
    const char* m_Name;
    int m_Code;
    int m_Family;
    const char* m_EchoCode;
  };
  for (const Row& row : std::vector<Row>{{"debit sale", kCodeDebitSale, kTranFamilyDebit, "197"},
                                         {"EBT sale", kCodeEBTFoodstampSale, kTranFamilyEBT, "197"},
                                         {"ECheck sale", kCodeECheckSale, kTranFamilyECheck, "397"}}) {
    SCOPED_TRACE(row.m_Name);
    CElavonTran tran = Sent(row.m_Code, row.m_Family);
    const std::string elavonCode = tran.m_ElavonCode;
    // Sent with the alternate marker: the echo goes with '*' all the same.
    tran.m_HostRequest[kElavonMarkerPos] = kElavonMarkerAlternate;
    ReplaceElavonChecksum(tran.m_HostRequest);

    const std::string echo = tran.BuildEchoRequest();
    const std::string expected =
        Framed(StandardHeader(row.m_EchoCode) + GS "52" "ABCDEF" "123456" "0042" FS "1500");
    EXPECT_TRUE(SameBytes(echo, expected));
    EXPECT_TRUE(SameBytes(tran.m_HostRequest, expected));
    EXPECT_EQ(tran.m_Family, kTranFamilyEcho);
    EXPECT_EQ(tran.m_ElavonCode, elavonCode);
  }
}

TEST_F(ReversalEchoTest, EchoNeedsAWholeHeaderBeforeTheFirstField) {
  for (const std::string& message :
       std::vector<std::string>{"", StandardHeader("100"), "\x02*00E40" GS "01", "\x02*00E4029A1" GS "01",
                                "\x02*00E4029A10" GS "0103"}) {
    SCOPED_TRACE(message_test::Visible(message));
    CElavonTran tran;
    tran.m_Family = kTranFamilyDebit;
    tran.m_HostRequest = message;
    EXPECT_EQ(tran.BuildEchoRequest(), "");
    EXPECT_EQ(tran.m_HostRequest, message);
    EXPECT_EQ(tran.m_Family, kTranFamilyDebit);
  }
  // Three characters of code before the first GS are enough.
  CElavonTran tran;
  tran.m_Family = kTranFamilyDebit;
  tran.m_HostRequest = "\x02#00E4029A100" GS "01";
  EXPECT_TRUE(SameBytes(tran.BuildEchoRequest(), Framed("\x02*00E4029A197" GS "52" FS)));
}

}  // namespace
