#include "core/queue/reversal_journal.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "core/tran/tran_codes.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"

namespace {

constexpr char kCard[] = "4111111111111111";

// A reversal message as the host builder makes it, card data and all.
std::string ReversalMessage(const std::string& amount) {
  return std::string("\x02*00E4029A099JX4807GC") + "\x1d" "0190" "0" + kCard + "=2512\x1c" + amount +
         "\x1c" "0042\x1d" "04100  \x03" + std::string(1, '\0');
}

class StepClock : public platform::Clock {
 public:
  uint32_t TickCount() override { return tick; }
  time_t Now() override { return 1700000000; }
  uint32_t tick = 0xFFFFF000u;  // close to the wrap
};

class ReversalJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_journal_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/" + kReversalJournalFile;
    key_path_ = dir_ + "/keys/" + kReversalJournalKeyFile;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  bool OpenJournal(CReversalJournal& journal, std::vector<std::string>* messages = nullptr) {
    std::vector<std::string> local;
    return journal.Open(path_, key_path_, messages ? messages : &local);
  }

  // A sale record as the routing holds it.
  static CElavonTran Sale(const std::string& amount) {
    CElavonTran tran;
    tran.m_TranCode = kCodeCreditSale;
    tran.m_Authorize = amount;
    tran.m_AcctNo = kCard;
    tran.m_ClientAddress = "127.0.0.1:0012";
    return tran;
  }

  std::string FileText() const {
    std::string text;
    EXPECT_TRUE(platform::fs::ReadFile(path_, &text));
    return text;
  }
  static unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
  }
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir_.c_str());
    while (dirent* e = d ? ::readdir(d) : nullptr) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    if (d) ::closedir(d);
    return names;
  }
  static bool Mentions(const std::vector<std::string>& messages, const std::string& what) {
    for (const std::string& m : messages) {
      if (m.find(what) != std::string::npos) return true;
    }
    return false;
  }

  std::string dir_, path_, key_path_;
};

TEST_F(ReversalJournalTest, ClosedJournalDoesNothing) {
  CReversalJournal journal;
  CElavonTran tran = Sale("1000");
  EXPECT_FALSE(journal.RecordReversal(tran, ReversalMessage("1000")));
  EXPECT_EQ(tran.m_JournalKey, 0u);
  EXPECT_FALSE(journal.MarkOwed(1));
  EXPECT_FALSE(journal.Clear(1));
  EXPECT_TRUE(journal.TakeDue().empty());
  EXPECT_FALSE(platform::fs::FileExists(path_));
}

TEST_F(ReversalJournalTest, EntriesSurviveAReopenAndAreOwedAtOnce) {
  CElavonTran first = Sale("1000"), second = Sale("2055");
  {
    CReversalJournal journal;
    std::vector<std::string> messages;
    ASSERT_TRUE(OpenJournal(journal, &messages));
    EXPECT_TRUE(Mentions(messages, "key made")) << messages.front();
    ASSERT_TRUE(journal.RecordReversal(first, ReversalMessage("1000")));
    ASSERT_TRUE(journal.RecordReversal(second, ReversalMessage("2055")));
    EXPECT_NE(first.m_JournalKey, 0u);
    EXPECT_NE(first.m_JournalKey, second.m_JournalKey);
    // Under way: nothing is due in this run.
    EXPECT_TRUE(journal.TakeDue().empty());
    ASSERT_TRUE(journal.MarkOwed(second.m_JournalKey));
  }
  // The process died: the next run owes both, oldest first.
  CReversalJournal journal;
  std::vector<std::string> messages;
  ASSERT_TRUE(OpenJournal(journal, &messages));
  EXPECT_TRUE(Mentions(messages, "2 owed reversal(s) from an earlier run"));
  const std::vector<CJournalEntry> due = journal.TakeDue();
  ASSERT_EQ(due.size(), 2u);
  EXPECT_EQ(due[0].m_Key, first.m_JournalKey);
  EXPECT_EQ(due[0].m_Reversal, ReversalMessage("1000"));
  EXPECT_EQ(due[0].m_Amount, "1000");
  EXPECT_EQ(due[0].m_AcctLast4, "1111");
  EXPECT_EQ(due[0].m_ClientAddress, "127.0.0.1:0012");
  EXPECT_EQ(due[0].m_TranCode, kCodeCreditSale);
  EXPECT_EQ(due[0].m_Tries, 0);
  EXPECT_EQ(due[1].m_Reversal, ReversalMessage("2055"));
  EXPECT_EQ(due[1].m_Tries, 1);
  EXPECT_TRUE(journal.TakeDue().empty());  // taken: under way now
  // A final outcome removes the entry from the file too.
  EXPECT_TRUE(journal.Clear(first.m_JournalKey));
  EXPECT_FALSE(journal.Clear(first.m_JournalKey));
  CReversalJournal again;
  ASSERT_TRUE(OpenJournal(again));
  ASSERT_EQ(again.Count(), 1u);
  CJournalEntry left;
  EXPECT_TRUE(again.Find(second.m_JournalKey, &left));
}

