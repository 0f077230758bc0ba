#include "util/qx_math.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/qx_test_env.h"

namespace {

double Evaluate(const char* statement, const std::vector<qxNamedValue>* values = nullptr,
                qxString* text = nullptr) {
  return qxString(statement).EvaluateMathStatement(values, text);
}

std::string ThrownBy(const char* statement) {
  try {
    Evaluate(statement);
  } catch (const qxException& e) {
    return e.GetMessage().str();
  }
  return "(nothing thrown)";
}

TEST(QxMathTest, StatementsAndTheirValues) {
  struct Case {
    const char* statement;
    double value;
  } cases[] = {
      {"42", 42},
      {"", 0},
      {"   ", 0},
      {"abc", 0},
      {"1/3", 0.333333333333333},
      // Left to right, no precedence.
      {"2+3*4", 20},
      {"10-4/2", 3},
      {"2*(3+4)", 14},
      {"((1+2)*(3+4))", 21},
      {"(1+2)*(1+2)", 9},
      {"2*((1+1)*(2+1))+1", 13},
      // A group's value travels rounded to 15 decimals.
      {"(1/3)*3", 0.999999999999999},
      {"1/3*3", 1},
      {"-5+3", -2},
      {"3*-2", -6},
      {"3--2", 5},
      {".5+.5", 1},
      {"1,000+1", 1001},
      {" 7 + 1 ", 8},
      {"5+", 5},
      {"4*", 4},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(Evaluate(c.statement), c.value) << c.statement;
  }
}

TEST(QxMathTest, NamedValuesAndResultText) {
  const std::vector<qxNamedValue> values = {{qxString("x"), 2.5}, {qxString("rate"), 0.1}};
  qxString text("stale");
  EXPECT_DOUBLE_EQ(Evaluate("x*2", &values, &text), 5);
  EXPECT_EQ(text.str(), "+5.000000000000000");
  EXPECT_DOUBLE_EQ(Evaluate("(x+rate)*10", &values), 26);
  // Plain text substitution in list order: every x goes, also the one inside x2.
  const std::vector<qxNamedValue> nested = {{qxString("x"), 1}, {qxString("x2"), 7}};
  EXPECT_DOUBLE_EQ(Evaluate("x2", &nested), 1);  // "+1.000000000000000" then "2"
  EXPECT_DOUBLE_EQ(Evaluate("x+x", &nested), 2);
  // A substituted statement is never taken as digits only.
  const std::vector<qxNamedValue> seven = {{qxString("7"), 3}};
  EXPECT_DOUBLE_EQ(Evaluate("7", &seven), 3);
  Evaluate("", nullptr, &text);
  EXPECT_EQ(text.str(), "+0.000000000000000");
}

TEST(QxMathTest, FailuresThrowFixedMessages) {
  const std::string zero = "Failed to process math statement: divide by zero.";
  const std::string unbalanced = "Failed to process math statement: unbalanced parenthesis.";
  EXPECT_EQ(ThrownBy("10/0"), zero);
  EXPECT_EQ(ThrownBy("5/(2-2)"), zero);
  EXPECT_EQ(ThrownBy("(1+2"), unbalanced);
  EXPECT_EQ(ThrownBy("1+2)"), unbalanced);
  EXPECT_EQ(ThrownBy(")("), unbalanced);

  // No result text is written when the evaluation throws.
  qxString text("kept");
  EXPECT_THROW(Evaluate("1/0", nullptr, &text), qxException);
  EXPECT_EQ(text.str(), "kept");
}

TEST(QxMathTest, GroupsInOrderOfTheirOpening) {
  std::vector<qxString> groups = {qxString("stale")};
  EXPECT_EQ(qx::SplitParenthesizedGroups(qxString("((1+2)*(3+4))+(5)"), groups), 4u);
  std::vector<std::string> texts;
  for (const qxString& g : groups) texts.push_back(g.str());
  EXPECT_EQ(texts, (std::vector<std::string>{"((1+2)*(3+4))", "(1+2)", "(3+4)", "(5)"}));
  EXPECT_EQ(qx::SplitParenthesizedGroups(qxString("1+2"), groups), 1u);
  EXPECT_EQ(groups[0].str(), "1+2");
  EXPECT_EQ(qx::SplitParenthesizedGroups(qxString(), groups), 0u);
  EXPECT_TRUE(groups.empty());
}

TEST(QxMathTest, IsMathStatement) {
  EXPECT_TRUE(qxString("1+1").IsMathStatement());
  EXPECT_TRUE(qxString("/").IsMathStatement());
  EXPECT_FALSE(qxString("12").IsMathStatement());
  EXPECT_FALSE(qxString("").IsMathStatement());
}

// Values travel as "C" texts, whatever the locale says about the decimal point.
TEST(QxMathTest, DecimalPointIndependentOfTheLocale) {
  qx_test::ScratchFolder dir;
  qx_test::ScopedCommaLocale comma(dir.path());
  if (!comma.ok()) GTEST_SKIP() << "no de_DE locale to be had here";
  ASSERT_EQ(qx::FormattedText("%.1f", 1.5).str(), "1,5");  // the locale is in effect
  qxString text;
  const double value = qxString("(1/4)+1").EvaluateMathStatement(nullptr, &text);
  EXPECT_DOUBLE_EQ(value, 1.25);
  EXPECT_EQ(text.str(), "+1.250000000000000");
}

}  // namespace
