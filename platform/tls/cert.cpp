#include "platform/tls/cert.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/text/format.h"
#include "platform/tls/cert_internal.h"
#include "platform/tls/trust_store.h"
#include "platform/tls/wide_text.h"

namespace platform::tls {
namespace {

constexpr uint32_t kStoreMagic = 0x4b535452;    // "KSTR"
constexpr uint32_t kContextMagic = 0x4b435458;  // "KCTX"
constexpr uint32_t kChainMagic = 0x4b43484e;    // "KCHN"

// The certificates a context came with (the chain a server sent).
struct CertStore {
  uint32_t magic = kStoreMagic;
  STACK_OF(X509)* certs = nullptr;
  ~CertStore() { sk_X509_pop_free(certs, X509_free); }
};

struct CertContextImpl : CERT_CONTEXT {
  uint32_t magic = kContextMagic;
  X509* x509 = nullptr;
  std::vector<BYTE> der;
  CertStore store;
  ~CertContextImpl() { X509_free(x509); }
};

struct Fault {
  DWORD policy_error;
  int depth;
};

struct ChainContextImpl : CERT_CHAIN_CONTEXT {
  uint32_t magic = kChainMagic;
  X509* leaf = nullptr;
  std::vector<Fault> faults;  // in the order found
  ~ChainContextImpl() { X509_free(leaf); }
};

const CertContextImpl* AsContext(PCCERT_CONTEXT context) {
  const auto* impl = static_cast<const CertContextImpl*>(context);
  return impl != nullptr && impl->magic == kContextMagic ? impl : nullptr;
}

const ChainContextImpl* AsChain(PCCERT_CHAIN_CONTEXT chain) {
  const auto* impl = static_cast<const ChainContextImpl*>(chain);
  return impl != nullptr && impl->magic == kChainMagic ? impl : nullptr;
}

bool Fail(DWORD code) {
  platform::SetLastError(code);
  return false;
}

// Fills the public part of a context once its certificate is set.
bool FinishContext(CertContextImpl* impl) {
  const int size = i2d_X509(impl->x509, nullptr);
  if (size <= 0) return false;
  impl->der.resize(static_cast<size_t>(size));
  BYTE* p = impl->der.data();
  if (i2d_X509(impl->x509, &p) != size) return false;
  impl->dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  impl->pbCertEncoded = impl->der.data();
  impl->cbCertEncoded = static_cast<DWORD>(size);
  impl->pCertInfo = nullptr;
  impl->hCertStore = &impl->store;
  return true;
}

int CollectFault(int ok, X509_STORE_CTX* ctx) {
  if (!ok) {
    auto* faults = static_cast<std::vector<Fault>*>(X509_STORE_CTX_get_app_data(ctx));
    const CertFault fault = CertFaultFromX509Error(X509_STORE_CTX_get_error(ctx));
    faults->push_back({fault.policy_error, X509_STORE_CTX_get_error_depth(ctx)});
  }
  return 1;  // go on: every fault is recorded, the policy picks one
}

// True when cert's extended key usage (if it has one) allows the requested usage.
bool AllowsUsage(X509* cert, const CERT_USAGE_MATCH& usage) {
  int critical = -1;
  auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, &critical, nullptr));
  if (eku == nullptr) return critical == -1;  // absent: any usage; unreadable: none
  std::vector<std::string> allowed;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i) {
    char oid[128];
    if (OBJ_obj2txt(oid, sizeof oid, sk_ASN1_OBJECT_value(eku, i), 1) > 0) allowed.emplace_back(oid);
  }
  EXTENDED_KEY_USAGE_free(eku);
  auto has = [&allowed](const char* oid) {
    for (const auto& a : allowed) {
      if (a == oid || a == "2.5.29.37.0") return true;  // anyExtendedKeyUsage
    }
    return false;
  };
  const DWORD count = usage.Usage.cUsageIdentifier;
  for (DWORD i = 0; i < count; ++i) {
    const char* oid = usage.Usage.rgpszUsageIdentifier[i];
    const bool ok = oid != nullptr && has(oid);
    if (usage.dwType == USAGE_MATCH_TYPE_OR && ok) return true;
    if (usage.dwType != USAGE_MATCH_TYPE_OR && !ok) return false;
  }
  return usage.dwType != USAGE_MATCH_TYPE_OR;
}

