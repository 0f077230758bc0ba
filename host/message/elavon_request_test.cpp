#include "host/message/elavon_request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/params/param_settings.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "host/message/message_test_support.h"

namespace {

using message_test::Framed;
using message_test::SameBytes;
using message_test::ScopedSequenceFile;
using message_test::Settings;
using message_test::StandardHeader;
using message_test::StandardSettings;
using message_test::Visible;
using message_test::Without;

#define GS "\x1D"
#define FS "\x1C"

// A record whose every optional field has data, so that each Elavon code shows all
// the fields it can carry. Sequence number 42.
#define CARD "4111111111111111=25121010"
CElavonTran RichRecord(int code) {
  CElavonTran tran;
  tran.m_TranCode = code;
  tran.m_Family = kTranFamilyCredit;
  tran.m_HostCardData = CARD;
  tran.m_Track2Given = true;
  tran.m_Authorize = "1500";
  tran.m_CashBack = "500";
  tran.m_RefNo = "98765";
  tran.m_ZipGiven = true;
  tran.m_Zip = "12345";
  tran.m_Address = "1 Main St";
  tran.m_CVVValid = true;
  tran.m_CVVData = "123";
  tran.m_TaxGiven = true;
  tran.m_Tax = "100";
  tran.m_CustomerCode = "CUST1";
  tran.m_InvoiceNo = "INV1";
  tran.m_FSAPrescription = "100";
  tran.m_FSAVision = "200";
  tran.m_FSADental = "300";
  tran.m_FSAClinical = "400";
  tran.m_AuthCode = "AB12";
  tran.m_AcqRefData = "RESP|123456789|XYZ|05|000|AA|SUB5|0321";
  tran.m_PhoneNo = "5551234567";
  tran.m_DriversLicense = "D1234";
  tran.m_StateCode = "GA";
  tran.m_AccountType = "2";
  tran.m_PINBlock = "1234567890ABCDEF";
  tran.m_DervdKey = "9876543210E00001";
  tran.m_VoucherNo = "V123";
  tran.m_EMVKeyIndex = "3";
  tran.m_BatchNo = "5";
  tran.m_BatchItemCount = "007";
  tran.m_SignedBatchTotal = "-1250";
  tran.m_LaneNumber = "0007";
  return tran;
}

// The fields of RichRecord, as the host expects them.
const std::string kF01 = GS "01" "0303" "0" CARD FS "1500" FS "0042" FS FS "1000000";
const std::string kF01Void = GS "01" "0303" "0" CARD FS "1500" FS "0042" FS "8765" FS "1000000";
const std::string kF01Reversal =
    GS "01" "0301" "0" "4111111111111111=1225" FS "1500" FS "0321" FS FS "1000000";
const std::string kF01Balance = GS "01" "0303" "0" CARD FS "0" FS "0042" FS FS "1000000";
const std::string kF01ECheckSale = GS "01" "1010" "0" CARD FS "1500" FS "0042";
const std::string kF01ECheckVoid = GS "01" "1010" "0" CARD FS "1500" FS "0042" FS "8765";
const std::string kF04 = GS "04" "000" "AA" "SUB5";
const std::string kF06 = GS "06" "0007";
const std::string kF10 = GS "10" "12345" FS "1 Main St" FS "1123";
const std::string kF11 = GS "11" "100" FS "CUST1";
const std::string kF12 = GS "12" "INV1" FS;
const std::string kF17 = GS "17" "1500" FS "100" FS "200" FS "400" FS "300" FS;
const std::string kF19 = GS "19" "00AB12" "RESP" FS "456789" "XYZ";
const std::string kF19Capture = kF19 + FS "05" "@";
const std::string kF40 = GS "40" "5551234567" FS "D1234=GA";
const std::string kF50 = GS "50" "00000" FS "500" FS "  ";
const std::string kF50Debit = GS "50" "20000" FS "500" FS "  ";
const std::string kF51 = GS "51" "T" "1234567890ABCDEF" "9876543210E00001";
const std::string kF52 = GS "52" "00000000000000000000";
const std::string kF55 = GS "55" "AB12  " "V123";
const std::string kF59 = GS "59" "  AB12" "456789" "XYZ";
const std::string kF77 = GS "77" "3";
const std::string kF8D = GS "8D" CARD;
const std::string kF90 = GS "90" "005" "7" FS "-1250" FS "0";

std::string Cat(const std::vector<std::string>& parts) {
  std::string all;
  for (const std::string& part : parts) all += part;
  return all;
}

struct CodeRow {
  int m_Code;
  const char* m_ECheck;  // ECHECK parameter
  const char* m_ElavonCode;
  char m_Kind;
  std::string m_Fields;  // after the header, before F06 and the trailer
};

// One row per Elavon code (and for the codes that share one, each internal code),
// with the fields of that code in their order.
const std::vector<CodeRow>& CodeRows() {
  static const std::vector<CodeRow> rows = {
      {1, "0", "000", 'A', Cat({kF01, kF10, kF11, kF12, kF50, kF51})},
      {10, "0", "000", 'A', Cat({kF01, kF10, kF11, kF12, kF17, kF50, kF51})},
      {51, "0", "000", 'A', Cat({kF01, kF10, kF11, kF12, kF50, kF51})},
      {57, "0", "000", 'A', Cat({kF01, kF10, kF11, kF12, kF17, kF50, kF51})},
      {66, "0", "000", 'A', Cat({kF01, kF10, kF11, kF12, kF50, kF51})},
      {2, "0", "005", 'A', Cat({kF01, kF11, kF12, kF50, kF51})},
      {67, "0", "005", 'A', Cat({kF01, kF11, kF12, kF50, kF51})},
      {3, "0", "098", 'A', Cat({kF01Void, kF04, kF50, kF51})},
      {73, "0", "098", 'A', Cat({kF01Void, kF04, kF50, kF51})},
      {74, "0", "198", 'A', Cat({kF01Void, kF04, kF50, kF51})},
      {11, "0", "099", 'A', Cat({kF01Reversal, kF04, kF19, kF50, kF51})},
      {75, "0", "099", 'A', Cat({kF01Reversal, kF04, kF19, kF50, kF51})},
      {76, "0", "199", 'A', Cat({kF01Reversal, kF04, kF50, kF51, kF59})},
      {5, "0", "006", 'A', Cat({kF01, kF11, kF12, kF19Capture, kF50, kF51})},
      {9, "0", "006", 'A', Cat({kF01, kF11, kF12, kF19Capture, kF50, kF51})},
      {6, "0", "001", 'A', Cat({kF01, kF10, kF11, kF50, kF51})},
      {7, "0", "001", 'A', Cat({kF01, kF10, kF11, kF50, kF51})},
      {8, "0", "002", 'A', Cat({kF01, kF10, kF11, kF50, kF51})},
      {71, "0", "002", 'A', Cat({kF01, kF10, kF11, kF50, kF51})},
      {12, "0", "004", 'A', Cat({kF01Balance, kF51})},
      {61, "0", "004", 'A', Cat({kF01Balance, kF51})},
      {14, "0", "100", 'A', Cat({kF01, kF50Debit, kF51})},
      {78, "0", "100", 'A', Cat({kF01, kF50Debit, kF51})},
      {15, "0", "102", 'A', Cat({kF01, kF50Debit, kF51, kF52})},
      {79, "0", "102", 'A', Cat({kF01, kF50Debit, kF51, kF52})},
      {30, "0", "120", 'A', Cat({kF01, kF50Debit, kF51})},
      {31, "0", "122", 'A', Cat({kF01, kF50Debit, kF51, kF52})},
      {32, "0", "140", 'A', Cat({kF01, kF50Debit, kF51})},
      {34, "0", "121", 'A', Cat({kF01, kF55})},
      {35, "0", "123", 'A', Cat({kF01, kF55})},
      {36, "0", "124", 'A', Cat({kF01Balance, kF50Debit, kF51})},
      {37, "0", "141", 'A', Cat({kF01Balance, kF50Debit, kF51})},
      {44, "0", "300", 'A', Cat({kF01ECheckSale, kF40})},
      {44, "1", "301", 'A', Cat({kF01ECheckSale, kF40})},
      {44, "2", "302", 'A', Cat({kF01ECheckSale, kF40})},
      {45, "0", "398", 'A', Cat({kF01ECheckVoid, kF59, kF04})},
      {18, "0", "998", 'M', ""},
      {20, "0", "900", 'A', kF90},
      {62, "0", "810", 'A', Cat({kF01, kF8D})},
      {63, "0", "803", 'M', kF77},
      {64, "0", "803", 'M', kF77},
  };
  return rows;
}

TEST(ElavonRequestTest, EveryElavonCodeCarriesItsFieldsInOrder) {
  ScopedSequenceFile sequence(42);
  for (const CodeRow& row : CodeRows()) {
    SCOPED_TRACE(testing::Message() << "internal code " << row.m_Code << ", ECHECK " << row.m_ECheck);
    CElavonTran tran = RichRecord(row.m_Code);
    const CParamSettings settings = Settings({{kParmAssignedBin, "1234"},
                                              {kParmMerchantTerminalId, "5678"},
                                              {kParmMerchantCategory, "0"},
                                              {kParmEmvSupport, "0"},
                                              {kParmECheck, row.m_ECheck}});
    ASSERT_TRUE(tran.BuildElavonRequest(settings, sequence.File()));
    const std::string expected =
        Framed(StandardHeader(row.m_ElavonCode, row.m_Kind) + row.m_Fields + kF06);
    EXPECT_TRUE(SameBytes(tran.m_HostRequest, expected));
    EXPECT_EQ(tran.m_ElavonCode, row.m_ElavonCode);
  }
}

TEST(ElavonRequestTest, KeyedSaleGolden) {
  // Every byte written out, the checksum included.
  ScopedSequenceFile sequence(7);
  CElavonTran tran;
  tran.m_TranCode = kCodeCreditSale;
  tran.m_Family = kTranFamilyCredit;
  tran.m_HostCardData = "4111111111111111=2512";
  tran.m_Authorize = "1000";
  ASSERT_TRUE(tran.BuildElavonRequest(StandardSettings(), sequence.File()));
  const std::string expected =
      "\x02*00E4029A000JX4807GC0012340000000000005678zovade"
      GS "01" "0302" "0" "4111111111111111=2512" FS "1000" FS "0007" FS FS "1000000"
      "\x03" "\x22";
  ASSERT_EQ(expected.size(), 99u);
  EXPECT_TRUE(SameBytes(tran.m_HostRequest, expected));
  EXPECT_EQ(tran.m_RequestSeqNo, "0007");
  EXPECT_EQ(tran.m_TerminalCapability, "03");
}

TEST(ElavonRequestTest, NulChecksumIsAppendedAndCounted) {
  // BatchSummary with lane "000+": the bytes after the STX XOR to 0.
  ScopedSequenceFile sequence(0);
  CElavonTran tran;
  tran.m_TranCode = kCodeBatchSummary;
  tran.m_Family = kTranFamilyAdmin;
  tran.m_LaneNumber = "000+";
  ASSERT_TRUE(tran.BuildElavonRequest(StandardSettings(), sequence.File()));
  const std::string expected("\x02*00E4029M998JX4807GC0012340000000000005678zovade" GS "06" "000+"
                             "\x03" "\x00",
                             58);
  EXPECT_EQ(tran.m_HostRequest.size(), 58u);
  EXPECT_EQ(tran.m_HostRequest.back(), '\0');
  EXPECT_TRUE(SameBytes(tran.m_HostRequest, expected));
}

TEST(ElavonRequestTest, ChecksumCoversMarkerThroughEtx) {
  EXPECT_EQ(ElavonChecksum(std::string_view("\x02*\x03", 3)), static_cast<char>('*' ^ 0x03));
  // The STX is not counted.
  EXPECT_EQ(ElavonChecksum(std::string_view("\x7F" "AB", 3)), static_cast<char>('A' ^ 'B'));
  EXPECT_EQ(ElavonChecksum(std::string_view("\x02", 1)), '\0');
  EXPECT_EQ(ElavonChecksum(std::string_view()), '\0');

  // A changed marker gets a fresh checksum; the length stays.
  std::string message = Framed(StandardHeader("000") + GS "06" "1");
  message[kElavonMarkerPos] = kElavonMarkerAlternate;
  ReplaceElavonChecksum(message);
  EXPECT_TRUE(SameBytes(message, Framed("\x02#" + StandardHeader("000").substr(2) + GS "06" "1")));
}

struct HeaderRow {
  std::vector<std::pair<int, std::string>> m_Params;
  std::vector<int> m_Absent;
  std::string m_Header;
};

TEST(ElavonRequestTest, HeaderFromTheMerchantParameters) {
  const std::string tail = "zovade";
  const std::vector<HeaderRow> rows = {
      {{{kParmMerchantCategory, "3"}}, {}, "JX4807MC0012340000000000005678"},
      {{{kParmMerchantCategory, "03"}}, {}, "JX4807MC0012340000000000005678"},
      {{{kParmMerchantCategory, "4"}}, {}, "JX4807IC0012340000000000005678"},
      {{{kParmMerchantCategory, ""}}, {}, "JX4807GC0012340000000000005678"},
      {{{kParmMerchantCategory, "X"}}, {}, "JX4807GC0012340000000000005678"},
      {{}, {kParmMerchantCategory}, "JX4807GC0012340000000000005678"},
      // A BIN longer than six digits keeps its last six.
      {{{kParmAssignedBin, "12345678"}}, {}, "JX4807GC3456780000000000005678"},
      {{}, {kParmAssignedBin, kParmMerchantTerminalId}, "JX4807GC0000000000000000000000"},
      {{{kParmMerchantTerminalId, "12345678901234567"}}, {}, "JX4807GC0012342345678901234567"},
  };
  for (const HeaderRow& row : rows) {
    SCOPED_TRACE(Visible(row.m_Header));
    ScopedSequenceFile sequence(0);
    CParamSettings settings = StandardSettings();
    CParamMap params = settings.GetParams();
    for (const auto& [number, value] : row.m_Params) {
      CParamEntry entry;
      params.Lookup(number, &entry);
      params.SetAt(number, CParamEntry(entry.GetFormat(), entry.GetName(), value));
    }
    settings.SetParams(params);
    for (int number : row.m_Absent) settings = Without(settings, number);

    CElavonTran tran;
    tran.m_TranCode = kCodeBatchSummary;
    ASSERT_TRUE(tran.BuildElavonRequest(settings, sequence.File()));
    EXPECT_TRUE(SameBytes(tran.m_HostRequest,
                          Framed("\x02*00E4029M998" + row.m_Header + tail)));
    EXPECT_EQ(TerminalIdentifier(true, settings.GetParams()), row.m_Header.substr(0, 8));
    EXPECT_EQ(TerminalIdentifier(false, settings.GetParams()), row.m_Header.substr(0, 7) + " ");
  }
}

TEST(ElavonRequestTest, ElavonCodeOfEveryInternalCode) {
  const std::map<int, std::string> expected = {
      {1, "000"},  {2, "005"},  {3, "098"},  {4, "098"},  {5, "006"},  {6, "001"},  {7, "001"},
      {8, "002"},  {9, "006"},  {10, "000"}, {11, "099"}, {12, "004"}, {14, "100"}, {15, "102"},
      {18, "998"}, {20, "900"}, {30, "120"}, {31, "122"}, {32, "140"}, {34, "121"}, {35, "123"},
      {36, "124"}, {37, "141"}, {44, "300"}, {45, "398"}, {51, "000"}, {52, "005"}, {53, "006"},
      {54, "001"}, {55, "001"}, {56, "006"}, {57, "000"}, {58, "098"}, {59, "098"}, {60, "099"},
      {61, "004"}, {62, "810"}, {63, "803"}, {64, "803"}, {66, "000"}, {67, "005"}, {68, "098"},
      {69, "098"}, {70, "006"}, {71, "002"}, {73, "098"}, {74, "198"}, {75, "099"}, {76, "199"},
      {77, "803"}, {78, "100"}, {79, "102"},
  };
  const CParamMap params = StandardSettings().GetParams();
  for (int code = -1; code <= 1000; ++code) {
    auto it = expected.find(code);
    EXPECT_EQ(CElavonTran::GetElavonTranCode(code, params),
              it == expected.end() ? std::string() : it->second)
        << "internal code " << code;
  }
}

TEST(ElavonRequestTest, ECheckSaleCodeFollowsTheECheckParameter) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"0", "300"}, {"1", "301"}, {"2", "302"}, {"01", "301"},
      {"3", ""},    {"7", ""},    {"-1", ""},   {"", "300"},
  };
  for (const auto& [value, code] : rows) {
    EXPECT_EQ(CElavonTran::GetElavonTranCode(kCodeECheckSale,
                                             Settings({{kParmECheck, value}}).GetParams()),
              code)
        << "ECHECK '" << value << "'";
  }
  EXPECT_EQ(CElavonTran::GetElavonTranCode(kCodeECheckSale,
                                           Without(Settings(), kParmECheck).GetParams()),
            "300");
}

