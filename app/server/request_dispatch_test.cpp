// Dispatch and delivery over the wire: the POS client sends requests, the test plays
// the Elavon processing thread on the queued records (moving them to a final state
// with the record's own reply builders), and the client reads what comes back.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/server/client_session.h"
#include "app/server/server_test_support.h"
#include "core/tran/tran_codes.h"
#include "platform/text/format.h"

namespace {

using namespace server_test;

class DispatchTest : public ListenerTest {
 protected:
  Request Send(SessionClient& client, const std::vector<TStreamItem>& items,
               RequestOptions options = RequestOptions()) {
    Request request;
    EXPECT_EQ(client.SendRequest(items, options, &request), LinkStatus::kOk);
    return request;
  }
  Reply Next(SessionClient& client, const Request& request, uint32_t ms = 5000) {
    Reply reply;
    EXPECT_EQ(client.ReadReply(request.session, ms, &reply), LinkStatus::kOk);
    return reply;
  }
  // Nothing arrives within ms.
  bool Quiet(SessionClient& client, uint32_t ms = 300) {
    std::string frame;
    return client.ReadFrame(&frame, ms) == LinkStatus::kTimedOut;
  }
  void ExpectInterim(const Reply& reply, const std::string& count = "000", const std::string& trace = "") {
    EXPECT_FALSE(reply.encrypted);
    EXPECT_EQ(reply.notice.code, 0);
    EXPECT_EQ(reply.notice.status, "Success");
    EXPECT_EQ(reply.notice.text, "Queued:045:" + count);
    EXPECT_EQ(reply.notice.user_trace_data, trace);
  }
  // Moves the one queued record with changes applied, as the Elavon interface would.
  template <typename Change>
  CElavonTran Finish(Change change) {
    CElavonTran record;
    EXPECT_TRUE(OnlyQueued(&record));
    change(record);
    EXPECT_TRUE(g_TransactionQueue.Update(record.m_Id, record));
    return record;
  }
  static bool QueueEmpty() { return g_TransactionQueue.GetCount() == 0; }