// Revocation lists already in the trust store are honoured; none are fetched.
void CheckRevocation(X509_STORE_CTX* ctx, STACK_OF(X509)* chain, std::vector<Fault>* faults) {
  for (int i = 0; i + 1 < sk_X509_num(chain); ++i) {
    X509* cert = sk_X509_value(chain, i);
    EVP_PKEY* issuer_key = X509_get0_pubkey(sk_X509_value(chain, i + 1));
    STACK_OF(X509_CRL)* crls = X509_STORE_CTX_get1_crls(ctx, X509_get_issuer_name(cert));
    bool revoked = false;
    for (int j = 0; crls != nullptr && j < sk_X509_CRL_num(crls) && !revoked; ++j) {
      X509_CRL* crl = sk_X509_CRL_value(crls, j);
      X509_REVOKED* entry = nullptr;
      revoked = issuer_key != nullptr && X509_CRL_verify(crl, issuer_key) == 1 &&
                X509_CRL_get0_by_cert(crl, &entry, cert) == 1;
    }
    sk_X509_CRL_pop_free(crls, X509_CRL_free);
    if (revoked) faults->push_back({CERT_E_REVOKED, i});
  }
}

DWORD TrustBitFor(DWORD policy_error) {
  switch (policy_error) {
    case TRUST_E_CERT_SIGNATURE: return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    case CERT_E_UNTRUSTEDROOT: return CERT_TRUST_IS_UNTRUSTED_ROOT;
    case CERT_E_CHAINING: return CERT_TRUST_IS_PARTIAL_CHAIN;
    case CERT_E_EXPIRED: return CERT_TRUST_IS_NOT_TIME_VALID;
    case CERT_E_REVOKED: return CERT_TRUST_IS_REVOKED;
    case CERT_E_REVOCATION_FAILURE: return CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
    case CERT_E_WRONG_USAGE: return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    case CERT_E_ROLE: case CERT_E_PATHLENCONST: return CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    default: return CERT_TRUST_INVALID_EXTENSION;
  }
}

// Lower is reported first.
int Rank(DWORD policy_error) {
  static const DWORD order[] = {TRUST_E_CERT_SIGNATURE, CERT_E_UNTRUSTEDROOT, CERT_E_CHAINING,
                                CERT_E_EXPIRED,         CERT_E_REVOKED,       CERT_E_REVOCATION_FAILURE,
                                CERT_E_WRONG_USAGE};
  for (size_t i = 0; i < sizeof order / sizeof order[0]; ++i) {
    if (order[i] == policy_error) return static_cast<int>(i);
  }
  return static_cast<int>(sizeof order / sizeof order[0]);
}

bool NameMatches(X509* leaf, const std::string& name) {
  unsigned char ip[16];
  if (inet_pton(AF_INET, name.c_str(), ip) == 1 || inet_pton(AF_INET6, name.c_str(), ip) == 1) {
    return X509_check_ip_asc(leaf, name.c_str(), 0) == 1;
  }
  return X509_check_host(leaf, name.data(), name.size(), 0, nullptr) == 1;
}

}  // namespace

