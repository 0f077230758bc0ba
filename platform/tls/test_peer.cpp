#include "platform/tls/test_peer.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

namespace platform::tls::testing {
namespace {

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
  ASSERT_NE(ext, nullptr) << OBJ_nid2sn(nid) << " = " << value;
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(size));
  BIO_free(bio);
  return text;
}

}  // namespace

PkeyPtr MakeKey() { return PkeyPtr(EVP_EC_gen("P-256")); }

X509Ptr MakeCert(const CertSpec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key) {
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), spec.serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.valid_from_s);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.valid_until_s);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(spec.common_name.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  AddExtension(cert.get(), &ctx, NID_basic_constraints, spec.is_ca ? "critical,CA:TRUE" : "CA:FALSE");
  AddExtension(cert.get(), &ctx, NID_key_usage,
               spec.is_ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
  AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  if (issuer) AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid");
  if (!spec.alt_names.empty()) {
    std::string names;
    for (const auto& n : spec.alt_names) names += (names.empty() ? "" : ",") + n;
    AddExtension(cert.get(), &ctx, NID_subject_alt_name, names);
  }
  if (!spec.usage.empty()) AddExtension(cert.get(), &ctx, NID_ext_key_usage, spec.usage);
  EXPECT_GT(X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256()), 0);
  return cert;
}

std::string Der(X509* cert) {
  unsigned char* der = nullptr;
  const int size = i2d_X509(cert, &der);
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(size));
  OPENSSL_free(der);
  return bytes;
}

std::string Pem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  return BioText(bio);
}

std::string CrlPem(X509* issuer, EVP_PKEY* issuer_key, const std::vector<long>& revoked_serials) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, X509_get_subject_name(issuer));
  ASN1_TIME* now = X509_gmtime_adj(nullptr, -60);
  ASN1_TIME* next = X509_gmtime_adj(nullptr, 86400);
  X509_CRL_set1_lastUpdate(crl, now);
  X509_CRL_set1_nextUpdate(crl, next);
  for (long serial : revoked_serials) {
    X509_REVOKED* entry = X509_REVOKED_new();
    ASN1_INTEGER* number = ASN1_INTEGER_new();
    ASN1_INTEGER_set(number, serial);
    X509_REVOKED_set_serialNumber(entry, number);
    X509_REVOKED_set_revocationDate(entry, now);
    X509_CRL_add0_revoked(crl, entry);
    ASN1_INTEGER_free(number);
  }
  X509_CRL_sort(crl);
  EXPECT_GT(X509_CRL_sign(crl, issuer_key, EVP_sha256()), 0);
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509_CRL(bio, crl);
  ASN1_TIME_free(now);
  ASN1_TIME_free(next);
  X509_CRL_free(crl);
  return BioText(bio);
}

namespace {
std::optional<std::string> saved_file, saved_dir;
std::optional<std::string> Get(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}
void Restore(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}
}  // namespace

TrustAnchors::TrustAnchors(const std::vector<std::string>& pems) {
  saved_file = Get("SSL_CERT_FILE");
  saved_dir = Get("SSL_CERT_DIR");
  // Test cases of one binary may run at once in the same folder, and the anchors
  // are reloaded when the file's name changes: a new file every time.
  static int counter = 0;
  const std::string file =
      "trust-anchors-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".pem";
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  for (const auto& pem : pems) out << pem;
  out.close();
  mkdir("no-anchors", 0700);
  setenv("SSL_CERT_FILE", file.c_str(), 1);
  setenv("SSL_CERT_DIR", "no-anchors", 1);
}

TrustAnchors::~TrustAnchors() {
  Restore("SSL_CERT_FILE", saved_file);
  Restore("SSL_CERT_DIR", saved_dir);
}

TestPki::TestPki() : ca_key(MakeKey()), server_key(MakeKey()) {
  CertSpec ca_spec;
  ca_spec.common_name = "Test Root CA";
  ca_spec.alt_names.clear();
  ca_spec.is_ca = true;
  ca_spec.usage.clear();
  ca_spec.serial = 100;
  ca = MakeCert(ca_spec, ca_key.get(), nullptr, nullptr);
  server = MakeCert(CertSpec(), server_key.get(), ca.get(), ca_key.get());
}

