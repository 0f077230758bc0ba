#include "core/tran/tstream_parser.h"

#include <climits>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "core/tran/elavon_tran.h"

namespace {

using Items = std::vector<std::string>;  // "key=value" items; "-key" drops key

// ---- Items and text conversions ----

// The TStream text of items; "-key" entries are left out.
std::string Join(const Items& items) {
  std::string text;
  bool first = true;
  for (const std::string& item : items) {
    if (!item.empty() && item[0] == '-') continue;
    if (!first) text += kTStreamItemSeparator;
    text += item;
    first = false;
  }
  return text;
}

TEST(TStreamItemsTest, SplitRules) {
  const CTStreamItems items(Join({"Memo", "Name=a=b", "Zip=1", "Zip=2", "Tax=", "=x", "A=\x1D"}) +
                            kTStreamItemSeparator);
  EXPECT_FALSE(items.Has("Memo"));  // no '='
  EXPECT_EQ(items.Get("Name"), "a=b");
  EXPECT_EQ(items.Get("Zip"), "2");  // the later item wins
  EXPECT_TRUE(items.Has("Tax"));
  EXPECT_EQ(items.Get("Tax"), "");
  EXPECT_EQ(items.Get(""), "x");
  EXPECT_EQ(items.Find("Absent"), nullptr);
  EXPECT_EQ(items.Count(), 5);
  EXPECT_TRUE(items.HasControlByteInValue());  // the GS of "A"
  EXPECT_EQ(CTStreamItems("").Count(), 0);
}

TEST(TStreamItemsTest, ControlBytesInValues) {
  const struct {
    std::string text;
    bool control;
  } cases[] = {
      {"Memo=plain text ~", false},
      {"Memo=\x1F", true},
      {"Memo=a\tb", true},
      {"Memo=\x7F", true},
      {std::string("Memo=a\0b", 8), true},
      {"Memo=\x80\xFF", false},          // bytes above 0x7F are not control bytes
      {"Memo\x02=x", false},              // a key is not a value
      {"\x03junk" + Join({"", "Memo=x"}), false},  // an item without '=' is no value
      {Join({"Memo=\x02", "Memo=x"}), false},     // the later item replaced it
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CTStreamItems(c.text).HasControlByteInValue(), c.control) << c.text;
  }
}

TEST(TStreamTextTest, Conversions) {
  EXPECT_EQ(AmountToDigits("12.34"), "1234");
  EXPECT_EQ(AmountToDigits("-0.50"), "050");
  EXPECT_EQ(AmountToDigits("+1.00"), "100");
  EXPECT_EQ(AmountToDigits(""), "00");
  EXPECT_EQ(QuantityToDigits("1.000"), "1000");
  EXPECT_EQ(QuantityToDigits(""), "000");
  EXPECT_EQ(UnderscoresToSpaces("A_B__C"), "A B  C");
  EXPECT_EQ(SpacesToUnderscores("A B  C"), "A_B__C");
  EXPECT_EQ(LeadingDigitsToInt("12ab3"), 12);
  EXPECT_EQ(LeadingDigitsToInt("ab"), 0);
  EXPECT_EQ(LeadingDigitsToInt(""), 0);
  EXPECT_EQ(LeadingDigitsToInt("-5"), 0);
  EXPECT_EQ(LeadingDigitsToInt("99999999999999999999999"), INT_MAX);
}

TEST(TStreamTextTest, AmountsTakeAMinusOnlyFirst) {
  const struct {
    const char* text;
    bool amount;
    bool quantity;
  } cases[] = {
      {"0.00", true, false},     {"-1.00", true, false},    {"1-2.00", false, false},
      {"--1.00", false, false},  {"1-.00", false, false},   {"123456.78", true, false},
      {"-1234.56", true, false}, {"-12345.67", false, false}, {"1.0", false, false},
      {"", false, false},        {"1.000", false, true},    {"-1.000", false, true},
      {"1-1.000", false, false}, {"1.00-", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsTStreamAmount(c.text), c.amount) << c.text;
    EXPECT_EQ(IsTStreamQuantity(c.text), c.quantity) << c.text;
  }
}

// ---- The parser table ----

// The three merchant parameters the parsers read; "absent" removes one.
struct Params {
  std::string merchantCategory = "1";
  std::string eCheck = "0";
  std::string emvSupport = "1";
};

void SetRaw(CParamMap& params, int number, const std::string& value) {
  if (value == "absent") {
    params.RemoveKey(number);
    return;
  }
  CParamEntry entry;
  ASSERT_TRUE(params.Lookup(number, &entry));
  params.SetAt(number, CParamEntry(entry.GetFormat(), entry.GetName(), value));
}

CParamSettings Settings(const Params& p) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  SetRaw(params, kParmMerchantCategory, p.merchantCategory);
  SetRaw(params, kParmECheck, p.eCheck);
  SetRaw(params, kParmEmvSupport, p.emvSupport);
  settings.SetParams(params);
  return settings;
}

// base without the items that changes drop ("-key"), followed by the changes; the
// "-key" entries stay, so that they also drop the items of an outer base.
Items With(const Items& base, const Items& changes) {
  Items items;
  for (const std::string& item : base) {
    bool dropped = false;
    for (const std::string& change : changes) {
      if (!change.empty() && change[0] == '-' && item.rfind(change.substr(1) + "=", 0) == 0) {
        dropped = true;
      }
    }
    if (!dropped) items.push_back(item);
  }
  items.insert(items.end(), changes.begin(), changes.end());
  return items;
}

const Items kTransaction = {"TStream=Transaction", "ClientID=0005", "MerchantID=1234",
                            "InvoiceNo=INV1", "RefNo=REF1"};
const Items kAdmin = {"TStream=Admin", "TranCode=BatchSummary", "MerchantID=1234",
                      "ClientID=0005"};
const char kTrack[] = "Track2=4111111111111111=2512101";
const char kPin[] = "PINBlock=1234567890ABCDEF";
const char kDervdKey[] = "DervdKey=FFFF9876543210ABCDEF";  // 16 characters after the 'F's

