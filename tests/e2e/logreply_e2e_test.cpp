// The log and the replies against what a client sends: card data in every item that
// holds it stays out of the log, client text cannot forge a log record or add an
// element to a reply, and a peer that floods garbage leaves a small log. The real
// server binary against the simulated gateway on 127.0.0.1.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/pos-client/login.h"
#include "tools/pos-client/reply_frame.h"

namespace {

using Items = std::vector<pos_client::TStreamItem>;

constexpr char kFS = '\x1C';
constexpr char kSTX = '\x02';
constexpr char kETX = '\x03';

// The items of a keyed credit sale of amount, without card data.
Items KeyedSale(const std::string& amount) {
  return {{"TStream", "Transaction"}, {"ClientID", "0005"}, {"MerchantID", "1234"}, {"InvoiceNo", "INV2"},
          {"RefNo", "REF2"},          {"TranType", "Credit"}, {"TranCode", "Sale"},  {"Purchase", amount}};
}

Items With(Items items, const Items& more) {
  items.insert(items.end(), more.begin(), more.end());
  return items;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class LogReplyE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_.options().secondary_gateway = false;
    rig_.options().end_wait_ms = 30000;
    ASSERT_NO_FATAL_FAILURE(rig_.Prepare());
    ASSERT_NO_FATAL_FAILURE(rig_.Start());
    pos_ = rig_.Pos();
    ASSERT_TRUE(pos_);
  }
  void TearDown() override { pos_.reset(); }

  // Sends items with the given trace text and waits for the final reply (the interim
  // "Queued" notice skipped); the reply's document, opened with the request's key.
  ::testing::AssertionResult Send(const Items& items, const std::string& trace, std::string* document) {
    std::string tstream;
    if (pos_client::JoinTStream(items, &tstream) != pos_client::Status::kOk) {
      return ::testing::AssertionFailure() << "items";
    }
    pos_client::RequestOptions options;
    options.user_trace_data = trace;
    pos_client::Request request;
    if (pos_client::BuildRequest(pos_->server_key(), tstream, options, &request) != pos_client::Status::kOk) {
      return ::testing::AssertionFailure() << "build request";
    }
    e2e::RecordCardSecrets(items);
    const size_t dc1 = request.envelope.find('\x11');
    const size_t dc2 = request.envelope.find('\x12', dc1 + 1);
    if (dc2 != std::string::npos) e2e::RecordSecret("keyblock", request.envelope.substr(dc1 + 1, dc2 - dc1 - 1));
    if (!pos_->Send(request.WireText())) return ::testing::AssertionFailure() << "send";
    for (;;) {
      std::string frame;
      if (!pos_->ReadFrame(20000, &frame)) {
        return ::testing::AssertionFailure() << "no reply\n" << rig_.server().LogText();
      }
      if (pos_client::OpenReply(frame, request.session, document) != pos_client::Status::kOk) {
        return ::testing::AssertionFailure() << "unreadable reply";
      }
      if (pos_client::ElementText(*document, "TextResponse").value_or("").rfind("Queued:", 0) == 0) continue;
      return ::testing::AssertionSuccess();
    }
  }

  // The log once it holds every one of texts (the writer writes in batches of its
  // own; the wait is bounded).
  std::string LogWith(std::initializer_list<std::string> texts, int wait_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    const auto holdsAll = [&texts](const std::string& log) {
      for (const std::string& text : texts) {
        if (log.find(text) == std::string::npos) return false;
      }
      return true;
    };
    std::string log = rig_.server().LogText();
    while (!holdsAll(log) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      log = rig_.server().LogText();
    }
    return log;
  }

  std::string LogPath() const { return rig_.work() + "/QUILLON_LOGS/" + e2e::TodaysLogName(); }

  e2e::ServerRig rig_;
  std::unique_ptr<e2e::PosConnection> pos_;
};

