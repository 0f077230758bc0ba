// Round trips between the server's own request builder and response parser and the
// simulated Elavon host: a client request is parsed as intake parses it, built, answered
// by the simulator and parsed back; the client then sends the AuthCode, RefNo and
// AcqRefData of the reply with a follow-up transaction, and the simulator must find the
// approval that the follow-up names. What each follow-up field must hold is worked out
// from the simulator's own record of the approval, not from the server's code.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/log/recording_logger.h"
#include "core/params/param_settings.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_reply.h"
#include "core/tran/tstream_parser.h"
#include "host/message/message_test_support.h"
#include "tools/elavon-sim/host_sim.h"

namespace {

using ::testing::ElementsAreArray;
using message_test::Visible;

const std::string kFsText = "\x1C";


// The TStream text of "key=value" items.
std::string TStream(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += item + kFsText;
  return text;
}

// The text of element name in an RStream block, or nullopt when it is not there.
std::optional<std::string> Element(const std::string& block, const std::string& name) {
  const std::string open = "<" + name + ">";
  const std::string close = "</" + name + ">";
  const size_t start = block.find(open);
  if (start == std::string::npos) return std::nullopt;
  const size_t end = block.find(close, start);
  if (end == std::string::npos) return std::nullopt;
  return block.substr(start + open.size(), end - start - open.size());
}

// What a client keeps from an approving reply and sends with a follow-up.
struct ClientCopy {
  std::string authCode;
  std::string refNo;
  std::string acqRefData;
};

class SimRoundTripTest : public ::testing::Test {
 protected:
  SimRoundTripTest()
      : m_Settings(message_test::Settings({{kParmAssignedBin, "1234"},
                                           {kParmMerchantTerminalId, "5678"},
                                           {kParmMerchantCategory, "1"},
                                           {kParmEmvSupport, "0"}})),
        m_Sequence(0) {
    m_Context.m_Settings = &m_Settings;
    m_Context.m_Logger = &m_Log;
  }

  // A record filled from a client's TStream as the intake fills it.
  CElavonTran ClientRequest(const std::vector<std::string>& items) {
    CElavonTran tran;
    tran.m_Request = TStream(items);
    tran.m_RequestKind = kRequestKindEncrypted;
    tran.ParseRequest(m_Settings);
    EXPECT_NE(tran.m_TranCode, 0) << "refused with " << tran.m_ErrorCode;
    // This test holds no session key: the reply is framed in clear, and what it would
    // carry is read from the reply block itself (ClientCopyOf).
    tran.m_RequestKind = kRequestKindClear;
    return tran;
  }

  // Builds the record's request and sends it.
  void BuildAndSend(CElavonTran& tran) {
    ASSERT_TRUE(tran.BuildElavonRequest(m_Settings, m_Sequence.File()));
    Send(tran);
  }

  // Sends the message in m_HostRequest to the simulator and parses its answer.
  void Send(CElavonTran& tran) {
    const elavon_sim::Reply reply = m_Host.Handle(tran.m_HostRequest);
    ASSERT_EQ(reply.outcome, elavon_sim::Outcome::kAnswer) << elavon_sim::ActionName(reply.action);
    tran.m_HostResponse = reply.bytes;
    tran.ParseElavonResponse(m_Sequence.File(), m_Log);
  }

  // The approval's values as the TranResponse block of its reply carries them.
  ClientCopy ClientCopyOf(CElavonTran& approved) {
    const std::string block = approved.BuildTranResponseXml(m_Context);
    ClientCopy copy;
    copy.authCode = Element(block, "AuthCode").value_or("");
    copy.refNo = Element(block, "RefNo").value_or("");
    copy.acqRefData = Element(block, "AcqRefData").value_or("");
    EXPECT_FALSE(copy.authCode.empty()) << block;
    EXPECT_FALSE(copy.refNo.empty()) << block;
    EXPECT_FALSE(copy.acqRefData.empty()) << block;
    return copy;
  }

  // The request as the simulator last received it, with the checks every follow-up
  // passes: well framed, FIDs in the order given, sequence number accepted.
  elavon_sim::ReceivedRequest Received(const std::string& code, const std::vector<std::string>& fids) {
    const std::optional<elavon_sim::ReceivedRequest> last = m_Host.LastReceived();
    EXPECT_TRUE(last.has_value());
    if (!last) return elavon_sim::ReceivedRequest();
    EXPECT_EQ(last->frame, elavon_sim::FrameStatus::kOk) << Visible(last->bytes);
    EXPECT_EQ(last->message.code, code);
    EXPECT_THAT(last->message.Fids(), ElementsAreArray(fids)) << Visible(last->bytes);
    if (last->sequence_checked) {
      EXPECT_TRUE(last->sequence_ok) << last->note;
    }
    return *last;
  }

