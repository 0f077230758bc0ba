// The gateway over real loopback TCP, against a plain OpenSSL client written here:
// one exchange, the echo on the same connection, each fault switch as a client sees
// it, and the certificate made by the test CA helper.
#include "tools/elavon-sim/https_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tools/elavon-sim/test_pki.h"
#include "tools/elavon-sim/test_requests.h"
#include "tools/elavon-sim/wire.h"

namespace elavon_sim {
namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

constexpr int kClientWaitMs = 3000;  // the longest a client read may wait
constexpr int kShortWaitMs = 300;    // a wait that is expected to time out

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// ---- Requests, written from the message layout ----

using elavon_sim_testing::Fid;
using elavon_sim_testing::Request;

const std::string kCard = "4111111111111111";

// A sale of `cents` with sequence number `sequence`: credit "000" or debit "100".
std::string Sale(const std::string& code, int64_t cents, const std::string& sequence) {
  return Request(code, {Fid("01", {"03020" + kCard, std::to_string(cents), sequence, "", "1000000"})});
}

// The request as the terminal sends it: one POST whose body is the message.
std::string Post(const std::string& message) {
  return "POST /cgi-bin/encompass.cgi HTTP/1.1\r\nContent-Length: " + std::to_string(message.size()) +
         "\r\nRegistration-Key: TEST\r\nConnection: Keep-Alive\r\n\r\n" + message;
}

// ---- The client ----

enum class End {
  kOpen,         // nothing more came within the wait
  kCloseNotify,  // the server ended TLS properly
  kAbrupt,       // the connection ended without close_notify
};

const char* EndName(End end) {
  switch (end) {
    case End::kOpen: return "open";
    case End::kCloseNotify: return "close_notify";
    case End::kAbrupt: return "abrupt";
  }
  return "?";
}

struct Answer {
  int status = 0;            // 0: no status line came
  std::string head;          // status line and headers, through the empty line
  std::string body;
  long content_length = -1;  // -1: no "Content-Length:" header (exact case)
  bool whole = false;        // the head and Content-Length body bytes came
  End end = End::kOpen;      // how reading stopped, when it stopped before `whole`
};

// A blocking OpenSSL client that trusts only the given CA file and checks the name
// "localhost". Every read waits at most its receive time-out.
class TestClient {
 public:
  // Versions 1.2 and 1.3 are offered unless `only_tls13`.
  explicit TestClient(const std::string& ca_file, bool only_tls13 = false) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx_, only_tls13 ? TLS1_3_VERSION : TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx_, TLS1_3_VERSION);
    EXPECT_EQ(SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr), 1);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_info_callback(ctx_, &TestClient::OnInfo);
  }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  ~TestClient() {
    if (ssl_) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
    SSL_CTX_free(ctx_);
  }

  // TCP connect and TLS handshake; false when either fails.
  bool Connect(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SetWait(kClientWaitMs);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    ssl_ = SSL_new(ctx_);
    SSL_set_ex_data(ssl_, 0, this);
    SSL_set_fd(ssl_, fd_);
    SSL_set1_host(ssl_, "localhost");
    SSL_set_tlsext_host_name(ssl_, "localhost");
    ERR_clear_error();
    bool up = SSL_connect(ssl_) == 1;
    ERR_clear_error();
    return up;
  }

  void SetWait(int ms) {
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  }

  bool Send(const std::string& text) {
    return SSL_write(ssl_, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
  }

  // Reads one answer: the head, then Content-Length body bytes (or, without the
  // header, everything up to the end of the connection).
  Answer ReadAnswer() {
    Answer answer;
    std::string text;
    for (;;) {
      size_t head_end = text.find("\r\n\r\n");
      if (head_end != std::string::npos && answer.head.empty()) {
        answer.head = text.substr(0, head_end + 4);
        if (answer.head.starts_with("HTTP/1.1 ")) answer.status = std::stoi(answer.head.substr(9, 3));
        size_t at = answer.head.find("\r\nContent-Length: ");
        if (at != std::string::npos) answer.content_length = std::stol(answer.head.substr(at + 18));
      }
      if (!answer.head.empty()) {
        answer.body = text.substr(answer.head.size());
        if (answer.content_length >= 0 && answer.body.size() >= static_cast<size_t>(answer.content_length)) {
          answer.whole = true;
          return answer;
        }
      }
      End end;
      if (!ReadSome(&text, &end)) {
        answer.end = end;
        if (answer.head.empty() && text.starts_with("HTTP/1.1 ")) answer.status = std::stoi(text.substr(9, 3));
        if (answer.head.empty()) answer.body = text;
        return answer;
      }
    }
  }

  // How the connection goes on after an answer, waiting at most `ms` for it.
  End ReadEnd(int ms, std::string* extra) {
    SetWait(ms);
    End end = End::kOpen;
    while (ReadSome(extra, &end)) {
    }
    SetWait(kClientWaitMs);
    return end;
  }

  int handshakes() const { return handshakes_; }
  SSL* ssl() const { return ssl_; }

 private:
  // Appends what one read gives; false with *end when nothing came.
  bool ReadSome(std::string* text, End* end) {
    char buffer[4096];
    ERR_clear_error();
    int n = SSL_read(ssl_, buffer, sizeof buffer);
    if (n > 0) {
      text->append(buffer, static_cast<size_t>(n));
      return true;
    }
    int error = SSL_get_error(ssl_, n);
    *end = error == SSL_ERROR_ZERO_RETURN                               ? End::kCloseNotify
           : error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? End::kOpen
                                                                          : End::kAbrupt;
    ERR_clear_error();
    return false;
  }

  static void OnInfo(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0) return;
    auto* self = static_cast<TestClient*>(SSL_get_ex_data(ssl, 0));
    if (self) ++self->handshakes_;
  }

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int fd_ = -1;
  int handshakes_ = 0;
};