Items Tran(const Items& changes) { return With(kTransaction, changes); }
Items Credit(const Items& changes) {
  return With(Tran({"TranType=Credit", "TranCode=Sale", kTrack, "Purchase=10.00"}), changes);
}
Items Keyed(const Items& changes) {
  return Credit(With({"-Track2", "AcctNo=4111111111111111", "ExpDate=1225"}, changes));
}
Items Debit(const Items& changes) {
  return With(Tran({"TranType=Debit", "TranCode=Sale", kTrack, "Purchase=10.00", kPin, kDervdKey}),
              changes);
}
Items EmvCredit(const Items& changes) {
  return Credit(With({"TranType=EMVCredit", "TranCode=EMVSale", "EMVEntrySource=ChipRead"}, changes));
}
Items EmvDebit(const Items& changes) {
  return Debit(With({"TranType=EMVDebit", "TranCode=EMVSale", "EMVEntrySource=ChipRead", "-PINBlock",
                     "-DervdKey"},
                    changes));
}
Items Ebt(const Items& changes) {
  return With(Tran({"TranType=EBT", "CardType=Foodstamp", "TranCode=Sale", kTrack,
                    "Purchase=10.00", kPin, kDervdKey}),
              changes);
}
Items Check(const Items& changes) {
  return With(Tran({"TranType=ECheck", "TranCode=Sale", "MICR=Keyed", "RoutingNo=011000015",
                    "AcctNo=12345678", "SequenceNo=1001", "Purchase=25.00"}),
              changes);
}
Items Admin(const Items& changes) { return With(kAdmin, changes); }

// Members a row may name, as text ("1"/"0" for flags).
using Reader = std::function<std::string(const CElavonTran&)>;
#define TEXT(member) {#member, [](const CElavonTran& t) { return std::string(t.m_##member); }}
#define FLAG(member) {#member, [](const CElavonTran& t) { return std::string(t.m_##member ? "1" : "0"); }}
#define INT(member) {#member, [](const CElavonTran& t) { return std::to_string(t.m_##member); }}
const std::map<std::string, Reader> kMembers = {
    TEXT(AcctNo), TEXT(ExpDate), TEXT(HostCardData), TEXT(CardType), TEXT(Authorize),
    TEXT(Purchase), TEXT(Gratuity), TEXT(CashBack), TEXT(Tax), TEXT(RequestedAuthorize),
    TEXT(ClientID), TEXT(LaneNumber), TEXT(MerchantID), TEXT(Memo), TEXT(Name), TEXT(InvoiceNo),
    TEXT(RefNo), TEXT(AuthCode), TEXT(PINBlock), TEXT(DervdKey), TEXT(AccountType), TEXT(CVVData),
    TEXT(RecordNo), TEXT(SignedBatchTotal), TEXT(NetBatchTotal), TEXT(BatchNo), TEXT(EMVKeyIndex),
    TEXT(TStreamType), TEXT(VoucherNo), TEXT(RawTOAD), TEXT(EMVEntrySource), TEXT(EMVData),
    TEXT(PinPadSerialNo), TEXT(AcqRefData), TEXT(Zip), TEXT(Address), TEXT(CustomerCode),
    TEXT(OperatorID), TEXT(EncryptedKey), TEXT(FSAVision), TEXT(StateCode), TEXT(FallBackReason),
    INT(OrigTranCode), INT(CheckKeyed), FLAG(Track2Given), FLAG(CVVValid), FLAG(PartialAuth),
    FLAG(RecordNoGiven), FLAG(RecordNoRequested), FLAG(Encrypted), FLAG(ZipGiven), FLAG(TaxGiven),
    FLAG(Contactless), FLAG(Keyed), FLAG(DuplicateOverride),
};
#undef TEXT
#undef FLAG
#undef INT

struct ParseCase {
  const char* label;
  Items items;
  Params params;
  int error;          // m_ErrorCode: 1003 for an accepted request
  int code;           // m_TranCode: 0 for a rejected one
  const char* name;
  int family;
  std::map<std::string, std::string> members;
};

constexpr int kOk = 1003;
constexpr int kNone = 10;  // TranFamily of a record no parser accepted

