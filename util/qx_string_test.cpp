#include "util/qx_string.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::string Bytes(const qxString& s) { return s.str(); }

// FormatV with a null format, reached through an argument list as callers do.
size_t FormatWithNullFormat(qxString* s, ...) {
  const char* volatile noFormat = nullptr;
  va_list args;
  va_start(args, s);
  const size_t n = s->FormatV(noFormat, args);
  va_end(args);
  return n;
}

TEST(QxStringTest, ConstructionForms) {
  const qxString abc("abc");
  const char* none = nullptr;
  const qxString* nullString = nullptr;
  struct Case {
    const char* name;
    qxString value;
    std::string expected;
  } cases[] = {
      {"null C text", qxString(none), ""},
      {"counted", qxString("abcdef", 3), "abc"},
      {"counted with NUL", qxString("a\0b", 3), std::string("a\0b", 3)},
      {"pointer to string", qxString(&abc), "abc"},
      {"null string pointer", qxString(nullString), ""},
      {"count of char", qxString(size_t{3}, 'x'), "xxx"},
      {"one char", qxString('q'), "q"},
      {"repeated", qxString(abc, 2), "abcabc"},
      {"repeated zero", qxString(abc, 0), ""},
      {"repeated empty", qxString(qxString(), 5), ""},
      {"bool style 1", qxString(true, 1), "true"},
      {"bool style 2", qxString(false, 2), "0"},
      {"bool style 3", qxString(true, 3), "Y"},
      {"bool style 9", qxString(true, 9), ""},
      {"double", qxString(1.5), "+1.500000000000000"},
      {"negative double", qxString(-2.0), "-2.000000000000000"},
      {"float", qxString(0.25f), "+0.250000000000000"},
      {"unsigned char", qxString(static_cast<unsigned char>(255)), "255"},
      {"short", qxString(static_cast<short>(-5)), "-5"},
      {"unsigned short", qxString(static_cast<unsigned short>(65535)), "65535"},
      {"int min", qxString(INT_MIN), "-2147483648"},
      {"unsigned int max", qxString(4294967295u), "4294967295"},
      {"long min", qxString(LONG_MIN), std::to_string(LONG_MIN)},
      {"unsigned long max", qxString(ULONG_MAX), std::to_string(ULONG_MAX)},
  };
  for (const Case& c : cases) EXPECT_EQ(Bytes(c.value), c.expected) << c.name;
  EXPECT_THROW(qxString(qxString::npos, 'x'), std::length_error);
}

TEST(QxStringTest, AssignmentAndAppending) {
  const char* none = nullptr;
  qxString s("keep");
  s = none;
  EXPECT_EQ(Bytes(s), "");
  s = "abc";
  s += none;
  EXPECT_EQ(Bytes(s), "abc");
  s += false;
  EXPECT_EQ(Bytes(s), "abcfalse");

  s.AssignBool(true, 9);
  EXPECT_EQ(Bytes(s), "abcfalse");
  s.AssignBool(false, 3);
  EXPECT_EQ(Bytes(s), "N");

  const qxString* nullString = nullptr;
  s = nullString;
  EXPECT_EQ(Bytes(s), "");

  qxString other("0123456789");
  s.Assign(other, 7, qxString::npos);
  EXPECT_EQ(Bytes(s), "789");
  s.Append(other, 0, 2);
  EXPECT_EQ(Bytes(s), "78901");
  EXPECT_THROW(s.Assign(other, 11, 1), std::out_of_range);
  EXPECT_THROW(s.Append(other, 11, 1), std::out_of_range);

  s = "x";
  s += 'y';
  s += 42;
  s += -7L;
  s += 4294967295u;
  s += static_cast<unsigned short>(7);
  EXPECT_EQ(Bytes(s), "xy42-742949672957");

  qxString d;
  EXPECT_EQ(Bytes(d.FromDouble(3.0, false)), "+3.000000000000000");
  EXPECT_EQ(Bytes(d), "");
  d.FromDouble(-0.5, true);
  EXPECT_EQ(Bytes(d), "-0.500000000000000");

  qxString p("cd");
  p.Prepend("ab", 2).Prepend(qxString("xyz"), 1, 1);
  EXPECT_EQ(Bytes(p), "yabcd");

  const char16_t wide[] = {u'A', 0x263A, u'b', 0};
  qxString w("<");
  w.AppendWide(wide).AppendWide(nullptr);
  EXPECT_EQ(Bytes(w), "<A\x3A" "b");
}

