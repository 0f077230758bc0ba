#include "util/qx_guid.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

namespace {

bool AllHex(const std::string& s, bool upper) {
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    if (std::isalpha(static_cast<unsigned char>(c)) &&
        (upper ? !std::isupper(static_cast<unsigned char>(c))
               : !std::islower(static_cast<unsigned char>(c)))) {
      return false;
    }
  }
  return true;
}

TEST(QxGuidTest, GuidStringsAreFreshVersion4Texts) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string g = qx::CreateGuidString().str();
    ASSERT_EQ(g.size(), 36u) << g;
    for (size_t dash : {8u, 13u, 18u, 23u}) EXPECT_EQ(g[dash], '-') << g;
    std::string digits;
    for (char c : g) {
      if (c != '-') digits += c;
    }
    EXPECT_EQ(digits.size(), 32u);
    EXPECT_TRUE(AllHex(digits, false)) << g;
    EXPECT_EQ(g[14], '4') << g;                                     // version
    EXPECT_NE(std::string("89ab").find(g[19]), std::string::npos) << g;  // variant
    seen.insert(g);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(QxGuidTest, FormattedGuidLayouts) {
  const std::string braces = qx::CreateFormattedGuid('{', '}', '-').str();
  ASSERT_EQ(braces.size(), 38u) << braces;
  EXPECT_EQ(braces.front(), '{');
  EXPECT_EQ(braces.back(), '}');
  for (size_t dash : {9u, 14u, 19u, 24u}) EXPECT_EQ(braces[dash], '-') << braces;

  const std::string bare = qx::CreateFormattedGuid('\0', '\0', '\0').str();
  EXPECT_EQ(bare.size(), 32u) << bare;
  EXPECT_TRUE(AllHex(bare, true)) << bare;
  EXPECT_NE(bare, qx::CreateFormattedGuid('\0', '\0', '\0').str());
}

TEST(QxGuidTest, BytesToHexText) {
  const unsigned char bytes[] = {0x00, 0xAB, 0x0F, 0xF0};
  qxString target("stale");
  qx::BytesToHexText(bytes, 3, target);
  EXPECT_EQ(target.str(), "00AB0F");
  qx::BytesToHexText(bytes, 4, target);
  EXPECT_EQ(target.str(), "00AB0FF0");
  qx::BytesToHexText(bytes, 0, target);
  EXPECT_EQ(target.str(), "");
  target = "stale";
  qx::BytesToHexText(nullptr, 3, target);
  EXPECT_EQ(target.str(), "");
}

TEST(QxGuidTest, NarrowingAndWidening) {
  const char16_t wide[] = {u'A', 0x263A, 0};
  qxWideToNarrow narrow(wide);
  ASSERT_NE(narrow.GetText(), nullptr);
  EXPECT_EQ(std::string(narrow.GetText(), narrow.GetLength()), "A\x3A");
  EXPECT_EQ(narrow.GetText()[narrow.GetLength()], '\0');

  const char16_t withNul[] = {u'x', 0, u'y', 0};
  qxWideToNarrow counted(withNul, 3);
  EXPECT_EQ(std::string(counted.GetText(), counted.GetLength()), std::string("x\0y", 3));

  qxWideToNarrow none(nullptr);
  EXPECT_EQ(none.GetText(), nullptr);
  EXPECT_EQ(none.GetLength(), 0u);

  qxNarrowToWide widened("\xE9z");
  ASSERT_EQ(widened.GetLength(), 2u);
  EXPECT_EQ(widened.GetText()[0], 0xE9);  // zero-extended, not sign-extended
  EXPECT_EQ(widened.GetText()[1], u'z');
  EXPECT_EQ(widened.GetText()[2], 0);

  qxNarrowToWide countedWide("a\0b", 3);
  ASSERT_EQ(countedWide.GetLength(), 3u);
  EXPECT_EQ(countedWide.GetText()[1], 0);
  EXPECT_EQ(countedWide.GetText()[2], u'b');

  qxNarrowToWide noneWide(nullptr);
  EXPECT_EQ(noneWide.GetText(), nullptr);
  EXPECT_EQ(noneWide.GetLength(), 0u);
}

}  // namespace
