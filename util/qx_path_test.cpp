#include "util/qx_path.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "util/qx_test_env.h"

namespace {

using qx_test::ScopedEnv;
using qx_test::ScopedTimeZone;
using qx_test::ScratchFolder;

std::vector<std::string> Texts(const std::vector<qxString>& parts) {
  std::vector<std::string> out;
  for (const qxString& p : parts) out.push_back(p.str());
  return out;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

time_t Utc(int y, int m, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return timegm(&tm);
}

uint64_t FileTimeOf(time_t seconds, long nanoseconds) {
  return (static_cast<uint64_t>(seconds) + 11644473600ULL) * 10000000ULL +
         static_cast<uint64_t>(nanoseconds / 100);
}

// ---- Taking paths apart -----------------------------------------------------

TEST(QxPathTest, SplitPath) {
  struct Case {
    const char* path;
    bool keep;
    std::vector<std::string> parts;
  } cases[] = {
      {"/a/b", false, {"", "a", "b"}},
      {"/a/b", true, {"/", "a/", "b"}},
      {"a/", false, {"a"}},
      {"//srv", false, {"", "", "srv"}},
      {"a\\b", false, {"a\\b"}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    std::vector<qxString> parts = {qxString("stale")};
    EXPECT_EQ(qx::SplitPath(qxString(c.path), parts, c.keep), c.parts.size()) << c.path;
    EXPECT_EQ(Texts(parts), c.parts) << c.path;
  }
}

TEST(QxPathTest, NamesAndExtensions) {
  struct Case {
    const char* path;
    const char* name;
    const char* stem;
    const char* extension;
  } cases[] = {
      {"/dir/file.txt", "file.txt", "file", "txt"},
      {"dir/sub", "sub", "sub", ""},
      {"name", "name", "name", ""},
      {"/dir.x/file", "file", "file", "x/file"},
      {"a.b/c.tar.gz", "c.tar.gz", "c.tar", "gz"},
      {"dir/", "", "", ""},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    const qxString path(c.path);
    EXPECT_EQ(qx::GetFileName(path, true).str(), c.name) << c.path;
    EXPECT_EQ(qx::GetFileName(path, false).str(), c.stem) << c.path;
    EXPECT_EQ(qx::GetFileExtension(path).str(), c.extension) << c.path;
  }
  EXPECT_EQ(qx::GetFileExtension(qxString("A.TXT"), true).str(), "txt");
  EXPECT_EQ(qx::GetFileExtension(qxString("A.TXT"), false).str(), "TXT");
}

TEST(QxPathTest, FolderPartAsText) {
  struct Case {
    const char* path;
    bool stripDrive;
    int separator;
    const char* folder;
  } cases[] = {
      {"/dir/file.txt", false, 0, "/dir"},
      {"/dir/file.txt", false, 1, "/dir/"},
      {"/dir/file.txt", false, 2, "/dir/"},
      {"/dir/", false, 0, "/dir"},
      {"/file.txt", false, 0, "/"},
      {"/file.txt", false, 2, "/"},
      {"file.txt", false, 0, ""},
      {"file.txt", false, 1, ""},
      {"", false, 0, ""},
      {"C:/dir/file.txt", false, 0, "C:/dir"},
      {"C:/dir/file.txt", true, 0, "/dir"},
      {"C:/Data", false, 0, "C:/Data"},
      {"C:/a.txt", false, 0, "C:"},
      {"C:/a.txt", true, 0, "C:"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qx::GetFolderPart(qxString(c.path), false, c.stripDrive, c.separator).str(), c.folder)
        << c.path << " strip " << c.stripDrive << " sep " << c.separator;
  }
}

TEST(QxPathTest, DriveLettersAndWildcards) {
  EXPECT_EQ(qx::GetDriveLetter(qxString("D:/x")).str(), "D");
  EXPECT_EQ(qx::GetDriveLetter(qxString("D:/x"), true).str(), "D:/");
  EXPECT_EQ(qx::GetDriveLetter(qxString("D:")).str(), "");
  EXPECT_EQ(qx::GetDriveLetter(qxString("/x/y")).str(), "");
  EXPECT_TRUE(qx::HasWildcards(qxString("a*.txt")));
  EXPECT_TRUE(qx::HasWildcards(qxString("a?")));
  EXPECT_FALSE(qx::HasWildcards(qxString("abc")));
  EXPECT_FALSE(qx::HasWildcards(qxString("")));
}

// ---- Queries ----------------------------------------------------------------

class QxPathFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    WriteFile(dir_ / "a.txt", "hello");
    WriteFile(dir_ / "ro.txt", "x");
    ASSERT_EQ(chmod((dir_ / "ro.txt").c_str(), 0444), 0);
    ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  }

  qxString P(const std::string& name) const { return qxString(dir_ / name); }

  ScratchFolder dir_;
};

TEST_F(QxPathFilesTest, WhatAPathNames) {
  struct Case {
    qxString path;
    bool file, folder, readOnly;
    uint64_t length;
  } cases[] = {
      {P("a.txt"), true, false, false, 5},
      {P("ro.txt"), true, false, true, 1},
      {P("sub"), false, true, false, 0},
      {qxString(dir_.path()), false, true, false, 0},
      {P("missing"), false, false, false, 0},
      {qxString(""), false, false, false, 0},
      {P("a.*"), true, false, false, 5},
      {P("s?b"), false, true, false, 0},
      {P("*.none"), false, false, false, 0},
      {qxString("/"), false, true, false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qx::IsFile(c.path), c.file) << c.path.str();
    EXPECT_EQ(qx::IsFolder(c.path), c.folder) << c.path.str();
    EXPECT_EQ(qx::IsReadOnlyFile(c.path), c.readOnly) << c.path.str();
    EXPECT_EQ(qx::GetFileLength(c.path), c.length) << c.path.str();
  }
}

TEST_F(QxPathFilesTest, FolderPartThatMustExist) {
  EXPECT_EQ(qx::GetFolderPart(P("a.txt"), true).str(), dir_.path());
  EXPECT_EQ(qx::GetFolderPart(P("sub"), true).str(), dir_ / "sub");
  EXPECT_EQ(qx::GetFolderPart(P("sub"), true, false, 2).str(), dir_ / "sub/");
  EXPECT_EQ(qx::GetFolderPart(P("missing/x.txt"), true).str(), "");
  EXPECT_EQ(qx::GetFolderPart(P("missing.txt"), true).str(), "");
}

TEST_F(QxPathFilesTest, LengthsAreSixtyFourBit) {
  const uint64_t fiveGiB = 5ULL << 30;
  ASSERT_EQ(truncate((dir_ / "a.txt").c_str(), static_cast<off_t>(fiveGiB)), 0);
  EXPECT_EQ(qx::GetFileLength(P("a.txt")), fiveGiB);
}

TEST_F(QxPathFilesTest, FileTimes) {
  const time_t written = Utc(2021, 6, 15, 10, 20, 30);
  const time_t read = Utc(2022, 1, 2, 3, 4, 6);
  const timespec times[2] = {{read, 250000000}, {written, 500000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "a.txt").c_str(), times, 0), 0);

