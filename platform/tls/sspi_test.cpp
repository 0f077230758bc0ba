#include "platform/tls/sspi.h"

#include <cctype>
#include <cstring>
#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/tls/record_framer.h"
#include "platform/tls/test_peer.h"

namespace platform::tls {
namespace {

using testing::ClientCred;
using testing::kContextRequirements;
using testing::Link;
using testing::TestPki;
using testing::TestServer;
using testing::TlsClient;

// Splits a byte stream into its TLS records.
std::vector<std::string> Records(const std::string& bytes) {
  std::vector<std::string> records;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const RecordScan scan = ScanRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + pos, bytes.size() - pos);
    EXPECT_EQ(scan.kind, RecordScan::Kind::kComplete);
    if (scan.kind != RecordScan::Kind::kComplete) break;
    records.push_back(bytes.substr(pos, scan.size));
    pos += scan.size;
  }
  return records;
}

// One InitializeSecurityContextA call on an existing context over `input`, the
// way the handshake loop makes it.
struct IscResult {
  SECURITY_STATUS status;
  SecBuffer second;  // the input buffer that reports EXTRA / MISSING
  std::string token;
  ULONG attributes;
};
IscResult Continue(PSecurityFunctionTableA t, CredHandle* cred, CtxtHandle* ctx, std::string& input) {
  SecBuffer in[2] = {{static_cast<ULONG>(input.size()), SECBUFFER_TOKEN, input.data()}, {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
  IscResult r{};
  r.status = t->InitializeSecurityContextA(cred, ctx, nullptr, kContextRequirements, 0, SECURITY_NATIVE_DREP,
                                           &in_desc, 0, nullptr, &out_desc, &r.attributes, nullptr);
  r.second = in[1];
  if (out.pvBuffer != nullptr) r.token.assign(static_cast<char*>(out.pvBuffer), out.cbBuffer);
  t->FreeContextBuffer(out.pvBuffer);
  return r;
}

// The first call: a new context and its ClientHello.
IscResult Start(PSecurityFunctionTableA t, CredHandle* cred, CtxtHandle* ctx,
                ULONG requirements = kContextRequirements) {
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
  IscResult r{};
  r.status = t->InitializeSecurityContextA(cred, nullptr, "gateway.test", requirements, 0, SECURITY_NATIVE_DREP,
                                           nullptr, 0, ctx, &out_desc, &r.attributes, nullptr);
  if (out.pvBuffer != nullptr) r.token.assign(static_cast<char*>(out.pvBuffer), out.cbBuffer);
  t->FreeContextBuffer(out.pvBuffer);
  return r;
}

struct DecryptResult {
  SECURITY_STATUS status;
  SecBuffer b[4];
};
DecryptResult Decrypt(PSecurityFunctionTableA t, CtxtHandle* ctx, std::string& input) {
  DecryptResult r{};
  r.b[0] = {static_cast<ULONG>(input.size()), SECBUFFER_DATA, input.data()};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, r.b};
  r.status = t->DecryptMessage(ctx, &desc, 0, nullptr);
  return r;
}

std::string Bytes(const SecBuffer& b) { return std::string(static_cast<const char*>(b.pvBuffer), b.cbBuffer); }

TEST(SspiTable, TheChoiceAnswersTheBuiltInTable) {
  const INIT_SECURITY_INTERFACE_A init = ChooseSecurityInterface();
  ASSERT_NE(init, nullptr);
  const PSecurityFunctionTableA t = init();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t, InitSecurityInterfaceA());
  EXPECT_EQ(t->AcquireCredentialsHandleA, &AcquireCredentialsHandleA);
  EXPECT_EQ(t->FreeCredentialsHandle, &FreeCredentialsHandle);
  EXPECT_EQ(t->InitializeSecurityContextA, &InitializeSecurityContextA);
  EXPECT_EQ(t->DeleteSecurityContext, &DeleteSecurityContext);
  EXPECT_EQ(t->ApplyControlToken, &ApplyControlToken);
  EXPECT_EQ(t->QueryContextAttributesA, &QueryContextAttributesA);
  EXPECT_EQ(t->FreeContextBuffer, &FreeContextBuffer);
  EXPECT_EQ(t->EncryptMessage, &EncryptMessage);
  EXPECT_EQ(t->DecryptMessage, &DecryptMessage);
}