// Card numbers in every item that can hold one, however the request is put together:
// a track beside an account number, a memo naming a track, an item given twice, a
// track 1, and a request in clear that is refused. None reaches the log.
TEST_F(LogReplyE2ETest, CardDataNeverReachesTheLog) {
  const struct {
    const char* name;
    Items items;
    const char* status;
  } cases[] = {
      {"track and account", With(e2e::CreditSale("13.00"), {{"AcctNo", "5454545454545454"}, {"ExpDate", "0130"}}),
       "Approved"},
      {"memo naming a track",
       With(KeyedSale("14.00"),
            {{"AcctNo", "4012888888881881"}, {"ExpDate", "1225"}, {"Memo", "Track2=see slip"}, {"CVVData", "123"}}),
       "Approved"},
      {"items given twice",
       With(KeyedSale("15.00"), {{"AcctNo", "4222222222222"},
                                 {"ExpDate", "1226"},
                                 {"AcctNo", "4012888888881881"},
                                 {"ExpDate", "1225"}}),
       "Approved"},
      {"track 1 beside track 2",
       With(e2e::CreditSale("16.00"), {{"Track1", "B5555555555554444^DOE/JOHN^2512101000"}}), "Approved"},
  };
  for (const auto& c : cases) {
    std::string document;
    ASSERT_TRUE(Send(c.items, "cards", &document)) << c.name;
    EXPECT_EQ(pos_client::ElementText(document, "CmdStatus").value_or(""), c.status) << c.name << "\n" << document;
  }

  // A request in clear, with its items right after the STX: refused, and masked.
  std::string clear = "e2e";
  clear += kFS;
  clear += "000";
  clear += kSTX;
  std::string tstream;
  ASSERT_EQ(pos_client::JoinTStream(With(KeyedSale("17.00"), {{"AcctNo", "4012888888881881"}, {"ExpDate", "1225"}}),
                                    &tstream),
            pos_client::Status::kOk);
  clear += tstream;
  e2e::RecordSecret("pan", "4012888888881881");
  ASSERT_TRUE(pos_->Send(clear + kETX));
  std::string frame;
  ASSERT_TRUE(pos_->ReadFrame(10000, &frame));
  EXPECT_NE(frame.find("<KVRXReturnCode>004005</KVRXReturnCode>"), std::string::npos) << frame;

  const std::string log = LogWith({"Clear Text Request NOT supported."});
  for (const char* pan : {"5454545454545454", "4012888888881881", "4222222222222", "5555555555554444",
                          "4111111111111111"}) {
    EXPECT_EQ(log.find(pan), std::string::npos) << pan << "\n" << log;
  }
  EXPECT_EQ(log.find("DOE/JOHN"), std::string::npos);
  EXPECT_NE(log.find("AcctNo=XXXXXXXXXXXX5454"), std::string::npos) << log;
  EXPECT_NE(log.find("Memo=Track2=see slip"), std::string::npos);
  EXPECT_NE(log.find("AcctNo=XXXXXXXXX2222"), std::string::npos);
}

