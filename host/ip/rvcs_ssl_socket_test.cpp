// The configuration service's TLS channel against a scripted TLS server whose bytes
// on the wire each test controls: data that comes with the handshake, record
// boundaries, the server's close, failed handshakes and a second connect on the same
// object. The service's certificate is never checked, so most tests trust nothing.
#include "host/ip/rvcs_ssl_socket.h"

#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/queue/process_events.h"
#include "host/ip/ip_test_support.h"
#include "host/ip/sspi_interface.h"
#include "host/ip/tls_test_server.h"

namespace {

using host_ip_testing::MsSince;
using host_ip_testing::ScriptedSession;
using host_ip_testing::ScriptedTlsServer;
using SteadyClock = std::chrono::steady_clock;

constexpr int kWaitMs = 5000;  // the longest any step of a script waits

std::string Framed(const std::string& body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body; }

// The bytes of everything the session has queued, taken off its output.
std::string TakeQueued(ScriptedSession& s) {
  std::string bytes;
  char buffer[4096];
  int n;
  while ((n = BIO_read(SSL_get_wbio(s.ssl()), buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
  return bytes;
}

class RvcsSslSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ip_testing::PrepareProcess();
    static const elavon_sim::TestPkiFiles files = host_ip_testing::MakePki("rvcs_scripted");
    pki = files;
    // Asked for on the Elavon side; it must make no difference here.
    host_ip_testing::SetVerifySslCertificate("Y");
    g_AbortEvent.Reset();
    socket = NewSocket();
  }
  void TearDown() override {
    socket.reset();
    if (server) {
      EXPECT_TRUE(server->WaitDone(kWaitMs)) << "the script did not end";
    }
    server.reset();
  }

  static std::unique_ptr<CRvcsSslSocket> NewSocket() {
    return std::make_unique<CRvcsSslSocket>(g_SspiInterface.GetFunctionTable(), g_SspiInterface.GetCredentials());
  }
  void StartServer(ScriptedTlsServer::Script script) {
    server = std::make_unique<ScriptedTlsServer>(pki.cert_file, pki.key_file);
    ASSERT_TRUE(server->Start(std::move(script)));
  }
  void ConnectWith(ScriptedTlsServer::Script script) {
    StartServer(std::move(script));
    ASSERT_TRUE(socket->Connect("localhost", server->Port(), 2000))
        << socket->GetLastErrorCode() << " " << socket->GetLastErrorText();
    ASSERT_GT(socket->GetMaximumMessage(), 0u);
  }

  elavon_sim::TestPkiFiles pki;
  std::unique_ptr<ScriptedTlsServer> server;
  std::unique_ptr<CRvcsSslSocket> socket;
};

// The service's first message may come in the same read as its last handshake
// message: it is kept and delivered by the first receive, without waiting for more.
TEST_F(RvcsSslSocketTest, DataWithTheLastHandshakeMessageIsDeliveredByTheFirstReceive) {
  const std::string challenge = Framed("0123456789ABCDEF");
  struct Case {
    const char* what;
    size_t held_back;  // bytes of the record that come 50 ms later
  };
  for (const Case& c : {Case{"the whole record", 0}, Case{"the record cut short", 10}}) {
    SCOPED_TRACE(c.what);
    socket = NewSocket();
    ConnectWith([&](ScriptedSession& s) {
      if (!s.Handshake(kWaitMs, challenge, c.held_back)) return;
      s.WaitForClientClose(kWaitMs);
    });
    std::string text = "before:";
    int count = -1;
    const auto start = SteadyClock::now();
    EXPECT_EQ(socket->ReceiveAndDecrypt(&count, text, 2000), kReceiveOk) << socket->GetLastErrorText();
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(text, "before:" + challenge) << "appended to the caller's text";
    EXPECT_EQ(count, static_cast<int>(challenge.size()));
    socket->Disconnect();
    ASSERT_TRUE(server->WaitDone(kWaitMs));
    server.reset();
  }
}

TEST_F(RvcsSslSocketTest, RecordsAreDecryptedWhateverTheirSegments) {
  const std::string first = Framed("first message");
  const std::string second = "and a second record";
  struct Case {
    const char* what;
    size_t piece;  // 0: everything in one send
  };
  for (const Case& c : {Case{"two records in one segment", 0}, Case{"three bytes a segment", 3}}) {
    SCOPED_TRACE(c.what);
    socket = NewSocket();
    std::string request;
    ConnectWith([&](ScriptedSession& s) {
      if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
      s.QueueRecord(first);
      s.QueueRecord(second);
      s.Flush(c.piece);
      s.WaitForClientClose(kWaitMs);
    });
    ASSERT_TRUE(socket->EncryptAndSend(Framed("REQ=X"))) << socket->GetLastErrorText();
    std::string text;
    for (int reads = 0; reads < 100 && text.size() < first.size() + second.size(); ++reads) {
      int count = 0;
      ASSERT_EQ(socket->ReceiveAndDecrypt(&count, text, 2000), kReceiveOk) << socket->GetLastErrorText();
      EXPECT_GT(count, 0);
    }
    EXPECT_EQ(text, first + second);
    socket->Disconnect();
    ASSERT_TRUE(server->WaitDone(kWaitMs));
    server.reset();
    EXPECT_EQ(request, Framed("REQ=X"));
  }
}

// The receive failures set their text and leave the code as it was.
TEST_F(RvcsSslSocketTest, ReceiveFailuresKeepTheCode) {
  struct Case {
    const char* what;
    int script;  // 0 silent, 1 close_notify, 2 half a record then the connection ends
    int result;
    std::string text;
  };
  const Case cases[] = {
      {"a silent server", 0, kReceiveTimedOut, "Timeout Waiting for Verifiable Packet from server  (ReceiveAndDecrypt)"},
      {"a close_notify", 1, kReceivePeerClosed, "Server Signaled End of Session. (ReceiveAndDecrypt)"},
      {"half a record, then the end", 2, kReceiveLost, "Server unexpectedly disconnected.(ReceiveAndDecrypt)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    socket = NewSocket();
    ConnectWith([&](ScriptedSession& s) {
      if (!s.Handshake(kWaitMs)) return;
      if (c.script == 0) {
        s.WaitForClientClose(kWaitMs);
      } else if (c.script == 1) {
        s.QueueCloseNotify();
        s.Flush();
        s.WaitForClientClose(kWaitMs);
      } else {
        s.QueueRecord(Framed("a message cut off"));
        const std::string bytes = TakeQueued(s);
        s.SendRaw(bytes.substr(0, bytes.size() / 2));
        s.Idle(100);
      }
    });
    socket->SetLastFailure(4321, "earlier");
    std::string text;
    int count = -1;
    const auto start = SteadyClock::now();
    EXPECT_EQ(socket->ReceiveAndDecrypt(&count, text, 400), c.result);
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(socket->GetLastErrorText(), c.text);
    EXPECT_EQ(socket->GetLastErrorCode(), 4321);
    socket->Disconnect();
    ASSERT_TRUE(server->WaitDone(kWaitMs));
    server.reset();
  }
}

// A service that sends each record's tail with the next record's head never leaves
// the receive with nothing undecrypted: the receive still ends, at the message limit,
// however much more the service would send.
TEST_F(RvcsSslSocketTest, RecordsSplitAcrossSendsEndAtTheMessageLimit) {
  constexpr size_t kRecord = 4096;
  ConnectWith([&](ScriptedSession& s) {
    if (!s.Handshake(kWaitMs)) return;
    std::string held;
    for (int i = 0; i < 4096; ++i) {  // 16 MB, unless the client stops taking them
      s.QueueRecord(std::string(kRecord, 'F'));
      const std::string record = TakeQueued(s);
      if (!s.SendRaw(held + record.substr(0, record.size() / 2))) return;
      held = record.substr(record.size() / 2);
    }
  });
  socket->SetLastFailure(4321, "earlier");
  const std::string head = "Content-Length: 999999999\r\n\r\n";
  std::string text = head;
  int count = -1;
  const auto start = SteadyClock::now();
  EXPECT_EQ(socket->ReceiveAndDecrypt(&count, text, kWaitMs), kReceiveLost);
  EXPECT_LT(MsSince(start), 3000);
  EXPECT_LE(text.size(), kRvcsMaxMessageBytes);
  EXPECT_GT(text.size(), kRvcsMaxMessageBytes - kRecord);
  EXPECT_EQ(static_cast<size_t>(count), text.size() - head.size());
  EXPECT_EQ(socket->GetLastErrorText(), "Message from server too large (more than 65536 bytes)");
  EXPECT_EQ(socket->GetLastErrorCode(), 4321);
  socket->Disconnect();
}

TEST_F(RvcsSslSocketTest, OneRecordAtMostPerSend) {
  std::string request;
  bool closed = false;
  ConnectWith([&](ScriptedSession& s) {
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    closed = s.WaitForClientClose(kWaitMs);
  });
  const uint32_t most = socket->GetMaximumMessage();
  EXPECT_FALSE(socket->EncryptAndSend(std::string(most + 1, 'x')));
  EXPECT_EQ(socket->GetLastErrorCode(), 3107);
  EXPECT_EQ(socket->GetLastErrorText(), "Message too large to Send!.");
  const std::string whole = Framed(std::string(most - 40, 'm'));
  ASSERT_LE(whole.size(), most);
  EXPECT_TRUE(socket->EncryptAndSend(whole)) << socket->GetLastErrorText();
  EXPECT_TRUE(socket->Disconnect());
  EXPECT_EQ(socket->GetMaximumMessage(), 0u);
  ASSERT_TRUE(server->WaitDone(kWaitMs));
  EXPECT_TRUE(request == whole);
  EXPECT_TRUE(closed) << "the close_notify on disconnect";
}

// A failed handshake sets only its text: the code stays the TCP connect's (9999 on a
// fresh object). The object is closed and can connect again, to the next endpoint.
TEST_F(RvcsSslSocketTest, AFailedHandshakeKeepsTheCodeAndTheObjectCanConnectAgain) {
  struct Case {
    const char* what;
    std::string bytes;  // what the server answers the ClientHello with; empty: it closes
    std::string text_start;
  };
  const Case cases[] = {
      {"the server closes", "", "Server disconnected unexpectedly."},
      {"the server is not TLS", "HTTP/1.1 400 Bad Request\r\n\r\n", "InitializeSecurityContext Failed(2) - Status = -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    socket = NewSocket();
    StartServer([&](ScriptedSession& s) {
      s.Idle(50);
      if (!c.bytes.empty()) {
        s.SendRaw(c.bytes);
        s.Idle(200);
      }
    });
    EXPECT_FALSE(socket->Connect("localhost", server->Port(), 2000));
    EXPECT_EQ(socket->GetLastErrorCode(), 9999);
    EXPECT_EQ(socket->GetLastErrorText().rfind(c.text_start, 0), 0u) << socket->GetLastErrorText();
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_EQ(socket->GetMaximumMessage(), 0u);
    ASSERT_TRUE(server->WaitDone(kWaitMs));

    std::string request;
    ConnectWith([&](ScriptedSession& s) {
      if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
      s.QueueRecord("OK");
      s.Flush();
      s.WaitForClientClose(kWaitMs);
    });
    ASSERT_TRUE(socket->EncryptAndSend(Framed("again")));
    std::string text;
    int count = 0;
    EXPECT_EQ(socket->ReceiveAndDecrypt(&count, text, 2000), kReceiveOk) << socket->GetLastErrorText();
    EXPECT_EQ(text, "OK");
    socket->Disconnect();
    ASSERT_TRUE(server->WaitDone(kWaitMs));
    server.reset();
  }
}

TEST_F(RvcsSslSocketTest, ARenegotiationAskedByTheServerIsFollowed) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    if (!s.QueueRenegotiationRequest() || !s.Flush() || !s.CompleteRenegotiation(kWaitMs)) return;
    s.QueueRecord("after");
    s.Flush();
    s.WaitForClientClose(kWaitMs);
  });
  ASSERT_TRUE(socket->EncryptAndSend(Framed("REQ=X")));
  std::string text;
  for (int reads = 0; reads < 10 && text.empty(); ++reads) {
    int count = 0;
    ASSERT_EQ(socket->ReceiveAndDecrypt(&count, text, 2000), kReceiveOk) << socket->GetLastErrorText();
  }
  EXPECT_EQ(text, "after");
}

// Bytes that follow the server's HelloRequest in the same read are the first input
// of the new handshake, never decrypted afterwards with keys they were not made
// with. Application data there is refused by the security layer during the new
// handshake, so the receive fails as a renegotiation, at once.
TEST_F(RvcsSslSocketTest, BytesLeftOverAfterAHelloRequestGoToTheHandshake) {
  ConnectWith([&](ScriptedSession& s) {
    std::string request;
    if (!s.Handshake(kWaitMs) || !s.ReadRequest(&request, kWaitMs)) return;
    if (!s.QueueRenegotiationRequest()) return;
    s.QueueRecord(Framed("parameters"));
    s.Flush();  // HelloRequest and the message in one segment
    s.CompleteRenegotiation(kWaitMs);
    s.WaitForClientClose(kWaitMs);
  });
  ASSERT_TRUE(socket->EncryptAndSend(Framed("REQ=X")));
  socket->SetLastFailure(4321, "earlier");
  std::string text;
  int count = 0;
  const auto start = SteadyClock::now();
  EXPECT_EQ(socket->ReceiveAndDecrypt(&count, text, 2000), kReceiveRenegotiateFailed);
  EXPECT_LT(MsSince(start), 1500);
  EXPECT_EQ(text, "");
  EXPECT_EQ(socket->GetLastErrorText(), "Error occured during Renegotiate attempt requested by server.");
  EXPECT_EQ(socket->GetLastErrorCode(), 4321);
}

// The time of one receive covers all its reads: a record that trickles in ends the
// call when the time is used up, as a record cut short.
TEST_F(RvcsSslSocketTest, ATrickleInsideOneRecordCannotStretchTheReceiveTime) {
  ConnectWith([&](ScriptedSession& s) {
    if (!s.Handshake(kWaitMs)) return;
    s.QueueRecord(Framed("parameters"));
    const std::string bytes = TakeQueued(s);
    for (size_t i = 0; i < bytes.size() && i < 20; ++i) {
      if (!s.SendRaw(bytes.substr(i, 1))) return;
      s.Idle(100);
    }
  });
  std::string text;
  int count = 0;
  const auto start = SteadyClock::now();
  EXPECT_EQ(socket->ReceiveAndDecrypt(&count, text, 500), kReceiveLost);
  const long waited = MsSince(start);
  EXPECT_GE(waited, 450);
  EXPECT_LT(waited, 1500);
  EXPECT_EQ(socket->GetLastErrorText(), "Server unexpectedly disconnected.(ReceiveAndDecrypt)");
  EXPECT_EQ(socket->GetLastErrorCode(), 9999);
}

// Nothing goes out on an object that has no TLS connection.
TEST_F(RvcsSslSocketTest, NothingIsSentWithoutAConnection) {
  EXPECT_EQ(socket->GetMaximumMessage(), 0u);
  EXPECT_FALSE(socket->EncryptAndSend(Framed("REQ=X")));
  EXPECT_EQ(socket->GetLastErrorCode(), 3107) << "no record size yet";
  // After a connection ended, the record size is known but the context is gone.
  ConnectWith([&](ScriptedSession& s) {
    if (!s.Handshake(kWaitMs)) return;
    s.WaitForClientClose(kWaitMs);
  });
  socket->Disconnect();
  EXPECT_FALSE(socket->EncryptAndSend(Framed("REQ=X")));
  EXPECT_EQ(socket->GetLastErrorCode(), 3012);
  EXPECT_EQ(socket->GetLastErrorText(), "Error 0x80090301 Encrypting Message.");
}

// Whatever VERIFY SSL CERTIFICATE says, the service's certificate is not checked:
// here no trust anchor knows its issuer at all.
TEST_F(RvcsSslSocketTest, TheServiceCertificateIsNeverVerified) {
  ConnectWith([&](ScriptedSession& s) {
    if (!s.Handshake(kWaitMs)) return;
    s.WaitForClientClose(kWaitMs);
  });
  EXPECT_GT(socket->GetMaximumMessage(), 0u);
}

}  // namespace