TEST(QxStringTest, Substrings) {
  const qxString abc("abc");
  EXPECT_EQ(Bytes(abc.Right(2)), "bc");
  EXPECT_EQ(Bytes(abc.Right(5)), "abc");
  EXPECT_EQ(Bytes(qxString().Right(1)), "");
  EXPECT_EQ(Bytes(abc.Left(0)), "");
  EXPECT_EQ(Bytes(abc.Left(9)), "abc");
  EXPECT_EQ(Bytes(abc.Mid(1)), "bc");
  EXPECT_EQ(Bytes(abc.Substr(1, 1)), "b");
  EXPECT_EQ(Bytes(abc.Segment(3)), "");
  EXPECT_THROW(abc.Mid(4), std::out_of_range);
  EXPECT_EQ(abc.GetAt(1), 'b');
  EXPECT_EQ(abc.GetAt(3), '\0');
}

TEST(QxStringTest, Cut) {
  struct Case {
    const char* text;
    size_t pos, count;
    const char* taken;
    const char* left;
  } cases[] = {
      {"abcdef", 2, qxString::npos, "cdef", "ab"},
      {"abcdef", 6, 1, "", "abcdef"},
      {"abcdef", 1, 2, "bc", "adef"},
      {"abcdef", 4, 10, "ef", "abcd"},
      {"", 0, 1, "", ""},
  };
  for (const Case& c : cases) {
    qxString s(c.text);
    EXPECT_EQ(Bytes(s.Cut(c.pos, c.count)), c.taken) << c.text << " at " << c.pos;
    EXPECT_EQ(Bytes(s), c.left) << c.text << " at " << c.pos;
  }
}

TEST(QxStringTest, Insert) {
  struct Case {
    const char* text;
    size_t pos;
    const char* other;
    size_t start, end;
    size_t length;
    const char* result;
  } cases[] = {
      {"ab", 1, "XYZ", 1, 2, 3, "aYb"},
      {"ab", 5, "XYZ", 1, 2, 2, "ab"},
      {"ab", 2, "XYZ", qxString::npos, 0, 5, "abXYZ"},
      {"ab", 0, "", qxString::npos, 0, 2, "ab"},
      {"ab", 0, "XYZ", 3, 5, 2, "ab"},
      {"ab", 0, "XYZ", 1, qxString::npos, 4, "YZab"},
      {"ab", 1, "XYZ", 0, 99, 5, "aXYZb"},
      {"ab", 1, "XYZ", 1, 1, 2, "ab"},
  };
  for (const Case& c : cases) {
    qxString s(c.text);
    EXPECT_EQ(s.Insert(c.pos, qxString(c.other), c.start, c.end), c.length) << c.result;
    EXPECT_EQ(Bytes(s), c.result);
  }
}

TEST(QxStringTest, NumericConversions) {
  struct Case {
    const char* text;
    long asLong;
    unsigned long asULong;
    double asDouble;
  } cases[] = {
      {"", 0, 0, 0},
      {"  -12abc", -12, static_cast<unsigned long>(-12L), -12},
      {"+7", 7, 7, 7},
      {"3.5e2", 3, 3, 350},
      {"x1", 0, 0, 0},
      {"4294967295", 4294967295L, 4294967295UL, 4294967295.0},
  };
  for (const Case& c : cases) {
    const qxString s(c.text);
    EXPECT_EQ(s.ToLong(), c.asLong) << c.text;
    EXPECT_EQ(s.ToULong(), c.asULong) << c.text;
    EXPECT_DOUBLE_EQ(s.ToDouble(), c.asDouble) << c.text;
  }
  EXPECT_EQ(qxString("4294967295").ToUInt(), 4294967295u);
  EXPECT_EQ(qxString("70000").ToUShort(), static_cast<unsigned short>(70000));
  EXPECT_EQ(qxString("-5").ToShort(), -5);
  EXPECT_EQ(qxString("12").ToInt(), 12);
  EXPECT_FLOAT_EQ(qxString("0.5").ToFloat(), 0.5f);
  // Far out of range: saturated by strtol, then narrowed without undefined behaviour.
  EXPECT_EQ(qxString("99999999999999999999").ToLong(), LONG_MAX);
  (void)qxString("99999999999999999999").ToShort();
}

