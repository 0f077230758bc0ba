// The TLS client and the HTTP exchange against a scripted TLS server whose bytes on
// the wire each test controls: record boundaries, renegotiation, answers the gateway
// should never send, and the failures of the handshake.
#include "host/ip/elavon_ssl_client.h"

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/queue/process_events.h"
#include "host/ip/ip_test_support.h"
#include "host/ip/tls_test_server.h"

namespace {

using namespace std::string_literals;
using host_ip_testing::MsSince;
using host_ip_testing::ScriptedSession;
using host_ip_testing::ScriptedTlsServer;
using SteadyClock = std::chrono::steady_clock;

constexpr int kWaitMs = 5000;  // the longest any step of a script waits

std::string OkHead(size_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: Keep-Alive\r\n\r\n";
}

// An Elavon-like message: STX .. ETX and a NUL checksum.
const std::string kMessage = "\x02*00E4029A000JX4807GC\x1d" "01AMOUNT\x03\x00"s;
const std::string kAnswerBody = "\x02" "00APPROVAL 123456\x1c\x03\x00"s;

class ScriptedExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ip_testing::PrepareProcess();
    static const elavon_sim::TestPkiFiles files = host_ip_testing::MakePki("scripted");
    pki = files;
    trust = std::make_unique<host_ip_testing::ScopedTrust>(pki.ca_file);
    host_ip_testing::SetVerifySslCertificate("Y");
    g_AbortEvent.Reset();
    client = host_ip_testing::NewClient();
  }
  void TearDown() override {
    client.reset();
    if (server) {
      EXPECT_TRUE(server->WaitDone(kWaitMs)) << "the script did not end";
    }
    server.reset();
    g_AbortEvent.Reset();
  }

  // Starts the server with the script and connects the client to it.
  void ConnectWith(ScriptedTlsServer::Script script) {
    StartServer(std::move(script));
    ASSERT_TRUE(client->Connect("localhost", server->Port(), 2000))
        << client->GetLastErrorCode() << " " << client->GetLastErrorText();
    ASSERT_TRUE(client->IsTlsUp());
  }
  void StartServer(ScriptedTlsServer::Script script) {
    server = std::make_unique<ScriptedTlsServer>(pki.cert_file, pki.key_file);
    ASSERT_TRUE(server->Start(std::move(script)));
  }
  bool Exchange(const std::string& message = kMessage) {
    if (!client->BuildHttpRequest(host_ip_testing::TranWithMessage(message))) return false;
    return client->Transact(0);
  }

  elavon_sim::TestPkiFiles pki;
  std::unique_ptr<host_ip_testing::ScopedTrust> trust;
  std::unique_ptr<ScriptedTlsServer> server;
  std::unique_ptr<CElavonSslClient> client;
};

TEST_F(ScriptedExchangeTest, TwoRecordsInOneSegmentAreBothDecrypted) {
  std::string request;
  ConnectWith([&](ScriptedSession& s) {
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    s.QueueRecord(OkHead(kAnswerBody.size()));
    s.QueueRecord(kAnswerBody);
    s.Flush();  // both records in one send
    s.WaitForClientClose(kWaitMs);
  });
  EXPECT_TRUE(Exchange()) << client->GetLastErrorText();
  EXPECT_EQ(client->GetResponse().GetBody(), kAnswerBody);
  EXPECT_EQ(client->GetResponse().GetStatusCode(), 200);
  client->Disconnect();
  ASSERT_TRUE(server->WaitDone(kWaitMs));
  EXPECT_EQ(request, BuildElavonHttpRequest(kMessage)) << "every byte of the message, the NUL too";
}

// Application data that comes with the last handshake message is not part of any
// answer: its plain text is dropped, but its records are decrypted (a record cut
// short is read to its end), so that the records after it still decrypt.
TEST_F(ScriptedExchangeTest, DataWithTheLastHandshakeMessageIsDropped) {
  for (const size_t held_back : {size_t{0}, size_t{10}}) {
    SCOPED_TRACE(held_back ? "the greeting's record cut short" : "the whole greeting");
    client = host_ip_testing::NewClient();
    ConnectWith([&](ScriptedSession& s) {
      std::string request;
      if (!s.Handshake(kWaitMs, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstale", held_back) ||
          !s.ReadRequest(&request, kWaitMs)) {
        return;
      }
      s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
      s.Flush();
      s.WaitForClientClose(kWaitMs);
    });
    EXPECT_TRUE(Exchange()) << client->GetLastErrorText();
    EXPECT_EQ(client->GetResponse().GetBody(), kAnswerBody);
    client->Disconnect();
    ASSERT_TRUE(server->WaitDone(kWaitMs));
  }
}

TEST_F(ScriptedExchangeTest, ARecordSplitAcrossSegmentsIsPutTogether) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    s.Flush(3);
    s.WaitForClientClose(kWaitMs);
  });
  EXPECT_TRUE(Exchange()) << client->GetLastErrorText();
  EXPECT_EQ(client->GetResponse().GetBody(), kAnswerBody);
}

