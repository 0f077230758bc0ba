#include "host/ip/elavon_ssl_client.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/tran/elavon_tran.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace tls = platform::tls;
namespace net = platform::net;
using platform::Format;
using tls::SECURITY_STATUS;
using tls::SecBuffer;
using tls::SecBufferDesc;

namespace {

// SEQUENCE_DETECT, REPLAY_DETECT, CONFIDENTIALITY, ALLOCATE_MEMORY, EXTENDED_ERROR, STREAM.
constexpr tls::ULONG kContextRequirements = tls::ISC_REQ_SEQUENCE_DETECT | tls::ISC_REQ_REPLAY_DETECT |
                                            tls::ISC_REQ_CONFIDENTIALITY | tls::ISC_REQ_ALLOCATE_MEMORY |
                                            tls::ISC_REQ_EXTENDED_ERROR | tls::ISC_REQ_STREAM;
static_assert(kContextRequirements == 0xC11C);

// The input buffers of the handshake loop and of the receive operation.
constexpr size_t kIoBufferSize = 0x10000;

std::atomic<uint32_t> g_AnswerTimeoutMs{kElavonAnswerTimeoutMs};

// An output token that the security layer allocates; freed when the holder goes,
// whatever path the caller takes.
class OutputToken {
 public:
  explicit OutputToken(tls::PSecurityFunctionTableA table) : m_Table(table) {}
  OutputToken(const OutputToken&) = delete;
  OutputToken& operator=(const OutputToken&) = delete;
  ~OutputToken() {
    if (m_Buffer.pvBuffer != nullptr) m_Table->FreeContextBuffer(m_Buffer.pvBuffer);
  }
  SecBufferDesc* Desc() { return &m_Desc; }
  bool Empty() const { return m_Buffer.cbBuffer == 0 || m_Buffer.pvBuffer == nullptr; }
  const char* Data() const { return static_cast<const char*>(m_Buffer.pvBuffer); }
  int Size() const { return static_cast<int>(m_Buffer.cbBuffer); }

 private:
  tls::PSecurityFunctionTableA const m_Table;
  SecBuffer m_Buffer{0, tls::SECBUFFER_TOKEN, nullptr};
  SecBufferDesc m_Desc{tls::SECBUFFER_VERSION, 1, &m_Buffer};
};

// A receive buffer, or null when there is no memory for one.
std::unique_ptr<uint8_t[]> NewIoBuffer() { return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kIoBufferSize]); }

bool VerifyCertificateWanted() {
  return g_ParamStore.GetSettings().GetParams().GetParamValue(kParmVerifySslCertificate) == "Y";
}

// Milliseconds left of timeoutMs since start (0 once used up).
uint32_t Remaining(uint32_t start, uint32_t timeoutMs) {
  const uint32_t elapsed = platform::TickDiff(platform::TickCount(), start);
  return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

}  // namespace

uint32_t ElavonAnswerTimeoutMs() { return g_AnswerTimeoutMs.load(); }

ScopedElavonAnswerTimeout::ScopedElavonAnswerTimeout(uint32_t ms) : m_Previous(g_AnswerTimeoutMs.exchange(ms)) {}

ScopedElavonAnswerTimeout::~ScopedElavonAnswerTimeout() { g_AnswerTimeoutMs.store(m_Previous); }

CElavonSslClient::CElavonSslClient(tls::PSecurityFunctionTableA functionTable, tls::CredHandle* credentials)
    : m_FunctionTable(functionTable), m_CredentialsHandle(credentials) {}

CElavonSslClient::~CElavonSslClient() { Disconnect(); }

template <typename F>
void CElavonSslClient::KeepingLastError(F cleanup) {
  const int code = GetLastErrorCode();
  std::string text = GetLastErrorText();
  cleanup();
  SetLastFailure(code, std::move(text));
}

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
    KeepingLastError([this] { ShutdownTls(); });
    Disconnect();
    GetLogger().LogLine("SetContextSizes - Failed - [%d]%s ", GetLastErrorCode(), GetLastErrorText().c_str());
    return false;
  }
  m_TlsUp = true;
  if (VerifyCertificateWanted() && !VerifyServerCertificate()) {
    // The reason stays in the last error for the caller.
    KeepingLastError([this] { ShutdownTls(); });
    Disconnect();
    return false;
  }
  return true;
}

