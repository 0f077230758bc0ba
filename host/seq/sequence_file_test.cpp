#include "host/seq/sequence_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/fs/files.h"

namespace {

class SequenceFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_seq_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/RudavarUrizNum.dat";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string OnDisk() {
    std::string bytes;
    platform::fs::ReadFile(path_, &bytes);
    return bytes;
  }
  void Put(const std::string& bytes) { ASSERT_TRUE(platform::fs::ReplaceFile(path_, bytes)); }

  std::string dir_, path_;
};

const char kOutOfRange9950[] = "Sequence Read From Synchronized Sequence File [9950] is out of range  (set to 0)...";

TEST_F(SequenceFileTest, ReadCases) {
  struct Case {
    bool exists;
    const char* stored;
    int value;
    const char* message;
    const char* after;  // bytes on disk afterwards
  } cases[] = {
      {false, "", 0, "", "0\r\r\n"},
      {true, "123\r\r\n", 123, "", "123\r\r\n"},
      {true, "123", 123, "", "123\r\r\n"},
      {true, "9949\r\n", 9949, "", "9949\r\r\n"},
      {true, "9950\r\r\n", 0, kOutOfRange9950, "0\r\r\n"},
      {true, "-1\r\r\n", 0, "Sequence Read From Synchronized Sequence File [-1] is out of range  (set to 0)...", "0\r\r\n"},
      {true, "abc\r\r\n", 0, "", "0\r\r\n"},
      {true, "", 0, "Could Not Read From Synchronized Sequence File...", ""},
      {true, "77\n5\n", 77, "", "77\r\r\n"},
      {true, "99999999999999999999", 0,
       "Sequence Read From Synchronized Sequence File [2147483647] is out of range  (set to 0)...", "0\r\r\n"},
  };
  for (const Case& c : cases) {
    platform::fs::RemoveFile(path_);
    if (c.exists) Put(c.stored);
    CSequenceFile file(path_);
    std::string messages = "stale";
    EXPECT_EQ(file.Read(&messages), c.value) << c.stored;
    EXPECT_EQ(messages, c.message) << c.stored;
    EXPECT_EQ(OnDisk(), c.after) << c.stored;
  }
}

TEST_F(SequenceFileTest, WriteCases) {
  struct Case {
    const char* number;
    const char* message;
    const char* after;
  } cases[] = {
      {"9950", "", "0\r\r\n"},
      {"0042", "", "42\r\r\n"},
      {"0000", "", "0\r\r\n"},
      {"9949", "", "9949\r\r\n"},
      {"-5", "Sequence Read From Synchronized Sequence File [-5] is out of range  (set to 0)...", "123\r\r\n"},
      {"12000", "Sequence Read From Synchronized Sequence File [12000] is out of range  (set to 0)...", "123\r\r\n"},
  };
  for (const Case& c : cases) {
    Put("123\r\r\n");
    CSequenceFile file(path_);
    std::string messages = "stale";
    file.Write(c.number, &messages);
    EXPECT_EQ(messages, c.message) << c.number;
    EXPECT_EQ(OnDisk(), c.after) << c.number;
  }
}

TEST_F(SequenceFileTest, WriteCreatesAMissingFileAndReadSeesIt) {
  CSequenceFile file(path_);
  std::string messages;
  file.Write("17", &messages);
  EXPECT_EQ(messages, "");
  EXPECT_EQ(file.Read(&messages), 17);
}

// The file is its owner's only: made so, and a wider one of an older version is made
// so by the next read or write.
TEST_F(SequenceFileTest, TheFileIsTheOwnersOnly) {
  struct Case {
    const char* name;
    int before;  // -1: no file
    bool write;  // Write, else Read
  } cases[] = {
      {"made by a read", -1, false},
      {"made by a write", -1, true},
      {"0644 of an older version, read", 0644, false},
      {"0644 of an older version, written", 0644, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(path_.c_str());
    if (c.before >= 0) {
      Put("42\r\r\n");
      ASSERT_EQ(::chmod(path_.c_str(), static_cast<mode_t>(c.before)), 0);
    }
    CSequenceFile file(path_);
    std::string messages;
    if (c.write) {
      file.Write("7", &messages);
    } else {
      file.Read(&messages);
    }
    EXPECT_EQ(messages, "");
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
}

TEST_F(SequenceFileTest, UnopenablePathGivesTheMessagesAndZero) {
  // A regular file where the folder should be: nothing below it can be created.
  Put("x");
  CSequenceFile file(path_ + "/RudavarUrizNum.dat");
  std::string messages;
  EXPECT_EQ(file.Read(&messages), 0);
  EXPECT_EQ(messages, "Synchronized Sequence File Does Not Exist and Creation Failed...");
  file.Write("5", &messages);
  EXPECT_EQ(messages, "Synchronized Sequence File Does Not Exist and Creation Failed...");
}

TEST_F(SequenceFileTest, AFolderInPlaceOfTheFileCannotBeRead) {
  ASSERT_TRUE(platform::fs::CreateFolder(path_));
  CSequenceFile file(path_);
  std::string messages;
  // Not a regular file: taken as missing, and it cannot be created over the folder.
  EXPECT_EQ(file.Read(&messages), 0);
  EXPECT_EQ(messages, "Synchronized Sequence File Does Not Exist and Creation Failed...");
}

TEST_F(SequenceFileTest, AWriteLeavesNoTemporaryFileBehind) {
  CSequenceFile file(path_);
  std::string messages;
  for (int i = 0; i < 20; ++i) file.Write(std::to_string(i), &messages);
  EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "' | wc -l) -eq 1").c_str()), 0);
  EXPECT_EQ(OnDisk(), "19\r\r\n");
}

}  // namespace
