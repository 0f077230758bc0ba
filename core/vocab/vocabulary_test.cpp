#include "core/vocab/vocabulary.h"

#include <map>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "core/vocab/control_chars.h"
#include "core/vocab/text_helpers.h"

namespace {

TEST(VocabularyTest, ParameterBoundsGiveTwentyTwoParameters) {
  EXPECT_EQ(FIRST_PARM, 0);
  EXPECT_EQ(LAST_PARM - FIRST_PARM + 1, 22);
  // The default of NUMPARMS is the last parameter number as text.
  EXPECT_EQ(IntToStr(LAST_PARM), "21");
}

struct GroupShape {
  std::string_view name;
  std::size_t size;
  std::string_view first;
  std::string_view last;
};

TEST(VocabularyTest, GroupsHaveTheirSizesAndOrder) {
  const GroupShape kExpected[] = {
      {"field-format codes", 4, "NS1", "AN2"},
      {"card types", 16, "AMEX", "PrePaid"},
      {"market types", 3, "RETAIL", "ECOMMERCE"},
      {"reversal reasons", 4, "ElavonTimeout", "MACFailure"},
      {"Elavon transaction codes", 30, "000", "900"},
      {"terminal-capability codes", 6, "01", "10"},
      {"POS-entry-mode codes", 11, "01", "11"},
      {"account-type codes", 5, "0", "4"},
      {"zero codes", 1, "00000", "00000"},
      {"stream kinds", 4, "Transaction", "TStream"},
      {"TStream item names", 100, "CardType", "RecordNumberRequested"},
      {"Frequency values", 2, "OneTime", "Recurring"},
      {"TranType values", 10, "Administrative", "PrePaid"},
      {"entry and account values", 7, "Reader", "Chequing"},
      {"TranCode and item values", 36, "Sale", "TokenOnly"},
      {"encryption items and values", 5, "EncryptedFormat", "Allow"},
      {"reversal, batch and administrative TranCodes", 12, "ReverseSale", "EMVParamDownload"},
      {"EMV entry sources", 6, "ChipRead", "ChipFallBackMagStripeFallBackMan"},
      {"EMV item names", 3, "EMVAppID", "EMVPANSeqNo"},
      {"EMV TranCodes", 11, "EMVSale", "EMVTimeoutReversal"},
  };
  ASSERT_EQ(std::size(kExpected), kVocabularyGroups.size());
  for (std::size_t g = 0; g < kVocabularyGroups.size(); ++g) {
    const VocabularyGroup& group = kVocabularyGroups[g];
    SCOPED_TRACE(std::string(group.name));
    EXPECT_EQ(group.name, kExpected[g].name);
    ASSERT_EQ(group.words.size(), kExpected[g].size);
    EXPECT_EQ(group.words.front(), kExpected[g].first);
    EXPECT_EQ(group.words.back(), kExpected[g].last);
  }
}

TEST(VocabularyTest, WholeListIsTheGroupsInOrder) {
  ASSERT_EQ(kVocabulary.size(), 276u);
  std::size_t next = 0;
  for (const VocabularyGroup& group : kVocabularyGroups) {
    for (std::string_view word : group.words) {
      ASSERT_LT(next, kVocabulary.size());
      EXPECT_EQ(kVocabulary[next], word) << "at " << next;
      ++next;
    }
  }
  EXPECT_EQ(next, 276u);
}

TEST(VocabularyTest, NamedConstantsHoldTheirTexts) {
  const struct {
    std::string_view constant;
    std::string_view text;
  } kCases[] = {
      {kFieldFormatNS1, "NS1"},
      {kFieldFormatYN1, "YN1"},
      {kFieldFormatAN1, "AN1"},
      {kCardTypeVisa, "VISA"},
      {kCardTypeMC, "M/C"},
      {kCardTypeDcvr, "DCVR"},
      {kCardTypeOther, "OTHER"},
      {kCardTypePersonalCheck, "PersonalCheck"},
      {kCardTypeFoodstamp, "Foodstamp"},
      {kMarketTypeMoto, "MOTO"},
      {kReversalReasonPreviousReversalFailed, "PreviousReversalFailed"},
      {kReversalReasonUndeliverableToClient, "UndeliverableToClient"},
      {kElavonCode006, "006"},
      {kElavonCode099, "099"},
      {kElavonCode197, "197"},
      {kElavonCode399, "399"},
      {kElavonCode998, "998"},
      {kTermCap05, "05"},
      {kPosEntry09, "09"},
      {kAcctType2, "2"},
      {kAcctType3, "3"},
      {kCode00000, "00000"},
      {kTStreamAdmin, "Admin"},
      {kTStreamQuillon, "Quillon"},
      {kItemTStream, "TStream"},
      {kItemAcctNo, "AcctNo"},
      {kItemMICR, "MICR"},
      {kItemRawTOAD, "RawTOAD"},
      {kItemEMVEntrySource, "EMVEntrySource"},
      {kItemPinPadSerialNo, "PinPadSerialNo"},
      {kItemItemUnitCost3, "ItemUnitCost3"},
      {kItemRecordNo, "RecordNo"},
      {kFrequencyRecurring, "Recurring"},
      {kTranTypeECheck, "ECheck"},
      {kTranTypeEBT, "EBT"},
      {kMicrKeyed, "Keyed"},
      {kAccountSourceContactless, "Contactless"},
      {kSelectionSavings, "Savings"},
      {kTranCodePreAuthCapture, "PreAuthCapture"},
      {kDuplicateOverride, "Override"},
      {kCVVDataNone, "None"},
      {kCVVDataIllegible, "Illegible"},
      {kTranCodeReverseFSASaleByRecordNo, "ReverseFSASaleByRecordNo"},
      {kEncryptedFormatElavon3DES, "Elavon3DES"},
      {kPartialAuthAllow, "Allow"},
      {kItemEncryptedKey, "EncryptedKey"},
      {kTranCodeGetCorvaneParms, "GetCorvaneParms"},
      {kTranCodeSQLQuery, "SQLQuery"},
      {kEMVEntrySourceMagStripeFallBackMan, "MagStripeFallBackMan"},
      {kItemEMVTSCounter, "EMVTSCounter"},
      {kTranCodeEMVOfflineDeclinedSale, "EMVOfflineDeclinedSale"},
      {kTranCodeEMVChipOverrideSale, "EMVChipOverrideSale"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.constant, c.text);
}

TEST(VocabularyTest, ValuesInTwoRolesAreSeparateConstantsWithEqualTexts) {
  const struct {
    const std::string_view* a;
    const std::string_view* b;
  } kPairs[] = {
      {&kTermCap01, &kPosEntry01}, {&kTermCap02, &kPosEntry02}, {&kTermCap03, &kPosEntry03},
      {&kTermCap04, &kPosEntry04}, {&kTermCap05, &kPosEntry05}, {&kTermCap10, &kPosEntry10},
      {&kCardTypePrePaid, &kTranTypePrePaid}, {&kMicrKeyed, &kAccountSourceKeyed},
  };
  for (const auto& p : kPairs) {
    EXPECT_NE(p.a, p.b);
    EXPECT_EQ(*p.a, *p.b);
  }
  EXPECT_EQ(kTermCap03, "03");
}

// A copy-and-paste slip shows as an unexpected repeated text: only the values that the
// vocabulary holds in two roles may occur twice, and nothing is empty.
TEST(VocabularyTest, OnlyTheTwoRoleValuesRepeat) {
  std::map<std::string_view, int> seen;
  for (std::string_view word : kVocabulary) {
    EXPECT_FALSE(word.empty());
    ++seen[word];
  }
  std::set<std::string_view> repeated;
  for (const auto& [word, count] : seen) {
    if (count > 1) {
      EXPECT_EQ(count, 2) << word;
      repeated.insert(word);
    }
  }
  const std::set<std::string_view> kTwoRoles = {"PrePaid", "Keyed", "01", "02", "03", "04", "05", "10"};
  EXPECT_EQ(repeated, kTwoRoles);
}

TEST(VocabularyTest, WorksWithStdString) {
  const std::string received = "TranCode";
  EXPECT_TRUE(received == kItemTranCode);
  EXPECT_FALSE(std::string("trancode") == kItemTranCode);
  std::string message(kElavonCode000);
  message += kTermCap03;
  EXPECT_EQ(message, "00003");
}

// The bytes the wire formats are made of, written out as numbers.
TEST(ControlCharsTest, AreTheAsciiControlBytes) {
  const struct {
    char value;
    int expected;
    const char* name;
  } cases[] = {
      {kSTX, 0x02, "STX"}, {kETX, 0x03, "ETX"}, {kDC1, 0x11, "DC1"}, {kDC2, 0x12, "DC2"},
      {kFS, 0x1C, "FS"},   {kGS, 0x1D, "GS"},   {kRS, 0x1E, "RS"},   {kUS, 0x1F, "US"},
  };
  for (const auto& c : cases) EXPECT_EQ(static_cast<unsigned char>(c.value), c.expected) << c.name;
}

}  // namespace