bool CElavonSslClient::Disconnect() {
  KeepingLastError([this] {
    if (m_TlsUp) ShutdownTls();
    if (m_ContextCreated) {
      m_FunctionTable->DeleteSecurityContext(&m_Context);
      m_Context = tls::CtxtHandle{};
      m_ContextCreated = false;
    }
    Close();
  });
  return true;
}

bool CElavonSslClient::ShutdownTls() {
  m_TlsUp = false;  // whatever happens below, no second close_notify
  if (!m_ContextCreated) return false;
  tls::DWORD type = tls::SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, tls::SECBUFFER_TOKEN, &type};
  SecBufferDesc control_desc{tls::SECBUFFER_VERSION, 1, &control};
  if (tls::FAILED(m_FunctionTable->ApplyControlToken(&m_Context, &control_desc))) {
    SetLastErrorCode(kTlsControlTokenFailed);
    return false;
  }
  OutputToken token(m_FunctionTable);
  tls::ULONG attributes = 0;
  const SECURITY_STATUS status =
      m_FunctionTable->InitializeSecurityContextA(m_CredentialsHandle, &m_Context, nullptr, kContextRequirements, 0,
                                                  tls::SECURITY_NATIVE_DREP, nullptr, 0, nullptr, token.Desc(),
                                                  &attributes, nullptr);
  if (tls::FAILED(status)) {
    SetLastErrorCode(kTlsInitializeFailed);
    return false;
  }
  return token.Empty() || Send(token.Data(), token.Size()) > 0;
}

// ---- Handshake ----

bool CElavonSslClient::PerformClientHandshake() {
  if (m_FunctionTable == nullptr || m_CredentialsHandle == nullptr) {
    SetLastFailure(kTlsInitializeFailed,
                   Format("InitializeSecurityContext Failed (A) - Status = %d", tls::SEC_E_INVALID_HANDLE));
    return false;
  }
  OutputToken token(m_FunctionTable);
  tls::ULONG attributes = 0;
  tls::TimeStamp expiry{};
  const SECURITY_STATUS status = m_FunctionTable->InitializeSecurityContextA(
      m_CredentialsHandle, nullptr, m_Host.c_str(), kContextRequirements, 0, tls::SECURITY_NATIVE_DREP, nullptr, 0,
      &m_Context, token.Desc(), &attributes, &expiry);
  if (status != tls::SEC_I_CONTINUE_NEEDED) {
    SetLastFailure(kTlsInitializeFailed, Format("InitializeSecurityContext Failed (A) - Status = %d", status));
    return false;
  }
  // The context exists from here on, whether the first token goes out or not.
  m_ContextCreated = true;
  if (!token.Empty() && Send(token.Data(), token.Size()) <= 0) {
    const int error = net::WSAGetLastError();
    SetLastFailure(kTlsHandshakeIoFailed, Format("Socket Error %d sending to server (A)", error));
    return false;
  }
  std::string extra;
  if (HandshakeLoop(&extra, true) != tls::SEC_E_OK) return false;
  if (extra.empty()) return true;
  // Application data that came with the last handshake message answers nothing we
  // asked: its plain text is dropped. Its records are still decrypted (and a record
  // cut short read to its end), because every later record counts on their sequence.
  int count = 0;
  const int drained = DecryptInput(&count, kHandshakeReadTimeoutMs, extra);
  m_ReceivedText.clear();
  if (drained != kReceiveOk) {
    SetLastErrorCode(kTlsHandshakeIoFailed);
    return false;
  }
  return true;
}