TEST(ElavonRequestTest, CodesWithoutElavonCodeAreRefused) {
  // A code 0 record is left as it was; a code the host has no code for fails with
  // 1001 and is never sent with a short header.
  struct Row {
    int m_Code;
    const char* m_ECheck;
    int m_ErrorCode;
  };
  const std::vector<Row> rows = {
      {0, "0", 1003}, {44, "7", 1001}, {44, "3", 1001}, {40, "0", 1001}, {65, "0", 1001},
      {72, "0", 1001}, {80, "0", 1001}, {900, "0", 1001}, {901, "0", 1001},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "code " << row.m_Code << ", ECHECK " << row.m_ECheck);
    ScopedSequenceFile sequence(42);
    CElavonTran tran = RichRecord(row.m_Code);
    tran.m_ErrorCode = 1003;
    tran.m_HostRequest = "previous";
    tran.m_ElavonCode = "000";
    const CParamSettings settings = Settings({{kParmECheck, row.m_ECheck}});
    EXPECT_FALSE(tran.BuildElavonRequest(settings, sequence.File()));
    EXPECT_EQ(tran.m_HostRequest, "previous");
    EXPECT_EQ(tran.m_ElavonCode, "000");
    EXPECT_EQ(tran.m_ErrorCode, row.m_ErrorCode);
  }
}

