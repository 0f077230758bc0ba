// Card brands by the leading digits and the length of an account number, and the
// mod-10 check digit.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/tran/elavon_tran.h"
#include "core/tran/tstream_parser.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"

namespace {

// An inclusive range of the integer value of an account's first digits.
struct PrefixRange {
  int low;
  int high;
};

// One row of the brand table: the first character, the lengths it accepts (bit n for
// length n), how many leading characters the ranges test (0: none) and the ranges.
struct BrandRule {
  char first;
  uint32_t lengths;
  int prefixLength;
  std::span<const PrefixRange> ranges;
  std::string_view brand;
};

constexpr uint32_t Length(int n) { return UINT32_C(1) << n; }
constexpr uint32_t Lengths(int from, int to) {
  uint32_t mask = 0;
  for (int n = from; n <= to; ++n) mask |= Length(n);
  return mask;
}

constexpr PrefixRange kMasterCard2Series[] = {{222100, 272099}};
constexpr PrefixRange kAmex[] = {{34, 34}, {37, 37}};
constexpr PrefixRange kDiners14[] = {{36, 36}};
constexpr PrefixRange kDiscover3Series16[] = {{3000, 3099}, {3800, 3999}, {3528, 3589},
                                              {3088, 3094}, {3096, 3102}, {3112, 3120},
                                              {3158, 3159}, {3337, 3349}};
constexpr PrefixRange kDiscover6Series[] = {{601100, 601199}, {640000, 659999},
                                            {622126, 623796}, {624000, 626999},
                                            {621094, 621094}, {628200, 628999}};
constexpr PrefixRange kDiscover6Series13[] = {{622126, 622925}, {624000, 626999},
                                              {621094, 621094}, {628200, 628999}};
constexpr PrefixRange kDiscover8Series[] = {{810000, 817199}};

// The first matching row wins.
constexpr BrandRule kBrandRules[] = {
    {'2', Length(16), 6, kMasterCard2Series, kCardTypeMC},
    {'3', Length(15), 2, kAmex, kCardTypeAmex},
    {'3', Length(14), 2, kDiners14, kCardTypeDcvr},
    {'3', Length(16), 4, kDiscover3Series16, kCardTypeDcvr},
    {'4', Length(13) | Length(16) | Length(19), 0, {}, kCardTypeVisa},
    {'5', Length(16), 0, {}, kCardTypeMC},
    {'6', Lengths(16, 19), 6, kDiscover6Series, kCardTypeDcvr},
    {'6', Length(13), 6, kDiscover6Series13, kCardTypeDcvr},
    {'8', Lengths(16, 19), 6, kDiscover8Series, kCardTypeDcvr},
};

bool Matches(const BrandRule& rule, const std::string& acctNo) {
  if (acctNo.empty() || acctNo[0] != rule.first) return false;
  if (acctNo.size() >= 32 || (rule.lengths & Length(static_cast<int>(acctNo.size()))) == 0) {
    return false;
  }
  if (rule.prefixLength == 0) return true;
  const int prefix = LeadingDigitsToInt(SafeMid(acctNo, 0, rule.prefixLength));
  for (const PrefixRange& range : rule.ranges) {
    if (prefix >= range.low && prefix <= range.high) return true;
  }
  return false;
}

}  // namespace

std::string CElavonTran::GetCardTypeFromAcctNo(const std::string& acctNo) {
  for (const BrandRule& rule : kBrandRules) {
    if (Matches(rule, acctNo)) return std::string(rule.brand);
  }
  return std::string(kCardTypeOther);
}

bool CElavonTran::IsValidCheckDigit(const std::string& acctNo) {
  if (acctNo.empty()) return false;
  int64_t sum = 0;  // a text of any length cannot overflow it
  std::size_t position = 0;
  for (auto it = acctNo.rbegin(); it != acctNo.rend(); ++it, ++position) {
    int value = static_cast<unsigned char>(*it) - '0';
    if (position % 2 == 1) value *= 2;
    sum += value < 10 ? value : value % 10 + value / 10;
  }
  return sum % 10 == 0;
}
