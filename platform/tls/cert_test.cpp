#include "platform/tls/cert.h"

#include <openssl/x509_vfy.h>

#include <cctype>
#include <ctime>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text/format.h"
#include "platform/tls/cert_internal.h"
#include "platform/tls/test_peer.h"

namespace platform::tls {
namespace {

using testing::CertSpec;
using testing::CrlPem;
using testing::Der;
using testing::Link;
using testing::MakeCert;
using testing::MakeKey;
using testing::Pem;
using testing::PkeyPtr;
using testing::TestPki;
using testing::TestServer;
using testing::TlsClient;
using testing::TrustAnchors;
using testing::X509Ptr;

// What the server presents and what the client trusts.
struct Presented {
  X509Ptr leaf;
  PkeyPtr key;
  std::vector<X509Ptr> chain;  // sent after the leaf
  std::vector<std::string> anchors;
};

CertSpec Leaf() { return CertSpec(); }

Presented SignedByTheCa(const TestPki& pki, const CertSpec& spec) {
  Presented s;
  s.key = MakeKey();
  s.leaf = MakeCert(spec, s.key.get(), pki.ca.get(), pki.ca_key.get());
  s.anchors = {Pem(pki.ca.get())};
  return s;
}

struct ChainCase {
  const char* name;
  std::function<Presented(const TestPki&)> setup;
  const char* host;
  DWORD expected;
};

const ChainCase kChainCases[] = {
    {"trusted CA", [](const TestPki& p) { return SignedByTheCa(p, Leaf()); }, "gateway.test", 0},
    {"host name in other case", [](const TestPki& p) { return SignedByTheCa(p, Leaf()); }, "GATEWAY.Test", 0},
    {"wrong host name", [](const TestPki& p) { return SignedByTheCa(p, Leaf()); }, "other.test", CERT_E_CN_NO_MATCH},
    {"untrusted root sent with the chain",
     [](const TestPki& p) {
       Presented s = SignedByTheCa(p, Leaf());
       X509_up_ref(p.ca.get());
       s.chain.emplace_back(p.ca.get());
       s.anchors.clear();
       return s;
     },
     "gateway.test", CERT_E_UNTRUSTEDROOT},
    {"self-signed server certificate",
     [](const TestPki& p) {
       Presented s;
       s.key = MakeKey();
       s.leaf = MakeCert(Leaf(), s.key.get(), nullptr, nullptr);
       s.anchors = {Pem(p.ca.get())};
       return s;
     },
     "gateway.test", CERT_E_UNTRUSTEDROOT},
    {"issuer neither sent nor trusted",
     [](const TestPki& p) {
       Presented s = SignedByTheCa(p, Leaf());
       s.anchors.clear();
       return s;
     },
     "gateway.test", CERT_E_CHAINING},
    {"expired",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.valid_from_s = -20 * 86400;
       spec.valid_until_s = -60;
       return SignedByTheCa(p, spec);
     },
     "gateway.test", CERT_E_EXPIRED},
    {"not yet valid",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.valid_from_s = 3600;
       return SignedByTheCa(p, spec);
     },
     "gateway.test", CERT_E_EXPIRED},
    {"expired and for another name: the chain fault comes first",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.valid_until_s = -60;
       return SignedByTheCa(p, spec);
     },
     "other.test", CERT_E_EXPIRED},
    {"client authentication only",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.usage = "clientAuth";
       return SignedByTheCa(p, spec);
     },
     "gateway.test", CERT_E_WRONG_USAGE},
    {"server-gated cryptography usage",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.usage = "1.3.6.1.4.1.311.10.3.3";
       return SignedByTheCa(p, spec);
     },
     "gateway.test", 0},
    {"no usage list", [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.usage.clear();
       return SignedByTheCa(p, spec);
     },
     "gateway.test", 0},
    {"revoked by a list the trust store holds",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.serial = 4242;
       Presented s = SignedByTheCa(p, spec);
       s.anchors.push_back(CrlPem(p.ca.get(), p.ca_key.get(), {4242}));
       return s;
     },
     "gateway.test", CERT_E_REVOKED},
    {"a list that names another certificate",
     [](const TestPki& p) {
       Presented s = SignedByTheCa(p, Leaf());
       s.anchors.push_back(CrlPem(p.ca.get(), p.ca_key.get(), {999}));
       return s;
     },
     "gateway.test", 0},
    {"wildcard name",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.alt_names = {"DNS:*.elavon.test"};
       return SignedByTheCa(p, spec);
     },
     "gateway.elavon.test", 0},
    {"wildcard covers one label only",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.alt_names = {"DNS:*.elavon.test"};
       return SignedByTheCa(p, spec);
     },
     "a.gateway.elavon.test", CERT_E_CN_NO_MATCH},
    {"common name without alternative names",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.alt_names.clear();
       return SignedByTheCa(p, spec);
     },
     "gateway.test", 0},
    {"IP address",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.alt_names = {"IP:127.0.0.1"};
       return SignedByTheCa(p, spec);
     },
     "127.0.0.1", 0},
    {"another IP address",
     [](const TestPki& p) {
       CertSpec spec = Leaf();
       spec.alt_names = {"IP:127.0.0.1"};
       return SignedByTheCa(p, spec);
     },
     "127.0.0.2", CERT_E_CN_NO_MATCH},
    {"intermediate sent by the server",
     [](const TestPki& p) {
       CertSpec mid_spec;
       mid_spec.common_name = "Test Intermediate";
       mid_spec.alt_names.clear();
       mid_spec.is_ca = true;
       mid_spec.usage.clear();
       mid_spec.serial = 7;
       PkeyPtr mid_key = MakeKey();
       X509Ptr mid = MakeCert(mid_spec, mid_key.get(), p.ca.get(), p.ca_key.get());
       Presented s;
       s.key = MakeKey();
       s.leaf = MakeCert(Leaf(), s.key.get(), mid.get(), mid_key.get());
       s.chain.push_back(std::move(mid));
       s.anchors = {Pem(p.ca.get())};
       return s;
     },
     "gateway.test", 0},
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

