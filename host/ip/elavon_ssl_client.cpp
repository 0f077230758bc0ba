#include "host/ip/elavon_ssl_client.h"

#include <atomic>
#include <new>
#include <vector>

#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/tran/elavon_tran.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace tls = platform::tls;
using platform::Format;
using tls::SECURITY_STATUS;

namespace {

std::atomic<uint32_t> g_AnswerTimeoutMs{kElavonAnswerTimeoutMs};

// The gateway's texts and codes for the shared TLS channel.
const CTlsChannelTexts kElavonTexts = {
    {kTlsInitializeFailed, "InitializeSecurityContext Failed (A) - Status = %d"},
    {kTlsHandshakeIoFailed, "Socket Error %d sending to server (A)"},
    {kTlsSocketErrorCode, "Socket Error %d receiving from server"},
    {kTlsHandshakeIoFailed, "Server disconnected unexpectedly."},
    {kTlsHandshakeIoFailed, "Socket Error %d sending to Server(B)"},
    {kTlsOutOfMemory, "Out of memory in SSL Handshake."},
    {kTlsInitializeFailed, "InitializeSecurityContext Failed(B) - Status = %d"},
    {kTlsQueryFailed, "QueryContextAttributes return Error - %d(SetContextSizes)"},
    {kTlsOutOfMemory, "Out of Memory(SetContextSizes)"},
    {kTlsDataReceiveFailed, "Socket Error %d reading data from Host"},
    {kTlsDataReceiveFailed, "Host unexpectedly disconnected.(ReceiveAndDecrypt)"},
    {kTlsReceiveTimedOut, "Timeout Waiting for Verifiable Packet from Host (ReceiveAndDecrypt)"},
    {kTlsOutOfMemory, "Out of memory (ReceiveAndDecrypt)"},
    {kTlsKeepCode, "Host Signaled End of Session. (ReceiveAndDecrypt)"},
    {kTlsKeepCode, "Error 0x%x returned by DecryptMessage."},
    {kTlsKeepCode, "Error occured during Renegotiate attempt requested by Host."},
    kMaxReceivedBytes,
    {kTlsDataReceiveFailed, "Host sent more than %u bytes.(ReceiveAndDecrypt)"},
};

bool VerifyCertificateWanted() {
  return g_ParamStore.GetSettings().GetParams().GetParamValue(kParmVerifySslCertificate) == "Y";
}

}  // namespace

uint32_t ElavonAnswerTimeoutMs() { return g_AnswerTimeoutMs.load(); }

ScopedElavonAnswerTimeout::ScopedElavonAnswerTimeout(uint32_t ms) : m_Previous(g_AnswerTimeoutMs.exchange(ms)) {}

ScopedElavonAnswerTimeout::~ScopedElavonAnswerTimeout() { g_AnswerTimeoutMs.store(m_Previous); }

CElavonSslClient::CElavonSslClient(tls::PSecurityFunctionTableA functionTable, tls::CredHandle* credentials)
    : m_Channel(this, functionTable, credentials, kElavonTexts) {}

CElavonSslClient::~CElavonSslClient() { Disconnect(); }

// ---- Connect and close ----

bool CElavonSslClient::Connect(const std::string& host, int port, int timeoutMs) {
  if (!ConnectToServerByHostName(host, port, timeoutMs > 0 ? static_cast<unsigned>(timeoutMs) : 0)) {
    GetLogger().LogLine("ConnectToServerByHostName - Failed - [%d]%s ", GetLastErrorCode(),
                        GetLastErrorText().c_str());
    GetLogger().LogCause("The Elavon gateway cannot be reached at %s", GetConnectFailureCause().c_str());
    return false;
  }
  m_Host = host;
  if (!PerformClientHandshake()) {
    Disconnect();
    GetLogger().LogLine("PerformClientHandshake - Failed - [%d]%s ", GetLastErrorCode(), GetLastErrorText().c_str());
    return false;
  }
  if (!SetContextSizes()) {
    KeepingLastError(*this, [this] { ShutdownTls(); });
    Disconnect();
    GetLogger().LogLine("SetContextSizes - Failed - [%d]%s ", GetLastErrorCode(), GetLastErrorText().c_str());
    return false;
  }
  m_Channel.MarkTlsUp();
  if (VerifyCertificateWanted() && !VerifyServerCertificate()) {
    // The reason stays in the last error for the caller.
    KeepingLastError(*this, [this] { ShutdownTls(); });
    Disconnect();
    return false;
  }
  return true;
}

bool CElavonSslClient::Disconnect() {
  m_Channel.End();
  KeepingLastError(*this, [this] { Close(); });
  return true;
}

bool CElavonSslClient::ShutdownTls() { return m_Channel.ShutdownTls(); }

// ---- Handshake ----

