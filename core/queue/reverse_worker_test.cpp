#include "core/queue/reverse_worker.h"

#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "core/tran/tran_codes.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

class ReverseWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_reverse_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    logger_ = std::make_unique<CLogger>(dir_, nullptr);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string LogText() {
    EXPECT_TRUE(logger_->Flush(5000));
    const struct tm t = platform::LocalTime(platform::Now());
    std::string bytes;
    platform::fs::ReadFile(platform::Format("%s/KVR%02d%02d%04d.log", dir_.c_str(), t.tm_mon + 1, t.tm_mday, t.tm_year + 1900), &bytes);
    return platform::fs::FromTextMode(bytes);
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  std::string dir_;
  std::unique_ptr<CLogger> logger_;
  CTransactionQueue reversals_, main_;
};

TEST_F(ReverseWorkerTest, StartsAndStopsWithinBounds) {
  CReverseWorker worker({&reversals_, &main_, logger_.get(), &g_ReversalJournal});
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(worker.Start());
  ASSERT_TRUE(worker.Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
  // Again, and a stop of a worker that is not running.
  ASSERT_TRUE(worker.Start());
  ASSERT_TRUE(worker.Stop());
  EXPECT_TRUE(worker.Stop());
  CReverseWorker never({&reversals_, &main_, logger_.get(), &g_ReversalJournal});
  EXPECT_TRUE(never.Stop());
}

TEST_F(ReverseWorkerTest, MovedRecordsAreFinishedByState) {
  struct Case {
    int state;
    int error_in;
    int error_out;
    bool no_reversal_line;
  } cases[] = {
      {kTranStateNoHostAnswer, 1000, 1007, true},
      {kTranStateHostFailure, 1000, 4003, true},
      {kTranStateFailed, 1001, 1001, true},
      {kTranStateAnsweredIp, 1000, 1000, false},
      {kTranStateAnsweredDial, 1000, 1000, false},
  };
  for (const Case& c : cases) {
    CTransactionQueue reversals, main;
    CReverseWorker worker({&reversals, &main, logger_.get(), &g_ReversalJournal});
    CElavonTran record;
    record.m_AcctNo = "4111111111111111";
    record.m_Purchase = "1234";
    record.m_UserTraceData = "lane7";
    record.m_RequestKind = kRequestKindEncrypted;
    CElavonTran other;
    ASSERT_TRUE(main.Add(other));
    ASSERT_TRUE(reversals.Add(record));

    worker.TakeReversals();
    EXPECT_EQ(reversals.GetCount(), 0);
    CTranList queued;
    main.Snapshot(queued);
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued.front().m_UserTraceData, "lane7");  // at the head
    const int id = queued.front().m_Id;
    EXPECT_EQ(worker.PendingCountForTesting(), 1u);

    // The interface finishes it in the case's state.
    CElavonTran done = queued.front();
    done.m_State = c.state;
    done.m_ErrorCode = c.error_in;
    ASSERT_TRUE(main.Update(id, done));
    const size_t before = Count(LogText(), "NO Reversals Supported");
    worker.ProcessResults();
    worker.ProcessResults();  // a second pass finds it finished: no second line

    CElavonTran after;
    ASSERT_TRUE(main.Find(id, after));
    EXPECT_EQ(after.m_State, kTranStateFinished) << c.state;
    EXPECT_EQ(after.m_ErrorCode, c.error_out) << c.state;
    const std::string log = LogText();
    EXPECT_EQ(Count(log, "NO Reversals Supported") - before, c.no_reversal_line ? 1u : 0u) << c.state;
    if (c.no_reversal_line) {
      EXPECT_EQ(after.m_RequestKind, kRequestKindClear);
      EXPECT_EQ(after.GetReply().substr(0, 2), "\x1C" "0");  // in clear
      EXPECT_NE(log.find("Acct:XXX...1111 PurchAmt:1234 -- because PreviousReversalFailed"), std::string::npos);
    }

    worker.PurgeFinished();
    EXPECT_FALSE(main.Find(id, after));
    EXPECT_EQ(main.GetCount(), 1);
    EXPECT_EQ(worker.PendingCountForTesting(), 0u);
  }
}

