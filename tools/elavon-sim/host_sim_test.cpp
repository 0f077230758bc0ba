#include "tools/elavon-sim/host_sim.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "tools/elavon-sim/invariant.h"
#include "tools/elavon-sim/request_fields.h"
#include "tools/elavon-sim/test_requests.h"

namespace elavon_sim {
namespace {

using namespace std::string_literals;

// The requests are put together from the message layout (test_requests.h), with the
// tests' own checksum, not with the simulator's writer.
using elavon_sim_testing::Fid;
using elavon_sim_testing::Frame;
using elavon_sim_testing::Header;
using elavon_sim_testing::kFs;
using elavon_sim_testing::kGs;
using elavon_sim_testing::Request;

const std::string kCard = "4111111111111111";

std::string Cents(int64_t cents) { return std::to_string(cents); }

std::string Format4(size_t number) {
  char text[24];
  snprintf(text, sizeof text, "%04zu", number);
  return text;
}

// FID 01 of an ordinary request: capability 03, mode 02, the partial flag, the card.
std::string Fid01(int64_t cents, const std::string& sequence, char flag = '0') {
  return Fid("01", {"0302"s + flag + kCard, Cents(cents), sequence, "", "1000000"});
}
// FID 01 of a void: the RefNo in subfield 3.
std::string VoidFid01(int64_t cents, const std::string& sequence, const std::string& ref_no) {
  return Fid("01", {"03020" + kCard, Cents(cents), sequence, ref_no, "1000000"});
}
// FID 01 of a reversal: '0', the card, amount, the sequence number of the reversed request.
std::string ReversalFid01(int64_t cents, const std::string& sequence) {
  return Fid("01", {"03010" + kCard, Cents(cents), sequence, "", "10000000"});
}

// What the terminal reads from an answer.
struct Read {
  RequestMessage message;
  std::string response_code, auth_code, echo_ref1, echo_ref2, sequence, text, approval_ref, transaction_ref;
};

Read ReadAnswer(const std::string& bytes) {
  Read read;
  EXPECT_EQ(ParseRequest(bytes, &read.message), FrameStatus::kOk);
  if (const Field* field = read.message.Find("02")) {
    read.response_code = field->Subfield(0);
    std::string s2 = field->Subfield(1);
    EXPECT_GE(s2.size(), 23u);
    if (s2.size() >= 23) {
      read.auth_code = s2.substr(2, 6);
      read.echo_ref1 = s2.substr(8, 6);
      read.echo_ref2 = s2.substr(14, 6);
      read.sequence = s2.substr(23);
    }
    read.text = field->Subfield(2);
    read.approval_ref = field->Subfield(3);
    read.transaction_ref = field->Subfield(4);
  }
  return read;
}

std::string EchoRequest(const std::string& code, const Read& approval, const std::string& amount) {
  return Request(code, {Fid("52", {approval.echo_ref1 + approval.echo_ref2 + approval.sequence, amount})});
}

class HostSimTest : public ::testing::Test {
 protected:
  Read Send(const std::string& bytes) {
    Reply reply = sim_.Handle(bytes);
    EXPECT_EQ(reply.outcome, Outcome::kAnswer) << ActionName(reply.action);
    return ReadAnswer(reply.bytes);
  }
  ReceivedRequest Last() { return sim_.LastReceived().value(); }