bool CElavonSslClient::PerformClientHandshake() {
  std::string extra;
  if (!m_Channel.PerformClientHandshake(m_Host, &extra)) return false;
  if (extra.empty()) return true;
  // Application data that came with the last handshake message answers nothing we
  // asked: its plain text is dropped. Its records are still decrypted (and a record
  // cut short read to its end), because every later record counts on their sequence.
  int count = 0;
  const int drained = m_Channel.ReceiveAndDecrypt(&count, &m_ReceivedText, kHandshakeReadTimeoutMs, extra);
  m_ReceivedText.clear();
  if (drained != kReceiveOk) {
    SetLastErrorCode(kTlsHandshakeIoFailed);
    return false;
  }
  return true;
}

SECURITY_STATUS CElavonSslClient::HandshakeLoop(std::string* extra, bool readFirst, const std::string& initial,
                                                uint32_t readTimeoutMs) {
  return m_Channel.HandshakeLoop(extra, readFirst, initial, readTimeoutMs);
}

bool CElavonSslClient::SetContextSizes() { return m_Channel.SetContextSizes(); }

// ---- Certificate check ----

bool CElavonSslClient::VerifyServerCertificate() {
  if (m_Host.empty()) {
    SetLastFailure(kCertHostNameBad, "VerifyServerCertificate Failed (A) - The target principal name is incorrect.");
    return false;
  }
  const int units = tls::MultiByteToWideChar(tls::CP_ACP, 0, m_Host.c_str(), -1, nullptr, 0);
  std::vector<tls::WCHAR> serverName;
  if (units > 0) {
    try {
      serverName.resize(static_cast<size_t>(units));
    } catch (const std::bad_alloc&) {
      SetLastFailure(kTlsOutOfMemory, "VerifyServerCertificate Failed (B) - Insufficient Memory.");
      return false;
    }
  }
  if (units <= 0 || tls::MultiByteToWideChar(tls::CP_ACP, 0, m_Host.c_str(), -1, serverName.data(), units) != units) {
    SetLastFailure(kCertHostNameBad, "VerifyServerCertificate Failed (C) - The target principal name is incorrect.");
    return false;
  }

  tls::PCCERT_CONTEXT cert = nullptr;
  const SECURITY_STATUS queried =
      m_Channel.GetFunctionTable()->QueryContextAttributesA(m_Channel.GetContext(), tls::SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                                                            &cert);
  if (queried != tls::SEC_E_OK) {
    SetLastFailure(kTlsQueryFailed, Format("VerifyServerCertificate Failed (C) - Status = %d", queried));
    return false;
  }
  // Frees the certificate and the chain on every path below.
  struct Held {
    tls::PCCERT_CONTEXT cert;
    tls::PCCERT_CHAIN_CONTEXT chain = nullptr;
    ~Held() {
      if (chain != nullptr) tls::CertFreeCertificateChain(chain);
      tls::CertFreeCertificateContext(cert);
    }
  } held{cert};

  const char* usages[] = {tls::szOID_PKIX_KP_SERVER_AUTH, tls::szOID_SERVER_GATED_CRYPTO, tls::szOID_SGC_NETSCAPE};
  tls::CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = tls::USAGE_MATCH_TYPE_OR;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 3;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  if (!tls::CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &chainPara, 0, nullptr, &held.chain)) {
    const uint32_t error = platform::GetLastError();
    SetLastFailure(kCertChainFailed, Format("CertGetCertificateChain Failed (D) Errod %d", static_cast<int>(error)));
    return false;
  }

  tls::SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara{};
  sslPara.cbSize = sizeof sslPara;
  sslPara.dwAuthType = tls::AUTHTYPE_SERVER;
  sslPara.fdwChecks = 0;
  sslPara.pwszServerName = serverName.data();
  tls::CERT_CHAIN_POLICY_PARA policyPara{};
  policyPara.cbSize = sizeof policyPara;
  policyPara.pvExtraPolicyPara = &sslPara;
  tls::CERT_CHAIN_POLICY_STATUS policyStatus{};
  policyStatus.cbSize = sizeof policyStatus;
  if (!tls::CertVerifyCertificateChainPolicy(tls::CERT_CHAIN_POLICY_SSL, held.chain, &policyPara, &policyStatus)) {
    const uint32_t error = platform::GetLastError();
    SetLastFailure(kCertPolicyFailed,
                   Format("VerifyCertificateChain Failed (E) - Status = %d", static_cast<int>(error)));
    return false;
  }
  if (policyStatus.dwError != 0) {
    std::string more;
    GetCertErrorText(policyStatus.dwError, &more);
    SetLastFailure(kCertPolicyError, Format("VerifyCertificateChain Failed (F) - Error = %d more: ",
                                            static_cast<int>(policyStatus.dwError)) +
                                         more);
    return false;
  }
  return true;
}