// What the exchange makes of answers that are not an answer.
TEST(ScriptedOutcomesTest, AnswersWithoutABodyFailWithTheirLogLine) {
  struct Case {
    const char* what;
    std::string answer;
    bool close_notify_after;     // in the same segment
    std::string error_text;
    std::string log_prefix;      // empty: no log line
  };
  const Case cases[] = {
      {"200 without a body", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, "-", "200 Without Payload:"},
      {"200 without Content-Length, then the end of TLS", "HTTP/1.1 200 OK\r\n\r\nabc", true, "-",
       "200 Without Payload:"},
      {"a status line of 500", "HTTP/1.1 500 Internal Server Error\r\n\r\n", true, "-", ""},
      {"another status", "HTTP/1.1 404 Not Found\r\n\r\n", true, "-", "Not 200 or 500 Response:"},
      {"a 500 with headers", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", false,
       "-Unable to Parse Raw Response", "Unable to Parse Response:"},
      {"not HTTP, then the end of TLS", "garbage\r\n\r\n", true, "-Unable to Parse Raw Response",
       "Unable to Parse Response:"},
  };
  host_ip_testing::PrepareProcess();
  host_ip_testing::SetVerifySslCertificate("N");
  const elavon_sim::TestPkiFiles pki = host_ip_testing::MakePki("outcomes");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedTlsServer server(pki.cert_file, pki.key_file);
    ASSERT_TRUE(server.Start([&](ScriptedSession& s) {
      std::string request;
      if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
      s.QueueRecord(c.answer);
      if (c.close_notify_after) s.QueueCloseNotify();
      s.Flush();
      s.WaitForClientClose(kWaitMs);
    }));
    std::unique_ptr<CElavonSslClient> client = host_ip_testing::NewClient();
    ASSERT_TRUE(client->Connect("localhost", server.Port(), 2000)) << client->GetLastErrorText();
    ASSERT_TRUE(client->BuildHttpRequest(host_ip_testing::TranWithMessage(kMessage)));
    const auto start = SteadyClock::now();
    EXPECT_FALSE(client->Transact(0));
    EXPECT_LT(MsSince(start), 5000) << "taken when complete or at the end of TLS, not at the time-out";
    EXPECT_EQ(client->GetLastErrorText(), c.error_text);
    EXPECT_EQ(client->GetResponse().GetBody(), "");
    const std::string logged = host_ip_testing::LogText();
    const std::string escaped = EscapeResponseForLog(c.answer);
    if (c.log_prefix.empty()) {
      EXPECT_EQ(logged.find(escaped), std::string::npos);
    } else {
      EXPECT_NE(logged.find(c.log_prefix + escaped), std::string::npos) << logged;
    }
    client.reset();
    EXPECT_TRUE(server.WaitDone(kWaitMs));
  }
}

TEST_F(ScriptedExchangeTest, ASecondAnswerWithoutABodyIsNotTakenForTheFirst) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    s.Flush();
    if (!s.ReadRequest(&request, kWaitMs)) return;
    s.QueueRecord("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    s.Flush();
    s.WaitForClientClose(kWaitMs);
  });
  ASSERT_TRUE(Exchange()) << client->GetLastErrorText();
  EXPECT_EQ(client->GetResponse().GetBody(), kAnswerBody);
  EXPECT_FALSE(Exchange());
  EXPECT_EQ(client->GetResponse().GetBody(), "");
  EXPECT_EQ(client->GetLastErrorText(), "-");
}