// What a 200 answer's body says: the response code of field 02.
std::string ResponseCode(const std::string& message) {
  RequestMessage answer;
  if (ParseRequest(message, &answer) != FrameStatus::kOk) return "unreadable";
  const Field* field = answer.Find("02");
  return field ? field->Subfield(0) : "no field 02";
}

// ---- Fixture ----

// A folder name of this process alone: CTest runs the tests of this binary as
// processes side by side in one working folder.
std::string ProcessFolder(const std::string& stem) { return stem + "-" + std::to_string(::getpid()); }

class GatewayServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The client writes through a plain socket BIO: a server that has closed must
    // give it an error, not SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    std::string error;
    ASSERT_TRUE(MakeTestPki(ProcessFolder("gateway-pki"), TestPkiOptions(), &pki_, &error)) << error;
  }
  static void TearDownTestSuite() { RemoveTestPki(ProcessFolder("gateway-pki")); }

  void SetUp() override {
    GatewayServerOptions options;
    options.cert_file = pki_.cert_file;
    options.key_file = pki_.key_file;
    options.io_timeout_ms = kClientWaitMs;
    options.idle_timeout_ms = 10000;
    server_ = std::make_unique<GatewayServer>(&host_, options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    ASSERT_NE(server_->Port(), 0);
  }

  void TearDown() override { server_->Stop(); }

  static TestPkiFiles pki_;
  ElavonHostSim host_;
  std::unique_ptr<GatewayServer> server_;
};

TestPkiFiles GatewayServerTest::pki_;

