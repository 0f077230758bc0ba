#include "host/ip/rvcs_ssl_socket.h"

#include <algorithm>

using namespace platform::tls;

namespace {

// The configuration service's texts for the shared TLS channel: only sending,
// encrypting and closing set codes (the channel's own).
const CTlsChannelTexts kRvcsTexts = {
    {kTlsKeepCode, "InitializeSecurityContext Failed - Status = %d"},
    {kTlsKeepCode, "Socket Error %d sending to server"},
    {kTlsKeepCode, "Socket Error %d receiving from server"},
    {kTlsKeepCode, "Server disconnected unexpectedly."},
    {kTlsKeepCode, "Socket Error %d sending to server(2)"},
    {kTlsKeepCode, "Out of memory in SSL Handshake."},
    {kTlsKeepCode, "InitializeSecurityContext Failed(2) - Status = %d"},
    {kTlsKeepCode, "QueryContextAttributes return Error - %d(SetContextSizes)"},
    {kTlsKeepCode, "Out of Memory(SetContextSizes)"},
    {kTlsKeepCode, "Socket Error %d reading data from server"},
    {kTlsKeepCode, "Server unexpectedly disconnected.(ReceiveAndDecrypt)"},
    {kTlsKeepCode, "Timeout Waiting for Verifiable Packet from server  (ReceiveAndDecrypt)"},
    {kTlsKeepCode, "Out of memory (ReceiveAndDecrypt)"},
    {kTlsKeepCode, "Server Signaled End of Session. (ReceiveAndDecrypt)"},
    {kTlsKeepCode, "Error 0x%x returned by DecryptMessage."},
    {kTlsKeepCode, "Error occured during Renegotiate attempt requested by server."},
    kRvcsMaxMessageBytes,
    {kTlsKeepCode, "Message from server too large (more than %u bytes)"},
};

}  // namespace

CRvcsSslSocket::CRvcsSslSocket(PSecurityFunctionTableA functionTable, PCredHandle credentials)
    : m_Channel(this, functionTable, credentials, kRvcsTexts) {}

CRvcsSslSocket::~CRvcsSslSocket() { Disconnect(); }

bool CRvcsSslSocket::Connect(const std::string& host, int port, int timeoutMs) {
  if (m_Channel.IsTlsUp() || m_Channel.HasContext()) Disconnect();
  if (!ConnectToServerByHostName(host, port, static_cast<unsigned>(std::max(timeoutMs, 0)))) return false;
  m_Host = host;
  if (!PerformClientHandshake()) {
    Disconnect();
    return false;
  }
  if (!SetContextSizes()) {
    KeepingLastError(*this, [this] { ShutdownTls(); });
    Disconnect();
    return false;
  }
  m_Channel.MarkTlsUp();
  return true;
}

bool CRvcsSslSocket::Disconnect() {
  m_Channel.End();
  m_PendingInput.clear();
  KeepingLastError(*this, [this] { Close(); });
  return true;
}

bool CRvcsSslSocket::PerformClientHandshake() {
  m_PendingInput.clear();
  std::string extra;
  if (!m_Channel.PerformClientHandshake(m_Host, &extra)) return false;
  m_PendingInput = std::move(extra);
  return true;
}

SECURITY_STATUS CRvcsSslSocket::HandshakeLoop(std::string* extra, bool readFirst) {
  return m_Channel.HandshakeLoop(extra, readFirst, std::string(), kHandshakeReadTimeoutMs);
}

bool CRvcsSslSocket::SetContextSizes() { return m_Channel.SetContextSizes(); }

bool CRvcsSslSocket::ShutdownTls() { return m_Channel.ShutdownTls(); }

bool CRvcsSslSocket::EncryptAndSend(const char* data, int length) {
  return m_Channel.EncryptAndSend(data, static_cast<size_t>(std::max(length, 0)));
}

int CRvcsSslSocket::ReceiveAndDecrypt(int* count, std::string& text, int timeoutMs) {
  // What came with the last handshake message goes first, once.
  const std::string pending = std::move(m_PendingInput);
  m_PendingInput.clear();
  return m_Channel.ReceiveAndDecrypt(count, &text, static_cast<uint32_t>(std::max(timeoutMs, 0)), pending);
}
