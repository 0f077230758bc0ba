#include "util/qx_process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/qx_file.h"
#include "util/qx_test_env.h"

namespace {

using qx_test::ScopedCurrentFolder;
using qx_test::ScratchFolder;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Split(const char* commandLine) {
  std::vector<qxString> arguments = {qxString("stale")};
  qx::SplitCommandLine(qxString(commandLine), arguments);
  std::vector<std::string> out;
  for (const qxString& a : arguments) out.push_back(a.str());
  return out;
}

TEST(QxProcessTest, SplitCommandLine) {
  struct Case {
    const char* line;
    std::vector<std::string> arguments;
  } cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"\"quoted arg\" plain", {"quoted arg", "plain"}},
      {"pre\"fix mid\"dle", {"prefix middle"}},
      {"\"\"", {""}},
      {"a \"\" b", {"a", "", "b"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {"\\\"lit\\\"", {"\"lit\""}},
      {"back\\slash \\\\\"q r\"", {"back\\slash", "\\q r"}},
      {"c:\\dir\\ x", {"c:\\dir\\", "x"}},
      {"\"open end", {"open end"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Split(c.line), c.arguments) << c.line;
}

class QxProcessRunTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  ScratchFolder dir_;
  ScopedCurrentFolder inDir_{dir_.path()};
};

TEST_F(QxProcessRunTest, ExitCodeOfAProgramWaitedFor) {
  qxProcess process;
  EXPECT_TRUE(process.Start(qxString("/bin/sh"), qxString("-c \"exit 7\""), true));
  EXPECT_TRUE(process.HasExited());
  EXPECT_EQ(process.GetExitCode(), 7);
  // A new start lets go of the old program.
  EXPECT_TRUE(process.Start(qxString("/bin/sh"), qxString("-c \"kill -9 $$\""), true));
  EXPECT_EQ(process.GetExitCode(), 128 + 9);
}

TEST_F(QxProcessRunTest, ArgumentsArriveWholeWithoutAShell) {
  qxProcess process;
  // The words are the program's arguments: no shell expands $HOME or splits the
  // quoted one.
  ASSERT_TRUE(process.Start(qxString("/bin/sh"),
                            qxString("-c \"printf '%s|' \\\"$@\\\" > args.txt\" sh "
                                     "\"quoted arg\" plain $HOME \"\" *"),
                            true));
  EXPECT_EQ(process.GetExitCode(), 0);
  EXPECT_EQ(ReadFile(dir_ / "args.txt"), "quoted arg|plain|$HOME||*|");
}

TEST_F(QxProcessRunTest, RunningProgramAndTheRepaintHook) {
  qxProcess process;
  ASSERT_TRUE(process.Start(qxString("/bin/sleep"), qxString("0.3"), false));
  EXPECT_GT(process.GetProcessId(), 0);
  EXPECT_FALSE(process.HasExited());
  EXPECT_EQ(process.GetExitCode(), 0);  // also what an ended program with 0 gives
  int repaints = 0;
  process.SetRepaintHook([&] { ++repaints; });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(process.WaitWithMessages(process.GetProcessId()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_GT(repaints, 1);
  EXPECT_TRUE(process.HasExited());
  EXPECT_EQ(process.GetExitCode(), 0);
  EXPECT_FALSE(process.WaitWithMessages(0));
  EXPECT_FALSE(process.WaitWithMessages(getpid()));
}

TEST_F(QxProcessRunTest, LettingGoOfARunningProgram) {
  qxProcess process;
  ASSERT_TRUE(process.Start(qxString("/bin/sleep"), qxString("0.1"), false));
  process.CloseHandles();
  EXPECT_EQ(process.GetProcessId(), 0);
  EXPECT_FALSE(process.HasExited());
  EXPECT_EQ(process.GetExitCode(), 0);
}

TEST_F(QxProcessRunTest, FailuresToStart) {
  qxProcess process;
  EXPECT_FALSE(process.Start(qxString(), qxString("x"), true));
  EXPECT_FALSE(process.HasExited());
  std::string message;
  try {
    process.Start(qxString("/no/such/program"), qxString("-x \"a b\""), true);
  } catch (const qxException& e) {
    message = e.GetMessage().str();
  }
  EXPECT_EQ(message,
            "Failed to start application (/no/such/program) with command line (-x \"a b\").");
  // No search of PATH: a bare name is a file in the current folder.
  EXPECT_THROW(process.Start(qxString("sh"), qxString("-c true"), true), qxException);
  EXPECT_FALSE(process.HasExited());
}

// A started program inherits none of the library's descriptors.
TEST_F(QxProcessRunTest, LibraryDescriptorsAreNotInherited) {
  qxFile file(qxString(dir_ / "held-open.txt"));
  file.Write("x", 1);  // the handle stays open
  ASSERT_TRUE(file.IsOpen());
  qxProcess process;
  ASSERT_TRUE(process.Start(qxString("/bin/sh"),
                            qxString("-c \"exec ls -l /proc/self/fd > fds.txt\""), true));
  ASSERT_EQ(process.GetExitCode(), 0);
  const std::string fds = ReadFile(dir_ / "fds.txt");
  EXPECT_NE(fds.find("fds.txt"), std::string::npos) << fds;  // the listing itself works
  EXPECT_EQ(fds.find("held-open.txt"), std::string::npos) << fds;
}

}  // namespace