TEST_F(ReversalJournalTest, ARecordedEntryKeepsItsNameTriesAndClient) {
  CReversalJournal journal;
  ASSERT_TRUE(OpenJournal(journal));
  CElavonTran tran = Sale("1000");
  ASSERT_TRUE(journal.RecordReversal(tran, ReversalMessage("1000")));
  const uint64_t key = tran.m_JournalKey;
  ASSERT_TRUE(journal.MarkOwed(key));
  // The reversal record that tries it again carries no card data of its own.
  CElavonTran reversal;
  reversal.m_TranCode = kCodeReversal;
  reversal.m_JournalKey = key;
  reversal.m_ClientAddress = "journal(127.0.0.1:0012)";
  ASSERT_TRUE(journal.RecordReversal(reversal, ReversalMessage("1000") + "X"));
  EXPECT_EQ(reversal.m_JournalKey, key);
  CJournalEntry entry;
  ASSERT_TRUE(journal.Find(key, &entry));
  EXPECT_FALSE(entry.m_Owed);
  EXPECT_EQ(entry.m_Tries, 1);
  EXPECT_EQ(entry.m_Reversal, ReversalMessage("1000") + "X");
  EXPECT_EQ(entry.m_AcctLast4, "1111");
  EXPECT_EQ(entry.m_Amount, "1000");
  EXPECT_EQ(entry.m_ClientAddress, "127.0.0.1:0012");
  EXPECT_EQ(entry.m_TranCode, kCodeCreditSale);
  // An empty reversal records nothing.
  CElavonTran none = Sale("5");
  EXPECT_TRUE(journal.RecordReversal(none, ""));
  EXPECT_EQ(none.m_JournalKey, 0u);
  EXPECT_EQ(journal.Count(), 1u);
}

TEST_F(ReversalJournalTest, OwedEntriesComeDueAfterAGrowingPause) {
  StepClock clock;
  platform::ScopedClockOverride use(&clock);
  CReversalJournal journal;
  ASSERT_TRUE(OpenJournal(journal));
  EXPECT_EQ(journal.PauseAfter(1), 2000u);
  EXPECT_EQ(journal.PauseAfter(2), 4000u);
  EXPECT_EQ(journal.PauseAfter(8), 256000u);
  EXPECT_EQ(journal.PauseAfter(9), 300000u);
  EXPECT_EQ(journal.PauseAfter(400), 300000u);
  CElavonTran tran = Sale("1000");
  ASSERT_TRUE(journal.RecordReversal(tran, ReversalMessage("1000")));
  for (uint32_t pause : {2000u, 4000u, 8000u}) {
    uint32_t told = 0;
    ASSERT_TRUE(journal.MarkOwed(tran.m_JournalKey, &told));
    EXPECT_EQ(told, pause);
    // Owed already: a second report changes nothing.
    ASSERT_TRUE(journal.MarkOwed(tran.m_JournalKey, &told));
    EXPECT_EQ(told, pause);
    clock.tick += pause - 1;
    EXPECT_TRUE(journal.TakeDue().empty()) << pause;
    clock.tick += 1;  // crosses the wrap on the way
    ASSERT_EQ(journal.TakeDue().size(), 1u) << pause;
  }
  CJournalEntry entry;
  ASSERT_TRUE(journal.Find(tran.m_JournalKey, &entry));
  EXPECT_EQ(entry.m_Tries, 3);
}