  elavon_sim::ElavonHostSim m_Host;
};

TEST_F(DispatchTest, ServerCommandsAreAnsweredAtOnceAfterTheInterimReply) {
  SetParams({{kParmEmvSupport, "2"}});
  Start();
  auto client = LoggedIn();
  const struct {
    const char* tranCode;
    int code;
    const char* text;
    const char* element;
  } cases[] = {{"ServerVersion", 500000, "ZW 5.18", "<ProductVersion>ZW 5.18</ProductVersion>"},
               {"GetCorvaneParms", 500001, "Success", "<PaymentTypes>Credit,Debit</PaymentTypes>"}};
  for (const auto& c : cases) {
    std::vector<TStreamItem> items = ServerVersionItems();
    items[1].value = c.tranCode;
    RequestOptions options;
    options.user_trace_data = std::string("trace-") + c.tranCode;
    const Request request = Send(*client, items, options);
    ExpectInterim(Next(*client, request), "000", options.user_trace_data);
    const Reply reply = Next(*client, request);
    EXPECT_TRUE(reply.encrypted);
    EXPECT_EQ(reply.notice.code, c.code);
    EXPECT_EQ(reply.notice.status, "Success");
    EXPECT_EQ(reply.notice.text, c.text);
    EXPECT_EQ(reply.notice.user_trace_data, options.user_trace_data);
    EXPECT_NE(reply.notice.document.find(c.element), std::string::npos) << reply.notice.document;
    EXPECT_EQ(g_TransactionQueue.GetCount(), 0);  // never queued
  }
}

TEST_F(DispatchTest, ARejectedRequestGetsItsErrorReplyAlone) {
  Start();
  auto client = LoggedIn();
  const struct {
    char mode;
    int code;
    const char* text;
  } cases[] = {{'0', 4005, "Clear Text Request NOT supported."},
               {'E', 4004, "Weak Encryption Request NOT supported."},
               {'1', 4006, "Old Client NOT Supported"},
               {'Q', 4010, "Unrecognized Request Format."}};
  for (const auto& c : cases) {
    RequestOptions options;
    options.mode = c.mode;
    options.user_trace_data = "rejected";
    const Request request = Send(*client, CreditSaleItems(), options);
    const Reply reply = Next(*client, request);
    EXPECT_FALSE(reply.encrypted);
    EXPECT_EQ(reply.notice.code, c.code) << c.mode;
    EXPECT_EQ(reply.notice.text, c.text);
    EXPECT_EQ(reply.notice.user_trace_data, "rejected");
    EXPECT_TRUE(Quiet(*client)) << c.mode;
    EXPECT_EQ(g_TransactionQueue.GetCount(), 0);
  }
}

TEST_F(DispatchTest, ARequestIsAtMost32767Bytes) {
  Start();
  auto client = LoggedIn();
  // The trace text pads the envelope of a ServerVersion request to exactly 32,767 bytes.
  RequestOptions options;
  options.session_key = std::string(16, '\x5A');
  Request probe;
  ASSERT_EQ(client->SendRequest(ServerVersionItems(), options, &probe), LinkStatus::kOk);
  ExpectInterim(Next(*client, probe));
  Next(*client, probe);
  options.user_trace_data = std::string(32767 - probe.envelope.size(), 't');

  for (const bool oneMore : {false, true}) {
    SCOPED_TRACE(oneMore ? "32,768 bytes" : "32,767 bytes");
    std::string tstream;
    ASSERT_EQ(pos_client::JoinTStream(ServerVersionItems(), &tstream), pos_client::Status::kOk);
    Request request;
    ASSERT_EQ(pos_client::BuildRequest(client->server_key(), tstream, options, &request), pos_client::Status::kOk);
    ASSERT_EQ(request.envelope.size(), 32767u);
    // The byte that finds the buffer full ends the request and is lost; the ETX then
    // ends an empty one.
    ASSERT_EQ(client->SendBytes(request.envelope + (oneMore ? "Z" : "") + "\x03"), LinkStatus::kOk);
    ExpectInterim(Next(*client, request), "000", options.user_trace_data);
    const Reply version = Next(*client, request);
    EXPECT_EQ(version.notice.code, 500000);
    EXPECT_EQ(version.notice.user_trace_data, options.user_trace_data);
    if (oneMore) {
      const Reply rest = Next(*client, request);
      EXPECT_EQ(rest.notice.code, 4010);
      EXPECT_EQ(rest.notice.user_trace_data, "");
    }
    EXPECT_TRUE(Quiet(*client));
  }
}

TEST_F(DispatchTest, ACancelIsQueuedWithoutAReplyAndTheCancelledSaleGets1010) {
  Start();
  auto client = LoggedIn();
  RequestOptions saleOptions;
  saleOptions.user_trace_data = "sale";
  const Request sale = Send(*client, CreditSaleItems(), saleOptions);
  ExpectInterim(Next(*client, sale), "000", "sale");
  RequestOptions cancelOptions;
  cancelOptions.mode = 'A';
  cancelOptions.user_trace_data = "cancel";
  Send(*client, CreditSaleItems(), cancelOptions);
  EXPECT_TRUE(Quiet(*client));
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 2; }));
  CTranList records;
  g_TransactionQueue.Snapshot(records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records.back().m_RequestKind, kRequestKindCancel);
  EXPECT_EQ(records.back().m_State, kTranStateQueued);
  EXPECT_EQ(records.back().m_UserTraceData, "cancel");
  EXPECT_EQ(records.back().m_ClientAddress, records.front().m_ClientAddress);

  // What the Elavon interface does with them: the sale cancelled, the cancel done.
  for (CElavonTran& record : records) {
    if (record.m_RequestKind == kRequestKindCancel) {
      record.MarkFinished();
    } else {
      record.MarkCancelledByClient();
    }
    g_TransactionQueue.Update(record.m_Id, record);
  }
  const Reply reply = Next(*client, sale);
  EXPECT_FALSE(reply.encrypted);
  EXPECT_EQ(reply.notice.code, 1010);
  EXPECT_EQ(reply.notice.text, "User Abort.");
  EXPECT_EQ(reply.notice.user_trace_data, "sale");
  EXPECT_TRUE(WaitFor(QueueEmpty));
  EXPECT_TRUE(Quiet(*client));
}

