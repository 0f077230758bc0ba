#include "core/queue/transaction_queue.h"

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sync/tick.h"

namespace {

class FakeTicks final : public platform::Clock {
 public:
  explicit FakeTicks(uint32_t tick) : m_Tick(tick) {}
  void Set(uint32_t tick) { m_Tick = tick; }
  void Advance(uint32_t ms) { m_Tick += ms; }
  uint32_t TickCount() override { return m_Tick.load(); }
  time_t Now() override { return 0; }

 private:
  std::atomic<uint32_t> m_Tick;
};

// Codes 1 (sale) and 6 (pre-authorisation) stand for the new authorisations here.
bool IsSaleOrPreAuth(int code) { return code == 1 || code == 6; }

CElavonTran Tran(int code, const std::string& invoice = "") {
  CElavonTran t;
  t.m_TranCode = code;
  t.m_InvoiceNo = invoice;
  t.MarkQueued();
  return t;
}

std::vector<int> Ids(const CTranList& list) {
  std::vector<int> ids;
  for (const CElavonTran& t : list) ids.push_back(t.m_Id);
  return ids;
}

std::vector<int> Ids(const CTransactionQueue& queue) {
  CTranList list;
  queue.Snapshot(list);
  return Ids(list);
}

TEST(TransactionQueueTest, AddHandsOutIdsFromOneAndWritesThemIntoTheCallersRecord) {
  CTransactionQueue queue;
  CElavonTran first = Tran(1, "inv-a");
  CElavonTran second = Tran(2, "inv-b");
  ASSERT_TRUE(queue.Add(first));
  ASSERT_TRUE(queue.Add(second));
  EXPECT_EQ(first.m_Id, 1);
  EXPECT_EQ(second.m_Id, 2);
  EXPECT_EQ(first.m_LinkId, -1);
  EXPECT_EQ(queue.GetCount(), 2);

  CElavonTran found;
  ASSERT_TRUE(queue.Find(2, found));
  EXPECT_EQ(found.m_Id, 2);
  EXPECT_EQ(found.m_InvoiceNo, "inv-b");
  // The queue holds a copy: changing the caller's record changes nothing queued.
  second.m_InvoiceNo = "changed";
  ASSERT_TRUE(queue.Find(2, found));
  EXPECT_EQ(found.m_InvoiceNo, "inv-b");
}

TEST(TransactionQueueTest, IdAfter999999WrapsAndSkipsAnIdStillQueued) {
  CTransactionQueue queue;
  CElavonTran live = Tran(2);
  ASSERT_TRUE(queue.Add(live));  // id 1 stays queued throughout
  CElavonTran gone = Tran(2);
  ASSERT_TRUE(queue.Add(gone));  // id 2 leaves again
  ASSERT_TRUE(queue.Remove(gone.m_Id));

  CElavonTran cycling;
  for (int expected = 3; expected <= CTransactionQueue::kMaxId; ++expected) {
    ASSERT_TRUE(queue.Add(cycling));
    ASSERT_EQ(cycling.m_Id, expected);
    ASSERT_TRUE(queue.Remove(expected));
  }

  CElavonTran next = Tran(2);
  ASSERT_TRUE(queue.Add(next));
  EXPECT_EQ(next.m_Id, 2) << "1 is still queued, 2 is free again";
  CElavonTran after = Tran(2);
  ASSERT_TRUE(queue.Add(after));
  EXPECT_EQ(after.m_Id, 3);
  EXPECT_EQ(Ids(queue), (std::vector<int>{1, 2, 3}));
}

TEST(TransactionQueueTest, AddFirstInsertsAtTheHeadWithItsLinkId) {
  CTransactionQueue queue;
  CElavonTran tail = Tran(1);
  CElavonTran head = Tran(50);
  ASSERT_TRUE(queue.Add(tail));
  ASSERT_TRUE(queue.AddFirst(head, 77));
  EXPECT_EQ(head.m_Id, 2);
  EXPECT_EQ(head.m_LinkId, 77);
  EXPECT_EQ(Ids(queue), (std::vector<int>{2, 1}));
  CElavonTran found;
  ASSERT_TRUE(queue.Find(2, found));
  EXPECT_EQ(found.m_LinkId, 77);
}

TEST(TransactionQueueTest, SnapshotByIdsFollowsQueueOrderAndRepeatsRepeatedIds) {
  CTransactionQueue queue;
  for (int i = 0; i < 8; ++i) {
    CElavonTran t = Tran(2, "inv-" + std::to_string(i + 1));
    ASSERT_TRUE(queue.Add(t));
  }
  struct Case {
    CTranIdArray ids;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {{7, 3}, {3, 7}},        // queue order, not array order
      {{7, 7}, {7, 7}},        // an id twice gives its record twice
      {{7, 7, 3}, {3, 7, 7}},
      {{3, 42, 7}, {3, 7}},    // an id not queued gives nothing
      {{42}, {}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    CTranList out(3);  // left-overs of an earlier pass are dropped
    queue.SnapshotByIds(c.ids, out);
    EXPECT_EQ(Ids(out), c.expected) << "ids " << testing::PrintToString(c.ids);
    for (const CElavonTran& t : out) EXPECT_EQ(t.m_InvoiceNo, "inv-" + std::to_string(t.m_Id));
  }
}

TEST(TransactionQueueTest, OperationsByIdReplaceOrRemoveOnlyAQueuedRecord) {
  CTransactionQueue queue;
  CElavonTran a = Tran(1, "a");
  CElavonTran b = Tran(1, "b");
  ASSERT_TRUE(queue.Add(a));
  ASSERT_TRUE(queue.Add(b));

  CElavonTran other = Tran(1, "other");
  CElavonTran out = Tran(9, "untouched");
  EXPECT_FALSE(queue.Update(99, other));
  EXPECT_FALSE(queue.Remove(99));
  EXPECT_FALSE(queue.Find(99, out));
  EXPECT_FALSE(queue.Contains(99));
  EXPECT_EQ(out.m_InvoiceNo, "untouched");
  EXPECT_EQ(queue.GetCount(), 2);
  EXPECT_EQ(Ids(queue), (std::vector<int>{1, 2}));

  b.MarkAnsweredOverIp();
  b.m_HostResponse = "answer";
  ASSERT_TRUE(queue.Update(b.m_Id, b));
  ASSERT_TRUE(queue.Find(b.m_Id, out));
  EXPECT_EQ(out.m_State, kTranStateAnsweredIp);
  EXPECT_EQ(out.m_HostResponse, "answer");

  EXPECT_TRUE(queue.Contains(1));
  ASSERT_TRUE(queue.Remove(1));
  EXPECT_FALSE(queue.Contains(1));
  EXPECT_FALSE(queue.Remove(1));
  EXPECT_EQ(queue.GetCount(), 1);
}

TEST(TransactionQueueTest, RemoveFirstAndRemoveAllEmptyTheQueueButIdsGoOn) {
  CTransactionQueue queue;
  CElavonTran out;
  EXPECT_FALSE(queue.RemoveFirst(out));
  CElavonTran a = Tran(1, "a");
  CElavonTran b = Tran(1, "b");
  ASSERT_TRUE(queue.Add(a));
  ASSERT_TRUE(queue.Add(b));
  ASSERT_TRUE(queue.RemoveFirst(out));
  EXPECT_EQ(out.m_InvoiceNo, "a");
  EXPECT_EQ(queue.GetCount(), 1);

  queue.RemoveAll();
  EXPECT_EQ(queue.GetCount(), 0);
  EXPECT_TRUE(Ids(queue).empty());
  CElavonTran c = Tran(1);
  ASSERT_TRUE(queue.Add(c));
  EXPECT_EQ(c.m_Id, 3);
}

TEST(TransactionQueueTest, MsSinceLastAuthCountsFromTheLastNewAuthorisationAcrossTheWrap) {
  FakeTicks ticks(1000);  // a machine that started a second ago
  platform::ScopedClockOverride use(&ticks);
  CTransactionQueue queue(&IsSaleOrPreAuth);

  // Nothing authorised yet: "none", not a small number that would hold the request.
  EXPECT_FALSE(queue.MsSinceLastAuth().has_value());
  CElavonTran ret = Tran(2);
  ASSERT_TRUE(queue.Add(ret));
  EXPECT_FALSE(queue.MsSinceLastAuth().has_value());

  ticks.Set(0xFFFFFF00u);
  CElavonTran sale = Tran(1);
  ASSERT_TRUE(queue.Add(sale));
  EXPECT_EQ(queue.MsSinceLastAuth(), 0u);

  ticks.Set(0x00000100u);  // the 32-bit tick wrapped
  EXPECT_EQ(queue.MsSinceLastAuth(), 0x200u);
  CElavonTran ret2 = Tran(2);
  ASSERT_TRUE(queue.AddFirst(ret2, 1));
  EXPECT_EQ(queue.MsSinceLastAuth(), 0x200u) << "a return does not stamp";

  ticks.Advance(30000);
  EXPECT_EQ(queue.MsSinceLastAuth(), 0x200u + 30000u);
  CElavonTran preAuth = Tran(6);
  ASSERT_TRUE(queue.AddFirst(preAuth, 1));
  EXPECT_EQ(queue.MsSinceLastAuth(), 0u);

  queue.RemoveAll();  // the stamp survives
  ticks.Advance(5);
  EXPECT_EQ(queue.MsSinceLastAuth(), 5u);
}

TEST(TransactionQueueTest, WithoutAPredicateNoCodeStampsUntilOneIsWired) {
  FakeTicks ticks(50000);
  platform::ScopedClockOverride use(&ticks);
  CTransactionQueue queue;
  CElavonTran sale = Tran(1);
  ASSERT_TRUE(queue.Add(sale));
  EXPECT_FALSE(queue.MsSinceLastAuth().has_value());

  queue.SetNewAuthPredicate(&IsSaleOrPreAuth);
  CElavonTran sale2 = Tran(1);
  ASSERT_TRUE(queue.Add(sale2));
  ticks.Advance(7);
  EXPECT_EQ(queue.MsSinceLastAuth(), 7u);
}

}  // namespace
