#include "core/queue/duplicate_cache.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// A delivered approval, as the client connection caches it.
CElavonTran Approval(const std::string& acct, int code, const std::string& invoice,
                     const std::string& amount) {
  CElavonTran t;
  t.m_AcctNo = acct;
  t.m_TranCode = code;
  t.m_InvoiceNo = invoice;
  t.m_Authorize = amount;
  t.m_Approved = true;
  t.m_RequestKind = kRequestKindEncrypted;
  t.MarkAnsweredOverIp();
  t.m_Id = 17;
  t.m_HostAuthCode = "AUTH01";
  t.m_KeyBlock = "OLDKEY";
  t.m_UserTraceData = "old-trace";
  t.m_ClientAddress = "10.0.0.1:0101";
  t.m_ClientID = "1";
  return t;
}

// A new request with the same terms, from another client.
CElavonTran Request(const std::string& acct, int code, const std::string& invoice,
                    const std::string& amount) {
  CElavonTran t;
  t.m_AcctNo = acct;
  t.m_TranCode = code;
  t.m_InvoiceNo = invoice;
  t.m_Authorize = amount;
  t.m_RequestKind = kRequestKindEncrypted;
  t.m_KeyBlock = "NEWKEY";
  t.m_UserTraceData = "new-trace";
  t.m_ClientAddress = "10.0.0.2:0202";
  t.m_ClientID = "7";
  t.m_LogTag = "Request +>";
  return t;
}

// Stands in for the duplicate reply builder: records the key block it saw.
bool BuildReply(CElavonTran& duplicate) {
  duplicate.m_Reply = "reply with " + duplicate.m_KeyBlock;
  return true;
}

bool RefuseReply(CElavonTran& duplicate) {
  duplicate.m_Reply = "must not be seen";
  return false;
}

constexpr char kAcct[] = "4111111111111111";

TEST(DuplicateCacheTest, KeepsTheLastTwentyApprovals) {
  CDuplicateCache cache;
  for (int i = 1; i <= 25; ++i) {
    ASSERT_TRUE(cache.Add(Approval(kAcct, 1, "inv" + std::to_string(i), "1000")));
  }
  EXPECT_EQ(cache.GetCount(), 20u);
  for (int i = 1; i <= 25; ++i) {
    CElavonTran request = Request(kAcct, 1, "inv" + std::to_string(i), "1000");
    EXPECT_EQ(cache.FindDuplicate(request, BuildReply), i > 5) << "invoice " << i;
  }
  CElavonTran oldest;
  ASSERT_TRUE(cache.RemoveHead(oldest));
  EXPECT_EQ(oldest.m_InvoiceNo, "inv6");
  EXPECT_EQ(cache.GetCount(), 19u);
}

TEST(DuplicateCacheTest, CachesOnlyApprovalsWhoseReplyWentOutEncrypted) {
  CDuplicateCache cache;
  CElavonTran declined = Approval(kAcct, 1, "inv", "1000");
  declined.m_Approved = false;
  CElavonTran inClear = Approval(kAcct, 1, "inv", "1000");
  inClear.m_RequestKind = kRequestKindClear;  // e.g. the reply could not be encrypted
  EXPECT_FALSE(cache.Add(declined));
  EXPECT_FALSE(cache.Add(inClear));
  EXPECT_EQ(cache.GetCount(), 0u);
  EXPECT_TRUE(cache.Add(Approval(kAcct, 1, "inv", "1000")));
  EXPECT_EQ(cache.GetCount(), 1u);
}

TEST(DuplicateCacheTest, TheNewestMatchWins) {
  CDuplicateCache cache;
  CElavonTran older = Approval(kAcct, 1, "inv", "1000");
  older.m_HostAuthCode = "OLDER1";
  CElavonTran newer = Approval(kAcct, 1, "inv", "1000");
  newer.m_HostAuthCode = "NEWER1";
  ASSERT_TRUE(cache.Add(older));
  ASSERT_TRUE(cache.Add(newer));
  ASSERT_TRUE(cache.Add(Approval(kAcct, 1, "other", "1000")));
  CElavonTran request = Request(kAcct, 1, "inv", "1000");
  ASSERT_TRUE(cache.FindDuplicate(request, BuildReply));
  EXPECT_EQ(request.m_HostAuthCode, "NEWER1");
}