// A gateway cannot make the client hold more than 64 KB of answer.
TEST_F(ScriptedExchangeTest, AnEndlessAnswerIsCutOffAtTheCap) {
  struct Case {
    const char* what;
    std::string start;  // then filler without end
  };
  const Case cases[] = {
      {"a header that never ends", "HTTP/1.1 200 OK\r\nX-Filler: "},
      {"a body beyond its Content-Length", OkHead(5) + "abcde"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    client = host_ip_testing::NewClient();
    ConnectWith([&](ScriptedSession& s) {
      std::string request;
      if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
      s.QueueRecord(c.start);
      // 80 KB in 16 KB records: more than the cap, well within the socket buffers.
      for (int i = 0; i < 5; ++i) s.QueueRecord(std::string(16384, 'f'));
      s.Flush();
      s.WaitForClientClose(kWaitMs);
    });
    const auto start = SteadyClock::now();
    EXPECT_FALSE(Exchange());
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(client->GetLastErrorCode(), 3007);
    EXPECT_EQ(client->GetLastErrorText(), "Host sent more than 65536 bytes.(ReceiveAndDecrypt)");
    EXPECT_LE(client->GetReceivedText().size(), kMaxReceivedBytes);
    client->Disconnect();
    ASSERT_TRUE(server->WaitDone(kWaitMs));
  }
}

TEST_F(ScriptedExchangeTest, AMessageLargerThanOneRecordIsRefusedBeforeAnythingIsSent) {
  std::string request;
  ConnectWith([&](ScriptedSession& s) {
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    s.WaitForClientClose(kWaitMs);
  });
  const size_t most = client->GetStreamSizes().cbMaximumMessage;
  ASSERT_GT(most, 0u);
  EXPECT_FALSE(client->EncryptAndSend(std::string(most + 1, 'x')));
  EXPECT_EQ(client->GetLastErrorCode(), 3107);
  EXPECT_EQ(client->GetLastErrorText(), "Message too large to Send!.");
  // Exactly one record's worth goes out, alone.
  const std::string whole = BuildElavonHttpRequest(std::string(most - OkHead(0).size() - 200, 'm'));
  ASSERT_LE(whole.size(), most);
  EXPECT_TRUE(client->EncryptAndSend(whole));
  client->Disconnect();
  ASSERT_TRUE(server->WaitDone(kWaitMs));
  EXPECT_TRUE(request == whole);
}

TEST_F(ScriptedExchangeTest, ASilentGatewayTimesOutWithinTheAnswerTime) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    s.WaitForClientClose(kWaitMs);
  });
  const ScopedElavonAnswerTimeout shorter(300);
  const auto start = SteadyClock::now();
  EXPECT_FALSE(Exchange());
  const long waited = MsSince(start);
  EXPECT_GE(waited, 290);
  EXPECT_LT(waited, 2000);
  EXPECT_EQ(client->GetLastErrorCode(), 3010);
  EXPECT_EQ(client->GetLastErrorText(), "Timeout Waiting for Verifiable Packet from Host (ReceiveAndDecrypt)");
}

// A request on the wire is at the host: the abort event (an interface stopping) does
// not cut the wait for its answer, which still comes within the answer time.
TEST_F(ScriptedExchangeTest, TheAnswerToARequestSentIsAwaitedThroughTheAbortEvent) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    s.Idle(600);
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    s.Flush();
    s.WaitForClientClose(kWaitMs);
  });
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    g_AbortEvent.Set();
  });
  const auto start = SteadyClock::now();
  EXPECT_TRUE(Exchange()) << client->GetLastErrorText();
  EXPECT_GE(MsSince(start), 550);
  EXPECT_EQ(client->GetResponse().GetBody(), kAnswerBody);
  stopper.join();
  // The watch is back for what follows on this object.
  EXPECT_EQ(client->GetAbortEvent(), &g_AbortEvent);
}

// Before anything is sent the abort event ends the wait for the gateway's handshake,
// unless the object was told not to watch it (a reversal owed to the host).
TEST_F(ScriptedExchangeTest, TheAbortEventEndsAHandshakeThatWatchesIt) {
  for (const bool watched : {true, false}) {
    SCOPED_TRACE(watched ? "watched" : "not watched");
    g_AbortEvent.Reset();
    client = host_ip_testing::NewClient();
    StartServer([&](ScriptedSession& s) {
      s.Idle(400);  // the handshake's first answer comes late
      std::string request;
      if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
      s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
      s.Flush();
      s.WaitForClientClose(kWaitMs);
    });
    if (!watched) client->SetAbortEvent(nullptr);
    g_AbortEvent.Set();
    const auto start = SteadyClock::now();
    const bool connected = client->Connect("localhost", server->Port(), 2000);
    EXPECT_EQ(connected, !watched) << client->GetLastErrorText();
    if (watched) {
      EXPECT_LT(MsSince(start), 350);
    } else {
      EXPECT_TRUE(Exchange()) << client->GetLastErrorText();
    }
    client.reset();
    EXPECT_TRUE(server->WaitDone(kWaitMs));
    server.reset();
  }
}