// Card numbers where no card item belongs (a memo, the invoice number, the trace
// text, an item the server does not know) and card items under names that only look
// like theirs (a lower-case track2, a blank before the '='): whatever the item, the
// log shows each number with its last four digits only, and the client reads its own
// texts back whole. The log scan after the e2e tests looks at these logs again.
TEST_F(LogReplyE2ETest, CardNumbersWhereNoneBelongsNeverReachTheLog) {
  const Items invoice = {{"TStream", "Transaction"}, {"ClientID", "0005"},  {"MerchantID", "1234"},
                         {"InvoiceNo", "378282246310005"}, {"RefNo", "REF3"}, {"TranType", "Credit"},
                         {"TranCode", "Sale"},           {"Track2", e2e::kTestTrack2}, {"Purchase", "20.00"}};
  const struct {
    const char* name;
    Items items;
    std::string trace;
    const char* pan;
    const char* logged;  // what the log shows instead
  } cases[] = {
      {"a memo", With(e2e::CreditSale("19.00"), {{"Memo", "card 5500005555555559 end"}}), "memo",
       "5500005555555559", "Memo=card XXXXXXXXXXXX5559 end"},
      {"the invoice number", invoice, "invoice", "378282246310005", "InvoiceNo=XXXXXXXXXXX0005"},
      {"the trace text", e2e::CreditSale("21.00"), "lane 6011000990139424", "6011000990139424",
       "lane XXXXXXXXXXXX9424"},
      {"an unknown item",
       With(KeyedSale("22.00"), {{"AcctNo", "4012888888881881"}, {"ExpDate", "1225"}, {"CardRef", "4000056655665556"}}),
       "unknown", "4000056655665556", "CardRef=XXXXXXXXXXXX5556"},
      {"a lower-case track2", With(KeyedSale("23.00"), {{"track2", "5105105105105100=2512101"}}), "lower",
       "5105105105105100", "track2=XXXXXXXXXXXX5100=XXXXXXX"},
      {"a blank before the '=' of Track2", With(KeyedSale("24.00"), {{"Track2 ", "4242424242424242=2512101"}}),
       "blank", "4242424242424242", "Track2 =XXXXXXXXXXXX4242=XXXXXXX"},
      {"a blank before the '=' of AcctNo",
       With(KeyedSale("25.00"), {{"AcctNo ", "371449635398431"}, {"ExpDate", "1225"}}), "blank2", "371449635398431",
       "AcctNo =XXXXXXXXXXX8431"},
  };
  for (const auto& c : cases) {
    e2e::RecordSecret("pan", c.pan);
    std::string document;
    ASSERT_TRUE(Send(c.items, c.trace, &document)) << c.name;
    // The reply is the client's as ever: its trace text comes back as it was sent.
    EXPECT_EQ(pos_client::ElementText(document, "UserTraceData").value_or(""), c.trace) << c.name << "\n" << document;
    EXPECT_FALSE(pos_client::ElementText(document, "CmdStatus").value_or("").empty()) << c.name << "\n" << document;
  }
  std::vector<std::string> logged;
  for (const auto& c : cases) logged.push_back(c.logged);
  const std::string log = LogWith({logged[0], logged[1], logged[2], logged[3], logged[4], logged[5], logged[6]});
  for (const auto& c : cases) {
    EXPECT_EQ(log.find(c.pan), std::string::npos) << c.name << "\n" << log;
    EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << "\n" << log;
  }
}

// A trace text and a memo that try to end the record and write one of their own: the
// log shows them inside their records, escaped; the client reads its trace back whole.
TEST_F(LogReplyE2ETest, ClientTextCannotForgeALogRecord) {
  const std::string trace = "T1\r\n----------\r\n[12:34:56]FORGED Approved sale\r\n----------\r\n";
  std::string document;
  ASSERT_TRUE(Send(With(e2e::CreditSale("18.00"), {{"Memo", "m\n[12:34:57]FORGED memo"}}), trace, &document));
  // (Whether the host takes a memo with a line break is not at issue here.)
  EXPECT_EQ(pos_client::ElementText(document, "UserTraceData").value_or(""), trace) << document;

  const std::string log = LogWith({"FORGED memo", "FORGED Approved"});
  EXPECT_NE(log.find("FORGED memo"), std::string::npos) << log;
  EXPECT_NE(log.find("FORGED Approved"), std::string::npos) << log;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t forged = line.find("FORGED");
    if (forged == std::string::npos) continue;
    // Never at the start of a line, and always after an escaped line break.
    EXPECT_NE(line.rfind("[12:34:5", 0), 0u) << line;
    const size_t escaped = line.find("|0a");
    EXPECT_TRUE(escaped != std::string::npos && escaped < forged) << line;
  }
  EXPECT_EQ(Count(log, "[12:34:56]FORGED"), Count(log, "|0a[12:34:56]FORGED"));
}

