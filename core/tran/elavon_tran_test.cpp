#include "core/tran/elavon_tran.h"

#include <ctime>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

TEST(ElavonTranTest, NewRecordDefaults) {
  const CElavonTran t;
  EXPECT_EQ(t.m_TranCode, 0);
  EXPECT_EQ(t.m_OrigTranCode, 0);
  EXPECT_EQ(t.m_TranCodeName, "INVALID");
  EXPECT_EQ(t.m_ErrorCode, 1000);
  EXPECT_EQ(t.m_RequestKind, 2);
  EXPECT_EQ(t.m_Family, 10);
  EXPECT_EQ(t.m_State, 0);
  EXPECT_EQ(t.m_Id, -1);
  EXPECT_EQ(t.m_LinkId, -1);
  EXPECT_EQ(t.m_ReversalRetries, 0);
  EXPECT_EQ(t.m_RetryOnNewLine, 0);
  EXPECT_EQ(t.m_CheckKeyed, 0);
  EXPECT_EQ(t.m_DispatchTime, 0);
  EXPECT_FALSE(t.m_Approved || t.m_Captured || t.m_AdminSuccess || t.m_Track2Given ||
               t.m_PartialAuth || t.m_Encrypted || t.m_Keyed);
  EXPECT_TRUE(t.m_Request.empty() && t.m_LogTag.empty() && t.m_AcctNo.empty() &&
              t.m_Authorize.empty() && t.m_MerchantID.empty() && t.m_BatchNo.empty() &&
              t.m_BatchResponse.m_TextResponse.empty() && t.m_LineItems[4].m_Total.empty());
  EXPECT_TRUE(t.m_EMVParamTables.m_CaKeys.empty());
  EXPECT_TRUE(t.m_EMVParamTables.m_AidEntries.empty());
}

TEST(ElavonTranTest, EnumerationValues) {
  const struct {
    int value, expected;
  } values[] = {
      {kTranStateNew, 0},           {kTranStateQueued, 1},
      {kTranStateInProcess, 2},     {kTranStateCancelled, 3},
      {kTranStateNoHostAnswer, 4},  {kTranStateHostFailure, 5},
      {kTranStateFailed, 6},        {kTranStateFinished, 7},
      {kTranStateAnsweredIp, 8},    {kTranStateHandedToDial, 9},
      {kTranStateAnsweredDial, 10}, {kTranStateDialModemError, 11},
      {kTranStateDialAnswerReceived, 12}, {kTranStateDialFailed, 13},
      {kRequestKindEncrypted, 0},   {kRequestKindCancel, 1},
      {kRequestKindClear, 2},       {kTranFamilyCredit, 0},
      {kTranFamilyDebit, 1},        {kTranFamilyEcho, 2},
      {kTranFamilyCheck, 3},        {kTranFamilyEBT, 4},
      {kTranFamilyAdmin, 5},        {kTranFamilyECheck, 8},
      {kTranFamilyReversal, 9},     {kTranFamilyNone, 10},
      {kTranFamilyEmvKeyDownload, 11},
  };
  int row = 0;
  for (const auto& v : values) EXPECT_EQ(v.value, v.expected) << "row " << row++;
}

// A record with a value in at least one member of every group, two CA keys, the five
// AID records and a log tag.
CElavonTran FilledRecord(const std::string& logTag) {
  CElavonTran t;
  t.m_KeyBlock = "0102AABB";
  t.m_Request = "TStream=Transaction";
  t.m_ErrorCode = 4003;
  t.m_TranCode = 66;
  t.m_TranCodeName = "EMVSale";
  t.m_Family = kTranFamilyCredit;
  t.MarkAnsweredOverIp();
  t.m_RequestKind = kRequestKindEncrypted;
  t.m_ClientAddress = "10.0.0.5:0012";
  t.m_AcctNo = "4111111111111111";
  t.m_CheckKeyed = 1;
  t.m_Purchase = "1000";
  t.m_PartialAuth = true;
  t.m_MerchantID = "1234";
  t.m_Approved = true;
  t.m_HostAuthCode = "AB1234";
  t.m_BatchResponse.m_NetBatchTotal = "-12.34";
  t.m_BatchNo = "007";
  t.m_LineItems[2].m_Code = "042";
  t.m_DispatchTime = 1700000000;
  t.m_Id = 17;
  t.m_LinkId = 3;
  t.m_ClientID = "0005";
  t.m_ElavonCode = "006";
  CEmvCaKey key;
  key.m_RID = "A000000003";
  key.m_Index = "92";
  t.m_EMVParamTables.m_CaKeys.push_back(key);
  key.m_RID = "A000000004";
  key.m_Index = "05";
  t.m_EMVParamTables.m_CaKeys.push_back(key);
  t.BuildEMVParamList(CEmvOptions(2, 0));
  t.m_LogTag = logTag;
  return t;
}