const ParseCase kCases[] = {
    // Common items, in the order they are checked.
    {"no ClientID is the first fault", {"TStream=Bogus", "PartialAuth=Allow"}, {}, 4201, 0, "INVALID", kNone,
     {{"ClientID", ""}, {"LaneNumber", ""}, {"PartialAuth", "1"}}},
    {"bad LaneID before TStream", {"ClientID=5", "LaneID=123456789"}, {}, 100227, 0, "INVALID", kNone, {}},
    {"LaneID not digits", Credit({"LaneID=12a"}), {}, 100227, 0, "INVALID", kNone, {}},
    {"TStream missing before MerchantID", {"ClientID=5"}, {}, 4019, 0, "INVALID", kNone, {}},
    {"TStream unknown", Credit({"TStream=transaction"}), {}, 100221, 0, "INVALID", kNone, {}},
    {"MerchantID missing", Credit({"-MerchantID"}), {}, 4018, 0, "INVALID", kNone, {}},
    {"MerchantID of 17", Credit({"MerchantID=12345678901234567"}), {}, 100220, 0, "INVALID", kNone, {}},
    {"TranType missing before RecordNo", Credit({"-TranType", "RecordNo=tok"}), {}, 100201, 0,
     "INVALID", kNone, {}},
    {"TranType unknown", Credit({"TranType=CheckAuth"}), {}, 100201, 0, "INVALID", kNone, {}},
    {"RecordNo without Frequency", Credit({"RecordNo=tok"}), {}, 100257, 0, "INVALID", kNone, {}},
    {"Frequency without RecordNo", Credit({"Frequency=OneTime"}), {}, 100256, 0, "INVALID", kNone, {}},
    {"Frequency unknown", Credit({"RecordNo=tok", "Frequency=Daily"}), {}, 100256, 0, "INVALID", kNone, {}},
    {"admin RecordNo without Frequency", Admin({"RecordNo=tok"}), {}, 100257, 0, "INVALID", kNone, {}},
    {"InvoiceNo missing before EncryptedFormat", Credit({"-InvoiceNo", "EncryptedFormat=X"}), {}, 4022,
     0, "INVALID", kNone, {}},
    {"RefNo missing", Credit({"-RefNo"}), {}, 4023, 0, "INVALID", kNone, {}},
    {"EncryptedFormat unknown", Credit({"EncryptedFormat=DES"}), {}, 100252, 0, "INVALID", kNone, {}},
    {"EncryptedBlock missing", Credit({"EncryptedFormat=Elavon3DES", "EncryptedKey=K"}), {}, 100254, 0,
     "INVALID", kNone, {}},
    {"EncryptedKey missing", Credit({"EncryptedFormat=Elavon3DES", "EncryptedBlock=B"}), {}, 100255, 0,
     "INVALID", kNone, {}},
    {"EMV while EMV SUPPORT is 0", EmvCredit({}), {.emvSupport = "0"}, 4301, 0, "INVALID", kNone, {}},
    {"EMV while EMV SUPPORT is empty", EmvDebit({}), {.emvSupport = ""}, 4301, 0, "INVALID", kNone, {}},
    {"EMV while EMV SUPPORT is absent", EmvCredit({}), {.emvSupport = "absent"}, 4301, 0, "INVALID",
     kNone, {}},
    {"EMVEntrySource missing", EmvCredit({"-EMVEntrySource"}), {}, 100258, 0, "INVALID", kNone, {}},
    {"control byte in a value comes first", {"Memo=a\x02" "b"}, {}, 1003, 0, "INVALID", kNone,
     {{"ClientID", ""}}},
    {"DEL in a card value", Credit({"Track2=4111111111111111=2512\x7F"}), {}, 1003, 0, "INVALID", kNone, {}},
    {"tab in a card value", Keyed({"AcctNo=\t4111111111111111"}), {}, 1003, 0, "INVALID", kNone, {}},

    // Common items of accepted requests.
    {"ClientID A12", Credit({"ClientID=A12"}), {}, kOk, 1, "Sale", 0, {{"ClientID", "1"}, {"LaneNumber", "1"}}},
    {"ClientID 123456", Credit({"ClientID=123456"}), {}, kOk, 1, "Sale", 0,
     {{"ClientID", "123456"}, {"LaneNumber", "3456"}}},
    {"empty ClientID", Credit({"ClientID="}), {}, kOk, 1, "Sale", 0, {{"ClientID", ""}, {"LaneNumber", ""}}},
    {"LaneID of 8", Credit({"LaneID=00000007"}), {}, kOk, 1, "Sale", 0, {{"LaneNumber", "00000007"}}},
    {"texts cut and kept",
     Credit({"MerchantID=1234567890123456", "Memo=a=b", "InvoiceNo=123456789012345678901234567890",
             "RefNo=AB_12", "Name=123456789012345678901234567890XYZ", "OperatorID=123456789012345678901",
             "AcqRefData=x_y", "FallBackReason=chip", "Duplicate=Override", "AccountSource=Keyed",
             "PartialAuth=Allow", "TStream=Transaction"}),
     {}, kOk, 1, "Sale", 0,
     {{"MerchantID", "1234567890123456"}, {"Memo", "a=b"},
      {"InvoiceNo", "6789012345678901234567890"}, {"RefNo", "AB 12"},
      {"Name", "123456789012345678901234567890"}, {"OperatorID", "12345678901234567890"},
      {"AcqRefData", "x y"}, {"FallBackReason", "chip"}, {"DuplicateOverride", "1"}, {"Keyed", "1"},
      {"Contactless", "0"}, {"PartialAuth", "1"}, {"TStreamType", "Transaction"}}},
    {"RefNo keeps its last 16", Credit({"RefNo=12345678901234567890"}), {}, kOk, 1, "Sale", 0,
     {{"RefNo", "5678901234567890"}}},
    {"second Memo wins; Memo without '=' ignored", Credit({"Memo=first", "Memo", "Memo=second"}), {}, kOk, 1,
     "Sale", 0, {{"Memo", "second"}}},
    {"contactless", Credit({"AccountSource=Contactless"}), {}, kOk, 1, "Sale", 0,
     {{"Contactless", "1"}, {"Keyed", "0"}}},
    {"encrypted card data", Credit({"EncryptedFormat=Elavon3DES", "EncryptedBlock=BLK", "EncryptedKey=KEY"}),
     {}, kOk, 1, "Sale", 0, {{"Encrypted", "1"}, {"HostCardData", "BLK"}, {"EncryptedKey", "KEY"}}},
    {"junk item without '=' holding a control byte", Credit({"\x02junk"}), {}, kOk, 1, "Sale", 0, {}},

    // Admin and batch.
    {"BatchSummary needs no InvoiceNo, RefNo or TranType", Admin({}), {}, kOk, 18, "BatchSummary", 5,
     {{"TStreamType", "Admin"}, {"ClientID", "0005"}, {"LaneNumber", "0005"}}},
    {"ServerVersion", Admin({"TranCode=ServerVersion"}), {}, kOk, 900, "ServerVersion", 5, {}},
    {"GetCorvaneParms", Admin({"TranCode=GetCorvaneParms"}), {}, kOk, 901, "GetCorvaneParms", 5, {}},
    {"EMVParamDownload", Admin({"TranCode=EMVParamDownload"}), {}, kOk, 63, "EMVParamDownload", 11,
     {{"EMVKeyIndex", "0"}}},
    {"BatchClose with a signed total",
     Admin({"TranCode=BatchClose", "BatchNo=12", "BatchItemCount=3", "NetBatchTotal=-12.34"}), {}, kOk,
     20, "BatchClose", 5,
     {{"BatchNo", "12"}, {"NetBatchTotal", "-12.34"}, {"SignedBatchTotal", "-1234"}}},
    {"BatchClose without a total", Admin({"TranCode=BatchClose", "BatchNo=12", "BatchItemCount=3"}), {},
     kOk, 20, "BatchClose", 5, {{"SignedBatchTotal", ""}}},
    {"admin TranCode missing", Admin({"-TranCode"}), {}, 100219, 0, "INVALID", kNone, {}},
    {"admin TranCode unknown", Admin({"TranCode=Sale"}), {}, 100219, 0, "INVALID", 5, {}},
    {"BatchClose without BatchNo", Admin({"TranCode=BatchClose", "BatchItemCount=3"}), {}, 100222, 0,
     "INVALID", 5, {}},
    {"BatchClose with empty BatchNo", Admin({"TranCode=BatchClose", "BatchNo=", "BatchItemCount=3"}), {},
     100222, 0, "INVALID", 5, {}},
    {"BatchClose without BatchItemCount", Admin({"TranCode=BatchClose", "BatchNo=12"}), {}, 100223, 0,
     "INVALID", 5, {}},

    // Credit.
    {"credit Sale from a track", Credit({}), {}, kOk, 1, "Sale", 0,
     {{"AcctNo", "4111111111111111"}, {"ExpDate", "1225"}, {"CardType", "VISA"}, {"Authorize", "1000"},
      {"Purchase", "1000"}, {"HostCardData", "4111111111111111=2512101"}, {"Track2Given", "1"}}},
    {"keyed credit Sale", Keyed({"AcctNo= 4111111111111111 "}), {}, kOk, 1, "Sale", 0,
     {{"AcctNo", "4111111111111111"}, {"ExpDate", "1225"}, {"Track2Given", "0"},
      {"HostCardData", "4111111111111111=1225"}}},
    {"track without expiry", Credit({"Track2=4111111111111111=2512"}), {}, kOk, 1, "Sale", 0,
     {{"ExpDate", ""}, {"AcctNo", "4111111111111111"}}},
    {"credit TranCode missing", Credit({"-TranCode"}), {}, 100219, 0, "INVALID", kNone, {}},
    {"credit TranCode unknown before card faults", Credit({"TranCode=Voucher", "-Track2"}), {}, 100219, 0,
     "INVALID", kNone, {}},
    {"PreAuth while MERCHANT CATEGORY is 0, before the card", Credit({"TranCode=PreAuth", "-Track2"}),
     {.merchantCategory = "0"}, 4029, 0, "INVALID", kNone, {}},
    {"PreAuthCaptureByRecordNo while MERCHANT CATEGORY is absent",
     Credit({"TranCode=PreAuthCaptureByRecordNo"}), {.merchantCategory = "absent"}, 4029, 0, "INVALID",
     kNone, {}},
    {"PreAuth", Credit({"TranCode=PreAuth", "Authorize=12.00", "Gratuity=1.00"}), {}, kOk, 6, "PreAuth", 0,
     {{"Authorize", "1200"}, {"Purchase", "1000"}, {"Gratuity", "100"}, {"RequestedAuthorize", "1200"}}},
    {"AuthOnly without Authorize", Credit({"TranCode=AuthOnly"}), {}, 100208, 0, "INVALID", kNone, {}},
    {"AuthOnly without Purchase", Credit({"TranCode=AuthOnly", "Authorize=1.00", "-Purchase"}), {}, 100211,
     0, "INVALID", kNone, {}},
    {"PreAuth with bad Gratuity", Credit({"TranCode=PreAuth", "Authorize=1.00", "Gratuity=1"}), {}, 100210,
     0, "INVALID", kNone, {}},
    {"PreAuth with zero Authorize", Credit({"TranCode=PreAuth", "Authorize=0.00"}), {}, 100208, 0,
     "INVALID", kNone, {}},
    {"ZeroAuth needs no amounts", Credit({"TranCode=ZeroAuth", "-Purchase", "Gratuity=bad"}), {}, kOk, 8,
     "ZeroAuth", 0, {{"Authorize", "0"}, {"Purchase", "0"}, {"Gratuity", ""}}},
    {"Balance takes a Purchase of any form", Credit({"TranCode=Balance", "Purchase=abc"}), {}, kOk, 12,
     "Balance", 0, {{"Authorize", "0"}, {"Purchase", "0"}}},
    {"Balance without Purchase", Credit({"TranCode=Balance", "-Purchase"}), {}, 100211, 0, "INVALID", kNone,
     {}},
    {"Balance with bad Gratuity", Credit({"TranCode=Balance", "Gratuity=x"}), {}, 100210, 0, "INVALID",
     kNone, {}},
    {"EMVTimeoutReversal", EmvCredit({"TranCode=EMVTimeoutReversal", "OriginalTranCode=EMVVoiceAuth"}), {},
     kOk, 75, "EMVTimeoutReversal", 0, {{"OrigTranCode", "70"}}},
    {"EMVTimeoutReversal of a ZeroAuth", EmvCredit({"TranCode=EMVTimeoutReversal",
                                                    "OriginalTranCode=EMVZeroAuth"}),
     {}, 100259, 0, "INVALID", kNone, {}},
    {"EMVTimeoutReversal without original", EmvCredit({"TranCode=EMVTimeoutReversal"}), {}, 100259, 0,
     "INVALID", kNone, {}},
    {"credit PINBlock of 15", Credit({"PINBlock=123456789012345", kDervdKey}), {}, 100213, 0, "INVALID",
     kNone, {}},
    {"credit DervdKey missing", Credit({kPin}), {}, 100214, 0, "INVALID", kNone, {}},
    {"DervdKey of 15 after the F's", Credit({kPin, "DervdKey=FF123456789012345"}), {}, 100214, 0,
     "INVALID", kNone, {}},
    {"DervdKey of 21", Credit({kPin, "DervdKey=123456789012345678901"}), {}, 100214, 0, "INVALID", kNone,
     {}},
    {"credit with PIN", Credit({kPin, "DervdKey=12345678901234567890"}), {}, kOk, 1, "Sale", 0,
     {{"PINBlock", "1234567890ABCDEF"}, {"DervdKey", "12345678901234567890"}}},
    {"SaleByRecordNo", Credit({"TranCode=SaleByRecordNo", "-Track2", "RecordNo=tok|1225",
                               "Frequency=OneTime"}),
     {}, kOk, 51, "SaleByRecordNo", 0,
     {{"RecordNo", "tok=1225"}, {"ExpDate", "1225"}, {"HostCardData", "tok=1225"}, {"CardType", "OTHER"},
      {"AcctNo", ""}, {"RecordNoGiven", "1"}}},
    {"record number without '='", Credit({"TranCode=ReturnByRecordNo", "-Track2", "RecordNo=123456789",
                                         "Frequency=Recurring"}),
     {}, kOk, 52, "ReturnByRecordNo", 0, {{"ExpDate", "1234"}, {"RecordNo", "123456789"}}},
    {"SaleByRecordNo with a Track2", Credit({"TranCode=SaleByRecordNo", "RecordNo=tok|1225",
                                             "Frequency=OneTime"}),
     {}, 100212, 0, "INVALID", kNone, {}},
    {"SaleByRecordNo with an AcctNo", Keyed({"TranCode=SaleByRecordNo", "-ExpDate", "RecordNo=tok",
                                             "Frequency=OneTime"}),
     {}, 100204, 0, "INVALID", kNone, {}},
    {"SaleByRecordNo with an ExpDate", Credit({"TranCode=SaleByRecordNo", "-Track2", "ExpDate=1225",
                                               "RecordNo=tok", "Frequency=OneTime"}),
     {}, 100205, 0, "INVALID", kNone, {}},
    {"SaleByRecordNo asking for a record number", Credit({"TranCode=SaleByRecordNo", "-Track2",
                                                          "RecordNo=RecordNumberRequested",
                                                          "Frequency=OneTime"}),
     {}, 100256, 0, "INVALID", kNone, {{"RecordNoRequested", "1"}}},
    {"Sale asking for a record number", Credit({"RecordNo=RecordNumberRequested", "Frequency=Recurring"}),
     {}, kOk, 1, "Sale", 0, {{"RecordNoRequested", "1"}, {"RecordNoGiven", "0"}}},
    {"Track2 of 38", Credit({"Track2=4111111111111111=251210123456789012345"}), {}, 100212, 0, "INVALID",
     kNone, {}},
    {"no card", Credit({"-Track2"}), {}, 100204, 0, "INVALID", kNone, {}},
    {"keyed without ExpDate before the short card", Keyed({"-ExpDate", "AcctNo=4111"}), {}, 100205, 0,
     "INVALID", kNone, {}},
    {"ExpDate of 3", Keyed({"ExpDate=122"}), {}, 100205, 0, "INVALID", kNone, {}},
    {"bad FSA amount before the short card", Keyed({"AcctNo=4111", "FSAPrescription=1"}), {}, 100248, 0,
     "INVALID", kNone, {}},
    {"FSAVision", Credit({"FSAVision=1"}), {}, 100249, 0, "INVALID", kNone, {}},
    {"FSADental", Credit({"FSADental=1-2.00"}), {}, 100250, 0, "INVALID", kNone, {}},
    {"FSAClinical", Credit({"FSAClinical="}), {}, 100251, 0, "INVALID", kNone, {}},
    {"FSASale", Credit({"TranCode=FSASale", "FSAVision=2.50"}), {}, kOk, 10, "FSASale", 0,
     {{"FSAVision", "250"}}},
    {"short card", Keyed({"AcctNo=4111111"}), {}, 100204, 0, "INVALID", kNone, {}},
    {"bad Tax", Credit({"Tax=1-.00"}), {}, 100230, 0, "INVALID", kNone, {}},
    {"Tax and customer code", Credit({"Tax=1.00", "CustomerCode=123456789012345678901"}), {}, kOk, 1, "Sale",
     0, {{"Tax", "100"}, {"TaxGiven", "1"}, {"CustomerCode", "56789012345678901"}}},
    {"customer code needs Tax", Credit({"CustomerCode=C1"}), {}, kOk, 1, "Sale", 0,
     {{"CustomerCode", ""}, {"TaxGiven", "0"}}},
    {"Zip and Address", Credit({"Zip=1234567890", "Address=123456789012345678901234"}), {}, kOk, 1, "Sale",
     0, {{"Zip", "123456789"}, {"ZipGiven", "1"}, {"Address", "12345678901234567890"}}},
    {"Address needs Zip", Credit({"Address=Main"}), {}, kOk, 1, "Sale", 0,
     {{"Address", ""}, {"ZipGiven", "0"}}},
    {"cash back on credit before the Purchase", Credit({"CashBack=5.00", "-Purchase"}), {}, 4041, 0,
     "INVALID", kNone, {}},
    {"bad cash back on credit", Credit({"CashBack=5"}), {}, 100209, 0, "INVALID", kNone, {}},
    {"Sale without Purchase", Credit({"-Purchase"}), {}, 100211, 0, "INVALID", kNone, {}},
    {"Sale with a '-' inside the Purchase", Credit({"Purchase=1-2.00"}), {}, 100211, 0, "INVALID", kNone, {}},
    {"bad Gratuity", Credit({"Gratuity=5-.00"}), {}, 100210, 0, "INVALID", kNone, {}},
    {"Sale of 0.00", Credit({"Purchase=0.00"}), {}, 100208, 0, "INVALID", kNone, {}},
    {"gratuity added, bad Authorize ignored, a leading '-' dropped",
     Credit({"Gratuity=1.50", "Authorize=x", "Purchase=-10.00"}), {}, kOk, 1, "Sale", 0,
     {{"Authorize", "1150"}, {"RequestedAuthorize", ""}}},
    {"check digit before the missing AuthCode", Credit({"TranCode=VoidSale", "Track2=4111111111111112"}), {},
     4017, 0, "INVALID", kNone, {}},
    {"card not accepted", Keyed({"AcctNo=7111111111111111"}), {}, 4040, 0, "INVALID", kNone, {}},
    {"VoidSale without AuthCode", Credit({"TranCode=VoidSale"}), {}, 100206, 0, "INVALID", kNone, {}},
    {"VoidSale with empty RefNo", Credit({"TranCode=VoidSale", "AuthCode=12345678", "RefNo="}), {}, 100207,
     0, "INVALID", kNone, {}},
    {"VoidSale", Credit({"TranCode=VoidSale", "AuthCode=12345678"}), {}, kOk, 3, "VoidSale", 0,
     {{"AuthCode", "123456"}}},
    {"VoidReturn with empty RefNo", Credit({"TranCode=VoidReturn", "RefNo="}), {}, 100207, 0, "INVALID",
     kNone, {}},
    {"Return needs no AuthCode and keeps none", Credit({"TranCode=Return", "AuthCode=999"}), {}, kOk, 2,
     "Return", 0, {{"AuthCode", ""}}},
    {"AMEX with a CVV of 3", Keyed({"AcctNo=378282246310005", "CVVData=123"}), {}, kOk, 1, "Sale", 0,
     {{"CardType", "AMEX"}, {"CVVValid", "0"}, {"CVVData", ""}}},
    {"AMEX with a CVV of 4", Keyed({"AcctNo=378282246310005", "CVVData=1234"}), {}, kOk, 1, "Sale", 0,
     {{"CVVValid", "1"}, {"CVVData", "1234"}}},
    {"VISA with CVV 12a", Credit({"CVVData=12a"}), {}, kOk, 1, "Sale", 0,
     {{"CVVValid", "0"}, {"CVVData", ""}}},
    {"CVV Bypass", Credit({"CVVData=Bypass"}), {}, kOk, 1, "Sale", 0, {{"CVVValid", "1"}, {"CVVData", "Bypass"}}},
    {"Credit TranType carrying EMVSale", Credit({"TranCode=EMVSale"}), {}, kOk, 66, "EMVSale", 0, {}},
    {"EMV credit sale", EmvCredit({"EMVData=9F02", "EMVAppID=A0000000031010", "PinPadSerialNo=PP1"}), {},
     kOk, 66, "EMVSale", 0,
     {{"EMVEntrySource", "ChipRead"}, {"EMVData", "9F02"}, {"PinPadSerialNo", "PP1"}}},
    {"EMV credit chip override needs AuthCode", EmvCredit({"TranCode=EMVChipOverrideSale"}), {}, 100206, 0,
     "INVALID", kNone, {}},
    {"EMV credit offline decline", EmvCredit({"TranCode=EMVOfflineDeclinedSale"}), {}, kOk, 72,
     "EMVOfflineDeclinedSale", 0, {}},

    // Debit.
    {"debit Sale", Debit({}), {}, kOk, 14, "Sale", 1,
     {{"CardType", "DEBIT"}, {"AcctNo", "4111111111111111"}, {"HostCardData", "4111111111111111=2512101"},
      {"PINBlock", "1234567890ABCDEF"}, {"DervdKey", "9876543210ABCDEF"}, {"AccountType", "0"},
      {"Authorize", "1000"}, {"Track2Given", "1"}}},
    {"debit Savings with cash back and gratuity",
     Debit({"Selection=Savings", "CashBack=5.00", "Gratuity=0.50", "PartialAuth=Allow"}), {}, kOk, 14,
     "Sale", 1, {{"AccountType", "2"}, {"Authorize", "1550"}, {"CashBack", "500"}, {"PartialAuth", "1"}}},
    {"debit Checking", Debit({"Selection=Checking"}), {}, kOk, 14, "Sale", 1, {{"AccountType", "1"}}},
    {"debit track without '='", Debit({"Track2=4111111111111111"}), {}, kOk, 14, "Sale", 1,
     {{"AcctNo", ""}, {"HostCardData", "4111111111111111"}}},
    {"debit Return is never partial", Debit({"TranCode=Return", "PartialAuth=Allow"}), {}, kOk, 15,
     "Return", 1, {{"PartialAuth", "0"}}},
    {"debit TranCode missing", Debit({"-TranCode"}), {}, 100219, 0, "INVALID", kNone, {}},
    {"debit PreAuth", Debit({"TranCode=PreAuth"}), {}, 4029, 0, "INVALID", kNone, {}},
    {"debit VoidSale", Debit({"TranCode=VoidSale"}), {}, 100219, 0, "INVALID", kNone, {}},
    {"debit without track", Debit({"-Track2"}), {}, 100212, 0, "INVALID", kNone, {}},
    {"debit track of 7", Debit({"Track2=4111111"}), {}, 100212, 0, "INVALID", kNone, {}},
    {"debit bad Purchase before the missing PIN", Debit({"Purchase=10", "-PINBlock"}), {}, 100211, 0,
     "INVALID", kNone, {}},
    {"debit bad Gratuity", Debit({"Gratuity=1"}), {}, 100210, 0, "INVALID", kNone, {}},
    {"debit bad CashBack", Debit({"CashBack=1"}), {}, 100209, 0, "INVALID", kNone, {}},
    {"debit of 0.00", Debit({"Purchase=0.00"}), {}, 100208, 0, "INVALID", kNone, {}},
    {"debit without PIN", Debit({"-PINBlock"}), {}, 100213, 0, "INVALID", kNone, {}},
    {"debit with bad DervdKey", Debit({"DervdKey=FFFF"}), {}, 100214, 0, "INVALID", kNone, {}},
    {"EMV debit without PIN", EmvDebit({}), {}, kOk, 78, "EMVSale", 1, {{"PINBlock", ""}, {"DervdKey", ""}}},
    {"EMV debit with a bad PIN", EmvDebit({"PINBlock=1"}), {}, 100213, 0, "INVALID", kNone, {}},
    {"EMV debit chip override", EmvDebit({"TranCode=EMVChipOverrideSale", "AuthCode=A1"}), {}, kOk, 74,
     "EMVChipOverrideSale", 1, {{"AuthCode", "A1"}}},
    {"EMV debit chip override without AuthCode", EmvDebit({"TranCode=EMVChipOverrideSale"}), {}, 100206, 0,
     "INVALID", kNone, {}},
    {"EMV debit offline decline", EmvDebit({"TranCode=EMVOfflineDeclinedSale"}), {}, kOk, 72,
     "EMVOfflineDeclinedSale", 1, {}},
    {"EMV debit time-out reversal", EmvDebit({"TranCode=EMVTimeoutReversal",
                                             "OriginalTranCode=EMVChipOverrideSale"}),
     {}, kOk, 76, "EMVTimeoutReversal", 1, {{"OrigTranCode", "74"}}},
    {"EMV debit time-out reversal of a void", EmvDebit({"TranCode=EMVTimeoutReversal",
                                                       "OriginalTranCode=EMVVoidSale"}),
     {}, 100259, 0, "INVALID", kNone, {}},
    {"encrypted debit", Debit({"EncryptedFormat=Elavon3DES", "EncryptedBlock=BLK", "EncryptedKey=KEY"}), {},
     kOk, 14, "Sale", 1, {{"HostCardData", "BLK"}}},

    // EBT.
    {"EBT food stamp sale", Ebt({"PartialAuth=Allow"}), {}, kOk, 30, "Sale", 4,
     {{"AccountType", "3"}, {"CardType", "Foodstamp"}, {"ExpDate", "1225"}, {"AcctNo", "4111111111111111"},
      {"HostCardData", "4111111111111111=2512101"}, {"PartialAuth", "0"}, {"DervdKey", "9876543210ABCDEF"}}},
    {"EBT cash sale with cash back", Ebt({"CardType=Cash", "CashBack=5.00"}), {}, kOk, 32, "Sale", 4,
     {{"AccountType", "4"}, {"Authorize", "1500"}}},
    {"EBT food stamp cash back", Ebt({"CashBack=5.00"}), {}, 100209, 0, "INVALID", kNone, {}},
    {"EBT cash bad cash back", Ebt({"CardType=Cash", "CashBack=5"}), {}, 100209, 0, "INVALID", kNone, {}},
    {"EBT keyed", Ebt({"-Track2", "AcctNo=12345678", "ExpDate=0126"}), {}, kOk, 30, "Sale", 4,
     {{"HostCardData", "12345678=0126"}, {"ExpDate", "0126"}, {"Track2Given", "0"}}},
    {"EBT balance needs no Purchase", Ebt({"TranCode=Balance", "CardType=Cash", "-Purchase"}), {}, kOk, 37,
     "Balance", 4, {{"Authorize", ""}}},
    {"EBT food stamp balance", Ebt({"TranCode=Balance", "-Purchase"}), {}, kOk, 36, "Balance", 4, {}},
    {"EBT return", Ebt({"TranCode=Return"}), {}, kOk, 31, "Return", 4, {}},
    {"EBT voucher needs no PIN", Ebt({"TranCode=Voucher", "-PINBlock", "AuthCode=1234567", "VoucherNo=V9"}),
     {}, kOk, 34, "Voucher", 4, {{"AuthCode", "123456"}, {"VoucherNo", "V9"}, {"PINBlock", ""}}},
    {"EBT voucher without AuthCode", Ebt({"TranCode=Voucher", "VoucherNo=V9"}), {}, 100206, 0, "INVALID",
     kNone, {}},
    {"EBT voucher without VoucherNo", Ebt({"TranCode=Voucher", "AuthCode=1"}), {}, 100229, 0, "INVALID",
     kNone, {}},
    {"EBT TranCode missing before CardType", Ebt({"-TranCode", "-CardType"}), {}, 100219, 0, "INVALID", kNone,
     {}},
    {"EBT without CardType", Ebt({"-CardType"}), {}, 100228, 0, "INVALID", kNone, {}},
    {"EBT CardType unknown", Ebt({"CardType=Debit"}), {}, 100228, 0, "INVALID", kNone, {}},
    {"EBT cash voucher", Ebt({"CardType=Cash", "TranCode=Voucher"}), {}, 100219, 0, "INVALID", kNone, {}},
    {"EBT Track2 of 38", Ebt({"Track2=4111111111111111=251210123456789012345"}), {}, 100212, 0, "INVALID",
     kNone, {}},
    {"EBT without card", Ebt({"-Track2"}), {}, 100204, 0, "INVALID", kNone, {}},
    {"EBT ExpDate of 5", Ebt({"-Track2", "AcctNo=12345678", "ExpDate=01266"}), {}, 100205, 0, "INVALID",
     kNone, {}},
    {"EBT short card", Ebt({"Track2=1234567"}), {}, 100204, 0, "INVALID", kNone, {}},
    {"EBT without Purchase", Ebt({"-Purchase"}), {}, 100211, 0, "INVALID", kNone, {}},
    {"EBT of 0.00", Ebt({"Purchase=0.00"}), {}, 100208, 0, "INVALID", kNone, {}},
    {"EBT without PIN", Ebt({"-PINBlock"}), {}, 100213, 0, "INVALID", kNone, {}},
    {"EBT without DervdKey", Ebt({"-DervdKey"}), {}, 100214, 0, "INVALID", kNone, {}},

    // Electronic checks.
    {"keyed check", Check({"RefNo=AB_12345678901234567"}), {}, kOk, 44, "Sale", 8,
     {{"HostCardData", "T011000015T12345678O1001"}, {"CardType", "PersonalCheck"}, {"CheckKeyed", "1"},
      {"Authorize", "2500"}, {"RefNo", "AB 1234567890123"}, {"Track2Given", "0"}}},
    {"check read by a reader", Check({"MICR=Reader", "RawTOAD=T1T2O3", "StateCode=NY"}), {}, kOk, 44,
     "Sale", 8,
     {{"HostCardData", "T1T2O3"}, {"RawTOAD", "T1T2O3"}, {"CheckKeyed", "0"}, {"Track2Given", "1"},
      {"StateCode", "NY"}}},
    {"check void", Check({"TranCode=VoidSale", "AuthCode=AUTH123"}), {}, kOk, 45, "VoidSale", 8,
     {{"AuthCode", "AUTH12"}}},
    {"check void without AuthCode", Check({"TranCode=VoidSale"}), {}, 100206, 0, "INVALID", kNone, {}},
    {"check TranCode unknown", Check({"TranCode=Return"}), {}, 100219, 0, "INVALID", kNone, {}},
    {"check TranCode missing", Check({"-TranCode"}), {}, 100219, 0, "INVALID", kNone, {}},
    {"check CardType unknown", Check({"CardType=CompanyCheck"}), {}, 100228, 0, "INVALID", kNone, {}},
    {"check without MICR", Check({"-MICR"}), {}, 4028, 0, "INVALID", kNone, {}},
    {"check MICR unknown", Check({"MICR=Scanned"}), {}, 100224, 0, "INVALID", kNone, {}},
    {"check RawTOAD missing", Check({"MICR=Reader"}), {}, 100246, 0, "INVALID", kNone, {}},
    {"check RawTOAD of 81", Check({"MICR=Reader", "RawTOAD=" + std::string(81, 'T')}), {}, 100246, 0,
     "INVALID", kNone, {}},
    {"check RoutingNo missing", Check({"-RoutingNo"}), {}, 100218, 0, "INVALID", kNone, {}},
    {"check AcctNo missing", Check({"-AcctNo"}), {}, 100204, 0, "INVALID", kNone, {}},
    {"check SequenceNo missing", Check({"-SequenceNo"}), {}, 100226, 0, "INVALID", kNone, {}},
    {"ECHECK 2 without DriversLicense", Check({"StateCode=NY", "PhoneNo=5551234"}), {.eCheck = "2"}, 100225,
     0, "INVALID", kNone, {}},
    {"ECHECK 2 without StateCode", Check({"DriversLicense=D1", "PhoneNo=5551234"}), {.eCheck = "2"}, 100215,
     0, "INVALID", kNone, {}},
    {"ECHECK 2 without PhoneNo", Check({"DriversLicense=D1", "StateCode=NY"}), {.eCheck = "2"}, 100245, 0,
     "INVALID", kNone, {}},
    {"ECHECK 2 with identity", Check({"DriversLicense=D1", "StateCode=NY", "PhoneNo=5551234567"}),
     {.eCheck = "2"}, kOk, 44, "Sale", 8, {{"StateCode", "NY"}}},
    {"StateCode of 3", Check({"StateCode=NYC"}), {}, 100215, 0, "INVALID", kNone, {}},
    {"DriversLicense of 17", Check({"DriversLicense=12345678901234567"}), {}, 100225, 0, "INVALID", kNone, {}},
    {"PhoneNo of 11", Check({"PhoneNo=12345678901"}), {}, 100245, 0, "INVALID", kNone, {}},
    {"check without Purchase", Check({"-Purchase"}), {}, 100211, 0, "INVALID", kNone, {}},
    {"check of 0.00", Check({"Purchase=0.00"}), {}, 100208, 0, "INVALID", kNone, {}},
};