CertFault CertFaultFromX509Error(int x509_error) {
  switch (x509_error) {
    case X509_V_OK:
      return {0, CERT_TRUST_NO_ERROR};
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return {CERT_E_EXPIRED, CERT_TRUST_IS_NOT_TIME_VALID};
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
    case X509_V_ERR_INVALID_EXTENSION:
      return {CERT_E_MALFORMED, CERT_TRUST_INVALID_EXTENSION};
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return {CERT_E_UNTRUSTEDROOT, CERT_TRUST_IS_UNTRUSTED_ROOT};
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
      return {CERT_E_CHAINING, CERT_TRUST_IS_PARTIAL_CHAIN};
    case X509_V_ERR_SUBJECT_ISSUER_MISMATCH:
    case X509_V_ERR_AKID_SKID_MISMATCH:
    case X509_V_ERR_AKID_ISSUER_SERIAL_MISMATCH:
      return {CERT_E_ISSUERCHAINING, CERT_TRUST_IS_PARTIAL_CHAIN};
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return {TRUST_E_CERT_SIGNATURE, CERT_TRUST_IS_NOT_SIGNATURE_VALID};
    case X509_V_ERR_CERT_REVOKED:
      return {CERT_E_REVOKED, CERT_TRUST_IS_REVOKED};
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
      return {CERT_E_REVOCATION_FAILURE, CERT_TRUST_REVOCATION_STATUS_UNKNOWN};
    case X509_V_ERR_INVALID_PURPOSE:
      return {CERT_E_WRONG_USAGE, CERT_TRUST_IS_NOT_VALID_FOR_USAGE};
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      return {CERT_E_ROLE, CERT_TRUST_INVALID_BASIC_CONSTRAINTS};
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return {CERT_E_PATHLENCONST, CERT_TRUST_INVALID_BASIC_CONSTRAINTS};
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
      return {CERT_E_CRITICAL, CERT_TRUST_INVALID_EXTENSION};
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return {CERT_E_CN_NO_MATCH, CERT_TRUST_NO_ERROR};
    default:
      return {TRUST_E_FAIL, CERT_TRUST_INVALID_EXTENSION};
  }
}

PCCERT_CONTEXT MakeCertContext(std::vector<X509*> chain) {
  auto release = [&chain] {
    for (X509* cert : chain) X509_free(cert);
  };
  if (chain.empty() || chain[0] == nullptr) {
    release();
    return nullptr;
  }
  auto* impl = new (std::nothrow) CertContextImpl();
  if (impl == nullptr) {
    release();
    return nullptr;
  }
  impl->store.certs = sk_X509_new_null();
  impl->x509 = chain[0];
  X509_up_ref(chain[0]);  // one reference for the context, one for its store
  bool ok = impl->store.certs != nullptr;
  for (X509* cert : chain) {
    if (ok && sk_X509_push(impl->store.certs, cert) > 0) continue;
    ok = false;
    X509_free(cert);
  }
  if (!ok || !FinishContext(impl)) {
    delete impl;
    return nullptr;
  }
  return impl;
}

PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding_type, const BYTE* encoded, DWORD encoded_size) {
  if (!(encoding_type & X509_ASN_ENCODING) || encoded == nullptr || encoded_size == 0) {
    platform::SetLastError(E_INVALIDARG);
    return nullptr;
  }
  const unsigned char* p = encoded;
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(encoded_size));
  ERR_clear_error();
  if (cert == nullptr) {
    platform::SetLastError(CRYPT_E_ASN1_BADTAG);
    return nullptr;
  }
  auto* impl = new (std::nothrow) CertContextImpl();
  if (impl == nullptr) {
    X509_free(cert);
    platform::SetLastError(E_OUTOFMEMORY);
    return nullptr;
  }
  impl->x509 = cert;
  impl->store.certs = sk_X509_new_null();
  if (impl->store.certs == nullptr || !FinishContext(impl)) {
    delete impl;
    platform::SetLastError(E_OUTOFMEMORY);
    return nullptr;
  }
  return impl;
}

bool CertFreeCertificateContext(PCCERT_CONTEXT context) {
  delete AsContext(context);
  return true;
}

