// CRvcsSslSocket: the TLS channel of the configuration-service client. A TLS 1.2
// client over the process's security interface (the SSPI function table and the
// outbound credentials of g_SspiInterface, neither owned here) on the TCP connection
// of its base CClientSocket:
// - Connect: TCP connect, handshake, record sizes; no certificate check and no log
//   line. A failed connect leaves the object closed and ready for another Connect
//   (the next endpoint); the record buffer of an earlier sizing is reused when it is
//   large enough.
// - Application data that arrives with the last handshake message is kept and
//   delivered by the next ReceiveAndDecrypt without another read.
// - EncryptAndSend: one TLS record per call; ReceiveAndDecrypt appends the plain
//   bytes of the records it decrypts to the caller's text.
// Failures leave their text in the base's last error. The handshake, sizing and
// receive steps set only the text and keep the code; the send, encrypt and close
// steps set the code too (3107 too large, 3012 encrypt, 3003 send, 3106 and 3102
// close).
//
// Result codes of ReceiveAndDecrypt: kTlsOk (0), kTlsSocketError (2, socket error or
// lost connection), kTlsTimeout (3), kTlsEnded (4, the server's close_notify),
// kTlsRenegotiateFailed (5), kTlsDecryptError (6).
//
// No lock: one object is used by one thread at a time (the download worker). The
// function table and the credentials are shared read-only with the other clients.
// Every wait ends early when g_AbortEvent is set (through CClientSocket::Receive).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/vocab/bool_value.h"
#include "host/ip/client_socket.h"
#include "platform/tls/sspi.h"

inline constexpr int kTlsOk = 0;
inline constexpr int kTlsSocketError = 2;
inline constexpr int kTlsTimeout = 3;
inline constexpr int kTlsEnded = 4;
inline constexpr int kTlsRenegotiateFailed = 5;
inline constexpr int kTlsDecryptError = 6;

class CRvcsSslSocket : public CClientSocket {
 public:
  // Both pointers must outlive the object.
  CRvcsSslSocket(platform::tls::PSecurityFunctionTableA functionTable, platform::tls::PCredHandle credentials);
  CRvcsSslSocket(const CRvcsSslSocket&) = delete;
  CRvcsSslSocket& operator=(const CRvcsSslSocket&) = delete;
  ~CRvcsSslSocket() override;  // Disconnect

  // TCP connect within timeoutMs, TLS handshake (reads of 10,000 ms each) and record
  // sizes. False, with the object closed, when a step fails.
  bool Connect(const std::string& host, int port, int timeoutMs);
  // close_notify when TLS is up, the context deleted, the socket closed. Always true.
  bool Disconnect();

  // One record of length bytes (1 to the record size). False, with nothing sent, for
  // a longer message or before TLS is up.
  bool EncryptAndSend(const char* data, int length);
  bool EncryptAndSend(const std::string& data) {
    return EncryptAndSend(data.data(), static_cast<int>(data.size()));
  }

  // Reads and decrypts until no received bytes remain undecrypted, appending the
  // plain bytes to text and their number to *count. All reads of one call together
  // stay within timeoutMs: when the time runs out with nothing, or only part of a
  // record, received, the result is kTlsTimeout.
  int ReceiveAndDecrypt(int* count, std::string& text, int timeoutMs);

  // The largest message EncryptAndSend takes (0 before TLS is up).
  uint32_t GetMaximumMessage() const { return m_TlsUp.m_Value ? m_StreamSizes.cbMaximumMessage : 0; }

  // The steps of Connect and Disconnect.
  bool PerformClientHandshake();
  // The loop over the server's handshake records until SEC_E_OK; application data
  // that followed the last handshake record is returned in *extra.
  platform::tls::SECURITY_STATUS HandshakeLoop(std::string* extra, bool readFirst);
  bool SetContextSizes();
  bool ShutdownTls();

 private:
  std::vector<uint8_t> m_MessageBuffer;  // header + maximum message + trailer
  CBoolValue m_TlsUp;
  CBoolValue m_ContextCreated;
  platform::tls::PSecurityFunctionTableA const m_FunctionTable;
  platform::tls::PCredHandle const m_CredentialsHandle;
  platform::tls::CtxtHandle m_Context{};
  platform::tls::SecPkgContext_StreamSizes m_StreamSizes{};
  std::string m_PendingInput;  // records received with the last handshake message
  std::string m_Host;          // the TLS target name of the last connect
};