  EXPECT_EQ(qx::GetFileTimeStamp(P("a.txt"), 2), FileTimeOf(written, 500000000));
  EXPECT_EQ(qx::GetFileTimeStamp(P("a.txt"), 1), FileTimeOf(read, 250000000));
  EXPECT_NE(qx::GetFileTimeStamp(P("a.txt"), 0), 0u);
  for (int selector : {-1, 3}) EXPECT_EQ(qx::GetFileTimeStamp(P("a.txt"), selector), 0u);
  EXPECT_EQ(qx::GetFileTimeStamp(P("sub"), 2), 0u);
  EXPECT_EQ(qx::GetFileTimeStamp(P("missing"), 2), 0u);
  EXPECT_EQ(qx::GetFileTimeStamp(qxString(""), 2), 0u);

  uint16_t date = 0, time = 0;
  ASSERT_TRUE(qx::GetFileDosDateTime(P("a.txt"), 2, &date, &time));
  EXPECT_EQ(date, (41 << 9) | (6 << 5) | 15);
  EXPECT_EQ(time, (10 << 11) | (20 << 5) | 15);
  EXPECT_FALSE(qx::GetFileDosDateTime(P("a.txt"), 2, nullptr, &time));
  EXPECT_FALSE(qx::GetFileDosDateTime(P("sub"), 2, &date, &time));

