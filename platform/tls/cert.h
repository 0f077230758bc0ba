// Certificate contexts, chain building and the SSL chain policy in the shape of the
// CryptoAPI calls a TLS client makes to check a server's certificate by hand, over
// OpenSSL's X509 store:
// - trust anchors: OpenSSL's default locations (the system bundle and folder), or the
//   file and folder named by SSL_CERT_FILE / SSL_CERT_DIR when set; kept loaded and
//   loaded again when a variable or the bundle file changes (trust_store.h);
// - CertGetCertificateChain builds and checks the chain at the given time (now when
//   none), with the context's own store as intermediates, and records what is wrong
//   (expired, untrusted root, incomplete chain, signature, usage, revocation...) in
//   the chain context; it fails only on bad arguments or lack of memory;
// - CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL) turns that into one
//   CERT_E_... / TRUST_E_... code in dwError and, for AUTHTYPE_SERVER with a server
//   name, checks the name against the leaf (X509_check_host: subjectAltName DNS
//   names with wildcards, the common name when there are none; an IP address
//   against the IP entries): CERT_E_CN_NO_MATCH. Chain faults come first, in this
//   order: signature, untrusted root, incomplete chain, validity, revocation, usage,
//   the rest; then the name.
// No revocation lists are fetched (as with no revocation flags on the original
// platform); a CRL that OpenSSL's store happens to hold is honoured.
//
// Failures return false and leave a Windows error code in platform::GetLastError()
// (E_INVALIDARG for bad arguments, CRYPT_E_NOT_FOUND for an unknown policy...).
// Thread safety: every function may be called from any thread; contexts and chains
// are immutable once made and may be read by several threads.
#pragma once

#include <cstdint>

namespace platform::tls {

using BYTE = uint8_t;
using DWORD = uint32_t;
using WCHAR = char16_t;  // UTF-16, as the original platform's wide characters
using HCERTSTORE = void*;
using HCERTCHAINENGINE = void*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// pCertInfo is not decoded here and is always null; pbCertEncoded is the DER form.
struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  void* pCertInfo;
  HCERTSTORE hCertStore;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CERT_ENHKEY_USAGE {
  DWORD cUsageIdentifier;
  const char** rgpszUsageIdentifier;
};

struct CERT_USAGE_MATCH {
  DWORD dwType;
  CERT_ENHKEY_USAGE Usage;
};

struct CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
};
using PCERT_CHAIN_PARA = CERT_CHAIN_PARA*;

struct CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
};

// The part of a chain context that callers may read; the rest is private.
struct CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
};
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

struct SSL_EXTRA_CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwAuthType;
  DWORD fdwChecks;
  const WCHAR* pwszServerName;
};

struct CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwFlags;
  void* pvExtraPolicyPara;
};
using PCERT_CHAIN_POLICY_PARA = CERT_CHAIN_POLICY_PARA*;

struct CERT_CHAIN_POLICY_STATUS {
  DWORD cbSize;
  DWORD dwError;
  int32_t lChainIndex;
  int32_t lElementIndex;
  void* pvExtraPolicyStatus;
};
using PCERT_CHAIN_POLICY_STATUS = CERT_CHAIN_POLICY_STATUS*;

inline constexpr DWORD X509_ASN_ENCODING = 0x00000001;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;

inline constexpr DWORD USAGE_MATCH_TYPE_AND = 0;
inline constexpr DWORD USAGE_MATCH_TYPE_OR = 1;
inline constexpr char szOID_PKIX_KP_SERVER_AUTH[] = "1.3.6.1.5.5.7.3.1";
inline constexpr char szOID_SERVER_GATED_CRYPTO[] = "1.3.6.1.4.1.311.10.3.3";
inline constexpr char szOID_SGC_NETSCAPE[] = "2.16.840.1.113730.4.1";

inline constexpr DWORD AUTHTYPE_CLIENT = 1;
inline constexpr DWORD AUTHTYPE_SERVER = 2;

// Policy identifiers are small integers passed as pointers.
inline const char* const CERT_CHAIN_POLICY_BASE = reinterpret_cast<const char*>(1);
inline const char* const CERT_CHAIN_POLICY_SSL = reinterpret_cast<const char*>(4);

// TrustStatus.dwErrorStatus bits.
inline constexpr DWORD CERT_TRUST_NO_ERROR = 0x00000000;
inline constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x00000001;
inline constexpr DWORD CERT_TRUST_IS_REVOKED = 0x00000004;
inline constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x00000008;
inline constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x00000010;
inline constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x00000020;
inline constexpr DWORD CERT_TRUST_REVOCATION_STATUS_UNKNOWN = 0x00000040;
inline constexpr DWORD CERT_TRUST_INVALID_EXTENSION = 0x00000100;
inline constexpr DWORD CERT_TRUST_INVALID_BASIC_CONSTRAINTS = 0x00000400;
inline constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x00010000;

