#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/params/param_settings.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "host/message/elavon_request.h"
#include "host/message/message_test_support.h"

namespace {

using message_test::SameBytes;
using message_test::Settings;
using message_test::Visible;

#define GS "\x1D"
#define FS "\x1C"

struct EntryRow {
  const char* m_Name;
  int m_EmvSupport;
  int m_Category;
  const char* m_Source;
  bool m_Contactless;
  bool m_Track2;
  bool m_RecordNo;
  int m_Code;
  const char* m_CardType;
  const char* m_FallBack;
  bool m_Encrypted;
  const char* m_Capability;
  const char* m_Mode;
};

TEST(ElavonFieldsTest, TerminalCapabilityAndEntryMode) {
  const std::vector<EntryRow> rows = {
      {"keyed, category 0", 0, 0, "", false, false, false, 1, "VISA", "", false, "03", "02"},
      {"keyed, category 1", 0, 1, "", false, false, false, 1, "VISA", "", false, "03", "02"},
      {"keyed, category 3", 0, 3, "", false, false, false, 1, "VISA", "", false, "03", "01"},
      {"keyed, EMV support", 1, 0, "", false, false, false, 1, "VISA", "", false, "04", "02"},
      {"keyed, record number", 0, 0, "", false, false, true, 1, "VISA", "", false, "03", "01"},
      {"keyed ECheck sale", 0, 0, "", false, false, false, 44, "", "", false, "10", "11"},
      {"keyed ECheck, record number", 0, 0, "", false, false, true, 44, "", "", false, "03", "01"},
      {"swiped", 0, 0, "", false, true, false, 1, "VISA", "", false, "03", "03"},
      {"swiped contactless", 0, 0, "", true, true, false, 1, "VISA", "", false, "03", "04"},
      {"check reader sale", 0, 0, "", false, true, false, 44, "", "", false, "10", "10"},
      {"check reader void", 1, 0, "", false, true, false, 45, "", "", false, "10", "10"},
      {"EMV contactless", 0, 0, "ChipRead", true, false, false, 66, "VISA", "", false, "05", "06"},
      {"EMV contactless, EMV support", 1, 0, "ChipRead", true, false, false, 66, "VISA", "", false, "05", "06"},
      {"chip read", 1, 0, "ChipRead", false, false, false, 66, "VISA", "", false, "04", "05"},
      {"fallback DCVR empty list", 1, 0, "ChipFallBackMag", false, true, false, 66, "DCVR", "EmptyCandidateList", false, "04", "03"},
      {"fallback DCVR other reason", 1, 0, "ChipFallBackMag", false, true, false, 66, "DCVR", "ChipReadFailure", false, "04", "08"},
      {"fallback VISA empty list", 1, 0, "ChipFallBackMag", false, true, false, 66, "VISA", "EmptyCandidateList", false, "04", "08"},
      {"mag stripe", 1, 0, "MagStripe", false, true, false, 66, "VISA", "", false, "04", "03"},
      {"chip, stripe, then keyed", 1, 0, "ChipFallBackMagStripeFallBackMan", false, false, false, 66, "VISA", "", false, "04", "02"},
      {"stripe, then keyed", 1, 0, "MagStripeFallBackMan", false, false, false, 66, "VISA", "", false, "04", "02"},
      {"other source", 1, 0, "Manual", false, false, false, 66, "VISA", "", false, "04", ""},
      {"timeout reversal", 1, 0, "ChipRead", false, false, false, 75, "VISA", "", false, "04", "01"},
      {"timeout reversal, encrypted", 1, 0, "ChipRead", false, false, false, 75, "VISA", "", true, "04", "05"},
      {"debit timeout reversal", 0, 0, "", false, true, false, 76, "DEBIT", "", false, "03", "01"},
      {"reverse FSA sale", 0, 3, "", false, false, false, 11, "VISA", "", false, "03", "01"},
  };
  for (const EntryRow& row : rows) {
    SCOPED_TRACE(row.m_Name);
    CElavonTran tran;
    tran.m_EMVEntrySource = row.m_Source;
    tran.m_Contactless = row.m_Contactless;
    tran.m_Track2Given = row.m_Track2;
    tran.m_RecordNoGiven = row.m_RecordNo;
    tran.m_TranCode = row.m_Code;
    tran.m_CardType = row.m_CardType;
    tran.m_FallBackReason = row.m_FallBack;
    tran.m_Encrypted = row.m_Encrypted;
    std::string capability = "xx";
    std::string mode = "yy";
    tran.GetPosEntryCodes(capability, mode, row.m_Category, row.m_EmvSupport);
    EXPECT_EQ(capability, row.m_Capability);
    EXPECT_EQ(mode, row.m_Mode);
  }
}

struct Fid01Row {
  const char* m_Name;
  std::function<void(CElavonTran&)> m_Setup;
  int m_Category;
  bool m_Void;
  bool m_Reversal;
  std::string m_Expected;
  const char* m_Capability;
  const char* m_SeqNo;
};

TEST(ElavonFieldsTest, Fid01Forms) {
  const std::vector<Fid01Row> rows = {
      {"keyed sale, category 0", [](CElavonTran&) {}, 0, false, false,
       GS "01" "0302" "0" "4111111111111111=2512" FS "1000" FS "0042" FS FS "1000000", "03", "0042"},
      {"keyed sale, category 3", [](CElavonTran&) {}, 3, false, false,
       GS "01" "0301" "0" "4111111111111111=2512" FS "1000" FS "0042" FS FS "1000000", "03", "0042"},
      {"partial authorisation allowed", [](CElavonTran& t) { t.m_PartialAuth = true; }, 0, false, false,
       GS "01" "0302" "1" "4111111111111111=2512" FS "1000" FS "0042" FS FS "1000000", "03", "0042"},
      {"stored record number",
       [](CElavonTran& t) {
         t.m_RecordNoGiven = true;
         t.m_HostCardData = "tok=1225";
       },
       0, false, false, GS "01" "0301" "0" "tok=1225" FS "1000" FS "0042" FS FS "1000010", "03", "0042"},
      {"balance inquiry", [](CElavonTran& t) { t.m_TranCode = kCodeCreditBalance; }, 0, false, false,
       GS "01" "0302" "0" "4111111111111111=2512" FS "0" FS "0042" FS FS "1000000", "03", "0042"},
      {"EBT cash balance", [](CElavonTran& t) { t.m_TranCode = kCodeEBTCashBalance; }, 0, false, false,
       GS "01" "0302" "0" "4111111111111111=2512" FS "0" FS "0042" FS FS "1000000", "03", "0042"},
      {"void, short reference", [](CElavonTran& t) { t.m_RefNo = "12"; }, 0, true, false,
       GS "01" "0302" "0" "4111111111111111=2512" FS "1000" FS "0042" FS "0012" FS "1000000", "03", "0042"},
      {"void, long reference", [](CElavonTran& t) { t.m_RefNo = "123456"; }, 0, true, false,
       GS "01" "0302" "0" "4111111111111111=2512" FS "1000" FS "0042" FS "3456" FS "1000000", "03", "0042"},
      {"reversal of track data with the given sequence number",
       [](CElavonTran& t) {
         t.m_TranCode = kCodeEMVCreditTimeoutReversal;
         t.m_Track2Given = true;
         t.m_HostCardData = "4111111111111111=25121010000";
         t.m_AcqRefData = "R|A|B|C|000|00|S|321";
       },
       0, false, true, GS "01" "0301" "0" "4111111111111111=1225" FS "1000" FS "0321" FS FS "1000000", "03", "0321"},
      {"reversal without a given sequence number",
       [](CElavonTran& t) {
         t.m_TranCode = kCodeEMVCreditTimeoutReversal;
         t.m_Track2Given = true;
         t.m_HostCardData = "4111111111111111=25121010000";
         t.m_AcqRefData = "R|A|B";
       },
       0, false, true, GS "01" "0301" "0" "4111111111111111=1225" FS "1000" FS "0042" FS FS "1000000", "03", "0042"},
      {"reversal of encrypted data sends it unchanged",
       [](CElavonTran& t) {
         t.m_TranCode = kCodeEMVCreditTimeoutReversal;
         t.m_Track2Given = true;
         t.m_Encrypted = true;
         t.m_HostCardData = "ENC=25121010";
       },
       0, false, true, GS "01" "0303" "0" "ENC=25121010" FS "1000" FS "0042" FS FS "1000000", "03", "0042"},
      {"reversal of keyed data sends it unchanged",
       [](CElavonTran& t) { t.m_TranCode = kCodeCreditReverseFSASale; }, 0, false, true,
       GS "01" "0301" "0" "4111111111111111=2512" FS "1000" FS "0042" FS FS "1000000", "03", "0042"},
      {"reversal of track data too short for its expiry",
       [](CElavonTran& t) {
         t.m_TranCode = kCodeCreditReverseFSASale;
         t.m_Track2Given = true;
         t.m_HostCardData = "41=25";
       },
       0, false, true, GS "01" "0301" "0" "41=25" FS "1000" FS "0042" FS FS "1000000", "03", "0042"},
      {"ECheck sale ends after the sequence number",
       [](CElavonTran& t) {
         t.m_TranCode = kCodeECheckSale;
         t.m_HostCardData = "T011000015T12345678O1001";
       },
       0, false, false, GS "01" "1011" "0" "T011000015T12345678O1001" FS "1000" FS "0042", "10", "0042"},
      {"ECheck void ends after the reference",
       [](CElavonTran& t) {
         t.m_TranCode = kCodeECheckVoidSale;
         t.m_HostCardData = "T011000015T12345678O1001";
         t.m_RefNo = "77";
       },
       0, true, false, GS "01" "1011" "0" "T011000015T12345678O1001" FS "1000" FS "0042" FS "0077", "10", "0042"},
  };
  const CParamMap params = Settings({{kParmEmvSupport, "0"}}).GetParams();
  for (const Fid01Row& row : rows) {
    SCOPED_TRACE(row.m_Name);
    CElavonTran tran;
    tran.m_TranCode = kCodeCreditSale;
    tran.m_HostCardData = "4111111111111111=2512";
    tran.m_Authorize = "1000";
    row.m_Setup(tran);
    CParamMap withCategory = params;
    CParamEntry entry;
    withCategory.Lookup(kParmMerchantCategory, &entry);
    withCategory.SetAt(kParmMerchantCategory,
                       CParamEntry(entry.GetFormat(), entry.GetName(), std::to_string(row.m_Category)));
    std::string message = "head";
    EXPECT_TRUE(tran.AppendFid01(message, withCategory, 42, row.m_Void, row.m_Reversal));
    EXPECT_TRUE(SameBytes(message, "head" + row.m_Expected));
    EXPECT_EQ(tran.m_TerminalCapability, row.m_Capability);
    EXPECT_EQ(tran.m_RequestSeqNo, row.m_SeqNo);
  }
}

TEST(ElavonFieldsTest, Fid01CapabilityFollowsEmvSupport) {
  CElavonTran tran;
  tran.m_TranCode = kCodeEMVCreditSale;
  tran.m_EMVEntrySource = "ChipRead";
  std::string message;
  tran.AppendFid01(message, Settings({{kParmEmvSupport, "1"}}).GetParams(), 5, false, false);
  EXPECT_TRUE(SameBytes(message, GS "01" "0405" "0" FS FS "0005" FS FS "1000000"));
  EXPECT_EQ(tran.m_TerminalCapability, "04");
}

TEST(ElavonFieldsTest, Cvv2Indicator) {
  struct Row {
    bool m_Valid;
    const char* m_Data;
    const char* m_Indicator;
  };
  for (const Row& row : std::vector<Row>{{false, "123", "9"},
                                         {true, "None", "9"},
                                         {true, "Illegible", "2"},
                                         {true, "Bypass", "0"},
                                         {true, "123", "1123"},
                                         {true, "4567", "14567"}}) {
    CElavonTran tran;
    tran.m_CVVValid = row.m_Valid;
    tran.m_CVVData = row.m_Data;
    EXPECT_EQ(tran.GetCvv2Indicator(), row.m_Indicator) << row.m_Data;
  }
}

struct FieldRow {
  const char* m_Name;
  std::function<void(CElavonTran&)> m_Setup;
  std::function<void(CElavonTran&, std::string&)> m_Build;
  std::string m_Expected;  // "" when the field is not appended
};

#define BUILD(call) [](CElavonTran& t, std::string& m) { EXPECT_TRUE(t.call); }

TEST(ElavonFieldsTest, FieldBuilders) {
  const CParamMap category0 = Settings({{kParmMerchantCategory, "0"}}).GetParams();
  const CParamMap category1 = Settings({{kParmMerchantCategory, "1"}}).GetParams();
  const std::vector<FieldRow> rows = {
      {"04 from AcqRefData", [](CElavonTran& t) { t.m_AcqRefData = "R|A|B|C|5|6|SUB"; },
       BUILD(AppendFid04(m)), GS "04" "005" " 6" "SUB"},
      {"04 without AcqRefData", [](CElavonTran&) {}, BUILD(AppendFid04(m)), GS "04" "000" "  "},
      {"04 with long items", [](CElavonTran& t) { t.m_AcqRefData = "R|A|B|C|1000|ABC|S"; },
       BUILD(AppendFid04(m)), GS "04" "000" "BC" "S"},
      {"06 lane", [](CElavonTran& t) { t.m_LaneNumber = "00000007"; }, BUILD(AppendFid06(m)),
       GS "06" "00000007"},
      {"06 without lane", [](CElavonTran&) {}, BUILD(AppendFid06(m)), ""},
      {"10 zip only, cut to 9",
       [](CElavonTran& t) {
         t.m_ZipGiven = true;
         t.m_Zip = "1234567890";
         t.m_Address = "123456789012345678901234";
       },
       BUILD(AppendFid10(m)), GS "10" "123456789" FS "12345678901234567890" FS "9"},
      {"10 CVV only",
       [](CElavonTran& t) {
         t.m_CVVValid = true;
         t.m_CVVData = "999";
       },
       BUILD(AppendFid10(m)), GS "10" FS FS "1999"},
      {"10 neither", [](CElavonTran& t) { t.m_Zip = "12345"; }, BUILD(AppendFid10(m)), ""},
      {"11 tax",
       [](CElavonTran& t) {
         t.m_TaxGiven = true;
         t.m_Tax = "125";
         t.m_CustomerCode = "ABCDEFGHIJKLMNOPQRST";
       },
       BUILD(AppendFid11(m)), GS "11" "125" FS "ABCDEFGHIJKLMNOPQ"},
      {"11 without tax", [](CElavonTran& t) { t.m_Tax = "125"; }, BUILD(AppendFid11(m)), ""},
      {"12 invoice", [](CElavonTran& t) { t.m_InvoiceNo = "INV"; }, BUILD(AppendFid12(m)),
       GS "12" "INV" FS},
      {"12 without invoice", [](CElavonTran&) {}, BUILD(AppendFid12(m)), ""},
      {"17 always", [](CElavonTran&) {}, BUILD(AppendFid17(m)), GS "17" FS FS FS FS FS},
      {"19 empty", [](CElavonTran&) {}, BUILD(AppendFid19(m, "099")), GS "19" "000000" FS "000000"},
      {"19 capture", [](CElavonTran& t) { t.m_AcqRefData = "R|A|B|5"; },
       BUILD(AppendFid19(m, "006")), GS "19" "000000" "R" FS "00000A" "B" FS "05" "@"},
      {"19 capture without capability", [](CElavonTran&) {}, BUILD(AppendFid19(m, "006")),
       GS "19" "000000" FS "000000" FS "00" "@"},
      {"40 check identity",
       [](CElavonTran& t) {
         t.m_PhoneNo = "5551234567";
         t.m_DriversLicense = "D1";
         t.m_StateCode = "TX";
       },
       BUILD(AppendFid40(m)), GS "40" "5551234567" FS "D1=TX"},
      {"40 without state",
       [](CElavonTran& t) {
         t.m_PhoneNo = "5551234567";
         t.m_DriversLicense = "D1";
       },
       BUILD(AppendFid40(m)), ""},
      {"50 credit with cash back", [](CElavonTran& t) { t.m_CashBack = "1"; }, BUILD(AppendFid50(m)),
       GS "50" "00000" FS "1" FS "  "},
      {"50 credit, cash back 0", [](CElavonTran& t) { t.m_CashBack = "0"; }, BUILD(AppendFid50(m)), ""},
      {"50 credit, cash back 000", [](CElavonTran& t) { t.m_CashBack = "000"; }, BUILD(AppendFid50(m)), ""},
      {"50 credit, no cash back", [](CElavonTran&) {}, BUILD(AppendFid50(m)), ""},
      {"50 debit savings", [](CElavonTran& t) { t.m_AccountType = "2"; }, BUILD(AppendFid50Debit(m)),
       GS "50" "20000" FS FS "  "},
      {"50 debit, no account type", [](CElavonTran& t) { t.m_CashBack = "2000"; },
       BUILD(AppendFid50Debit(m)), GS "50" "00000" FS "2000" FS "  "},
      {"50 debit, last character", [](CElavonTran& t) { t.m_AccountType = "13"; },
       BUILD(AppendFid50Debit(m)), GS "50" "30000" FS FS "  "},
      {"51 PIN block",
       [](CElavonTran& t) {
         t.m_PINBlock = "1234567890ABCDEF";
         t.m_DervdKey = "9876543210E00001";
       },
       BUILD(AppendFid51(m)), GS "51" "T" "1234567890ABCDEF" "9876543210E00001"},
      {"51 short PIN block", [](CElavonTran& t) { t.m_PINBlock = "ABC"; }, BUILD(AppendFid51(m)),
       GS "51" "T" "0000000000000ABC"},
      {"51 without PIN block", [](CElavonTran& t) { t.m_DervdKey = "K"; }, BUILD(AppendFid51(m)), ""},
      {"52 always", [](CElavonTran&) {}, BUILD(AppendFid52(m)), GS "52" "00000000000000000000"},
      {"55 voucher",
       [](CElavonTran& t) {
         t.m_AuthCode = "ABCDEFGH";
         t.m_VoucherNo = "12345678901234567890";
       },
       BUILD(AppendFid55(m)), GS "55" "ABCDEF" "123456789012345"},
      {"55 short authorisation", [](CElavonTran& t) { t.m_AuthCode = "A1"; }, BUILD(AppendFid55(m)),
       GS "55" "A1    "},
      {"59 void of a check",
       [](CElavonTran& t) {
         t.m_AuthCode = "A1";
         t.m_AcqRefData = "R|12|REST";
       },
       BUILD(AppendFid59(m)), GS "59" "    A1" "000012" "REST"},
      {"59 long authorisation", [](CElavonTran& t) { t.m_AuthCode = "1234567"; },
       BUILD(AppendFid59(m)), GS "59" "234567" "000000"},
      {"77 key index", [](CElavonTran& t) { t.m_EMVKeyIndex = "0"; }, BUILD(AppendFid77(m)), GS "77" "0"},
      {"8D card data", [](CElavonTran& t) { t.m_HostCardData = "4111=2512"; }, BUILD(AppendFid8D(m)),
       GS "8D" "4111=2512"},
      {"8D without card data", [](CElavonTran&) {}, BUILD(AppendFid8D(m)), ""},
      {"90 category 0",
       [](CElavonTran& t) {
         t.m_BatchNo = "12";
         t.m_BatchItemCount = "007";
         t.m_SignedBatchTotal = "-1250";
       },
       [category0](CElavonTran& t, std::string& m) { EXPECT_TRUE(t.AppendFid90(m, category0)); },
       GS "90" "012" "7" FS "-1250" FS "0"},
      {"90 category 1, empty batch",
       [](CElavonTran&) {},
       [category1](CElavonTran& t, std::string& m) { EXPECT_TRUE(t.AppendFid90(m, category1)); },
       GS "90" "000" "0" FS "0" FS},
      {"90 long batch number",
       [](CElavonTran& t) {
         t.m_BatchNo = "1234";
         t.m_BatchItemCount = "10";
         t.m_SignedBatchTotal = "0099";
       },
       [category1](CElavonTran& t, std::string& m) { EXPECT_TRUE(t.AppendFid90(m, category1)); },
       GS "90" "234" "10" FS "99" FS},
      {"90 totals beyond 32 bits",
       [](CElavonTran& t) {
         t.m_BatchNo = "1";
         t.m_BatchItemCount = "3000000000";
         t.m_SignedBatchTotal = "-987654321012";
       },
       [category1](CElavonTran& t, std::string& m) { EXPECT_TRUE(t.AppendFid90(m, category1)); },
       GS "90" "001" "3000000000" FS "-987654321012" FS},
      {"E1 encrypted",
       [](CElavonTran& t) {
         t.m_Encrypted = true;
         t.m_EncryptedKey = "FFFF0123";
       },
       BUILD(AppendFidE1(m)), GS "E1" "E3" "FFFF0123"},
      {"E1 not encrypted", [](CElavonTran& t) { t.m_EncryptedKey = "K"; }, BUILD(AppendFidE1(m)), ""},
  };
  for (const FieldRow& row : rows) {
    SCOPED_TRACE(row.m_Name);
    CElavonTran tran;
    row.m_Setup(tran);
    std::string message = "x";
    row.m_Build(tran, message);
    EXPECT_TRUE(SameBytes(message, "x" + row.m_Expected));
  }
}

TEST(ElavonFieldsTest, Fid17CarriesTheFsaAmounts) {
  CElavonTran tran;
  tran.m_Authorize = "5000";
  tran.m_FSAPrescription = "1000";
  tran.m_FSAVision = "2000";
  tran.m_FSAClinical = "1500";
  tran.m_FSADental = "500";
  std::string message;
  tran.AppendFid17(message);
  EXPECT_TRUE(SameBytes(message, GS "17" "5000" FS "1000" FS "2000" FS "1500" FS "500" FS));
}

const std::string kFullEmvData =
    "9F26:1122334455667788|9F27:80|9F37:AABBCCDD|9F36:0001|95:0000008000|9C:00|82:1980|"
    "9F33:E0F8C8|9F34:1E0300|9A:250131|5F2A:0840|9F02:000000001500|9F03:000000000000|9F35:22|"
    "5F34:1|5F24:271231|9F10:06010A03A0A000|8A:00|9F6E:20700000|9F7C:ABCDEF|9F1A:0840|"
    "84:A0000000031010|9F0B:NAME";
const std::string kFullFid16 =
    GS "16" "1122334455667788" "80" "AABBCCDD" "0001" "0000008000" "00" "1980" "E0F8C8" "1E0300"
    "250131" "840" "000000001500" "000000000000" "22" " 1" "271231" "06010A03A0A000" FS "00"
    "20700000" "ABCDEF" FS "840" "20700000" FS "A0000000031010" FS "NAME";

TEST(ElavonFieldsTest, Fid16EmvTags) {
  struct Row {
    const char* m_Name;
    std::string m_EmvData;
    const char* m_CashBack;
    std::string m_Expected;
  };
  const std::string zeros16(16, '0');
  // Every tag absent: zero fill (5F34 blank fill), the unpadded values empty.
  const std::string empty16 = GS "16" + std::string(16 + 2 + 8 + 4 + 10 + 2 + 4 + 6 + 6 + 6 + 3 + 12 + 12 + 2, '0') +
                              "  " "000000" FS "00" "00000000" FS "000" FS FS;
  auto with = [&](std::size_t at, const std::string& text) {
    std::string expected = empty16;
    return expected.replace(at, text.size(), text);
  };
  // Offsets inside empty16 (after GS "16").
  const std::size_t k9F27 = 3 + 16;
  const std::size_t k5F2A = 3 + 16 + 2 + 8 + 4 + 10 + 2 + 4 + 6 + 6 + 6;
  const std::size_t k9F03 = k5F2A + 3 + 12;
  const std::size_t k5F34 = k9F03 + 12 + 2;
  const std::vector<Row> rows = {
      {"every tag", kFullEmvData, "", kFullFid16},
      {"every tag, cash back beside a zero other amount", kFullEmvData, "1000",
       std::string(kFullFid16).replace(k9F03, 12, "000000001000")},
      {"cash back without 9F03", "9F27:80", "1000",
       with(k9F27, "80").replace(k9F03, 12, "000000001000")},
      {"cash back 0 leaves 9F03", "9F27:80", "0", with(k9F27, "80")},
      {"9F03 of its own stays", "9F03:500", "1000", with(k9F03, "000000000500")},
      {"currency code keeps its last three digits", "5F2A:0840", "", with(k5F2A, "840")},
      {"a long value keeps its rightmost characters", "9F27:1234", "", with(k9F27, "34")},
      {"5F34 is blank-filled", "5F34:3", "", with(k5F34, " 3")},
      {"the later of two items wins", "9F27:40|9F27:80", "", with(k9F27, "80")},
      {"items without ':' are skipped", "junk|9F27:80||", "", with(k9F27, "80")},
      {"a value may hold ':'", "9F0B:A:B", "", empty16 + "A:B"},
      {"unknown tags are ignored", "DF01:99", "", empty16},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.m_Name);
    CElavonTran tran;
    tran.m_EMVData = row.m_EmvData;
    tran.m_CashBack = row.m_CashBack;
    std::string message;
    EXPECT_TRUE(tran.AppendFid16(message));
    EXPECT_TRUE(SameBytes(message, row.m_Expected));
  }

