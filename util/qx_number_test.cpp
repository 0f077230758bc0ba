#include "util/qx_number.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "util/qx_test_env.h"

namespace {

std::string Number(double value, int decimals, bool rounded, const char* separator,
                   const char* prefix = "", const char* suffix = "") {
  return qx::FormatNumber(value, static_cast<uint16_t>(decimals), rounded, qxString(separator),
                          qxString(prefix), qxString(suffix))
      .str();
}

TEST(QxNumberTest, FormatNumber) {
  struct Case {
    double value;
    int decimals;
    bool rounded;
    const char* separator;
    const char* prefix;
    const char* suffix;
    const char* expected;
  } cases[] = {
      {123456.789, 2, true, ",", "$", "", "$123,456.79"},
      {-1234.5, 1, true, ",", "$", " USD", "$-1,234.5 USD"},
      {1234.5678, 2, false, ",", "", "", "1,234.56"},  // cut, not rounded
      {999999, 0, true, ".", "", "", "999.999"},
      {999, 0, true, ".", "", "", "999"},
      {999999, 0, true, "", "", "", "999999"},
      {1234567, 0, true, ",", "", "", "1,234,567"},
      {5, 0, true, "", "", "", " 5"},  // the format's width of 2
      {5, 0, false, "", "", "", "5"},
      {-0.25, 2, true, "", "", "", "-0.25"},
      {-1234567.891, 2, false, " ", "", "", "-1 234 567.89"},
      {0.5, 3, true, ",", "", "%", "0.500%"},
      {2.5, 20, false, "", "", "", "2.500000000000000"},  // no more than 15 to cut from
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Number(c.value, c.decimals, c.rounded, c.separator, c.prefix, c.suffix), c.expected)
        << c.value << " " << c.decimals;
  }
}

TEST(QxNumberTest, FormatNumberIgnoresTheLocale) {
  qx_test::ScratchFolder dir;
  qx_test::ScopedCommaLocale comma(dir.path());
  if (!comma.ok()) GTEST_SKIP() << "no de_DE locale to be had here";
  ASSERT_EQ(qx::FormattedText("%.1f", 1.5).str(), "1,5");  // the locale is in effect
  EXPECT_EQ(Number(1234.5, 2, true, ","), "1,234.50");
  EXPECT_EQ(Number(-0.25, 2, false, ""), "-0.25");
  EXPECT_DOUBLE_EQ(qx::CLocaleToDouble(qxString("2.75")), 2.75);
  EXPECT_EQ(qx::CLocaleText("%+.2f", 2.5).str(), "+2.50");
}

TEST(QxNumberTest, MarkupTexts) {
  EXPECT_EQ(qx::XmlAttributeText(qxString("id"), qxString("7")).str(), " id=\"7\"");
  EXPECT_EQ(qx::XmlElementText(qxString("Amount"), qxString("12"), true, 2).str(),
            "\t\t<Amount>12</Amount>\r\n");
  EXPECT_EQ(qx::XmlElementText(qxString("Amount"), qxString(), false, -1).str(),
            "<Amount></Amount>");
  EXPECT_EQ(qx::XmlElementText(qxString("a"), qxString("<b>&"), false, 0).str(), "<a><b>&</a>");
  EXPECT_EQ(qx::XmlOpenTagText(qxString("List"), true, 1).str(), "\t<List>\r\n");
  EXPECT_EQ(qx::XmlCloseTagText(qxString("List"), false, 0).str(), "</List>");
}

TEST(QxNumberTest, SystemMessageText) {
  const std::string text = qx::GetSystemMessageText(ENOENT, true).str();
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text, qxString(text.c_str()).TrimRight().str());
  EXPECT_EQ(qx::GetSystemMessageText(ENOENT, false).str().rfind(text, 0), 0u);
  EXPECT_EQ(qx::GetSystemMessageText(987654, true).str(), "");
  EXPECT_EQ(qx::GetSystemMessageText(-1, true).str(), "");
}

}  // namespace
