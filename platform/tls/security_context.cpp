#include "platform/tls/security_context.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <cstring>

#include "platform/tls/client_credentials.h"
#include "platform/tls/record_framer.h"

namespace platform::tls {
namespace {

bool IsIpAddress(const std::string& name) {
  unsigned char buf[16];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

// The SSPI status for a failed OpenSSL call, from OpenSSL's error queue.
SECURITY_STATUS MapFailure(int ssl_error) {
  if (ssl_error == SSL_ERROR_ZERO_RETURN) return SEC_E_CONTEXT_EXPIRED;
  const unsigned long err = ERR_peek_last_error();
  if (ERR_GET_LIB(err) == ERR_LIB_SSL) {
    switch (ERR_GET_REASON(err)) {
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_WRONG_VERSION_NUMBER:
      case SSL_R_NO_PROTOCOLS_AVAILABLE:
        return SEC_E_UNSUPPORTED_FUNCTION;
      case SSL_R_WRONG_CIPHER_RETURNED:
      case SSL_R_NO_CIPHERS_AVAILABLE:
      case SSL_R_NO_SHARED_CIPHER:
        return SEC_E_ALGORITHM_MISMATCH;
      case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
        return SEC_E_DECRYPT_FAILURE;
      default:
        break;
    }
  }
  if (ERR_GET_REASON(err) == ERR_R_MALLOC_FAILURE) return SEC_E_INSUFFICIENT_MEMORY;
  // Alerts from the server and malformed or unexpected messages.
  return SEC_E_ILLEGAL_MESSAGE;
}

}  // namespace

bool ComputeStreamSizes(const SSL* ssl, SecPkgContext_StreamSizes* sizes) {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
  if (cipher == nullptr) return false;
  size_t explicit_iv = 0;
  size_t trailer = 0;
  size_t block = 1;
  const int cipher_nid = SSL_CIPHER_get_cipher_nid(cipher);
  if (SSL_CIPHER_is_aead(cipher)) {
    if (cipher_nid == NID_chacha20_poly1305) {
      trailer = 16;  // the tag; the nonce is implicit
    } else {
      // GCM and CCM records carry an 8-byte explicit nonce before the cipher text.
      explicit_iv = 8;
      const char* name = SSL_CIPHER_get_name(cipher);
      trailer = (name != nullptr && std::strstr(name, "CCM8") != nullptr) ? 8 : 16;
      block = 16;
    }
  } else {
    const EVP_CIPHER* evp = EVP_get_cipherbynid(cipher_nid);
    const EVP_MD* md = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(cipher));
    if (evp == nullptr || md == nullptr) return false;
    block = static_cast<size_t>(EVP_CIPHER_get_block_size(evp));
    const size_t mac = static_cast<size_t>(EVP_MD_get_size(md));
    if (block > 1) {
      // CBC: an explicit IV of one block; MAC plus 1..block bytes of padding.
      explicit_iv = block;
      trailer = mac + block;
    } else {
      trailer = mac;
    }
  }
  sizes->cbHeader = static_cast<ULONG>(kRecordHeaderSize + explicit_iv);
  sizes->cbTrailer = static_cast<ULONG>(trailer);
  sizes->cbMaximumMessage = static_cast<ULONG>(kMaxPlainPerRecord);
  sizes->cBuffers = 4;
  sizes->cbBlockSize = static_cast<ULONG>(block);
  return true;
}

std::unique_ptr<SecurityContext> SecurityContext::Create(std::shared_ptr<ClientCredentials> credentials,
                                                         const std::string& target) {
  if (!credentials) return nullptr;
  SSL* ssl = SSL_new(credentials->ssl_ctx());
  if (ssl == nullptr) return nullptr;
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl);
    return nullptr;
  }
  // An empty input BIO means "wait for more", never end of stream.
  BIO_set_mem_eof_return(in, -1);
  BIO_set_mem_eof_return(out, -1);
  SSL_set_bio(ssl, in, out);
  SSL_set_connect_state(ssl);
  if (!target.empty() && !IsIpAddress(target) && SSL_set_tlsext_host_name(ssl, target.c_str()) != 1) {
    SSL_free(ssl);
    return nullptr;
  }
  return std::unique_ptr<SecurityContext>(new SecurityContext(std::move(credentials), ssl, in, out));
}

SecurityContext::SecurityContext(std::shared_ptr<ClientCredentials> credentials, SSL* ssl, BIO* in, BIO* out)
    : credentials_(std::move(credentials)), ssl_(ssl), in_(in), out_(out), plain_(kMaxPlainPerRecord) {}

SecurityContext::~SecurityContext() { SSL_free(ssl_); }

