#include "host/ip/rvcs_ssl_socket.h"

#include <algorithm>
#include <cstring>

#include "platform/net/socket.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

using namespace platform::tls;

namespace {

constexpr ULONG kContextRequirements = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                       ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM;
constexpr size_t kInputBufferSize = 0x10000;
constexpr unsigned kHandshakeReadTimeoutMs = 10000;

constexpr int kCodeTooLarge = 3107;
constexpr int kCodeEncrypt = 3012;
constexpr int kCodeSend = 3003;
constexpr int kCodeControlToken = 3106;
constexpr int kCodeInitialize = 3102;

// Milliseconds left of budgetMs since start; 0 once it is used up (never wraps).
uint32_t RemainingMs(uint32_t start, uint32_t budgetMs) {
  const uint32_t elapsed = platform::TickDiff(platform::TickCount(), start);
  return elapsed >= budgetMs ? 0 : budgetMs - elapsed;
}

}  // namespace

CRvcsSslSocket::CRvcsSslSocket(PSecurityFunctionTableA functionTable, PCredHandle credentials)
    : m_FunctionTable(functionTable), m_CredentialsHandle(credentials) {}

CRvcsSslSocket::~CRvcsSslSocket() { Disconnect(); }

bool CRvcsSslSocket::Connect(const std::string& host, int port, int timeoutMs) {
  if (m_TlsUp.m_Value || m_ContextCreated.m_Value) Disconnect();
  if (!ConnectToServerByHostName(host, port, static_cast<unsigned>(std::max(timeoutMs, 0)))) return false;
  m_Host = host;
  if (!PerformClientHandshake()) {
    Disconnect();
    return false;
  }
  if (!SetContextSizes()) {
    ShutdownTls();
    Disconnect();
    return false;
  }
  m_TlsUp.m_Value = true;
  return true;
}

bool CRvcsSslSocket::Disconnect() {
  if (m_TlsUp.m_Value) {
    ShutdownTls();
    m_TlsUp.m_Value = false;
  }
  if (m_ContextCreated.m_Value) {
    m_FunctionTable->DeleteSecurityContext(&m_Context);
    m_Context = CtxtHandle{};
    m_ContextCreated.m_Value = false;
  }
  m_PendingInput.clear();
  Close();
  return true;
}

bool CRvcsSslSocket::PerformClientHandshake() {
  m_PendingInput.clear();
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  ULONG attributes = 0;
  const SECURITY_STATUS status = m_FunctionTable->InitializeSecurityContextA(
      m_CredentialsHandle, nullptr, m_Host.c_str(), kContextRequirements, 0, SECURITY_NATIVE_DREP, nullptr, 0,
      &m_Context, &outDesc, &attributes, nullptr);
  if (status != SEC_I_CONTINUE_NEEDED) {
    m_FunctionTable->FreeContextBuffer(out.pvBuffer);
    SetLastErrorText(platform::Format("InitializeSecurityContext Failed - Status = %d", status));
    return false;
  }
  // The context exists from here, so that a failure below still deletes it.
  m_ContextCreated.m_Value = true;
  if (out.cbBuffer != 0 && out.pvBuffer != nullptr) {
    const int sent = Send(static_cast<const char*>(out.pvBuffer), static_cast<int>(out.cbBuffer));
    m_FunctionTable->FreeContextBuffer(out.pvBuffer);
    if (sent == platform::net::SOCKET_ERROR || sent == 0) {
      SetLastErrorText(platform::Format("Socket Error %d sending to server", platform::net::WSAGetLastError()));
      return false;
    }
  }
  std::string extra;
  if (HandshakeLoop(&extra, true) != SEC_E_OK) return false;
  m_PendingInput = std::move(extra);
  return true;
}