TEST_F(ReversalJournalTest, NoCardNumberInClearAndOwnerOnlyFiles) {
  // An older journal with a wider mode is narrowed by the first write.
  ASSERT_TRUE(platform::fs::ReplaceFile(path_, "KVR reversal journal 1\n", 0644));
  CReversalJournal journal;
  ASSERT_TRUE(OpenJournal(journal));
  CElavonTran tran = Sale("1000");
  ASSERT_TRUE(journal.RecordReversal(tran, ReversalMessage("1000")));
  const std::string text = FileText();
  EXPECT_EQ(text.find(kCard), std::string::npos);
  EXPECT_EQ(text.find("411111111111"), std::string::npos);
  EXPECT_EQ(text.find("3431313131313131"), std::string::npos);  // nor as hex
  EXPECT_EQ(text.find("JX4807"), std::string::npos);
  EXPECT_EQ(Mode(path_), 0600u);
  EXPECT_EQ(Mode(key_path_), 0600u);
  std::string key;
  ASSERT_TRUE(platform::fs::ReadFile(key_path_, &key));
  EXPECT_EQ(key.size(), 32u);
}

TEST_F(ReversalJournalTest, EveryWriteReplacesTheFileWhole) {
  CReversalJournal journal;
  ASSERT_TRUE(OpenJournal(journal));
  std::vector<CElavonTran> sales;
  for (int i = 0; i < 5; ++i) {
    sales.push_back(Sale(std::to_string(100 + i)));
    ASSERT_TRUE(journal.RecordReversal(sales.back(), ReversalMessage(std::to_string(100 + i))));
  }
  ASSERT_TRUE(journal.Clear(sales[2].m_JournalKey));
  // No temporary file is left beside it.
  for (const std::string& name : FolderNames()) {
    EXPECT_TRUE(name == kReversalJournalFile || name == "keys") << name;
  }
  // A write cut short by a crash leaves only a temporary file: the journal as it was
  // is what the next run reads.
  ASSERT_TRUE(platform::fs::ReplaceFile(path_ + ".tmpAbC123", FileText().substr(0, 40)));
  CReversalJournal next;
  ASSERT_TRUE(OpenJournal(next));
  EXPECT_EQ(next.Count(), 4u);
  CJournalEntry entry;
  EXPECT_FALSE(next.Find(sales[2].m_JournalKey, &entry));
  EXPECT_TRUE(next.Find(sales[4].m_JournalKey, &entry));
}