class CertChainPolicy : public ::testing::TestWithParam<ChainCase> {};

TEST_P(CertChainPolicy, GivesTheCodeOfTheFault) {
  const ChainCase& c = GetParam();
  TestPki pki;
  Presented s = c.setup(pki);
  std::vector<X509*> chain;
  for (const auto& cert : s.chain) chain.push_back(cert.get());
  TestServer server(s.leaf.get(), s.key.get(), chain, TestServer::Options());
  Link link(&server, 0x10000);
  TlsClient client(&link, c.host);
  ASSERT_TRUE(client.Handshake()) << "the handshake itself checks nothing";
  TrustAnchors anchors(s.anchors);
  EXPECT_EQ(client.VerifyServerCertificate(c.host), c.expected) << std::hex << client.VerifyServerCertificate(c.host);
}

INSTANTIATE_TEST_SUITE_P(Cases, CertChainPolicy, ::testing::ValuesIn(kChainCases),
                         [](const ::testing::TestParamInfo<ChainCase>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           }
                           return name;
                         });

TEST(CertContext, TheServersChainComesWithItsCertificate) {
  TestPki pki;
  TestServer server(pki.server.get(), pki.server_key.get(), {pki.ca.get()}, TestServer::Options());
  Link link(&server, 0x10000);
  TlsClient client(&link, "gateway.test");
  ASSERT_TRUE(client.Handshake());
  PCCERT_CONTEXT cert = nullptr;
  ASSERT_EQ(QueryContextAttributesA(&client.context(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert), SEC_E_OK);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded),
            Der(pki.server.get()));
  EXPECT_NE(cert->hCertStore, nullptr);
  EXPECT_TRUE(cert->dwCertEncodingType & X509_ASN_ENCODING);

  // With the root only in the context's store, the chain is complete but untrusted.
  TrustAnchors none({});
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  ASSERT_TRUE(CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain));
  EXPECT_TRUE(chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_UNTRUSTED_ROOT);
  CERT_CHAIN_POLICY_STATUS status{};
  EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, nullptr, &status));
  EXPECT_EQ(status.dwError, CERT_E_UNTRUSTEDROOT);
  EXPECT_EQ(status.lElementIndex, 1) << "the root is at fault";
  CertFreeCertificateChain(chain);
  CertFreeCertificateContext(cert);
}

