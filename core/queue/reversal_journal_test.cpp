#include "core/queue/reversal_journal.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "core/tran/tran_codes.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

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

  bool OpenJournal(CReversalJournal& journal, std::vector<std::string>* messages = nullptr,
                   std::vector<std::string>* alerts = nullptr) {
    CJournalOpenReport report;
    const bool open = journal.Open(path_, key_path_, &report);
    if (messages) *messages = report.m_Messages;
    if (alerts) *alerts = report.m_Alerts;
    return open;
  }

  // The routing's first Sent of a sale: its entry, holding the reversal message.
  static void Send(CReversalJournal& journal, CElavonTran& tran) {
    ASSERT_TRUE(journal.Sent(tran, ReversalMessage(tran.m_Authorize)));
    ASSERT_NE(tran.m_JournalKey, 0u);
  }
  // The names in the folder that start with prefix.
  std::vector<std::string> NamesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& name : FolderNames()) {
      if (name.rfind(prefix, 0) == 0) out.push_back(name);
    }
    return out;
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

// A reversal record of the entry key, as the ReverseWorker or the routing sends it.
CElavonTran ReversalRecord(uint64_t key, const std::string& amount) {
  CElavonTran tran;
  tran.m_TranCode = kCodeReversal;
  tran.m_Family = kTranFamilyReversal;
  tran.m_HostRequest = ReversalMessage(amount);
  tran.m_Authorize = amount;
  tran.m_JournalKey = key;
  tran.m_ClientAddress = "journal(127.0.0.1:0012)";
  return tran;
}

TEST_F(ReversalJournalTest, AClosedJournalRefusesWhatWouldNeedAnEntry) {
  CReversalJournal journal;
  CElavonTran tran = Sale("1000");
  EXPECT_FALSE(journal.Sent(tran, ReversalMessage("1000")));
  EXPECT_EQ(tran.m_JournalKey, 0u);
  // What needs no entry goes: a request nothing could cancel, and a reversal.
  EXPECT_TRUE(journal.Sent(tran, ""));
  CElavonTran reversal = ReversalRecord(0, "1000");
  EXPECT_TRUE(journal.Sent(reversal, ""));
  journal.Delivered(tran);
  journal.ReversalFailed(tran);
  EXPECT_TRUE(journal.TakeDue().empty());
  EXPECT_EQ(journal.Count(), 0u);
  EXPECT_FALSE(platform::fs::FileExists(path_));
}

TEST_F(ReversalJournalTest, EntriesSurviveAReopenAndAreOwedAtOnce) {
  CElavonTran first = Sale("1000"), second = Sale("2055");
  second.m_RequestSeqNo = "0042";
  {
    CReversalJournal journal;
    std::vector<std::string> messages;
    ASSERT_TRUE(OpenJournal(journal, &messages));
    EXPECT_TRUE(Mentions(messages, "key made")) << messages.front();
    Send(journal, first);
    Send(journal, second);
    EXPECT_NE(first.m_JournalKey, second.m_JournalKey);
    // Under way: nothing is due in this run.
    EXPECT_TRUE(journal.TakeDue().empty());
    journal.ReversalFailed(second);
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
  EXPECT_EQ(due[1].m_SeqNo, "0042");
  EXPECT_EQ(due[1].m_Tries, 1);
  EXPECT_TRUE(journal.TakeDue().empty());  // taken: being reversed now
  // The host answers the reversal: the entry leaves the file too.
  CElavonTran reversal = ReversalRecord(first.m_JournalKey, "1000");
  EXPECT_TRUE(journal.Sent(reversal, ""));
  journal.Answered(reversal);
  CReversalJournal again;
  ASSERT_TRUE(OpenJournal(again));
  ASSERT_EQ(again.Count(), 1u);
  CJournalEntry left;
  EXPECT_TRUE(again.Find(second.m_JournalKey, &left));
}

// A line of the earlier format, sealed as that version sealed it: the fields before
// the nonce (no sequence number) are the authenticated data.
std::string EarlierLine(const std::string& key, uint64_t name, const std::string& amount,
                        const std::string& reversal) {
  const auto hex = [](const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) out += platform::Format("%02X", c);
    return out;
  };
  const std::string prefix = platform::Format("E %016llX 0 1700000000 1 ", static_cast<unsigned long long>(name)) +
                             hex(amount) + " " + hex("1111") + " " + hex("10.0.0.1:0001") + " ";
  const std::string nonce(12, '\x07');
  std::string cipher(reversal.size(), '\0'), tag(16, '\0');
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const auto* n = reinterpret_cast<const unsigned char*>(nonce.data());
  EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr);
  EVP_EncryptInit_ex(ctx, nullptr, nullptr, k, n);
  EVP_EncryptUpdate(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(prefix.data()),
                    static_cast<int>(prefix.size()));
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(cipher.data()), &len,
                    reinterpret_cast<const unsigned char*>(reversal.data()), static_cast<int>(reversal.size()));
  unsigned char rest[16];
  EVP_EncryptFinal_ex(ctx, rest, &len);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag.data());
  EVP_CIPHER_CTX_free(ctx);
  return prefix + hex(nonce) + " " + hex(cipher) + " " + hex(tag);
}