TEST_F(DispatchTest, ALaneBeyondTheMaximumIsRefusedForNewAuthorisationsOnly) {
  Start();
  auto client = LoggedIn();
  ASSERT_TRUE(g_LaneRegistry.Register("0101"));  // listed while the maximum allowed it
  g_LaneRegistry.SetMaximum(0);
  // A listed lane goes on; a new one gets 4048 for a sale but not for a balance.
  const Request listed = Send(*client, CreditSaleItems("10.00", "0101"));
  ExpectInterim(Next(*client, listed));
  RequestOptions options;
  options.user_trace_data = "new lane";
  const Request refused = Send(*client, CreditSaleItems("10.00", "0999"), options);
  const Reply reply = Next(*client, refused);
  EXPECT_EQ(reply.notice.code, 4048);
  EXPECT_EQ(reply.notice.status, "Error");
  EXPECT_EQ(reply.notice.text, "Max Lane(s) Already Reached.");
  EXPECT_EQ(reply.notice.user_trace_data, "");
  EXPECT_TRUE(Quiet(*client));
  std::vector<TStreamItem> balance = CreditSaleItems("10.00", "0999");
  balance[6].value = "Balance";
  const Request inquiry = Send(*client, balance);
  ExpectInterim(Next(*client, inquiry), "001");
}

OffsetClock g_Clock;

TEST_F(DispatchTest, OneLaneHoldsANewAuthorisationUntil30sAfterTheLastOne) {
  SetParams({{kParmNumberOfLanes, "1"}});
  platform::ScopedClockOverride clock(&g_Clock);
  Start();
  auto client = LoggedIn();
  g_Clock.Advance(30000);  // whatever came before is 30 s old
  const Request first = Send(*client, CreditSaleItems());
  ExpectInterim(Next(*client, first));  // not held
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 1; }));  // stamped on adding

  // 5 s later (on the injected clock) a second sale waits for the remaining 25 s.
  g_Clock.Advance(5000);
  const Request second = Send(*client, CreditSaleItems("11.00"));
  EXPECT_TRUE(Quiet(*client, 600));
  g_Clock.Advance(21000);  // about 27 s in all, the real time of the waits included
  EXPECT_TRUE(Quiet(*client, 600));
  g_Clock.Advance(3000);
  ExpectInterim(Next(*client, second, 2000), "001");
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 2; }));

  // The stopping Elavon interface releases a held request at once.
  const Request third = Send(*client, CreditSaleItems("12.00"));
  EXPECT_TRUE(Quiet(*client, 400));
  g_AbortEvent.Set();
  ExpectInterim(Next(*client, third, 1000), "002");

  const std::string log = LogText();
  size_t holds = 0;
  for (size_t at = log.find("Holding Transaction - SL Violation -"); at != std::string::npos;
       at = log.find("Holding Transaction - SL Violation -", at + 1)) {
    ++holds;
  }
  EXPECT_EQ(holds, 2u);  // once per held request
  listener_.reset();     // before the clock goes
}

TEST_F(DispatchTest, AnApprovalIsDeliveredCachedAndItsDuplicateAnsweredFromTheCache) {
  SetParams({{kParmDuplicateCheck, "Y"}});
  Start();
  auto client = LoggedIn();
  RequestOptions options;
  options.user_trace_data = "first";
  const Request sale = Send(*client, CreditSaleItems("10.00"), options);
  ExpectInterim(Next(*client, sale), "000", "first");
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 1; }));
  ASSERT_EQ(AnswerQueued(m_Host), 1);
  const Reply approved = Next(*client, sale);
  EXPECT_TRUE(approved.encrypted);
  EXPECT_EQ(approved.notice.status, "Approved");
  EXPECT_EQ(approved.notice.user_trace_data, "first");
  EXPECT_NE(approved.notice.document.find("<ResponseOrigin>Processor</ResponseOrigin>"), std::string::npos);
  EXPECT_NE(approved.notice.document.find("<AcctNo>XXXXXXXXXXXX1111</AcctNo>"), std::string::npos);
  EXPECT_TRUE(WaitFor(QueueEmpty));
  EXPECT_EQ(g_DuplicateCache.GetCount(), 1u);

  // The same sale again: answered from the cache with the new request's key.
  options.user_trace_data = "again";
  const Request again = Send(*client, CreditSaleItems("10.00"), options);
  ExpectInterim(Next(*client, again), "000", "again");
  const Reply duplicate = Next(*client, again);
  EXPECT_TRUE(duplicate.encrypted);
  EXPECT_EQ(duplicate.notice.status, "Approved");
  EXPECT_EQ(duplicate.notice.user_trace_data, "again");
  EXPECT_EQ(g_TransactionQueue.GetCount(), 0);
  EXPECT_EQ(m_Host.GetCounters().requests, 1);

  // Duplicate=Override sends it to the host all the same.
  std::vector<TStreamItem> overridden = CreditSaleItems("10.00");
  overridden.push_back({"Duplicate", "Override"});
  const Request forced = Send(*client, overridden);
  ExpectInterim(Next(*client, forced));
  EXPECT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 1; }));
  EXPECT_TRUE(Quiet(*client));
}

