// The parsers that ParseTStream does not reach: the purchase-card line items. The
// family parsers themselves are covered through ParseTStream (tstream_parser_test.cpp).

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tran/elavon_tran.h"
#include "core/tran/tstream_parser.h"

namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += item + kTStreamItemSeparator;
  return text;
}

TEST(FamilyParsersTest, LineItems) {
  const std::vector<std::string> line1 = {"ItemCode1=12", "ItemQuantity1=2.000", "ItemUnitCost1=1.250",
                                          "ItemTotal1=2.50"};
  const struct {
    const char* label;
    std::vector<std::string> items;
    bool ok;
    int error;  // when not ok
  } cases[] = {
      {"no lines", {}, true, 0},
      {"line 1", line1, true, 0},
      {"code of 4", {"ItemCode1=1234"}, false, 100239},
      {"code of 1", {"ItemCode1=1"}, false, 100239},
      {"quantity missing", {"ItemCode1=123"}, false, 100240},
      {"quantity as an amount", {"ItemCode1=123", "ItemQuantity1=2.00"}, false, 100240},
      {"quantity with an inner '-'", {"ItemCode1=123", "ItemQuantity1=1-1.000"}, false, 100240},
      {"unit cost", {"ItemCode1=123", "ItemQuantity1=2.000", "ItemUnitCost1=1.25"}, false, 100241},
      {"total", {"ItemCode1=123", "ItemQuantity1=2.000", "ItemUnitCost1=1.250", "ItemTotal1=2.5"}, false,
       100244},
      {"line 5 checked, line 1 absent", {"ItemCode5=12345"}, false, 100239},
  };
  for (const auto& c : cases) {
    CElavonTran tran;
    const bool ok = tran.ParseLineItems(CTStreamItems(Join(c.items)));
    EXPECT_EQ(ok, c.ok) << c.label;
    if (!c.ok) {
      EXPECT_EQ(tran.m_ErrorCode, c.error) << c.label;
    }
  }

  CElavonTran tran;
  ASSERT_TRUE(tran.ParseLineItems(CTStreamItems(Join(line1))));
  const CTranLineItem& line = tran.m_LineItems[0];
  EXPECT_EQ(line.m_Code, "012");
  EXPECT_EQ(line.m_Quantity, "2000");
  EXPECT_EQ(line.m_UnitCost, "1250");
  EXPECT_EQ(line.m_Total, "250");
  EXPECT_TRUE(tran.m_LineItems[1].m_Code.empty());
}

}  // namespace