TEST_F(GatewayServerTest, OneExchange) {
  TestClient client(pki_.ca_file);
  ASSERT_TRUE(client.Connect(server_->Port()));
  EXPECT_EQ(SSL_get_verify_result(client.ssl()), X509_V_OK);
  EXPECT_STREQ(SSL_get_version(client.ssl()), "TLSv1.2");

  const std::string sale = Sale("000", 1000, "0000");
  ASSERT_TRUE(client.Send(Post(sale)));
  Answer answer = client.ReadAnswer();
  ASSERT_TRUE(answer.whole) << answer.head << " ended " << EndName(answer.end);
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.content_length, static_cast<long>(answer.body.size()));
  EXPECT_EQ(ResponseCode(answer.body), "AA");

  // The host got the message bytes, and the gateway kept the request.
  ASSERT_TRUE(host_.LastReceived().has_value());
  EXPECT_EQ(host_.LastReceived()->bytes, sale);
  std::vector<GatewayRequest> requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].connection, 1);
  EXPECT_EQ(requests[0].http.target, kGatewayPath);
  ASSERT_NE(requests[0].http.Header("Registration-Key"), nullptr);
  EXPECT_EQ(requests[0].status, 200);
  EXPECT_EQ(requests[0].action, Action::kApproved);

  std::string extra;
  EXPECT_EQ(client.ReadEnd(kShortWaitMs, &extra), End::kOpen);
  EXPECT_TRUE(extra.empty());
  server_->Stop();
  GatewayCounters counters = server_->Counters();
  EXPECT_EQ(counters.accepted, 1);
  EXPECT_EQ(counters.handshakes, 1);
  EXPECT_EQ(counters.requests, 1);
  EXPECT_EQ(counters.answers, 1);
}

TEST_F(GatewayServerTest, EchoOnTheSameConnection) {
  TestClient client(pki_.ca_file);
  ASSERT_TRUE(client.Connect(server_->Port()));
  ASSERT_TRUE(client.Send(Post(Sale("100", 2500, "0000"))));
  Answer approval = client.ReadAnswer();
  ASSERT_TRUE(approval.whole);
  RequestMessage read;
  ASSERT_EQ(ParseRequest(approval.body, &read), FrameStatus::kOk);
  ASSERT_NE(read.Find("02"), nullptr);
  const std::string refs = read.Find("02")->Subfield(1);  // "00", auth, echo refs, "000", number
  ASSERT_GE(refs.size(), 23u);
  EXPECT_EQ(host_.ConfirmedSequence(), 0);  // a debit approval waits for its echo

  const std::string echo = Request("197", {Fid("52", {refs.substr(8, 6) + refs.substr(14, 6) + refs.substr(23), "2500"})});
  ASSERT_TRUE(client.Send(Post(echo)));
  Answer confirmed = client.ReadAnswer();
  ASSERT_TRUE(confirmed.whole);
  EXPECT_EQ(ResponseCode(confirmed.body), "AA");
  EXPECT_EQ(host_.LastReceived()->reply.action, Action::kEchoApproved) << host_.LastReceived()->note;
  EXPECT_EQ(host_.ConfirmedSequence(), 1);
  server_->Stop();
  EXPECT_EQ(server_->Counters().accepted, 1);
  EXPECT_EQ(server_->Counters().answers, 2);
}

// A request for which the host gives no answer leaves the connection open and
// silent; the next request on it is answered.
TEST_F(GatewayServerTest, WithheldAnswerKeepsTheConnection) {
  TestClient client(pki_.ca_file);
  ASSERT_TRUE(client.Connect(server_->Port()));
  ASSERT_TRUE(client.Send(Post(Sale("000", 1054, "0000"))));
  std::string extra;
  EXPECT_EQ(client.ReadEnd(kShortWaitMs, &extra), End::kOpen);
  EXPECT_TRUE(extra.empty());
  ASSERT_TRUE(client.Send(Post(Sale("000", 1000, "0000"))));
  Answer answer = client.ReadAnswer();
  ASSERT_TRUE(answer.whole);
  EXPECT_EQ(ResponseCode(answer.body), "AA");
  server_->Stop();
  EXPECT_EQ(server_->Counters().withheld, 1);
}

