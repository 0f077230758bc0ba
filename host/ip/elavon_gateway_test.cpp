// The transport end to end against the simulated Elavon gateway on 127.0.0.1: the
// handshake and exchanges, records split into one-byte segments, the end of TLS from
// the gateway, its faults, the endpoint switch after a failed connection, and the
// certificate check.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/queue/process_events.h"
#include "host/ip/elavon_ssl_client.h"
#include "host/ip/host_endpoints.h"
#include "host/ip/ip_test_support.h"
#include "platform/fs/files.h"
#include "platform/text/format.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_requests.h"

namespace {

using host_ip_testing::MsSince;

using namespace std::string_literals;
using SteadyClock = std::chrono::steady_clock;
namespace sim = elavon_sim;

// ---- Requests, written from the message layout ----

using elavon_sim_testing::Fid;
using elavon_sim_testing::kGs;
using elavon_sim_testing::Request;

// A credit sale of `cents` carrying sequence number `sequence`.
std::string Sale(int64_t cents, const std::string& sequence) {
  return Request("000", {Fid("01", {"030204111111111111111", std::to_string(cents), sequence, "", "1000000"})});
}

// Field 02's response code of an answer message ("AA" approves).
std::string ResponseCode(const std::string& answer) {
  const size_t at = answer.find(kGs + "02");
  if (at == std::string::npos) return "";
  return answer.substr(at + 3, 2);
}

// ---- Fixture ----

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ip_testing::PrepareProcess();
    static const sim::TestPkiFiles files = host_ip_testing::MakePki("gateway");
    pki = files;
    trust = std::make_unique<host_ip_testing::ScopedTrust>(pki.ca_file);
    host_ip_testing::SetVerifySslCertificate("Y");
    g_AbortEvent.Reset();
    StartGateway(pki);
    client = host_ip_testing::NewClient();
  }
  void TearDown() override {
    client.reset();
    if (gateway) gateway->Stop();
  }

  void StartGateway(const sim::TestPkiFiles& files) {
    if (gateway) gateway->Stop();
    sim::GatewayServerOptions options;
    options.cert_file = files.cert_file;
    options.key_file = files.key_file;
    options.io_timeout_ms = 5000;
    options.idle_timeout_ms = 10000;
    gateway = std::make_unique<sim::GatewayServer>(&host, options);
    std::string error;
    ASSERT_TRUE(gateway->Start(&error)) << error;
  }
  void SetFaults(const std::function<void(sim::GatewayFaults&)>& change) {
    sim::GatewayFaults faults = gateway->Faults();
    change(faults);
    gateway->SetFaults(faults);
  }
  bool Connect(const std::string& host_name = "localhost") {
    return client->Connect(host_name, gateway->Port(), 2000);
  }
  bool Exchange(const std::string& message) {
    return client->BuildHttpRequest(host_ip_testing::TranWithMessage(message)) && client->Transact(0);
  }
  // The gateway's counters once the client has disconnected and the gateway has
  // seen its close_notify (waiting at most 2 s for that) and stopped.
  sim::GatewayCounters FinalCounters() {
    client->Disconnect();
    const auto start = SteadyClock::now();
    while (gateway->Counters().close_notify_received == 0 && MsSince(start) < 2000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    gateway->Stop();
    return gateway->Counters();
  }

  sim::TestPkiFiles pki;
  std::unique_ptr<host_ip_testing::ScopedTrust> trust;
  sim::ElavonHostSim host;
  std::unique_ptr<sim::GatewayServer> gateway;
  std::unique_ptr<CElavonSslClient> client;
};

