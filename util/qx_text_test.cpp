#include "util/qx_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr size_t npos = qxString::npos;

std::vector<std::string> Texts(const std::vector<qxString>& pieces) {
  std::vector<std::string> out;
  for (const qxString& p : pieces) out.push_back(p.str());
  return out;
}

TEST(QxTextTest, Trimming) {
  struct Case {
    const char* text;
    const char* set;  // null: the whitespace forms
    bool setMode;
    int side;  // 0 left, 1 right, 2 both
    const char* result;
  } cases[] = {
      {" \t a b \r\n", nullptr, true, 2, "a b"},
      {" \t a b \r\n", nullptr, true, 0, "a b \r\n"},
      {" \t a b \r\n", nullptr, true, 1, " \t a b"},
      {"000", "0", true, 0, ""},
      {"00120", "0", true, 2, "12"},
      {"ababc", "ab", false, 0, "abc"},
      {"ababc", "ab", true, 0, "c"},
      {"xabab", "ab", false, 1, "xab"},
      {"ab", "abc", false, 0, "ab"},
      {"abc", "", true, 2, "abc"},
  };
  for (const Case& c : cases) {
    qxString s(c.text);
    if (c.set == nullptr) {
      if (c.side == 0) s.TrimLeft();
      if (c.side == 1) s.TrimRight();
      if (c.side == 2) s.Trim();
    } else {
      const qxString set(c.set);
      if (c.side == 0) s.TrimLeft(set, c.setMode);
      if (c.side == 1) s.TrimRight(set, c.setMode);
      if (c.side == 2) s.Trim(set, c.setMode);
    }
    EXPECT_EQ(s.str(), c.result) << '"' << c.text << "\" side " << c.side;
  }
  EXPECT_EQ(qx::Trimmed(qxString("  x ")).str(), "x");
  EXPECT_EQ(qx::Trimmed(qxString("--x--"), qxString("-"), true).str(), "x");
}

TEST(QxTextTest, StartsAndEndsWith) {
  struct Case {
    const char* text;
    const char* affix;
    bool caseSensitive, skipWhitespace;
    bool starts, ends;
  } cases[] = {
      {"abc", "", true, false, false, false},
      {"", "", true, false, true, true},
      {"  Hello", "HEL", false, true, true, false},
      {"  Hello", "HEL", true, true, false, false},
      {"  Hello", "Hel", true, false, false, false},
      {"Hello  ", "LO", false, true, false, true},
      {"Hello  ", "lo", true, false, false, false},
      {"ab", "abc", true, false, false, false},
      {"   ", "a", true, true, false, false},
      {"abcabc", "abc", true, false, true, true},
  };
  for (const Case& c : cases) {
    const qxString s(c.text);
    EXPECT_EQ(s.StartsWith(qxString(c.affix), c.caseSensitive, c.skipWhitespace), c.starts)
        << '"' << c.text << "\" / \"" << c.affix << '"';
    EXPECT_EQ(s.EndsWith(qxString(c.affix), c.caseSensitive, c.skipWhitespace), c.ends)
        << '"' << c.text << "\" / \"" << c.affix << '"';
  }
  EXPECT_EQ(qxString("[x]").EndCharsInSet(qxString("[]"), 3), 3);
  EXPECT_EQ(qxString("[x").EndCharsInSet(qxString("[]"), 3), 1);
  EXPECT_EQ(qxString("x]").EndCharsInSet(qxString("[]"), 1), 0);
  EXPECT_EQ(qxString("").EndCharsInSet(qxString("[]"), 3), 0);
}

