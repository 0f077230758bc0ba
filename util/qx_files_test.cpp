#include "util/qx_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "util/qx_path.h"
#include "util/qx_test_env.h"

namespace {

using qx_test::ScopedCurrentFolder;
using qx_test::ScopedTimeZone;
using qx_test::ScratchFolder;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::map<std::string, int> AttributesByName(const std::vector<qxFileInfo>& records) {
  std::map<std::string, int> out;
  for (const qxFileInfo& r : records) out[r.Name.str()] = r.Attributes;
  return out;
}

std::vector<std::string> Names(const std::vector<qxFileInfo>& records) {
  std::vector<std::string> out;
  for (const qxFileInfo& r : records) out.push_back(r.Name.str());
  return out;
}

class QxFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  qxString P(const std::string& name) const { return qxString(dir_ / name); }
  ScratchFolder dir_;
};

// ---- Listing ----------------------------------------------------------------

TEST_F(QxFilesTest, ListingAttributeBits) {
  WriteFile(dir_ / "plain.txt", "p");
  WriteFile(dir_ / ".hidden", "h");
  ASSERT_EQ(chmod((dir_ / ".hidden").c_str(), 0444), 0);
  WriteFile(dir_ / "ro.txt", "r");
  ASSERT_EQ(chmod((dir_ / "ro.txt").c_str(), 0444), 0);
  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ / ".cache").c_str(), 0755), 0);
  ASSERT_EQ(symlink("plain.txt", (dir_ / "to-file").c_str()), 0);
  ASSERT_EQ(symlink("sub", (dir_ / "to-folder").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir_ / "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0644), 0);

  std::vector<qxFileInfo> records;
  EXPECT_EQ(qx::ListFiles(qxString(dir_.path()), qxString("*"), records), 9u);
  const std::map<std::string, int> expected = {
      {"plain.txt", qxFileNormal},
      {".hidden", qxFileHidden | qxFileReadOnly},
      {"ro.txt", qxFileReadOnly},
      {"sub", qxFileFolder},
      {".cache", qxFileFolder | qxFileHidden},
      {"to-file", qxFileReparsePoint},
      {"to-folder", qxFileReparsePoint | qxFileFolder},
      {"dangling", qxFileReparsePoint},
      {"pipe", qxFileSystem},
  };
  EXPECT_EQ(AttributesByName(records), expected);
  // The values of the bits are the library's own.
  EXPECT_EQ(expected.at(".hidden"), 32 + 256);
  EXPECT_EQ(expected.at("sub"), 4);
}

TEST_F(QxFilesTest, ListingPatternsAndOrder) {
  for (const char* name : {"b.txt", "a.txt", "c.log", "noext", ".dot.txt"}) {
    WriteFile(dir_ / name, "x");
  }
  ASSERT_EQ(mkdir((dir_ / "d.txt").c_str(), 0755), 0);
  struct Case {
    const char* folder;
    const char* pattern;
    std::vector<std::string> names;
  } cases[] = {
      {"", "*.txt", {".dot.txt", "a.txt", "b.txt", "d.txt"}},
      {"", "?.log", {"c.log"}},
      {"", "*.*", {".dot.txt", "a.txt", "b.txt", "c.log", "d.txt", "noext"}},
      {"", "noext", {"noext"}},
      {"", "missing", {}},
      {"", "*.none", {}},
      {"//", "a.txt", {"a.txt"}},  // trailing separators are removed
      {"", ".", {}},
      {"/d.txt", "*", {}},  // an empty folder
  };
  for (const Case& c : cases) {
    std::vector<qxFileInfo> records;
    const qxString folder(dir_.path() + c.folder);
    EXPECT_EQ(qx::ListFiles(folder, qxString(c.pattern), records), c.names.size()) << c.pattern;
    EXPECT_EQ(Names(records), c.names) << c.folder << " " << c.pattern;
  }

  // The folder's own entry for an empty pattern; nothing for a missing folder.
  std::vector<qxFileInfo> records;
  EXPECT_EQ(qx::ListFiles(P("d.txt"), qxString(), records), 1u);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Name.str(), "d.txt");
  EXPECT_EQ(records[0].Attributes, qxFileFolder);
  EXPECT_EQ(qx::ListFiles(P("missing"), qxString("*"), records), 0u);
  EXPECT_EQ(records.size(), 1u);
  // The records are appended, never replaced.
  EXPECT_EQ(qx::ListFiles(qxString(dir_.path()), qxString("a.txt"), records), 1u);
  EXPECT_EQ(qx::ListFiles(qxString(dir_.path()), qxString("a.txt"), records), 1u);
  EXPECT_EQ(records.size(), 3u);
}