void ExpectCase(const ParseCase& c) {
  SCOPED_TRACE(c.label);
  CElavonTran tran;
  tran.m_Request = Join(c.items);
  const bool accepted = tran.ParseTStream(Settings(c.params));
  EXPECT_EQ(accepted, c.code != 0);
  EXPECT_EQ(tran.m_ErrorCode, c.error);
  EXPECT_EQ(tran.m_TranCode, c.code);
  EXPECT_EQ(tran.m_TranCodeName, c.name);
  EXPECT_EQ(tran.m_Family, c.family);
  for (const auto& [member, expected] : c.members) {
    const auto reader = kMembers.find(member);
    if (reader == kMembers.end()) {
      ADD_FAILURE() << "no reader for member " << member;
      continue;
    }
    EXPECT_EQ(reader->second(tran), expected) << "member " << member;
  }
}

TEST(TStreamParserTest, ParserTable) {
  for (const ParseCase& c : kCases) ExpectCase(c);
}

// Every error code a parse can leave occurs in the table at least once.
TEST(TStreamParserTest, TableCoversEveryErrorCode) {
  const int codes[] = {
      1003,   4017,   4018,   4019,   4022,   4023,   4028,   4029,   4040,   4041,   4201,
      4301,   100201, 100204, 100205, 100206, 100207, 100208, 100209, 100210, 100211, 100212,
      100213, 100214, 100215, 100218, 100219, 100220, 100221, 100222, 100223, 100224, 100225,
      100226, 100227, 100228, 100229, 100230, 100245, 100246, 100248, 100249, 100250, 100251,
      100252, 100254, 100255, 100256, 100257, 100258, 100259};
  for (int code : codes) {
    bool found = false;
    for (const ParseCase& c : kCases) found = found || (c.code == 0 && c.error == code);
    EXPECT_TRUE(found) << "no rejected row with " << code;
  }
}

