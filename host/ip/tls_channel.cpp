#include "host/ip/tls_channel.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/net/socket.h"
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

// Milliseconds left of timeoutMs since start (0 once used up; never wraps).
uint32_t Remaining(uint32_t start, uint32_t timeoutMs) {
  const uint32_t elapsed = platform::TickDiff(platform::TickCount(), start);
  return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

}  // namespace

CTlsChannel::CTlsChannel(CClientSocket* socket, tls::PSecurityFunctionTableA functionTable,
                         tls::CredHandle* credentials, const CTlsChannelTexts& texts)
    : m_Socket(*socket), m_Texts(texts), m_FunctionTable(functionTable), m_CredentialsHandle(credentials) {}

CTlsChannel::~CTlsChannel() {
  if (m_ContextCreated && m_FunctionTable != nullptr) m_FunctionTable->DeleteSecurityContext(&m_Context);
}

// ---- Failures ----

void CTlsChannel::SetCode(const CTlsFailure& failure, int socketError) {
  if (failure.code == kTlsKeepCode) return;
  m_Socket.SetLastErrorCode(failure.code == kTlsSocketErrorCode ? socketError : failure.code);
}

void CTlsChannel::Fail(const CTlsFailure& failure) {
  SetCode(failure, 0);
  m_Socket.SetLastErrorText(failure.text);
}

void CTlsChannel::Fail(const CTlsFailure& failure, int value) {
  SetCode(failure, value);
  m_Socket.SetLastErrorText(Format(failure.text, value));
}

void CTlsChannel::FailUnsigned(const CTlsFailure& failure, unsigned value) {
  SetCode(failure, static_cast<int>(value));
  m_Socket.SetLastErrorText(Format(failure.text, value));
}

// ---- Close ----

bool CTlsChannel::ShutdownTls() {
  m_TlsUp = false;  // whatever happens below, no second close_notify
  if (!m_ContextCreated || m_FunctionTable == nullptr) return false;
  tls::DWORD type = tls::SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, tls::SECBUFFER_TOKEN, &type};
  SecBufferDesc control_desc{tls::SECBUFFER_VERSION, 1, &control};
  if (tls::FAILED(m_FunctionTable->ApplyControlToken(&m_Context, &control_desc))) {
    m_Socket.SetLastErrorCode(kTlsControlTokenFailed);
    return false;
  }
  OutputToken token(m_FunctionTable);
  tls::ULONG attributes = 0;
  const SECURITY_STATUS status =
      m_FunctionTable->InitializeSecurityContextA(m_CredentialsHandle, &m_Context, nullptr, kContextRequirements, 0,
                                                  tls::SECURITY_NATIVE_DREP, nullptr, 0, nullptr, token.Desc(),
                                                  &attributes, nullptr);
  if (tls::FAILED(status)) {
    m_Socket.SetLastErrorCode(kTlsInitializeFailed);
    return false;
  }
  return token.Empty() || m_Socket.Send(token.Data(), token.Size()) > 0;
}

void CTlsChannel::End() {
  KeepingLastError(m_Socket, [this] {
    if (m_TlsUp) ShutdownTls();
    if (m_ContextCreated) {
      m_FunctionTable->DeleteSecurityContext(&m_Context);
      m_Context = tls::CtxtHandle{};
      m_ContextCreated = false;
    }
  });
}

// ---- Handshake ----

bool CTlsChannel::PerformClientHandshake(const std::string& targetName, std::string* extra) {
  extra->clear();
  if (m_FunctionTable == nullptr || m_CredentialsHandle == nullptr) {
    Fail(m_Texts.firstCallFailed, tls::SEC_E_INVALID_HANDLE);
    return false;
  }
  OutputToken token(m_FunctionTable);
  tls::ULONG attributes = 0;
  tls::TimeStamp expiry{};
  const SECURITY_STATUS status = m_FunctionTable->InitializeSecurityContextA(
      m_CredentialsHandle, nullptr, targetName.c_str(), kContextRequirements, 0, tls::SECURITY_NATIVE_DREP, nullptr,
      0, &m_Context, token.Desc(), &attributes, &expiry);
  if (status != tls::SEC_I_CONTINUE_NEEDED) {
    Fail(m_Texts.firstCallFailed, status);
    return false;
  }
  // The context exists from here on, whether the first token goes out or not.
  m_ContextCreated = true;
  if (!token.Empty() && m_Socket.Send(token.Data(), token.Size()) <= 0) {
    Fail(m_Texts.firstTokenNotSent, net::WSAGetLastError());
    return false;
  }
  return HandshakeLoop(extra, true, std::string(), kHandshakeReadTimeoutMs) == tls::SEC_E_OK;
}

