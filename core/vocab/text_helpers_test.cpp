#include "core/vocab/text_helpers.h"

#include <climits>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace {

constexpr int32_t kMinCents = std::numeric_limits<int32_t>::min();
constexpr int32_t kMaxCents = std::numeric_limits<int32_t>::max();
const std::string kFortyDigits = "1234567890123456789012345678901234567890";

TEST(SafeMidTest, CountedSubstring) {
  const struct {
    std::string s;
    int start;
    int count;
    std::string expected;
  } kCases[] = {
      {"abcdef", 1, 3, "bcd"},
      {"abc", 0, 3, "abc"},
      {"abcdef", 4, 10, "ef"},      // runs past the end: the rest
      {"abc", 3, 1, ""},            // start at the end
      {"abc", 7, 1, ""},            // start past the end
      {"", 0, 1, ""},
      {"abc", 1, INT_MAX, "bc"},    // start + count beyond the int range
      {"abc", -1, 2, "ab"},         // a negative start counts as 0
      {"abc", INT_MIN, 100, "abc"},
      {"abc", 1, 0, ""},            // no characters asked for
      {"abc", 1, -1, ""},
      {"abc", -2, INT_MIN, ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(SafeMid(c.s, c.start, c.count), c.expected)
        << "'" << c.s << "' from " << c.start << " for " << c.count;
  }
}

TEST(SafeMidTest, RestOfText) {
  const struct {
    std::string s;
    int start;
    std::string expected;
  } kCases[] = {
      {"abcdef", 2, "cdef"}, {"abc", 0, "abc"}, {"abc", 3, ""},       {"abc", 5, ""},
      {"", 0, ""},           {"abc", -1, "abc"}, {"abc", INT_MIN, "abc"}, {"abc", INT_MAX, ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(SafeMid(c.s, c.start), c.expected) << "'" << c.s << "' from " << c.start;
  }
}

TEST(SafeMidTest, KeepsEmbeddedNul) {
  const std::string s("a\0b\0c", 5);
  EXPECT_EQ(SafeMid(s, 1, 3), std::string("\0b\0", 3));
}

TEST(AtoiClampedTest, ReadsTheLeadingNumberAndClamps) {
  const struct {
    const char* text;
    int atoi;     // AtoiClamped
    int leading;  // LeadingIntClamped
  } cases[] = {
      {"", 0, 0},
      {"x", 0, 0},
      {"-", 0, 0},
      {"+", 0, 0},
      {"0", 0, 0},
      {"42", 42, 42},
      {"042x7", 42, 42},
      {"+4", 4, 4},
      {"-3", -3, -3},
      {"--3", 0, 0},
      {" 2", 2, 0},
      {"\t\n\v\f\r 7", 7, 0},
      {" - 5", 0, 0},
      {"2147483647", INT_MAX, INT_MAX},
      {"2147483648", INT_MAX, INT_MAX},
      {"99999999999999999999999", INT_MAX, INT_MAX},
      {"-2147483648", INT_MIN, INT_MIN},
      {"-2147483649", INT_MIN, INT_MIN},
      {"-99999999999999999999999", INT_MIN, INT_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AtoiClamped(c.text), c.atoi) << "text '" << c.text << "'";
    EXPECT_EQ(LeadingIntClamped(c.text), c.leading) << "text '" << c.text << "'";
  }
  // A digit after an embedded NUL is not part of the number.
  EXPECT_EQ(AtoiClamped(std::string("1\0" "2", 3)), 1);
}

TEST(SplitToMapTest, NumbersFieldsFromOne) {
  const struct {
    char delimiter;
    std::string text;
    bool result;
    FieldMap expected;
  } kCases[] = {
      {';', "a;b", true, {{1, "a"}, {2, "b"}}},
      {';', "a;;b", true, {{1, "a"}, {2, ""}, {3, "b"}}},
      {';', "a;b;", true, {{1, "a"}, {2, "b"}}},  // a trailing delimiter adds no field
      {';', "a;b;;", true, {{1, "a"}, {2, "b"}, {3, ""}}},
      {';', ";a", true, {{1, ""}, {2, "a"}}},
      {';', ";", true, {{1, ""}}},
      {';', "x", true, {{1, "x"}}},
      {'$', "1$2;3", true, {{1, "1"}, {2, "2;3"}}},
      {';', "", false, {}},
  };
  for (const auto& c : kCases) {
    FieldMap fields = {{1, "stale"}, {9, "stale"}};  // emptied first in every case
    EXPECT_EQ(SplitToMap(c.delimiter, c.text, fields), c.result) << "'" << c.text << "'";
    EXPECT_EQ(fields, c.expected) << "'" << c.text << "'";
  }
}

TEST(LookupTest, AbsentEntriesReadAsEmpty) {
  const FieldMap fields = {{1, "first"}, {2, ""}, {5, "fifth"}};
  EXPECT_EQ(LookupField(fields, 1), "first");
  EXPECT_EQ(LookupField(fields, 5), "fifth");
  EXPECT_EQ(LookupField(fields, 2), "");
  EXPECT_EQ(LookupField(fields, 3), "");
  EXPECT_EQ(LookupField(fields, -1), "");
  EXPECT_EQ(LookupField(FieldMap(), 1), "");

  const TextMap texts = {{"TranCode", "Sale"}, {"Memo", ""}};
  EXPECT_EQ(LookupString(texts, "TranCode"), "Sale");
  EXPECT_EQ(LookupString(texts, "Memo"), "");
  EXPECT_EQ(LookupString(texts, "trancode"), "");  // keys are case-sensitive
  EXPECT_EQ(LookupString(texts, ""), "");
  EXPECT_EQ(LookupString(TextMap(), "TranCode"), "");
}

TEST(FormattingTest, IntToStrIsDecimal) {
  EXPECT_EQ(IntToStr(0), "0");
  EXPECT_EQ(IntToStr(-5), "-5");
  EXPECT_EQ(IntToStr(9949), "9949");
  EXPECT_EQ(IntToStr(INT_MAX), "2147483647");
  EXPECT_EQ(IntToStr(INT_MIN), "-2147483648");
}

TEST(FormattingTest, FormatStringFormatsLikePrintf) {
  EXPECT_EQ(FormatString("Queued:%03d:%03d", 1, 12), "Queued:001:012");
  EXPECT_EQ(FormatString("%s=%s", "TranCode", "Sale"), "TranCode=Sale");
  EXPECT_EQ(FormatString("%s", ""), "");
  const std::string big(10000, 'x');
  EXPECT_EQ(FormatString("[%s]", big.c_str()), "[" + big + "]");
}

TEST(FormattingTest, SystemErrorTextKeepsTheLineEnd) {
  EXPECT_EQ(SystemErrorText(2), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(SystemErrorText(0xDEADBEEF), "");
}

TEST(MaskTest, MaskAccountNumberKeepsLastFour) {
  const struct {
    std::string in;
    std::string expected;
  } kCases[] = {
      {"4111111111111111", "XXXXXXXXXXXX1111"},
      {"12345", "X2345"},
      {"1234", "1234"},
      {"123", "123"},
      {"", ""},
  };
  for (const auto& c : kCases) EXPECT_EQ(MaskAccountNumber(c.in), c.expected) << c.in;
}

TEST(MaskTest, MaskLastFourHidesLastFour) {
  const struct {
    std::string in;
    std::string expected;
  } kCases[] = {
      {"4111111111111111", "411111111111XXXX"},
      {"12345", "1XXXX"},
      {"1234", "XXXX"},
      {"123", "123"},
      {"", ""},
  };
  for (const auto& c : kCases) EXPECT_EQ(MaskLastFour(c.in), c.expected) << c.in;
}

TEST(AmountCheckTest, IsAmountText) {
  const struct {
    std::string text;
    bool expected;
  } kCases[] = {
      {"0.00", true},
      {"123456.78", true},   // 9 characters
      {"-1234.56", true},    // 8 characters with '-'
      {"-0.01", true},
      {".00", true},         // shortest form
      {"12.50-", false},     // '.' not three from the end
      {"--1.00", true},      // where and how often '-' occurs is not checked
      {"1.5", false},
      {".5", false},
      {"", false},
      {"1234567.89", false},   // 10 characters
      {"-12345.67", false},    // 9 characters with '-'
      {"12345678.90", false},  // 11 characters
      {"1.2.34", false},       // second '.'
      {"1,000.00", false},
      {"+1.00", false},
      {"1 2.00", false},
      {"12a.45", false},
      {"1.234", false},
  };
  for (const auto& c : kCases) EXPECT_EQ(IsAmountText(c.text), c.expected) << "'" << c.text << "'";
}

TEST(AmountCheckTest, IsQuantityText) {
  const struct {
    std::string text;
    bool expected;
  } kCases[] = {
      {"1.000", true},   {"999.999", true}, {".000", true},     {"-1.000", true},
      {"1.00", false},   {"1234.567", false}, {"1..000", false}, {"a.000", false},
      {"", false},       {"1.0000", false},
  };
  for (const auto& c : kCases) EXPECT_EQ(IsQuantityText(c.text), c.expected) << "'" << c.text << "'";
}

TEST(AmountConversionTest, NormalizeAmountText) {
  const struct {
    std::string in;
    std::string expected;
  } kCases[] = {
      {"12.5", "12.50"},
      {"12.50", "12.50"},
      {"C12.50", "-12.50"},
      {"12.50-", "-12.50"},
      {"C-1.00", "-1.00"},     // both marks: negative once
      {"1.999", "1.99"},       // cut, not rounded
      {"", "0.00"},
      {"+7", "0.07"},
      {"5", "0.05"},           // no '.': cents
      {"1250", "12.50"},
      {".5", "0.50"},
      {"12.", "12.00"},
      {" 1 2.5 ", "12.50"},
      {"-0.01", "-0.01"},
      {"0012.50", "0012.50"},  // leading zeros stay
      {"-2147483648", "-21474836.48"},
      {kFortyDigits, kFortyDigits.substr(0, 38) + "." + kFortyDigits.substr(38)},
      {kFortyDigits + ".999", kFortyDigits + ".99"},
  };
  for (const auto& c : kCases) EXPECT_EQ(NormalizeAmountText(c.in), c.expected) << "'" << c.in << "'";
}

TEST(AmountConversionTest, AmountTextToCents) {
  const struct {
    std::string in;
    int32_t expected;
  } kCases[] = {
      {"12.5", 1250},
      {"C1.00", -100},
      {"5", 5},
      {"12.50-", -1250},
      {"1.999", 199},
      {"0.00", 0},
      {"-0.01", -1},
      {"+7.00", 700},
      {"", 0},
      {"   ", 0},
      {"-", 0},
      {"abc", 0},
      {"$5.00", 0},         // no leading digits
      {"12x.50", 12},       // only the leading digits count
      {"21474836.47", kMaxCents},
      {"-21474836.48", kMinCents},
      // Beyond the int32 range the result is clamped, whatever the length.
      {"21474836.48", kMaxCents},
      {"-21474836.49", kMinCents},
      {kFortyDigits, kMaxCents},
      {kFortyDigits + ".00", kMaxCents},
      {"-" + kFortyDigits, kMinCents},
      {"C" + kFortyDigits + ".99", kMinCents},
      {std::string(40, '0') + "1.23", 123},  // long but small
  };
  for (const auto& c : kCases) EXPECT_EQ(AmountTextToCents(c.in), c.expected) << "'" << c.in << "'";
}

TEST(AmountConversionTest, CentsToAmountText) {
  const struct {
    int32_t cents;
    std::string expected;
  } kCases[] = {
      {5, "0.05"},         {-1250, "-12.50"},  {0, "0.00"},
      {-5, "-0.05"},       {100, "1.00"},      {123456, "1234.56"},
      {kMaxCents, "21474836.47"},
      {kMinCents, "-21474836.48"},
  };
  for (const auto& c : kCases) EXPECT_EQ(CentsToAmountText(c.cents), c.expected) << c.cents;
}

TEST(AmountConversionTest, CentsRoundTripThroughText) {
  for (int32_t cents : {0, 1, -1, 99, -100, 1250, 999999, kMaxCents, kMinCents, kMinCents + 1}) {
    const std::string text = CentsToAmountText(cents);
    EXPECT_EQ(AmountTextToCents(text), cents) << text;
    EXPECT_EQ(NormalizeAmountText(text), text);
  }
}

}  // namespace
