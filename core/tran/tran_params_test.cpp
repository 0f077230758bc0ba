#include "core/tran/tran_params.h"

#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"

namespace {

TEST(ParamTextToIntTest, ReadsLeadingDigitsAndClamps) {
  const struct {
    const char* text;
    int expected;
  } cases[] = {
      {"", 0},          {"0", 0},        {"2", 2},
      {"017", 17},      {"x", 0},        {"2x", 2},
      {" 2", 0},        {"-3", -3},      {"+4", 4},
      {"-", 0},         {"2147483647", INT_MAX},
      {"99999999999999999999", INT_MAX}, {"-2147483648", INT_MIN},
      {"-99999999999999999999", INT_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParamTextToInt(c.text), c.expected) << "text '" << c.text << "'";
  }
}

TEST(ParamTextToIntTest, ReadIntParamReadsTheNumberedParameter) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  ASSERT_TRUE(params.SetParamValue(kParmEmvSupport, "2"));
  ASSERT_TRUE(params.RemoveKey(kParmEmvCvm));
  settings.SetParams(params);

  EXPECT_EQ(ReadIntParam(settings, kParmEmvSupport), 2);
  EXPECT_EQ(ReadIntParam(settings, kParmEmvCvm), 0);  // absent
}

}  // namespace