void CElavonSslClient::GetCertErrorText(tls::DWORD error, std::string* text) {
  switch (error) {
    case tls::CERT_E_EXPIRED: *text = "SSL Certificate is Expired."; break;
    case tls::CERT_E_VALIDITYPERIODNESTING: *text = "CERT_E_VALIDITYPERIODNESTING"; break;
    case tls::CERT_E_ROLE: *text = "CERT_E_ROLE"; break;
    case tls::CERT_E_PATHLENCONST: *text = "CERT_E_PATHLENCONST"; break;
    case tls::CERT_E_CRITICAL: *text = "CERT_E_CRITICAL"; break;
    case tls::CERT_E_PURPOSE: *text = "CERT_E_PURPOSE"; break;
    case tls::CERT_E_ISSUERCHAINING: *text = "CERT_E_ISSUERCHAINING"; break;
    case tls::CERT_E_MALFORMED: *text = "CERT_E_MALFORMED"; break;
    case tls::CERT_E_UNTRUSTEDROOT: *text = "SSL Certificate - Untrusted Root"; break;
    case tls::CERT_E_CHAINING: *text = "CERT_E_CHAINING"; break;
    case tls::TRUST_E_FAIL: *text = "TRUST_E_FAIL"; break;
    case tls::CERT_E_REVOKED: *text = "SSL Certificate Has Been Revoked."; break;
    case tls::CERT_E_UNTRUSTEDTESTROOT: *text = "CERT_E_UNTRUSTEDTESTROOT"; break;
    case tls::CERT_E_REVOCATION_FAILURE: *text = "CERT_E_REVOCATION_FAILURE"; break;
    case tls::CERT_E_CN_NO_MATCH: *text = "SSL Certificate Common Name Does Not Match."; break;
    case tls::CERT_E_WRONG_USAGE: *text = "CERT_E_WRONG_USAGE"; break;
    default: *text = "CERT_E_UNKNOWN"; break;
  }
}

// ---- Records ----

bool CElavonSslClient::EncryptAndSend(const char* data, size_t length) { return m_Channel.EncryptAndSend(data, length); }

int CElavonSslClient::ReceiveAndDecrypt(int* count, int timeoutMs) {
  return m_Channel.ReceiveAndDecrypt(count, &m_ReceivedText, timeoutMs > 0 ? static_cast<uint32_t>(timeoutMs) : 0,
                                     std::string());
}

// ---- The HTTP exchange ----

bool CElavonSslClient::BuildHttpRequest(const CElavonTran& tran) {
  if (tran.m_HostRequest.size() < 2) {
    m_RequestText.clear();
    SetLastFailure(kTlsNoRequest, "No Elavon message to send.");
    return false;
  }
  m_RequestText = BuildElavonHttpRequest(tran.m_HostRequest);
  return true;
}

bool CElavonSslClient::Transact(int /*unused*/) { return SendAndReceive(); }

bool CElavonSslClient::SendAndReceive() {
  if (m_RequestText.empty()) {
    SetLastFailure(kTlsNoRequest, "No Elavon message to send.");
    return false;
  }
  if (!EncryptAndSend(m_RequestText)) return false;
  // The request is at the host now: its answer is waited for even while the
  // interface stops, so that it is delivered or reversed rather than dropped.
  platform::Event* const watched = GetAbortEvent();
  SetAbortEvent(nullptr);
  const int received = ReceiveResponse(static_cast<int>(ElavonAnswerTimeoutMs()));
  SetAbortEvent(watched);
  if (received <= 0) return false;
  m_Response.Reset();
  const bool parsed = m_Response.Parse(m_ReceivedText);
  if (parsed && m_Response.GetStatusCode() == 200 && !m_Response.GetBody().empty()) return true;
  if (!parsed) {
    GetLogger().LogLine("%s", ("Unable to Parse Response:" + EscapeResponseForLog(m_ReceivedText)).c_str());
  } else if (m_Response.GetStatusCode() == 200) {
    GetLogger().LogLine("%s", ("200 Without Payload:" + EscapeResponseForLog(m_ReceivedText)).c_str());
  } else if (m_Response.GetStatusCode() != 500) {
    GetLogger().LogLine("%s", ("Not 200 or 500 Response:" + EscapeResponseForLog(m_ReceivedText)).c_str());
  }
  SetLastErrorText("-" + m_Response.GetReasonText());
  return false;
}

int CElavonSslClient::ReceiveResponse(int timeoutMs) {
  m_ReceivedText.clear();
  long long remaining = timeoutMs;
  uint32_t mark = platform::TickCount();
  while (remaining > 0) {
    int count = 0;
    const int result = ReceiveAndDecrypt(&count, static_cast<int>(remaining));
    if (result == kReceiveTimedOut) return 0;
    if (result == kReceivePeerClosed) return count > 0 ? static_cast<int>(m_ReceivedText.size()) : 0;
    if (result != kReceiveOk) return -1;
    const bool complete = IsResponseComplete();
    const uint32_t now = platform::TickCount();
    remaining -= platform::TickDiff(now, mark);
    mark = now;
    if (complete) return static_cast<int>(m_ReceivedText.size());
  }
  return static_cast<int>(m_ReceivedText.size());
}
