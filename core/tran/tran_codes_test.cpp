#include "core/tran/tran_codes.h"

#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "core/tran/elavon_tran.h"

namespace {

bool Contains(const std::set<int>& codes, int code) { return codes.count(code) != 0; }

// The two sets, written out independently of the table.
const std::set<int> kNewAuthorizations = {1, 6, 7, 8, 10, 14, 30, 32, 34, 51, 54, 55, 57, 66, 71, 78};
const std::set<int> kReversible = {1,  2,  5,  6,  7,  9,  10, 14, 15, 30, 31, 32,
                                   34, 44, 51, 52, 53, 54, 55, 56, 57, 66, 67, 70};
const std::set<int> kEchoAfterApproval = {14, 15, 78, 79, 30, 31, 32, 44};

TEST(TranCodesTest, CodeSetsOverEveryCode) {
  for (int code = -2; code <= 1000; ++code) {
    EXPECT_EQ(IsNewAuthorizationCode(code), Contains(kNewAuthorizations, code)) << "code " << code;
    EXPECT_EQ(IsReversibleCode(code), Contains(kReversible, code)) << "code " << code;
    EXPECT_EQ(IsStoredRecordCode(code), code >= 51 && code <= 61) << "code " << code;
    EXPECT_EQ(NeedsEchoAfterApproval(code), Contains(kEchoAfterApproval, code)) << "code " << code;
  }
}

TEST(TranCodesTest, SequenceHeldUntilEchoByFamily) {
  const std::set<int> held = {kTranFamilyDebit, kTranFamilyEBT, kTranFamilyECheck};
  for (int family = -1; family <= 12; ++family) {
    EXPECT_EQ(HoldsSequenceUntilEcho(family), Contains(held, family)) << "family " << family;
  }
  // Every code that needs an echo belongs to a family whose sequence is held.
  for (int code : kEchoAfterApproval) {
    const CTranCodeInfo* row = FindTranCode(code);
    ASSERT_NE(row, nullptr) << "code " << code;
    EXPECT_TRUE(HoldsSequenceUntilEcho(row->m_Family)) << "code " << code;
  }
}

TEST(TranCodesTest, Names) {
  const std::pair<int, const char*> names[] = {
      {0, "INVALID"},          {1, "Sale"},
      {9, "PreAuthCapture"},   {12, "Balance"},
      {13, "INVALID"},         {15, "Return"},
      {20, "BatchClose"},      {34, "Voucher"},
      {35, "VoucherReturn"},   {40, "Sale"},
      {50, "INVALID"},         {56, "PreAuthCaptureByRecordNo"},
      {60, "ReverseFSASaleByRecordNo"}, {62, "TokenOnly"},
      {63, "EMVParamDownload"}, {64, "INVALID"},
      {65, "INVALID"},         {72, "EMVOfflineDeclinedSale"},
      {74, "EMVChipOverrideSale"}, {76, "EMVTimeoutReversal"},
      {77, "INVALID"},         {79, "EMVReturn"},
      {900, "ServerVersion"},  {901, "GetCorvaneParms"},
      {902, "INVALID"},        {-1, "INVALID"},
  };
  for (const auto& [code, name] : names) {
    EXPECT_EQ(GetTranCodeName(code), name) << "code " << code;
    EXPECT_EQ(CElavonTran::GetTranCodeName(code), name) << "code " << code;
  }
}

// Ascending codes; the rows of one code agree; a parser maps each TranCode once.
TEST(TranCodesTest, TableIsConsistent) {
  const auto table = GetTranCodeTable();
  std::set<std::pair<TranCodeParser, std::string_view>> mapped;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const CTranCodeInfo& row = table[i];
    if (i > 0) {
      EXPECT_LE(table[i - 1].m_Code, row.m_Code) << "row " << i;
    }
    const CTranCodeInfo* first = FindTranCode(row.m_Code);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->m_Name, row.m_Name) << "code " << row.m_Code;
    EXPECT_EQ(first->m_NewAuthorization, row.m_NewAuthorization) << "code " << row.m_Code;
    EXPECT_EQ(first->m_Reversible, row.m_Reversible) << "code " << row.m_Code;
    EXPECT_EQ(row.m_Parser == TranCodeParser::kNone, row.m_TStreamTranCode.empty())
        << "code " << row.m_Code;
    if (row.m_Parser != TranCodeParser::kNone) {
      EXPECT_TRUE(mapped.insert({row.m_Parser, row.m_TStreamTranCode}).second)
          << "code " << row.m_Code;
    }
  }
}

TEST(TranCodesTest, ParserMapping) {
  using P = TranCodeParser;
  const struct {
    P parser;
    const char* tranCode;
    int code;    // 0: no row
    int family;
  } cases[] = {
      {P::kCredit, "Sale", 1, kTranFamilyCredit},
      {P::kDebit, "Sale", 14, kTranFamilyDebit},
      {P::kEBTFoodstamp, "Sale", 30, kTranFamilyEBT},
      {P::kEBTCash, "Sale", 32, kTranFamilyEBT},
      {P::kECheck, "Sale", 44, kTranFamilyECheck},
      {P::kCredit, "EMVSale", 66, kTranFamilyCredit},
      {P::kDebit, "EMVSale", 78, kTranFamilyDebit},
      {P::kCredit, "EMVChipOverrideSale", 73, kTranFamilyCredit},
      {P::kDebit, "EMVChipOverrideSale", 74, kTranFamilyDebit},
      {P::kCredit, "EMVOfflineDeclinedSale", 72, kTranFamilyCredit},
      {P::kDebit, "EMVOfflineDeclinedSale", 72, kTranFamilyDebit},
      {P::kCredit, "BalanceByRecordNo", 61, kTranFamilyCredit},
      {P::kEBTFoodstamp, "Voucher", 34, kTranFamilyEBT},
      {P::kEBTFoodstamp, "Balance", 36, kTranFamilyEBT},
      {P::kEBTCash, "Balance", 37, kTranFamilyEBT},
      {P::kAdmin, "EMVParamDownload", 63, kTranFamilyEmvKeyDownload},
      {P::kAdmin, "GetCorvaneParms", 901, kTranFamilyAdmin},
      {P::kEBTCash, "Voucher", 0, 0},
      {P::kEBTCash, "Return", 0, 0},
      {P::kDebit, "VoidSale", 0, 0},
      {P::kECheck, "Return", 0, 0},
      {P::kCredit, "sale", 0, 0},
      {P::kCredit, "BatchClose", 0, 0},
      {P::kNone, "", 0, 0},
      {P::kNone, "VoucherReturn", 0, 0},
  };
  for (const auto& c : cases) {
    const CTranCodeInfo* row = FindTranCodeForParser(c.parser, c.tranCode);
    if (c.code == 0) {
      EXPECT_EQ(row, nullptr) << c.tranCode;
      continue;
    }
    ASSERT_NE(row, nullptr) << c.tranCode;
    EXPECT_EQ(row->m_Code, c.code) << c.tranCode;
    EXPECT_EQ(row->m_Family, c.family) << c.tranCode;
  }
}

}  // namespace
