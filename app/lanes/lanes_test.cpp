#include "app/lanes/lanes.h"

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/lanes/lane_test_support.h"
#include "platform/fs/files.h"
#include "platform/text/format.h"

namespace {

// ---------------------------------------------------------------------------------
// CLaneRegistry

TEST(LaneRegistryTest, AcceptsUpToTheMaximumOfDifferentIdsAndKeepsThoseAccepted) {
  CLaneRegistry registry;
  ASSERT_TRUE(registry.SetMaximum(2));
  EXPECT_TRUE(registry.Register("101"));
  EXPECT_TRUE(registry.Register("102"));
  EXPECT_FALSE(registry.Register("103"));
  EXPECT_TRUE(registry.Register("101"));
  EXPECT_TRUE(registry.Register("102"));
  EXPECT_FALSE(registry.Register("103"));  // refusing does not list it
  EXPECT_TRUE(registry.Register(""));      // an empty ClientID is never limited
}

TEST(LaneRegistryTest, ComparesIdsExactly) {
  CLaneRegistry registry;
  registry.SetMaximum(1);
  EXPECT_TRUE(registry.Register("Lane"));
  EXPECT_FALSE(registry.Register("lane"));
  EXPECT_FALSE(registry.Register("Lane "));
  EXPECT_FALSE(registry.Register(std::string("Lane\0", 5)));
}

TEST(LaneRegistryTest, NoMaximumOrANonPositiveOneRefusesEveryNonEmptyId) {
  for (const int maximum : {-1, 0}) {
    SCOPED_TRACE(maximum);
    CLaneRegistry registry;
    if (maximum != 0) registry.SetMaximum(maximum);
    EXPECT_FALSE(registry.Register("1"));
    EXPECT_TRUE(registry.Register(""));
  }
  CLaneRegistry fresh;  // before any SetMaximum
  EXPECT_FALSE(fresh.Register("1"));
}

TEST(LaneRegistryTest, ANewMaximumNeverRemovesListedIds) {
  CLaneRegistry registry;
  registry.SetMaximum(3);
  for (const char* id : {"A", "B", "C"}) ASSERT_TRUE(registry.Register(id));

  registry.SetMaximum(1);  // a restart with fewer lanes
  for (const char* id : {"A", "B", "C"}) EXPECT_TRUE(registry.Register(id)) << id;
  EXPECT_FALSE(registry.Register("D"));

  registry.SetMaximum(0);
  EXPECT_TRUE(registry.Register("B"));

  registry.SetMaximum(4);  // room for one more beside the three listed
  EXPECT_TRUE(registry.Register("D"));
  EXPECT_FALSE(registry.Register("E"));
}

TEST(LaneRegistryTest, ConcurrentConnectionsNeverListMoreThanTheMaximum) {
  constexpr int kMaximum = 7;
  constexpr int kThreads = 8;
  constexpr int kIdsPerThread = 40;
  CLaneRegistry registry;
  registry.SetMaximum(kMaximum);
  std::vector<std::vector<std::string>> acceptedBy(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kIdsPerThread; ++i) {
        // Every thread offers a shared id and ids of its own.
        const std::string id = i % 2 == 0 ? platform::Format("shared%d", i) : platform::Format("t%d-%d", t, i);
        if (registry.Register(id)) acceptedBy[t].push_back(id);
      }
    });
  }
  for (std::thread& th : threads) th.join();

  // Shared ids accepted on several threads count once.
  std::set<std::string> distinct;
  for (const auto& ids : acceptedBy) distinct.insert(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kMaximum));
  for (const std::string& id : distinct) EXPECT_TRUE(registry.Register(id)) << id;
  EXPECT_FALSE(registry.Register("latecomer"));
}

// ---------------------------------------------------------------------------------
// CLanesFile

class LanesFileTest : public ::testing::Test {
 protected:
  CLanesFile File(const std::string& name = kLanesFileName) { return CLanesFile(folder_.File(name), &log_); }
  std::string Bytes(const std::string& name = kLanesFileName) {
    std::string bytes;
    EXPECT_TRUE(platform::fs::ReadFile(folder_.File(name), &bytes));
    return bytes;
  }
  void Store(const std::string& bytes, const std::string& name = kLanesFileName) {
    ASSERT_TRUE(platform::fs::ReplaceFile(folder_.File(name), bytes));
  }

  ScratchFolder folder_;
  CapturedLog log_;
};

