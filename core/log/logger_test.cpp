#include "core/log/logger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/log/log_text.h"
#include "platform/fs/files.h"
#include "platform/text/format.h"

namespace {

#define FS "\x1C"
#define DC1 "\x11"
#define DC2 "\x12"

constexpr uint32_t kWaitMs = 5000;

time_t LocalAt(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return mktime(&t);
}

// A settable clock. The thread that created it sees caller time; every other thread
// (the writer) sees writer time, so a test decides the date at which a batch is
// written independently of the stamps of its lines.
class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(time_t now) : m_Caller(now), m_Writer(now), m_Owner(std::this_thread::get_id()) {}
  void SetWriterNow(time_t t) { m_Writer = t; }
  uint32_t TickCount() override { return 0; }
  time_t Now() override { return std::this_thread::get_id() == m_Owner ? m_Caller.load() : m_Writer.load(); }

 private:
  std::atomic<time_t> m_Caller;
  std::atomic<time_t> m_Writer;
  const std::thread::id m_Owner;
};

std::string Record(const std::string& stamped_text) { return stamped_text + "\r\n----------\r\n"; }

std::string ReadAll(const std::string& path) {
  std::string bytes;
  platform::fs::ReadFile(path, &bytes);
  return bytes;
}

// A fresh log folder under the working folder for each test, removed afterwards.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "logtest.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_Folder = std::filesystem::absolute(pattern).string();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_Folder, ignored);
  }
  std::string DayFile(const char* date) const { return m_Folder + "/KVR" + date + ".log"; }
  std::string AltFile(const char* date) const { return m_Folder + "/KVR" + date + "_ALT.log"; }

  std::string m_Folder;
  FakeClock m_Clock{LocalAt(2026, 3, 8, 14, 3, 9)};
};

TEST_F(LoggerTest, RecordIsStampTextAndSeparatorWithCrLfAppendedToTheDaysFile) {
  ASSERT_TRUE(platform::fs::AppendToFile(DayFile("03082026"), "earlier\r\n"));
  CLogger logger(m_Folder, &m_Clock);
  EXPECT_TRUE(logger.LogLine("Server Startup %s", "ZW 5.18"));
  EXPECT_TRUE(logger.LogLine("line %d", 2));
  logger.Shutdown();
  EXPECT_EQ(ReadAll(DayFile("03082026")),
            "earlier\r\n"
            "[14:03:09]Server Startup ZW 5.18\r\n----------\r\n"
            "[14:03:09]line 2\r\n----------\r\n");
  EXPECT_FALSE(platform::fs::FileExists(AltFile("03082026")));
}

TEST_F(LoggerTest, WriterFiltersMasksAndStripsLines) {
  struct Case {
    std::string logged;
    std::string written;  // empty: not written at all
  };
  const std::vector<Case> cases = {
      {"before", "before"},
      {"Item=1" FS "TStream=Quillon" FS "Pwd=secret", ""},
      {"[" FS "2" "00\x02" "ABCD" DC1 "KEY" DC2 "] sent to 10.0.0.7", "[ Encrypted Msg ] sent to 10.0.0.7"},
      {"Req TranType=Administrative" FS "TranCode=BatchClose" DC1 "KEY" DC2, "Req TranCode=BatchClose"},
      {"after", "after"},
  };
  CLogger logger(m_Folder, &m_Clock);
  std::string expected;
  for (const Case& c : cases) {
    EXPECT_TRUE(logger.LogText(c.logged));
    if (!c.written.empty()) expected += Record("[14:03:09]" + c.written);
  }
  logger.Shutdown();
  EXPECT_EQ(ReadAll(DayFile("03082026")), expected);
}

TEST_F(LoggerTest, TextFromOutsideCannotForgeARecord) {
  // A client's trace text trying to close the record and open one of its own.
  const std::string forged = "T1\r\n----------\r\n[14:03:10]Approved sale of 4111" FS "x";
  CLogger logger(m_Folder, &m_Clock);
  EXPECT_TRUE(logger.LogText("Request ->[" + EscapeLineBreaks(forged) + "] from 10.0.0.7"));
  EXPECT_TRUE(logger.LogText("own\nlines"));
  logger.Shutdown();
  EXPECT_EQ(ReadAll(DayFile("03082026")),
            Record("[14:03:09]Request ->[T1|0d|0a----------|0d|0a[14:03:10]Approved sale of 4111|1cx] from 10.0.0.7") +
                Record("[14:03:09]own\r\nlines"));
}