// Every member FilledRecord sets, except the log tag.
void ExpectSameContent(const CElavonTran& a, const CElavonTran& b) {
  EXPECT_EQ(a.m_KeyBlock, b.m_KeyBlock);
  EXPECT_EQ(a.m_Request, b.m_Request);
  EXPECT_EQ(a.m_ErrorCode, b.m_ErrorCode);
  EXPECT_EQ(a.m_TranCode, b.m_TranCode);
  EXPECT_EQ(a.m_TranCodeName, b.m_TranCodeName);
  EXPECT_EQ(a.m_Family, b.m_Family);
  EXPECT_EQ(a.m_State, b.m_State);
  EXPECT_EQ(a.m_RequestKind, b.m_RequestKind);
  EXPECT_EQ(a.m_ClientAddress, b.m_ClientAddress);
  EXPECT_EQ(a.m_AcctNo, b.m_AcctNo);
  EXPECT_EQ(a.m_CheckKeyed, b.m_CheckKeyed);
  EXPECT_EQ(a.m_Purchase, b.m_Purchase);
  EXPECT_EQ(a.m_PartialAuth, b.m_PartialAuth);
  EXPECT_EQ(a.m_MerchantID, b.m_MerchantID);
  EXPECT_EQ(a.m_Approved, b.m_Approved);
  EXPECT_EQ(a.m_HostAuthCode, b.m_HostAuthCode);
  EXPECT_EQ(a.m_BatchResponse.m_NetBatchTotal, b.m_BatchResponse.m_NetBatchTotal);
  EXPECT_EQ(a.m_BatchNo, b.m_BatchNo);
  EXPECT_EQ(a.m_LineItems[2].m_Code, b.m_LineItems[2].m_Code);
  EXPECT_EQ(a.m_DispatchTime, b.m_DispatchTime);
  EXPECT_EQ(a.m_Id, b.m_Id);
  EXPECT_EQ(a.m_LinkId, b.m_LinkId);
  EXPECT_EQ(a.m_ClientID, b.m_ClientID);
  EXPECT_EQ(a.m_ElavonCode, b.m_ElavonCode);
  const CEmvParamTables& ta = a.m_EMVParamTables;
  const CEmvParamTables& tb = b.m_EMVParamTables;
  ASSERT_EQ(ta.m_CaKeys.size(), tb.m_CaKeys.size());
  for (auto i = ta.m_CaKeys.begin(), j = tb.m_CaKeys.begin(); i != ta.m_CaKeys.end(); ++i, ++j) {
    EXPECT_EQ(i->m_RID, j->m_RID);
    EXPECT_EQ(i->m_Index, j->m_Index);
  }
  ASSERT_EQ(ta.m_AidEntries.size(), tb.m_AidEntries.size());
  for (auto i = ta.m_AidEntries.begin(), j = tb.m_AidEntries.begin(); i != ta.m_AidEntries.end();
       ++i, ++j) {
    EXPECT_EQ(i->m_RID, j->m_RID);
    EXPECT_EQ(i->m_AidList, j->m_AidList);
  }
}

TEST(ElavonTranCopyTest, CopyConstructionCopiesAllButTheLogTag) {
  const CElavonTran source = FilledRecord("Request +>");
  const CElavonTran copy(source);
  ExpectSameContent(copy, source);
  EXPECT_EQ(copy.m_LogTag, "");
  EXPECT_EQ(source.m_LogTag, "Request +>");
}

TEST(ElavonTranCopyTest, AssignmentKeepsTheTargetsLogTag) {
  const CElavonTran source = FilledRecord("Request +>");
  CElavonTran target;
  target.m_LogTag = "Request ->";
  target.m_HostRefNo = "stale";
  target = source;
  ExpectSameContent(target, source);
  EXPECT_EQ(target.m_HostRefNo, "");
  EXPECT_EQ(target.m_LogTag, "Request ->");
}

TEST(ElavonTranCopyTest, MovesTreatTheLogTagAsCopiesDo) {
  CElavonTran source = FilledRecord("Request +>");
  const CElavonTran reference(source);

  CElavonTran moved(std::move(source));
  ExpectSameContent(moved, reference);
  EXPECT_EQ(moved.m_LogTag, "");

  CElavonTran target;
  target.m_LogTag = "Request ->";
  target = std::move(moved);
  ExpectSameContent(target, reference);
  EXPECT_EQ(target.m_LogTag, "Request ->");
}

TEST(ElavonTranCopyTest, SelfAssignmentChangesNothing) {
  CElavonTran t = FilledRecord("Request +>");
  t.m_LogTag = "Request +>";
  const CElavonTran reference(t);
  CElavonTran& self = t;
  t = self;
  ExpectSameContent(t, reference);
  EXPECT_EQ(t.m_LogTag, "Request +>");
  t = std::move(self);
  ExpectSameContent(t, reference);
  EXPECT_EQ(t.m_LogTag, "Request +>");
}