TEST_F(ScriptedExchangeTest, ATrickleInsideOneRecordCannotStretchTheAnswerTime) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    // The record, one byte every 100 ms: far longer than the answer time.
    std::string bytes;
    char buffer[4096];
    int n;
    while ((n = BIO_read(SSL_get_wbio(s.ssl()), buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
    for (size_t i = 0; i < bytes.size() && i < 20; ++i) {
      if (!s.SendRaw(bytes.substr(i, 1))) return;
      s.Idle(100);
    }
  });
  const ScopedElavonAnswerTimeout shorter(500);
  const auto start = SteadyClock::now();
  EXPECT_FALSE(Exchange());
  EXPECT_LT(MsSince(start), 1500);
  EXPECT_EQ(client->GetLastErrorCode(), 3007);
  EXPECT_EQ(client->GetLastErrorText(), "Host unexpectedly disconnected.(ReceiveAndDecrypt)");
}

TEST_F(ScriptedExchangeTest, ACloseNotifyInsteadOfAnAnswerEndsTheExchange) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    s.QueueCloseNotify();
    s.Flush();
    s.WaitForClientClose(kWaitMs);
  });
  EXPECT_FALSE(Exchange());
  EXPECT_EQ(client->GetLastErrorText(), "Host Signaled End of Session. (ReceiveAndDecrypt)");
}

TEST_F(ScriptedExchangeTest, ARenegotiationBeforeTheAnswerIsFollowed) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    if (!s.QueueRenegotiationRequest() || !s.Flush() || !s.CompleteRenegotiation(kWaitMs)) return;
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    s.Flush();
    if (!s.ReadRequest(&request, kWaitMs)) return;  // and the new keys carry the next one
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    s.Flush();
    s.WaitForClientClose(kWaitMs);
  });
  EXPECT_TRUE(Exchange()) << client->GetLastErrorText();
  EXPECT_EQ(client->GetResponse().GetBody(), kAnswerBody);
  EXPECT_TRUE(Exchange()) << client->GetLastErrorText();
}

// Bytes that follow the gateway's HelloRequest in the same read are the first input
// of the new handshake; they are never decrypted afterwards with keys they were not
// made with, nor dropped without a word. Application data there is refused by the
// security layer during the new handshake, so the exchange fails as a renegotiation.
TEST_F(ScriptedExchangeTest, BytesLeftOverAfterAHelloRequestGoToTheHandshake) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    if (!s.QueueRenegotiationRequest()) return;
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    s.Flush();  // HelloRequest and the answer in one segment
    s.CompleteRenegotiation(kWaitMs);
    s.WaitForClientClose(kWaitMs);
  });
  const auto start = SteadyClock::now();
  EXPECT_FALSE(Exchange());
  EXPECT_LT(MsSince(start), 5000) << "a failure at once, not a time-out";
  EXPECT_EQ(client->GetLastErrorText(), "Error occured during Renegotiate attempt requested by Host.");
}

TEST_F(ScriptedExchangeTest, ANewCipherAfterRenegotiationResizesTheRecordBuffer) {
  ConnectWith([&](ScriptedSession& s) {
    SSL_set_cipher_list(s.ssl(), "ECDHE-ECDSA-AES128-GCM-SHA256");
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    SSL_set_cipher_list(s.ssl(), "ECDHE-ECDSA-AES256-SHA384");
    if (!s.QueueRenegotiationRequest() || !s.Flush() || !s.CompleteRenegotiation(kWaitMs)) return;
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    s.Flush();
    if (!s.ReadRequest(&request, kWaitMs)) return;
    s.QueueRecord(OkHead(kAnswerBody.size()) + kAnswerBody);
    s.Flush();
    s.WaitForClientClose(kWaitMs);
  });
  const platform::tls::SecPkgContext_StreamSizes before = client->GetStreamSizes();
  ASSERT_TRUE(Exchange()) << client->GetLastErrorText();
  const platform::tls::SecPkgContext_StreamSizes after = client->GetStreamSizes();
  EXPECT_GT(after.cbTrailer, before.cbTrailer) << "the CBC suite needs room for its MAC and padding";
  // A full record with the new sizes fits the buffer.
  const std::string big = BuildElavonHttpRequest(std::string(after.cbMaximumMessage - 200, 'm'));
  ASSERT_LE(big.size(), after.cbMaximumMessage);
  EXPECT_TRUE(client->EncryptAndSend(big));
  ASSERT_TRUE(client->ReceiveResponse(2000) > 0) << client->GetLastErrorText();
}