TEST_F(LanesFileTest, RoundTripIsExactToTheByte) {
  const TextMap lanes = {
      {"1", "Front Counter"},
      {"22", ""},
      {"333", "Drive\x1CThru"},  // a further FS belongs to the description
      {"44444444", "  blanks kept  "},
      {"5", "caf\xc3\xa9 \xff\x01"},
  };
  ASSERT_TRUE(File().Write(lanes));
  const std::string expected =
      "1\x1C" "Front Counter\r\n"
      "22\x1C\r\n"
      "333\x1C" "Drive\x1CThru\r\n"
      "44444444\x1C  blanks kept  \r\n"
      "5\x1C" "caf\xc3\xa9 \xff\x01\r\n";
  EXPECT_EQ(Bytes(), expected);

  TextMap back = {{"stale", "entry"}};
  ASSERT_TRUE(File().Read(back));
  EXPECT_EQ(back, lanes);
  ASSERT_TRUE(File().Write(back));
  EXPECT_EQ(Bytes(), expected);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(LanesFileTest, ClearLeavesAnEmptyFile) {
  Store("1\x1C" "a\r\n");
  ASSERT_TRUE(File().Clear());
  EXPECT_TRUE(platform::fs::FileExists(folder_.File(kLanesFileName)));
  EXPECT_EQ(Bytes(), "");
  TextMap lanes = {{"x", "y"}};
  EXPECT_TRUE(File().Read(lanes));
  EXPECT_TRUE(lanes.empty());
}

TEST_F(LanesFileTest, DecodeFollowsTheLineRules) {
  struct Case {
    const char* name;
    std::string bytes;
    TextMap lanes;
  };
  const std::vector<Case> cases = {
      {"empty file", "", {}},
      {"CR LF and LF line ends", "1\x1C" "a\r\n2\x1C" "b\n3\x1C" "c\r\n", {{"1", "a"}, {"2", "b"}, {"3", "c"}}},
      {"last line without line end", "1\x1C" "a\r\n2\x1C" "b", {{"1", "a"}, {"2", "b"}}},
      {"line without FS skipped", "1\x1C" "a\r\nno separator\r\n2\x1C" "b\r\n", {{"1", "a"}, {"2", "b"}}},
      {"description keeps further FS", "7\x1C" "text1\x1Ctext2\r\n", {{"7", "text1\x1Ctext2"}}},
      {"later line wins", "1\x1C" "old\r\n2\x1C" "b\r\n1\x1C" "new\r\n", {{"1", "new"}, {"2", "b"}}},
      {"empty line ends the file", "1\x1C" "a\r\n\r\n2\x1C" "b\r\n", {{"1", "a"}}},
      {"empty line first", "\r\n1\x1C" "a\r\n", {}},
      {"empty id and description", "\x1C\r\n", {{"", ""}}},
      {"cut inside the last line end", "1\x1C" "a\r\n2\x1C" "b\r", {{"1", "a"}, {"2", "b"}}},
      {"lone CR inside a line kept", "1\x1C" "a\rb\r\n", {{"1", "a\rb"}}},
      {"NUL bytes kept", std::string("1\x1C" "a\0b\r\n", 7), {{"1", std::string("a\0b", 3)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextMap lanes = {{"stale", "entry"}};
    CLanesFile::Decode(c.bytes, lanes);
    EXPECT_EQ(lanes, c.lanes);
  }
}

TEST_F(LanesFileTest, CorruptOrTruncatedFilesReadWithoutFailing) {
  // Binary garbage: whatever lines hold an FS become lanes, nothing else.
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 131 + 7) % 256));
  Store(garbage);
  TextMap lanes;
  EXPECT_TRUE(File().Read(lanes));
  TextMap decoded;
  CLanesFile::Decode(garbage, decoded);
  EXPECT_EQ(lanes, decoded);

  // A file cut at every length of a valid one reads as a prefix of its lanes.
  const TextMap full = {{"1", "Front"}, {"2", "Back"}, {"3", "Patio"}};
  const std::string bytes = CLanesFile::Encode(full);
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    CLanesFile::Decode(bytes.substr(0, cut), lanes);
    for (const auto& [id, description] : lanes) {
      ASSERT_EQ(full.count(id), 1u) << id;
      EXPECT_EQ(full.at(id).rfind(description, 0), 0u) << "description not a prefix: " << description;
    }
  }
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(LanesFileTest, LineBreaksInsideAFieldAreWrittenAsBlanks) {
  const TextMap lanes = {{"1", "two\nlines"}, {"2", "ends\r\n\r\n"}, {"3", "after"}};
  ASSERT_TRUE(File().Write(lanes));
  TextMap back;
  ASSERT_TRUE(File().Read(back));
  const TextMap expected = {{"1", "two lines"}, {"2", "ends    "}, {"3", "after"}};
  EXPECT_EQ(back, expected);  // lane 3 is not lost behind an empty line
}

TEST_F(LanesFileTest, MissingFileReadsAsNoLanes) {
  TextMap lanes = {{"stale", "entry"}};
  EXPECT_TRUE(File("absent.dat").Read(lanes));
  EXPECT_TRUE(lanes.empty());
  EXPECT_TRUE(CLanesFile(folder_.File("no/such/folder/LanesInfo.dat"), &log_).Read(lanes));
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(LanesFileTest, FileErrorsAreLoggedWithTheirCauseAndAnsweredFalse) {
  // A folder where the file should be: it opens but cannot be read, nor replaced.
  ASSERT_TRUE(platform::fs::CreateFolder(folder_.File("folder.dat")));
  TextMap lanes = {{"stale", "entry"}};
  EXPECT_FALSE(File("folder.dat").Read(lanes));
  EXPECT_TRUE(lanes.empty());
  EXPECT_FALSE(File("folder.dat").Write({{"1", "a"}}));
  EXPECT_TRUE(platform::fs::FolderExists(folder_.File("folder.dat")));

  // The folder of the file is missing, or is a file.
  EXPECT_FALSE(CLanesFile(folder_.File("missing/LanesInfo.dat"), &log_).Write({{"1", "a"}}));
  Store("1\x1C" "kept\r\n");
  EXPECT_FALSE(CLanesFile(folder_.File(kLanesFileName) + "/LanesInfo.dat", &log_).Write({{"1", "a"}}));
  EXPECT_EQ(Bytes(), "1\x1C" "kept\r\n");

  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                              "Exception Reading Lanes File 10",
                              "Exception Writing Lanes File 10",
                              "Exception Writing Lanes File 2",
                              "Exception Writing Lanes File 3",
                          }));
}

}  // namespace
