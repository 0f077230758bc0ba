#include "platform/fs/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/text/format.h"

namespace platform::fs {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_fs_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_;
};

TEST_F(FilesTest, ReplaceWritesWholeFilesAndLeavesNoTemporaries) {
  const std::string path = dir_ + "/a.dat";
  ASSERT_TRUE(ReplaceFile(path, std::string("one\0two", 7), 0600));
  std::string got;
  ASSERT_TRUE(ReadFile(path, &got));
  EXPECT_EQ(got, std::string("one\0two", 7));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_TRUE(ReplaceFile(path, "new"));
  ASSERT_TRUE(ReadFile(path, &got));
  EXPECT_EQ(got, "new");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the existing mode is kept
  EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "' | wc -l) -eq 1").c_str()), 0);
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 01000000;
}

TEST_F(FilesTest, APrivateFileIs0600WhateverItReplaces) {
  struct Case {
    const char* name;
    int before;  // -1: no file yet
  } cases[] = {{"new", -1}, {"0644 of an older version", 0644}, {"0666", 0666}, {"already 0600", 0600}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ + "/private.dat";
    ::unlink(path.c_str());
    if (c.before >= 0) {
      ASSERT_TRUE(ReplaceFile(path, "old", 0600));
      ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.before)), 0);
    }
    ASSERT_TRUE(ReplacePrivateFile(path, "new"));
    std::string got;
    ASSERT_TRUE(ReadFile(path, &got));
    EXPECT_EQ(got, "new");
    EXPECT_EQ(ModeOf(path), 0600u);
  }
  EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "' | wc -l) -eq 1").c_str()), 0);
}

TEST_F(FilesTest, APrivateFolderIsMadeOrTightenedTo0700) {
  struct Case {
    const char* name;
    const char* folder;  // under the test's folder
    int before;          // -1: not there
    unsigned after;
  } cases[] = {
      {"new", "logs", -1, 0700},
      {"new, with its parents", "home/data/keys", -1, 0700},
      {"0755 of an older version", "old", 0755, 0700},
      {"0775 with the set-group-id bit", "shared", 02775, 02700},
      {"already 0700", "mine", 0700, 0700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ + "/" + c.folder;
    if (c.before >= 0) {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
      ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.before)), 0);
      ASSERT_TRUE(ReplaceFile(path + "/kept", "x"));
    }
    EXPECT_TRUE(CreatePrivateFolder(path));
    EXPECT_TRUE(FolderExists(path));
    EXPECT_EQ(ModeOf(path), c.after);
    if (c.before >= 0) {
      EXPECT_TRUE(FileExists(path + "/kept"));
    }
  }
  // A file where the folder should be.
  ASSERT_TRUE(ReplaceFile(dir_ + "/file", "x"));
  EXPECT_FALSE(CreatePrivateFolder(dir_ + "/file"));
  EXPECT_EQ(ModeOf(dir_ + "/file"), 0644u);
}

TEST_F(FilesTest, ReplaceIntoAMissingFolderFailsAndSetsTheLastError) {
  SetLastError(0);
  EXPECT_FALSE(ReplaceFile(dir_ + "/missing/a.dat", "x"));
  EXPECT_EQ(GetLastError(), 2u);
  std::string got = "stale";
  EXPECT_FALSE(ReadFile(dir_ + "/missing/a.dat", &got));
  EXPECT_TRUE(got.empty());
}

TEST_F(FilesTest, FoldersAndBackslashPaths) {
  EXPECT_TRUE(CreateFolders(dir_ + "\\x\\y\\z"));
  EXPECT_TRUE(FolderExists(dir_ + "/x/y/z"));
  EXPECT_TRUE(CreateFolder(dir_ + "/x"));  // already there
  EXPECT_FALSE(CreateFolder(dir_ + "/q/r"));
  ASSERT_TRUE(AppendToFile(dir_ + "\\x\\f.txt", "ab"));
  ASSERT_TRUE(AppendToFile(dir_ + "/x/f.txt", "cd"));
  std::string got;
  ASSERT_TRUE(ReadFile(dir_ + "/x/f.txt", &got));
  EXPECT_EQ(got, "abcd");
  EXPECT_TRUE(FileExists(dir_ + "/x/f.txt"));
  EXPECT_TRUE(RemoveFile(dir_ + "/x/f.txt"));
  EXPECT_FALSE(FileExists(dir_ + "/x/f.txt"));
}

TEST(TextModeTest, LineEndsAsTheTextModeWroteThem) {
  struct Case { const char* in; const char* out; } cases[] = {
      {"", ""}, {"a\n", "a\r\n"}, {"a\nb\n\n", "a\r\nb\r\n\r\n"}, {"x\r\n", "x\r\r\n"}, {"no end", "no end"}};
  for (const auto& c : cases) {
    EXPECT_EQ(ToTextMode(c.in), c.out) << c.in;
  }
  EXPECT_EQ(FromTextMode("a\r\nb\r\r\n\r"), "a\nb\r\n\r");
}

}  // namespace
}  // namespace platform::fs