  const timespec old[2] = {{Utc(1975, 1, 1, 0, 0, 0), 0}, {Utc(1975, 1, 1, 0, 0, 0), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "ro.txt").c_str(), old, 0), 0);
  EXPECT_FALSE(qx::GetFileDosDateTime(P("ro.txt"), 2, &date, &time));  // before 1980

  qxDate when;
  ASSERT_TRUE(qx::GetFileWriteDate(P("a.txt"), &when));
  EXPECT_EQ(when.ToIso8601().str(), "2021-06-15T10:20:30.000");
  EXPECT_TRUE(qx::GetFileCreationDate(P("a.txt"), &when));
  EXPECT_FALSE(when.IsEmpty());
  qxDate untouched(2000, 1, 1);
  EXPECT_FALSE(qx::GetFileWriteDate(P("sub"), &untouched));
  EXPECT_FALSE(qx::GetFileWriteDate(P("missing"), &untouched));
  EXPECT_FALSE(qx::GetFileWriteDate(P("a.txt"), nullptr));
  EXPECT_EQ(untouched.ToIso8601().str(), "2000-01-01T00:00:00.000");
}

TEST(QxPathTest, DosDateTimeRange) {
  uint16_t date = 0, time = 0;
  EXPECT_TRUE(qx::FileTimeToDosDateTime(FileTimeOf(Utc(1980, 1, 1, 0, 0, 0), 0), &date, &time));
  EXPECT_EQ(date, (0 << 9) | (1 << 5) | 1);
  EXPECT_EQ(time, 0);
  EXPECT_TRUE(qx::FileTimeToDosDateTime(FileTimeOf(Utc(2107, 12, 31, 23, 59, 59), 0), &date, &time));
  EXPECT_EQ(date, (127 << 9) | (12 << 5) | 31);
  EXPECT_EQ(time, (23 << 11) | (59 << 5) | 29);
  EXPECT_FALSE(qx::FileTimeToDosDateTime(FileTimeOf(Utc(2108, 1, 1, 0, 0, 0), 0), &date, &time));
  EXPECT_FALSE(qx::FileTimeToDosDateTime(FileTimeOf(Utc(1979, 12, 31, 23, 59, 59), 0), &date, &time));
}

TEST(QxPathTest, CurrentFileTime) {
  ScopedTimeZone zone("<+03>-3");
  const uint64_t before = FileTimeOf(time(nullptr), 0);
  const uint64_t utc = qx::GetCurrentFileTime(true);
  const uint64_t local = qx::GetCurrentFileTime(false);
  const uint64_t after = FileTimeOf(time(nullptr) + 1, 0);
  EXPECT_GE(utc, before);
  EXPECT_LE(utc, after);
  const uint64_t threeHours = 3ULL * 3600 * 10000000;
  EXPECT_GE(local, before + threeHours);
  EXPECT_LE(local, after + threeHours);
  uint16_t date = 0, time = 0;
  EXPECT_TRUE(qx::GetCurrentDosDateTime(&date, &time, true));
  EXPECT_GT(date >> 9, 40);  // after 2020
  EXPECT_FALSE(qx::GetCurrentDosDateTime(&date, nullptr, true));
}

TEST_F(QxPathFilesTest, DiskSpaceAndDriveType) {
  const uint64_t total = qx::GetDiskTotalBytes(qxString(dir_.path()));
  const uint64_t free = qx::GetDiskFreeBytes(qxString(dir_.path() + "/"));
  EXPECT_GT(total, 0u);
  EXPECT_LE(free, total);
  for (const char* bad : {"", "C", "/no/such/folder"}) {
    EXPECT_EQ(qx::GetDiskTotalBytes(qxString(bad)), 0u) << bad;
    EXPECT_EQ(qx::GetDiskFreeBytes(qxString(bad)), 0u) << bad;
  }
  EXPECT_FALSE(qx::IsNetworkDrive(qxString("")));
  EXPECT_FALSE(qx::IsNetworkDrive(qxString("C")));
  EXPECT_FALSE(qx::IsNetworkDrive(qxString("/proc")));
  EXPECT_FALSE(qx::IsNetworkDrive(qxString("/no/such/folder")));
}

// ---- Special folders --------------------------------------------------------

// HOME points at a scratch folder and every XDG variable is cleared, so each test
// decides what the special folders see.
class QxSpecialFolderTest : public ::testing::Test {
 protected:
  std::string Home() const { return dir_ / "home"; }
  void SetUp() override { ASSERT_EQ(mkdir(Home().c_str(), 0755), 0); }

  ScratchFolder dir_;
  ScopedEnv home_{"HOME", dir_ / "home"};
  ScopedEnv config_{"XDG_CONFIG_HOME", nullptr};
  ScopedEnv data_{"XDG_DATA_HOME", nullptr};
  ScopedEnv public_{"XDG_PUBLICSHARE_DIR", nullptr};
  ScopedEnv desktop_{"XDG_DESKTOP_DIR", nullptr};
  ScopedEnv documents_{"XDG_DOCUMENTS_DIR", nullptr};
};

