// CRvcsSslSocket: the TLS channel of the configuration-service client. A TLS 1.2
// client over the process's security interface (the SSPI function table and the
// outbound credentials of g_SspiInterface, neither owned here) on the TCP connection
// of its base CClientSocket. Its record layer is the TLS channel both TLS clients
// share (CTlsChannel), run with this client's texts (the service is "server" in them):
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
// close). Disconnect keeps the last error as it was.
//
// ReceiveAndDecrypt is bounded inside its loop: once the caller's text would hold
// more than kRvcsMaxMessageBytes, it stops with kReceiveLost and "Message from
// server too large (more than 65536 bytes)", whatever the service sends and however
// its records fall across reads (a service that sends each record's tail with the
// next one's head never lets a receive end by itself).
//
// Results of ReceiveAndDecrypt: the channel's kReceiveOk (0), kReceiveLost (2, socket
// error, lost connection, the text's bound, or the time ran out with part of a record
// received), kReceiveTimedOut (3, nothing arrived), kReceivePeerClosed (4, the
// server's close_notify), kReceiveRenegotiateFailed (5), kReceiveDecryptFailed (6).
//
// No lock: one object is used by one thread at a time (the download worker). The
// function table and the credentials are shared read-only with the other clients.
// Every wait ends early when g_AbortEvent is set (through CClientSocket::Receive).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/ip/client_socket.h"
#include "host/ip/tls_channel.h"
#include "platform/tls/sspi.h"

// The most bytes the text of one ReceiveAndDecrypt may hold: the longest message the
// configuration-service client takes.
inline constexpr size_t kRvcsMaxMessageBytes = 65536;

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
  // close_notify when TLS is up, the context deleted, the socket closed, the kept
  // handshake data dropped. The last error is left as it was. Always true.
  bool Disconnect();

  // One record of length bytes (1 to the record size). False, with nothing sent, for
  // a longer message or before TLS is up.
  bool EncryptAndSend(const char* data, int length);
  bool EncryptAndSend(const std::string& data) {
    return EncryptAndSend(data.data(), static_cast<int>(data.size()));
  }

  // Reads and decrypts until no received bytes remain undecrypted, appending the
  // plain bytes to text and their number to *count; kReceiveLost, appending nothing
  // more, when text would grow beyond kRvcsMaxMessageBytes. All reads of one call
  // together stay within timeoutMs: when the time runs out with nothing received the
  // result is kReceiveTimedOut, with part of a record received kReceiveLost.
  int ReceiveAndDecrypt(int* count, std::string& text, int timeoutMs);

  // The largest message EncryptAndSend takes (0 before TLS is up).
  uint32_t GetMaximumMessage() const {
    return m_Channel.IsTlsUp() ? m_Channel.GetStreamSizes().cbMaximumMessage : 0;
  }

  // The steps of Connect and Disconnect.
  bool PerformClientHandshake();
  // The loop over the server's handshake records until SEC_E_OK; application data
  // that followed the last handshake record is returned in *extra.
  platform::tls::SECURITY_STATUS HandshakeLoop(std::string* extra, bool readFirst);
  bool SetContextSizes();
  bool ShutdownTls();

 private:
  CTlsChannel m_Channel;       // over this object's own socket, with the service's texts
  std::string m_PendingInput;  // records received with the last handshake message
  std::string m_Host;          // the TLS target name of the last connect
};