TEST(ElavonRequestTest, SequenceNumberComesFromTheSequenceFile) {
  struct Row {
    int m_Stored;  // -1: no file
    std::string m_Sent;
  };
  for (const Row& row : std::vector<Row>{{123, "0123"}, {9949, "9949"}, {0, "0000"}, {-1, "0000"}}) {
    SCOPED_TRACE(row.m_Sent);
    const std::string freshPath = message_test::TestFileName("fresh");
    std::remove(freshPath.c_str());
    std::unique_ptr<ScopedSequenceFile> stored;
    std::unique_ptr<CSequenceFile> fresh;
    CSequenceFile* file;
    if (row.m_Stored >= 0) {
      stored = std::make_unique<ScopedSequenceFile>(row.m_Stored);
      file = &stored->File();
    } else {
      fresh = std::make_unique<CSequenceFile>(freshPath);
      file = fresh.get();
    }
    CElavonTran tran = RichRecord(kCodeCreditReturn);
    ASSERT_TRUE(tran.BuildElavonRequest(StandardSettings(), *file));
    EXPECT_EQ(tran.m_RequestSeqNo, row.m_Sent);
    EXPECT_NE(tran.m_HostRequest.find(FS + row.m_Sent + FS), std::string::npos)
        << Visible(tran.m_HostRequest);
    std::remove(freshPath.c_str());
  }
}