TEST_F(ReversalJournalTest, EntriesOfTheEarlierFormatAreStillRead) {
  const std::string key(32, 'k');
  ASSERT_TRUE(platform::fs::CreateFolders(dir_ + "/keys"));
  ASSERT_TRUE(platform::fs::ReplaceFile(key_path_, key, 0600));
  ASSERT_TRUE(platform::fs::ReplaceFile(
      path_, "KVR reversal journal 1\n" + EarlierLine(key, 0x1234, "700", ReversalMessage("700")) + "\n", 0600));
  CReversalJournal journal;
  std::vector<std::string> messages;
  ASSERT_TRUE(OpenJournal(journal, &messages));
  EXPECT_FALSE(Mentions(messages, "left out"));
  const std::vector<CJournalEntry> due = journal.TakeDue();
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].m_Key, 0x1234u);
  EXPECT_EQ(due[0].m_Amount, "700");
  EXPECT_EQ(due[0].m_Reversal, ReversalMessage("700"));
  // Written back in the current format, and read again from it.
  EXPECT_EQ(FileText().rfind("KVR reversal journal 2\n", 0), 0u);
  CReversalJournal again;
  ASSERT_TRUE(OpenJournal(again));
  EXPECT_EQ(again.Count(), 1u);
}

// What each course of events leaves of a sale's entry: only a delivered answer, a
// decline that could not be delivered, nothing sent, or the host's answer to the
// reversal removes it; anything else leaves it owed or being reversed.
TEST_F(ReversalJournalTest, WhatEachCourseOfEventsLeaves) {
  enum class Left { kNothing, kOwed, kReversing, kAnswered, kUnderWay };
  using Step = std::function<void(CReversalJournal&, CElavonTran&)>;
  const Step sent = [](CReversalJournal& j, CElavonTran& t) { ASSERT_TRUE(j.Sent(t, ReversalMessage("1000"))); };
  const Step answered = [](CReversalJournal& j, CElavonTran& t) { j.Answered(t); };
  const Step approved = [](CReversalJournal&, CElavonTran& t) { t.m_Approved = true; };
  const Step echo_sent = [](CReversalJournal& j, CElavonTran& t) {
    ASSERT_TRUE(j.Sent(t, ReversalMessage("1000") + "E"));
  };
  const Step confirmed = [](CReversalJournal& j, CElavonTran& t) { j.Confirmed(t); };
  const Step delivered = [](CReversalJournal& j, CElavonTran& t) { j.Delivered(t); };
  const Step undeliverable = [](CReversalJournal& j, CElavonTran& t) { j.Undeliverable(t, false); };
  const Step requeued = [](CReversalJournal& j, CElavonTran& t) { j.Undeliverable(t, true); };
  const Step not_sent = [](CReversalJournal& j, CElavonTran& t) { j.NotSent(t); };
  const Step ended = [](CReversalJournal& j, CElavonTran& t) { j.ExchangeEnded(t); };
  // The reversal of a copy under the same key (the echo answered without a result).
  const Step copy_reversal_fails = [](CReversalJournal& j, CElavonTran& t) {
    CElavonTran copy = ReversalRecord(t.m_JournalKey, "1000");
    ASSERT_TRUE(j.Sent(copy, ""));
    j.ReversalFailed(copy);
  };
  const Step copy_reversal_answered = [](CReversalJournal& j, CElavonTran& t) {
    CElavonTran copy = ReversalRecord(t.m_JournalKey, "1000");
    ASSERT_TRUE(j.Sent(copy, ""));
    j.ReversalAnswered(copy);
  };
  const Step reversal_failed = [](CReversalJournal& j, CElavonTran& t) { j.ReversalFailed(t); };
  const Step late_answer = answered;
  struct Case {
    const char* name;
    std::vector<Step> steps;
    Left left;
  } cases[] = {
      {"approval delivered", {sent, answered, approved, ended, delivered}, Left::kNothing},
      {"decline not deliverable", {sent, answered, ended, undeliverable}, Left::kNothing},
      {"approval not deliverable", {sent, answered, approved, ended, undeliverable}, Left::kOwed},
      {"approval not deliverable, its reversal queued", {sent, answered, approved, ended, requeued}, Left::kReversing},
      {"answered, not yet delivered", {sent, answered, ended}, Left::kAnswered},
      {"echo confirmed, delivered", {sent, answered, approved, echo_sent, confirmed, ended, delivered}, Left::kNothing},
      {"echo never sent", {sent, answered, approved, echo_sent, not_sent}, Left::kOwed},
      {"echo without result, its reversal hung up on, then the decline delivered",
       {sent, answered, approved, echo_sent, copy_reversal_fails, ended, delivered},
       Left::kOwed},
      {"... and a late echo answer", {sent, answered, echo_sent, copy_reversal_fails, late_answer, delivered},
       Left::kOwed},
      {"echo without result, reversed", {sent, answered, echo_sent, copy_reversal_answered, ended, delivered},
       Left::kNothing},
      {"no answer, reversal failed", {sent, reversal_failed, ended, delivered}, Left::kOwed},
      {"an error reply with the outcome never told", {sent, ended, delivered}, Left::kOwed},
      {"still under way", {sent}, Left::kUnderWay},
  };
  CReversalJournal journal;
  ASSERT_TRUE(OpenJournal(journal));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CElavonTran tran = Sale("1000");
    for (const Step& step : c.steps) ASSERT_NO_FATAL_FAILURE(step(journal, tran));
    CJournalEntry entry;
    const bool kept = journal.Find(tran.m_JournalKey, &entry);
    switch (c.left) {
      case Left::kNothing: EXPECT_FALSE(kept); break;
      case Left::kOwed: ASSERT_TRUE(kept); EXPECT_EQ(entry.m_Phase, JournalPhase::kOwed); break;
      case Left::kReversing: ASSERT_TRUE(kept); EXPECT_EQ(entry.m_Phase, JournalPhase::kReversing); break;
      case Left::kAnswered: ASSERT_TRUE(kept); EXPECT_EQ(entry.m_Phase, JournalPhase::kAnswered); break;
      case Left::kUnderWay: ASSERT_TRUE(kept); EXPECT_EQ(entry.m_Phase, JournalPhase::kUnderWay); break;
    }
    if (kept) {
      CElavonTran done = ReversalRecord(tran.m_JournalKey, "1000");
      journal.ReversalAnswered(done);
    }
  }
  EXPECT_EQ(journal.Count(), 0u);
}