TEST(QxTextTest, Find) {
  const std::string withNul("ab\0cab", 6);
  struct Case {
    std::string text;
    std::string find;
    bool caseSensitive;
    size_t n;
    bool fromEnd;
    size_t expected;
  } cases[] = {
      {"abcabc", "b", true, 2, false, 4},
      {"abcabc", "b", true, 3, false, npos},
      {"abcabc", "b", true, 1, true, 4},
      {"abcabc", "b", true, 0, false, npos},
      {"abcabc", "BC", false, 2, false, 4},
      {"abcabc", "BC", true, 1, false, npos},
      {"aaaa", "aa", true, 1, true, 2},
      {"aaaa", "aa", true, 2, true, 0},
      {"aaaa", "aa", true, 2, false, 2},
      {"aaaa", "aa", true, 3, false, npos},
      {"", "a", true, 1, false, npos},
      {"abc", "", true, 1, false, npos},
      {"ab", "abc", true, 1, false, npos},
      // A match of two or more characters never spans a NUL.
      {withNul, "b", true, 1, false, 1},
      {withNul, std::string("b\0c", 3), true, 1, false, npos},
      {withNul, "ab", true, 2, false, 4},
      {withNul, std::string("\0", 1), true, 1, false, 2},
      {std::string("a\0a", 3), "aa", true, 1, false, npos},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qxString(c.text).Find(qxString(c.find), c.caseSensitive, c.n, c.fromEnd), c.expected)
        << "find \"" << c.find << "\" n " << c.n << (c.fromEnd ? " from end" : "");
  }
  const qxString abc("abcabc");
  EXPECT_EQ(abc.Find(2, qxString("a")), 3u);
  EXPECT_EQ(abc.Find(2, qxString("a"), true, 1, true), 3u);
  EXPECT_EQ(abc.Find(6, qxString("a")), npos);
  EXPECT_EQ(abc.Find(4, qxString("a")), npos);
}

TEST(QxTextTest, FindAllAndCount) {
  std::vector<int> positions = {99};
  EXPECT_EQ(qxString("aXbxc").FindAll(qxString("x"), positions, false), 2u);
  EXPECT_EQ(positions, (std::vector<int>{99, 1, 3}));

  struct Case {
    const char* text;
    const char* find;
    size_t max;
    size_t count;
    size_t first;
  } cases[] = {
      {"aaaa", "aa", npos, 2, 0},
      {"aaaa", "a", 3, 3, 0},
      {"xxab", "ab", npos, 1, 2},
      {"", "a", npos, 0, npos},
      {"abc", "", npos, 0, npos},
      {"abab", "ab", 0, 0, npos},
  };
  for (const Case& c : cases) {
    size_t first = npos;
    EXPECT_EQ(qxString(c.text).Count(qxString(c.find), true, c.max, &first), c.count) << c.text;
    EXPECT_EQ(first, c.first) << c.text;
  }
}

TEST(QxTextTest, FindOneOfAndCharClasses) {
  const qxString s("a,b;c");
  EXPECT_EQ(s.FindOneOf(qxString(",;"), npos, true, true), 3u);
  EXPECT_EQ(s.FindOneOf(qxString(",;")), 1u);
  EXPECT_EQ(s.FindOneOf(qxString(",;"), 2), 3u);
  EXPECT_EQ(s.FindOneOf(qxString(",;"), 5), npos);
  EXPECT_EQ(s.FindOneOf(qxString(""), 0), npos);
  EXPECT_EQ(s.FindOneOf(qxString("B"), 0, false), 2u);
  EXPECT_EQ(s.FindOneOf(qxString("B"), 0, true), npos);
  EXPECT_EQ(s.FindOneOf(qxString(","), 0, true, true), npos);
  EXPECT_EQ(s.FindNotOneOf(qxString("a,"), 0), 2u);
  EXPECT_EQ(s.FindNotOneOf(qxString("c;"), npos, true, true), 2u);
  EXPECT_EQ(qxString("").FindNotOneOf(qxString("x")), npos);

  struct Case {
    const char* text;
    int flags;
    size_t start;
    bool backwards, negate;
    size_t expected;
  } cases[] = {
      {"ab1", 2, 0, false, false, 2},
      {"AbC", 8, npos, true, false, 2},
      {"AbC", 16, npos, true, false, 1},
      {"AbC", 8, 1, true, false, 0},
      {"ab1", 2, 3, false, false, npos},
      {"ab1", 2, npos, false, false, npos},
      {"", 2, 0, false, false, npos},
      {"  x", 1, 0, false, true, 2},
      {"\x01z", 32, 0, false, false, 0},
      {"f9g", 4, 0, false, true, 2},
      {"\xE9\xFF" "A", 8 | 16, 0, false, false, 2},
      {"\xE9\xFF" "A", 64, 0, false, true, 0},
  };
  for (const Case& c : cases) {
    const qxString t(c.text);
    const size_t got = c.negate ? t.FindNotCharClass(c.flags, c.start, c.backwards)
                                : t.FindCharClass(c.flags, c.start, c.backwards);
    EXPECT_EQ(got, c.expected) << '"' << c.text << "\" flags " << c.flags;
  }
}