SECURITY_STATUS CRvcsSslSocket::HandshakeLoop(std::string* extra, bool readFirst) {
  extra->clear();
  std::vector<char> input(kInputBufferSize);
  size_t count = 0;
  bool read = readFirst;
  SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
  while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE ||
         status == SEC_I_INCOMPLETE_CREDENTIALS) {
    if (count == 0 || status == SEC_E_INCOMPLETE_MESSAGE) {
      if (read) {
        if (count == input.size()) {
          // A handshake record that does not fit the buffer can never complete.
          SetLastErrorText(platform::Format("InitializeSecurityContext Failed(2) - Status = %d", status));
          return status;
        }
        const int received = Receive(input.data() + count, static_cast<int>(input.size() - count),
                                     kHandshakeReadTimeoutMs);
        if (received == platform::net::SOCKET_ERROR) {
          SetLastErrorText(
              platform::Format("Socket Error %d receiving from server", platform::net::WSAGetLastError()));
          return SEC_E_INTERNAL_ERROR;
        }
        if (received <= 0) {
          SetLastErrorText("Server disconnected unexpectedly.");
          return SEC_E_INTERNAL_ERROR;
        }
        count += static_cast<size_t>(received);
      } else {
        read = true;
      }
    }

    SecBuffer in[2] = {{static_cast<ULONG>(count), SECBUFFER_TOKEN, input.data()}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    status = m_FunctionTable->InitializeSecurityContextA(m_CredentialsHandle, &m_Context, nullptr,
                                                         kContextRequirements, 0, SECURITY_NATIVE_DREP, &inDesc, 0,
                                                         nullptr, &outDesc, &attributes, nullptr);

    const bool mayAnswer = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED ||
                           (FAILED(status) && (attributes & ISC_RET_EXTENDED_ERROR) != 0);
    if (mayAnswer && out.cbBuffer != 0 && out.pvBuffer != nullptr) {
      const int sent = Send(static_cast<const char*>(out.pvBuffer), static_cast<int>(out.cbBuffer));
      if (sent == platform::net::SOCKET_ERROR || sent == 0) {
        SetLastErrorText(platform::Format("Socket Error %d sending to server(2)", platform::net::WSAGetLastError()));
        m_FunctionTable->FreeContextBuffer(out.pvBuffer);
        return SEC_E_INTERNAL_ERROR;
      }
    }
    m_FunctionTable->FreeContextBuffer(out.pvBuffer);

    if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
    if (status == SEC_E_OK) {
      if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= count) {
        extra->assign(input.data() + count - in[1].cbBuffer, in[1].cbBuffer);
      }
      return SEC_E_OK;
    }
    if (FAILED(status)) {
      SetLastErrorText(platform::Format("InitializeSecurityContext Failed(2) - Status = %d", status));
      return status;
    }
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      // No client certificate is offered: go on without one.
      read = false;
      status = SEC_I_CONTINUE_NEEDED;
      continue;
    }
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= count) {
      std::memmove(input.data(), input.data() + count - in[1].cbBuffer, in[1].cbBuffer);
      count = in[1].cbBuffer;
    } else {
      count = 0;
    }
  }
  return status;
}

bool CRvcsSslSocket::SetContextSizes() {
  const SECURITY_STATUS status =
      m_FunctionTable->QueryContextAttributesA(&m_Context, SECPKG_ATTR_STREAM_SIZES, &m_StreamSizes);
  if (status != SEC_E_OK) {
    SetLastErrorText(platform::Format("QueryContextAttributes return Error - %d(SetContextSizes)", status));
    return false;
  }
  // A buffer from an earlier connection is reused only when this one's records fit.
  const size_t needed = static_cast<size_t>(m_StreamSizes.cbHeader) + m_StreamSizes.cbMaximumMessage +
                        m_StreamSizes.cbTrailer;
  if (m_MessageBuffer.size() < needed) m_MessageBuffer.resize(needed);
  return true;
}

bool CRvcsSslSocket::ShutdownTls() {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc tokenDesc{SECBUFFER_VERSION, 1, &token};
  if (FAILED(m_FunctionTable->ApplyControlToken(&m_Context, &tokenDesc))) {
    SetLastErrorCode(kCodeControlToken);
    return false;
  }
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  ULONG attributes = 0;
  const SECURITY_STATUS status =
      m_FunctionTable->InitializeSecurityContextA(m_CredentialsHandle, &m_Context, nullptr, kContextRequirements, 0,
                                                  SECURITY_NATIVE_DREP, nullptr, 0, nullptr, &outDesc, &attributes,
                                                  nullptr);
  if (FAILED(status)) {
    m_FunctionTable->FreeContextBuffer(out.pvBuffer);
    SetLastErrorCode(kCodeInitialize);
    return false;
  }
  bool sent = true;
  if (out.cbBuffer != 0 && out.pvBuffer != nullptr) {
    const int result = Send(static_cast<const char*>(out.pvBuffer), static_cast<int>(out.cbBuffer));
    sent = result != platform::net::SOCKET_ERROR && result != 0;
  }
  m_FunctionTable->FreeContextBuffer(out.pvBuffer);
  return sent;
}