// The 32-bit readings saturate as strtol and strtoul do with a 32-bit long.
TEST(QxStringTest, IntAndUIntSaturateLikeA32BitLong) {
  struct Case {
    const char* text;
    int asInt;
    unsigned int asUInt;
  } cases[] = {
      {"", 0, 0u},
      {"2147483647", INT_MAX, 2147483647u},
      {"2147483648", INT_MAX, 2147483648u},
      {"3000000000", INT_MAX, 3000000000u},
      {"-2147483648", INT_MIN, 2147483648u},
      {"-2147483649", INT_MIN, 2147483647u},
      {"-3000000000", INT_MIN, 1294967296u},
      {"4294967295", INT_MAX, UINT_MAX},
      {"4294967296", INT_MAX, UINT_MAX},
      {"-4294967295", INT_MIN, 1u},
      {"-4294967296", INT_MIN, UINT_MAX},
      {"99999999999999999999", INT_MAX, UINT_MAX},
      {"-99999999999999999999", INT_MIN, UINT_MAX},
      {"18446744073709551615", INT_MAX, UINT_MAX},
      {"-18446744073709551615", INT_MIN, UINT_MAX},
      {"-1", -1, UINT_MAX},
      {"-0", 0, 0u},
      {" \t+3000000000x", INT_MAX, 3000000000u},
      {"  -7 apples", -7, 4294967289u},
      {"-", 0, 0u},
      {"abc", 0, 0u},
  };
  for (const Case& c : cases) {
    const qxString s(c.text);
    EXPECT_EQ(s.ToInt(), c.asInt) << c.text;
    EXPECT_EQ(s.ToUInt(), c.asUInt) << c.text;
    EXPECT_EQ(s.ToShort(), static_cast<short>(c.asInt)) << c.text;
    EXPECT_EQ(s.ToUShort(), static_cast<unsigned short>(c.asUInt)) << c.text;
  }
}

TEST(QxStringTest, FormatBasics) {
  qxString s("old");
  EXPECT_EQ(s.Format("%d-%s", 7, "ab"), 4u);
  EXPECT_EQ(Bytes(s), "7-ab");
  EXPECT_EQ(FormatWithNullFormat(&s, 1), 0u);
  EXPECT_EQ(Bytes(s), "");
  s = "old";
  EXPECT_EQ(s.Format("%s", ""), 0u);
  EXPECT_EQ(Bytes(s), "");
  EXPECT_EQ(Bytes(qx::FormattedText("%05.1f|%c|%%", 2.25, 'z')), "002.2|z|%");
}

// The formatted text is exactly what snprintf makes, whatever the argument: a
// pointer, a long, a size, a long double with thousands of digits, a long text.
TEST(QxStringTest, FormatMatchesSnprintfExactly) {
  auto reference = [](auto... args) {
    const int n = std::snprintf(nullptr, 0, args...);
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), args...);
    out.resize(static_cast<size_t>(n));
    return out;
  };
  int local = 0;
  const std::string longText(100000, 'L');
  struct Result {
    const char* name;
    std::string got;
    std::string want;
  } results[] = {
      {"%p", qx::FormattedText("%p", static_cast<void*>(&local)).str(),
       reference("%p", static_cast<void*>(&local))},
      {"%p null", qx::FormattedText("[%p]", static_cast<void*>(nullptr)).str(),
       reference("[%p]", static_cast<void*>(nullptr))},
      {"%ld", qx::FormattedText("%ld|%ld", LONG_MIN, LONG_MAX).str(),
       reference("%ld|%ld", LONG_MIN, LONG_MAX)},
      {"%zu", qx::FormattedText("%zu", SIZE_MAX).str(), reference("%zu", SIZE_MAX)},
      {"%Lf", qx::FormattedText("%Lf", LDBL_MAX).str(), reference("%Lf", LDBL_MAX)},
      {"%.3000Lf", qx::FormattedText("%.3000Lf", 1.0L / 3).str(), reference("%.3000Lf", 1.0L / 3)},
      {"%f big", qx::FormattedText("%f", DBL_MAX).str(), reference("%f", DBL_MAX)},
      {"%*d", qx::FormattedText("%*d", 5000, 1).str(), reference("%*d", 5000, 1)},
      {"%s long", qx::FormattedText("<%s>", longText.c_str()).str(),
       reference("<%s>", longText.c_str())},
      {"%#x %o %lu", qx::FormattedText("%#x %o %lu", 255u, 8u, ULONG_MAX).str(),
       reference("%#x %o %lu", 255u, 8u, ULONG_MAX)},
  };
  for (const Result& r : results) {
    EXPECT_EQ(r.got.size(), r.want.size()) << r.name;
    EXPECT_TRUE(r.got == r.want) << r.name;
  }
  EXPECT_GT(qx::FormattedText("%Lf", LDBL_MAX).GetLength(), 4900u);
}