TEST_F(QxFilesTest, ListFilesByPath) {
  ASSERT_EQ(mkdir((dir_ / "dir").c_str(), 0755), 0);
  WriteFile(dir_ / "dir/one.txt", "1");
  WriteFile(dir_ / "dir/two.txt", "2");
  WriteFile(dir_ / "dir/three.log", "3");
  WriteFile(dir_ / "cwd.log", "c");
  std::vector<qxFileInfo> records;
  EXPECT_EQ(qx::ListFilesByPath(P("dir/*.txt"), records), 2u);
  EXPECT_EQ(Names(records), (std::vector<std::string>{"one.txt", "two.txt"}));
  EXPECT_EQ(qx::ListFilesByPath(qxString(), records), 0u);

  // A pattern that matches nothing in its folder finds nothing, and never lists
  // the current folder instead.
  ScopedCurrentFolder inDir(dir_.path());
  records.clear();
  EXPECT_EQ(qx::ListFilesByPath(qxString("dir/*.none"), records), 0u);
  EXPECT_EQ(qx::ListFilesByPath(qxString("*.log"), records), 1u);
  EXPECT_EQ(Names(records), (std::vector<std::string>{"cwd.log"}));
}

TEST_F(QxFilesTest, ListingTimesAreLocal) {
  ScopedTimeZone zone("XYZ-2");  // two hours east of UTC
  WriteFile(dir_ / "f", "x");
  std::tm tm{};
  tm.tm_year = 2020 - 1900;
  tm.tm_mon = 0;
  tm.tm_mday = 2;
  tm.tm_hour = 3;
  tm.tm_min = 4;
  tm.tm_sec = 5;
  const time_t written = timegm(&tm);
  const timespec times[2] = {{written - 60, 0}, {written, 678000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "f").c_str(), times, 0), 0);
  std::vector<qxFileInfo> records;
  ASSERT_EQ(qx::ListFiles(qxString(dir_.path()), qxString("f"), records), 1u);
  EXPECT_EQ(records[0].Written.GetValue(), qxDate(2020, 1, 2, 5, 4, 5, 678).GetValue());
  EXPECT_EQ(records[0].Accessed.GetValue(), qxDate(2020, 1, 2, 5, 3, 5, 0).GetValue());
  EXPECT_FALSE(records[0].Created.IsEmpty());
}

// ---- Copy, rename, remove, read-only ------------------------------------------

TEST_F(QxFilesTest, CopyFileTo) {
  WriteFile(dir_ / "src", "source bytes");
  ASSERT_EQ(chmod((dir_ / "src").c_str(), 0640), 0);
  WriteFile(dir_ / "old", "old bytes");

  EXPECT_TRUE(qx::CopyFileTo(P("src"), P("new"), false));
  EXPECT_EQ(ReadFile(dir_ / "new"), "source bytes");
  struct stat st {};
  ASSERT_EQ(stat((dir_ / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  EXPECT_FALSE(qx::CopyFileTo(P("src"), P("old"), false));
  EXPECT_EQ(ReadFile(dir_ / "old"), "old bytes");
  EXPECT_TRUE(qx::CopyFileTo(P("src"), P("old"), true));
  EXPECT_EQ(ReadFile(dir_ / "old"), "source bytes");

  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);
  EXPECT_FALSE(qx::CopyFileTo(P("folder"), P("copy"), true));
  EXPECT_FALSE(qx::CopyFileTo(P("src"), P("folder"), true));
  EXPECT_FALSE(qx::CopyFileTo(P("missing"), P("copy"), true));
  EXPECT_FALSE(Exists(dir_ / "copy"));
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            4);
}

TEST_F(QxFilesTest, RenameNeverReplaces) {
  WriteFile(dir_ / "a", "A");
  WriteFile(dir_ / "b", "B");
  EXPECT_FALSE(qx::RenameFile(P("a"), qxString("b")));
  EXPECT_EQ(ReadFile(dir_ / "a"), "A");
  EXPECT_EQ(ReadFile(dir_ / "b"), "B");
  EXPECT_FALSE(qx::RenameFile(P("a"), P("b")));  // a full path as well
  EXPECT_EQ(ReadFile(dir_ / "b"), "B");
  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  EXPECT_FALSE(qx::RenameFile(P("a"), qxString("sub")));
  EXPECT_TRUE(Exists(dir_ / "a"));
}

TEST_F(QxFilesTest, RenameGoesToOneTarget) {
  ASSERT_EQ(mkdir((dir_ / "here").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ / "there").c_str(), 0755), 0);
  WriteFile(dir_ / "here/a", "A");
  // A bare name is a file in the source's folder, whatever the current folder.
  {
    ScopedCurrentFolder inThere(dir_ / "there");
    EXPECT_TRUE(qx::RenameFile(P("here/a"), qxString("b")));
  }
  EXPECT_EQ(ReadFile(dir_ / "here/b"), "A");
  EXPECT_FALSE(Exists(dir_ / "there/b"));
  // A path is taken as given.
  EXPECT_TRUE(qx::RenameFile(P("here/b"), P("there/c")));
  EXPECT_EQ(ReadFile(dir_ / "there/c"), "A");
  EXPECT_FALSE(qx::RenameFile(P("here/b"), qxString("d")));  // no source any more
  EXPECT_FALSE(qx::RenameFile(P("there"), qxString("e")));   // a folder is no file
}