std::string SecurityContext::TakeOutput() {
  std::string bytes;
  const size_t pending = BIO_ctrl_pending(out_);
  if (pending == 0) return bytes;
  bytes.resize(pending);
  const int n = BIO_read(out_, bytes.data(), static_cast<int>(pending));
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

void SecurityContext::Fail(SECURITY_STATUS status) {
  state_ = State::kFailed;
  failure_ = status;
}

void SecurityContext::RequestShutdown() {
  platform::MutexLock lock(mu_);
  shutdown_requested_ = true;
}

SecurityContext::HandshakeStep SecurityContext::ShutdownStep() {
  HandshakeStep step;
  shutdown_requested_ = false;
  // A connection that is broken, already closed by us, or still negotiating has no
  // close_notify to send.
  if (state_ == State::kEstablished || state_ == State::kPeerClosed) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    step.output = TakeOutput();
    state_ = State::kClosed;
  }
  ERR_clear_error();
  return step;
}

SecurityContext::HandshakeStep SecurityContext::Handshake(const uint8_t* input, size_t length) {
  platform::MutexLock lock(mu_);
  if (shutdown_requested_) return ShutdownStep();
  HandshakeStep step;
  switch (state_) {
    case State::kEstablished:
      return step;  // nothing to negotiate; the input stays the caller's
    case State::kClosed:
    case State::kPeerClosed:
      step.status = SEC_E_CONTEXT_EXPIRED;
      return step;
    case State::kFailed:
      step.status = failure_;
      return step;
    case State::kHandshaking:
    case State::kRenegotiating:
      break;
  }
  if (input == nullptr) length = 0;
  ERR_clear_error();
  bool progressed = false;
  bool done = false;
  if (!started_) {
    started_ = true;
    progressed = true;
    const int r = SSL_do_handshake(ssl_);
    const int e = SSL_get_error(ssl_, r);
    if (r != 1 && e != SSL_ERROR_WANT_READ) {
      Fail(MapFailure(e));
      step.status = failure_;
      step.output = TakeOutput();
      ERR_clear_error();
      return step;
    }
  }
  size_t pos = 0;
  while (!done) {
    const RecordScan scan = ScanRecord(input + pos, length - pos);
    if (scan.kind == RecordScan::Kind::kIncomplete) {
      step.missing = scan.missing;
      break;
    }
    if (scan.kind == RecordScan::Kind::kMalformed) {
      Fail(SEC_E_ILLEGAL_MESSAGE);
      step.status = failure_;
      step.consumed = pos;
      step.output = TakeOutput();
      return step;
    }
    if (BIO_write(in_, input + pos, static_cast<int>(scan.size)) != static_cast<int>(scan.size)) {
      Fail(SEC_E_INSUFFICIENT_MEMORY);
      step.status = failure_;
      return step;
    }
    pos += scan.size;
    progressed = true;
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) {
      done = true;
      break;
    }
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ) continue;
    Fail(MapFailure(e));
    step.status = failure_;
    step.consumed = pos;
    step.output = TakeOutput();  // the alert OpenSSL made for the server, if any
    ERR_clear_error();
    return step;
  }
  step.consumed = pos;
  step.output = TakeOutput();
  if (done) {
    if (!ComputeStreamSizes(ssl_, &sizes_)) {
      Fail(SEC_E_ALGORITHM_MISMATCH);
      step.status = failure_;
      return step;
    }
    state_ = State::kEstablished;
    step.status = SEC_E_OK;
    step.missing = 0;
  } else if (progressed || !step.output.empty()) {
    step.status = SEC_I_CONTINUE_NEEDED;
    step.missing = 0;
  } else {
    step.status = SEC_E_INCOMPLETE_MESSAGE;
  }
  return step;
}