TEST_F(DispatchTest, AnUndeliveredApprovalIsQueuedAsItsReversal) {
  const struct {
    const char* purchase;
    bool reversed;
  } cases[] = {{"10.00", true}, {"10.51", false}};  // .51: the host declines
  for (const auto& c : cases) {
    SCOPED_TRACE(c.purchase);
    elavon_sim::ElavonHostSim host;
    Start();
    auto client = LoggedIn();
    const Request sale = Send(*client, CreditSaleItems(c.purchase));
    ExpectInterim(Next(*client, sale));
    ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 1; }));
    client->Close();  // the client leaves before its answer
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(AnswerQueued(host), 1);
    if (c.reversed) {
      CElavonTran reversal;
      ASSERT_TRUE(WaitFor([&] {
        return OnlyQueued(&reversal, 0) && reversal.m_State == kTranStateQueued;
      }));
      EXPECT_EQ(reversal.m_TranCode, kCodeReversal);
      EXPECT_EQ(reversal.m_Family, kTranFamilyReversal);
      EXPECT_TRUE(reversal.m_HostResponse.empty());
      // The reversal reaches the host, which cancels the approval; the client is gone,
      // so the record ends there.
      ASSERT_EQ(AnswerQueued(host), 1);
      const auto last = host.LastReceived();
      ASSERT_TRUE(last.has_value());
      EXPECT_EQ(last->reply.action, elavon_sim::Action::kReversed);
      EXPECT_EQ(last->reference, elavon_sim::ReferenceMatch::kMatched);
      EXPECT_NE(LogText().find("not delivered to"), std::string::npos);
    }
    EXPECT_TRUE(WaitFor(QueueEmpty));
    EXPECT_EQ(host.GetCounters().requests, c.reversed ? 2 : 1);
    listener_.reset();
  }
}

// A point of sale that stops reading: the approvals fill the way to it until a send
// runs out of time part-way through a reply. That reply ends the connection: the
// approval it carried and every approval behind it are reversed, and the client reads
// only whole replies, then the end of the stream.
TEST_F(DispatchTest, AReplyCutByTheSendTimeOutEndsTheConnectionAndReversesTheRest) {
  CClientTimings timings = FastTimings();
  timings.m_SendTimeoutMs = 300;
  timings.m_DrainMs = 10000;
  timings.m_SendBufferBytes = 4096;  // a few replies fill it, however the traffic went before
  Start(200, timings);
  auto client = std::make_unique<SessionClient>();
  client->SetSocketLimits(1024, 536);  // little fits on the way to this client
  ASSERT_EQ(client->Connect("127.0.0.1", Port(), 5000), LinkStatus::kOk);
  LoginResult login;
  ASSERT_EQ(client->Login(LoginOptions(), 5000, &login), LinkStatus::kOk);
  ASSERT_TRUE(login.verified);

  RequestOptions options;
  options.session_key = std::string(16, '\x5A');  // every reply opens with one key
  constexpr int kSales = 20;
  Request sale;
  for (int i = 0; i < kSales; ++i) {
    sale = Send(*client, CreditSaleItems(), options);
    ExpectInterim(Next(*client, sale), platform::Format("%03d", i));
  }
  // The interim reply goes out just before its record joins the queue.
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == kSales; }));
  ASSERT_EQ(AnswerQueued(m_Host), kSales);  // every sale approved at once; the client reads no more

  // What could not be delivered waits as its reversal; what was sent whole is done.
  CTranList reversals;
  ASSERT_TRUE(WaitFor([&] {
    g_TransactionQueue.Snapshot(reversals);
    return !reversals.empty() && std::all_of(reversals.begin(), reversals.end(), [](const CElavonTran& r) {
      return r.m_State == kTranStateQueued && r.m_TranCode == kCodeReversal;
    });
  })) << "queued: " << reversals.size();
  const int reversed = static_cast<int>(reversals.size());
  for (const CElavonTran& reversal : reversals) {
    EXPECT_EQ(reversal.m_Family, kTranFamilyReversal);
    EXPECT_TRUE(reversal.m_HostResponse.empty());
    EXPECT_FALSE(reversal.m_HostRequest.empty());
  }
  const std::string log = LogText();
  const std::string ended = "ended: a reply could not be sent whole";
  ASSERT_NE(log.find(ended), std::string::npos);
  EXPECT_EQ(log.find(ended), log.rfind(ended));  // said once

  // The host cancels them; no word reaches the client.
  EXPECT_EQ(AnswerQueued(m_Host), reversed);
  EXPECT_TRUE(WaitFor(QueueEmpty));
  EXPECT_EQ(m_Host.GetCounters().requests, kSales + reversed);
  EXPECT_EQ(g_DuplicateCache.GetCount(), static_cast<size_t>(kSales - reversed));

  // The client reads the approvals sent whole, then the end: nothing after the cut.
  int whole = 0;
  Reply reply;
  LinkStatus status;
  while ((status = client->ReadReply(sale.session, 5000, &reply)) == LinkStatus::kOk) {
    EXPECT_EQ(reply.notice.status, "Approved");
    ++whole;
  }
  EXPECT_EQ(status, LinkStatus::kClosed);
  EXPECT_EQ(whole, kSales - reversed);
  EXPECT_GE(reversed, 2);  // the one cut, and those behind it
}