TEST_F(QxFilesTest, SetReadOnlyAndRemoveFile) {
  WriteFile(dir_ / "f", "x");
  EXPECT_TRUE(qx::SetReadOnly(P("f"), true));
  EXPECT_TRUE(qx::IsReadOnlyFile(P("f")));
  EXPECT_TRUE(qx::SetReadOnly(P("f"), false));
  EXPECT_FALSE(qx::IsReadOnlyFile(P("f")));
  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  EXPECT_FALSE(qx::SetReadOnly(P("sub"), true));
  EXPECT_FALSE(qx::SetReadOnly(P("missing"), true));

  EXPECT_FALSE(qx::RemoveFile(P("sub")));
  EXPECT_TRUE(Exists(dir_ / "sub"));
  EXPECT_TRUE(qx::RemoveFile(P("f")));
  EXPECT_FALSE(Exists(dir_ / "f"));
  EXPECT_FALSE(qx::RemoveFile(P("f")));
}

// ---- Deleting folders -------------------------------------------------------

class QxDeleteFolderTest : public QxFilesTest {
 protected:
  void SetUp() override {
    QxFilesTest::SetUp();
    // target/ holds a folder outside; target/ links to it in several ways.
    ASSERT_EQ(mkdir((dir_ / "outside").c_str(), 0755), 0);
    WriteFile(dir_ / "outside/keep.txt", "keep");
    ASSERT_EQ(mkdir((dir_ / "target").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ / "target/nested").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir_ / "target/nested/deeper").c_str(), 0755), 0);
    WriteFile(dir_ / "target/a.txt", "a");
    WriteFile(dir_ / "target/ro.txt", "r");
    ASSERT_EQ(chmod((dir_ / "target/ro.txt").c_str(), 0444), 0);
    WriteFile(dir_ / "target/nested/b.txt", "b");
    WriteFile(dir_ / "target/nested/deeper/c.txt", "c");
    ASSERT_EQ(symlink((dir_ / "outside").c_str(), (dir_ / "target/link-out").c_str()), 0);
    ASSERT_EQ(symlink("../../../outside", (dir_ / "target/nested/deeper/rel-out").c_str()), 0);
    ASSERT_EQ(symlink((dir_ / "outside/keep.txt").c_str(), (dir_ / "target/file-out").c_str()), 0);
  }

  void ExpectOutsideIntact() { EXPECT_EQ(ReadFile(dir_ / "outside/keep.txt"), "keep"); }
};

TEST_F(QxDeleteFolderTest, ContentsGoLinksAreNotFollowed) {
  EXPECT_TRUE(qx::DeleteFolderContents(P("target")));
  EXPECT_TRUE(qx::IsFolder(P("target")));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "target"));
  ExpectOutsideIntact();
}

TEST_F(QxDeleteFolderTest, DeleteFolderRemovesTheFolderToo) {
  EXPECT_TRUE(qx::DeleteFolder(P("target/"), false));
  EXPECT_FALSE(Exists(dir_ / "target"));
  ExpectOutsideIntact();
}

TEST_F(QxDeleteFolderTest, RefusedCases) {
  // The recycle bin does not exist here: nothing is deleted.
  EXPECT_FALSE(qx::DeleteFolder(P("target"), true));
  EXPECT_TRUE(Exists(dir_ / "target/a.txt"));
  // A link named as the folder itself is not followed.
  ASSERT_EQ(symlink((dir_ / "outside").c_str(), (dir_ / "alias").c_str()), 0);
  EXPECT_FALSE(qx::DeleteFolderContents(P("alias")));
  EXPECT_FALSE(qx::DeleteFolder(P("alias"), false));
  ExpectOutsideIntact();
  EXPECT_FALSE(qx::DeleteFolderContents(P("missing")));
  EXPECT_FALSE(qx::DeleteFolderContents(P("target/a.txt")));
  EXPECT_FALSE(qx::DeleteFolderContents(qxString()));
  EXPECT_FALSE(qx::DeleteFolder(qxString(), false));
}

