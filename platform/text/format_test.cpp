#include "platform/text/format.h"

#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(FormatTest, FormatsLongTextsExactly) {
  const std::string big(100000, 'a');
  EXPECT_EQ(Format("<%s>", big.c_str()), "<" + big + ">");
  EXPECT_EQ(Format("%d %ld %lld %p", -5, 1234567890123L, -9223372036854775807LL - 1, nullptr),
            "-5 1234567890123 -9223372036854775808 (nil)");
  EXPECT_EQ(Format("%s", ""), "");
  EXPECT_EQ(Format("%s", "100%"), "100%");
}

TEST(FormatTest, SystemErrorTextHasTheLineEndOrIsEmpty) {
  EXPECT_EQ(SystemErrorText(2), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(SystemErrorText(10061), "No connection could be made because the target machine actively refused it.\r\n");
  EXPECT_EQ(SystemErrorText(0xDEADBEEF), "");
}

TEST(FormatTest, LastErrorIsPerThread) {
  SetLastError(5);
  uint32_t other = 1;
  std::thread t([&] { other = GetLastError(); });
  t.join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(ErrorCodeFromErrno(ENOENT), 2u);
  EXPECT_EQ(ErrorCodeFromErrno(ECONNREFUSED), 10061u);
  EXPECT_FALSE(ErrnoText(ENOENT).empty());
}

}  // namespace
}  // namespace platform