// A context made from DER bytes, checked against the test CA.
class CertFromDer : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string der = Der(pki_.server.get());
    cert_ = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                         static_cast<DWORD>(der.size()));
    ASSERT_NE(cert_, nullptr);
  }
  void TearDown() override { CertFreeCertificateContext(cert_); }

  DWORD PolicyError(const FILETIME* at, const SSL_EXTRA_CERT_CHAIN_POLICY_PARA* ssl) {
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    EXPECT_TRUE(CertGetCertificateChain(nullptr, cert_, at, nullptr, &para, 0, nullptr, &chain));
    if (chain == nullptr) return 0xFFFFFFFF;
    CERT_CHAIN_POLICY_PARA policy{sizeof policy, 0, const_cast<SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(ssl)};
    CERT_CHAIN_POLICY_STATUS status{};
    EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status));
    CertFreeCertificateChain(chain);
    return status.dwError;
  }

  TestPki pki_;
  TrustAnchors anchors_{{Pem(pki_.ca.get())}};
  PCCERT_CONTEXT cert_ = nullptr;
};

FILETIME FileTimeIn(long seconds) {
  const uint64_t ticks = (static_cast<uint64_t>(std::time(nullptr) + seconds) + 11644473600ull) * 10000000ull;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

TEST_F(CertFromDer, TheCheckRunsAtTheGivenTime) {
  EXPECT_EQ(PolicyError(nullptr, nullptr), 0u);
  const FILETIME later = FileTimeIn(60 * 86400);
  EXPECT_EQ(PolicyError(&later, nullptr), CERT_E_EXPIRED);
  const FILETIME earlier = FileTimeIn(-86400);
  EXPECT_EQ(PolicyError(&earlier, nullptr), CERT_E_EXPIRED);
}

TEST_F(CertFromDer, TheNameIsCheckedOnlyForAServerWithAName) {
  const std::u16string other = u"other.test";
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{sizeof ssl, AUTHTYPE_SERVER, 0, other.c_str()};
  EXPECT_EQ(PolicyError(nullptr, &ssl), CERT_E_CN_NO_MATCH);
  ssl.dwAuthType = AUTHTYPE_CLIENT;
  EXPECT_EQ(PolicyError(nullptr, &ssl), 0u);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = nullptr;
  EXPECT_EQ(PolicyError(nullptr, &ssl), 0u);
  const std::u16string right = u"gateway.test";
  ssl.pwszServerName = right.c_str();
  EXPECT_EQ(PolicyError(nullptr, &ssl), 0u);
}

TEST_F(CertFromDer, BadArgumentsFailWithALastError) {
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  platform::SetLastError(0);
  EXPECT_FALSE(CertGetCertificateChain(nullptr, nullptr, nullptr, nullptr, &para, 0, nullptr, &chain));
  EXPECT_EQ(platform::GetLastError(), E_INVALIDARG);
  EXPECT_FALSE(CertGetCertificateChain(nullptr, cert_, nullptr, nullptr, nullptr, 0, nullptr, &chain));
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  EXPECT_FALSE(CertGetCertificateChain(nullptr, cert_, nullptr, nullptr, &para, 0, nullptr, &chain));
  para.RequestedUsage.Usage.cUsageIdentifier = 0;

  ASSERT_TRUE(CertGetCertificateChain(nullptr, cert_, nullptr, nullptr, &para, 0, nullptr, &chain));
  CERT_CHAIN_POLICY_STATUS status{};
  platform::SetLastError(0);
  EXPECT_FALSE(CertVerifyCertificateChainPolicy(reinterpret_cast<const char*>(2), chain, nullptr, &status));
  EXPECT_EQ(platform::GetLastError(), CRYPT_E_NOT_FOUND);
  EXPECT_FALSE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, nullptr, nullptr));
  EXPECT_EQ(platform::GetLastError(), E_INVALIDARG);
  CertFreeCertificateChain(chain);

  const BYTE garbage[] = {0x30, 0x03, 0x01, 0x01, 0x00};
  EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING, garbage, sizeof garbage), nullptr);
  EXPECT_EQ(platform::GetLastError(), CRYPT_E_ASN1_BADTAG);
  EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST(CertFaults, OpenSslVerifyErrorsMapToPolicyErrors) {
  const struct {
    int x509;
    DWORD policy;
  } cases[] = {
      {X509_V_OK, 0},
      {X509_V_ERR_CERT_HAS_EXPIRED, CERT_E_EXPIRED},
      {X509_V_ERR_CERT_NOT_YET_VALID, CERT_E_EXPIRED},
      {X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, CERT_E_UNTRUSTEDROOT},
      {X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, CERT_E_UNTRUSTEDROOT},
      {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, CERT_E_CHAINING},
      {X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, CERT_E_CHAINING},
      {X509_V_ERR_CERT_SIGNATURE_FAILURE, TRUST_E_CERT_SIGNATURE},
      {X509_V_ERR_CERT_REVOKED, CERT_E_REVOKED},
      {X509_V_ERR_UNABLE_TO_GET_CRL, CERT_E_REVOCATION_FAILURE},
      {X509_V_ERR_INVALID_PURPOSE, CERT_E_WRONG_USAGE},
      {X509_V_ERR_INVALID_CA, CERT_E_ROLE},
      {X509_V_ERR_PATH_LENGTH_EXCEEDED, CERT_E_PATHLENCONST},
      {X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION, CERT_E_CRITICAL},
      {X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD, CERT_E_MALFORMED},
      {X509_V_ERR_SUBJECT_ISSUER_MISMATCH, CERT_E_ISSUERCHAINING},
      {X509_V_ERR_HOSTNAME_MISMATCH, CERT_E_CN_NO_MATCH},
      {X509_V_ERR_OUT_OF_MEM, TRUST_E_FAIL},
  };
  for (const auto& c : cases) EXPECT_EQ(CertFaultFromX509Error(c.x509).policy_error, c.policy) << c.x509;
}

