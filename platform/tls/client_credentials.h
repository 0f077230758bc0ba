// Outbound TLS client settings shared by every security context made from them: an
// OpenSSL client context for TLS 1.2 only, with no client certificate, no automatic
// check of the server's certificate (callers check it by hand, see cert.h), and
// secure renegotiation only: a legacy server (no RFC 5746 support) can be connected
// to, but its requests to renegotiate are refused.
// Immutable after Create; OpenSSL makes the contexts from it thread-safely, so one
// object may serve any number of threads without a lock.
#pragma once

#include <memory>

typedef struct ssl_ctx_st SSL_CTX;

namespace platform::tls {

class ClientCredentials {
 public:
  // Null when OpenSSL cannot make the context.
  static std::shared_ptr<ClientCredentials> Create();

  ClientCredentials(const ClientCredentials&) = delete;
  ClientCredentials& operator=(const ClientCredentials&) = delete;
  ~ClientCredentials();

  SSL_CTX* ssl_ctx() const { return ctx_; }

 private:
  explicit ClientCredentials(SSL_CTX* ctx) : ctx_(ctx) {}
  SSL_CTX* const ctx_;
};

}  // namespace platform::tls