TEST(ElavonRequestTest, ARebuildReplacesTheMessageAndEchoKeepsTheElavonCode) {
  ScopedSequenceFile sequence(1);
  CElavonTran tran = RichRecord(kCodeCreditSale);
  ASSERT_TRUE(tran.BuildElavonRequest(StandardSettings(), sequence.File()));
  EXPECT_EQ(tran.m_ElavonCode, "000");

  tran.m_TranCode = kCodeDebitSale;
  tran.m_Family = kTranFamilyEcho;
  ASSERT_TRUE(tran.BuildElavonRequest(StandardSettings(), sequence.File()));
  EXPECT_EQ(tran.m_HostRequest.substr(0, 13), "\x02*00E4029A100");
  EXPECT_EQ(tran.m_HostRequest.find("000JX4807"), std::string::npos);
  EXPECT_EQ(tran.m_ElavonCode, "000");
}

TEST(ElavonRequestTest, ClosingFieldsOnlyWithTheirData) {
  ScopedSequenceFile sequence(0);
  CElavonTran tran;
  tran.m_TranCode = kCodeBatchSummary;
  ASSERT_TRUE(tran.BuildElavonRequest(StandardSettings(), sequence.File()));
  EXPECT_TRUE(SameBytes(tran.m_HostRequest, Framed(StandardHeader("998", 'M'))));

  // F16, then F06, then FE1.
  tran.m_EMVData = "9F27:80";
  tran.m_LaneNumber = "12";
  tran.m_Encrypted = true;
  tran.m_EncryptedKey = "KEY";
  ASSERT_TRUE(tran.BuildElavonRequest(StandardSettings(), sequence.File()));
  const std::string f16 = GS "16" "0000000000000000" "80" + std::string(8 + 4 + 10 + 2 + 4 + 6 + 6 + 6 + 3 + 12 + 12 + 2, '0') +
                          "  " "000000" FS "00" "00000000" FS "000" FS FS;
  EXPECT_TRUE(SameBytes(tran.m_HostRequest,
                        Framed(StandardHeader("998", 'M') + f16 + GS "06" "12" GS "E1" "E3" "KEY")));
}