TEST_F(DispatchTest, AnApprovalThatCannotBeReversedIsOnlyLogged) {
  Start();
  auto client = LoggedIn();
  const Request sale = Send(*client, CreditSaleItems());
  ExpectInterim(Next(*client, sale));
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 1; }));
  client->Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // An approval whose host message is unusable for a reversal.
  Finish([](CElavonTran& record) {
    record.m_Approved = true;
    record.m_HostRequest = "garbage";
    record.m_RequestKind = kRequestKindClear;
    record.BuildResponse("<document/>");
    record.MarkAnsweredOverIp();
  });
  EXPECT_TRUE(WaitFor(QueueEmpty));
  EXPECT_NE(LogText().find("no reversal could be built"), std::string::npos);
}

TEST_F(DispatchTest, FinalStatesReachTheClient) {
  Start();
  auto client = LoggedIn();
  const struct {
    int state;
    void (CElavonTran::*enter)();  // the transition into state
    int tranCode;  // 0: the record's own
    int errorCode;
    int expectedCode;
    const char* expectedText;
  } cases[] = {
      {kTranStateNoHostAnswer, &CElavonTran::MarkNoHostAnswer, 0, 0, 1007, "Timeout on Response"},
      {kTranStateHostFailure, &CElavonTran::MarkHostFailure, 0, 0, 4003, "gateway unreachable"},
      {kTranStateFailed, &CElavonTran::MarkFailedWithOwnCode, 0, 1001, 1001, "General Failure."},
      // The reversal of an approval: its client learns nothing was approved.
      {kTranStateAnsweredIp, &CElavonTran::MarkAnsweredOverIp, kCodeReversal, 0, 1007, "Timeout on Response"},
      {kTranStateAnsweredDial, &CElavonTran::MarkAnsweredOverDial, kCodeReversal, 0, 1007, "Timeout on Response"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    const Request sale = Send(*client, CreditSaleItems());
    ExpectInterim(Next(*client, sale));
    Finish([&](CElavonTran& record) {
      (record.*c.enter)();
      if (c.tranCode != 0) record.m_TranCode = c.tranCode;
      if (c.errorCode != 0) record.m_ErrorCode = c.errorCode;
      record.m_HostErrorText = "gateway unreachable";
      record.m_Approved = true;
    });
    const Reply reply = Next(*client, sale);
    EXPECT_FALSE(reply.encrypted);
    EXPECT_EQ(reply.notice.code, c.expectedCode);
    EXPECT_EQ(reply.notice.text, c.expectedText);
    EXPECT_TRUE(WaitFor(QueueEmpty));
  }
  EXPECT_EQ(g_DuplicateCache.GetCount(), 0u);
}

TEST_F(DispatchTest, AnEmvKeyDownloadWithMoreKeysGoesBackToTheQueue) {
  Start();
  auto client = LoggedIn();
  const Request sale = Send(*client, CreditSaleItems());
  ExpectInterim(Next(*client, sale));
  Finish([](CElavonTran& record) {
    record.m_TranCode = kCodeEMVKeyDownloadNext;
    record.MarkAnsweredOverIp();
  });
  EXPECT_TRUE(Quiet(*client));
  CElavonTran record;
  ASSERT_TRUE(OnlyQueued(&record));
  EXPECT_EQ(record.m_State, kTranStateQueued);
}

TEST_F(DispatchTest, TheLoggedRequestHasItsCardDataMasked) {
  Start();
  auto client = LoggedIn();
  std::vector<TStreamItem> items = CreditSaleItems();
  items.push_back({"CVVData", "987"});
  const Request sale = Send(*client, items);
  ExpectInterim(Next(*client, sale));
  const std::string log = LogText();
  EXPECT_NE(log.find("AcctNo=XXXXXXXXXXXX1111"), std::string::npos);
  EXPECT_NE(log.find("ExpDate=XXXX"), std::string::npos);
  EXPECT_NE(log.find("CVVData=XXX"), std::string::npos);
  EXPECT_EQ(log.find("4111111111111111"), std::string::npos);
  EXPECT_EQ(log.find("CVVData=987"), std::string::npos);
}

TEST_F(DispatchTest, AnIdleClientIsSent2004) {
  CClientTimings timings = FastTimings();
  timings.m_IdleMs = 300;
  Start(200, timings);
  auto client = LoggedIn();
  const auto start = std::chrono::steady_clock::now();
  Notice notice;
  ASSERT_EQ(client->ReadNotice(5000, &notice), LinkStatus::kOk);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(notice.code, 2004);
  EXPECT_EQ(notice.text, "****Disconnecting****");
  EXPECT_TRUE(client->WaitClosed(5000));
}

TEST_F(DispatchTest, GoingOffLineDeliversWhatHasArrivedBefore2003And2004) {
  CClientTimings timings = FastTimings();
  timings.m_PollMs = 3000;  // no regular delivery pass in between
  Start(200, timings);
  auto client = LoggedIn();
  const Request sale = Send(*client, CreditSaleItems());
  ExpectInterim(Next(*client, sale));
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 1; }));
  ASSERT_EQ(AnswerQueued(m_Host), 1);
  listener_->m_ShuttingDown = 1;
  ASSERT_EQ(client->SendBytes("x"), LinkStatus::kOk);  // wakes the session with bytes
  const Reply approved = Next(*client, sale);
  EXPECT_EQ(approved.notice.status, "Approved");
  Notice offLine, disconnecting;
  ASSERT_EQ(client->ReadNotice(5000, &offLine), LinkStatus::kOk);
  EXPECT_EQ(offLine.code, 2003);
  ASSERT_EQ(client->ReadNotice(5000, &disconnecting), LinkStatus::kOk);
  EXPECT_EQ(disconnecting.code, 2004);
}

