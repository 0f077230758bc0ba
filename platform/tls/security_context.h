// One TLS client connection held between two memory BIOs: the bytes that arrive from
// the server are handed in whole records at a time, and what the client must send
// comes back as bytes. This is the engine under the SSPI functions of sspi.h; it
// knows nothing of SecBuffers.
//
// Records: the caller's bytes are framed here (record_framer.h) and only whole
// records reach OpenSSL, one at a time, so the caller always knows exactly how many
// of its bytes were used; the rest is theirs to keep (SECBUFFER_EXTRA).
//
// Lock: every public member takes the object's own mutex for its whole length; no
// other lock is taken while it is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync/mutex.h"
#include "platform/tls/sspi.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;
typedef struct x509_st X509;

namespace platform::tls {

class ClientCredentials;

class SecurityContext {
 public:
  // A client for `target` (sent as the server name unless empty or an IP address).
  // Null when OpenSSL cannot make the connection object.
  static std::unique_ptr<SecurityContext> Create(std::shared_ptr<ClientCredentials> credentials,
                                                 const std::string& target);
  SecurityContext(const SecurityContext&) = delete;
  SecurityContext& operator=(const SecurityContext&) = delete;
  ~SecurityContext();

  struct HandshakeStep {
    SECURITY_STATUS status = SEC_E_OK;
    size_t consumed = 0;  // input bytes used: whole records only
    size_t missing = 0;   // with SEC_E_INCOMPLETE_MESSAGE: bytes still needed at least
    std::string output;   // bytes for the server (also an alert after a failure)
  };
  // One step of the handshake (or of a renegotiation the server asked for). The
  // first call takes no input and yields the ClientHello. Statuses:
  // SEC_I_CONTINUE_NEEDED (more from the server is needed), SEC_E_OK (done),
  // SEC_E_INCOMPLETE_MESSAGE (no whole record and nothing to send: nothing used), a
  // failure (the context is dead). After RequestShutdown the step yields the
  // close_notify instead (SEC_E_OK). On an established context it does nothing.
  HandshakeStep Handshake(const uint8_t* input, size_t length) EXCLUDES(mu_);

  // The next Handshake call ends the connection with a close_notify.
  void RequestShutdown() EXCLUDES(mu_);

  struct DecryptStep {
    SECURITY_STATUS status = SEC_E_OK;
    size_t record_size = 0;   // bytes of the record taken from the input
    size_t missing = 0;       // with SEC_E_INCOMPLETE_MESSAGE
    size_t plain_offset = 0;  // where the plain bytes now sit in the input
    size_t plain_size = 0;
  };
  // Decrypts the first record of data[0..length) in place. SEC_E_OK (application
  // data, possibly none), SEC_I_RENEGOTIATE (the server asked for a new handshake:
  // continue with Handshake), SEC_I_CONTEXT_EXPIRED (close_notify),
  // SEC_E_INCOMPLETE_MESSAGE (nothing used), or a failure.
  DecryptStep Decrypt(uint8_t* data, size_t length) EXCLUDES(mu_);

  // Encrypts 1..cbMaximumMessage bytes into exactly one record, whose first cbHeader
  // bytes are the header part and whose last (size - cbHeader - length) bytes, at
  // most cbTrailer, are the trailer part.
  SECURITY_STATUS Encrypt(const uint8_t* plain, size_t length, std::string* record) EXCLUDES(mu_);

  // The record sizes of the negotiated cipher.
  SECURITY_STATUS StreamSizes(SecPkgContext_StreamSizes* sizes) EXCLUDES(mu_);

  // The server's certificate first, then the rest of the chain it sent; each entry
  // holds a reference that the caller releases (X509_free).
  SECURITY_STATUS PeerCertificates(std::vector<X509*>* chain) EXCLUDES(mu_);

 private:
  enum class State {
    kHandshaking,    // first handshake under way
    kEstablished,    // application data flows
    kRenegotiating,  // the server asked for a new handshake
    kClosed,         // our close_notify was produced
    kPeerClosed,     // the server's close_notify arrived
    kFailed,         // a fatal error; failure_ says which
  };

  SecurityContext(std::shared_ptr<ClientCredentials> credentials, SSL* ssl, BIO* in, BIO* out);
  HandshakeStep ShutdownStep() REQUIRES(mu_);
  void Fail(SECURITY_STATUS status) REQUIRES(mu_);
  std::string TakeOutput() REQUIRES(mu_);
  bool HandshakeDoneOnce() const REQUIRES(mu_) { return sizes_.cbMaximumMessage != 0; }

  platform::Mutex mu_;
  const std::shared_ptr<ClientCredentials> credentials_;  // keeps the SSL_CTX alive
  SSL* const ssl_ PT_GUARDED_BY(mu_);
  BIO* const in_ PT_GUARDED_BY(mu_);   // server -> OpenSSL, owned by ssl_
  BIO* const out_ PT_GUARDED_BY(mu_);  // OpenSSL -> server, owned by ssl_
  State state_ GUARDED_BY(mu_) = State::kHandshaking;
  bool started_ GUARDED_BY(mu_) = false;
  bool shutdown_requested_ GUARDED_BY(mu_) = false;
  SECURITY_STATUS failure_ GUARDED_BY(mu_) = SEC_E_OK;
  SecPkgContext_StreamSizes sizes_ GUARDED_BY(mu_){};
  std::vector<uint8_t> plain_ GUARDED_BY(mu_);  // room for one record's plain text
};

// The record sizes of the cipher that ssl has negotiated; false when none is known.
bool ComputeStreamSizes(const SSL* ssl, SecPkgContext_StreamSizes* sizes);

}  // namespace platform::tls