// Every prefix of requests of each family parses to a consistent outcome (and, under
// the sanitizers, without reading past any text's end).
TEST(TStreamParserTest, EveryPrefixParsesConsistently) {
  const CParamSettings settings = Settings({.eCheck = "2"});
  const std::string requests[] = {
      Join(Credit({"Zip=12345", "Address=1 Main", "Tax=1.00", "CustomerCode=C", "CVVData=123"})),
      Join(Credit({"TranCode=SaleByRecordNo", "-Track2", "RecordNo=tok|1225", "Frequency=OneTime"})),
      Join(Debit({"CashBack=1.00"})), Join(EmvDebit({"TranCode=EMVTimeoutReversal",
                                                    "OriginalTranCode=EMVSale"})),
      Join(Ebt({})), Join(Check({"DriversLicense=D", "StateCode=NY", "PhoneNo=1"})),
      Join(Admin({"TranCode=BatchClose", "BatchNo=1", "BatchItemCount=2", "NetBatchTotal=-1.00"})),
  };
  for (const std::string& request : requests) {
    for (std::size_t length = 0; length <= request.size(); ++length) {
      CElavonTran tran;
      tran.m_Request = request.substr(0, length);
      const bool accepted = tran.ParseTStream(settings);
      EXPECT_EQ(accepted, tran.m_TranCode != 0) << tran.m_Request;
      EXPECT_EQ(tran.m_TranCodeName, CElavonTran::GetTranCodeName(tran.m_TranCode)) << tran.m_Request;
      if (accepted) {
        EXPECT_EQ(tran.m_ErrorCode, 1003) << tran.m_Request;
      }
    }
  }
}