  ElavonHostSim sim_;
};

TEST_F(HostSimTest, ApprovalAnswerBytes) {
  Reply reply = sim_.Handle(Request("000", {Fid01(1000, "0000")}));
  EXPECT_EQ(reply.action, Action::kApproved);
  const std::string expected = Frame(Header("000") +
                                     kGs + "02AA" + kFs + "00" "A00001" "000001" "007919" "000" "0001" +
                                     kFs + "APPROVAL A00001" + kFs + "000001000001" + kFs + "T000000001" +
                                     kGs + "80" "0UP" "NT0000000001" +
                                     kGs + "87" "1000" +
                                     kGs + "8E" "TKN0000000000001");
  EXPECT_EQ(reply.bytes, expected);
  EXPECT_EQ(sim_.ConfirmedSequence(), 1);
}

struct AmountCase {
  const char* name;
  int64_t cents;
  char flag;
  bool fsa;
  Action action;
  Outcome outcome;
  const char* response_code;  // field 02 code, "" when the answer has no field 02
  const char* bare;           // the whole answer when it is a bare text, else nullptr
  size_t approvals;           // approvals the host keeps
  int64_t batch_cents;
  int confirmed;              // sequence number confirmed afterwards
};

TEST(HostSimAmountRules, EachRuleAnswers) {
  const AmountCase cases[] = {
      {"approve", 1000, '0', false, Action::kApproved, Outcome::kAnswer, "AA", nullptr, 1, 1000, 1},
      {"decline", 1051, '0', false, Action::kDeclined, Outcome::kAnswer, "ND", nullptr, 0, 0, 1},
      {"partial allowed", 1052, '1', false, Action::kPartiallyApproved, Outcome::kAnswer, "AP", nullptr, 1, 526, 1},
      {"partial on FSA", 1052, '0', true, Action::kPartiallyApproved, Outcome::kAnswer, "AP", nullptr, 1, 526, 1},
      {"partial not allowed", 1052, '0', false, Action::kPartiallyApproved, Outcome::kAnswer, "AP", nullptr, 0, 0, 1},
      {"host error text", 1053, '0', false, Action::kHostErrorText, Outcome::kAnswer, "", "HOST SYSTEM ERROR", 0, 0, 0},
      {"no answer", 1054, '0', false, Action::kWithheld, Outcome::kNoAnswer, "", "", 1, 1054, 0},
      {"credit echo rule is a plain approval", 1055, '0', false, Action::kApproved, Outcome::kAnswer, "AA", nullptr, 1, 1055, 1},
      {"short answer", 1057, '0', false, Action::kShortAnswer, Outcome::kAnswer, "", "ERROR", 0, 0, 0},
      {"unreadable", 1058, '0', false, Action::kUnreadableAnswer, Outcome::kAnswer, "", kUnreadableAnswerText, 0, 0, 0},
      {"no field 02", 1059, '0', false, Action::kNoResultField, Outcome::kAnswer, "", nullptr, 0, 0, 0},
      {"other cents approve", 2099, '0', false, Action::kApproved, Outcome::kAnswer, "AA", nullptr, 1, 2099, 1},
  };
  for (const AmountCase& c : cases) {
    SCOPED_TRACE(c.name);
    ElavonHostSim sim;
    std::vector<std::string> fields = {Fid01(c.cents, "0000", c.flag)};
    if (c.fsa) fields.push_back(Fid("17", {Cents(c.cents), "0", "0", "0", "0", ""}));
    Reply reply = sim.Handle(Request("000", fields));
    EXPECT_EQ(reply.action, c.action);
    EXPECT_EQ(reply.outcome, c.outcome);
    if (c.bare) {
      EXPECT_EQ(reply.bytes, c.bare);
    } else {
      Read read = ReadAnswer(reply.bytes);
      EXPECT_EQ(read.response_code, c.response_code);
      if (c.response_code == "AP"s) {
        EXPECT_EQ(read.message.Find("87")->data, "526");
      }
      if (c.response_code == "ND"s) {
        EXPECT_EQ(read.text, "DECLINED");
      }
      if (c.response_code == ""s) {
        EXPECT_FALSE(read.message.Has("02"));
      }
    }
    EXPECT_EQ(sim.Approvals().size(), c.approvals);
    EXPECT_EQ(sim.Totals().NetCents(), c.batch_cents);
    EXPECT_EQ(sim.ConfirmedSequence(), c.confirmed);
  }
  // The terminal reads 11 to 24 bytes as a host error text, 10 or fewer as too
  // short, and 25 or more without GS as unreadable.
  EXPECT_GE(strlen(kHostErrorText), 11u);
  EXPECT_LE(strlen(kHostErrorText), 24u);
  EXPECT_LE(strlen(kShortAnswerText), 10u);
  EXPECT_GE(strlen(kUnreadableAnswerText), 25u);
}

TEST_F(HostSimTest, RefusesBadChecksumAndMalformedRequests) {
  std::string good = Request("000", {Fid01(1000, "0000")});
  std::string bad_checksum = good;
  bad_checksum.back() ^= 0x01;
  struct Case {
    const char* name;
    std::string bytes;
    Action action;
    const char* text;
  } cases[] = {
      {"checksum", bad_checksum, Action::kRefusedChecksum, "INVALID CHECKSUM"},
      {"not a frame", "hello", Action::kRefusedFormat, "MESSAGE FORMAT ERROR"},
      {"mode letter", Frame(Header("000").replace(9, 1, "M") + Fid01(1000, "0000")), Action::kRefusedFormat,
       "MESSAGE FORMAT ERROR"},
      {"no FID 01", Request("000", {Fid("06", {"1"})}), Action::kRefusedFormat, "MESSAGE FORMAT ERROR"},
      {"FID 01 amount", Request("000", {Fid("01", {"03020" + kCard, "10.00", "0000"})}), Action::kRefusedFormat,
       "MESSAGE FORMAT ERROR"},
      {"echo without FID 52", Request("197", {}), Action::kRefusedFormat, "MESSAGE FORMAT ERROR"},
      {"close without FID 90", Request("900", {}), Action::kRefusedFormat, "MESSAGE FORMAT ERROR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reply reply = sim_.Handle(c.bytes);
    EXPECT_EQ(reply.outcome, Outcome::kRefused);
    EXPECT_EQ(reply.action, c.action);
    EXPECT_EQ(reply.bytes, c.text);
    EXPECT_FALSE(Last().note.empty());
  }
  EXPECT_EQ(Last().frame, FrameStatus::kOk);
  EXPECT_EQ(sim_.GetCounters().refused, 7);
  EXPECT_EQ(sim_.ConfirmedSequence(), 0);
  EXPECT_TRUE(sim_.Approvals().empty());
  // The same request with its checksum intact is answered.
  EXPECT_EQ(sim_.Handle(good).action, Action::kApproved);
}

TEST_F(HostSimTest, ChecksSequenceNumbersAndWraps) {
  EXPECT_EQ(Send(Request("000", {Fid01(1000, "0000")})).sequence, "0001");
  EXPECT_TRUE(Last().sequence_checked);
  EXPECT_TRUE(Last().sequence_ok);

  // A terminal that did not take the number is noted but answered.
  Read stale = Send(Request("000", {Fid01(1000, "0000")}));
  EXPECT_EQ(stale.response_code, "AA");
  EXPECT_FALSE(Last().sequence_ok);
  EXPECT_EQ(Last().expected_sequence, "0001");
  EXPECT_EQ(Last().note, "sequence 0000, expected 0001");
  EXPECT_EQ(sim_.GetCounters().sequence_errors, 1);
  EXPECT_EQ(sim_.ConfirmedSequence(), 2);

  sim_.SetConfirmedSequence(9949);
  EXPECT_EQ(Send(Request("000", {Fid01(1000, "9949")})).sequence, "9950");
  EXPECT_EQ(sim_.ConfirmedSequence(), 0);
  EXPECT_EQ(Send(Request("000", {Fid01(1000, "0000")})).sequence, "0001");
  EXPECT_TRUE(Last().sequence_ok);
}

TEST_F(HostSimTest, DebitApprovalIsFinalOnlyAfterItsEcho) {
  Read sale = Send(Request("100", {Fid01(2000, "0000"), Fid("50", {"00000", "", "  "})}, '#'));
  EXPECT_EQ(sale.response_code, "AA");
  EXPECT_EQ(sale.sequence, "0001");
  EXPECT_EQ(sale.message.Find("87")->data, "2000");
  EXPECT_EQ(Last().message.marker, '#');
  EXPECT_EQ(sim_.ConfirmedSequence(), 0);
  EXPECT_EQ(sim_.Approvals().at(0).state, ApprovalState::kAwaitingEcho);
  EXPECT_EQ(sim_.Totals().ItemCount(), 0);

  Reply echo = sim_.Handle(EchoRequest("197", sale, "2000"));
  EXPECT_EQ(echo.action, Action::kEchoApproved);
  EXPECT_EQ(ReadAnswer(echo.bytes).response_code, "AA");
  EXPECT_EQ(sim_.ConfirmedSequence(), 1);
  EXPECT_EQ(sim_.Approvals().at(0).state, ApprovalState::kFinal);
  EXPECT_EQ(sim_.Totals().debit_purchase_cents, 2000);
  // The next request carries the confirmed number.
  Send(Request("000", {Fid01(1000, "0001")}));
  EXPECT_TRUE(Last().sequence_ok);
}

TEST(HostSimEcho, MismatchingEchoIsDeclined) {
  struct Case {
    const char* name;
    std::string code;
    std::string ref1;  // empty: as approved
    std::string sequence;
    std::string amount;
  } cases[] = {
      {"ECheck echo code", "397", "", "", "2000"},
      {"echo reference", "197", "999999", "", "2000"},
      {"sequence not after the confirmed one", "197", "", "0002", "2000"},
      {"amount", "197", "", "", "1999"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ElavonHostSim sim;
    Read sale = ReadAnswer(sim.Answer(Request("100", {Fid01(2000, "0000")})));
    if (!c.ref1.empty()) sale.echo_ref1 = c.ref1;
    if (!c.sequence.empty()) sale.sequence = c.sequence;
    Reply echo = sim.Handle(EchoRequest(c.code, sale, c.amount));
    EXPECT_EQ(echo.action, Action::kEchoDeclined);
    Read read = ReadAnswer(echo.bytes);
    EXPECT_EQ(read.response_code, "ND");
    EXPECT_EQ(read.text, "ECHO MISMATCH");
    EXPECT_EQ(sim.GetCounters().echo_mismatches, 1);
    EXPECT_EQ(sim.ConfirmedSequence(), 0);
    EXPECT_EQ(sim.Approvals().at(0).state, ApprovalState::kUnconfirmed);
    EXPECT_EQ(sim.Totals().ItemCount(), 0);
  }
}

TEST_F(HostSimTest, EchoAfterAnotherRequestFindsNothingToConfirm) {
  Read sale = Send(Request("120", {Fid01(2000, "0000")}));
  Send(Request("000", {Fid01(500, "0000")}));
  EXPECT_EQ(sim_.Approvals().at(0).state, ApprovalState::kUnconfirmed);
  Read echo = Send(EchoRequest("197", sale, "2000"));
  EXPECT_EQ(echo.text, "ECHO MISMATCH");
  EXPECT_EQ(Last().note, "no approval waits for an echo");
}

TEST_F(HostSimTest, EchoRulesWithholdOrDecline) {
  // .55: the echo gets no answer; the terminal reverses the sale with a
  // reversal built from the echo, without FID 59.
  Read sale = Send(Request("100", {Fid01(2055, "0000")}));
  Reply echo = sim_.Handle(EchoRequest("197", sale, "2055"));
  EXPECT_EQ(echo.outcome, Outcome::kNoAnswer);
  EXPECT_EQ(echo.action, Action::kEchoUnanswered);
  EXPECT_EQ(sim_.Answer(EchoRequest("197", sale, "2055")), "");
  Read reversal = Send(Request("199", {ReversalFid01(2055, "0000"), Fid("04", {"100  "})}));
  EXPECT_EQ(reversal.response_code, "AA");
  EXPECT_EQ(reversal.sequence, "0000");
  EXPECT_EQ(Last().reference, ReferenceMatch::kMatched);
  EXPECT_EQ(sim_.Approvals().at(0).state, ApprovalState::kReversed);
  EXPECT_EQ(sim_.ConfirmedSequence(), 0);

  // .56: the echo is declined without counting as a mismatch.
  Read second = Send(Request("100", {Fid01(3056, "0000")}));
  Read declined = Send(EchoRequest("197", second, "3056"));
  EXPECT_EQ(declined.response_code, "ND");
  EXPECT_EQ(declined.text, "ECHO DECLINED");
  EXPECT_EQ(sim_.GetCounters().echo_mismatches, 0);
  EXPECT_EQ(sim_.Approvals().at(1).state, ApprovalState::kUnconfirmed);
  EXPECT_EQ(sim_.ConfirmedSequence(), 0);
}

// .60: the host takes the echo (the approval is final and C moves on) but its answer
// has no field 02; the terminal's reversal, built from the echo, still finds the
// approval by code, amount and the sale's sequence number.
TEST_F(HostSimTest, EchoTakenButAnsweredWithoutResult) {
  Read sale = Send(Request("100", {Fid01(2060, "0000")}));
  EXPECT_EQ(sale.response_code, "AA");
  Reply echo = sim_.Handle(EchoRequest("197", sale, "2060"));
  EXPECT_EQ(echo.outcome, Outcome::kAnswer);
  EXPECT_EQ(echo.action, Action::kEchoTakenNoResult);
  const Read read = ReadAnswer(echo.bytes);
  EXPECT_EQ(read.message.Find("02"), nullptr);
  EXPECT_NE(read.message.Find("87"), nullptr);
  EXPECT_EQ(sim_.Approvals().at(0).state, ApprovalState::kFinal);
  EXPECT_EQ(sim_.ConfirmedSequence(), 1);
  Read reversal = Send(Request("199", {ReversalFid01(2060, "0000"), Fid("04", {"100  "})}));
  EXPECT_EQ(reversal.response_code, "AA");
  EXPECT_EQ(Last().reference, ReferenceMatch::kMatched);
  EXPECT_EQ(sim_.Approvals().at(0).state, ApprovalState::kReversed);
  // A credit sale has no echo: .60 approves it plainly.
  EXPECT_EQ(Send(Request("000", {Fid01(2160, "0001")})).response_code, "AA");
}

TEST_F(HostSimTest, FamilyAnswers) {
  // ECheck: FID 85 carries the reference the echo sends back; with no amount
  // field in the answer, .52 approves in full.
  Read check = Send(Request("301", {Fid("01", {"1010" "0" "123456789", "4552", "0000"}),
                                    Fid("40", {"5551234", "D123=CA"})}));
  EXPECT_EQ(check.response_code, "AA");
  EXPECT_EQ(check.message.Find("85")->Subfield(2), check.sequence);
  EXPECT_EQ(check.message.Find("85")->Subfield(5), "CHECK APPROVED");
  Read echo = Send(EchoRequest("397", check, "4552"));
  EXPECT_EQ(echo.response_code, "AA");
  EXPECT_EQ(sim_.ConfirmedSequence(), 1);
  EXPECT_EQ(sim_.Totals().ItemCount(), 0);  // ECheck settles apart from the card batch

  // EBT balance: both balances; the terminal holds and never takes the number.
  Read ebt = Send(Request("124", {Fid01(0, "0001"), Fid("50", {"30000", "", "  "})}));
  EXPECT_EQ(ebt.message.Find("87")->Subfields(), (std::vector<std::string>{"0", "5000", "2500"}));
  EXPECT_EQ(sim_.ConfirmedSequence(), 1);

  // Credit balance, and a request with EMV data gets issuer data.
  Read balance = Send(Request("004", {Fid01(0, "0001"), Fid("16", {"EMVDATA"})}));
  EXPECT_EQ(balance.message.Find("87")->Subfields(), (std::vector<std::string>{"0", "12345"}));
  const Field* issuer = balance.message.Find("86");
  ASSERT_NE(issuer, nullptr);
  EXPECT_EQ(issuer->data.substr(8, 2), "01");
  EXPECT_EQ(issuer->data.substr(14), "A1B2C3D4E5F60718");
  EXPECT_EQ(sim_.ConfirmedSequence(), 2);

  // Address and card code results in FID 80.
  Read avs = Send(Request("000", {Fid01(100, "0002"), Fid("10", {"12345", "1 Main", "1123"})}));
  EXPECT_EQ(avs.message.Find("80")->data.substr(0, 3), "0YM");

  // Unknown codes are declined.
  Read unknown = Send(Request("777", {Fid01(100, "0003")}));
  EXPECT_EQ(unknown.response_code, "ND");
  EXPECT_EQ(unknown.text, "INVALID TRAN CODE");
  EXPECT_EQ(sim_.ConfirmedSequence(), 4);
}

TEST_F(HostSimTest, VoidsMatchTheirApproval) {
  Read sale = Send(Request("000", {Fid01(1000, "0000")}));
  ASSERT_EQ(sim_.Totals().credit_purchase_count, 1);
  std::string fid04 = Fid("04", {"000" "AA" + sale.transaction_ref});

  // A debit void cannot void a credit sale.
  Read wrong_family = Send(Request("198", {VoidFid01(1000, "0001", "0001"), fid04}));
  EXPECT_EQ(wrong_family.text, "NO MATCH");
  EXPECT_EQ(Last().reference, ReferenceMatch::kUnmatched);
  EXPECT_EQ(sim_.ConfirmedSequence(), 2);

  Read voided = Send(Request("098", {VoidFid01(1000, "0002", "0001"), fid04}));
  EXPECT_EQ(voided.response_code, "AA");
  EXPECT_EQ(voided.auth_code, sale.auth_code);
  EXPECT_EQ(Last().reference, ReferenceMatch::kMatched);
  EXPECT_EQ(sim_.Approvals().at(0).state, ApprovalState::kVoided);
  EXPECT_EQ(sim_.Totals().ItemCount(), 0);
  EXPECT_EQ(sim_.ConfirmedSequence(), 3);

  Read again = Send(Request("098", {VoidFid01(1000, "0003", "0001"), fid04}));
  EXPECT_EQ(again.response_code, "ND");
  EXPECT_EQ(again.text, "NO MATCH");
}

TEST_F(HostSimTest, ReversalsCancelWhatTheyName) {
  // A sale whose answer was withheld is reversed by code, amount and sequence number.
  EXPECT_EQ(sim_.Answer(Request("000", {Fid01(1054, "0000")})), "");
  EXPECT_EQ(sim_.Totals().credit_purchase_cents, 1054);
  Read lost = Send(Request("099", {ReversalFid01(1054, "0000"), Fid("04", {"000  "}), Fid("59", {""})}));
  EXPECT_EQ(lost.response_code, "AA");
  EXPECT_EQ(lost.text, "REVERSED");
  EXPECT_EQ(lost.sequence, "0000");
  EXPECT_EQ(Last().reference, ReferenceMatch::kMatched);
  EXPECT_FALSE(Last().sequence_checked);
  EXPECT_EQ(sim_.Totals().ItemCount(), 0);

  // An approval delivered but not handed on is reversed by FID 59.
  Read sale = Send(Request("000", {Fid01(2000, "0000")}));
  std::string fid59 = Fid("59", {sale.auth_code + sale.approval_ref});
  Read reversed = Send(Request("099", {ReversalFid01(2000, "0000"), Fid("04", {"000  "}), fid59}));
  EXPECT_EQ(reversed.auth_code, sale.auth_code);
  EXPECT_EQ(reversed.sequence, "0001");  // the confirmed number, not a new one
  EXPECT_EQ(Last().reference, ReferenceMatch::kMatched);
  EXPECT_EQ(sim_.Approvals().at(1).state, ApprovalState::kReversed);
  EXPECT_EQ(sim_.ConfirmedSequence(), 1);

  // An approval whose answer never reached the terminal (cut, or too late) is
  // reversed by code, amount and sequence number, with an empty FID 59.
  Send(Request("000", {Fid01(3000, "0001")}));
  Send(Request("099", {ReversalFid01(3000, "0001"), Fid("04", {"000  "}), Fid("59", {""})}));
  EXPECT_EQ(Last().reference, ReferenceMatch::kMatched);
  EXPECT_EQ(sim_.Approvals().back().state, ApprovalState::kReversed);

  // A reversal of something unknown is accepted all the same.
  Read unknown = Send(Request("099", {ReversalFid01(2000, "0000"), Fid("04", {"000  "}), fid59}));
  EXPECT_EQ(unknown.response_code, "AA");
  EXPECT_EQ(Last().reference, ReferenceMatch::kUnmatched);
}

TEST_F(HostSimTest, CapturesNeedTheirAuthorisation) {
  Read auth = Send(Request("001", {Fid01(500, "0000")}));
  EXPECT_EQ(sim_.Totals().ItemCount(), 0);
  std::string network_ref = auth.message.Find("80")->data.substr(3);
  std::string fid19 = Fid("19", {auth.auth_code + network_ref, auth.approval_ref, "03@"});
  Read capture = Send(Request("006", {Fid01(600, "0001"), Fid("12", {"INV1", ""}), fid19}));
  EXPECT_EQ(capture.response_code, "AA");
  EXPECT_EQ(Last().reference, ReferenceMatch::kMatched);
  EXPECT_EQ(sim_.Approvals().at(0).state, ApprovalState::kCaptured);
  EXPECT_EQ(sim_.Totals().credit_purchase_cents, 600);

  // The same authorisation cannot be captured twice.
  Read twice = Send(Request("006", {Fid01(600, "0002"), fid19}));
  EXPECT_EQ(twice.text, "NO MATCH");
  EXPECT_EQ(Last().reference, ReferenceMatch::kUnmatched);

  // A voice authorisation carries only the code it was given.
  Read voice = Send(Request("006", {Fid01(700, "0003"), Fid("19", {"123456", "000000"})}));
  EXPECT_EQ(Last().reference, ReferenceMatch::kNotApplicable);
  EXPECT_EQ(voice.response_code, "AA");
  EXPECT_EQ(sim_.Totals().credit_purchase_cents, 1300);
}

TEST_F(HostSimTest, BatchTotalsSummaryAndClose) {
  Send(Request("000", {Fid01(1000, "0000")}));
  Send(Request("000", {Fid01(500, "0001")}));
  Send(Request("005", {Fid01(200, "0002")}));
  Read debit = Send(Request("100", {Fid01(300, "0003")}));
  Send(EchoRequest("197", debit, "300"));
  Send(Request("000", {Fid01(951, "0004")}));  // declined: not in the batch

  Read summary = Send(Request("998", {}));
  EXPECT_EQ(Last().reply.action, Action::kBatchSummary);
  EXPECT_EQ(summary.message.Find("89")->Subfields(),
            (std::vector<std::string>{"001APPROVAL", "+16.00", "4", "15.00", "2", "2.00", "1", "3.00", "1", "0.00",
                                      "0"}));

  Read off = Send(Request("900", {Fid("90", {"0014", "1599", "0"})}));
  EXPECT_EQ(off.message.Find("89")->Subfield(0), "001RB OUT OF BALANCE");
  EXPECT_EQ(Last().reply.action, Action::kBatchNotClosed);
  EXPECT_EQ(Last().note, "batch 4 items 1599 cents, host 4 items 1600 cents");
  EXPECT_EQ(sim_.ConfirmedSequence(), 5);
  EXPECT_EQ(sim_.Totals().NetCents(), 1600);

  Read closed = Send(Request("900", {Fid("90", {"0014", "1600", "0"})}));
  EXPECT_EQ(closed.message.Find("89")->Subfield(0), "001GB CLOSED");
  EXPECT_EQ(closed.message.Find("89")->Subfield(1), "+16.00");
  EXPECT_EQ(Last().reply.action, Action::kBatchClosed);
  EXPECT_EQ(sim_.ConfirmedSequence(), 0);
  EXPECT_EQ(sim_.BatchNumber(), 2);
  EXPECT_TRUE(sim_.Approvals().empty());
  EXPECT_EQ(sim_.GetCounters().batches_closed, 1);

  // A batch of one return closes with a negative total.
  Send(Request("005", {Fid01(1250, "0000")}));
  EXPECT_EQ(Send(Request("998", {})).message.Find("89")->Subfield(1), "-12.50");
  EXPECT_EQ(Send(Request("900", {Fid("90", {"0021", "-1250"})})).message.Find("89")->Subfield(0), "002GB CLOSED");
}

TEST_F(HostSimTest, BatchCloseModes) {
  Send(Request("000", {Fid01(1000, "0000")}));
  sim_.SetBatchCloseMode(BatchCloseMode::kOutOfBalance);
  EXPECT_EQ(Send(Request("900", {Fid("90", {"0011", "1000"})})).message.Find("89")->Subfield(0),
            "001RB OUT OF BALANCE");
  EXPECT_EQ(sim_.ConfirmedSequence(), 1);

  sim_.SetBatchCloseMode(BatchCloseMode::kUploadTips);
  EXPECT_EQ(Send(Request("900", {Fid("90", {"0010", "0"})})).message.Find("89")->Subfield(0),
            "001RB UPLOAD TIPS");
  EXPECT_EQ(Last().reply.action, Action::kBatchClosed);
  EXPECT_EQ(sim_.ConfirmedSequence(), 0);
  EXPECT_EQ(sim_.Totals().ItemCount(), 0);
}

TEST_F(HostSimTest, EmvKeyDownloadRunsInRoundsUntilTheLastKey) {
  const std::vector<EmvKey> keys = DefaultEmvKeys();
  std::string index = "0";
  for (size_t round = 0; round < keys.size(); ++round) {
    SCOPED_TRACE(round);
    Read answer = Send(Request("803", {Fid("77", {index})}));
    EXPECT_EQ(Last().reply.action, Action::kEmvKey);
    const Field* fid78 = answer.message.Find("78");
    ASSERT_NE(fid78, nullptr);
    std::vector<std::string> parts = fid78->Subfields();
    ASSERT_EQ(parts.size(), 4u);
    bool last = round + 1 == keys.size();
    EXPECT_EQ(parts[0], Format4(round + 1));
    EXPECT_EQ(parts[1].substr(0, 1), last ? "0" : "1");
    EXPECT_EQ(parts[1].substr(3, 10), keys[round].rid);
    EXPECT_EQ(parts[1].substr(13, 2), keys[round].index);
    EXPECT_EQ(parts[1].substr(19), keys[round].modulus);
    EXPECT_EQ(parts[2], "03");
    EXPECT_EQ(parts[3].substr(0, 40), keys[round].check);
    const std::string& expiry = keys[round].expiry;  // YYMMDD, sent DDMMYY
    EXPECT_EQ(parts[3].substr(42), expiry.substr(4, 2) + expiry.substr(2, 2) + expiry.substr(0, 2));
    index = parts[0];
  }
  Counters counters = sim_.GetCounters();
  EXPECT_EQ(counters.emv_rounds, 3);
  EXPECT_EQ(counters.emv_downloads_completed, 1);
  EXPECT_EQ(counters.emv_order_errors, 0);

  // Past the last key: no key field, the terminal reports the download failed.
  Read past = Send(Request("803", {Fid("77", {index})}));
  EXPECT_FALSE(past.message.Has("78"));
  EXPECT_EQ(past.text, "INVALID KEY INDEX");
  EXPECT_EQ(sim_.GetCounters().emv_order_errors, 1);

  // Asking out of turn is noted; the key is still given.
  Read skipped = Send(Request("803", {Fid("77", {"0002"})}));
  EXPECT_TRUE(skipped.message.Has("78"));
  EXPECT_EQ(sim_.GetCounters().emv_order_errors, 2);
  EXPECT_EQ(sim_.GetCounters().emv_downloads_completed, 2);
}

TEST(HostSimHistory, KeepsTheLastRequestsWithTheirFields) {
  HostSimOptions options;
  options.history_size = 2;
  ElavonHostSim sim(options);
  EXPECT_FALSE(sim.LastReceived().has_value());
  sim.Handle(Request("000", {Fid01(100, "0000")}));
  sim.Handle(Request("000", {Fid01(200, "0001"), Fid("12", {"INV9", ""}), Fid("06", {"4"})}));
  sim.Handle(Request("998", {}));
  std::vector<ReceivedRequest> received = sim.Received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].message.Fids(), (std::vector<std::string>{"01", "12", "06"}));
  EXPECT_EQ(received[0].message.Find("12")->Subfield(0), "INV9");
  EXPECT_EQ(received[0].reply.action, Action::kApproved);
  EXPECT_EQ(received[0].approval_id, 2);
  EXPECT_EQ(received[1].message.code, "998");
  EXPECT_EQ(received[1].message.mode, 'M');
  EXPECT_EQ(sim.GetCounters().requests, 3);
}

// Per family: one approval made final, one reversed, one withheld (held as lost).
TEST(HostSimLedgerCounts, CountApprovalsReversalsAndHeldPerFamily) {
  struct Case {
    const char* name;
    CardFamily family;
    std::string sale;
    std::string reversal;
    std::string echo;  // empty: the family has no echo
  };
  const Case cases[] = {
      {"credit", CardFamily::kCredit, "000", "099", ""},
      {"debit", CardFamily::kDebit, "100", "199", "197"},
      {"EBT", CardFamily::kEbt, "120", "199", "197"},
      {"ECheck", CardFamily::kECheck, "300", "399", "397"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ElavonHostSim sim;
    const auto sequence = [&] { return Format4(static_cast<size_t>(sim.ConfirmedSequence())); };
    Read kept = ReadAnswer(sim.Answer(Request(c.sale, {Fid01(1000, sequence())})));
    if (!c.echo.empty()) {
      EXPECT_EQ(ReadAnswer(sim.Answer(EchoRequest(c.echo, kept, "1000"))).response_code, "AA");
    }
    const std::string reversed_sequence = sequence();
    EXPECT_EQ(ReadAnswer(sim.Answer(Request(c.sale, {Fid01(2000, reversed_sequence)}))).response_code, "AA");
    sim.Answer(Request(c.reversal, {ReversalFid01(2000, reversed_sequence), Fid("04", {c.sale + "  "})}));
    EXPECT_EQ(sim.LastReceived()->reversal, ReversalTarget::kApproval);
    EXPECT_EQ(sim.Answer(Request(c.sale, {Fid01(3054, sequence())})), "");  // withheld: lost
    sim.Answer(Request("124", {Fid01(0, sequence()), Fid("50", {"30000", "", "  "})}));  // balance: no money

    const LedgerCounts counts = sim.GetLedgerCounts();
    const FamilyCounts& family = counts.Of(c.family);
    EXPECT_EQ(family.approvals, 3);
    EXPECT_EQ(family.reversed, 1);
    EXPECT_EQ(family.voided, 0);
    EXPECT_EQ(family.held, 2);
    EXPECT_EQ(family.held_cents, 4054);
    EXPECT_EQ(counts.Total().approvals, 3) << "nothing counted under another family";
    EXPECT_EQ(counts.Total().held_cents, 4054);
    EXPECT_EQ(counts.Of(CardFamily::kNone).approvals, 0);
  }
}

// What a reversal names, and what is counted for it.
TEST(HostSimReversals, TellWhatTheyNamed) {
  struct Case {
    const char* name;
    // Brings the host to the reversal and sends it.
    std::function<void(ElavonHostSim&)> run;
    ReversalTarget target;
    ReferenceMatch reference;
    int repeated, unapproved, unmatched;
  };
  const std::string debit04 = Fid("04", {"100  "});
  const std::string credit04 = Fid("04", {"000  "});
  const Case cases[] = {
      {"debit echo declined (.56), then reversed",
       [&](ElavonHostSim& sim) {
         Read sale = ReadAnswer(sim.Answer(Request("100", {Fid01(2056, "0000")})));
         sim.Answer(EchoRequest("197", sale, "2056"));
         sim.Answer(Request("199", {ReversalFid01(2056, "0000"), debit04}));
       },
       ReversalTarget::kApproval, ReferenceMatch::kMatched, 0, 0, 0},
      {"echo never answered (.55), another request, then reversed",
       [&](ElavonHostSim& sim) {
         Read sale = ReadAnswer(sim.Answer(Request("100", {Fid01(2055, "0000")})));
         sim.Answer(EchoRequest("197", sale, "2055"));
         sim.Answer(Request("000", {Fid01(151, "0000")}));  // declined: the host holds nothing of it
         sim.Answer(Request("199", {ReversalFid01(2055, "0000"), debit04}));
       },
       ReversalTarget::kApproval, ReferenceMatch::kMatched, 0, 0, 0},
      {"answer withheld (.54), then reversed",
       [&](ElavonHostSim& sim) {
         sim.Answer(Request("100", {Fid01(2054, "0000")}));
         sim.Answer(Request("199", {ReversalFid01(2054, "0000"), debit04}));
       },
       ReversalTarget::kApproval, ReferenceMatch::kMatched, 0, 0, 0},
      {"declined, then reversed",
       [&](ElavonHostSim& sim) {
         sim.Answer(Request("100", {Fid01(2051, "0000")}));
         sim.Answer(Request("199", {ReversalFid01(2051, "0000"), debit04}));
       },
       ReversalTarget::kUnapproved, ReferenceMatch::kUnmatched, 0, 1, 0},
      {"answered with an error text (.53), then reversed",
       [&](ElavonHostSim& sim) {
         sim.Answer(Request("000", {Fid01(2053, "0000")}));
         sim.Answer(Request("099", {ReversalFid01(2053, "0000"), credit04}));
       },
       ReversalTarget::kUnapproved, ReferenceMatch::kUnmatched, 0, 1, 0},
      {"reversed twice",
       [&](ElavonHostSim& sim) {
         sim.Answer(Request("000", {Fid01(2000, "0000")}));
         sim.Answer(Request("099", {ReversalFid01(2000, "0000"), credit04}));
         sim.Answer(Request("099", {ReversalFid01(2000, "0000"), credit04}));
       },
       ReversalTarget::kAlreadyCancelled, ReferenceMatch::kUnmatched, 1, 0, 0},
      {"voided, then reversed by its references",
       [&](ElavonHostSim& sim) {
         Read sale = ReadAnswer(sim.Answer(Request("000", {Fid01(2000, "0000")})));
         sim.Answer(Request("098", {VoidFid01(2000, "0001", "0001"), Fid("04", {"000" "AA" + sale.transaction_ref})}));
         sim.Answer(Request("099", {ReversalFid01(2000, "0000"), credit04,
                                    Fid("59", {sale.auth_code + sale.approval_ref})}));
       },
       ReversalTarget::kAlreadyCancelled, ReferenceMatch::kUnmatched, 1, 0, 0},
      {"never received: another amount",
       [&](ElavonHostSim& sim) {
         sim.Answer(Request("000", {Fid01(2000, "0000")}));
         sim.Answer(Request("099", {ReversalFid01(2001, "0000"), credit04}));
       },
       ReversalTarget::kNothing, ReferenceMatch::kUnmatched, 0, 0, 1},
      {"never received: the next sale's sequence number",
       [&](ElavonHostSim& sim) { sim.Answer(Request("199", {ReversalFid01(1005, "0001"), debit04})); },
       ReversalTarget::kNothing, ReferenceMatch::kUnmatched, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ElavonHostSim sim;
    c.run(sim);
    const ReceivedRequest last = sim.LastReceived().value();
    EXPECT_EQ(last.reply.action, Action::kReversed) << "a reversal is always answered";
    EXPECT_EQ(last.reversal, c.target) << ReversalTargetName(last.reversal) << ": " << last.note;
    EXPECT_EQ(last.reference, c.reference);
    const Counters counters = sim.GetCounters();
    EXPECT_EQ(counters.repeated_reversals, c.repeated);
    EXPECT_EQ(counters.reversals_of_unapproved, c.unapproved);
    EXPECT_EQ(counters.unmatched_reversals, c.unmatched);
    EXPECT_EQ(counters.repeated_requests, 0);
    EXPECT_EQ(sim.Incidents().size(), static_cast<size_t>(c.repeated + c.unmatched));
    if (c.target == ReversalTarget::kApproval) {
      EXPECT_EQ(sim.GetLedgerCounts().Total().held, 0);
    }
  }
}

TEST_F(HostSimTest, RepeatedMoneyRequestsAreMarkedAndCounted) {
  const std::string sale = Request("000", {Fid01(1500, "0000")});
  Send(sale);
  Send(sale);  // the same sale, sequence number and all, a second time
  ReceivedRequest second = Last();
  EXPECT_TRUE(second.repeated);
  EXPECT_EQ(second.repeat_of, 1);
  EXPECT_EQ(second.note, "sequence 0000, expected 0001") << "the sequence error stays the note";
  EXPECT_EQ(Send(sale).response_code, "AA") << "answered as usual";
  EXPECT_EQ(sim_.GetCounters().repeated_requests, 2);
  ASSERT_EQ(sim_.Incidents().size(), 2u);
  EXPECT_EQ(sim_.Incidents()[0], "request 2 (000): repeated request: amount 1500, sequence 0000, as request 1");

  // Not repeats: another card, another code, another amount, a balance inquiry asked
  // twice, a reversal and its twin.
  ElavonHostSim sim;
  sim.Answer(Request("100", {Fid01(2054, "0000")}));
  sim.Answer(Request("100", {Fid("01", {"03020" "5500000000000004", "2054", "0000", "", "1000000"})}));
  sim.Answer(Request("102", {Fid01(2054, "0000")}));
  sim.Answer(Request("100", {Fid01(2154, "0000")}));
  for (int i = 0; i < 2; ++i) sim.Answer(Request("124", {Fid01(0, "0000"), Fid("50", {"30000", "", "  "})}));
  sim.Answer(Request("199", {ReversalFid01(2054, "0000"), Fid("04", {"100  "})}));
  EXPECT_EQ(sim.GetCounters().repeated_requests, 0);
  EXPECT_EQ(sim.GetCounters().unmatched_reversals, 0);
  // A repeat whose sequence number is right (a withheld answer does not move C)
  // carries the repeat as its note.
  sim.Answer(Request("100", {Fid01(2154, "0000")}));
  EXPECT_TRUE(sim.LastReceived()->sequence_ok);
  EXPECT_EQ(sim.LastReceived()->note, "repeated request: amount 2154, sequence 0000, as request 4");

  // A closed batch starts over: C is 0 again, and so are the numbers sent.
  sim_.SetBatchCloseMode(BatchCloseMode::kUploadTips);
  Send(Request("900", {Fid("90", {"0010", "0"})}));
  Send(sale);
  EXPECT_FALSE(Last().repeated);
  EXPECT_EQ(sim_.GetCounters().repeated_requests, 2);
}

TEST(HostSimInvariant, BreachesNameWhatTheHostHoldsOrSawTwice) {
  ElavonHostSim sim;
  sim.Answer(Request("000", {Fid01(1001, "0000")}));                                      // told Approved
  sim.Answer(Request("000", {Fid01(1002, "0001")}));                                      // held, told Declined
  sim.Answer(Request("000", {Fid01(1051, "0002")}));                                      // declined
  sim.Answer(Request("000", {Fid01(1054, "0003")}));                                      // withheld
  sim.Answer(Request("099", {ReversalFid01(1054, "0003"), Fid("04", {"000  "})}));        // and reversed
  sim.Answer(Request("099", {ReversalFid01(1051, "0002"), Fid("04", {"000  "})}));        // a decline reversed
  EXPECT_TRUE(InvariantBreaches(sim, {{1001, true, "one"}, {1002, true, "two"}, {1051, false, "three"},
                                      {1054, false, "four"}})
                  .empty());
  EXPECT_TRUE(InvariantBreaches(sim, std::multiset<int64_t>{1001, 1002}).empty());

  std::vector<std::string> breaches = InvariantBreaches(sim, {{1001, true, "one"}, {1002, false, "IP/approve/POS gone"}});
  ASSERT_EQ(breaches.size(), 1u);
  EXPECT_EQ(breaches[0],
            "IP/approve/POS gone: the host holds approval 2 (credit code 000, 1002 cents asked, 1002 approved, final) "
            "but the POS was not told Approved");
  breaches = InvariantBreaches(sim, {{1001, true, "one"}});
  ASSERT_EQ(breaches.size(), 1u);
  EXPECT_NE(breaches[0].find("no sale of that amount"), std::string::npos) << breaches[0];
  // One amount told once answers for one approval only.
  sim.Answer(Request("000", {Fid01(1001, "0004")}));
  breaches = InvariantBreaches(sim, std::multiset<int64_t>{1001, 1002});
  ASSERT_EQ(breaches.size(), 1u);
  EXPECT_NE(breaches[0].find("not told Approved of 1001 cents"), std::string::npos) << breaches[0];

  // A request twice and a reversal of nothing received are breaches of their own.
  sim.Answer(Request("000", {Fid01(1001, "0004")}));
  sim.Answer(Request("099", {ReversalFid01(1999, "0005"), Fid("04", {"000  "})}));
  breaches = InvariantBreaches(sim, std::multiset<int64_t>{1001, 1001, 1001, 1002});
  ASSERT_EQ(breaches.size(), 2u);
  EXPECT_NE(breaches[0].find("repeated request"), std::string::npos) << breaches[0];
  EXPECT_NE(breaches[1].find("unmatched reversal"), std::string::npos) << breaches[1];
}

}  // namespace
}  // namespace elavon_sim