// Markup in the trace text, the invoice number and the memo of a declined sale stays
// inside each value: one CmdStatus, and every value reads back as sent.
TEST_F(LogReplyE2ETest, ClientTextCannotAddAnElementToTheReply) {
  const std::string trace = "</UserTraceData><CmdStatus>Approved</CmdStatus><UserTraceData>&";
  Items items = e2e::CreditSale("10.51");  // declined by the simulated host
  for (auto& item : items) {
    if (item.name == "InvoiceNo") item.value = "A&B<7>";
  }
  items.push_back({"Memo", "</Memo><AuthCode>123456</AuthCode>"});
  std::string document;
  ASSERT_TRUE(Send(items, trace, &document));
  EXPECT_EQ(Count(document, "<CmdStatus>"), 1u) << document;
  EXPECT_EQ(pos_client::ElementText(document, "CmdStatus").value_or(""), "Declined") << document;
  EXPECT_EQ(Count(document, "<AuthCode>"), 0u) << document;  // a decline has none
  EXPECT_EQ(pos_client::ElementText(document, "UserTraceData").value_or(""), trace);
  EXPECT_EQ(pos_client::ElementText(document, "InvoiceNo").value_or(""), "A&B<7>");
  EXPECT_EQ(pos_client::ElementText(document, "Memo").value_or(""), "</Memo><AuthCode>123456</AuthCode>");
  EXPECT_NE(document.find("<InvoiceNo>A&amp;B&lt;7&gt;</InvoiceNo>"), std::string::npos) << document;
}

// 50 MB of garbage frames: every one is answered, the connection still serves a sale,
// and the log stays well under 1 MB. The log file is its owner's only.
TEST_F(LogReplyE2ETest, GarbageFloodLeavesASmallLog) {
  constexpr size_t kFrameBytes = 5000;  // more than the 4 KB a log record shows
  constexpr size_t kTotal = 50u * 1024 * 1024;
  constexpr size_t kFrames = kTotal / kFrameBytes;
  std::mt19937 random(20240305);
  std::string frame(kFrameBytes, 'g');
  std::atomic<size_t> replies{0};
  std::atomic<bool> stalled{false};
  std::thread reader([&] {
    std::string reply;
    while (replies < kFrames) {
      if (!pos_->ReadFrame(30000, &reply)) {
        stalled = true;
        return;
      }
      if (reply.find("<KVRXReturnCode>004010</KVRXReturnCode>") != std::string::npos) ++replies;
    }
  });
  const auto start = std::chrono::steady_clock::now();
  std::string batch;
  for (size_t i = 0; i < kFrames; ++i) {
    for (char& c : frame) {
      do {
        c = static_cast<char>(random() & 0xFF);
      } while (c == kETX || c == kFS || c == '\0');  // a NUL would end the logged copy early
    }
    batch += frame;
    batch += kETX;
    if (batch.size() >= 256 * 1024 || i + 1 == kFrames) {
      if (!pos_->Send(batch)) break;
      batch.clear();
    }
  }
  reader.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(stalled) << replies << " of " << kFrames << " replies";
  EXPECT_EQ(replies.load(), kFrames);

  std::string document;
  ASSERT_TRUE(Send(e2e::CreditSale("19.00"), "after", &document));
  EXPECT_EQ(pos_client::ElementText(document, "CmdStatus").value_or(""), "Approved") << document;
  pos_->Close();

  const std::string log = LogWith({"were answered but not logged"});
  EXPECT_NE(log.find("Further refused requests of"), std::string::npos);
  EXPECT_NE(log.find(std::to_string(kFrames - 10) + " refused requests of"), std::string::npos);
  std::string bytes;
  ASSERT_TRUE(platform::fs::ReadFile(LogPath(), &bytes));
  std::printf("%zu garbage frames answered in %.1f s; log %zu bytes\n", kFrames, seconds, bytes.size());
  EXPECT_LT(bytes.size(), 512u * 1024);
  // A request written to the log shows its first 4 KB and its length.
  EXPECT_NE(log.find("...[cut: "), std::string::npos) << log.substr(0, 2000);

  struct stat st {};
  ASSERT_EQ(::stat(LogPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
