// Links between the security contexts and the certificate functions of cert.h.
#pragma once

#include <vector>

#include "platform/tls/cert.h"

typedef struct x509_st X509;

namespace platform::tls {

// A certificate context for chain[0] whose store holds every entry of chain. Takes
// over the references in chain (also on failure). Null when out of memory.
PCCERT_CONTEXT MakeCertContext(std::vector<X509*> chain);

// The policy error (CERT_E_..., TRUST_E_...) and trust-status bit for an error of
// OpenSSL's certificate verification (X509_V_ERR_...).
struct CertFault {
  DWORD policy_error;
  DWORD trust_bit;
};
CertFault CertFaultFromX509Error(int x509_error);

}  // namespace platform::tls