TEST(ElavonRequestTest, ReversalCodeSendsTheReversalAlreadyBuilt) {
  ScopedSequenceFile sequence(42);
  const CParamSettings settings = StandardSettings();

  // Built by the client session before it queued the record: sent as it is.
  CElavonTran queued = RichRecord(kCodeCreditSale);
  ASSERT_TRUE(queued.BuildElavonRequest(settings, sequence.File()));
  ASSERT_TRUE(queued.BuildReversalRequest(settings));
  queued.m_TranCode = kCodeReversal;
  const std::string reversal = queued.m_HostRequest;
  EXPECT_TRUE(queued.BuildElavonRequest(settings, sequence.File()));
  EXPECT_TRUE(SameBytes(queued.m_HostRequest, reversal));
  EXPECT_EQ(queued.m_Family, kTranFamilyReversal);

  // Not built yet: built now.
  CElavonTran late = RichRecord(kCodeCreditSale);
  ASSERT_TRUE(late.BuildElavonRequest(settings, sequence.File()));
  late.m_TranCode = kCodeReversal;
  EXPECT_TRUE(late.BuildElavonRequest(settings, sequence.File()));
  EXPECT_TRUE(SameBytes(late.m_HostRequest, reversal));

  // Cannot be built: nothing to send, the reversed transaction stays as it was.
  CElavonTran batch = RichRecord(kCodeBatchSummary);
  batch.m_Family = kTranFamilyAdmin;
  ASSERT_TRUE(batch.BuildElavonRequest(settings, sequence.File()));
  const std::string original = batch.m_HostRequest;
  batch.m_TranCode = kCodeReversal;
  EXPECT_FALSE(batch.BuildElavonRequest(settings, sequence.File()));
  EXPECT_EQ(batch.m_HostRequest, original);
  EXPECT_EQ(batch.m_Family, kTranFamilyAdmin);
}

TEST(ElavonRequestTest, FamilyNames) {
  const std::map<int, std::string> names = {
      {0, "Credit"}, {1, "Debit"}, {2, "Echo"}, {3, "Check"}, {4, "EBT"}, {8, "ECheck"},
  };
  for (int family = -1; family <= 12; ++family) {
    CElavonTran tran;
    tran.m_Family = family;
    auto it = names.find(family);
    EXPECT_EQ(tran.GetTranFamilyName(), it == names.end() ? std::string() : it->second) << family;
  }
}

}  // namespace