bool CRvcsSslSocket::EncryptAndSend(const char* data, int length) {
  if (!m_TlsUp.m_Value || length <= 0) {
    SetLastFailure(kCodeEncrypt, platform::Format("Error 0x%x Encrypting Message.", static_cast<unsigned>(SEC_E_INVALID_HANDLE)));
    return false;
  }
  if (static_cast<uint32_t>(length) > m_StreamSizes.cbMaximumMessage) {
    SetLastFailure(kCodeTooLarge, "Message too large to Send!.");
    return false;
  }
  uint8_t* const buffer = m_MessageBuffer.data();
  std::memcpy(buffer + m_StreamSizes.cbHeader, data, static_cast<size_t>(length));
  SecBuffer buffers[4] = {
      {m_StreamSizes.cbHeader, SECBUFFER_STREAM_HEADER, buffer},
      {static_cast<ULONG>(length), SECBUFFER_DATA, buffer + m_StreamSizes.cbHeader},
      {m_StreamSizes.cbTrailer, SECBUFFER_STREAM_TRAILER, buffer + m_StreamSizes.cbHeader + length},
      {0, SECBUFFER_EMPTY, nullptr},
  };
  SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS status = m_FunctionTable->EncryptMessage(&m_Context, 0, &desc, 0);
  if (FAILED(status)) {
    SetLastFailure(kCodeEncrypt, platform::Format("Error 0x%x Encrypting Message.", static_cast<unsigned>(status)));
    return false;
  }
  const size_t total = static_cast<size_t>(buffers[0].cbBuffer) + buffers[1].cbBuffer + buffers[2].cbBuffer;
  const int sent = Send(reinterpret_cast<const char*>(buffer), static_cast<int>(total));
  if (sent == platform::net::SOCKET_ERROR || sent == 0) {
    SetLastFailure(kCodeSend, platform::Format("Socket Error %d sending to Host", platform::net::WSAGetLastError()));
    return false;
  }
  return true;
}

int CRvcsSslSocket::ReceiveAndDecrypt(int* count, std::string& text, int timeoutMs) {
  *count = 0;
  const uint32_t budget = static_cast<uint32_t>(std::max(timeoutMs, 0));
  const uint32_t start = platform::TickCount();
  std::vector<char> input(kInputBufferSize);
  size_t buffered = std::min(m_PendingInput.size(), input.size());
  std::memcpy(input.data(), m_PendingInput.data(), buffered);
  m_PendingInput.clear();

  SECURITY_STATUS status = SEC_E_OK;
  while (true) {
    if (buffered == 0 || status == SEC_E_INCOMPLETE_MESSAGE) {
      if (buffered == input.size()) {
        // A record larger than the buffer can never be decrypted.
        SetLastErrorText(platform::Format("Error 0x%x returned by DecryptMessage.", static_cast<unsigned>(status)));
        return kTlsDecryptError;
      }
      const uint32_t left = RemainingMs(start, budget);
      const int received = Receive(input.data() + buffered, static_cast<int>(input.size() - buffered), left);
      if (received == platform::net::SOCKET_ERROR) {
        SetLastErrorText(
            platform::Format("Socket Error %d reading data from server", platform::net::WSAGetLastError()));
        return kTlsSocketError;
      }
      if (received <= 0) {
        if (buffered > 0 && RemainingMs(start, budget) > 0) {
          SetLastErrorText("Server unexpectedly disconnected.(ReceiveAndDecrypt)");
          return kTlsSocketError;
        }
        SetLastErrorText("Timeout Waiting for Verifiable Packet from server  (ReceiveAndDecrypt)");
        return kTlsTimeout;
      }
      buffered += static_cast<size_t>(received);
    }

    SecBuffer buffers[4] = {{static_cast<ULONG>(buffered), SECBUFFER_DATA, input.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    status = m_FunctionTable->DecryptMessage(&m_Context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) continue;
    if (status == SEC_I_CONTEXT_EXPIRED) {
      SetLastErrorText("Server Signaled End of Session. (ReceiveAndDecrypt)");
      return kTlsEnded;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      SetLastErrorText(platform::Format("Error 0x%x returned by DecryptMessage.", static_cast<unsigned>(status)));
      return kTlsDecryptError;
    }

    const SecBuffer* data = nullptr;
    const SecBuffer* extra = nullptr;
    for (int i = 1; i < 4; ++i) {
      if (!data && buffers[i].BufferType == SECBUFFER_DATA) data = &buffers[i];
      if (!extra && buffers[i].BufferType == SECBUFFER_EXTRA) extra = &buffers[i];
    }
    if (data && data->cbBuffer > 0) {
      text.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
      *count += static_cast<int>(data->cbBuffer);
    }
    if (extra && extra->cbBuffer > 0 && extra->cbBuffer <= buffered) {
      std::memmove(input.data(), extra->pvBuffer, extra->cbBuffer);
      buffered = extra->cbBuffer;
    } else {
      buffered = 0;
    }

    if (status == SEC_E_OK) {
      if (buffered == 0) return kTlsOk;
      continue;  // the next record is already here
    }

    // The server asked for a new handshake.
    std::string handshakeExtra;
    if (HandshakeLoop(&handshakeExtra, false) != SEC_E_OK) {
      SetLastErrorText("Error occured during Renegotiate attempt requested by server.");
      return kTlsRenegotiateFailed;
    }
    if (!handshakeExtra.empty()) {
      buffered = std::min(handshakeExtra.size(), input.size());
      std::memcpy(input.data(), handshakeExtra.data(), buffered);
    }
    status = SEC_E_OK;
  }
}
