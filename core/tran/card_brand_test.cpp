#include <string>

#include <gtest/gtest.h>

#include "core/tran/elavon_tran.h"

namespace {

// prefix followed by '0's up to length characters.
std::string Acct(const std::string& prefix, std::size_t length) {
  std::string acct = prefix;
  acct.resize(length, '0');
  return acct;
}

TEST(CardBrandTest, RangeEdges) {
  const struct {
    const char* prefix;
    std::size_t length;
    const char* brand;
  } cases[] = {
      // '2', 16 digits: 222100..272099.
      {"222100", 16, "M/C"}, {"272099", 16, "M/C"}, {"222099", 16, "OTHER"},
      {"272100", 16, "OTHER"}, {"222100", 15, "OTHER"}, {"222100", 17, "OTHER"},
      // '3', 15: 34 or 37; 14: 36.
      {"34", 15, "AMEX"}, {"37", 15, "AMEX"}, {"35", 15, "OTHER"}, {"36", 15, "OTHER"},
      {"34", 14, "OTHER"}, {"36", 14, "DCVR"}, {"37", 14, "OTHER"}, {"36", 13, "OTHER"},
      // '3', 16: the eight ranges of the first four digits.
      {"3000", 16, "DCVR"}, {"3099", 16, "DCVR"}, {"3100", 16, "DCVR"}, {"3102", 16, "DCVR"},
      {"3103", 16, "OTHER"}, {"3111", 16, "OTHER"}, {"3112", 16, "DCVR"}, {"3120", 16, "DCVR"},
      {"3121", 16, "OTHER"}, {"3157", 16, "OTHER"}, {"3158", 16, "DCVR"}, {"3159", 16, "DCVR"},
      {"3160", 16, "OTHER"}, {"3336", 16, "OTHER"}, {"3337", 16, "DCVR"}, {"3349", 16, "DCVR"},
      {"3350", 16, "OTHER"}, {"3527", 16, "OTHER"}, {"3528", 16, "DCVR"}, {"3589", 16, "DCVR"},
      {"3590", 16, "OTHER"}, {"3799", 16, "OTHER"}, {"3800", 16, "DCVR"}, {"3999", 16, "DCVR"},
      {"3800", 17, "OTHER"},
      // '4': 13, 16 or 19.
      {"4", 13, "VISA"}, {"4", 16, "VISA"}, {"4", 19, "VISA"}, {"4", 12, "OTHER"},
      {"4", 14, "OTHER"}, {"4", 15, "OTHER"}, {"4", 17, "OTHER"}, {"4", 18, "OTHER"},
      {"4", 20, "OTHER"},
      // '5': 16.
      {"5", 16, "M/C"}, {"5", 15, "OTHER"}, {"5", 17, "OTHER"},
      // '6', 16 to 19.
      {"601100", 16, "DCVR"}, {"601199", 19, "DCVR"}, {"601099", 16, "OTHER"},
      {"601200", 16, "OTHER"}, {"639999", 16, "OTHER"}, {"640000", 17, "DCVR"},
      {"659999", 18, "DCVR"}, {"660000", 16, "OTHER"}, {"622125", 16, "OTHER"},
      {"622126", 16, "DCVR"}, {"623796", 16, "DCVR"}, {"623797", 16, "OTHER"},
      {"623999", 16, "OTHER"}, {"624000", 16, "DCVR"}, {"626999", 16, "DCVR"},
      {"627000", 16, "OTHER"}, {"621093", 16, "OTHER"}, {"621094", 16, "DCVR"},
      {"621095", 16, "OTHER"}, {"628199", 16, "OTHER"}, {"628200", 16, "DCVR"},
      {"628999", 16, "DCVR"}, {"629000", 16, "OTHER"}, {"601100", 15, "OTHER"},
      {"601100", 20, "OTHER"},
      // '6', 13: the narrower China UnionPay ranges only.
      {"622126", 13, "DCVR"}, {"622925", 13, "DCVR"}, {"622926", 13, "OTHER"},
      {"624000", 13, "DCVR"}, {"626999", 13, "DCVR"}, {"621094", 13, "DCVR"},
      {"628200", 13, "DCVR"}, {"628999", 13, "DCVR"}, {"601100", 13, "OTHER"},
      {"640000", 13, "OTHER"}, {"622126", 14, "OTHER"},
      // '8', 16 to 19.
      {"810000", 16, "DCVR"}, {"817199", 19, "DCVR"}, {"809999", 16, "OTHER"},
      {"817200", 16, "OTHER"}, {"810000", 15, "OTHER"},
      // No row.
      {"7", 16, "OTHER"}, {"1", 16, "OTHER"}, {"0", 16, "OTHER"}, {"", 0, "OTHER"},
      {" 4", 16, "OTHER"}, {"6a1100", 16, "OTHER"}, {"4a", 16, "VISA"},
  };
  for (const auto& c : cases) {
    const std::string acct = Acct(c.prefix, c.length);
    EXPECT_EQ(CElavonTran::GetCardTypeFromAcctNo(acct), c.brand) << "'" << acct << "'";
  }
}

TEST(CardBrandTest, CheckDigit) {
  const struct {
    const char* acct;
    bool valid;
  } cases[] = {
      {"4111111111111111", true},  {"4111111111111112", false}, {"378282246310005", true},
      {"378282246310006", false},  {"6011111111111117", true},  {"5555555555554444", true},
      {"0", true},                 {"18", true},  // doubled 1 gives 2, 8 + 2 = 10
      {"59", true},                // doubled 5 gives 10, added as 1 + 0
      {"91", true},                // doubled 9 gives 18, added as 1 + 8
      {"19", false},               {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CElavonTran::IsValidCheckDigit(c.acct), c.valid) << "'" << c.acct << "'";
  }
}

}  // namespace