TestServer::TestServer(X509* cert, EVP_PKEY* key, const std::vector<X509*>& chain, const Options& options)
    : greeting_(options.greeting) {
  ctx_ = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(ctx_, options.min_version);
  SSL_CTX_set_max_proto_version(ctx_, options.max_version);
  EXPECT_EQ(SSL_CTX_use_certificate(ctx_, cert), 1);
  EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx_, key), 1);
  for (X509* c : chain) {
    EXPECT_EQ(SSL_CTX_add1_chain_cert(ctx_, c), 1);
  }
  if (!options.ciphers.empty()) {
    EXPECT_EQ(SSL_CTX_set_cipher_list(ctx_, options.ciphers.c_str()), 1);
  }
  ssl_ = SSL_new(ctx_);
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  BIO_set_mem_eof_return(in_, -1);
  BIO_set_mem_eof_return(out_, -1);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_accept_state(ssl_);
  SSL_set_app_data(ssl_, this);
  SSL_set_info_callback(ssl_, &TestServer::OnInfo);
}

void TestServer::OnInfo(const SSL* ssl, int where, int /*ret*/) {
  if (where & SSL_CB_HANDSHAKE_DONE) ++static_cast<TestServer*>(SSL_get_app_data(ssl))->handshakes_;
}

TestServer::~TestServer() {
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
}

std::string TestServer::client_random() const {
  unsigned char random[SSL3_RANDOM_SIZE];
  const size_t n = SSL_get_client_random(ssl_, random, sizeof random);
  return std::string(reinterpret_cast<char*>(random), n);
}

void TestServer::Receive(const void* data, size_t length) {
  BIO_write(in_, data, static_cast<int>(length));
  Pump();
}

void TestServer::Pump() {
  for (;;) {
    ERR_clear_error();
    if (!SSL_is_init_finished(ssl_)) {
      const int r = SSL_do_handshake(ssl_);
      if (r == 1) continue;
      if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) failed_ = true;
      break;
    }
    char buf[16384];
    const int r = SSL_read(ssl_, buf, sizeof buf);
    if (r > 0) {
      received_.append(buf, static_cast<size_t>(r));
      continue;
    }
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
      got_close_notify_ = true;
    } else if (e != SSL_ERROR_WANT_READ) {
      failed_ = true;
    }
    break;
  }
  ERR_clear_error();
  if (handshakes_ > 0 && !greeting_.empty()) {
    Write(greeting_);
    greeting_.clear();
  }
}