bool CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, const FILETIME* time,
                             HCERTSTORE additional_store, PCERT_CHAIN_PARA chain_para, DWORD /*flags*/,
                             void* /*reserved*/, PCCERT_CHAIN_CONTEXT* chain_context) {
  const CertContextImpl* context = AsContext(cert);
  const auto* extra = static_cast<const CertStore*>(additional_store);
  if (engine != nullptr || context == nullptr || chain_para == nullptr || chain_context == nullptr ||
      (extra != nullptr && extra->magic != kStoreMagic)) {
    return Fail(E_INVALIDARG);
  }
  *chain_context = nullptr;
  const CERT_USAGE_MATCH& usage = chain_para->RequestedUsage;
  if (usage.Usage.cUsageIdentifier > 0 && usage.Usage.rgpszUsageIdentifier == nullptr) return Fail(E_INVALIDARG);

  std::unique_ptr<ChainContextImpl> chain(new (std::nothrow) ChainContextImpl());
  X509_STORE* store = TrustStore::Instance().Current();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  auto cleanup = [&] {
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    ERR_clear_error();
  };
  if (!chain || store == nullptr || ctx == nullptr) {
    cleanup();
    return Fail(E_OUTOFMEMORY);
  }
  if (X509_STORE_CTX_init(ctx, store, context->x509, extra != nullptr ? extra->certs : nullptr) != 1) {
    cleanup();
    return Fail(E_OUTOFMEMORY);
  }
  if (time != nullptr) {
    const uint64_t ticks = (static_cast<uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime;
    // 100-ns units since 1601-01-01; the Unix epoch is 11644473600 s later.
    const int64_t seconds = static_cast<int64_t>(ticks / 10000000ull) - 11644473600ll;
    X509_STORE_CTX_set_time(ctx, 0, static_cast<time_t>(seconds));
  }
  X509_STORE_CTX_set_app_data(ctx, &chain->faults);
  X509_STORE_CTX_set_verify_cb(ctx, CollectFault);
  if (X509_verify_cert(ctx) < 0) {
    cleanup();
    return Fail(E_INVALIDARG);
  }
  STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx);
  if (usage.Usage.cUsageIdentifier > 0) {
    for (int i = 0; built != nullptr && i < sk_X509_num(built); ++i) {
      if (!AllowsUsage(sk_X509_value(built, i), usage)) {
        chain->faults.push_back({CERT_E_WRONG_USAGE, i});
        break;
      }
    }
  }
  if (built != nullptr) CheckRevocation(ctx, built, &chain->faults);

  chain->cbSize = sizeof(CERT_CHAIN_CONTEXT);
  chain->TrustStatus = {CERT_TRUST_NO_ERROR, 0};
  for (const Fault& fault : chain->faults) chain->TrustStatus.dwErrorStatus |= TrustBitFor(fault.policy_error);
  X509_up_ref(context->x509);
  chain->leaf = context->x509;
  cleanup();
  *chain_context = chain.release();
  return true;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain_context) { delete AsChain(chain_context); }

bool CertVerifyCertificateChainPolicy(const char* policy, PCCERT_CHAIN_CONTEXT chain_context,
                                      PCERT_CHAIN_POLICY_PARA policy_para, PCERT_CHAIN_POLICY_STATUS policy_status) {
  if (policy != CERT_CHAIN_POLICY_SSL && policy != CERT_CHAIN_POLICY_BASE) return Fail(CRYPT_E_NOT_FOUND);
  const ChainContextImpl* chain = AsChain(chain_context);
  if (chain == nullptr || policy_status == nullptr) return Fail(E_INVALIDARG);
  policy_status->dwError = 0;
  policy_status->lChainIndex = -1;
  policy_status->lElementIndex = -1;

  const Fault* worst = nullptr;
  for (const Fault& fault : chain->faults) {
    if (fault.policy_error == 0) continue;
    if (worst == nullptr || Rank(fault.policy_error) < Rank(worst->policy_error)) worst = &fault;
  }
  if (worst != nullptr) {
    policy_status->dwError = worst->policy_error;
    policy_status->lChainIndex = 0;
    policy_status->lElementIndex = worst->depth;
    return true;
  }
  if (policy != CERT_CHAIN_POLICY_SSL || policy_para == nullptr || policy_para->pvExtraPolicyPara == nullptr) {
    return true;
  }
  const auto* ssl = static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(policy_para->pvExtraPolicyPara);
  if (ssl->dwAuthType == AUTHTYPE_SERVER && ssl->pwszServerName != nullptr && ssl->pwszServerName[0] != 0) {
    std::string name;
    if (!Utf8FromUtf16(ssl->pwszServerName, &name) || !NameMatches(chain->leaf, name)) {
      policy_status->dwError = CERT_E_CN_NO_MATCH;
      policy_status->lChainIndex = 0;
      policy_status->lElementIndex = 0;
    }
  }
  ERR_clear_error();
  return true;
}

}  // namespace platform::tls