TEST_F(GatewayServerTest, OnlyTls12) {
  TestClient client(pki_.ca_file, /*only_tls13=*/true);
  EXPECT_FALSE(client.Connect(server_->Port()));
  for (int i = 0; i < 100 && server_->Counters().handshake_failures == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(server_->Counters().handshake_failures, 1);
}

TEST_F(GatewayServerTest, RequestsTheGatewayCannotTake) {
  const struct {
    const char* label;
    std::string request;
    int status;
  } cases[] = {
      {"no Content-Length", "POST /cgi-bin/encompass.cgi HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n", 400},
      {"another path", "POST /index.html HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 404},
      {"another method", "GET /cgi-bin/encompass.cgi HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 404},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TestClient client(pki_.ca_file);
    ASSERT_TRUE(client.Connect(server_->Port()));
    ASSERT_TRUE(client.Send(c.request));
    Answer answer = client.ReadAnswer();
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.head, "HTTP/1.1 " + std::to_string(c.status) + (c.status == 400 ? " Bad Request" : " Not Found") +
                               "\r\n\r\n");
    std::string extra;
    EXPECT_EQ(client.ReadEnd(kShortWaitMs, &extra), End::kCloseNotify);
  }
  EXPECT_EQ(host_.GetCounters().requests, 0);
  server_->Stop();
  EXPECT_EQ(server_->Counters().bad_requests, 3);
}

TEST_F(GatewayServerTest, RefuseClosesAtAccept) {
  GatewayFaults faults;
  faults.refuse = true;
  server_->SetFaults(faults);
  TestClient refused(pki_.ca_file);
  EXPECT_FALSE(refused.Connect(server_->Port()));
  GatewayCounters counters = server_->Counters();  // counted before the close
  EXPECT_EQ(counters.refused, 1);
  EXPECT_EQ(counters.handshakes, 0);
  EXPECT_EQ(counters.bytes_sent, 0);

  // Refused for a while: every connection until the switch is cleared, and none of
  // them reaches the host.
  for (int i = 0; i < 2; ++i) {
    TestClient again(pki_.ca_file);
    EXPECT_FALSE(again.Connect(server_->Port())) << i;
  }
  EXPECT_EQ(server_->Counters().refused, 3);

  server_->SetFaults(GatewayFaults());
  TestClient served(pki_.ca_file);
  ASSERT_TRUE(served.Connect(server_->Port()));
  ASSERT_TRUE(served.Send(Post(Sale("000", 1000, "0000"))));
  EXPECT_EQ(ResponseCode(served.ReadAnswer().body), "AA");
  EXPECT_EQ(host_.GetCounters().requests, 1);
}

// A reversal of `cents` at `sequence` of the request with code `reversed`.
std::string Reversal(const std::string& code, const std::string& reversed, int64_t cents, const std::string& sequence) {
  return Request(code, {Fid("01", {"03010" + kCard, std::to_string(cents), sequence, "", "10000000"}),
                        Fid("04", {reversed + "  "})});
}

// While hang_up_on_reversals is set, every reversal code is read and the connection
// dropped, and the host never sees it; other requests pass. Once cleared, the
// reversal is answered and cancels the sale.
TEST_F(GatewayServerTest, HangsUpOnReversalsWhileSwitchedOn) {
  TestClient first(pki_.ca_file);
  ASSERT_TRUE(first.Connect(server_->Port()));
  ASSERT_TRUE(first.Send(Post(Sale("000", 1000, "0000"))));
  EXPECT_EQ(ResponseCode(first.ReadAnswer().body), "AA");

  GatewayFaults faults;
  faults.hang_up_on_reversals = true;
  faults.answer_fault_requests = 1;  // an answer fault budget is not spent on a hang-up
  server_->SetFaults(faults);
  struct Case {
    const char* code;
    const char* reversed;
  };
  const Case cases[] = {{"099", "000"}, {"199", "100"}, {"399", "300"}};
  int hung_up = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    TestClient client(pki_.ca_file);
    ASSERT_TRUE(client.Connect(server_->Port()));
    ASSERT_TRUE(client.Send(Post(Reversal(c.code, c.reversed, 1000, "0000"))));
    Answer answer = client.ReadAnswer();
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.end, End::kAbrupt) << EndName(answer.end);
    ++hung_up;
    EXPECT_EQ(server_->Counters().reversals_hung_up, hung_up);
    const GatewayRequest last = server_->Requests().back();
    EXPECT_TRUE(last.hung_up);
    EXPECT_FALSE(last.reached_host);
    EXPECT_EQ(last.status, 0);
  }
  EXPECT_EQ(host_.GetCounters().requests, 1) << "no reversal reached the host";
  EXPECT_EQ(host_.GetCounters().reversals, 0);
  EXPECT_EQ(server_->Faults().answer_fault_requests, 1);

  // A request that is not a reversal reaches the host, and uses the budget.
  ASSERT_TRUE(first.Send(Post(Sale("000", 1100, "0001"))));
  EXPECT_EQ(ResponseCode(first.ReadAnswer().body), "AA");
  EXPECT_EQ(server_->Faults().answer_fault_requests, 0);

  server_->SetFaults(GatewayFaults());
  TestClient later(pki_.ca_file);
  ASSERT_TRUE(later.Connect(server_->Port()));
  ASSERT_TRUE(later.Send(Post(Reversal("099", "000", 1000, "0000"))));
  Answer answer = later.ReadAnswer();
  ASSERT_TRUE(answer.whole);
  EXPECT_EQ(ResponseCode(answer.body), "AA");
  EXPECT_EQ(host_.LastReceived()->reversal, ReversalTarget::kApproval) << host_.LastReceived()->note;
  EXPECT_EQ(host_.GetLedgerCounts().credit.reversed, 1);
  EXPECT_EQ(host_.GetCounters().unmatched_reversals, 0);
  EXPECT_EQ(server_->Counters().reversals_hung_up, 3);
}

