#include "tools/elavon-sim/test_pki.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tools/peer-support/openssl_error.h"

namespace elavon_sim {

namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

using peer_support::OpenSslError;

bool AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
  if (extension == nullptr) return false;
  int added = X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  return added == 1;
}

struct CertRequest {
  std::string common_name;
  std::string alt_names;  // "DNS:a,IP:1.2.3.4"; empty for none
  bool is_ca = false;
  long serial = 1;
  int valid_days = 30;
};

// Signed by issuer/issuer_key, or self-signed when issuer is null.
X509Ptr MakeCert(const CertRequest& request, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key) {
  X509Ptr cert(X509_new());
  if (!cert) return nullptr;
  bool ok = X509_set_version(cert.get(), 2) == 1 &&
            ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), request.serial) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * request.valid_days) != nullptr &&
            X509_set_pubkey(cert.get(), key) == 1;
  X509_NAME* name = X509_get_subject_name(cert.get());
  ok = ok && X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>("KVR test peers"), -1, -1, 0) == 1;
  ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>(request.common_name.c_str()), -1,
                                        -1, 0) == 1;
  ok = ok && X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) == 1;
  if (!ok) return nullptr;
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  ok = AddExtension(cert.get(), &ctx, NID_basic_constraints, request.is_ca ? "critical,CA:TRUE" : "CA:FALSE") &&
       AddExtension(cert.get(), &ctx, NID_key_usage,
                    request.is_ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature") &&
       AddExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  if (ok && issuer) ok = AddExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid");
  if (ok && !request.is_ca) ok = AddExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth");
  if (ok && !request.alt_names.empty()) {
    ok = AddExtension(cert.get(), &ctx, NID_subject_alt_name, request.alt_names);
  }
  if (!ok || X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// Writes text to path with `mode`, through a temporary file renamed over it, so that
// a reader sees the old file or the new one, never a part.
bool WriteWholeFile(const std::string& path, const std::string& text, mode_t mode, std::string* error) {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "cannot open " + temporary + ": " + std::strerror(errno);
    return false;
  }
  bool ok = ::fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (!ok) *error = "cannot write " + temporary + ": " + std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    *error = "cannot close " + temporary + ": " + std::strerror(errno);
    ok = false;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace

TestPkiFiles TestPkiFilesIn(const std::string& folder) {
  std::string base = folder.empty() ? std::string(".") : folder;
  if (base.back() != '/') base += '/';
  return TestPkiFiles{base + "ca.pem", base + "server.pem", base + "server.key"};
}

void RemoveTestPki(const std::string& folder) {
  TestPkiFiles files = TestPkiFilesIn(folder);
  ::unlink(files.ca_file.c_str());
  ::unlink(files.cert_file.c_str());
  ::unlink(files.key_file.c_str());
  if (!folder.empty()) ::rmdir(folder.c_str());
}

bool MakeTestPki(const std::string& folder, const TestPkiOptions& options, TestPkiFiles* files,
                 std::string* error) {
  ERR_clear_error();
  if (!folder.empty() && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot make " + folder + ": " + std::strerror(errno);
    return false;
  }
  PkeyPtr ca_key(EVP_EC_gen("P-256"));
  PkeyPtr server_key(EVP_EC_gen("P-256"));
  if (!ca_key || !server_key) {
    *error = OpenSslError("EC key generation");
    return false;
  }

  CertRequest ca_request;
  ca_request.common_name = "KVR Test CA";
  ca_request.is_ca = true;
  ca_request.serial = 1;
  ca_request.valid_days = options.valid_days;
  X509Ptr ca = MakeCert(ca_request, ca_key.get(), nullptr, nullptr);
  if (!ca) {
    *error = OpenSslError("CA certificate");
    return false;
  }

  CertRequest server_request;
  server_request.common_name = options.common_name;
  for (const std::string& name : options.dns_names) {
    server_request.alt_names += (server_request.alt_names.empty() ? "DNS:" : ",DNS:") + name;
  }
  for (const std::string& address : options.ip_addresses) {
    server_request.alt_names += (server_request.alt_names.empty() ? "IP:" : ",IP:") + address;
  }
  server_request.serial = 2;
  server_request.valid_days = options.valid_days;
  X509Ptr server = MakeCert(server_request, server_key.get(), ca.get(), ca_key.get());
  if (!server) {
    *error = OpenSslError("server certificate");
    return false;
  }

  BioPtr ca_pem(BIO_new(BIO_s_mem()));
  BioPtr server_pem(BIO_new(BIO_s_mem()));
  BioPtr key_pem(BIO_new(BIO_s_mem()));
  if (!ca_pem || !server_pem || !key_pem || PEM_write_bio_X509(ca_pem.get(), ca.get()) != 1 ||
      PEM_write_bio_X509(server_pem.get(), server.get()) != 1 ||
      PEM_write_bio_PrivateKey(key_pem.get(), server_key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    *error = OpenSslError("PEM encoding");
    return false;
  }

  TestPkiFiles names = TestPkiFilesIn(folder);
  if (!WriteWholeFile(names.key_file, BioText(key_pem.get()), 0600, error) ||
      !WriteWholeFile(names.cert_file, BioText(server_pem.get()), 0644, error) ||
      !WriteWholeFile(names.ca_file, BioText(ca_pem.get()), 0644, error)) {
    return false;
  }
  *files = names;
  return true;
}

}  // namespace elavon_sim