TEST(WideText, MultiByteToWideCharFollowsItsContract) {
  WCHAR out[16];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "host", -1, nullptr, 0), 5) << "size with the NUL";
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "host", -1, out, 16), 5);
  EXPECT_EQ(std::u16string(out), u"host");
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "h\xc3\xa9", 3, out, 16), 2);
  EXPECT_EQ(out[1], u'\u00e9');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xf0\x9f\x94\x92", 4, out, 16), 2) << "a surrogate pair";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xffz", 3, out, 16), 3);
  EXPECT_EQ(out[1], u'\ufffd');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xe2\x82", 2, out, 16), 2) << "a cut sequence, byte by byte";

  const struct {
    uint32_t code_page;
    DWORD flags;
    const char* src;
    int src_len;
    int dst_len;
    DWORD error;
  } failures[] = {
      {CP_UTF8, MB_ERR_INVALID_CHARS, "a\xffz", 3, 16, ERROR_NO_UNICODE_TRANSLATION},
      {CP_ACP, 0, "gateway.test", -1, 4, ERROR_INSUFFICIENT_BUFFER},
      {1252, 0, "host", -1, 16, ERROR_INVALID_PARAMETER},
      {CP_ACP, 0, "host", 0, 16, ERROR_INVALID_PARAMETER},
      {CP_ACP, 0, nullptr, -1, 16, ERROR_INVALID_PARAMETER},
  };
  for (const auto& f : failures) {
    platform::SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(f.code_page, f.flags, f.src, f.src_len, out, f.dst_len), 0);
    EXPECT_EQ(platform::GetLastError(), f.error);
  }
}

}  // namespace
}  // namespace platform::tls