// Policy errors (dwError).
inline constexpr DWORD TRUST_E_CERT_SIGNATURE = 0x80096004;
inline constexpr DWORD CERT_E_EXPIRED = 0x800B0101;
inline constexpr DWORD CERT_E_VALIDITYPERIODNESTING = 0x800B0102;
inline constexpr DWORD CERT_E_ROLE = 0x800B0103;
inline constexpr DWORD CERT_E_PATHLENCONST = 0x800B0104;
inline constexpr DWORD CERT_E_CRITICAL = 0x800B0105;
inline constexpr DWORD CERT_E_PURPOSE = 0x800B0106;
inline constexpr DWORD CERT_E_ISSUERCHAINING = 0x800B0107;
inline constexpr DWORD CERT_E_MALFORMED = 0x800B0108;
inline constexpr DWORD CERT_E_UNTRUSTEDROOT = 0x800B0109;
inline constexpr DWORD CERT_E_CHAINING = 0x800B010A;
inline constexpr DWORD TRUST_E_FAIL = 0x800B010B;
inline constexpr DWORD CERT_E_REVOKED = 0x800B010C;
inline constexpr DWORD CERT_E_UNTRUSTEDTESTROOT = 0x800B010D;
inline constexpr DWORD CERT_E_REVOCATION_FAILURE = 0x800B010E;
inline constexpr DWORD CERT_E_CN_NO_MATCH = 0x800B010F;
inline constexpr DWORD CERT_E_WRONG_USAGE = 0x800B0110;

// Last-error values of these functions.
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr DWORD E_INVALIDARG = 0x80070057;
inline constexpr DWORD E_OUTOFMEMORY = 0x8007000E;
inline constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
inline constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310B;

// A context for one DER certificate (X509_ASN_ENCODING), with an empty store. Null
// with CRYPT_E_ASN1_BADTAG when the bytes are not a certificate.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding_type, const BYTE* encoded, DWORD encoded_size);
// Frees a context from CertCreateCertificateContext or QueryContextAttributesA
// (null is allowed). Always true.
bool CertFreeCertificateContext(PCCERT_CONTEXT context);

// Builds the chain of `cert` (see the header comment). engine must be null (the
// default engine); time may be null (now); additional_store may be null or the
// hCertStore of a context; flags are not used. RequestedUsage: the leaf and every
// certificate above it that carries an extended-key-usage list must allow one (OR)
// or all (AND) of the identifiers (anyExtendedKeyUsage allows all); no identifiers
// means no usage check.
bool CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, const FILETIME* time,
                             HCERTSTORE additional_store, PCERT_CHAIN_PARA chain_para, DWORD flags,
                             void* reserved, PCCERT_CHAIN_CONTEXT* chain_context);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain_context);

// CERT_CHAIN_POLICY_SSL or CERT_CHAIN_POLICY_BASE (else false, CRYPT_E_NOT_FOUND).
// Sets dwError (0 when the chain passes), lChainIndex 0 and lElementIndex (the
// certificate at fault, 0 = leaf) or both -1. The SSL extra parameters are optional;
// fdwChecks is not used (nothing can be switched off).
bool CertVerifyCertificateChainPolicy(const char* policy, PCCERT_CHAIN_CONTEXT chain_context,
                                      PCERT_CHAIN_POLICY_PARA policy_para, PCERT_CHAIN_POLICY_STATUS policy_status);

inline constexpr uint32_t CP_ACP = 0;
inline constexpr uint32_t CP_UTF8 = 65001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;

// In place of MultiByteToWideChar for host names: CP_ACP and CP_UTF8 both read UTF-8
// (the character set of this system). src_len -1 converts up to and including the
// terminating NUL. dst null or dst_len 0: returns the number of UTF-16 units needed.
// Invalid sequences become U+FFFD, or fail with ERROR_NO_UNICODE_TRANSLATION under
// MB_ERR_INVALID_CHARS. Returns 0 on failure: ERROR_INSUFFICIENT_BUFFER,
// ERROR_INVALID_PARAMETER (another code page, src_len 0 or below -1, null src).
int MultiByteToWideChar(uint32_t code_page, DWORD flags, const char* src, int src_len, WCHAR* dst, int dst_len);

}  // namespace platform::tls