TEST_F(QxSpecialFolderTest, DefaultsBelowHome) {
  const std::string expected[] = {Home() + "/.config", "/var/lib",         "/var/tmp",
                                  Home() + "/Desktop", Home() + "/.local/share",
                                  Home() + "/Documents", "", "", "", ""};
  for (int index = 0; index < 10; ++index) {
    EXPECT_EQ(qx::GetSpecialFolderPath(index).str(), expected[index]) << "index " << index;
  }
  for (int index : {10, -1, 46}) EXPECT_EQ(qx::GetSpecialFolderPath(index).str(), "") << index;
}

TEST_F(QxSpecialFolderTest, XdgVariables) {
  ScopedEnv config("XDG_CONFIG_HOME", dir_ / "cfg");
  ScopedEnv data("XDG_DATA_HOME", dir_ / "data/");
  ScopedEnv shared("XDG_PUBLICSHARE_DIR", dir_ / "pub/");
  ScopedEnv desktop("XDG_DESKTOP_DIR", dir_ / "desk");
  ScopedEnv documents("XDG_DOCUMENTS_DIR", "relative/docs");  // not absolute: ignored
  EXPECT_EQ(qx::GetSpecialFolderPath(0).str(), dir_ / "cfg");
  EXPECT_EQ(qx::GetSpecialFolderPath(4).str(), dir_ / "data");
  EXPECT_EQ(qx::GetSpecialFolderPath(2).str(), dir_ / "pub");
  EXPECT_EQ(qx::GetSpecialFolderPath(3).str(), dir_ / "desk");
  EXPECT_EQ(qx::GetSpecialFolderPath(5).str(), Home() + "/Documents");
}

TEST_F(QxSpecialFolderTest, UserDirsFile) {
  ASSERT_EQ(mkdir((Home() + "/.config").c_str(), 0755), 0);
  WriteFile(Home() + "/.config/user-dirs.dirs",
            "# written by xdg-user-dirs-update\n"
            "XDG_DESKTOP_DIR=\"$HOME/\"\n"
            "XDG_PUBLICSHARE_DIR=\"$HOME/Shared\"\n"
            "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n");
  EXPECT_EQ(qx::GetSpecialFolderPath(2).str(), Home() + "/Shared");
  EXPECT_EQ(qx::GetSpecialFolderPath(5).str(), "/srv/docs");
  EXPECT_EQ(qx::GetSpecialFolderPath(3).str(), Home() + "/Desktop");  // "$HOME/" turns it off
  {
    ScopedEnv shared("XDG_PUBLICSHARE_DIR", "/from/env");
    EXPECT_EQ(qx::GetSpecialFolderPath(2).str(), "/from/env");
  }
  // The file is looked for in XDG_CONFIG_HOME when that is set.
  ScopedEnv config("XDG_CONFIG_HOME", dir_ / "elsewhere");
  EXPECT_EQ(qx::GetSpecialFolderPath(2).str(), "/var/tmp");
}

// ---- Temporary folder and files ---------------------------------------------

TEST(QxPathTest, TempFolder) {
  ScratchFolder dir;
  {
    ScopedEnv tmp("TMPDIR", dir.path());
    EXPECT_EQ(qx::GetTempFolder(false).str(), dir.path());
    EXPECT_EQ(qx::GetTempFolder(true).str(), dir.path() + "/");
  }
  {
    ScopedEnv tmp("TMPDIR", dir.path() + "//");
    EXPECT_EQ(qx::GetTempFolder(false, true).str(), dir.path());
  }
  {
    ScopedEnv tmp("TMPDIR", dir / "missing");
    EXPECT_EQ(qx::GetTempFolder(false).str(), "/tmp");
  }
  {
    ScopedEnv tmp("TMPDIR", nullptr);
    EXPECT_EQ(qx::GetTempFolder(false).str(), "/tmp");
    EXPECT_EQ(qx::GetTempFolder(true).str(), "/tmp/");
  }
}