TEST(QxStringTest, EmptyWipeAndIsEmpty) {
  qxString s("abc");
  s.Wipe();
  EXPECT_EQ(Bytes(s), std::string(3, '\0'));
  EXPECT_FALSE(s.IsEmpty());
  s.Empty(true);
  EXPECT_TRUE(s.IsEmpty());

  EXPECT_TRUE(qxString("\t\r  ").IsEmpty(true));
  EXPECT_FALSE(qxString("\t\r  ").IsEmpty(false));
  EXPECT_FALSE(qxString(" x ").IsEmpty(true));
  EXPECT_FALSE(qxString("\0", 1).IsEmpty(true));
  EXPECT_TRUE(qxString().IsEmpty(true));
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(QxStringTest, Compare) {
  struct Case {
    const char* a;
    const char* b;
    bool caseSensitive, prefixOnly, ignoreTrailing;
    int sign;
  } cases[] = {
      {"abc", "ABD", false, false, false, -1},
      {"abc", "ABC", false, false, false, 0},
      {"abc", "ABC", true, false, false, 1},
      {"abc", "abcd", true, true, false, 0},
      {"abc", "abcd", true, false, false, -1},
      {"", "x", true, false, false, -1},
      {"x", "", true, true, false, 1},
      {"", "", true, false, false, 0},
      {"ab \t", "ab", true, false, true, 0},
      {"ab \t", "ab", true, false, false, 1},
      {"  ", "", true, false, true, 0},
      {"\xE9", "a", true, false, false, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(qxString(c.a).Compare(qxString(c.b), c.caseSensitive, c.prefixOnly,
                                         c.ignoreTrailing)),
              c.sign)
        << '"' << c.a << "\" vs \"" << c.b << '"';
  }
}

TEST(QxStringTest, OrdersBytewiseForSetsAndMaps) {
  const std::set<qxString> words = {qxString("b"), qxString("ab"), qxString("a"),
                                    qxString("a\0z", 3)};
  std::vector<std::string> order;
  for (const qxString& w : words) order.push_back(w.str());
  EXPECT_EQ(order, (std::vector<std::string>{"a", std::string("a\0z", 3), "ab", "b"}));
  EXPECT_NE(qxString("a\0b", 3), qxString("a\0c", 3));
}

TEST(QxExceptionTest, CarriesFormattedMessage) {
  try {
    throw qxException("Invalid hour: %d, valid hours: %d through %d.", 24, 0, 23);
  } catch (const qxException& e) {
    EXPECT_EQ(Bytes(e.m_Message), "Invalid hour: 24, valid hours: 0 through 23.");
    const qxException copy(e);
    EXPECT_EQ(Bytes(copy.GetMessage()), Bytes(e.GetMessage()));
  }
  const qxException fromText(qxString("100% done"));
  EXPECT_EQ(Bytes(fromText.m_Message), "100% done");
}

TEST(QxSecureStringTest, IsAStringThatWipes) {
  qxSecureString secret("pin");
  secret += "1234";
  EXPECT_EQ(Bytes(secret), "pin1234");
  secret.Wipe();
  EXPECT_EQ(Bytes(secret), std::string(7, '\0'));
}

}  // namespace
