#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/log/recording_logger.h"
#include "core/tran/client_reply.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "host/seq/sequence_file.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string kFsText = "\x1C";
const std::string kGsText = "\x1D";
const std::string kEtxText = "\x03";

// An answer with the given fields. The header and the checksum byte are arbitrary:
// the parser does not examine them.
std::string Answer(const std::vector<std::string>& fields) {
  std::string answer = "\x02*00E4029A000JX4807GC000123000000000012345zovade";
  for (const std::string& field : fields) answer += kGsText + field;
  return answer + kEtxText + "?";
}

// The subfields joined with FS.
std::string Field(const std::vector<std::string>& subfields) {
  std::string field;
  for (size_t i = 0; i < subfields.size(); ++i) field += (i ? kFsText : "") + subfields[i];
  return field;
}

// Subfield 2 of field 02: two characters, the authorisation code (6), the two echo
// references (6 each), three characters, then the host sequence number.
std::string ResultRefs(const std::string& auth, const std::string& seq) {
  return "xx" + auth + "ECHO1A" + "ECHO2B" + "yyy" + seq;
}

// Field 02 with a response code, its references and a text.
std::string Fid02(const std::string& code, const std::string& auth, const std::string& seq,
                  const std::string& text) {
  return Field({"02" + code, ResultRefs(auth, seq), text, "ACQ123REST", "S5"});
}


// What a parse left in m_Reply.
const std::string kNoReply = "no reply yet";
// The reply BuildResponse frames for a record whose reply goes in clear (kind 2): the
// document it is given, which the parser leaves empty.
const std::string kHostReply = ClientReplyFrame("", false);

constexpr int kHost = 0;     // expected: the host reply (BuildResponse)
constexpr int kNone = -1;    // expected: no reply at all
constexpr int kUnchanged = -1;  // expected: the sequence file still holds its earlier number
constexpr int kEarlierSequence = 777;

class ElavonResponseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_SequencePath = std::string("seq_") + info->test_suite_name() + "_" + info->name() + ".dat";
    std::remove(m_SequencePath.c_str());
    m_Sequence = std::make_unique<CSequenceFile>(m_SequencePath);
    ResetSequence();
  }
  void TearDown() override { std::remove(m_SequencePath.c_str()); }

  void ResetSequence() {
    std::string messages;
    m_Sequence->Write(std::to_string(kEarlierSequence), &messages);
    ASSERT_THAT(messages, IsEmpty());
  }
  int StoredSequence() {
    std::string messages;
    return m_Sequence->Read(&messages);
  }

  // A record as the Elavon worker holds it when the answer has come; replies in
  // clear, so that a host reply can be told from an error reply and from none.
  static CElavonTran Record(int family, int code) {
    CElavonTran tran;
    tran.m_Family = family;
    tran.m_TranCode = code;
    tran.m_TStreamType = family == kTranFamilyAdmin || family == kTranFamilyEmvKeyDownload
                             ? "Admin"
                             : "Transaction";
    tran.m_RequestKind = kRequestKindClear;
    tran.m_UserTraceData = "Lane7";
    tran.m_Reply = kNoReply;
    return tran;
  }

  void Parse(CElavonTran& tran, const std::string& answer) {
    tran.m_HostResponse = answer;
    tran.ParseElavonResponse(*m_Sequence, m_Log);
  }

  // The reply is the one expected: the host reply, none, or the error reply of the code.
  static void ExpectReply(const CElavonTran& tran, int expected) {
    if (expected == kHost) {
      EXPECT_EQ(tran.m_Reply, kHostReply);
    } else if (expected == kNone) {
      EXPECT_EQ(tran.m_Reply, kNoReply);
    } else {
      EXPECT_EQ(tran.m_ErrorCode, expected);
      EXPECT_THAT(tran.m_Reply, HasSubstr("<CmdStatus>Error</CmdStatus>"));
      char code[16];
      std::snprintf(code, sizeof code, "%06d", expected);
      EXPECT_THAT(tran.m_Reply, HasSubstr(std::string("<KVRXReturnCode>") + code));
    }
  }

  std::string m_SequencePath;
  std::unique_ptr<CSequenceFile> m_Sequence;
  CRecordingLogger m_Log;
};