TEST(ElavonTranCopyTest, CopiesHaveTheirOwnEmvTables) {
  CElavonTran source = FilledRecord("Request ->");
  ASSERT_EQ(source.m_EMVParamTables.m_CaKeys.size(), 2u);
  ASSERT_EQ(source.m_EMVParamTables.m_AidEntries.size(), 5u);

  CElavonTran copy(source);
  CElavonTran assigned;
  assigned = source;
  for (CElavonTran* t : {&copy, &assigned}) {
    t->m_EMVParamTables.m_CaKeys.front().m_Modulus = "CHANGED";
    t->m_EMVParamTables.m_CaKeys.push_back(CEmvCaKey());
    t->m_EMVParamTables.m_AidEntries.front().m_AidList = "CHANGED";
    t->m_EMVParamTables.m_AidEntries.pop_back();
  }
  EXPECT_EQ(source.m_EMVParamTables.m_CaKeys.size(), 2u);
  EXPECT_EQ(source.m_EMVParamTables.m_CaKeys.front().m_Modulus, "");
  EXPECT_EQ(source.m_EMVParamTables.m_AidEntries.size(), 5u);
  EXPECT_EQ(source.m_EMVParamTables.m_AidEntries.front().m_RID, "A000000003");
  EXPECT_NE(source.m_EMVParamTables.m_AidEntries.front().m_AidList, "CHANGED");

  // And the other way round: the source changes, the copy keeps what it had.
  const CElavonTran snapshot(source);
  source.m_EMVParamTables.m_AidEntries.clear();
  EXPECT_EQ(snapshot.m_EMVParamTables.m_AidEntries.size(), 5u);
}

TEST(ElavonTranCopyTest, ListsHoldCopiesWithoutTheLogTag) {
  const CElavonTran record = FilledRecord("Request +>");
  CTranList list;
  list.push_back(record);
  list.push_back(FilledRecord("Request ->"));
  ASSERT_EQ(list.size(), 2u);
  for (const CElavonTran& held : list) {
    ExpectSameContent(held, record);
    EXPECT_EQ(held.m_LogTag, "");
  }
  list.front().m_AcctNo = "changed";
  EXPECT_EQ(record.m_AcctNo, "4111111111111111");
}

TEST(ElavonTranTest, BuildEmvParamListKeepsTheCaKeysAndFiveRecords) {
  CElavonTran t = FilledRecord("");
  t.BuildEMVParamList(CEmvOptions(0, 0));
  EXPECT_TRUE(t.BuildEMVParamList(CEmvOptions(0, 0)));
  EXPECT_EQ(t.m_EMVParamTables.m_CaKeys.size(), 2u);
  ASSERT_EQ(t.m_EMVParamTables.m_AidEntries.size(), 5u);
  EXPECT_EQ(t.m_EMVParamTables.m_AidEntries.front().m_RID, "A000000003");
  EXPECT_EQ(t.m_EMVParamTables.m_AidEntries.back().m_RID, "A000000065");
  // Built with debit off this time.
  EXPECT_EQ(t.m_EMVParamTables.m_AidEntries.front().m_AidList.find("DEBIT"), std::string::npos);
}

// The overloads without options read the process's parameter store, which holds no
// settings in this test: both parameters read as 0.
TEST(ElavonTranTest, EmvDefaultsFromTheParameterStore) {
  CEmvAidEntry entry;
  EXPECT_TRUE(CElavonTran::LoadEMVDefaults(entry, std::string(RID_AMEX)));
  EXPECT_EQ(entry.m_RID, "A000000025");
  EXPECT_EQ(entry.m_TerminalCapabilities, "E0B8C8");

  CElavonTran t;
  EXPECT_TRUE(t.BuildEMVParamList());
  EXPECT_EQ(t.m_EMVParamTables.m_AidEntries.size(), 5u);
}

TEST(ElavonTranTest, SetEmvDownloadFamily) {
  CElavonTran t;
  EXPECT_TRUE(t.SetEmvDownloadFamily());
  EXPECT_EQ(t.m_Family, kTranFamilyEmvKeyDownload);
}

TEST(ElavonTranTest, FormatDispatchTimeIsTheLocalTimeOfDay) {
  const struct {
    int hour, minute, second;
    const char* expected;
  } cases[] = {{10, 5, 7, "10:05:07"}, {0, 0, 0, "00:00:00"}, {23, 59, 59, "23:59:59"}};
  for (const auto& c : cases) {
    struct tm local {};
    local.tm_year = 2024 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 14;
    local.tm_hour = c.hour;
    local.tm_min = c.minute;
    local.tm_sec = c.second;
    local.tm_isdst = -1;
    CElavonTran t;
    t.m_DispatchTime = mktime(&local);
    EXPECT_EQ(t.FormatDispatchTime(), c.expected);
  }
}

}  // namespace