  // The newest approval of the simulator's open batch.
  elavon_sim::Approval LastApproval() {
    const std::vector<elavon_sim::Approval> approvals = m_Host.Approvals();
    EXPECT_FALSE(approvals.empty());
    return approvals.empty() ? elavon_sim::Approval() : approvals.back();
  }

  elavon_sim::ApprovalState StateOf(int id) {
    for (const elavon_sim::Approval& a : m_Host.Approvals()) {
      if (a.id == id) return a.state;
    }
    ADD_FAILURE() << "no approval " << id;
    return elavon_sim::ApprovalState::kLost;
  }

  CParamSettings m_Settings;
  message_test::ScopedSequenceFile m_Sequence;
  CRecordingLogger m_Log;
  CReplyContext m_Context;
  elavon_sim::ElavonHostSim m_Host;
};

// A keyed credit request of lane 0005 with the given TranCode, amounts and follow-up
// items; a later item replaces an earlier one of the same name (the RefNo of a
// follow-up replaces the POS's own).
std::vector<std::string> Credit(const std::vector<std::string>& more) {
  std::vector<std::string> items = {"TStream=Transaction", "ClientID=0005", "MerchantID=1234",
                                    "InvoiceNo=INV1", "RefNo=POS1", "TranType=Credit",
                                    "AcctNo=4111111111111111", "ExpDate=1225"};
  items.insert(items.end(), more.begin(), more.end());
  return items;
}

std::vector<std::string> FollowUpItems(const ClientCopy& copy) {
  return {"AuthCode=" + copy.authCode, "RefNo=" + copy.refNo, "AcqRefData=" + copy.acqRefData};
}

// What the original request sent as its terminal capability (FID 01, first two
// characters), as the simulator received it.
std::string CapabilityOf(const elavon_sim::ReceivedRequest& original) {
  const elavon_sim::Field* fid01 = original.message.Find("01");
  return fid01 != nullptr ? fid01->data.substr(0, 2) : std::string();
}

enum class FollowUp {
  kClient,    // the client sends a follow-up TStream with the reply's values
  kReversal,  // the server reverses the approved record (BuildReversalRequest)
};

struct RoundTripCase {
  const char* label;
  std::vector<std::string> original;  // the approved request's own items (TranCode first)
  FollowUp followUp;
  std::vector<std::string> followUpItems;  // TranCode and amounts of a client follow-up
  std::string code;                        // the follow-up's Elavon code
  std::vector<std::string> fids;           // its FIDs, in order
  std::string fid;                         // the field that names the approval
  // That field's data, from the simulator's approval and the original request.
  std::function<std::string(const elavon_sim::Approval&, const elavon_sim::ReceivedRequest&)> data;
  elavon_sim::Action action;
  elavon_sim::ApprovalState state;  // of the original approval afterwards: the one matched
  bool serverApproves;              // the server reads the follow-up's answer as approved
};

TEST_F(SimRoundTripTest, FollowUpsFindTheirApproval) {
  using elavon_sim::Action;
  using elavon_sim::Approval;
  using elavon_sim::ApprovalState;
  using elavon_sim::ReceivedRequest;
  const RoundTripCase cases[] = {
      // FID 04: the original's code, its response code, subfield 5 of its field 02.
      {"void of a sale", {"TranCode=Sale", "Purchase=10.00"}, FollowUp::kClient,
       {"TranCode=VoidSale", "Purchase=10.00"}, "098", {"01", "04", "06"}, "04",
       [](const Approval& a, const ReceivedRequest&) { return a.code + "AA" + a.transaction_ref; },
       Action::kVoided, ApprovalState::kVoided, true},
      // FID 19: the auth code and FID 80's reference, FS, the approval reference, and
      // for a capture FS, the original's terminal capability and "@".
      {"capture of a pre-authorisation", {"TranCode=PreAuth", "Authorize=20.00", "Purchase=20.00"},
       FollowUp::kClient, {"TranCode=PreAuthCapture", "Purchase=20.00"}, "006", {"01", "12", "19", "06"},
       "19",
       [](const Approval& a, const ReceivedRequest& original) {
         return a.auth_code + a.network_ref + kFsText + a.approval_ref + kFsText + CapabilityOf(original) + "@";
       },
       Action::kApproved, ApprovalState::kCaptured, true},
      // A client's reversal of an FSA sale: FID 04 and FID 19 without the capture part.
      {"reversal of an FSA sale by the client", {"TranCode=FSASale", "Purchase=12.00"}, FollowUp::kClient,
       {"TranCode=ReverseFSASale", "Purchase=12.00"}, "099", {"01", "04", "19", "06"}, "19",
       [](const Approval& a, const ReceivedRequest&) {
         return a.auth_code + a.network_ref + kFsText + a.approval_ref;
       },
       Action::kReversed, ApprovalState::kReversed, true},
      // FID 59 of the server's own reversal: the host's auth code and approval reference.
      {"reversal of a sale by the server", {"TranCode=Sale", "Purchase=10.00"}, FollowUp::kReversal, {},
       "099", {"01", "04", "06", "59"}, "59",
       [](const Approval& a, const ReceivedRequest&) { return a.auth_code + a.approval_ref; },
       Action::kReversed, ApprovalState::kReversed, false},
  };

  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.label);
    // Both sides start each case at sequence number 0.
    std::string messages;
    m_Sequence.File().Write("0", &messages);
    m_Host.SetConfirmedSequence(0);

