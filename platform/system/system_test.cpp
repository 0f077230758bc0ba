#include "platform/system/system.h"

#include <unistd.h>

#include <climits>
#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(SystemTest, CurrentProcessIdIsTheProcessOfTheCaller) {
  EXPECT_EQ(platform::CurrentProcessId(), static_cast<unsigned long>(getpid()));
}

TEST(SystemTest, GetHostNameGivesTheSystemsNameWithinItsLimit) {
  char expected[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
  std::string name = "left over";
  ASSERT_TRUE(platform::GetHostName(&name));
  EXPECT_EQ(name, expected);
  EXPECT_LE(name.size(), static_cast<size_t>(HOST_NAME_MAX));
}

TEST(SystemTest, RandomBytesFillsEveryByteAndTwoDrawsDiffer) {
  uint8_t first[64] = {};
  uint8_t second[64] = {};
  ASSERT_TRUE(platform::RandomBytes(first, sizeof first));
  ASSERT_TRUE(platform::RandomBytes(second, sizeof second));
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
  EXPECT_TRUE(platform::RandomBytes(first, 0));
}

}  // namespace