struct Observed {
  GatewayCounters counters;
  int client_handshakes = 0;
  long elapsed_ms = 0;  // from the request to the end of the answer
};

enum class Body { kWhole, kEmpty, kCut, kNone };

struct FaultCase {
  const char* label;
  std::function<void(GatewayFaults&)> set;
  int status;   // 0: no status line
  Body body;
  End end;      // after the answer (or in its place)
  std::function<void(const Observed&)> check;
};

TEST_F(GatewayServerTest, FaultSwitches) {
  const FaultCase cases[] = {
      {"answer late", [](GatewayFaults& f) { f.answer_delay_ms = 400; }, 200, Body::kWhole, End::kOpen,
       [](const Observed& o) { EXPECT_GE(o.elapsed_ms, 400); }},
      {"HTTP 500: status line only, then close_notify", [](GatewayFaults& f) { f.http_500 = true; }, 500,
       Body::kNone, End::kCloseNotify, [](const Observed& o) { EXPECT_EQ(o.counters.status_500, 1); }},
      {"empty 200 keeps the connection", [](GatewayFaults& f) { f.empty_200 = true; }, 200, Body::kEmpty,
       End::kOpen, [](const Observed& o) { EXPECT_EQ(o.counters.empty_200, 1); }},
      {"close mid-answer: part of the body, no close_notify",
       [](GatewayFaults& f) { f.close_mid_answer = true; }, 200, Body::kCut, End::kAbrupt,
       [](const Observed& o) {
         EXPECT_EQ(o.counters.cut_answers, 1);
         EXPECT_EQ(o.counters.close_notify_sent, 0);
       }},
      {"split records: one byte per send, handshake included",
       [](GatewayFaults& f) { f.split_records = true; }, 200, Body::kWhole, End::kOpen,
       [](const Observed& o) {
         EXPECT_GT(o.counters.bytes_sent, 200);
         EXPECT_EQ(o.counters.sends, o.counters.bytes_sent);
       }},
      {"renegotiation requested by the server before the answer",
       [](GatewayFaults& f) { f.renegotiate = true; }, 200, Body::kWhole, End::kOpen,
       [](const Observed& o) {
         EXPECT_EQ(o.client_handshakes, 2);
         EXPECT_EQ(o.counters.renegotiations, 1);
         EXPECT_EQ(o.counters.handshakes, 1);
       }},
      {"close_notify instead of the answer",
       [](GatewayFaults& f) { f.close_notify = CloseNotifyFault::kInsteadOfAnswer; }, 0, Body::kNone,
       End::kCloseNotify, [](const Observed& o) { EXPECT_EQ(o.counters.answers, 0); }},
      {"close_notify after the answer", [](GatewayFaults& f) { f.close_notify = CloseNotifyFault::kAfterAnswer; },
       200, Body::kWhole, End::kCloseNotify, [](const Observed& o) { EXPECT_EQ(o.counters.close_notify_sent, 1); }},
  };

  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.label);
    // Each case has a server and a host of its own, so the counters are the case's.
    ElavonHostSim host;
    GatewayServerOptions options;
    options.cert_file = pki_.cert_file;
    options.key_file = pki_.key_file;
    options.io_timeout_ms = kClientWaitMs;
    GatewayServer server(&host, options);
    GatewayFaults faults;
    c.set(faults);
    server.SetFaults(faults);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;

    TestClient client(pki_.ca_file);
    ASSERT_TRUE(client.Connect(server.Port()));
    const std::string sale = Sale("000", 1000, "0000");
    Clock::time_point sent = Clock::now();
    ASSERT_TRUE(client.Send(Post(sale)));
    Answer answer = client.ReadAnswer();
    Observed observed;
    observed.elapsed_ms = ElapsedMs(sent);

    EXPECT_EQ(answer.status, c.status) << answer.head;
    switch (c.body) {
      case Body::kWhole:
        EXPECT_TRUE(answer.whole);
        EXPECT_EQ(ResponseCode(answer.body), "AA");
        break;
      case Body::kEmpty:
        EXPECT_TRUE(answer.whole);
        EXPECT_EQ(answer.content_length, 0);
        EXPECT_TRUE(answer.body.empty());
        break;
      case Body::kCut:
        EXPECT_FALSE(answer.whole);
        EXPECT_GT(answer.content_length, 0);
        EXPECT_FALSE(answer.body.empty());
        EXPECT_LT(answer.body.size(), static_cast<size_t>(answer.content_length));
        break;
      case Body::kNone:
        EXPECT_TRUE(answer.body.empty()) << answer.body;
        EXPECT_EQ(answer.content_length, -1);
        break;
    }
    End end = answer.whole ? End::kOpen : answer.end;
    std::string extra;
    if (answer.whole) end = client.ReadEnd(kShortWaitMs, &extra);
    EXPECT_EQ(end, c.end) << EndName(end);
    EXPECT_TRUE(extra.empty());
    // Every request reached the host, whatever happened to its answer.
    EXPECT_EQ(host.GetCounters().requests, 1);

    observed.client_handshakes = client.handshakes();
    server.Stop();
    observed.counters = server.Counters();
    c.check(observed);
  }
}