TEST(TStreamParserTest, ParseRequestByKind) {
  const CParamSettings settings = Settings({});
  const struct {
    int kind;
    std::string request;
    int kindAfter;
    int error;
  } cases[] = {
      {kRequestKindEncrypted, Join(Credit({})), kRequestKindEncrypted, 1003},
      {kRequestKindEncrypted, Join(Credit({"-ClientID"})), kRequestKindClear, 4201},
      {kRequestKindCancel, Join(Credit({})), kRequestKindCancel, 1000},  // not parsed
      {kRequestKindClear, Join(Credit({})), kRequestKindClear, 1000},
  };
  for (const auto& c : cases) {
    CElavonTran tran;
    tran.m_RequestKind = c.kind;
    tran.m_Request = c.request;
    tran.ParseRequest(settings);
    EXPECT_EQ(tran.m_RequestKind, c.kindAfter) << "kind " << c.kind;
    EXPECT_EQ(tran.m_ErrorCode, c.error) << "kind " << c.kind;
  }
}

// Without settings the parse reads the process's store, which holds no parameters
// until they are loaded: EMV SUPPORT then reads 0.
TEST(TStreamParserTest, ParseWithoutSettingsReadsTheStore) {
  CElavonTran tran;
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.m_Request = Join(EmvCredit({}));
  tran.ParseRequest();
  EXPECT_EQ(tran.m_ErrorCode, 4301);
  EXPECT_EQ(tran.m_RequestKind, kRequestKindClear);
}

}  // namespace