TEST_F(GatewayTest, HandshakeAndExchangesOnOneConnection) {
  ASSERT_TRUE(Connect()) << client->GetLastErrorText();
  const std::string first = Sale(1000, "0000");
  ASSERT_TRUE(Exchange(first)) << client->GetLastErrorText();
  EXPECT_EQ(ResponseCode(client->GetResponse().GetBody()), "AA");
  EXPECT_EQ(client->GetResponse().GetBody(), host.LastReceived()->reply.bytes);
  EXPECT_EQ(host.LastReceived()->bytes, first) << "the message arrived byte for byte";

  // The connection stays open for the next message.
  ASSERT_TRUE(Exchange(Sale(2000, "0001"))) << client->GetLastErrorText();
  EXPECT_EQ(ResponseCode(client->GetResponse().GetBody()), "AA");

  const std::vector<sim::GatewayRequest> requests = gateway->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].http.method, "POST");
  EXPECT_EQ(requests[0].http.target, "/cgi-bin/encompass.cgi");
  EXPECT_EQ(requests[0].http.version, "HTTP/1.1");
  ASSERT_NE(requests[0].http.Header("Registration-Key"), nullptr);
  EXPECT_EQ("Registration-Key: " + *requests[0].http.Header("Registration-Key"), g_RegistrationKeyHeader);
  ASSERT_NE(requests[0].http.Header("Connection"), nullptr);
  EXPECT_EQ(*requests[0].http.Header("Connection"), "Keep-Alive");
  EXPECT_EQ(requests[0].http.Header("Host"), nullptr);

  const sim::GatewayCounters counters = FinalCounters();
  EXPECT_EQ(counters.accepted, 1);
  EXPECT_EQ(counters.handshakes, 1);
  EXPECT_EQ(counters.answers, 2);
  EXPECT_EQ(counters.close_notify_received, 1) << "the client ends TLS properly";
}

TEST_F(GatewayTest, EveryByteInASegmentOfItsOwn) {
  SetFaults([](sim::GatewayFaults& f) { f.split_records = true; });
  ASSERT_TRUE(Connect()) << client->GetLastErrorText();
  ASSERT_TRUE(Exchange(Sale(1000, "0000"))) << client->GetLastErrorText();
  EXPECT_EQ(ResponseCode(client->GetResponse().GetBody()), "AA");
  const sim::GatewayCounters counters = FinalCounters();
  EXPECT_EQ(counters.sends, counters.bytes_sent) << "one byte per send";
}

// The answer and the gateway's close_notify read in one go: the bytes after the
// answer record are decrypted from the same buffer and end the connection.
TEST_F(GatewayTest, TheRecordAfterTheAnswerIsTakenFromTheSameRead) {
  SetFaults([](sim::GatewayFaults& f) { f.close_notify = sim::CloseNotifyFault::kAfterAnswer; });
  ASSERT_TRUE(Connect()) << client->GetLastErrorText();
  ASSERT_TRUE(client->BuildHttpRequest(host_ip_testing::TranWithMessage(Sale(1000, "0000"))));
  ASSERT_TRUE(client->EncryptAndSend(client->GetRequestText()));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both records are waiting now
  int count = 0;
  EXPECT_EQ(client->ReceiveAndDecrypt(&count, 2000), kReceivePeerClosed);
  EXPECT_GT(count, 0);
  EXPECT_TRUE(client->IsResponseComplete());
  EXPECT_EQ(client->GetLastErrorText(), "Host Signaled End of Session. (ReceiveAndDecrypt)");
}