TEST_F(ReverseWorkerTest, TheThreadMovesRecordsOnItsOwn) {
  CReverseWorker worker({&reversals_, &main_, logger_.get(), &g_ReversalJournal});
  ASSERT_TRUE(worker.Start());
  CElavonTran record;
  ASSERT_TRUE(reversals_.Add(record));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (main_.GetCount() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(main_.GetCount(), 1);
  EXPECT_EQ(reversals_.GetCount(), 0);
  worker.Stop();
}

// The journal's owed reversals go to the head of the main queue as reversal records;
// each try's outcome is logged, and the entry is cleared when the host answered or
// stays owed, with one try more, when it did not.
TEST_F(ReverseWorkerTest, JournalReversalsAreTriedUntilTheHostAnswers) {
  CReversalJournal journal;
  CJournalOpenReport report;
  ASSERT_TRUE(journal.Open(dir_ + "/journal.dat", dir_ + "/journal.key", &report));
  journal.SetRetryPauses(0, 0);  // due again at once
  CElavonTran sale;
  sale.m_TranCode = kCodeCreditSale;
  sale.m_Authorize = "1234";
  sale.m_AcctNo = "4111111111111111";
  sale.m_ClientAddress = "127.0.0.1:0012";
  ASSERT_TRUE(journal.Sent(sale, "REVERSAL MESSAGE"));
  journal.ReversalFailed(sale);  // the live reversal failed
  CElavonTran waiting;
  ASSERT_TRUE(main_.Add(waiting));

  CReverseWorker worker({&reversals_, &main_, logger_.get(), &journal});
  struct Try {
    int state;
    const char* log;
    size_t entries_after;
  } tries[] = {
      {kTranStateHostFailure, "Reversal not answered by the host, try 2: [refused] Acct:XXX...1111 AMT:1234 of 127.0.0.1:0012", 1},
      {kTranStateNoHostAnswer, "Reversal not answered by the host, try 3: [refused]", 1},
      {kTranStateAnsweredIp, "Reversal answered by the host: Acct:XXX...1111 AMT:1234 of 127.0.0.1:0012, try 4", 0},
  };
  for (const Try& t : tries) {
    SCOPED_TRACE(t.log);
    worker.TakeJournalReversals();
    CTranList queued;
    main_.Snapshot(queued);
    ASSERT_EQ(queued.size(), 2u);
    CElavonTran record = queued.front();
    EXPECT_EQ(record.m_TranCode, kCodeReversal);
    EXPECT_EQ(record.m_Family, kTranFamilyReversal);
    EXPECT_EQ(record.m_HostRequest, "REVERSAL MESSAGE");
    EXPECT_EQ(record.m_RequestKind, kRequestKindEncrypted);
    EXPECT_EQ(record.m_State, kTranStateQueued);
    EXPECT_EQ(record.m_JournalKey, sale.m_JournalKey);
    EXPECT_EQ(record.m_ClientAddress, "journal(127.0.0.1:0012)");
    EXPECT_TRUE(record.m_AcctNo.empty());
    worker.TakeJournalReversals();  // under way: not taken twice
    EXPECT_EQ(main_.GetCount(), 2);
    // Not final yet: nothing happens.
    worker.ProcessResults();
    EXPECT_EQ(worker.JournalTriesUnderWayForTesting(), 1u);

    // The routing sends it and tells the journal what came of it.
    ASSERT_TRUE(journal.Sent(record, ""));
    if (t.entries_after == 0) {
      journal.Answered(record);
    } else {
      journal.ReversalFailed(record);
    }
    journal.ExchangeEnded(record);
    record.m_State = t.state;
    record.m_HostErrorText = "refused";
    ASSERT_TRUE(main_.Update(record.m_Id, record));
    worker.ProcessResults();
    worker.PurgeFinished();
    EXPECT_EQ(main_.GetCount(), 1);
    EXPECT_EQ(worker.PendingCountForTesting(), 0u);
    EXPECT_EQ(journal.Count(), t.entries_after);
    EXPECT_NE(LogText().find(t.log), std::string::npos) << LogText();
  }
  // No client reply and no no-reversal line for a journal reversal.
  EXPECT_EQ(LogText().find("NO Reversals Supported"), std::string::npos);
}

// A try whose record leaves the main queue with no outcome (a stop, then the queue
// emptied at the next start) is owed again at the next pass.
TEST_F(ReverseWorkerTest, ATryWhoseRecordLeftTheQueueIsOwedAgain) {
  CReversalJournal journal(logger_.get());
  CJournalOpenReport report;
  ASSERT_TRUE(journal.Open(dir_ + "/journal.dat", dir_ + "/journal.key", &report));
  journal.SetRetryPauses(0, 0);
  CElavonTran sale;
  sale.m_TranCode = kCodeCreditSale;
  ASSERT_TRUE(journal.Sent(sale, "REVERSAL MESSAGE"));
  journal.ReversalFailed(sale);
  {
    CReverseWorker worker({&reversals_, &main_, logger_.get(), &journal});
    worker.TakeJournalReversals();
    EXPECT_TRUE(journal.TakeDue().empty());
    worker.KeepJournal();  // still queued: held
    EXPECT_TRUE(journal.TakeDue().empty());
    worker.Stop();
    EXPECT_EQ(worker.JournalTriesUnderWayForTesting(), 0u);
  }
  main_.RemoveAll();
  CReverseWorker next({&reversals_, &main_, logger_.get(), &journal});
  next.KeepJournal();
  const std::vector<CJournalEntry> due = journal.TakeDue();
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].m_Tries, 1);
  EXPECT_NE(LogText().find("its record left the queue without a final outcome"), std::string::npos) << LogText();
}

}  // namespace