// A cause that cannot go to the log goes to stderr, shown as the writer would write
// it: text from outside with its line breaks escaped by the caller forges no line
// there either, and no other control byte reaches the terminal.
TEST_F(LoggerTest, ACauseOnStderrShowsItsControlBytesEscaped) {
  CLogger logger(m_Folder + "/missing", &m_Clock);
  // The writer says once on stderr that the folder cannot be written; let it say so
  // before the capture, so the capture holds only the cause.
  ASSERT_TRUE(logger.LogLine("first"));
  ASSERT_TRUE(logger.Flush(kWaitMs));
  ::testing::internal::CaptureStderr();
  logger.LogCause("Parameter download failed: %s",
                  EscapeLineBreaks("Error(RVCS): x\r\n[23:59:59]forged\x1B[2K" FS "end").c_str());
  const std::string shown = ::testing::internal::GetCapturedStderr();
  logger.Shutdown();
  EXPECT_EQ(shown, "Parameter download failed: Error(RVCS): x|0d|0a[23:59:59]forged|1b[2K|1cend\n");
}

TEST_F(LoggerTest, OverlongLinesAreCutAndFilesAreTheOwnersOnly) {
  CLogger logger(m_Folder, &m_Clock);
  EXPECT_TRUE(logger.LogText(std::string(kLogLineLimit + 100, 'g')));
  logger.Shutdown();
  // The stamp counts as part of the line.
  const size_t total = kLogLineLimit + 100 + 10;
  EXPECT_EQ(ReadAll(DayFile("03082026")),
            Record("[14:03:09]" + std::string(kLogLineLimit - 10, 'g') + "...[cut: " + std::to_string(total) + " bytes]"));
  struct stat st {};
  ASSERT_EQ(::stat(DayFile("03082026").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_TRUE(platform::fs::CreateFolder(DayFile("03092026")));
  FakeClock next_day(LocalAt(2026, 3, 9, 8, 0, 0));
  CLogger alt(m_Folder, &next_day);
  EXPECT_TRUE(alt.LogLine("to the alt file"));
  alt.Shutdown();
  ASSERT_EQ(::stat(AltFile("03092026").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LoggerTest, ReadyMadeTextWithPercentIsWrittenUnchanged) {
  const std::string text = "100% done %s %d %n %%";
  CLogger logger(m_Folder, &m_Clock);
  EXPECT_TRUE(logger.LogText(text));
  EXPECT_TRUE(logger.LogLine("%s", text.c_str()));
  logger.Shutdown();
  EXPECT_EQ(ReadAll(DayFile("03082026")), Record("[14:03:09]" + text) + Record("[14:03:09]" + text));
}

TEST_F(LoggerTest, LinesStampedBeforeMidnightGoToTheFileOfTheDayTheyAreWritten) {
  FakeClock clock(LocalAt(2026, 6, 15, 23, 59, 59));
  clock.SetWriterNow(LocalAt(2026, 6, 16, 0, 0, 1));
  CLogger logger(m_Folder, &clock);
  EXPECT_TRUE(logger.LogLine("last of the day"));
  logger.Shutdown();
  EXPECT_EQ(ReadAll(DayFile("06162026")), Record("[23:59:59]last of the day"));
  EXPECT_FALSE(platform::fs::FileExists(DayFile("06152026")));
}

TEST_F(LoggerTest, FallsBackToTheAltFileWhenTheDaysFileCannotBeOpened) {
  ASSERT_TRUE(platform::fs::CreateFolder(DayFile("03082026")));  // a folder cannot be opened for writing
  CLogger logger(m_Folder, &m_Clock);
  EXPECT_TRUE(logger.LogLine("to the alt file"));
  logger.Shutdown();
  EXPECT_EQ(ReadAll(AltFile("03082026")), Record("[14:03:09]to the alt file"));
}

TEST_F(LoggerTest, BatchIsDroppedWhenNeitherFileOpensAndTheNextBatchIsWritten) {
  const std::string folder = m_Folder + "/missing";
  CLogger logger(folder, &m_Clock);
  EXPECT_TRUE(logger.LogLine("lost"));
  ASSERT_TRUE(logger.Flush(kWaitMs));
  ASSERT_TRUE(platform::fs::CreateFolder(folder));
  EXPECT_TRUE(logger.LogLine("kept"));
  logger.Shutdown();
  EXPECT_EQ(ReadAll(folder + "/KVR03082026.log"), Record("[14:03:09]kept"));
  EXPECT_FALSE(platform::fs::FileExists(folder + "/KVR03082026_ALT.log"));
}

TEST_F(LoggerTest, KeepsEachThreadsOrderAndLosesNothingUnderConcurrentLogging) {
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  CLogger logger(m_Folder, &m_Clock);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < kLines; ++i) logger.LogLine("T%d L%d", t, i);
    });
  }
  for (std::thread& th : threads) th.join();
  logger.Shutdown();

  const std::string bytes = ReadAll(DayFile("03082026"));
  std::vector<int> next(kThreads, 0);
  size_t pos = 0;
  int records = 0;
  const std::string end = "\r\n----------\r\n";
  while (pos < bytes.size()) {
    const size_t stop = bytes.find(end, pos);
    ASSERT_NE(stop, std::string::npos);
    const std::string record = bytes.substr(pos, stop - pos);
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(record.c_str(), "[14:03:09]T%d L%d", &t, &i), 2) << record;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
    ++records;
    pos = stop + end.size();
  }
  EXPECT_EQ(records, kThreads * kLines);
}

