#include "platform/fs/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs/files.h"
#include "platform/text/format.h"

namespace platform::fs {
namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_profile_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_;
};

std::string AllBytes() {
  std::string s;
  for (int c = 0; c < 256; ++c) s.push_back(static_cast<char>(c));
  return s;
}

TEST_F(ProfileTest, AnyBytesRoundTripThroughTheFile) {
  struct Case {
    std::string section, entry, value;
  };
  const std::vector<Case> cases = {
      {"Settings", "ParamSettings", "1;21;000000;0;"},
      {"Settings", "Equals", "a=b==c"},
      {"Settings", "Lines", "one\ntwo\r\nthree\n"},
      {"Settings", "Markup", "[x] #y %41 ;z"},
      {"Settings", "High", "\x80\xC3\xA9\xFF"},
      {"Settings", "Nul", std::string("a\0b", 3)},
      {"Settings", "Empty", ""},
      {"Settings", "Blanks", "  lead and trail  "},
      {"Settings", "Every byte", AllBytes()},
      {"Odd [section]=;\n", "odd entry=;\n\xFF", "v"},
  };
  {
    Profile writer(dir_ + "/profile");
    for (const Case& c : cases) ASSERT_TRUE(writer.WriteString(c.section, c.entry, c.value)) << c.entry;
  }
  // A second object on the same file stands for the next start of the process.
  Profile reader(dir_ + "/profile");
  for (const Case& c : cases) {
    std::string got;
    ASSERT_TRUE(reader.Read(c.section, c.entry, &got)) << c.entry;
    EXPECT_EQ(got, c.value) << c.entry;
  }
  // The file itself stays one record a line: every raw line end is a record end.
  std::string text;
  ASSERT_TRUE(ReadFile(dir_ + "/profile", &text));
  size_t lines = 0;
  for (char ch : text) lines += ch == '\n';
  EXPECT_EQ(lines, 1u /*header*/ + 2u /*sections*/ + cases.size());
}

TEST_F(ProfileTest, EntriesAreKeptReplacedAndDeleted) {
  Profile p(dir_ + "/profile");
  ASSERT_TRUE(p.WriteString("A", "x", "1"));
  ASSERT_TRUE(p.WriteString("A", "y", "2"));
  ASSERT_TRUE(p.WriteString("B", "x", "3"));
  ASSERT_TRUE(p.WriteString("A", "x", "replaced"));
  EXPECT_EQ(p.GetString("A", "x"), "replaced");
  EXPECT_EQ(p.GetString("A", "y"), "2");
  EXPECT_EQ(p.GetString("B", "x"), "3");
  EXPECT_EQ(p.GetString("a", "x", "fallback"), "fallback");  // names are case-sensitive

  ASSERT_TRUE(p.DeleteEntry("A", "x"));
  ASSERT_TRUE(p.DeleteEntry("A", "never there"));
  std::string got = "stale";
  EXPECT_FALSE(p.Read("A", "x", &got));
  EXPECT_EQ(got, "");
  EXPECT_EQ(p.GetString("A", "y"), "2");
}

TEST_F(ProfileTest, IntegersAndTheirFallbacks) {
  Profile p(dir_ + "/profile");
  ASSERT_TRUE(p.WriteInt("Recent File List", "Count", 4));
  ASSERT_TRUE(p.WriteInt("Recent File List", "Negative", -12));
  ASSERT_TRUE(p.WriteString("Recent File List", "Text", "4x"));
  ASSERT_TRUE(p.WriteString("Recent File List", "Huge", "99999999999"));
  EXPECT_EQ(p.GetInt("Recent File List", "Count", 0), 4);
  EXPECT_EQ(p.GetInt("Recent File List", "Negative", 0), -12);
  EXPECT_EQ(p.GetInt("Recent File List", "Text", 7), 7);
  EXPECT_EQ(p.GetInt("Recent File List", "Huge", 7), 7);
  EXPECT_EQ(p.GetInt("Recent File List", "Missing", 7), 7);
}

TEST_F(ProfileTest, FirstWriteCreatesTheFolderAndAPrivateFile) {
  const std::string path = dir_ + "/config/Quillon Applications/profile";
  Profile p(path);
  std::string got;
  EXPECT_FALSE(p.Read("S", "e", &got));  // nothing there yet, and no error
  ASSERT_TRUE(p.WriteString("S", "e", "v"));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "/config/Quillon Applications' | wc -l) -eq 1").c_str()), 0);
}

TEST_F(ProfileTest, WritesThatCannotHappenFailAndChangeNothing) {
  // The folder of the profile is a regular file: nothing can be created under it.
  ASSERT_TRUE(ReplaceFile(dir_ + "/blocker", "not a folder"));
  Profile under_file(dir_ + "/blocker/profile");
  SetLastError(0);
  EXPECT_FALSE(under_file.WriteString("S", "e", "v"));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(under_file.GetString("S", "e", "none"), "none");

  // The profile's path is a folder, so the existing profile cannot be read: a write
  // must not go ahead (it would lose every other entry).
  ASSERT_TRUE(CreateFolder(dir_ + "/profile"));
  Profile unreadable(dir_ + "/profile");
  EXPECT_FALSE(unreadable.WriteString("S", "e", "v"));
  EXPECT_FALSE(unreadable.DeleteEntry("S", "e"));
  EXPECT_TRUE(FolderExists(dir_ + "/profile"));
}

TEST_F(ProfileTest, UnreadableLinesAreSkipped) {
  ASSERT_TRUE(ReplaceFile(dir_ + "/profile",
                          "# comment\n"
                          "orphan=before any section\n"
                          "[S]\n"
                          "good=1\n"
                          "bad escape=%4\n"
                          "bad hex=%ZZ\n"
                          "raw;byte=x\n"
                          "no equals sign\n"
                          "\n"
                          "[broken\n"
                          "lost=2\n"
                          "[T]\n"
                          "last=%3B"));  // no final line end
  Profile p(dir_ + "/profile");
  const Profile::Sections want = {{"S", {{"good", "1"}}}, {"T", {{"last", ";"}}}};
  std::string text;
  ASSERT_TRUE(ReadFile(dir_ + "/profile", &text));
  EXPECT_EQ(Profile::Decode(text), want);
  EXPECT_EQ(p.GetString("T", "last"), ";");
}

TEST_F(ProfileTest, ConcurrentWritersLoseNoEntry) {
  Profile p(dir_ + "/profile");
  constexpr int kThreads = 4;
  constexpr int kEach = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&p, t] {
      for (int i = 0; i < kEach; ++i) {
        EXPECT_TRUE(p.WriteInt("T" + std::to_string(t), "e" + std::to_string(i), i));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      EXPECT_EQ(p.GetInt("T" + std::to_string(t), "e" + std::to_string(i), -1), i);
    }
  }
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ProfileFolderTest, KvrHomeThenXdgThenHome) {
  {
    ScopedEnv kvr("KVR_HOME", "/run/kvr");
    ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
    EXPECT_EQ(ProfileFolder(), "/run/kvr");
  }
  {
    ScopedEnv kvr("KVR_HOME", "");
    ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg");
    EXPECT_EQ(ProfileFolder(), "/xdg/Quillon Applications");
  }
  {
    ScopedEnv kvr("KVR_HOME", nullptr);
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", "/home/merchant");
    EXPECT_EQ(ProfileFolder(), "/home/merchant/.config/Quillon Applications");
  }
}

}  // namespace
}  // namespace platform::fs