TEST(SspiCredentials, AcceptOnlyAnOutboundTls12ClientThatValidatesByHand) {
  struct Case {
    const char* name;
    const char* package;
    ULONG use;
    void (*edit)(SCHANNEL_CRED*);
    bool no_auth_data;
    SECURITY_STATUS expected;
  };
  const Case cases[] = {
      {"as the system asks", UNISP_NAME_A, SECPKG_CRED_OUTBOUND, nullptr, false, SEC_E_OK},
      {"short package name", "Schannel", SECPKG_CRED_OUTBOUND, nullptr, false, SEC_E_OK},
      {"protocols left to the default", UNISP_NAME_A, SECPKG_CRED_OUTBOUND,
       [](SCHANNEL_CRED* c) { c->grbitEnabledProtocols = 0; }, false, SEC_E_OK},
      {"another package", "Kerberos", SECPKG_CRED_OUTBOUND, nullptr, false, SEC_E_SECPKG_NOT_FOUND},
      {"no package", nullptr, SECPKG_CRED_OUTBOUND, nullptr, false, SEC_E_SECPKG_NOT_FOUND},
      {"inbound", UNISP_NAME_A, SECPKG_CRED_INBOUND, nullptr, false, SEC_E_NO_CREDENTIALS},
      {"no authentication data", UNISP_NAME_A, SECPKG_CRED_OUTBOUND, nullptr, true, SEC_E_UNKNOWN_CREDENTIALS},
      {"old structure version", UNISP_NAME_A, SECPKG_CRED_OUTBOUND,
       [](SCHANNEL_CRED* c) { c->dwVersion = 3; }, false, SEC_E_UNKNOWN_CREDENTIALS},
      {"automatic validation", UNISP_NAME_A, SECPKG_CRED_OUTBOUND,
       [](SCHANNEL_CRED* c) { c->dwFlags = SCH_CRED_NO_DEFAULT_CREDS; }, false, SEC_E_UNKNOWN_CREDENTIALS},
      {"a client certificate", UNISP_NAME_A, SECPKG_CRED_OUTBOUND, [](SCHANNEL_CRED* c) { c->cCreds = 1; }, false,
       SEC_E_UNKNOWN_CREDENTIALS},
      {"TLS 1.0 only", UNISP_NAME_A, SECPKG_CRED_OUTBOUND,
       [](SCHANNEL_CRED* c) { c->grbitEnabledProtocols = 0x80; }, false, SEC_E_ALGORITHM_MISMATCH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SCHANNEL_CRED cred = ClientCred();
    if (c.edit) c.edit(&cred);
    CredHandle handle{};
    TimeStamp expiry{};
    EXPECT_EQ(AcquireCredentialsHandleA(nullptr, c.package, c.use, nullptr, c.no_auth_data ? nullptr : &cred, nullptr,
                                        nullptr, &handle, &expiry),
              c.expected);
    if (c.expected == SEC_E_OK) {
      EXPECT_EQ(FreeCredentialsHandle(&handle), SEC_E_OK);
      EXPECT_EQ(FreeCredentialsHandle(&handle), SEC_E_INVALID_HANDLE);
    }
  }
}

// Handshake and exchange for each kind of record protection, with the server's
// bytes arriving whole or in small pieces.
class SspiExchange : public ::testing::TestWithParam<std::tuple<const char*, size_t>> {};

struct CipherSizes {
  const char* cipher;
  ULONG header;
  ULONG trailer;
};
const CipherSizes kCiphers[] = {
    {"ECDHE-ECDSA-AES128-GCM-SHA256", 13, 16}, {"ECDHE-ECDSA-AES256-GCM-SHA384", 13, 16},
    {"ECDHE-ECDSA-CHACHA20-POLY1305", 5, 16},  {"ECDHE-ECDSA-AES128-SHA256", 21, 48},
    {"ECDHE-ECDSA-AES256-SHA384", 21, 64},     {"ECDHE-ECDSA-AES128-SHA", 21, 36},
};

TEST_P(SspiExchange, HandshakeSizesAndDataBothWays) {
  const auto [cipher, chunk] = GetParam();
  const CipherSizes* expected = nullptr;
  for (const auto& c : kCiphers) {
    if (std::strcmp(c.cipher, cipher) == 0) expected = &c;
  }
  ASSERT_NE(expected, nullptr);
  TestPki pki;
  TestServer::Options options;
  options.ciphers = cipher;
  TestServer server(pki.server.get(), pki.server_key.get(), {}, options);
  Link link(&server, chunk);
  TlsClient client(&link, "gateway.test");
  ASSERT_TRUE(client.Handshake()) << std::hex << client.last_status();
  ASSERT_TRUE(server.handshake_done());
  EXPECT_STREQ(SSL_get_cipher_name(server.ssl()), cipher);
  EXPECT_STREQ(SSL_get_version(server.ssl()), "TLSv1.2");
  EXPECT_STREQ(SSL_get_servername(server.ssl(), TLSEXT_NAMETYPE_host_name), "gateway.test");

  const SecPkgContext_StreamSizes& sizes = client.sizes();
  EXPECT_EQ(sizes.cbHeader, expected->header);
  EXPECT_EQ(sizes.cbTrailer, expected->trailer);
  EXPECT_EQ(sizes.cbMaximumMessage, 16384u);
  EXPECT_EQ(sizes.cBuffers, 4u);

  // Client to server: a short message, then one of the largest size.
  const std::string request = "POST /gateway HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
  std::string largest(sizes.cbMaximumMessage, '\0');
  for (size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<char>(i % 251);
  ASSERT_TRUE(client.EncryptAndSend(request));
  ASSERT_TRUE(client.EncryptAndSend(largest));
  EXPECT_FALSE(server.failed());
  EXPECT_TRUE(server.received() == request + largest);

  // Server to client: three records sent at once.
  const std::string reply = "HTTP/1.1 200 OK\r\n\r\n";
  server.Write(reply);
  server.Write(largest);
  server.Write("end");
  const std::string all = reply + largest + "end";
  std::string got;
  int result = client.ReceiveAndDecrypt(&got);
  EXPECT_EQ(result, 0);
  if (chunk >= 0x10000) {
    EXPECT_TRUE(got == all) << "one call takes every record of one read";
  }
  // Pieces can end exactly on a record boundary: then a call returns early.
  for (int i = 0; i < 20000 && result == 0 && got.size() < all.size(); ++i) result = client.ReceiveAndDecrypt(&got);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(got == all) << got.size() << " of " << all.size();
  EXPECT_EQ(client.ReceiveAndDecrypt(&got), 3) << "nothing more to receive";
}

INSTANTIATE_TEST_SUITE_P(Ciphers, SspiExchange,
                         ::testing::Combine(::testing::Values(kCiphers[0].cipher, kCiphers[1].cipher,
                                                              kCiphers[2].cipher, kCiphers[3].cipher,
                                                              kCiphers[4].cipher, kCiphers[5].cipher),
                                            ::testing::Values(size_t{0x10000}, size_t{7}, size_t{1})),
                         [](const ::testing::TestParamInfo<SspiExchange::ParamType>& info) {
                           std::string name;
                           for (const char* p = std::get<0>(info.param); *p; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           }
                           return name + "_by" + std::to_string(std::get<1>(info.param));
                         });

// A client context whose ClientHello the server has answered; `flight` holds the
// server's answer as records.
class SspiFraming : public ::testing::Test {
 protected:
  void SetUp() override {
    t_ = InitSecurityInterfaceA();
    SCHANNEL_CRED cred = ClientCred();
    ASSERT_EQ(t_->AcquireCredentialsHandleA(nullptr, UNISP_NAME_A, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                            nullptr, &cred_, nullptr),
              SEC_E_OK);
    const IscResult hello = Start(t_, &cred_, &ctx_);
    ASSERT_EQ(hello.status, SEC_I_CONTINUE_NEEDED);
    ASSERT_FALSE(hello.token.empty());
    server_.Receive(hello.token.data(), hello.token.size());
    flight_ = Records(server_.TakeOutput());
    ASSERT_GE(flight_.size(), 3u) << "ServerHello, Certificate, ... in records of their own";
  }
  void TearDown() override {
    DeleteSecurityContext(&ctx_);
    FreeCredentialsHandle(&cred_);
  }

  // Finishes the handshake from where the flight left off and returns its last
  // status; application data the server sends at once lands in `after`.
  SECURITY_STATUS Finish(std::string rest) {
    IscResult r = Continue(t_, &cred_, &ctx_, rest);
    if (r.status != SEC_I_CONTINUE_NEEDED) return r.status;
    server_.Receive(r.token.data(), r.token.size());
    std::string answer = server_.TakeOutput();
    r = Continue(t_, &cred_, &ctx_, answer);
    return r.status;
  }

  TestPki pki_;
  TestServer server_{pki_.server.get(), pki_.server_key.get()};
  PSecurityFunctionTableA t_ = nullptr;
  CredHandle cred_{};
  CtxtHandle ctx_{};
  std::vector<std::string> flight_;
};

TEST_F(SspiFraming, HandshakeInputIsTakenInWholeRecordsOnly) {
  const std::string& first = flight_[0];
  std::string input = first.substr(0, 3);
  IscResult r = Continue(t_, &cred_, &ctx_, input);
  EXPECT_EQ(r.status, SEC_E_INCOMPLETE_MESSAGE) << "incomplete header";
  EXPECT_EQ(r.second.BufferType, SECBUFFER_MISSING);
  EXPECT_EQ(r.second.cbBuffer, 2u);
  EXPECT_TRUE(r.token.empty());

  input = first.substr(0, first.size() - 1);
  r = Continue(t_, &cred_, &ctx_, input);
  EXPECT_EQ(r.status, SEC_E_INCOMPLETE_MESSAGE) << "incomplete body";
  EXPECT_EQ(r.second.BufferType, SECBUFFER_MISSING);
  EXPECT_EQ(r.second.cbBuffer, 1u);

  // Nothing was consumed: the whole record is still wanted, and taken whole.
  input = first;
  r = Continue(t_, &cred_, &ctx_, input);
  EXPECT_EQ(r.status, SEC_I_CONTINUE_NEEDED) << "exactly one record";
  EXPECT_EQ(r.second.BufferType, SECBUFFER_EMPTY);
  EXPECT_TRUE(r.token.empty());

  const std::string& third = flight_[2];
  input = flight_[1] + third.substr(0, third.size() / 2);
  r = Continue(t_, &cred_, &ctx_, input);
  EXPECT_EQ(r.status, SEC_I_CONTINUE_NEEDED) << "one and a half records";
  ASSERT_EQ(r.second.BufferType, SECBUFFER_EXTRA);
  ASSERT_EQ(r.second.cbBuffer, third.size() / 2);
  EXPECT_EQ(r.second.pvBuffer, input.data() + flight_[1].size());

  // The half record, kept by the caller, is completed by the rest of the flight.
  std::string rest = third;
  for (size_t i = 3; i < flight_.size(); ++i) rest += flight_[i];
  EXPECT_EQ(Finish(rest), SEC_E_OK);
  EXPECT_TRUE(server_.handshake_done());
}

TEST_F(SspiFraming, DecryptTakesOneRecordAtATime) {
  std::string rest;
  for (size_t i = 0; i < flight_.size(); ++i) rest += flight_[i];
  ASSERT_EQ(Finish(rest), SEC_E_OK);
  server_.Write("alpha");
  server_.Write("beta-gamma");
  const std::vector<std::string> records = Records(server_.TakeOutput());
  ASSERT_EQ(records.size(), 2u);
  const std::string& first = records[0];
  const std::string& second = records[1];

  std::string input = first.substr(0, 3);
  DecryptResult r = Decrypt(t_, &ctx_, input);
  EXPECT_EQ(r.status, SEC_E_INCOMPLETE_MESSAGE) << "incomplete header";
  EXPECT_EQ(r.b[1].BufferType, SECBUFFER_MISSING);
  EXPECT_EQ(r.b[1].cbBuffer, 2u);

  input = first.substr(0, first.size() - 4);
  r = Decrypt(t_, &ctx_, input);
  EXPECT_EQ(r.status, SEC_E_INCOMPLETE_MESSAGE) << "incomplete body";
  EXPECT_EQ(r.b[1].cbBuffer, 4u);

  input = first + second.substr(0, second.size() / 2);
  r = Decrypt(t_, &ctx_, input);
  ASSERT_EQ(r.status, SEC_E_OK) << "one and a half records";
  EXPECT_EQ(r.b[0].BufferType, SECBUFFER_STREAM_HEADER);
  EXPECT_EQ(r.b[1].BufferType, SECBUFFER_DATA);
  EXPECT_EQ(Bytes(r.b[1]), "alpha");
  EXPECT_EQ(r.b[2].BufferType, SECBUFFER_STREAM_TRAILER);
  EXPECT_EQ(r.b[0].cbBuffer + r.b[1].cbBuffer + r.b[2].cbBuffer, first.size());
  ASSERT_EQ(r.b[3].BufferType, SECBUFFER_EXTRA);
  EXPECT_EQ(r.b[3].cbBuffer, second.size() / 2);
  EXPECT_EQ(r.b[3].pvBuffer, input.data() + first.size());

  input = second.substr(0, second.size() / 2);
  r = Decrypt(t_, &ctx_, input);
  EXPECT_EQ(r.status, SEC_E_INCOMPLETE_MESSAGE) << "the half kept by the caller";

  input = second;
  r = Decrypt(t_, &ctx_, input);
  ASSERT_EQ(r.status, SEC_E_OK) << "exactly one record";
  EXPECT_EQ(Bytes(r.b[1]), "beta-gamma");
  EXPECT_EQ(r.b[3].BufferType, SECBUFFER_EMPTY);
}

TEST_F(SspiFraming, MalformedInputFailsTheHandshake) {
  std::string input = "HTTP/1.1 400 Bad Request\r\n\r\n";
  IscResult r = Continue(t_, &cred_, &ctx_, input);
  EXPECT_EQ(r.status, SEC_E_ILLEGAL_MESSAGE);
  std::string rest = flight_[0];
  r = Continue(t_, &cred_, &ctx_, rest);
  EXPECT_EQ(r.status, SEC_E_ILLEGAL_MESSAGE) << "the context stays failed";
}

TEST(SspiHandshake, ApplicationDataWithTheLastHandshakeMessageComesBackAsExtra) {
  TestPki pki;
  TestServer::Options options;
  options.greeting = "welcome";
  TestServer server(pki.server.get(), pki.server_key.get(), {}, options);
  Link link(&server, 0x10000);
  TlsClient client(&link, "gateway.test");
  ASSERT_TRUE(client.Handshake()) << std::hex << client.last_status();
  EXPECT_GT(client.handshake_extra(), 0u);
  std::string got;
  EXPECT_EQ(client.ReceiveAndDecrypt(&got), 0);
  EXPECT_EQ(got, "welcome");
}

TEST(SspiHandshake, AnAlertFromTheServerFailsTheHandshake) {
  TestPki pki;
  TestServer::Options options;
  options.min_version = options.max_version = TLS1_3_VERSION;  // no TLS 1.2 to agree on
  TestServer server(pki.server.get(), pki.server_key.get(), {}, options);
  Link link(&server, 0x10000);
  TlsClient client(&link, "gateway.test");
  EXPECT_FALSE(client.Handshake());
  EXPECT_TRUE(FAILED(client.last_status())) << std::hex << client.last_status();
  EXPECT_NE(client.last_status(), SEC_E_INTERNAL_ERROR) << "the alert arrived and was understood";
}

TEST(SspiRenegotiation, TheServersRequestIsAnsweredByTheHandshakeLoop) {
  TestPki pki;
  TestServer server(pki.server.get(), pki.server_key.get());
  Link link(&server, 0x10000);
  TlsClient client(&link, "gateway.test");
  ASSERT_TRUE(client.Handshake());
  const std::string first_hello = server.client_random();

  // Application data, then the HelloRequest, in one read.
  server.Write("before");
  server.RequestRenegotiation();
  std::string got;
  EXPECT_EQ(client.ReceiveAndDecrypt(&got), 3) << "renegotiated, then nothing more to read";
  EXPECT_EQ(got, "before");
  EXPECT_NE(server.client_random(), first_hello) << "a new handshake took place";
  EXPECT_TRUE(server.handshake_done());
  EXPECT_FALSE(server.failed());

  // The new keys carry data both ways.
  ASSERT_TRUE(client.EncryptAndSend("after"));
  EXPECT_EQ(server.received(), "after");
  server.Write("reply");
  got.clear();
  EXPECT_EQ(client.ReceiveAndDecrypt(&got), 0);
  EXPECT_EQ(got, "reply");
}

TEST(SspiRenegotiation, DecryptReportsTheRequest) {
  TestPki pki;
  TestServer server(pki.server.get(), pki.server_key.get());
  Link link(&server, 0x10000);
  TlsClient client(&link, "gateway.test");
  ASSERT_TRUE(client.Handshake());
  const std::string first_hello = server.client_random();
  server.RequestRenegotiation();
  link.Collect();
  std::string input = link.waiting();
  link.waiting().clear();
  const DecryptResult r = Decrypt(client.table(), &client.context(), input);
  EXPECT_EQ(r.status, SEC_I_RENEGOTIATE);
  EXPECT_EQ(r.b[1].BufferType, SECBUFFER_DATA);
  EXPECT_EQ(r.b[1].cbBuffer, 0u);
  // Until the new handshake is done the context carries no data.
  std::string more = "x";
  EXPECT_EQ(Decrypt(client.table(), &client.context(), more).status, SEC_E_INVALID_HANDLE);
  std::string extra;
  EXPECT_EQ(client.HandshakeLoop(false, &extra), SEC_E_OK);
  EXPECT_NE(server.client_random(), first_hello);
  EXPECT_TRUE(extra.empty());
}

TEST(SspiClose, CloseNotifyFromTheServerExpiresTheContext) {
  TestPki pki;
  TestServer server(pki.server.get(), pki.server_key.get());
  Link link(&server, 0x10000);
  TlsClient client(&link, "gateway.test");
  ASSERT_TRUE(client.Handshake());
  server.Write("last words");
  server.SendCloseNotify();
  std::string got;
  EXPECT_EQ(client.ReceiveAndDecrypt(&got), 4);
  EXPECT_EQ(client.last_status(), SEC_I_CONTEXT_EXPIRED);
  EXPECT_EQ(got, "last words");

  std::string more = "x";
  EXPECT_EQ(Decrypt(client.table(), &client.context(), more).status, SEC_E_CONTEXT_EXPIRED);
  EXPECT_FALSE(client.EncryptAndSend("too late"));
  EXPECT_EQ(client.last_status(), SEC_E_CONTEXT_EXPIRED);
  // Our own close_notify still answers the server's.
  EXPECT_TRUE(client.Shutdown());
  EXPECT_TRUE(server.got_close_notify());
}

TEST(SspiClose, ShutdownSendsACloseNotify) {
  TestPki pki;
  TestServer server(pki.server.get(), pki.server_key.get());
  Link link(&server, 0x10000);
  TlsClient client(&link, "gateway.test");
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.EncryptAndSend("request"));
  ASSERT_TRUE(client.Shutdown());
  EXPECT_EQ(client.last_status(), SEC_E_OK);
  EXPECT_TRUE(server.got_close_notify());
  EXPECT_EQ(server.received(), "request");
  EXPECT_FALSE(client.EncryptAndSend("after close"));
  EXPECT_EQ(client.last_status(), SEC_E_CONTEXT_EXPIRED);
}

// Calls that a client could get wrong, on a context that is up.
class SspiCalls : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(client_.Handshake()); }
  TestPki pki_;
  TestServer server_{pki_.server.get(), pki_.server_key.get()};
  Link link_{&server_, 0x10000};
  TlsClient client_{&link_, "gateway.test"};
};