// An answer-fault budget: the fault hits the next request only, then clears itself,
// so that the request after it (a reversal, on a new connection) is answered.
TEST_F(GatewayServerTest, AnswerFaultBudgetClearsItself) {
  GatewayFaults faults;
  faults.close_mid_answer = true;
  faults.answer_fault_requests = 1;
  server_->SetFaults(faults);
  {
    TestClient client(pki_.ca_file);
    ASSERT_TRUE(client.Connect(server_->Port()));
    ASSERT_TRUE(client.Send(Post(Sale("000", 1000, "0000"))));
    EXPECT_FALSE(client.ReadAnswer().whole);
  }
  EXPECT_FALSE(server_->Faults().close_mid_answer);
  EXPECT_EQ(server_->Faults().answer_fault_requests, 0);
  TestClient client(pki_.ca_file);
  ASSERT_TRUE(client.Connect(server_->Port()));
  ASSERT_TRUE(client.Send(Post(Sale("000", 1200, "0001"))));
  Answer answer = client.ReadAnswer();
  EXPECT_TRUE(answer.whole);
  EXPECT_EQ(ResponseCode(answer.body), "AA");
}

// Connections are served side by side, and Stop ends the ones still open.
TEST_F(GatewayServerTest, ConnectionsSideBySideAndStop) {
  TestClient idle(pki_.ca_file);
  ASSERT_TRUE(idle.Connect(server_->Port()));
  TestClient busy(pki_.ca_file);
  ASSERT_TRUE(busy.Connect(server_->Port()));
  ASSERT_TRUE(busy.Send(Post(Sale("000", 1000, "0000"))));
  EXPECT_TRUE(busy.ReadAnswer().whole);

  Clock::time_point stopping = Clock::now();
  server_->Stop();
  EXPECT_LT(ElapsedMs(stopping), 2000);
  std::string extra;
  EXPECT_NE(idle.ReadEnd(kShortWaitMs, &extra), End::kOpen);
  EXPECT_EQ(server_->Counters().accepted, 2);
}