TEST(QxPathTest, CreateTempFileName) {
  ScratchFolder dir;
  const qxString first = qx::CreateTempFileName(qxString("kvr"), qxString(dir.path()));
  const qxString second = qx::CreateTempFileName(qxString("kvr"), qxString(dir.path() + "/"));
  EXPECT_NE(first, second);
  for (const qxString& name : {first, second}) {
    EXPECT_TRUE(name.StartsWith(qxString(dir / "kvr"))) << name.str();
    EXPECT_TRUE(name.EndsWith(qxString(".tmp"))) << name.str();
    EXPECT_TRUE(qx::IsFile(name)) << name.str();
    EXPECT_EQ(qx::GetFileLength(name), 0u);
  }
  {
    ScopedEnv tmp("TMPDIR", dir.path());
    const qxString inTemp = qx::CreateTempFileName(qxString("x"), qxString());
    EXPECT_EQ(qx::GetFolderPart(inTemp).str(), dir.path());
  }
  std::string message;
  try {
    qx::CreateTempFileName(qxString("kvr"), qxString("/no/such/folder"));
  } catch (const qxException& e) {
    message = e.m_Message.str();
  }
  EXPECT_EQ(message, "Unable to create a temporary file in folder: (/no/such/folder).");
  EXPECT_THROW(qx::CreateTempFileName(qxString("../x"), qxString(dir.path())), qxException);
}

// ---- Program, current folder, environment, shell ----------------------------

TEST(QxPathTest, ModulePath) {
  const qxString program = qx::GetModulePath();
  EXPECT_EQ(qx::GetFileName(program).str(), "util_test");
  EXPECT_TRUE(qx::IsFile(program));
  EXPECT_EQ(qx::GetModulePath(nullptr, true).str(), qx::GetFolderPart(program).str());
  EXPECT_EQ(qx::GetModulePath(reinterpret_cast<const void*>(&qx::GetModulePath)).str(),
            program.str());
}

TEST(QxPathTest, CurrentFolder) {
  const std::string start = std::filesystem::current_path().string();
  EXPECT_EQ(qx::GetCurrentFolder().str(), start);
  ScratchFolder dir;
  // Deeper than any fixed 256-character buffer.
  std::string deep = dir.path();
  for (int i = 0; i < 6; ++i) deep += "/" + std::string(60, static_cast<char>('a' + i));
  std::filesystem::create_directories(deep);
  ASSERT_TRUE(qx::SetCurrentFolder(qxString(deep)));
  EXPECT_EQ(qx::GetCurrentFolder().str(), std::filesystem::canonical(deep).string());
  EXPECT_GT(qx::GetCurrentFolder().GetLength(), 360u);
  ASSERT_TRUE(qx::SetCurrentFolder(qxString(start)));
  EXPECT_FALSE(qx::SetCurrentFolder(qxString("")));
  EXPECT_FALSE(qx::SetCurrentFolder(qxString("/no/such/folder")));
  EXPECT_EQ(qx::GetCurrentFolder().str(), start);
}

TEST(QxPathTest, EnvironmentValues) {
  bool found = true;
  {
    ScopedEnv var("QX_TEST_VALUE", "v=1");
    EXPECT_EQ(qx::GetEnvironmentValue(qxString("QX_TEST_VALUE"), &found).str(), "v=1");
    EXPECT_TRUE(found);
    const std::string longValue(5000, 'z');
    ScopedEnv big("QX_TEST_LONG", longValue);
    EXPECT_EQ(qx::GetEnvironmentValue(qxString("QX_TEST_LONG"), &found).str(), longValue);
  }
  {
    ScopedEnv var("QX_TEST_VALUE", "");
    EXPECT_EQ(qx::GetEnvironmentValue(qxString("QX_TEST_VALUE"), &found).str(), "");
    EXPECT_FALSE(found);
  }
  ScopedEnv var("QX_TEST_VALUE", nullptr);
  found = true;
  EXPECT_EQ(qx::GetEnvironmentValue(qxString("QX_TEST_VALUE"), &found).str(), "");
  EXPECT_FALSE(found);
  found = true;
  EXPECT_EQ(qx::GetEnvironmentValue(qxString(""), &found).str(), "");
  EXPECT_FALSE(found);
  EXPECT_EQ(qx::GetEnvironmentValue(qxString("QX_TEST_VALUE")).str(), "");
}

// The only test that asks for the shell: the first shell found is kept.
TEST(QxPathTest, CommandShellIsFoundOnceAndKept) {
  {
    ScopedEnv shell("SHELL", "/opt/test/bin/qxsh");
    EXPECT_EQ(qx::GetCommandShell(true, true).str(), "/opt/test/bin/qxsh");
    EXPECT_EQ(qx::GetCommandShell(false, true).str(), "qxsh");
  }
  ScopedEnv shell("SHELL", "/bin/other");
  EXPECT_EQ(qx::GetCommandShell(true, false).str(), "/opt/test/bin/qxsh");
}

}  // namespace