  CElavonTran none;
  std::string message;
  none.AppendFid16(message);
  EXPECT_EQ(message, "");
}

TEST(ElavonFieldsTest, TextHelpers) {
  EXPECT_EQ(RightAligned("12", 4, '0'), "0012");
  EXPECT_EQ(RightAligned("123456", 4, '0'), "3456");
  EXPECT_EQ(RightAligned("", 2, ' '), "  ");
  EXPECT_EQ(LeftAligned("AB", 4, ' '), "AB  ");
  EXPECT_EQ(LeftAligned("ABCDEF", 4, ' '), "ABCD");
  EXPECT_EQ(TrackWithExpiryAsMMYY("4111=2512101"), "4111=1225");
  EXPECT_EQ(TrackWithExpiryAsMMYY("4111=25"), "4111=25");
  EXPECT_EQ(TrackWithExpiryAsMMYY("4111"), "4111");
  EXPECT_EQ(TrackWithExpiryAsMMYY("=2512=99"), "=1225");
  std::string value = "x";
  EXPECT_TRUE(LookupAcqRefDataItem("a||c", 2, &value));
  EXPECT_EQ(value, "");
  EXPECT_FALSE(LookupAcqRefDataItem("a||c", 4, &value));
  EXPECT_FALSE(LookupAcqRefDataItem("", 1, &value));
  EXPECT_EQ(AcqRefDataItem("a|b|c", 3), "c");
}

}  // namespace