TEST_F(DispatchTest, RepliesGoOutWhileBytesKeepArriving) {
  CClientTimings timings = FastTimings();
  timings.m_PollMs = 200;
  Start(200, timings);
  auto client = LoggedIn();
  const Request sale = Send(*client, CreditSaleItems());
  ExpectInterim(Next(*client, sale));
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 1; }));
  ASSERT_EQ(AnswerQueued(m_Host), 1);
  // A byte every 20 ms keeps every receive busy.
  Reply reply;
  LinkStatus status = LinkStatus::kTimedOut;
  for (int i = 0; i < 100 && status == LinkStatus::kTimedOut; ++i) {
    ASSERT_EQ(client->SendBytes("y"), LinkStatus::kOk);
    status = client->ReadReply(sale.session, 20, &reply);
  }
  ASSERT_EQ(status, LinkStatus::kOk);
  EXPECT_EQ(reply.notice.status, "Approved");
}

TEST_F(DispatchTest, RecordsLeftAfterTheDrainTimeAreDroppedAndLogged) {
  CClientTimings timings = FastTimings();
  timings.m_DrainMs = 300;
  Start(200, timings);
  auto client = LoggedIn();
  const Request sale = Send(*client, CreditSaleItems());
  ExpectInterim(Next(*client, sale));
  ASSERT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 1; }));
  CElavonTran record;
  ASSERT_TRUE(OnlyQueued(&record));
  client->Close();  // nothing ever answers
  EXPECT_TRUE(WaitFor(QueueEmpty, 3000));
  EXPECT_NE(LogText().find("Dropping record " + std::to_string(record.m_Id) + " (state 1)"), std::string::npos);
}

}  // namespace