SECURITY_STATUS CElavonSslClient::HandshakeLoop(std::string* extra, bool readFirst, const std::string& initial,
                                                uint32_t readTimeoutMs) {
  extra->clear();
  std::unique_ptr<uint8_t[]> buffer = NewIoBuffer();
  if (!buffer || initial.size() > kIoBufferSize) {
    SetLastFailure(kTlsOutOfMemory, "Out of memory in SSL Handshake.");
    return tls::SEC_E_INTERNAL_ERROR;
  }
  std::memcpy(buffer.get(), initial.data(), initial.size());
  size_t count = initial.size();
  bool skipRead = !readFirst;  // one call on what is there before the first read
  SECURITY_STATUS status = tls::SEC_I_CONTINUE_NEEDED;
  while (status == tls::SEC_I_CONTINUE_NEEDED || status == tls::SEC_E_INCOMPLETE_MESSAGE ||
         status == tls::SEC_I_INCOMPLETE_CREDENTIALS) {
    if (count == 0 || status == tls::SEC_E_INCOMPLETE_MESSAGE) {
      if (!skipRead) {
        // A full buffer that still holds no whole record cannot become one.
        const int got = count < kIoBufferSize
                            ? Receive(reinterpret_cast<char*>(buffer.get() + count),
                                      static_cast<int>(kIoBufferSize - count), readTimeoutMs)
                            : 0;
        if (got == net::SOCKET_ERROR) {
          const int error = net::WSAGetLastError();
          SetLastFailure(error, Format("Socket Error %d receiving from server", error));
          return tls::SEC_E_INTERNAL_ERROR;
        }
        if (got == 0) {
          SetLastFailure(kTlsHandshakeIoFailed, "Server disconnected unexpectedly.");
          return tls::SEC_E_INTERNAL_ERROR;
        }
        count += static_cast<size_t>(got);
      }
    }
    skipRead = false;

    SecBuffer in[2] = {{static_cast<tls::ULONG>(count), tls::SECBUFFER_TOKEN, buffer.get()},
                       {0, tls::SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{tls::SECBUFFER_VERSION, 2, in};
    OutputToken token(m_FunctionTable);
    tls::ULONG attributes = 0;
    tls::TimeStamp expiry{};
    status = m_FunctionTable->InitializeSecurityContextA(m_CredentialsHandle, &m_Context, nullptr,
                                                         kContextRequirements, 0, tls::SECURITY_NATIVE_DREP,
                                                         &in_desc, 0, nullptr, token.Desc(), &attributes, &expiry);
    const bool sendToken = status == tls::SEC_E_OK || status == tls::SEC_I_CONTINUE_NEEDED ||
                           (tls::FAILED(status) && (attributes & tls::ISC_RET_EXTENDED_ERROR));
    if (sendToken && !token.Empty() && Send(token.Data(), token.Size()) <= 0) {
      const int error = net::WSAGetLastError();
      SetLastFailure(kTlsHandshakeIoFailed, Format("Socket Error %d sending to Server(B)", error));
      return tls::SEC_E_INTERNAL_ERROR;
    }

    if (status == tls::SEC_E_INCOMPLETE_MESSAGE) continue;
    if (status == tls::SEC_E_OK) {
      if (in[1].BufferType == tls::SECBUFFER_EXTRA && in[1].cbBuffer <= count) {
        try {
          extra->assign(reinterpret_cast<const char*>(buffer.get()) + (count - in[1].cbBuffer), in[1].cbBuffer);
        } catch (const std::bad_alloc&) {
          SetLastFailure(kTlsOutOfMemory, "Out of memory in SSL Handshake.");
          return tls::SEC_E_INTERNAL_ERROR;
        }
      }
      return tls::SEC_E_OK;
    }
    if (tls::FAILED(status)) {
      SetLastFailure(kTlsInitializeFailed, Format("InitializeSecurityContext Failed(B) - Status = %d", status));
      return status;
    }
    if (status == tls::SEC_I_INCOMPLETE_CREDENTIALS) {
      // No client credentials are offered: call again without reading.
      skipRead = true;
      status = tls::SEC_I_CONTINUE_NEEDED;
      continue;
    }
    if (in[1].BufferType == tls::SECBUFFER_EXTRA && in[1].cbBuffer <= count) {
      std::memmove(buffer.get(), buffer.get() + (count - in[1].cbBuffer), in[1].cbBuffer);
      count = in[1].cbBuffer;
    } else {
      count = 0;
    }
  }
  return status;
}

bool CElavonSslClient::SetContextSizes() {
  tls::SecPkgContext_StreamSizes sizes{};
  const SECURITY_STATUS status =
      m_FunctionTable->QueryContextAttributesA(&m_Context, tls::SECPKG_ATTR_STREAM_SIZES, &sizes);
  if (status != tls::SEC_E_OK) {
    SetLastFailure(kTlsQueryFailed, Format("QueryContextAttributes return Error - %d(SetContextSizes)", status));
    return false;
  }
  const size_t needed = size_t{sizes.cbHeader} + sizes.cbMaximumMessage + sizes.cbTrailer;
  if (needed > m_MessageBuffer.size()) {
    try {
      m_MessageBuffer.assign(needed, 0);
    } catch (const std::bad_alloc&) {
      SetLastFailure(kTlsOutOfMemory, "Out of Memory(SetContextSizes)");
      return false;
    }
  }
  m_StreamSizes = sizes;
  return true;
}

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
      m_FunctionTable->QueryContextAttributesA(&m_Context, tls::SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
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

bool CElavonSslClient::EncryptAndSend(const char* data, size_t length) {
  if (length > m_StreamSizes.cbMaximumMessage) {
    SetLastFailure(kTlsMessageTooLarge, "Message too large to Send!.");
    return false;
  }
  const tls::ULONG header = m_StreamSizes.cbHeader;
  const tls::ULONG trailer = m_StreamSizes.cbTrailer;
  uint8_t* record = m_MessageBuffer.data();
  if (length > 0) std::memcpy(record + header, data, length);
  SecBuffer b[4] = {{header, tls::SECBUFFER_STREAM_HEADER, record},
                    {static_cast<tls::ULONG>(length), tls::SECBUFFER_DATA, record + header},
                    {trailer, tls::SECBUFFER_STREAM_TRAILER, record + header + length},
                    {0, tls::SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{tls::SECBUFFER_VERSION, 4, b};
  const SECURITY_STATUS status =
      m_FunctionTable != nullptr ? m_FunctionTable->EncryptMessage(&m_Context, 0, &desc, 0) : tls::SEC_E_INVALID_HANDLE;
  if (tls::FAILED(status)) {
    SetLastFailure(kTlsEncryptFailed, Format("Error 0x%x Encrypting Message.", static_cast<unsigned>(status)));
    return false;
  }
  const size_t total = size_t{b[0].cbBuffer} + b[1].cbBuffer + b[2].cbBuffer;
  if (total > m_MessageBuffer.size() || Send(reinterpret_cast<const char*>(record), static_cast<int>(total)) <= 0) {
    const int error = net::WSAGetLastError();
    SetLastFailure(kSocketSendFailed, Format("Socket Error %d sending to Host", error));
    return false;
  }
  return true;
}

int CElavonSslClient::ReceiveAndDecrypt(int* count, int timeoutMs) {
  return DecryptInput(count, timeoutMs > 0 ? static_cast<uint32_t>(timeoutMs) : 0, std::string());
}

int CElavonSslClient::DecryptInput(int* count, uint32_t timeout, const std::string& initial) {
  *count = 0;
  if (m_FunctionTable == nullptr) {
    SetLastErrorText(Format("Error 0x%x returned by DecryptMessage.", static_cast<unsigned>(tls::SEC_E_INVALID_HANDLE)));
    return kReceiveDecryptFailed;
  }
  std::unique_ptr<uint8_t[]> buffer = NewIoBuffer();
  if (!buffer) {
    SetLastFailure(kTlsOutOfMemory, "Out of memory (ReceiveAndDecrypt)");
    return kReceiveLost;
  }
  const uint32_t start = platform::TickCount();
  if (initial.size() > kIoBufferSize) {
    SetLastFailure(kTlsDataReceiveFailed, "Host unexpectedly disconnected.(ReceiveAndDecrypt)");
    return kReceiveLost;
  }
  std::memcpy(buffer.get(), initial.data(), initial.size());
  size_t buffered = initial.size();
  SECURITY_STATUS status = tls::SEC_E_OK;
  for (;;) {
    if (buffered == 0 || status == tls::SEC_E_INCOMPLETE_MESSAGE) {
      // Each read waits for what is left of the call's time; a full buffer that
      // still holds no whole record cannot become one.
      const int got = buffered < kIoBufferSize
                          ? Receive(reinterpret_cast<char*>(buffer.get() + buffered),
                                    static_cast<int>(kIoBufferSize - buffered), Remaining(start, timeout))
                          : 0;
      if (got == net::SOCKET_ERROR) {
        const int error = net::WSAGetLastError();
        SetLastFailure(kTlsDataReceiveFailed, Format("Socket Error %d reading data from Host", error));
        return kReceiveLost;
      }
      if (got == 0) {
        if (buffered > 0) {
          SetLastFailure(kTlsDataReceiveFailed, "Host unexpectedly disconnected.(ReceiveAndDecrypt)");
          return kReceiveLost;
        }
        SetLastFailure(kTlsReceiveTimedOut, "Timeout Waiting for Verifiable Packet from Host (ReceiveAndDecrypt)");
        return kReceiveTimedOut;
      }
      buffered += static_cast<size_t>(got);
    }

    SecBuffer b[4] = {{static_cast<tls::ULONG>(buffered), tls::SECBUFFER_DATA, buffer.get()},
                      {0, tls::SECBUFFER_EMPTY, nullptr},
                      {0, tls::SECBUFFER_EMPTY, nullptr},
                      {0, tls::SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{tls::SECBUFFER_VERSION, 4, b};
    status = m_FunctionTable->DecryptMessage(&m_Context, &desc, 0, nullptr);
    if (status == tls::SEC_E_INCOMPLETE_MESSAGE) continue;
    if (status == tls::SEC_I_CONTEXT_EXPIRED) {
      SetLastErrorText("Host Signaled End of Session. (ReceiveAndDecrypt)");
      return kReceivePeerClosed;
    }
    if (status != tls::SEC_E_OK && status != tls::SEC_I_RENEGOTIATE) {
      SetLastErrorText(Format("Error 0x%x returned by DecryptMessage.", static_cast<unsigned>(status)));
      return kReceiveDecryptFailed;
    }

    const SecBuffer* data = nullptr;
    const SecBuffer* extra = nullptr;
    for (int i = 1; i < 4; ++i) {
      if (data == nullptr && b[i].BufferType == tls::SECBUFFER_DATA) data = &b[i];
      if (extra == nullptr && b[i].BufferType == tls::SECBUFFER_EXTRA) extra = &b[i];
    }
    if (data != nullptr && data->cbBuffer > 0) {
      if (m_ReceivedText.size() + data->cbBuffer > kMaxReceivedBytes) {
        SetLastFailure(kTlsDataReceiveFailed,
                       Format("Host sent more than %zu bytes.(ReceiveAndDecrypt)", kMaxReceivedBytes));
        return kReceiveLost;
      }
      m_ReceivedText.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
      *count += static_cast<int>(data->cbBuffer);
    }
    if (extra != nullptr && extra->cbBuffer <= buffered) {
      std::memmove(buffer.get(), extra->pvBuffer, extra->cbBuffer);
      buffered = extra->cbBuffer;
    } else {
      buffered = 0;
    }

    if (status == tls::SEC_E_OK) {
      if (buffered == 0) return kReceiveOk;
      continue;  // decrypt what is left without reading
    }

    // The gateway asked for a new handshake: the bytes left over after its request
    // are the first input of that handshake, and afterwards only what the handshake
    // left over is buffered.
    std::string handshakeExtra;
    const std::string leftover(reinterpret_cast<const char*>(buffer.get()), buffered);
    const uint32_t readTimeout = std::min(kHandshakeReadTimeoutMs, std::max<uint32_t>(Remaining(start, timeout), 1));
    if (HandshakeLoop(&handshakeExtra, false, leftover, readTimeout) != tls::SEC_E_OK) {
      SetLastErrorText("Error occured during Renegotiate attempt requested by Host.");
      return kReceiveRenegotiateFailed;
    }
    // The new keys may come with larger records.
    if (!SetContextSizes()) return kReceiveRenegotiateFailed;
    std::memcpy(buffer.get(), handshakeExtra.data(), handshakeExtra.size());
    buffered = handshakeExtra.size();
    status = tls::SEC_E_OK;
  }
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
