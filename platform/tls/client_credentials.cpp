#include "platform/tls/client_credentials.h"

#include <openssl/ssl.h>

namespace platform::tls {

std::shared_ptr<ClientCredentials> ClientCredentials::Create() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return nullptr;
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  // A server without secure renegotiation (RFC 5746) may still be reached, but it
  // cannot renegotiate: OpenSSL refuses its request. Cleared explicitly, since a
  // system-wide OpenSSL configuration may have set it on the new context.
  SSL_CTX_set_options(ctx, SSL_OP_LEGACY_SERVER_CONNECT);
  SSL_CTX_clear_options(ctx, SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION);
  return std::shared_ptr<ClientCredentials>(new ClientCredentials(ctx));
}

ClientCredentials::~ClientCredentials() { SSL_CTX_free(ctx_); }

}  // namespace platform::tls