TEST_F(SspiCalls, EncryptMessageChecksItsBuffers) {
  const SecPkgContext_StreamSizes s = client_.sizes();
  std::vector<char> header(s.cbHeader), trailer(s.cbTrailer);
  std::string data(s.cbMaximumMessage + 1, 'd');
  SecBuffer b[4] = {{s.cbHeader, SECBUFFER_STREAM_HEADER, header.data()},
                    {static_cast<ULONG>(data.size()), SECBUFFER_DATA, data.data()},
                    {s.cbTrailer, SECBUFFER_STREAM_TRAILER, trailer.data()},
                    {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
  EXPECT_EQ(EncryptMessage(&client_.context(), 0, &desc, 0), SEC_E_INVALID_PARAMETER) << "longer than one record";
  b[1].cbBuffer = 0;
  EXPECT_EQ(EncryptMessage(&client_.context(), 0, &desc, 0), SEC_E_INVALID_PARAMETER) << "empty";
  b[1].cbBuffer = 10;
  b[2].cbBuffer = s.cbTrailer - 1;
  EXPECT_EQ(EncryptMessage(&client_.context(), 0, &desc, 0), SEC_E_BUFFER_TOO_SMALL) << "short trailer";
  b[2].cbBuffer = s.cbTrailer;
  b[0].cbBuffer = s.cbHeader - 1;
  EXPECT_EQ(EncryptMessage(&client_.context(), 0, &desc, 0), SEC_E_BUFFER_TOO_SMALL) << "short header";
  b[0].cbBuffer = s.cbHeader;
  b[2].BufferType = SECBUFFER_EMPTY;
  EXPECT_EQ(EncryptMessage(&client_.context(), 0, &desc, 0), SEC_E_INVALID_TOKEN) << "no trailer";
  b[2].BufferType = SECBUFFER_STREAM_TRAILER;
  ASSERT_EQ(EncryptMessage(&client_.context(), 0, &desc, 0), SEC_E_OK);
  EXPECT_EQ(b[0].cbBuffer, s.cbHeader);
  EXPECT_LE(b[2].cbBuffer, s.cbTrailer);
  const std::string record = std::string(header.data(), b[0].cbBuffer) + std::string(data.data(), 10) +
                             std::string(trailer.data(), b[2].cbBuffer);
  server_.Receive(record.data(), record.size());
  EXPECT_EQ(server_.received(), std::string(10, 'd'));
}

TEST_F(SspiCalls, UnknownHandlesAttributesAndTokensAreRefused) {
  CtxtHandle stale = client_.context();
  stale.dwLower += 1000;
  std::string input = "x";
  EXPECT_EQ(Decrypt(client_.table(), &stale, input).status, SEC_E_INVALID_HANDLE);
  SecPkgContext_StreamSizes sizes;
  EXPECT_EQ(QueryContextAttributesA(&stale, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(QueryContextAttributesA(&client_.context(), 0x1234, &sizes), SEC_E_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(DeleteSecurityContext(&stale), SEC_E_INVALID_HANDLE);

  DWORD other = 2;
  SecBuffer token{sizeof other, SECBUFFER_TOKEN, &other};
  SecBufferDesc token_desc{SECBUFFER_VERSION, 1, &token};
  EXPECT_EQ(ApplyControlToken(&client_.context(), &token_desc), SEC_E_UNSUPPORTED_FUNCTION);
  token.cbBuffer = 2;
  EXPECT_EQ(ApplyControlToken(&client_.context(), &token_desc), SEC_E_INVALID_TOKEN);

  // A new context needs memory allocated by the layer.
  CtxtHandle fresh{};
  EXPECT_EQ(Start(client_.table(), &client_.credentials(), &fresh, kContextRequirements & ~ISC_REQ_ALLOCATE_MEMORY)
                .status,
            SEC_E_UNSUPPORTED_FUNCTION);
  CredHandle no_credentials{};
  EXPECT_EQ(Start(client_.table(), &no_credentials, &fresh).status, SEC_E_INVALID_HANDLE);
}

TEST(SspiContext, OneSetOfCredentialsServesConnectionsOnSeveralThreads) {
  TestPki pki;
  SCHANNEL_CRED cred = ClientCred();
  CredHandle shared{};
  ASSERT_EQ(AcquireCredentialsHandleA(nullptr, UNISP_NAME_A, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr,
                                      &shared, nullptr),
            SEC_E_OK);
  constexpr int kThreads = 4;
  std::atomic<int> exchanged{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&pki, &shared, &exchanged, i] {
      TestServer server(pki.server.get(), pki.server_key.get());
      Link link(&server, 64 + static_cast<size_t>(i));
      TlsClient client(&link, "gateway.test", &shared);
      for (int round = 0; round < 3; ++round) {
        if (round == 0 && !client.Handshake()) return;
        const std::string message = "thread " + std::to_string(i) + " round " + std::to_string(round);
        if (!client.EncryptAndSend(message)) return;
        server.Write(message);
        std::string got;
        while (got.size() < message.size() && client.ReceiveAndDecrypt(&got) == 0) {
        }
        if (got != message) return;
      }
      if (server.received().size() > 0) ++exchanged;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(exchanged.load(), kThreads);
  EXPECT_EQ(FreeCredentialsHandle(&shared), SEC_E_OK);
}

TEST(SspiContext, NothingButTheHandshakeBeforeItIsDone) {
  PSecurityFunctionTableA t = InitSecurityInterfaceA();
  SCHANNEL_CRED cred = ClientCred();
  CredHandle creds{};
  ASSERT_EQ(AcquireCredentialsHandleA(nullptr, UNISP_NAME_A, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr,
                                      &creds, nullptr),
            SEC_E_OK);
  CtxtHandle ctx{};
  const IscResult hello = Start(t, &creds, &ctx);
  ASSERT_EQ(hello.status, SEC_I_CONTINUE_NEEDED);
  EXPECT_EQ(hello.attributes & ISC_RET_ALLOCATED_MEMORY, ISC_RET_ALLOCATED_MEMORY);
  EXPECT_EQ(hello.attributes & ISC_RET_EXTENDED_ERROR, ISC_RET_EXTENDED_ERROR);
  SecPkgContext_StreamSizes sizes;
  EXPECT_EQ(QueryContextAttributesA(&ctx, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_INVALID_HANDLE);
  std::string input = "x";
  EXPECT_EQ(Decrypt(t, &ctx, input).status, SEC_E_INVALID_HANDLE);
  // Credentials freed while the context lives: the context keeps working.
  EXPECT_EQ(FreeCredentialsHandle(&creds), SEC_E_OK);
  std::string empty;
  EXPECT_EQ(Continue(t, &creds, &ctx, empty).status, SEC_E_INCOMPLETE_MESSAGE);
  EXPECT_EQ(DeleteSecurityContext(&ctx), SEC_E_OK);
  EXPECT_EQ(DeleteSecurityContext(&ctx), SEC_E_INVALID_HANDLE);
}

}  // namespace
}  // namespace platform::tls
