// CElavonSslClient: one TLS 1.2 connection to the Elavon IP gateway over the TCP
// connection of its CClientSocket base, driven through the SSPI function table of
// g_SspiInterface, and the HTTP exchange that carries one Elavon message over it.
// The record layer is the TLS channel both TLS clients share (CTlsChannel), run with
// this client's texts and codes (the gateway is "Host" in them).
// A new object is built for every connection; it is not reconnected.
//
// Connect: TCP, handshake, record sizes, then (when merchant parameter VERIFY SSL
// CERTIFICATE is exactly "Y") the check of the gateway's certificate chain and name.
// Exchange: BuildHttpRequest with the record, then Transact: one POST in one TLS
// record and up to 30,000 ms for the answer; true when the answer has status 200 and
// a body (GetResponse().GetBody()). Failures leave their code and text in the base's
// last-error fields; only Connect and the exchange write log lines.
//
// The abort event: it ends the waits of Connect (the handshake's reads), when the
// object watches it (the base's SetAbortEvent; g_AbortEvent by default). Once a
// request is on the wire it is at the host: the wait for its answer is bounded by
// the answer time alone, whatever the abort event says.
//
// Bounds: every receive reads at most its buffer and waits at most what is left of
// its time-out; the decrypted answer is capped at kMaxReceivedBytes, beyond which the
// receive fails (a gateway cannot make the client's memory grow without limit).
// Records: application data that arrives with the last handshake message is
// decrypted and dropped (never skipped, which would break the record sequence);
// bytes after a HelloRequest are the first input of the new handshake; the record
// buffer grows when a renegotiated cipher needs larger records. Output tokens from
// the security layer are freed on every path. Messages are byte strings (NUL too).
//
// Not thread-safe: the object belongs to the thread that built it. The SSPI table and
// credential handle are shared read-only with the other clients; the merchant
// parameters are read through a copy (g_ParamStore's lock); log lines go through the
// shared logger (its own lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ip/client_socket.h"
#include "host/ip/http_response.h"
#include "host/ip/tls_channel.h"
#include "platform/tls/cert.h"
#include "platform/tls/sspi.h"

class CElavonTran;

// Last-error codes of this client beyond those of the TLS channel.
inline constexpr int kTlsNoRequest = 3108;  // Transact without a request built
inline constexpr int kCertChainFailed = 3110;
inline constexpr int kCertPolicyFailed = 3111;
inline constexpr int kCertPolicyError = 3112;
inline constexpr int kCertHostNameBad = 3139;

// The most decrypted bytes one answer may hold.
inline constexpr size_t kMaxReceivedBytes = 65536;

// Time the gateway has for its answer (the read time-out inside a handshake is the
// channel's kHandshakeReadTimeoutMs).
inline constexpr uint32_t kElavonAnswerTimeoutMs = 30000;

// The answer time in force: kElavonAnswerTimeoutMs unless a test shortened it.
uint32_t ElavonAnswerTimeoutMs();
// Tests only: another answer time for the object's lifetime (process-wide).
class ScopedElavonAnswerTimeout {
 public:
  explicit ScopedElavonAnswerTimeout(uint32_t ms);
  ScopedElavonAnswerTimeout(const ScopedElavonAnswerTimeout&) = delete;
  ScopedElavonAnswerTimeout& operator=(const ScopedElavonAnswerTimeout&) = delete;
  ~ScopedElavonAnswerTimeout();

 private:
  uint32_t m_Previous;
};

class CElavonSslClient : public CClientSocket {
 public:
  // Neither pointer is owned; both must outlive the object (g_SspiInterface's).
  CElavonSslClient(platform::tls::PSecurityFunctionTableA functionTable, platform::tls::CredHandle* credentials);
  ~CElavonSslClient() override;  // Disconnect

  // TCP connect within timeoutMs, handshake, record sizes, optional certificate
  // check. False leaves the object closed.
  bool Connect(const std::string& host, int port, int timeoutMs);
  // close_notify when TLS is up, the context deleted, the socket closed. The last
  // error is left as it was. Always true.
  bool Disconnect();

  // The steps of Connect.
  bool PerformClientHandshake();
  // The handshake loop over the received records until SEC_E_OK; `initial` bytes
  // (already received, not yet consumed) are taken first. Application data after the
  // last handshake message goes to *extra. Each read waits at most readTimeoutMs.
  platform::tls::SECURITY_STATUS HandshakeLoop(std::string* extra, bool readFirst,
                                               const std::string& initial = std::string(),
                                               uint32_t readTimeoutMs = kHandshakeReadTimeoutMs);
  bool SetContextSizes();
  bool VerifyServerCertificate();
  static void GetCertErrorText(platform::tls::DWORD error, std::string* text);
  // Sends the close_notify (once: TLS counts as down from the first call).
  bool ShutdownTls();

  // One TLS record out (at most cbMaximumMessage bytes).
  bool EncryptAndSend(const char* data, size_t length);
  bool EncryptAndSend(const std::string& data) { return EncryptAndSend(data.data(), data.size()); }
  // Receives and decrypts until no received byte is left over; plain bytes are
  // appended to the received text, *count says how many this call added. Waits at
  // most timeoutMs in all. Results kReceiveOk ... kReceiveDecryptFailed.
  int ReceiveAndDecrypt(int* count, int timeoutMs);

  // The HTTP request for tran.m_HostRequest; false (nothing built, the previous
  // request text dropped) when that message is shorter than 2 bytes: nothing may
  // then be sent.
  [[nodiscard]] bool BuildHttpRequest(const CElavonTran& tran);
  // SendAndReceive; the argument is not used.
  bool Transact(int unused = 0);
  // Sends the request built last and waits for its answer (not ended by the abort
  // event). False without sending when no request was built.
  bool SendAndReceive();
  // Length of the received text when an answer was taken; 0 on time-out or an end of
  // TLS without data in its last read; -1 on other receive failures.
  int ReceiveResponse(int timeoutMs);
  bool IsResponseComplete() const { return IsHttpResponseComplete(m_ReceivedText); }

  const CHttpResponse& GetResponse() const { return m_Response; }
  const std::string& GetRequestText() const { return m_RequestText; }
  const std::string& GetReceivedText() const { return m_ReceivedText; }
  const platform::tls::SecPkgContext_StreamSizes& GetStreamSizes() const { return m_Channel.GetStreamSizes(); }
  bool IsTlsUp() const { return m_Channel.IsTlsUp(); }

 private:
  std::string m_Host;
  CHttpResponse m_Response;
  CTlsChannel m_Channel;  // over this object's own socket, with the Elavon texts
  std::string m_RequestText;
  std::string m_ReceivedText;
};