TEST(TestPkiTest, FilesAndTrust) {
  ::signal(SIGPIPE, SIG_IGN);
  struct Cleanup {
    ~Cleanup() {
      for (const char* stem : {"pki-files", "pki-other", "pki-named"}) RemoveTestPki(ProcessFolder(stem));
    }
  } cleanup;
  TestPkiFiles files;
  std::string error;
  ASSERT_TRUE(MakeTestPki(ProcessFolder("pki-files"), TestPkiOptions(), &files, &error)) << error;
  EXPECT_EQ(files.ca_file, ProcessFolder("pki-files") + "/ca.pem");
  struct stat info;
  ASSERT_EQ(::stat(files.key_file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A server with that certificate is trusted through that CA file only.
  ElavonHostSim host;
  GatewayServerOptions options;
  options.cert_file = files.cert_file;
  options.key_file = files.key_file;
  GatewayServer server(&host, options);
  ASSERT_TRUE(server.Start(&error)) << error;
  TestClient trusting(files.ca_file);
  EXPECT_TRUE(trusting.Connect(server.Port()));

  TestPkiFiles other;
  ASSERT_TRUE(MakeTestPki(ProcessFolder("pki-other"), TestPkiOptions(), &other, &error)) << error;
  TestClient stranger(other.ca_file);
  EXPECT_FALSE(stranger.Connect(server.Port()));

  // A certificate for another name fails the client's name check.
  TestPkiOptions gateway_name;
  gateway_name.common_name = "gateway.test";
  gateway_name.dns_names = {"gateway.test"};
  gateway_name.ip_addresses = {};
  TestPkiFiles named;
  ASSERT_TRUE(MakeTestPki(ProcessFolder("pki-named"), gateway_name, &named, &error)) << error;
  GatewayServerOptions named_options = options;
  named_options.cert_file = named.cert_file;
  named_options.key_file = named.key_file;
  GatewayServer named_server(&host, named_options);
  ASSERT_TRUE(named_server.Start(&error)) << error;
  TestClient checking(named.ca_file);
  EXPECT_FALSE(checking.Connect(named_server.Port()));

  // A key that does not belong to the certificate stops the start.
  GatewayServerOptions mismatched = options;
  mismatched.key_file = named.key_file;
  GatewayServer broken(&host, mismatched);
  EXPECT_FALSE(broken.Start(&error));
  EXPECT_NE(error.find("private key"), std::string::npos) << error;
}

}  // namespace
}  // namespace elavon_sim