SecurityContext::DecryptStep SecurityContext::Decrypt(uint8_t* data, size_t length) {
  platform::MutexLock lock(mu_);
  DecryptStep step;
  switch (state_) {
    case State::kEstablished:
    case State::kClosed:  // the server may still send after our close_notify
      break;
    case State::kHandshaking:
    case State::kRenegotiating:
      step.status = SEC_E_INVALID_HANDLE;
      return step;
    case State::kPeerClosed:
      step.status = SEC_E_CONTEXT_EXPIRED;
      return step;
    case State::kFailed:
      step.status = failure_;
      return step;
  }
  if (data == nullptr) length = 0;
  const RecordScan scan = ScanRecord(data, length);
  if (scan.kind == RecordScan::Kind::kIncomplete) {
    step.status = SEC_E_INCOMPLETE_MESSAGE;
    step.missing = scan.missing;
    return step;
  }
  if (scan.kind == RecordScan::Kind::kMalformed) {
    Fail(SEC_E_ILLEGAL_MESSAGE);
    step.status = failure_;
    return step;
  }
  ERR_clear_error();
  if (BIO_write(in_, data, static_cast<int>(scan.size)) != static_cast<int>(scan.size)) {
    Fail(SEC_E_INSUFFICIENT_MEMORY);
    step.status = failure_;
    return step;
  }
  step.record_size = scan.size;
  size_t got = 0;
  const int n = SSL_read(ssl_, plain_.data(), static_cast<int>(plain_.size()));
  if (n > 0) {
    got = static_cast<size_t>(n);
    step.status = SEC_E_OK;
  } else {
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ) {
      // A record with no application data: an empty record, a warning alert, or a
      // HelloRequest that OpenSSL has answered with a ClientHello (now waiting in
      // the output for the next Handshake call).
      if (SSL_in_init(ssl_)) {
        state_ = State::kRenegotiating;
        step.status = SEC_I_RENEGOTIATE;
      } else {
        step.status = SEC_E_OK;
      }
    } else if (e == SSL_ERROR_ZERO_RETURN) {
      state_ = State::kPeerClosed;
      step.status = SEC_I_CONTEXT_EXPIRED;
    } else {
      Fail(MapFailure(e));
      step.status = failure_;
      ERR_clear_error();
      return step;
    }
  }
  ERR_clear_error();
  // The plain text goes where the cipher text began, after the header part; it is
  // never longer than the record body, so it always fits inside the record.
  const size_t offset = sizes_.cbHeader + got <= scan.size ? sizes_.cbHeader : kRecordHeaderSize;
  if (offset + got > scan.size) {
    Fail(SEC_E_INTERNAL_ERROR);
    step.status = failure_;
    return step;
  }
  std::memcpy(data + offset, plain_.data(), got);
  step.plain_offset = offset;
  step.plain_size = got;
  return step;
}

SECURITY_STATUS SecurityContext::Encrypt(const uint8_t* plain, size_t length, std::string* record) {
  platform::MutexLock lock(mu_);
  switch (state_) {
    case State::kEstablished:
      break;
    case State::kHandshaking:
    case State::kRenegotiating:
      return SEC_E_INVALID_HANDLE;
    case State::kClosed:
    case State::kPeerClosed:
      return SEC_E_CONTEXT_EXPIRED;
    case State::kFailed:
      return failure_;
  }
  if (plain == nullptr || length == 0 || length > sizes_.cbMaximumMessage) return SEC_E_INVALID_PARAMETER;
  if (BIO_ctrl_pending(out_) != 0) return SEC_E_INTERNAL_ERROR;  // unsent handshake bytes
  ERR_clear_error();
  const int n = SSL_write(ssl_, plain, static_cast<int>(length));
  if (n != static_cast<int>(length)) {
    Fail(MapFailure(SSL_get_error(ssl_, n)));
    ERR_clear_error();
    TakeOutput();
    return failure_;
  }
  *record = TakeOutput();
  // Exactly one record whose parts fit the sizes reported to the caller.
  const RecordScan scan =
      ScanRecord(reinterpret_cast<const uint8_t*>(record->data()), record->size());
  if (scan.kind != RecordScan::Kind::kComplete || scan.size != record->size() ||
      record->size() < sizes_.cbHeader + length ||
      record->size() - sizes_.cbHeader - length > sizes_.cbTrailer) {
    Fail(SEC_E_INTERNAL_ERROR);
    record->clear();
    return failure_;
  }
  return SEC_E_OK;
}

SECURITY_STATUS SecurityContext::StreamSizes(SecPkgContext_StreamSizes* sizes) {
  platform::MutexLock lock(mu_);
  if (!HandshakeDoneOnce()) return SEC_E_INVALID_HANDLE;
  *sizes = sizes_;
  return SEC_E_OK;
}

SECURITY_STATUS SecurityContext::PeerCertificates(std::vector<X509*>* chain) {
  platform::MutexLock lock(mu_);
  if (!HandshakeDoneOnce()) return SEC_E_INVALID_HANDLE;
  X509* leaf = SSL_get1_peer_certificate(ssl_);
  if (leaf == nullptr) return SEC_E_NO_CREDENTIALS;
  chain->push_back(leaf);
  // On a client the chain as sent starts with the leaf itself.
  STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl_);
  for (int i = 0; sent != nullptr && i < sk_X509_num(sent); ++i) {
    X509* cert = sk_X509_value(sent, i);
    if (X509_cmp(cert, leaf) == 0) continue;
    X509_up_ref(cert);
    chain->push_back(cert);
  }
  return SEC_E_OK;
}

}  // namespace platform::tls