TEST(QxTextTest, FindTextNoCase) {
  const char* text = "Hello World";
  EXPECT_EQ(qx::FindTextNoCase(text, "WORLD"), text + 6);
  EXPECT_EQ(qx::FindTextNoCase(text, ""), text);
  EXPECT_EQ(qx::FindTextNoCase(text, "worlds"), nullptr);
  EXPECT_EQ(qx::FindTextNoCase(nullptr, "a"), nullptr);
  const char* high = "\xC9T\xC9";
  EXPECT_EQ(qx::FindTextNoCase(high, "t\xC9"), high + 1);
}

TEST(QxTextTest, Replace) {
  struct Case {
    const char* text;
    const char* find;
    const char* with;
    bool caseSensitive;
    size_t max;
    size_t count;
    const char* result;
  } cases[] = {
      {"aaaa", "aa", "b", true, npos, 2, "bb"},
      {"aa", "a", "aa", true, npos, 2, "aaaa"},
      {"abab", "ab", "x", true, 1, 1, "xab"},
      {"abab", "ab", "ab", true, npos, 0, "abab"},
      {"AbaB", "ab", "-", false, npos, 2, "--"},
      {"AbaB", "ab", "-", true, npos, 0, "AbaB"},
      {"abc", "", "x", true, npos, 0, "abc"},
      {"", "a", "x", true, npos, 0, ""},
      {"a.b.c", ".", "::", true, npos, 2, "a::b::c"},
      {"a.b.c", ".", "", true, npos, 2, "abc"},
      {"a.b.c", ".", "/", true, 1, 1, "a/b.c"},
      {"xyz", "q", "r", true, npos, 0, "xyz"},
  };
  for (const Case& c : cases) {
    qxString s(c.text);
    EXPECT_EQ(s.Replace(qxString(c.find), qxString(c.with), c.caseSensitive, c.max), c.count)
        << c.text << " " << c.find << "->" << c.with;
    EXPECT_EQ(s.str(), c.result) << c.text << " " << c.find << "->" << c.with;
  }
  qxString s("aAbA");
  EXPECT_EQ(s.ReplaceChar('a', 'x', false, 2), 2u);
  EXPECT_EQ(s.str(), "xxbA");
  EXPECT_EQ(s.ReplaceChar('b', 'b'), 0u);
  EXPECT_EQ(qx::Replaced(qxString("a-b"), qxString("-"), qxString("+")).str(), "a+b");
  EXPECT_EQ(qx::ReplacedChar(qxString("a-b"), '-', '+').str(), "a+b");
}

TEST(QxTextTest, Split) {
  struct Case {
    const char* text;
    const char* delimiters;
    bool trim, keepEmpty;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a,b", ",", false, false, {"a", "b"}},
      {"a,,b", ",", false, false, {"a", "b"}},
      {"a,,b", ",", false, true, {"a", "", "b"}},
      {",a", ",", false, false, {"a"}},
      {",a", ",", false, true, {"", "a"}},
      {"a,b,", ",", false, false, {"a", "b"}},
      {"a,b,", ",", false, true, {"a", "b"}},
      {"a, ", ",", true, false, {"a", ""}},
      {" a , b ", ",", true, false, {"a", "b"}},
      {"a, ,b", ",", true, false, {"a", "b"}},
      {"a, ,b", ",", true, true, {"a", "", "b"}},
      {"a;b,c", ",;", false, false, {"a", "b", "c"}},
      {" x ", "", true, false, {" x "}},
      {"", ",", false, true, {}},
  };
  for (const Case& c : cases) {
    std::vector<qxString> pieces = {qxString("stale")};
    EXPECT_EQ(qxString(c.text).Split(qxString(c.delimiters), pieces, c.trim, c.keepEmpty),
              c.pieces.size())
        << '"' << c.text << '"';
    EXPECT_EQ(Texts(pieces), c.pieces) << '"' << c.text << '"';
  }
  std::vector<qxString> runs;
  EXPECT_EQ(qxString("aabccc").SplitRuns(runs), 3u);
  EXPECT_EQ(Texts(runs), (std::vector<std::string>{"aa", "b", "ccc"}));
  EXPECT_EQ(qxString("").SplitRuns(runs), 0u);
}

