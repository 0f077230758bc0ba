// Test support for the TLS layer: certificates made at test time with OpenSSL's C
// API, an OpenSSL TLS server that lives in memory, a link that carries bytes between
// it and a client in chunks of a chosen size, and a client that drives the SSPI
// functions the way a TLS client socket does (handshake loop, record sizing,
// encrypt-and-send, receive-and-decrypt with renegotiation, orderly close).
// Single-threaded: everything runs on the test's thread.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/tls/cert.h"
#include "platform/tls/sspi.h"

namespace platform::tls::testing {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

PkeyPtr MakeKey();  // EC P-256

struct CertSpec {
  std::string common_name = "gateway.test";
  std::vector<std::string> alt_names = {"DNS:gateway.test"};  // subjectAltName entries
  bool is_ca = false;
  long valid_from_s = -3600;      // relative to now
  long valid_until_s = 30 * 86400;
  std::string usage = "serverAuth";  // extendedKeyUsage; empty for none
  long serial = 1;
};
// Signed by issuer/issuer_key, or self-signed when issuer is null.
X509Ptr MakeCert(const CertSpec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key);
std::string Der(X509* cert);
// A CRL from issuer listing the given serial numbers.
std::string CrlPem(X509* issuer, EVP_PKEY* issuer_key, const std::vector<long>& revoked_serials);

// Points SSL_CERT_FILE at a file of the given PEM texts (certificates and CRLs) and
// SSL_CERT_DIR at an empty folder, for the object's lifetime.
class TrustAnchors {
 public:
  explicit TrustAnchors(const std::vector<std::string>& pems);
  TrustAnchors(const TrustAnchors&) = delete;
  TrustAnchors& operator=(const TrustAnchors&) = delete;
  ~TrustAnchors();
};
std::string Pem(X509* cert);

// A CA, an intermediate-free server certificate for "gateway.test" and its key.
struct TestPki {
  TestPki();
  PkeyPtr ca_key, server_key;
  X509Ptr ca, server;
};

// An OpenSSL TLS server held between memory BIOs.
class TestServer {
 public:
  struct Options {
    std::string ciphers;          // TLS 1.2 cipher list; empty: OpenSSL's default
    int min_version = TLS1_2_VERSION;
    int max_version = TLS1_2_VERSION;
    std::string greeting;  // application data sent right after the first handshake
  };
  TestServer(X509* cert, EVP_PKEY* key, const std::vector<X509*>& chain, const Options& options);
  TestServer(X509* cert, EVP_PKEY* key) : TestServer(cert, key, {}, Options()) {}
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  ~TestServer();

  // Bytes from the client; runs the handshake or reads application data.
  void Receive(const void* data, size_t length);
  // Bytes for the client that the server has produced so far.
  std::string TakeOutput();
  // Application data: one record per call (at most 16384 bytes).
  void Write(const std::string& plain);
  void RequestRenegotiation();
  void SendCloseNotify();

  bool handshake_done() const { return SSL_is_init_finished(ssl_) == 1; }
  const std::string& received() const { return received_; }
  bool got_close_notify() const { return got_close_notify_; }
  // The client's random of the latest handshake: it changes with every new one.
  std::string client_random() const;
  bool failed() const { return failed_; }
  SSL* ssl() const { return ssl_; }

 private:
  void Pump();
  static void OnInfo(const SSL* ssl, int where, int ret);

  std::string greeting_;
  int handshakes_ = 0;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  std::string received_;
  bool got_close_notify_ = false;
  bool failed_ = false;
};

// The client's socket: sends reach the server at once; each receive takes at most
// `chunk` bytes of what the server has sent, and 0 when nothing is waiting (what a
// time-out or a closed connection gives).
class Link {
 public:
  Link(TestServer* server, size_t chunk) : server_(server), chunk_(chunk) {}
  int Send(const void* data, size_t length);
  int Receive(void* buffer, size_t size);
  // Collects what the server has produced without handing it to the client.
  void Collect();
  std::string& waiting() { return waiting_; }

 private:
  TestServer* server_;
  size_t chunk_;
  std::string waiting_;
};

// Drives the SSPI function table over a Link the way the system's TLS clients do.
class TlsClient {
 public:
  // With `shared` the client uses those credentials (not its own).
  TlsClient(Link* link, std::string host, const CredHandle* shared = nullptr);
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;
  ~TlsClient();

  bool Handshake();  // first token, handshake loop, record sizes
  // The loop over received records until SEC_E_OK; extra application data in *extra.
  SECURITY_STATUS HandshakeLoop(bool read_first, std::string* extra);
  bool EncryptAndSend(const std::string& data);
  // 0 ok, 2 lost connection, 3 nothing received, 4 close_notify, 5 renegotiation
  // failed, 6 DecryptMessage error (status in last_status()).
  int ReceiveAndDecrypt(std::string* out, const std::string& pending = std::string());
  bool Shutdown();
  // The certificate check of a client that validates by hand: the chain for server
  // authentication (or a server-gated-cryptography usage), then the SSL policy
  // with the host name. Returns the policy's dwError (0 when it passes), or
  // 0xFFFFFFFF when one of the calls failed.
  DWORD VerifyServerCertificate(const std::string& name);

  CtxtHandle& context() { return context_; }
  CredHandle& credentials() { return credentials_; }
  const SecPkgContext_StreamSizes& sizes() const { return sizes_; }
  SECURITY_STATUS last_status() const { return last_status_; }
  // Bytes the last Handshake got back as SECBUFFER_EXTRA with SEC_E_OK.
  size_t handshake_extra() const { return handshake_extra_; }
  PSecurityFunctionTableA table() const { return table_; }

 private:
  Link* link_;
  std::string host_;
  PSecurityFunctionTableA table_;
  CredHandle credentials_{};
  bool own_credentials_ = false;
  CtxtHandle context_{};
  bool context_created_ = false;
  SecPkgContext_StreamSizes sizes_{};
  SECURITY_STATUS last_status_ = SEC_E_OK;
  size_t handshake_extra_ = 0;
};

inline constexpr ULONG kContextRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                              ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                              ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;

// The SCHANNEL_CRED of an outbound TLS 1.2 client that validates by hand.
SCHANNEL_CRED ClientCred();

}  // namespace platform::tls::testing