TEST_F(LoggerTest, ShutdownWritesWhatIsPendingThenRefusesLines) {
  CLogger logger(m_Folder, &m_Clock);
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    EXPECT_TRUE(logger.LogLine("pending %d", i));
    expected += Record(platform::Format("[14:03:09]pending %d", i));
  }
  logger.Shutdown();  // no Flush: the last pass writes them
  EXPECT_EQ(ReadAll(DayFile("03082026")), expected);

  EXPECT_FALSE(logger.LogLine("too late"));
  EXPECT_FALSE(logger.LogText("too late"));
  logger.Shutdown();
  EXPECT_TRUE(logger.Flush(0));
  EXPECT_EQ(ReadAll(DayFile("03082026")), expected);
}

TEST_F(LoggerTest, EveryAcceptedLineIsWrittenWhenShutdownRacesWithLoggers) {
  constexpr int kThreads = 4;
  CLogger logger(m_Folder, &m_Clock);
  std::atomic<int> accepted{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 100000 && logger.LogLine("x"); ++i) ++accepted;
    });
  }
  go = true;
  // Stop while the loggers are busy: some of their lines are accepted, the rest refused.
  for (int waited = 0; accepted < 2000 && waited < 2000; ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread second([&] { logger.Shutdown(); });
  logger.Shutdown();
  second.join();
  for (std::thread& th : threads) th.join();

  const std::string bytes = ReadAll(DayFile("03082026"));
  const std::string record = Record("[14:03:09]x");
  ASSERT_EQ(bytes.size() % record.size(), 0u);
  EXPECT_EQ(static_cast<int>(bytes.size() / record.size()), accepted.load());
}

TEST(LogQueueTest, TakePendingAppendsInOrderAndClosedQueueRefuses) {
  CLogQueue queue;
  EXPECT_TRUE(queue.AddLine("a"));
  EXPECT_TRUE(queue.AddLine("b"));
  std::vector<std::string> writing = {"old"};
  queue.TakePending(&writing);
  EXPECT_EQ(writing, (std::vector<std::string>{"old", "a", "b"}));
  queue.TakePending(&writing);
  EXPECT_EQ(writing.size(), 3u);
  EXPECT_TRUE(queue.AddLine("c"));
  queue.Close();
  EXPECT_FALSE(queue.AddLine("d"));
  EXPECT_EQ(queue.AddedCount(), 3u);
  queue.TakePending(&writing);
  EXPECT_EQ(writing.back(), "c");
}

// The only test that touches the process-wide logger and the shared "QUILLON_LOGS".
TEST(ProcessLoggerTest, WritesIntoQuillonLogsUntilShutdownLogger) {
  FakeClock clock(LocalAt(2026, 3, 8, 14, 3, 9));
  platform::ScopedClockOverride use_clock(&clock);
  ASSERT_TRUE(platform::fs::CreateFolder("QUILLON_LOGS"));
  platform::fs::RemoveFile("QUILLON_LOGS/KVR03082026.log");

  EXPECT_TRUE(GetLogger().LogLine("Server Startup %s", "ZW 5.18"));
  EXPECT_EQ(&GetLogger(), &GetLogger());
  ShutdownLogger();
  EXPECT_FALSE(GetLogger().LogLine("Server Shutdown . . ."));
  ShutdownLogger();
  EXPECT_EQ(ReadAll("QUILLON_LOGS/KVR03082026.log"), Record("[14:03:09]Server Startup ZW 5.18"));
}

}  // namespace