TEST_F(ScriptedExchangeTest, DisconnectSendsOneCloseNotifyAndKeepsTheLastError) {
  bool closed = false;
  ConnectWith([&](ScriptedSession& s) {
    if (!s.Handshake(kWaitMs)) return;
    closed = s.WaitForClientClose(kWaitMs);
  });
  client->SetLastFailure(1234, "earlier");
  EXPECT_TRUE(client->Disconnect());
  EXPECT_FALSE(client->IsTlsUp());
  EXPECT_FALSE(client->IsConnected());
  EXPECT_TRUE(client->Disconnect());
  ASSERT_TRUE(server->WaitDone(kWaitMs));
  EXPECT_TRUE(closed);
  EXPECT_EQ(client->GetLastErrorCode(), 1234);
  EXPECT_EQ(client->GetLastErrorText(), "earlier");
}

TEST_F(ScriptedExchangeTest, AHandshakeThatFailsLeavesTheClientClosed) {
  struct Case {
    const char* what;
    std::string bytes;  // what the "gateway" answers the ClientHello with; empty: it closes
    int code;
    std::string text_start;
  };
  const Case cases[] = {
      {"the server closes", "", 3103, "Server disconnected unexpectedly."},
      {"the server is not TLS", "HTTP/1.1 400 Bad Request\r\n\r\n", 3102,
       "InitializeSecurityContext Failed(B) - Status = -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    client = host_ip_testing::NewClient();
    StartServer([&](ScriptedSession& s) {
      s.Idle(50);
      if (!c.bytes.empty()) {
        s.SendRaw(c.bytes);
        s.Idle(200);
      }
    });
    EXPECT_FALSE(client->Connect("localhost", server->Port(), 2000));
    EXPECT_EQ(client->GetLastErrorCode(), c.code);
    EXPECT_EQ(client->GetLastErrorText().rfind(c.text_start, 0), 0u) << client->GetLastErrorText();
    EXPECT_FALSE(client->IsConnected());
    EXPECT_FALSE(client->IsTlsUp());
    EXPECT_NE(host_ip_testing::LogText().find("PerformClientHandshake - Failed - [" + std::to_string(c.code) + "]" +
                                              client->GetLastErrorText() + " "),
              std::string::npos);
    ASSERT_TRUE(server->WaitDone(kWaitMs));
  }
}

TEST(ElavonSslClientTest, ARecordIsNeededForARequest) {
  host_ip_testing::PrepareProcess();
  std::unique_ptr<CElavonSslClient> client = host_ip_testing::NewClient();
  EXPECT_FALSE(client->BuildHttpRequest(host_ip_testing::TranWithMessage("\x02")));
  EXPECT_EQ(client->GetRequestText(), "");
  EXPECT_TRUE(client->BuildHttpRequest(host_ip_testing::TranWithMessage("\x02\x03")));
  EXPECT_EQ(client->GetRequestText(), BuildElavonHttpRequest("\x02\x03"));
  // Nothing is connected: the send fails as one record too large for no context.
  EXPECT_FALSE(client->Transact(0));
  EXPECT_EQ(client->GetLastErrorCode(), 3107);
  // A refused build leaves nothing to send: not even the request built before it.
  EXPECT_FALSE(client->BuildHttpRequest(host_ip_testing::TranWithMessage("")));
  EXPECT_EQ(client->GetRequestText(), "");
  EXPECT_FALSE(client->Transact(0));
  EXPECT_EQ(client->GetLastErrorCode(), kTlsNoRequest);
}

TEST(ElavonSslClientTest, CertificateErrorTexts) {
  namespace tls = platform::tls;
  const std::pair<tls::DWORD, const char*> cases[] = {
      {tls::CERT_E_EXPIRED, "SSL Certificate is Expired."},
      {tls::CERT_E_UNTRUSTEDROOT, "SSL Certificate - Untrusted Root"},
      {tls::CERT_E_REVOKED, "SSL Certificate Has Been Revoked."},
      {tls::CERT_E_CN_NO_MATCH, "SSL Certificate Common Name Does Not Match."},
      {tls::CERT_E_CHAINING, "CERT_E_CHAINING"},
      {tls::CERT_E_WRONG_USAGE, "CERT_E_WRONG_USAGE"},
      {tls::TRUST_E_FAIL, "TRUST_E_FAIL"},
      {tls::TRUST_E_CERT_SIGNATURE, "CERT_E_UNKNOWN"},
      {0x12345678, "CERT_E_UNKNOWN"},
  };
  for (const auto& [code, text] : cases) {
    std::string got;
    CElavonSslClient::GetCertErrorText(code, &got);
    EXPECT_EQ(got, text) << std::hex << code;
  }
}

}  // namespace