// Makes one file impossible to delete for the life of the object: its folder
// loses its write permission, or for root (whom permissions do not stop) the file
// gets the immutable flag where the file system has one.
class UndeletableFile {
 public:
  explicit UndeletableFile(const std::string& path)
      : path_(path), folder_(std::filesystem::path(path).parent_path()) {
    if (geteuid() != 0) {
      ok_ = chmod(folder_.c_str(), 0555) == 0;
      return;
    }
    ok_ = SetImmutable(true);
  }
  ~UndeletableFile() {
    if (!ok_) return;
    if (geteuid() != 0) {
      chmod(folder_.c_str(), 0755);
    } else {
      SetImmutable(false);
    }
  }
  UndeletableFile(const UndeletableFile&) = delete;
  UndeletableFile& operator=(const UndeletableFile&) = delete;
  bool ok() const { return ok_; }

 private:
  bool SetImmutable(bool on) {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
  }

  std::string path_;
  std::string folder_;
  bool ok_ = false;
};

TEST_F(QxDeleteFolderTest, StopsAtAnEntryThatCannotGo) {
  {
    UndeletableFile stuck(dir_ / "target/nested/deeper/c.txt");
    if (!stuck.ok()) GTEST_SKIP() << "no way to make a file undeletable here";
    EXPECT_FALSE(qx::DeleteFolderContents(P("target")));
    EXPECT_TRUE(Exists(dir_ / "target/nested/deeper/c.txt"));
    ExpectOutsideIntact();
  }
  EXPECT_TRUE(qx::DeleteFolderContents(P("target")));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "target"));
}

// ---- Creating folder paths --------------------------------------------------

TEST_F(QxFilesTest, CreateFolderPath) {
  ASSERT_EQ(mkdir((dir_ / "a").c_str(), 0755), 0);
  EXPECT_TRUE(qx::CreateFolderPath(P("a/b/c")));
  EXPECT_TRUE(qx::IsFolder(P("a/b/c")));
  EXPECT_FALSE(qx::CreateFolderPath(P("a/b/c")));  // every folder exists
  EXPECT_TRUE(qx::CreateFolderPath(P("a/*/x")));   // wildcards are plain characters
  EXPECT_TRUE(qx::IsFolder(P("a/*/x")));
  WriteFile(dir_ / "file", "f");
  EXPECT_FALSE(qx::CreateFolderPath(P("file/sub")));
  EXPECT_FALSE(qx::CreateFolderPath(qxString()));

  // A path of one part, relative to the current folder.
  {
    ScopedCurrentFolder inDir(dir_.path());
    EXPECT_TRUE(qx::CreateFolderPath(qxString("single")));
    EXPECT_FALSE(qx::CreateFolderPath(qxString("single")));
    EXPECT_TRUE(qx::CreateFolderPath(qxString("rel/two")));
  }
  EXPECT_TRUE(qx::IsFolder(P("single")));
  EXPECT_TRUE(qx::IsFolder(P("rel/two")));
}

// ---- Image check and version information ------------------------------------

TEST_F(QxFilesTest, VerifyFile) {
  auto message = [](const qxString& path) {
    try {
      qx::VerifyFile(path);
    } catch (const qxException& e) {
      return e.GetMessage().str();
    }
    return std::string("(nothing thrown)");
  };
  EXPECT_EQ(message(qxString()), "Filename cannot be empty.");
  EXPECT_EQ(message(P("missing")), "Cannot find file (" + dir_ / "missing" + ").");
  WriteFile(dir_ / "notes.txt", "text");
  WriteFile(dir_ / "fake.exe", "text");
  EXPECT_TRUE(qx::VerifyFile(P("notes.txt")));
  EXPECT_TRUE(qx::VerifyFile(P("fake.exe")));  // no image library here
}

TEST_F(QxFilesTest, ReadVersionInfoLeavesTheMapEmpty) {
  WriteFile(dir_ / "f", "x");
  qxStringMap map = {{qxString("stale"), qxString("value")}};
  qx::ReadVersionInfo(P("f"), map);
  EXPECT_TRUE(map.empty());
}

}  // namespace