// One answer of each family and outcome: what the client is told, what the host
// sequence file holds afterwards, and what was logged.
TEST_F(ElavonResponseTest, AnswersOfEveryFamily) {
  const struct {
    const char* name;
    int family;
    int code;
    bool partialAuth;
    std::string answer;
    bool approved;
    std::string authCode;
    std::string refNo;
    std::string text;
    int reply;
    int stored;
    std::vector<std::string> log;
  } rows[] = {
      {"credit sale approved", kTranFamilyCredit, kCodeCreditSale, false,
       Answer({Fid02("AA", "123456", "0042", "APPROVAL 123456")}), true, "123456", "0042",
       "APPROVAL 123456", kHost, 42, {"Storing Seq No 0042 on Credit"}},
      {"credit AP is a decline without partial auth", kTranFamilyCredit, kCodeCreditSale, false,
       Answer({Fid02("AP", "123456", "0043", "PARTIAL AP")}), false, "", "", "PARTIAL AP", kHost,
       43, {"Storing Seq No 0043 on Credit"}},
      {"credit AP approves with partial auth", kTranFamilyCredit, kCodeCreditSale, true,
       Answer({Fid02("AP", "654321", "0044", "PARTIAL AP")}), true, "654321", "0044",
       "PARTIAL AP", kHost, 44, {"Storing Seq No 0044 on Credit"}},
      {"credit AP approves an FSA sale", kTranFamilyCredit, kCodeCreditFSASale, false,
       Answer({Fid02("AP", "111111", "0045", "FSA AP")}), true, "111111", "0045", "FSA AP", kHost,
       45, {"Storing Seq No 0045 on Credit"}},
      {"credit AP approves an FSA sale by record", kTranFamilyCredit, kCodeFSASaleByRecordNo,
       false, Answer({Fid02("AP", "111112", "0046", "FSA AP")}), true, "111112", "0046", "FSA AP",
       kHost, 46, {"Storing Seq No 0046 on Credit"}},
      {"credit declined still stores", kTranFamilyCredit, kCodeCreditSale, false,
       Answer({Fid02("ND", "000000", "0047", "DECLINED")}), false, "", "", "DECLINED", kHost, 47,
       {"Storing Seq No 0047 on Credit"}},
      {"credit with a short subfield 2 stores 0", kTranFamilyCredit, kCodeCreditSale, false,
       Answer({Field({"02AA", "xx123456", "SHORT"})}), true, "123456", "", "SHORT", kHost, 0,
       {"Storing Seq No  on Credit"}},
      {"debit approved only holds", kTranFamilyDebit, kCodeDebitSale, false,
       Answer({Fid02("AA", "222222", "0050", "APPROVAL")}), true, "222222", "0050", "APPROVAL",
       kHost, kUnchanged, {"Holding Temp Seq No 0050 on Approved Debit"}},
      {"debit declined stores", kTranFamilyDebit, kCodeDebitSale, false,
       Answer({Fid02("N7", "000000", "0051", "CVV2 MISMATCH")}), false, "", "", "CVV2 MISMATCH", kHost,
       51, {"Storing Seq No 0051 on declined Debit"}},
      {"EBT approved only holds", kTranFamilyEBT, kCodeEBTFoodstampSale, false,
       Answer({Fid02("AA", "333333", "0052", "APPROVAL")}), true, "333333", "0052", "APPROVAL",
       kHost, kUnchanged, {"Holding Temp Seq No 0052 on Approved EBT"}},
      {"EBT declined stores", kTranFamilyEBT, kCodeEBTCashSale, false,
       Answer({Fid02("NF", "000000", "0053", "NSF")}), false, "", "", "NSF", kHost, 53,
       {"Storing Seq No 0053 on declined EBT"}},
      {"ECheck sale approved only holds", kTranFamilyECheck, kCodeECheckSale, false,
       Answer({Fid02("AA", "444444", "0054", "APPROVAL")}), true, "444444", "0054", "APPROVAL",
       kHost, kUnchanged, {"Holding Temp Seq No 0054 on Approved ECheck"}},
      {"ECheck void approved stores at once", kTranFamilyECheck, kCodeECheckVoidSale, false,
       Answer({Fid02("AA", "555555", "0055", "VOIDED"), Field({"85", "x", "CHKREF"})}), true,
       "555555", "0055", "VOIDED", kHost, 55,
       {"Holding Temp Seq No 0055 on Approved ECheck", "Storing Seq No 0055 on ECS Reversal"}},
      {"ECheck declined stores", kTranFamilyECheck, kCodeECheckSale, false,
       Answer({Fid02("ND", "000000", "0056", "DECLINED")}), false, "", "", "DECLINED", kHost, 56,
       {"Storing Seq No 0056 on declined ECheck"}},
      {"the later of two fields 02 counts", kTranFamilyCredit, kCodeCreditSale, false,
       Answer({Fid02("ND", "000000", "0057", "FIRST"), Fid02("AA", "666666", "0058", "SECOND")}), true,
       "666666", "0058", "SECOND", kHost, 58, {"Storing Seq No 0058 on Credit"}},
      {"a family without a parser", kTranFamilyCheck, kCodeCreditSale, false,
       Answer({Fid02("AA", "777777", "0059", "APPROVAL")}), false, "", "", "", 4002, kUnchanged,
       {}},
      {"a new record's family", kTranFamilyNone, kCodeNone, false,
       Answer({Fid02("AA", "777777", "0059", "APPROVAL")}), false, "", "", "", 4002, kUnchanged,
       {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ResetSequence();
    m_Log.Clear();
    CElavonTran tran = Record(r.family, r.code);
    tran.m_PartialAuth = r.partialAuth;
    tran.m_HostAuthCode = "stale";
    tran.m_HostRefNo = "stale";
    tran.m_Approved = true;
    Parse(tran, r.answer);
    EXPECT_EQ(tran.m_Approved, r.approved);
    EXPECT_EQ(tran.m_Captured, r.approved);
    EXPECT_EQ(tran.m_HostAuthCode, r.authCode);
    EXPECT_EQ(tran.m_HostRefNo, r.refNo);
    EXPECT_EQ(tran.m_TextResponse, r.text);
    ExpectReply(tran, r.reply);
    EXPECT_EQ(StoredSequence(), r.stored == kUnchanged ? kEarlierSequence : r.stored);
    EXPECT_THAT(m_Log.Lines(), ElementsAreArray(r.log));
  }
}

// Where the host sequence number goes for each outcome, besides the file.
TEST_F(ElavonResponseTest, SequenceNumberOfTheRecord) {
  CElavonTran credit = Record(kTranFamilyCredit, kCodeCreditSale);
  Parse(credit, Answer({Fid02("AA", "123456", "0042", "APPROVAL")}));
  EXPECT_EQ(credit.m_SeqNo, "0042");
  EXPECT_EQ(credit.m_HeldSeqNo, "");
  EXPECT_EQ(credit.m_EchoRef1, "ECHO1A");
  EXPECT_EQ(credit.m_EchoRef2, "ECHO2B");

  CElavonTran debit = Record(kTranFamilyDebit, kCodeDebitSale);
  debit.m_HeldSeqNo = "stale";
  Parse(debit, Answer({Fid02("AA", "123456", "0043", "APPROVAL")}));
  EXPECT_EQ(debit.m_SeqNo, "");
  EXPECT_EQ(debit.m_HeldSeqNo, "0043");

  CElavonTran declined = Record(kTranFamilyDebit, kCodeDebitSale);
  declined.m_HeldSeqNo = "stale";
  Parse(declined, Answer({Fid02("ND", "000000", "0044", "DECLINED")}));
  EXPECT_EQ(declined.m_SeqNo, "0044");
  EXPECT_EQ(declined.m_HeldSeqNo, "");
}

// Answers that cannot be read: too short, without fields, without a result field.
TEST_F(ElavonResponseTest, UnusableAnswers) {
  const std::string noResult = Answer({Field({"80", "xYM", "ACQDATA"})});
  const struct {
    const char* name;
    int family;
    std::string answer;
    int error;
    std::string hostErrorText;
  } rows[] = {
      {"empty", kTranFamilyCredit, "", 4001, "kept"},
      {"three characters", kTranFamilyCredit, "abc", 4001, "kept"},
      {"ten characters", kTranFamilyCredit, "abcdefghij", 4001, "kept"},
      {"eleven characters", kTranFamilyCredit, "abcdefghijk", 4003, "abcdefghijk"},
      {"fifteen printable", kTranFamilyDebit, "HOST NOT AVAIL.", 4003, "HOST NOT AVAIL."},
      {"fifteen unprintable", kTranFamilyCredit, std::string(15, '\x01'), 4001, ""},
      {"short with a field", kTranFamilyCredit, "\x02" "E\x1D" "02AA\x1Cxx1234\x03?", 4003,
       "E02AAxx1234?"},
      {"thirty without GS", kTranFamilyCredit, "\x02" "SYSTEM ERROR 12 RETRY LATER.\x03",
       4007, "SYSTEM ERROR 12 RETRY LATER."},
      {"credit without field 02", kTranFamilyCredit, noResult, 4007, "kept"},
      {"debit without field 02", kTranFamilyDebit, noResult, 4007, "kept"},
      {"EBT without field 02", kTranFamilyEBT, noResult, 4007, "kept"},
      {"ECheck without field 02", kTranFamilyECheck, noResult, 4007, "kept"},
      {"field 02 of its FID only", kTranFamilyCredit,
       Answer({"02", Field({"80", "xYM", "ACQDATA"})}), 4007, "kept"},
      {"field 02 not closed", kTranFamilyCredit,
       "\x02*00E4029A000JX4807G\x1D" + Fid02("AA", "123456", "0042", "APPROVAL"), 4007, "kept"},
      {"batch without field 89", kTranFamilyAdmin, noResult, 4007, "kept"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ResetSequence();
    m_Log.Clear();
    CElavonTran tran = Record(r.family, kCodeCreditSale);
    tran.m_HostErrorText = "kept";
    tran.m_Approved = true;
    Parse(tran, r.answer);
    ExpectReply(tran, r.error);
    if (r.error == 4007 && r.hostErrorText == "kept") {
      // The unparseable answer's printable characters.
      std::string printable;
      for (char c : r.answer) {
        if (c >= 0x20 && c <= 0x7E) printable += c;
      }
      EXPECT_EQ(tran.m_HostErrorText, printable);
    } else {
      EXPECT_EQ(tran.m_HostErrorText, r.hostErrorText);
    }
    EXPECT_FALSE(tran.m_Approved);
    EXPECT_EQ(StoredSequence(), kEarlierSequence);
    EXPECT_THAT(m_Log.Lines(), IsEmpty());
  }
}

// A reversal's answer is not read: the record's own error goes back.
TEST_F(ElavonResponseTest, ReversalAnswerIsNotRead) {
  CElavonTran tran = Record(kTranFamilyReversal, kCodeReversal);
  tran.m_ErrorCode = 1007;
  tran.m_Approved = true;
  tran.m_HostAuthCode = "123456";
  Parse(tran, Answer({Fid02("AA", "123456", "0042", "APPROVAL")}));
  ExpectReply(tran, 1007);
  EXPECT_FALSE(tran.m_Approved);
  EXPECT_EQ(tran.m_HostAuthCode, "");
  EXPECT_EQ(StoredSequence(), kEarlierSequence);
}

class EchoAnswerTest : public ElavonResponseTest {
 protected:
  // An approved debit sale whose echo is now answered.
  CElavonTran ApprovedThenEchoed() {
    CElavonTran tran = Record(kTranFamilyDebit, kCodeDebitSale);
    Parse(tran, Answer({Fid02("AA", "123456", "0060", "APPROVAL 123456"),
                        Field({"83xxREF83"})}));
    EXPECT_TRUE(tran.m_Approved);
    EXPECT_EQ(tran.m_HostRefNo, "REF83");
    tran.m_Family = kTranFamilyEcho;
    tran.m_Reply = kNoReply;
    m_Log.Clear();
    return tran;
  }
};

TEST_F(EchoAnswerTest, GoodEchoStoresTheHeldNumber) {
  CElavonTran tran = ApprovedThenEchoed();
  EXPECT_TRUE(CElavonTran::EchoAnswerConfirms(Answer({Fid02("AA", "999999", "0099", "ECHO OK")})));
  Parse(tran, Answer({Fid02("AA", "999999", "0099", "ECHO OK")}));
  EXPECT_TRUE(tran.m_Approved);
  EXPECT_EQ(tran.m_HostAuthCode, "123456");  // the echo's own references are not taken
  EXPECT_EQ(tran.m_HostRefNo, "0060");
  EXPECT_EQ(tran.m_SeqNo, "0060");
  EXPECT_EQ(tran.m_TextResponse, "APPROVAL 123456");
  EXPECT_EQ(StoredSequence(), 60);
  EXPECT_THAT(m_Log.Lines(), ElementsAre("Storing Previously Held Temp Seq No 0060 on GOOD Echo"));
  ExpectReply(tran, kHost);
}

// An approval whose reply could not be encrypted for its key block keeps its 4020
// reply through the parse of its echo's answer: there is nothing to frame in its
// place (an empty frame would reach the POS as if it were an answer).
TEST_F(EchoAnswerTest, AReplyThatCouldNotBeEncryptedStaysThroughTheEchoParse) {
  CElavonTran tran = Record(kTranFamilyDebit, kCodeDebitSale);
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.m_KeyBlock = "00";  // does not import
  Parse(tran, Answer({Fid02("AA", "123456", "0060", "APPROVAL 123456")}));
  ASSERT_TRUE(tran.m_Approved);
  ASSERT_TRUE(tran.ReplyCouldNotBeEncrypted());
  const std::string reply = tran.m_Reply;
  tran.m_Family = kTranFamilyEcho;
  Parse(tran, Answer({Fid02("AA", "999999", "0099", "ECHO OK")}));
  EXPECT_TRUE(tran.m_Approved);
  EXPECT_EQ(tran.m_Reply, reply);
  EXPECT_TRUE(tran.ReplyCouldNotBeEncrypted());
}

// However the echo fails, the client is told the transaction was declined and gets
// none of the approval's references. An answer without a result says so in its
// text (that of an unreadable answer), never with the approval's text.
TEST_F(EchoAnswerTest, FailedEchoClearsTheApproval) {
  const auto unreadable = [](const std::string& answer) {
    std::string printable;
    for (char c : answer) {
      if (c >= 0x20 && c <= 0x7E) printable += c;
    }
    return "Unable to parse response from Elavon: " + printable;
  };
  const std::string noResult = Answer({Field({"83", "xxREF"})});
  const struct {
    const char* name;
    std::string answer;
    std::string text;
  } rows[] = {
      {"declined", Answer({Fid02("ND", "000000", "0099", "ECHO DECLINED")}), "ECHO DECLINED"},
      {"without field 02", noResult, unreadable(noResult)},
      {"without fields", "\x02" "ECHO FAILED, NO FIELDS AT ALL\x03", "Unable to parse response from Elavon: ECHO FAILED, NO FIELDS AT ALL"},
      {"short", "\x02NAK\x03", "Unable to parse response from Elavon: NAK"},
      {"empty", "", "Unable to parse response from Elavon: "},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ResetSequence();
    CElavonTran tran = ApprovedThenEchoed();
    tran.m_Balance = "12.34";
    tran.m_EMVResult = "9104AABBCCDD";
    tran.m_HostRecordNo = "TOKEN";
    EXPECT_EQ(CElavonTran::AnswerHasResultField(r.answer), r.text == "ECHO DECLINED");
    EXPECT_FALSE(CElavonTran::EchoAnswerConfirms(r.answer));
    Parse(tran, r.answer);
    EXPECT_FALSE(tran.m_Approved);
    EXPECT_FALSE(tran.m_Captured);
    EXPECT_EQ(tran.m_HostAuthCode, "");
    EXPECT_EQ(tran.m_HostRefNo, "");
    EXPECT_EQ(tran.m_HostAcqRefData, "");
    EXPECT_EQ(tran.m_EchoRef1, "");
    EXPECT_EQ(tran.m_EchoRef2, "");
    EXPECT_EQ(tran.m_TextResponse, r.text);
    EXPECT_EQ(StoredSequence(), kEarlierSequence);
    EXPECT_THAT(m_Log.Lines(), IsEmpty());
    ExpectReply(tran, kHost);

    const std::string document = tran.BuildRStream();
    EXPECT_THAT(document, HasSubstr("<CmdStatus>Declined</CmdStatus>"));
    EXPECT_THAT(document, Not(HasSubstr("<AuthCode>")));
    EXPECT_THAT(document, Not(HasSubstr("APPROVAL")));
    EXPECT_THAT(document, Not(HasSubstr("123456")));
    EXPECT_THAT(document, Not(HasSubstr("REF83")));
    EXPECT_THAT(document, Not(HasSubstr("TOKEN")));
    EXPECT_THAT(document, Not(HasSubstr("AABBCCDD")));
    EXPECT_EQ(tran.m_Balance, "");
  }
}

// The fields that follow field 02 for credit answers, and the AcqRefData they make.
TEST_F(ElavonResponseTest, CreditFields) {
  const std::string fid80 = Field({"80xYMACQ80"});
  const std::string fid86 = Field({"86abcdefgh010003AABBCCDD", "71xx0102"});
  const std::string fid87 = Field({"87000001500", "12345"});
  const std::string fid8E = Field({"8ETOKEN|1234"});

  CElavonTran approved = Record(kTranFamilyCredit, kCodeCreditSale);
  approved.m_ZipGiven = true;
  approved.m_CVVValid = true;
  approved.m_TerminalCapability = "05";
  approved.m_RequestSeqNo = "0041";
  approved.m_Authorize = "2000";
  Parse(approved, Answer({Fid02("AA", "123456", "0042", "APPROVAL"), fid80, fid86, fid87, fid8E}));
  EXPECT_EQ(approved.m_AVSResult, "Y");
  EXPECT_EQ(approved.m_CVVResult, "M");
  EXPECT_EQ(approved.m_HostAcqRefData, "ACQ80|ACQ123|REST|05|000|AA|S5|0041");
  EXPECT_EQ(approved.m_EMVResult, "5F3401019F360200039104AABBCCDD" "71020102");
  EXPECT_EQ(approved.m_Authorize, "000001500");
  EXPECT_EQ(approved.m_Balance, "123.45");
  EXPECT_EQ(approved.m_HostRecordNo, "TOKEN|1234");

  // A decline reads only the address and CVV results and the EMV data.
  CElavonTran declined = Record(kTranFamilyCredit, kCodeCreditSale);
  declined.m_Authorize = "2000";
  declined.m_AVSResult = "kept";
  declined.m_CVVResult = "kept";
  Parse(declined, Answer({Fid02("ND", "000000", "0043", "DECLINED"), fid80, fid86, fid87, fid8E}));
  EXPECT_EQ(declined.m_AVSResult, "kept");  // no Zip and no CVV data were given
  EXPECT_EQ(declined.m_CVVResult, "kept");
  EXPECT_EQ(declined.m_HostAcqRefData, "ACQ80");
  EXPECT_EQ(declined.m_EMVResult, "5F3401019F360200039104AABBCCDD" "71020102");
  EXPECT_EQ(declined.m_Authorize, "2000");
  EXPECT_EQ(declined.m_Balance, "");
  EXPECT_EQ(declined.m_HostRecordNo, "");
}

// Field 86 laid out shorter than it should be reads only what is there.
TEST_F(ElavonResponseTest, ShortEmvIssuerData) {
  const struct {
    std::string field;
    std::string result;
  } rows[] = {
      {Field({"86abcdefgh010003"}), "5F3401019F36020003"},
      {Field({"86abc"}), "5F34019F3602"},
      {Field({"86abcdefgh010003", "7"}), "5F3401019F36020003" "700"},
      {Field({"86abcdefgh010003", "9F1A"}), "5F3401019F36020003" "9F00"},
      {Field({"86abcdefgh010003", "9F1A0"}), "5F3401019F36020003" "9F000"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.field);
    CElavonTran tran = Record(kTranFamilyDebit, kCodeDebitSale);
    Parse(tran, Answer({Fid02("ND", "000000", "0043", "DECLINED"), r.field}));
    EXPECT_EQ(tran.m_EMVResult, r.result);
  }
}

// Balances are whole numbers of cents of any size a 64-bit number holds.
TEST_F(ElavonResponseTest, Balances) {
  const struct {
    std::string subfield2;
    std::string balance;
  } rows[] = {
      {"12345", "123.45"},
      {"000000005", "0.05"},
      {"3000000000", "30000000.00"},
      {"123456789012", "1234567890.12"},
      {"9223372036854775807", "92233720368547758.07"},
      {"99999999999999999999999", "92233720368547758.07"},
      {"-500", "-5.00"},
      {"-99999999999999999999999", "-92233720368547758.08"},
      {" 42C", "0.42"},
      {"CR", "0.00"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.subfield2);
    CElavonTran tran = Record(kTranFamilyCredit, kCodeCreditBalance);
    Parse(tran, Answer({Fid02("AA", "123456", "0042", "BALANCE"), Field({"87", r.subfield2})}));
    EXPECT_EQ(tran.m_Balance, r.balance);
  }
}

TEST_F(ElavonResponseTest, EbtBalances) {
  const struct {
    std::string accountType;
    std::string field87;
    std::string ebtBalance;
  } rows[] = {
      {"3", Field({"871000", "2500", "7500"}), "25.00"},
      {"4", Field({"871000", "2500", "7500"}), "75.00"},
      {"4", Field({"871000", "2500"}), ""},
      {"3", Field({"871000", "", "7500"}), ""},
      {"0", Field({"871000", "2500", "7500"}), "kept"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.accountType + " " + r.field87);
    CElavonTran tran = Record(kTranFamilyEBT, kCodeEBTFoodstampBalance);
    tran.m_AccountType = r.accountType;
    tran.m_EBTBalance = "kept";
    Parse(tran, Answer({Fid02("AA", "123456", "0042", "BALANCE"), r.field87}));
    EXPECT_EQ(tran.m_EBTBalance, r.ebtBalance);
    EXPECT_EQ(tran.m_Balance, "");
    EXPECT_EQ(tran.m_Authorize, "1000");
  }
}

// Field 83 gives the reference of debit, EBT and ECheck sales and returns only.
TEST_F(ElavonResponseTest, ReferenceOfField83) {
  const struct {
    int family;
    int code;
    std::string refNo;
  } rows[] = {
      {kTranFamilyDebit, kCodeDebitSale, "REF83"},
      {kTranFamilyDebit, kCodeDebitReturn, "REF83"},
      {kTranFamilyDebit, kCodeEMVDebitSale, "REF83"},
      {kTranFamilyDebit, kCodeEMVDebitReturn, "REF83"},
      {kTranFamilyEBT, kCodeEBTFoodstampSale, "REF83"},
      {kTranFamilyEBT, kCodeEBTFoodstampReturn, "REF83"},
      {kTranFamilyEBT, kCodeEBTCashSale, "REF83"},
      {kTranFamilyEBT, kCodeEBTFoodstampBalance, "0042"},
      {kTranFamilyEBT, kCodeEBTVoucher, "0042"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    CElavonTran tran = Record(r.family, r.code);
    Parse(tran, Answer({Fid02("AA", "123456", "0042", "APPROVAL"), Field({"83xxREF83"})}));
    EXPECT_EQ(tran.m_HostRefNo, r.refNo);
  }
}

TEST_F(ElavonResponseTest, ECheckField85) {
  CElavonTran tran = Record(kTranFamilyECheck, kCodeECheckSale);
  Parse(tran, Answer({Fid02("ND", "000000", "0042", "DECLINED"),
                      Field({"85", "a", "CHECK REF", "b", "c", "Fee 10% & more%"})}));
  EXPECT_EQ(tran.m_HostRefNo, "CHECK REF");  // read whatever the result
  EXPECT_EQ(tran.m_ECheckInfo, "Fee 10 Percent  more Percent");
}

// Fields are cut at GS and ETX; what follows the ETX and a field text of only its FID
// are not fields.
TEST_F(ElavonResponseTest, FieldSplitting) {
  CElavonTran tran = Record(kTranFamilyCredit, kCodeCreditSale);
  Parse(tran, Answer({Fid02("AA", "123456", "0042", "APPROVAL"), "8E", "80"}) +
                  kGsText + Field({"8ETOKEN"}) + kEtxText);
  EXPECT_TRUE(tran.m_Approved);
  EXPECT_EQ(tran.m_HostRecordNo, "");
  EXPECT_EQ(tran.m_HostAcqRefData, "|ACQ123|REST||000|AA|S5|");
}

TEST_F(ElavonResponseTest, BatchTexts) {
  const struct {
    const char* name;
    int code;
    std::string text;
    bool success;
    std::string replyText;
    int stored;
    std::vector<std::string> log;
  } rows[] = {
      {"summary approved", kCodeBatchSummary, "APPROVAL 5 ITEMS", true, "Success", kUnchanged, {}},
      {"summary GB", kCodeBatchSummary, "GB 5", true, "Success", kUnchanged, {}},
      {"summary other", kCodeBatchSummary, "RB 5", false, "RB 5", kUnchanged, {}},
      {"close GB", kCodeBatchClose, "GB 00005", true, "Success", 0,
       {"Storing Seq No 0000 on Batch Close"}},
      {"close RB UPLOAD TIPS", kCodeBatchClose, "RB UPLOAD TIPS", true, "RB UPLOAD TIPS", 0,
       {"RB UPLOAD TIPS - Storing Seq No 0000 on Batch Close"}},
      {"close other", kCodeBatchClose, "APPROVAL", false, "APPROVAL", kUnchanged, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ResetSequence();
    m_Log.Clear();
    CElavonTran tran = Record(kTranFamilyAdmin, r.code);
    Parse(tran, Answer({Field({"89123" + r.text, "+1000", "5"})}));
    EXPECT_EQ(tran.m_AdminSuccess, r.success);
    EXPECT_EQ(tran.m_BatchResponse.m_TextResponse, r.replyText);
    EXPECT_EQ(tran.m_BatchResponse.m_BatchNo, "123");
    EXPECT_EQ(tran.m_SeqNo, r.stored == 0 ? "0000" : "");
    EXPECT_EQ(StoredSequence(), r.stored == kUnchanged ? kEarlierSequence : r.stored);
    EXPECT_THAT(m_Log.Lines(), ElementsAreArray(r.log));
    ExpectReply(tran, kHost);
  }
}

TEST_F(ElavonResponseTest, BatchTotals) {
  CElavonTran tran = Record(kTranFamilyAdmin, kCodeBatchSummary);
  tran.m_BatchResponse.m_DebitReturnCount = "kept";
  Parse(tran, Answer({Field({"89007APPROVAL", "-123456", "", "9999999", "12", "250", "1",
                             "0", "0", "C100"})}));
  const CTranBatchResponse& b = tran.m_BatchResponse;
  EXPECT_EQ(b.m_BatchNo, "007");
  EXPECT_EQ(b.m_NetBatchTotal, "-1234.56");
  EXPECT_EQ(b.m_BatchItemCount, "0");
  EXPECT_EQ(b.m_CreditPurchaseAmount, "99999.99");
  EXPECT_EQ(b.m_CreditPurchaseCount, "12");
  EXPECT_EQ(b.m_CreditReturnAmount, "2.50");
  EXPECT_EQ(b.m_CreditReturnCount, "1");
  EXPECT_EQ(b.m_DebitPurchaseAmount, "0.00");
  EXPECT_EQ(b.m_DebitPurchaseCount, "0");
  EXPECT_EQ(b.m_DebitReturnAmount, "-1.00");
  EXPECT_EQ(b.m_DebitReturnCount, "kept");  // subfield 11 absent

  // A sign other than '-' is dropped with the first character; a short batch field
  // reads empty texts.
  CElavonTran other = Record(kTranFamilyAdmin, kCodeBatchSummary);
  Parse(other, Answer({Field({"891", "+2500"})}));
  EXPECT_EQ(other.m_BatchResponse.m_BatchNo, "1");
  EXPECT_EQ(other.m_BatchResponse.m_TextResponse, "");
  EXPECT_EQ(other.m_BatchResponse.m_NetBatchTotal, "25.00");
  EXPECT_EQ(other.m_BatchResponse.m_BatchItemCount, "0");
  EXPECT_FALSE(other.m_AdminSuccess);
}

TEST_F(ElavonResponseTest, AbsentNetTotalReadsZeroAndReachesTheReply) {
  CElavonTran tran = Record(kTranFamilyAdmin, kCodeBatchSummary);
  tran.m_BatchResponse.m_NetBatchTotal = "stale";
  Parse(tran, Answer({Field({"89007APPROVAL"})}));
  EXPECT_EQ(tran.m_BatchResponse.m_NetBatchTotal, "0.00");
  EXPECT_EQ(tran.m_BatchResponse.m_BatchItemCount, "0");
  EXPECT_NE(tran.BuildAdminResponseXml().find("\t\t<NetBatchTotal>0.00</NetBatchTotal>\r\n"), std::string::npos);
}

class EmvKeyDownloadTest : public ElavonResponseTest {
 protected:
  static CElavonTran Download() {
    CElavonTran tran = Record(kTranFamilyEmvKeyDownload, kCodeEMVParamDownload);
    tran.m_EMVKeyIndex = "0";
    return tran;
  }
  // A key answer: the next index, the more-keys flag, the RID and key index.
  static std::string KeyAnswer(const std::string& next, const std::string& flag,
                               const std::string& rid = "A000000003",
                               const std::string& index = "92") {
    return Answer({Field({"78" + next, flag + "xx" + rid + index + "zzzz" + "C0FFEE", "03",
                          std::string(40, 'H') + "ww" + "251231"})});
  }
};

TEST_F(EmvKeyDownloadTest, MoreKeysFlag) {
  const struct {
    const char* name;
    std::string answer;
    int code;
    int reply;
  } rows[] = {
      {"flag 1: more keys", KeyAnswer("0001", "1"), kCodeEMVKeyDownloadNext, kNone},
      {"flag 0: last key", KeyAnswer("0001", "0"), kCodeEMVKeyDownloadStep65, kHost},
      {"flag 2: last key", KeyAnswer("0001", "2"), kCodeEMVKeyDownloadStep65, kHost},
      {"no flag", Answer({Field({"780001"})}), kCodeEMVKeyDownloadStep65, kHost},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    CElavonTran tran = Download();
    Parse(tran, r.answer);
    EXPECT_EQ(tran.m_TranCode, r.code);
    EXPECT_TRUE(tran.m_Approved && tran.m_Captured && tran.m_AdminSuccess);
    EXPECT_EQ(tran.m_BatchResponse.m_TextResponse, "SUCCESS");
    EXPECT_EQ(tran.m_EMVKeyIndex, "0001");
    EXPECT_EQ(tran.m_EMVParamTables.m_CaKeys.size(), 1u);
    ExpectReply(tran, r.reply);
  }
}

TEST_F(EmvKeyDownloadTest, KeyFields) {
  CElavonTran tran = Download();
  Parse(tran, KeyAnswer("0001", "0"));
  ASSERT_EQ(tran.m_EMVParamTables.m_CaKeys.size(), 1u);
  const CEmvCaKey& key = tran.m_EMVParamTables.m_CaKeys.front();
  EXPECT_EQ(key.m_RID, "A000000003");
  EXPECT_EQ(key.m_Index, "92");
  EXPECT_EQ(key.m_Modulus, "C0FFEE");
  EXPECT_EQ(key.m_Exponent, "03");
  EXPECT_EQ(key.m_Check, std::string(40, 'H'));
  EXPECT_EQ(key.m_ExpDate, "311225");

  // Absent subfields give empty texts.
  CElavonTran bare = Download();
  Parse(bare, Answer({Field({"78"}) + kFsText}));
  ASSERT_EQ(bare.m_EMVParamTables.m_CaKeys.size(), 1u);
  const CEmvCaKey& empty = bare.m_EMVParamTables.m_CaKeys.front();
  EXPECT_EQ(empty.m_RID + empty.m_Index + empty.m_Modulus + empty.m_Exponent + empty.m_Check +
                empty.m_ExpDate,
            "");
  EXPECT_EQ(bare.m_EMVKeyIndex, "");
}

// Every parse of a download step that does not ask for more keys leaves code 65, so
// the record is never queued again by mistake.
TEST_F(EmvKeyDownloadTest, EveryOtherOutcomeEndsTheDownload) {
  const struct {
    const char* name;
    std::string answer;
    int reply;
    bool success;
  } rows[] = {
      {"no field 78", Answer({Fid02("AA", "123456", "0042", "APPROVAL")}), kHost, false},
      {"too short", "\x02NAK\x03", 4001, false},
      {"no fields", "\x02" "EMV KEY DOWNLOAD NOT AVAILABLE\x03", 4007, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    CElavonTran tran = Download();
    tran.m_TranCode = kCodeEMVKeyDownloadNext;  // an earlier answer asked for more
    tran.m_AdminSuccess = true;
    Parse(tran, r.answer);
    EXPECT_EQ(tran.m_TranCode, kCodeEMVKeyDownloadStep65);
    EXPECT_EQ(tran.m_AdminSuccess, r.success);
    ExpectReply(tran, r.reply);
    if (r.reply == kHost) {
      EXPECT_EQ(tran.m_BatchResponse.m_TextResponse, "ERROR PARSING ELAVON EMV KEY RESPONSE");
    }
  }
}

// A host that keeps asking for more keys cannot keep the download going for ever.
TEST_F(EmvKeyDownloadTest, RoundsAreCapped) {
  // Asking again for the index just asked for.
  CElavonTran same = Download();
  same.m_EMVKeyIndex = "0003";
  Parse(same, KeyAnswer("3", "1"));
  EXPECT_EQ(same.m_TranCode, kCodeEMVKeyDownloadStep65);
  ExpectReply(same, 4003);
  EXPECT_EQ(same.m_HostErrorText, "EMV Key Download Stopped: Key Index 3 Repeated");
  EXPECT_THAT(m_Log.Lines(), ElementsAre("EMV Key Download Stopped: Key Index 3 Repeated"));

  // Sending a key it sent before.
  CElavonTran repeated = Download();
  Parse(repeated, KeyAnswer("0001", "1", "A000000004", "05"));
  ASSERT_EQ(repeated.m_TranCode, kCodeEMVKeyDownloadNext);
  repeated.m_Reply = kNoReply;
  Parse(repeated, KeyAnswer("0002", "1", "A000000004", "05"));
  EXPECT_EQ(repeated.m_TranCode, kCodeEMVKeyDownloadStep65);
  ExpectReply(repeated, 4003);
  EXPECT_EQ(repeated.m_HostErrorText, "EMV Key Download Stopped: Key A000000004 05 Repeated");

  // A hundred keys end the download; a hundredth that is the last is taken.
  for (const std::string lastFlag : {"1", "0"}) {
    SCOPED_TRACE("last flag " + lastFlag);
    CElavonTran tran = Download();
    for (int round = 1; round <= 100; ++round) {
      const std::string index = std::to_string(1000 + round);
      // Distinct indexes and keys: only the number of rounds ends this download.
      const std::string rid = "A0000000" + std::to_string(10 + round % 90);
      Parse(tran, KeyAnswer(index, round < 100 ? "1" : lastFlag, rid,
                            std::to_string(10 + round / 90)));
      if (round < 100) {
        ASSERT_EQ(tran.m_TranCode, kCodeEMVKeyDownloadNext) << "round " << round;
      }
    }
    EXPECT_EQ(tran.m_TranCode, kCodeEMVKeyDownloadStep65);
    EXPECT_EQ(tran.m_EMVParamTables.m_CaKeys.size(), 100u);
    if (lastFlag == "1") {
      ExpectReply(tran, 4003);
      EXPECT_EQ(tran.m_HostErrorText, "EMV Key Download Stopped after 100 Keys");
    } else {
      ExpectReply(tran, kHost);
      EXPECT_TRUE(tran.m_AdminSuccess);
    }
  }
}

// The overload without arguments uses the process's sequence file and logger.
TEST_F(ElavonResponseTest, ProcessSequenceFile) {
  CElavonTran tran = Record(kTranFamilyCredit, kCodeCreditSale);
  tran.m_HostResponse = Answer({Fid02("AA", "123456", "1234", "APPROVAL")});
  tran.ParseElavonResponse();
  EXPECT_TRUE(tran.m_Approved);
  std::string messages;
  EXPECT_EQ(g_SequenceFile.Read(&messages), 1234);
}

}  // namespace