SECURITY_STATUS CTlsChannel::HandshakeLoop(std::string* extra, bool readFirst, const std::string& initial,
                                           uint32_t readTimeoutMs) {
  extra->clear();
  std::unique_ptr<uint8_t[]> buffer = NewIoBuffer();
  if (!buffer || initial.size() > kIoBufferSize) {
    Fail(m_Texts.handshakeOutOfMemory);
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
                            ? m_Socket.Receive(reinterpret_cast<char*>(buffer.get() + count),
                                               static_cast<int>(kIoBufferSize - count), readTimeoutMs)
                            : 0;
        if (got == net::SOCKET_ERROR) {
          Fail(m_Texts.handshakeReadFailed, net::WSAGetLastError());
          return tls::SEC_E_INTERNAL_ERROR;
        }
        if (got == 0) {
          Fail(m_Texts.handshakeDisconnected);
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
    if (sendToken && !token.Empty() && m_Socket.Send(token.Data(), token.Size()) <= 0) {
      Fail(m_Texts.handshakeTokenNotSent, net::WSAGetLastError());
      return tls::SEC_E_INTERNAL_ERROR;
    }

    if (status == tls::SEC_E_INCOMPLETE_MESSAGE) continue;
    if (status == tls::SEC_E_OK) {
      if (in[1].BufferType == tls::SECBUFFER_EXTRA && in[1].cbBuffer <= count) {
        try {
          extra->assign(reinterpret_cast<const char*>(buffer.get()) + (count - in[1].cbBuffer), in[1].cbBuffer);
        } catch (const std::bad_alloc&) {
          Fail(m_Texts.handshakeOutOfMemory);
          return tls::SEC_E_INTERNAL_ERROR;
        }
      }
      return tls::SEC_E_OK;
    }
    if (tls::FAILED(status)) {
      Fail(m_Texts.handshakeCallFailed, status);
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

bool CTlsChannel::SetContextSizes() {
  tls::SecPkgContext_StreamSizes sizes{};
  const SECURITY_STATUS status =
      m_FunctionTable->QueryContextAttributesA(&m_Context, tls::SECPKG_ATTR_STREAM_SIZES, &sizes);
  if (status != tls::SEC_E_OK) {
    Fail(m_Texts.sizesQueryFailed, status);
    return false;
  }
  const size_t needed = size_t{sizes.cbHeader} + sizes.cbMaximumMessage + sizes.cbTrailer;
  if (needed > m_MessageBuffer.size()) {
    try {
      m_MessageBuffer.assign(needed, 0);
    } catch (const std::bad_alloc&) {
      Fail(m_Texts.sizesOutOfMemory);
      return false;
    }
  }
  m_StreamSizes = sizes;
  return true;
}

// ---- Records ----

bool CTlsChannel::EncryptAndSend(const char* data, size_t length) {
  if (length > m_StreamSizes.cbMaximumMessage) {
    m_Socket.SetLastFailure(kTlsMessageTooLarge, "Message too large to Send!.");
    return false;
  }
  if (!m_TlsUp || m_FunctionTable == nullptr || length == 0) {
    m_Socket.SetLastFailure(kTlsEncryptFailed, Format("Error 0x%x Encrypting Message.",
                                                      static_cast<unsigned>(tls::SEC_E_INVALID_HANDLE)));
    return false;
  }
  const tls::ULONG header = m_StreamSizes.cbHeader;
  const tls::ULONG trailer = m_StreamSizes.cbTrailer;
  uint8_t* record = m_MessageBuffer.data();
  std::memcpy(record + header, data, length);
  SecBuffer b[4] = {{header, tls::SECBUFFER_STREAM_HEADER, record},
                    {static_cast<tls::ULONG>(length), tls::SECBUFFER_DATA, record + header},
                    {trailer, tls::SECBUFFER_STREAM_TRAILER, record + header + length},
                    {0, tls::SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{tls::SECBUFFER_VERSION, 4, b};
  const SECURITY_STATUS status = m_FunctionTable->EncryptMessage(&m_Context, 0, &desc, 0);
  if (tls::FAILED(status)) {
    m_Socket.SetLastFailure(kTlsEncryptFailed, Format("Error 0x%x Encrypting Message.", static_cast<unsigned>(status)));
    return false;
  }
  const size_t total = size_t{b[0].cbBuffer} + b[1].cbBuffer + b[2].cbBuffer;
  if (total > m_MessageBuffer.size() ||
      m_Socket.Send(reinterpret_cast<const char*>(record), static_cast<int>(total)) <= 0) {
    const int error = net::WSAGetLastError();
    m_Socket.SetLastFailure(kSocketSendFailed, Format("Socket Error %d sending to Host", error));
    return false;
  }
  return true;
}

int CTlsChannel::ReceiveAndDecrypt(int* count, std::string* text, uint32_t timeout, const std::string& initial) {
  *count = 0;
  if (m_FunctionTable == nullptr) {
    FailUnsigned(m_Texts.decryptFailed, static_cast<unsigned>(tls::SEC_E_INVALID_HANDLE));
    return kReceiveDecryptFailed;
  }
  std::unique_ptr<uint8_t[]> buffer = NewIoBuffer();
  if (!buffer) {
    Fail(m_Texts.receiveOutOfMemory);
    return kReceiveLost;
  }
  const uint32_t start = platform::TickCount();
  if (initial.size() > kIoBufferSize) {
    Fail(m_Texts.receiveDisconnected);
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
                          ? m_Socket.Receive(reinterpret_cast<char*>(buffer.get() + buffered),
                                             static_cast<int>(kIoBufferSize - buffered), Remaining(start, timeout))
                          : 0;
      if (got == net::SOCKET_ERROR) {
        Fail(m_Texts.receiveReadFailed, net::WSAGetLastError());
        return kReceiveLost;
      }
      if (got == 0) {
        if (buffered > 0) {
          Fail(m_Texts.receiveDisconnected);
          return kReceiveLost;
        }
        Fail(m_Texts.receiveTimedOut);
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
      Fail(m_Texts.peerEndedSession);
      return kReceivePeerClosed;
    }
    if (status != tls::SEC_E_OK && status != tls::SEC_I_RENEGOTIATE) {
      FailUnsigned(m_Texts.decryptFailed, static_cast<unsigned>(status));
      return kReceiveDecryptFailed;
    }

    const SecBuffer* data = nullptr;
    const SecBuffer* extra = nullptr;
    for (int i = 1; i < 4; ++i) {
      if (data == nullptr && b[i].BufferType == tls::SECBUFFER_DATA) data = &b[i];
      if (extra == nullptr && b[i].BufferType == tls::SECBUFFER_EXTRA) extra = &b[i];
    }
    if (data != nullptr && data->cbBuffer > 0) {
      if (m_Texts.maxReceivedText > 0 && text->size() + data->cbBuffer > m_Texts.maxReceivedText) {
        FailUnsigned(m_Texts.receivedTooMuch, static_cast<unsigned>(m_Texts.maxReceivedText));
        return kReceiveLost;
      }
      text->append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
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

    // The server asked for a new handshake: the bytes left over after its request
    // are the first input of that handshake, and afterwards only what the handshake
    // left over is buffered. Its reads stay within the call's time.
    std::string handshakeExtra;
    const std::string leftover(reinterpret_cast<const char*>(buffer.get()), buffered);
    const uint32_t readTimeout = std::min(kHandshakeReadTimeoutMs, std::max<uint32_t>(Remaining(start, timeout), 1));
    if (HandshakeLoop(&handshakeExtra, false, leftover, readTimeout) != tls::SEC_E_OK) {
      Fail(m_Texts.renegotiateFailed);
      return kReceiveRenegotiateFailed;
    }
    // The new keys may come with larger records.
    if (!SetContextSizes()) return kReceiveRenegotiateFailed;
    std::memcpy(buffer.get(), handshakeExtra.data(), handshakeExtra.size());
    buffered = handshakeExtra.size();
    status = tls::SEC_E_OK;
  }
}