TEST_F(GatewayTest, CloseNotifyFromTheGateway) {
  struct Case {
    const char* what;
    sim::CloseNotifyFault fault;
    bool answered;
  };
  const Case cases[] = {
      {"after the answer", sim::CloseNotifyFault::kAfterAnswer, true},
      {"instead of the answer", sim::CloseNotifyFault::kInsteadOfAnswer, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    client = host_ip_testing::NewClient();
    SetFaults([&](sim::GatewayFaults& f) { f.close_notify = c.fault; });
    ASSERT_TRUE(Connect()) << client->GetLastErrorText();
    EXPECT_EQ(Exchange(Sale(1000, "0000")), c.answered) << client->GetLastErrorText();
    if (!c.answered) {
      EXPECT_EQ(client->GetLastErrorText(), "Host Signaled End of Session. (ReceiveAndDecrypt)");
    }
    // Nothing more comes on this connection.
    int count = -1;
    const int result = client->ReceiveAndDecrypt(&count, 1000);
    EXPECT_TRUE(result == kReceivePeerClosed || result == kReceiveTimedOut) << result;
    EXPECT_EQ(count, 0);
  }
}

TEST_F(GatewayTest, FaultsThatLeaveNoAnswer) {
  struct Case {
    const char* what;
    std::function<void(sim::GatewayFaults&)> fault;
    std::string error_text;
    std::string or_text;  // also right, when the timing differs
  };
  const Case cases[] = {
      // The status line and the close_notify after it: read together, the status is
      // taken; read apart, the end of TLS came without data in its last read.
      {"a status of 500", [](sim::GatewayFaults& f) { f.http_500 = true; }, "-",
       "Host Signaled End of Session. (ReceiveAndDecrypt)"},
      {"200 without a body", [](sim::GatewayFaults& f) { f.empty_200 = true; }, "-", ""},
      {"the connection drops in the middle of the answer", [](sim::GatewayFaults& f) { f.close_mid_answer = true; },
       "Timeout Waiting for Verifiable Packet from Host (ReceiveAndDecrypt)", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    client = host_ip_testing::NewClient();
    gateway->SetFaults(sim::GatewayFaults());
    SetFaults(c.fault);
    ASSERT_TRUE(Connect()) << client->GetLastErrorText();
    const auto start = SteadyClock::now();
    EXPECT_FALSE(Exchange(Sale(1000, "0000")));
    EXPECT_LT(MsSince(start), 5000);
    const std::string text = client->GetLastErrorText();
    EXPECT_TRUE(text == c.error_text || (!c.or_text.empty() && text == c.or_text)) << text;
    EXPECT_EQ(client->GetResponse().GetBody(), "");
  }
}

TEST_F(GatewayTest, ARenegotiationAskedByTheGatewayIsFollowed) {
  SetFaults([](sim::GatewayFaults& f) { f.renegotiate = true; });
  ASSERT_TRUE(Connect()) << client->GetLastErrorText();
  ASSERT_TRUE(Exchange(Sale(1000, "0000"))) << client->GetLastErrorText();
  EXPECT_EQ(ResponseCode(client->GetResponse().GetBody()), "AA");
  ASSERT_TRUE(Exchange(Sale(2000, "0001"))) << client->GetLastErrorText();
  const sim::GatewayCounters counters = FinalCounters();
  EXPECT_EQ(counters.renegotiations, 2);
  EXPECT_EQ(counters.renegotiation_failures, 0);
}

TEST_F(GatewayTest, ASilentGatewayTimesOutWithinTheAnswerTime) {
  const ScopedElavonAnswerTimeout shorter(500);
  ASSERT_TRUE(Connect()) << client->GetLastErrorText();
  const auto start = SteadyClock::now();
  EXPECT_FALSE(Exchange(Sale(1054, "0000")));  // .54: the host withholds its answer
  const long waited = MsSince(start);
  EXPECT_GE(waited, 490);
  EXPECT_LT(waited, 3000);
  EXPECT_EQ(client->GetLastErrorCode(), 3010);
  EXPECT_EQ(client->GetLastErrorText(), "Timeout Waiting for Verifiable Packet from Host (ReceiveAndDecrypt)");
  EXPECT_EQ(gateway->Counters().withheld, 1);
}

TEST(GatewayAnswerTimeTest, ThirtySecondsUnlessShortened) {
  EXPECT_EQ(kElavonAnswerTimeoutMs, 30000u);
  EXPECT_EQ(ElavonAnswerTimeoutMs(), 30000u);
  {
    const ScopedElavonAnswerTimeout shorter(10);
    EXPECT_EQ(ElavonAnswerTimeoutMs(), 10u);
  }
  EXPECT_EQ(ElavonAnswerTimeoutMs(), 30000u);
}

// What the request worker does: connect to the endpoint in use; after a failure,
// switch so that the next attempt goes to the other one.
bool ConnectToCurrent(CElavonSslClient* client, CHostEndpoints* endpoints) {
  const CActiveHost current = endpoints->GetCurrent();
  if (client->Connect(current.GetHost(), std::stoi(current.GetPort()), 2000)) return true;
  endpoints->Switch(current.GetHost(), current.GetPort());
  return false;
}

TEST_F(GatewayTest, AFailedPrimarySwitchesToTheSecondary) {
  struct Case {
    const char* what;
    bool refuse_at_accept;  // else nothing listens on the port
    int code;
  };
  const Case cases[] = {
      {"nothing listens", false, 3006},
      {"the gateway closes before TLS", true, 3103},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint16_t port = gateway->Port();
    if (!c.refuse_at_accept) {
      gateway->Stop();  // the port is free again
    } else {
      SetFaults([](sim::GatewayFaults& f) { f.refuse = true; });
    }
    ::setenv("KVR_ELAVON_GATEWAY", platform::Format("localhost:%u", port).c_str(), 1);
    CHostEndpoints endpoints;
    ::unsetenv("KVR_ELAVON_GATEWAY");
    ASSERT_TRUE(endpoints.IsPrimaryActive());

    client = host_ip_testing::NewClient();
    EXPECT_FALSE(ConnectToCurrent(client.get(), &endpoints));
    EXPECT_EQ(client->GetLastErrorCode(), c.code) << client->GetLastErrorText();
    EXPECT_FALSE(client->IsConnected());
    EXPECT_FALSE(endpoints.IsPrimaryActive()) << "the next attempt goes to the secondary";

    if (c.refuse_at_accept) {
      // Both entries hold the same address here: the secondary answers once the fault is gone.
      gateway->SetFaults(sim::GatewayFaults());
      client = host_ip_testing::NewClient();
      EXPECT_TRUE(ConnectToCurrent(client.get(), &endpoints)) << client->GetLastErrorText();
      EXPECT_FALSE(endpoints.IsPrimaryActive());
    } else {
      // A second failure, now of the secondary, switches back.
      client = host_ip_testing::NewClient();
      EXPECT_FALSE(ConnectToCurrent(client.get(), &endpoints));
      EXPECT_TRUE(endpoints.IsPrimaryActive());
      StartGateway(pki);
    }
  }
  EXPECT_NE(host_ip_testing::LogText().find("ConnectToServerByHostName - Failed - [3006]"
                                            "Socket Error Trying to Connect Error 3006 "),
            std::string::npos);
}

// ---- The certificate check ----

std::string PolicyFailure(platform::tls::DWORD error, const std::string& more) {
  return platform::Format("VerifyCertificateChain Failed (F) - Error = %d more: ", static_cast<int>(error)) + more;
}

TEST_F(GatewayTest, TheCertificateIsCheckedOnlyWhenAskedFor) {
  namespace tls = platform::tls;
  sim::TestPkiOptions expired;
  expired.valid_days = -1;
  sim::TestPkiOptions other_name;
  other_name.common_name = "gateway.test";
  other_name.dns_names = {"gateway.test"};
  other_name.ip_addresses = {};
  const sim::TestPkiFiles stranger = host_ip_testing::MakePki("stranger");
  // A gateway that sends its whole chain, up to a root the client does not trust.
  sim::TestPkiFiles with_root = pki;
  with_root.cert_file = pki.cert_file + ".chain";
  {
    std::string server_pem, ca_pem;
    ASSERT_TRUE(platform::fs::ReadFile(pki.cert_file, &server_pem));
    ASSERT_TRUE(platform::fs::ReadFile(pki.ca_file, &ca_pem));
    ASSERT_TRUE(platform::fs::ReplaceFile(with_root.cert_file, server_pem + ca_pem));
  }

  struct Case {
    const char* what;
    sim::TestPkiFiles served;
    std::string trusted_ca;  // empty: the served certificate's own CA
    std::string expected_failure;
  };
  const Case cases[] = {
      {"a certificate of the trusted test CA", pki, "", ""},
      {"an untrusted root", with_root, stranger.ca_file,
       PolicyFailure(tls::CERT_E_UNTRUSTEDROOT, "SSL Certificate - Untrusted Root")},
      {"an unknown issuer (the leaf alone)", pki, stranger.ca_file,
       PolicyFailure(tls::CERT_E_CHAINING, "CERT_E_CHAINING")},
      {"an expired certificate", host_ip_testing::MakePki("expired", expired), "",
       PolicyFailure(tls::CERT_E_EXPIRED, "SSL Certificate is Expired.")},
      {"another host name", host_ip_testing::MakePki("other_name", other_name), "",
       PolicyFailure(tls::CERT_E_CN_NO_MATCH, "SSL Certificate Common Name Does Not Match.")},
  };
  for (const Case& c : cases) {
    for (const char* verify : {"Y", "N", "y"}) {
      SCOPED_TRACE(std::string(c.what) + ", VERIFY SSL CERTIFICATE " + verify);
      host_ip_testing::SetVerifySslCertificate(verify);
      host_ip_testing::ScopedTrust anchors(c.trusted_ca.empty() ? c.served.ca_file : c.trusted_ca);
      StartGateway(c.served);
      client = host_ip_testing::NewClient();
      const bool checked = std::string(verify) == "Y";
      const bool should_pass = !checked || c.expected_failure.empty();
      EXPECT_EQ(Connect(), should_pass) << client->GetLastErrorText();
      if (should_pass) {
        EXPECT_TRUE(Exchange(Sale(1000, "0000"))) << client->GetLastErrorText();
      } else {
        EXPECT_EQ(client->GetLastErrorCode(), 3112);
        EXPECT_EQ(client->GetLastErrorText(), c.expected_failure);
        EXPECT_FALSE(client->IsConnected());
      }
      const sim::GatewayCounters counters = FinalCounters();
      EXPECT_EQ(counters.close_notify_received, 1) << "closed with a close_notify either way";
    }
  }
}

}  // namespace