TEST(DuplicateCacheTest, MatchNeedsTheSameCardCodeInvoiceAndAmount) {
  struct Case {
    const char* what;
    CElavonTran cached;
    CElavonTran request;
    bool match;
  };
  CElavonTran emv = Approval(kAcct, 1, "inv", "1000");
  emv.m_EMVResult = "9F2701";
  CElavonTran storedA = Approval("", 1, "inv", "1000");
  storedA.m_RecordNo = "REC1=1225";
  CElavonTran storedB = Request("", 1, "inv", "1000");
  storedB.m_RecordNo = "REC2=1225";
  CElavonTran storedSame = storedB;
  storedSame.m_RecordNo = "REC1=1225";
  const Case cases[] = {
      {"same terms", Approval(kAcct, 1, "inv", "1000"), Request(kAcct, 1, "inv", "1000"), true},
      {"other account", Approval(kAcct, 1, "inv", "1000"), Request("5500000000000004", 1, "inv", "1000"), false},
      {"sale against return", Approval(kAcct, 1, "inv", "1000"), Request(kAcct, 2, "inv", "1000"), false},
      {"other invoice", Approval(kAcct, 1, "inv", "1000"), Request(kAcct, 1, "inv2", "1000"), false},
      {"other amount", Approval(kAcct, 1, "inv", "1000"), Request(kAcct, 1, "inv", "1001"), false},
      {"cached EMV result", emv, Request(kAcct, 1, "inv", "1000"), false},
      {"stored records differ", storedA, storedB, false},
      {"same stored record", storedA, storedSame, true},
  };
  for (const Case& c : cases) {
    CDuplicateCache cache;
    ASSERT_TRUE(cache.Add(c.cached));
    CElavonTran request = c.request;
    EXPECT_EQ(cache.FindDuplicate(request, BuildReply), c.match) << c.what;
  }
}

TEST(DuplicateCacheTest, AMatchAnswersWithTheCachedResultButKeepsTheRequestsIdentity) {
  CDuplicateCache cache;
  ASSERT_TRUE(cache.Add(Approval(kAcct, 1, "inv", "1000")));
  CElavonTran request = Request(kAcct, 1, "inv", "1000");
  ASSERT_TRUE(cache.FindDuplicate(request, BuildReply));

  EXPECT_TRUE(request.m_Approved);
  EXPECT_EQ(request.m_HostAuthCode, "AUTH01");
  EXPECT_EQ(request.m_Reply, "reply with NEWKEY") << "the reply is built with the new key block";
  EXPECT_EQ(request.m_KeyBlock, "NEWKEY");
  EXPECT_EQ(request.m_UserTraceData, "new-trace");
  EXPECT_EQ(request.m_ClientAddress, "10.0.0.2:0202");
  EXPECT_EQ(request.m_ClientID, "7");
  EXPECT_EQ(request.m_LogTag, "Request +>");

  // The cached record itself is unchanged.
  CElavonTran cached;
  ASSERT_TRUE(cache.RemoveHead(cached));
  EXPECT_EQ(cached.m_KeyBlock, "OLDKEY");
  EXPECT_EQ(cached.m_UserTraceData, "old-trace");
  EXPECT_TRUE(cached.m_Reply.empty());
}

TEST(DuplicateCacheTest, ARefusedDuplicateReplyLeavesTheRequestUntouched) {
  CDuplicateCache cache;
  ASSERT_TRUE(cache.Add(Approval(kAcct, 1, "inv", "1000")));
  CElavonTran request = Request(kAcct, 1, "inv", "1000");
  request.m_Reply = "none yet";

  EXPECT_FALSE(cache.FindDuplicate(request, RefuseReply));
  EXPECT_FALSE(cache.FindDuplicate(request, DuplicateReplyBuilder()));
  EXPECT_FALSE(request.m_Approved);
  EXPECT_TRUE(request.m_HostAuthCode.empty());
  EXPECT_EQ(request.m_Reply, "none yet");
  EXPECT_EQ(request.m_State, kTranStateNew);
  EXPECT_EQ(request.m_Id, -1);
  EXPECT_EQ(request.m_KeyBlock, "NEWKEY");
  EXPECT_EQ(cache.GetCount(), 1u);
}

TEST(DuplicateCacheTest, RemoveHeadAndClearOnAnEmptyCache) {
  CDuplicateCache cache;
  CElavonTran out;
  EXPECT_FALSE(cache.RemoveHead(out));
  ASSERT_TRUE(cache.Add(Approval(kAcct, 1, "inv", "1000")));
  cache.Clear();
  EXPECT_EQ(cache.GetCount(), 0u);
  CElavonTran request = Request(kAcct, 1, "inv", "1000");
  EXPECT_FALSE(cache.FindDuplicate(request, BuildReply));
}

}  // namespace