// An entry whose record has left the queue without a final outcome, while no
// exchange of it is under way, becomes owed; one still held, still in an exchange,
// or changed after the count was taken does not.
TEST_F(ReversalJournalTest, EntriesWhoseRecordLeftTheQueueBecomeOwed) {
  CReversalJournal journal;
  ASSERT_TRUE(OpenJournal(journal));
  CElavonTran gone = Sale("100"), held = Sale("200"), in_exchange = Sale("300"), late = Sale("400");
  for (CElavonTran* t : {&gone, &held, &in_exchange, &late}) Send(journal, *t);
  for (CElavonTran* t : {&gone, &held, &in_exchange}) journal.Answered(*t);
  journal.ExchangeEnded(gone);
  journal.ExchangeEnded(held);
  const uint64_t before = journal.ChangeCount();
  journal.Answered(late);
  journal.ExchangeEnded(late);
  EXPECT_EQ(journal.OweUnheld({held.m_JournalKey}, before), 1u);
  CJournalEntry entry;
  ASSERT_TRUE(journal.Find(gone.m_JournalKey, &entry));
  EXPECT_TRUE(entry.Owed());
  for (const CElavonTran* t : {&held, &in_exchange, &late}) {
    ASSERT_TRUE(journal.Find(t->m_JournalKey, &entry));
    EXPECT_FALSE(entry.Owed()) << t->m_Authorize;
  }
  // Owed once: a second sweep and a late delivery change nothing.
  EXPECT_EQ(journal.OweUnheld({}, journal.ChangeCount()), 2u);  // held and late, now unheld
  journal.Delivered(gone);
  ASSERT_TRUE(journal.Find(gone.m_JournalKey, &entry));
  EXPECT_TRUE(entry.Owed());
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
  Send(journal, tran);
  for (uint32_t pause : {2000u, 4000u, 8000u}) {
    journal.ReversalFailed(tran);
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
  Send(journal, tran);
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
    ASSERT_NO_FATAL_FAILURE(Send(journal, sales.back()));
  }
  journal.Answered(sales[2]);
  journal.Delivered(sales[2]);
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

TEST_F(ReversalJournalTest, DamagedFilesAreReadWithoutACrashAndKeptAside) {
  // Three entries written properly; each case damages the file, and the entries
  // that are still whole are read, the rest left out with a message.
  std::string good;
  std::vector<uint64_t> keys;
  {
    CReversalJournal journal;
    ASSERT_TRUE(OpenJournal(journal));
    for (const char* amount : {"100", "200", "300"}) {
      CElavonTran tran = Sale(amount);
      ASSERT_NO_FATAL_FAILURE(Send(journal, tran));
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
       2, "AMT:900"},
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
    for (const std::string& name : NamesStartingWith(std::string(kReversalJournalFile) + ".bad")) {
      platform::fs::RemoveFile(dir_ + "/" + name);
    }
    ASSERT_TRUE(platform::fs::ReplaceFile(path_, c.damage(good)));
    CReversalJournal journal;
    std::vector<std::string> messages, alerts;
    ASSERT_TRUE(OpenJournal(journal, &messages, &alerts));
    EXPECT_EQ(journal.Count(), c.entries_kept);
    const bool damaged = *c.message != '\0';
    EXPECT_EQ(Mentions(messages, c.message), true);
    EXPECT_EQ(Mentions(messages, "left out"), damaged);
    EXPECT_EQ(alerts.size(), damaged ? 1u : 0u);
    // The file as read is kept for a person to look at, under a name of its own; the
    // journal is clean again.
    const std::vector<std::string> kept = NamesStartingWith(std::string(kReversalJournalFile) + ".bad-");
    ASSERT_EQ(kept.size(), damaged ? 1u : 0u);
    if (damaged) {
      std::string copy;
      ASSERT_TRUE(platform::fs::ReadFile(dir_ + "/" + kept[0], &copy));
      EXPECT_EQ(copy, c.damage(good));
      EXPECT_EQ(Mode(dir_ + "/" + kept[0]), 0600u);
    }
    CReversalJournal reread;
    std::vector<std::string> quiet;
    ASSERT_TRUE(OpenJournal(reread, &quiet));
    EXPECT_EQ(reread.Count(), c.entries_kept);
    EXPECT_FALSE(Mentions(quiet, "left out"));
  }
}

TEST_F(ReversalJournalTest, MillionsOfBadLinesGiveABoundedSummary) {
  CReversalJournal first;
  ASSERT_TRUE(OpenJournal(first));
  CElavonTran tran = Sale("100");
  ASSERT_NO_FATAL_FAILURE(Send(first, tran));
  std::string text = FileText();
  const std::string bad_line = "E 0000000000000001 0 1 1 - - - - 00 00 00\n";
  text.reserve(text.size() + bad_line.size() * 200000);
  for (int i = 0; i < 200000; ++i) text += bad_line;
  ASSERT_TRUE(platform::fs::ReplaceFile(path_, text));
  CReversalJournal journal;
  std::vector<std::string> messages, alerts;
  ASSERT_TRUE(OpenJournal(journal, &messages, &alerts));
  EXPECT_EQ(journal.Count(), 1u);  // the good entry is still owed
  EXPECT_LT(messages.size(), 30u);
  EXPECT_TRUE(Mentions(messages, "199980 more line(s) left out"));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_NE(alerts[0].find("200000 line(s)"), std::string::npos) << alerts[0];
}

// A key that is gone or cannot be used is never replaced over the entries it alone
// can read: the journal is kept aside under a name of its own, every entry is named
// with what is known of it, and the operator is told.
TEST_F(ReversalJournalTest, AMissingOrUnusableKeyKeepsTheEntriesAsideAndNamesThem) {
  struct Case {
    const char* name;
    std::function<void()> spoil_key;
    const char* key_aside;  // "" when no key file is kept aside
  } cases[] = {
      {"key removed", [&] { ASSERT_TRUE(platform::fs::RemoveFile(key_path_)); }, ""},
      {"key cut short", [&] { ASSERT_TRUE(platform::fs::ReplaceFile(key_path_, "short", 0600)); }, "unusable-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::system(("rm -rf '" + dir_ + "'/*").c_str());
    std::string written;
    {
      CReversalJournal journal;
      ASSERT_TRUE(OpenJournal(journal));
      CElavonTran tran = Sale("4321");
      tran.m_RequestSeqNo = "0077";
      ASSERT_NO_FATAL_FAILURE(Send(journal, tran));
      written = FileText();
    }
    c.spoil_key();
    CReversalJournal journal;
    std::vector<std::string> messages, alerts;
    ASSERT_TRUE(OpenJournal(journal, &messages, &alerts));
    EXPECT_EQ(journal.Count(), 0u);
    EXPECT_TRUE(Mentions(messages, "1 entry cannot be read")) << ::testing::PrintToString(messages);
    EXPECT_TRUE(Mentions(messages, "Acct:XXX...1111 AMT:4321 Seq:0077")) << ::testing::PrintToString(messages);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_NE(alerts[0].find("could not be read"), std::string::npos);
    const std::vector<std::string> kept = NamesStartingWith(std::string(kReversalJournalFile) + ".unreadable-");
    ASSERT_EQ(kept.size(), 1u);
    std::string copy;
    ASSERT_TRUE(platform::fs::ReadFile(dir_ + "/" + kept[0], &copy));
    EXPECT_EQ(copy, written);
    if (*c.key_aside) {
      std::vector<std::string> names;
      for (const std::string& name : FolderNames()) names.push_back(name);
      DIR* d = ::opendir((dir_ + "/keys").c_str());
      bool found = false;
      while (dirent* e = d ? ::readdir(d) : nullptr) {
        found = found || std::string(e->d_name).find(c.key_aside) != std::string::npos;
      }
      if (d) ::closedir(d);
      EXPECT_TRUE(found);
    }
    // A new key and an empty journal that takes new entries.
    CElavonTran next = Sale("99");
    ASSERT_NO_FATAL_FAILURE(Send(journal, next));
    // A second restart keeps what was set aside: nothing overwrites it.
    ASSERT_TRUE(platform::fs::RemoveFile(key_path_));
    CReversalJournal again;
    ASSERT_TRUE(OpenJournal(again));
    EXPECT_EQ(NamesStartingWith(std::string(kReversalJournalFile) + ".unreadable-").size(), 2u);
  }
}

TEST_F(ReversalJournalTest, AJournalThatCannotBeReadIsClosedAndSaysSo) {
  ASSERT_TRUE(platform::fs::CreateFolder(path_));
  CReversalJournal journal;
  std::vector<std::string> messages, alerts;
  EXPECT_FALSE(OpenJournal(journal, &messages, &alerts));
  EXPECT_FALSE(journal.IsOpen());
  EXPECT_TRUE(Mentions(messages, "closed"));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_NE(alerts[0].find("refused"), std::string::npos);
  CElavonTran tran = Sale("100");
  EXPECT_FALSE(journal.Sent(tran, ReversalMessage("100")));
  CReversalJournal no_folder;
  CJournalOpenReport report;
  EXPECT_FALSE(no_folder.Open(path_, "", &report));
  EXPECT_FALSE(report.m_Alerts.empty());
}

// Writes that fail: a new entry is refused (its exchange must not go), a removal is
// kept in memory and written once the file can be written again, so that a
// delivered approval is never reversed because its removal failed.
TEST_F(ReversalJournalTest, FailedWritesRefuseNewEntriesAndAreTriedAgain) {
  const std::string sub = dir_ + "/work";
  ASSERT_TRUE(platform::fs::CreateFolder(sub));
  path_ = sub + "/" + kReversalJournalFile;
  CReversalJournal journal;
  ASSERT_TRUE(OpenJournal(journal));
  CElavonTran delivered = Sale("100");
  ASSERT_NO_FATAL_FAILURE(Send(journal, delivered));
  journal.Answered(delivered);
  // The working folder goes away (as a full or read-only one, every write fails).
  ASSERT_EQ(::rename(sub.c_str(), (sub + ".gone").c_str()), 0);
  CElavonTran refused = Sale("200");
  EXPECT_FALSE(journal.Sent(refused, ReversalMessage("200")));
  EXPECT_EQ(refused.m_JournalKey, 0u);
  journal.Delivered(delivered);
  EXPECT_EQ(journal.Count(), 0u);
  EXPECT_FALSE(journal.Flush());
  EXPECT_FALSE(journal.LastWriteError().empty());
  // Back again: the next flush writes the journal without the delivered entry.
  ASSERT_EQ(::rename((sub + ".gone").c_str(), sub.c_str()), 0);
  EXPECT_TRUE(journal.Flush());
  CReversalJournal next;
  ASSERT_TRUE(OpenJournal(next));
  EXPECT_EQ(next.Count(), 0u);
}

}  // namespace