TEST_F(ReversalJournalTest, DamagedFilesAreReadWithoutACrash) {
  // Three entries written properly; each case damages the file, and the entries
  // that are still whole are read, the rest left out with a message.
  std::string good;
  std::vector<uint64_t> keys;
  {
    CReversalJournal journal;
    ASSERT_TRUE(OpenJournal(journal));
    for (const char* amount : {"100", "200", "300"}) {
      CElavonTran tran = Sale(amount);
      ASSERT_TRUE(journal.RecordReversal(tran, ReversalMessage(amount)));
      keys.push_back(tran.m_JournalKey);
    }
    good = FileText();
  }
  const size_t second_line = good.find('\n') + 1;
  const size_t third_line = good.find('\n', second_line) + 1;
  struct Case {
    const char* name;
    std::function<std::string(const std::string&)> damage;
    size_t entries_kept;
    const char* message;  // "" for none
  } cases[] = {
      {"intact", [](const std::string& t) { return t; }, 3, ""},
      {"empty file", [](const std::string&) { return std::string(); }, 0, ""},
      {"cut inside the header", [](const std::string& t) { return t.substr(0, 7); }, 0, "header is damaged"},
      {"cut inside the last entry", [](const std::string& t) { return t.substr(0, t.size() - 30); }, 2, "cut short"},
      {"last line end missing", [](const std::string& t) { return t.substr(0, t.size() - 1); }, 2, "cut short"},
      {"a byte of the first reversal changed",
       [&](const std::string& t) {
         std::string d = t;
         const size_t at = d.find('\n', second_line) - 40;
         d[at] = d[at] == 'A' ? 'B' : 'A';
         return d;
       },
       2, "fails its check"},
      {"the amount of the last entry changed",
       [&](const std::string& t) {
         std::string d = t;
         const size_t at = d.find(" 333030 ", third_line);  // "300" as hex
         d.replace(at, 8, " 393030 ");
         return d;
       },
       2, "fails its check"},
      {"garbage line between entries",
       [&](const std::string& t) { return t.substr(0, third_line) + "E nonsense\n" + t.substr(third_line); }, 3,
       "not an entry"},
      {"binary noise", [](const std::string&) { return std::string("\x00\xff\x13\n\n\x01 E E E\n", 13); }, 0,
       "header is damaged"},
      {"an entry repeated", [&](const std::string& t) { return t + t.substr(second_line, third_line - second_line); },
       3, "repeats an entry"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(platform::fs::ReplaceFile(path_, c.damage(good)));
    platform::fs::RemoveFile(path_ + ".bad");
    CReversalJournal journal;
    std::vector<std::string> messages;
    ASSERT_TRUE(OpenJournal(journal, &messages));
    EXPECT_EQ(journal.Count(), c.entries_kept);
    const bool damaged = *c.message != '\0';
    EXPECT_EQ(Mentions(messages, c.message), true);
    EXPECT_EQ(Mentions(messages, "left out"), damaged);
    // The file as read is kept for a person to look at; the journal is clean again.
    EXPECT_EQ(platform::fs::FileExists(path_ + ".bad"), damaged);
    if (damaged) {
      std::string copy;
      ASSERT_TRUE(platform::fs::ReadFile(path_ + ".bad", &copy));
      EXPECT_EQ(copy, c.damage(good));
      EXPECT_EQ(Mode(path_ + ".bad"), 0600u);
    }
    CReversalJournal reread;
    std::vector<std::string> quiet;
    ASSERT_TRUE(OpenJournal(reread, &quiet));
    EXPECT_EQ(reread.Count(), c.entries_kept);
    EXPECT_FALSE(Mentions(quiet, "left out"));
  }
}

TEST_F(ReversalJournalTest, AnotherKeyCannotReadTheEntries) {
  {
    CReversalJournal journal;
    ASSERT_TRUE(OpenJournal(journal));
    CElavonTran tran = Sale("100");
    ASSERT_TRUE(journal.RecordReversal(tran, ReversalMessage("100")));
  }
  // The key is lost: a new one is made, the old entries fail their check and the
  // file is kept as it was.
  ASSERT_TRUE(platform::fs::RemoveFile(key_path_));
  CReversalJournal journal;
  std::vector<std::string> messages;
  ASSERT_TRUE(OpenJournal(journal, &messages));
  EXPECT_EQ(journal.Count(), 0u);
  EXPECT_TRUE(Mentions(messages, "fails its check"));
  EXPECT_TRUE(platform::fs::FileExists(path_ + ".bad"));
}

TEST_F(ReversalJournalTest, UnusableKeyOrFolderKeepsTheJournalClosed) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    const char* message;
  } cases[] = {
      {"key of the wrong size",
       [&] {
         ASSERT_TRUE(platform::fs::CreateFolders(dir_ + "/keys"));
         ASSERT_TRUE(platform::fs::ReplaceFile(key_path_, "short", 0600));
       },
       "cannot be used"},
      {"journal path is a folder",
       [&] {
         platform::fs::RemoveFile(key_path_);
         ASSERT_TRUE(platform::fs::CreateFolder(path_));
       },
       "closed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    CReversalJournal journal;
    std::vector<std::string> messages;
    EXPECT_FALSE(OpenJournal(journal, &messages));
    EXPECT_FALSE(journal.IsOpen());
    EXPECT_TRUE(Mentions(messages, c.message)) << (messages.empty() ? "" : messages.back());
  }
  CReversalJournal no_folder;
  std::vector<std::string> messages;
  EXPECT_FALSE(no_folder.Open(path_, "", &messages));
}

}  // namespace