std::string TestServer::TakeOutput() {
  std::string bytes(BIO_ctrl_pending(out_), '\0');
  if (!bytes.empty()) BIO_read(out_, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

void TestServer::Write(const std::string& plain) {
  EXPECT_EQ(SSL_write(ssl_, plain.data(), static_cast<int>(plain.size())), static_cast<int>(plain.size()));
}

void TestServer::RequestRenegotiation() {
  EXPECT_EQ(SSL_renegotiate(ssl_), 1);
  SSL_do_handshake(ssl_);  // sends the HelloRequest
  ERR_clear_error();
}

void TestServer::SendCloseNotify() {
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

int Link::Send(const void* data, size_t length) {
  server_->Receive(data, length);
  Collect();
  return static_cast<int>(length);
}

int Link::Receive(void* buffer, size_t size) {
  Collect();
  const size_t n = std::min({size, chunk_, waiting_.size()});
  std::memcpy(buffer, waiting_.data(), n);
  waiting_.erase(0, n);
  return static_cast<int>(n);
}

void Link::Collect() { waiting_ += server_->TakeOutput(); }

SCHANNEL_CRED ClientCred() {
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2;
  cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
  return cred;
}

TlsClient::TlsClient(Link* link, std::string host, const CredHandle* shared)
    : link_(link), host_(std::move(host)), table_(ChooseSecurityInterface()()) {
  if (shared != nullptr) {
    credentials_ = *shared;
    return;
  }
  own_credentials_ = true;
  SCHANNEL_CRED cred = ClientCred();
  EXPECT_EQ(table_->AcquireCredentialsHandleA(nullptr, UNISP_NAME_A, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                              nullptr, &credentials_, nullptr),
            SEC_E_OK);
}

TlsClient::~TlsClient() {
  if (context_created_) table_->DeleteSecurityContext(&context_);
  if (own_credentials_) table_->FreeCredentialsHandle(&credentials_);
}

bool TlsClient::Handshake() {
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
  ULONG attr = 0;
  TimeStamp expiry;
  last_status_ = table_->InitializeSecurityContextA(&credentials_, nullptr, host_.c_str(), kContextRequirements, 0,
                                                    SECURITY_NATIVE_DREP, nullptr, 0, &context_, &out_desc, &attr,
                                                    &expiry);
  if (last_status_ != SEC_I_CONTINUE_NEEDED) return false;
  if (out.cbBuffer != 0 && out.pvBuffer != nullptr) {
    const int sent = link_->Send(out.pvBuffer, out.cbBuffer);
    table_->FreeContextBuffer(out.pvBuffer);
    if (sent <= 0) return false;
  }
  context_created_ = true;
  std::string extra;
  last_status_ = HandshakeLoop(true, &extra);
  if (last_status_ != SEC_E_OK) return false;
  handshake_extra_ = extra.size();
  link_->waiting().insert(0, extra);  // extra application data is received next
  last_status_ = table_->QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
  return last_status_ == SEC_E_OK;
}

SECURITY_STATUS TlsClient::HandshakeLoop(bool read_first, std::string* extra) {
  std::vector<uint8_t> buffer(0x10000);
  size_t count = 0;
  bool reading = read_first;
  SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
  extra->clear();
  while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE ||
         status == SEC_I_INCOMPLETE_CREDENTIALS) {
    if (count == 0 || status == SEC_E_INCOMPLETE_MESSAGE) {
      if (reading) {
        const int n = link_->Receive(buffer.data() + count, buffer.size() - count);
        if (n <= 0) return SEC_E_INTERNAL_ERROR;  // "Server disconnected unexpectedly."
        count += static_cast<size_t>(n);
      } else {
        reading = true;
      }
    }
    SecBuffer in[2] = {{static_cast<ULONG>(count), SECBUFFER_TOKEN, buffer.data()}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
    ULONG attr = 0;
    status = table_->InitializeSecurityContextA(&credentials_, &context_, nullptr, kContextRequirements, 0,
                                               SECURITY_NATIVE_DREP, &in_desc, 0, nullptr, &out_desc, &attr,
                                               nullptr);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED || (FAILED(status) && (attr & ISC_RET_EXTENDED_ERROR))) {
      if (out.cbBuffer != 0 && out.pvBuffer != nullptr) {
        const int sent = link_->Send(out.pvBuffer, out.cbBuffer);
        table_->FreeContextBuffer(out.pvBuffer);
        if (sent <= 0) return SEC_E_INTERNAL_ERROR;
        out.pvBuffer = nullptr;
      }
    }
    table_->FreeContextBuffer(out.pvBuffer);
    if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
    if (status == SEC_E_OK) {
      if (in[1].BufferType == SECBUFFER_EXTRA) {
        extra->assign(reinterpret_cast<char*>(buffer.data()) + (count - in[1].cbBuffer), in[1].cbBuffer);
      }
      return SEC_E_OK;
    }
    if (FAILED(status)) return status;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      reading = false;
      status = SEC_I_CONTINUE_NEEDED;
      continue;
    }
    if (in[1].BufferType == SECBUFFER_EXTRA) {
      std::memmove(buffer.data(), buffer.data() + (count - in[1].cbBuffer), in[1].cbBuffer);
      count = in[1].cbBuffer;
    } else {
      count = 0;
    }
  }
  return status;
}

bool TlsClient::EncryptAndSend(const std::string& data) {
  if (data.size() > sizes_.cbMaximumMessage) return false;
  std::vector<uint8_t> message(sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer);
  uint8_t* p = message.data();
  std::memcpy(p + sizes_.cbHeader, data.data(), data.size());
  const ULONG length = static_cast<ULONG>(data.size());
  SecBuffer b[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, p},
                    {length, SECBUFFER_DATA, p + sizes_.cbHeader},
                    {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, p + sizes_.cbHeader + length},
                    {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
  last_status_ = table_->EncryptMessage(&context_, 0, &desc, 0);
  if (FAILED(last_status_)) return false;
  return link_->Send(p, b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer) > 0;
}

int TlsClient::ReceiveAndDecrypt(std::string* out, const std::string& pending) {
  std::vector<uint8_t> buffer(0x10000);
  size_t count = std::min(pending.size(), buffer.size());
  std::memcpy(buffer.data(), pending.data(), count);
  SECURITY_STATUS status = SEC_E_OK;
  for (;;) {
    if (count == 0 || status == SEC_E_INCOMPLETE_MESSAGE) {
      const int n = link_->Receive(buffer.data() + count, buffer.size() - count);
      if (n < 0) return 2;
      if (n == 0) return count > 0 ? 2 : 3;
      count += static_cast<size_t>(n);
    }
    SecBuffer b[4] = {{static_cast<ULONG>(count), SECBUFFER_DATA, buffer.data()},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    status = table_->DecryptMessage(&context_, &desc, 0, nullptr);
    last_status_ = status;
    if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
    if (status == SEC_I_CONTEXT_EXPIRED) return 4;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return 6;
    SecBuffer* data = nullptr;
    SecBuffer* extra = nullptr;
    for (int i = 1; i < 4; ++i) {
      if (data == nullptr && b[i].BufferType == SECBUFFER_DATA) data = &b[i];
      if (extra == nullptr && b[i].BufferType == SECBUFFER_EXTRA) extra = &b[i];
    }
    if (data != nullptr) out->append(static_cast<char*>(data->pvBuffer), data->cbBuffer);
    if (extra != nullptr) {
      std::memmove(buffer.data(), extra->pvBuffer, extra->cbBuffer);
      count = extra->cbBuffer;
    } else {
      count = 0;
    }
    if (status == SEC_E_OK) {
      if (count == 0) return 0;
      continue;
    }
    std::string handshake_extra;
    last_status_ = HandshakeLoop(false, &handshake_extra);
    if (last_status_ != SEC_E_OK) return 5;
    if (!handshake_extra.empty()) {
      std::memcpy(buffer.data(), handshake_extra.data(), handshake_extra.size());
      count = handshake_extra.size();
    }
  }
}

bool TlsClient::Shutdown() {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc token_desc{SECBUFFER_VERSION, 1, &token};
  last_status_ = table_->ApplyControlToken(&context_, &token_desc);
  if (FAILED(last_status_)) return false;
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
  ULONG attr = 0;
  last_status_ = table_->InitializeSecurityContextA(&credentials_, &context_, nullptr, kContextRequirements, 0,
                                                    SECURITY_NATIVE_DREP, nullptr, 0, nullptr, &out_desc, &attr,
                                                    nullptr);
  if (FAILED(last_status_)) return false;
  bool sent = true;
  if (out.cbBuffer != 0 && out.pvBuffer != nullptr) sent = link_->Send(out.pvBuffer, out.cbBuffer) > 0;
  table_->FreeContextBuffer(out.pvBuffer);
  return sent;
}

DWORD TlsClient::VerifyServerCertificate(const std::string& name) {
  constexpr DWORD kCallFailed = 0xFFFFFFFF;
  const int units = MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, nullptr, 0);
  if (units <= 0) return kCallFailed;
  std::vector<WCHAR> wide(static_cast<size_t>(units));
  if (MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide.data(), units) != units) return kCallFailed;

  PCCERT_CONTEXT cert = nullptr;
  if (table_->QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK) {
    return kCallFailed;
  }
  const char* usages[] = {szOID_PKIX_KP_SERVER_AUTH, szOID_SERVER_GATED_CRYPTO, szOID_SGC_NETSCAPE};
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof chain_para;
  chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  chain_para.RequestedUsage.Usage.cUsageIdentifier = 3;
  chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &chain_para, 0, nullptr, &chain)) {
    CertFreeCertificateContext(cert);
    return kCallFailed;
  }
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para{sizeof ssl_para, AUTHTYPE_SERVER, 0, wide.data()};
  CERT_CHAIN_POLICY_PARA policy_para{sizeof policy_para, 0, &ssl_para};
  CERT_CHAIN_POLICY_STATUS policy_status{};
  policy_status.cbSize = sizeof policy_status;
  const bool ok = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy_para, &policy_status);
  CertFreeCertificateChain(chain);
  CertFreeCertificateContext(cert);
  return ok ? policy_status.dwError : kCallFailed;
}

}  // namespace platform::tls::testing