    // The approval, and what the client keeps of its reply.
    CElavonTran original = ClientRequest(Credit(c.original));
    BuildAndSend(original);
    ASSERT_TRUE(original.m_Approved) << Visible(original.m_HostResponse);
    const ReceivedRequest originalReceived = *m_Host.LastReceived();
    const Approval approval = LastApproval();
    const ClientCopy copy = ClientCopyOf(original);
    EXPECT_EQ(copy.authCode, approval.auth_code);

    CElavonTran followUp;
    if (c.followUp == FollowUp::kClient) {
      std::vector<std::string> items = c.followUpItems;
      const std::vector<std::string> given = FollowUpItems(copy);
      items.insert(items.end(), given.begin(), given.end());
      followUp = ClientRequest(Credit(items));
      BuildAndSend(followUp);
    } else {
      followUp = original;
      ASSERT_TRUE(followUp.BuildReversalRequest(m_Settings));
      Send(followUp);
    }

    const ReceivedRequest received = Received(c.code, c.fids);
    const elavon_sim::Field* field = received.message.Find(c.fid);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(Visible(field->data), Visible(c.data(approval, originalReceived)));
    EXPECT_EQ(received.reference, elavon_sim::ReferenceMatch::kMatched) << received.note;
    EXPECT_EQ(received.reply.action, c.action) << elavon_sim::ActionName(received.reply.action);
    EXPECT_EQ(StateOf(approval.id), c.state);
    EXPECT_EQ(followUp.m_Approved, c.serverApproves) << Visible(followUp.m_HostResponse);
  }
}

// A void and a reversal of an approval that the host does not have (another batch's
// references) are not matched: the simulator does not find an approval by accident.
TEST_F(SimRoundTripTest, ForeignReferencesAreNotMatched) {
  CElavonTran sale = ClientRequest(Credit({"TranCode=Sale", "Purchase=10.00"}));
  BuildAndSend(sale);
  ASSERT_TRUE(sale.m_Approved);
  ClientCopy copy = ClientCopyOf(sale);
  copy.acqRefData = "NT0000000099|000009|000099|03|000|AA|T000000099|0000";
  copy.authCode = "A00099";

  std::vector<std::string> voidItems = {"TranCode=VoidSale", "Purchase=10.00"};
  const std::vector<std::string> given = FollowUpItems(copy);
  voidItems.insert(voidItems.end(), given.begin(), given.end());
  CElavonTran voidSale = ClientRequest(Credit(voidItems));
  BuildAndSend(voidSale);
  const elavon_sim::ReceivedRequest received = Received("098", {"01", "04", "06"});
  EXPECT_EQ(received.reference, elavon_sim::ReferenceMatch::kUnmatched);
  EXPECT_FALSE(voidSale.m_Approved);
  EXPECT_EQ(voidSale.m_TextResponse, "NO MATCH");
  EXPECT_EQ(LastApproval().state, elavon_sim::ApprovalState::kFinal);
}

}  // namespace