TEST(QxTextTest, CaseOrderAndShape) {
  qxString s("abcDEF");
  s.MakeUpper(3);
  EXPECT_EQ(s.str(), "abcDEF");
  s.MakeUpper(1);
  EXPECT_EQ(s.str(), "aBCDEF");
  s.MakeLower(99);  // past the end: the whole string
  EXPECT_EQ(s.str(), "abcdef");
  // Bytes above 127 go to the C library as unsigned values and stay unchanged.
  EXPECT_EQ(qx::ToUpper(qxString("\xE9\xFFz")).str(), "\xE9\xFFZ");
  // The conversion stops at a NUL.
  EXPECT_EQ(qx::ToUpper(qxString(std::string("a\0b", 3))).str(), std::string("A\0b", 3));
  EXPECT_EQ(qx::ToLower(qxString("ABC"), 1).str(), "Abc");

  qxString r(std::string("abc\0de", 6));
  r.MakeReverse();
  EXPECT_EQ(r.str(), std::string("cba\0de", 6));

  EXPECT_EQ(qx::Repeated(qxString("ab"), 3).str(), "ababab");
  EXPECT_EQ(qx::Repeated(qxString("ab"), 0).str(), "");

  struct PadCase {
    const char* text;
    bool atStart;
    const char* pad;
    size_t total;
    const char* result;
  } pads[] = {
      {"ab", false, "xy", 5, "abxyx"},
      {"7", true, "0", 3, "007"},
      {"ab", true, "xy", 6, "xyxyab"},
      {"abc", true, "0", 2, "abc"},
      {"ab", true, "", 5, "ab"},
  };
  for (const PadCase& c : pads) {
    qxString p(c.text);
    p.Pad(c.atStart, qxString(c.pad), c.total);
    EXPECT_EQ(p.str(), c.result);
  }

  struct FillCase {
    size_t start, end;
    const char* result;
  } fills[] = {
      {2, npos, "ab****"}, {1, 3, "a**def"}, {npos, 2, "**cdef"},
      {6, 8, "abcdef"},    {4, 99, "abcd**"}, {3, 3, "abcdef"},
  };
  for (const FillCase& c : fills) {
    qxString f("abcdef");
    f.Fill('*', c.start, c.end);
    EXPECT_EQ(f.str(), c.result) << c.start << ".." << c.end;
  }
}

TEST(QxTextTest, IsNumeric) {
  struct Case {
    const char* text;
    bool digitsOnly;
    bool expected;
  } cases[] = {
      {" -12.5", false, true}, {"1-2", false, false}, {"1.2.3", false, false},
      {".", false, false},     {"12 ", false, false}, {"   ", false, false},
      {"", false, false},      {"+.5", false, true},  {"-+1", false, false},
      {".5-", false, false},   {"0123", true, true},  {"12a", true, false},
      {" 12", true, false},    {"", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qxString(c.text).IsNumeric(c.digitsOnly), c.expected)
        << '"' << c.text << '"' << (c.digitsOnly ? " digits only" : "");
  }
}

TEST(QxTextTest, IsTrue) {
  for (const char* yes : {"yes", "On", "t", "1", "TRUE", "Y"}) {
    EXPECT_TRUE(qxString(yes).IsTrue()) << yes;
  }
  for (const char* no : {"no", "0", " yes", "", "truex", "of"}) {
    EXPECT_FALSE(qxString(no).IsTrue()) << no;
  }
  EXPECT_EQ(qx::TrueWords().size(), 6u);
}

TEST(QxTextTest, ExtractDigits) {
  EXPECT_EQ(qxString("12-34/56").ExtractDigits(0, qxString("/")).str(), "1234");
  EXPECT_EQ(qxString("12-34/56").ExtractDigits(3, qxString("")).str(), "3456");
  EXPECT_EQ(qxString("12").ExtractDigits(2, qxString("")).str(), "");
}

}  // namespace
