// CTlsChannel: the TLS 1.2 record layer that both TLS clients run over their TCP
// connection (CElavonSslClient to the Elavon gateway, CRvcsSslSocket to the
// configuration service): the client handshake and its loop, the record sizes, one
// record out (EncryptAndSend), records in until nothing received is left undecrypted
// (ReceiveAndDecrypt, renegotiation and the server's close_notify included), and the
// close_notify. Every security call goes through the SSPI function table of
// g_SspiInterface with the context requirements 0xC11C.
//
// What the two clients differ in is given to the channel, never decided by it:
// - CTlsChannelTexts: the text of every failure and the last-error code it sets
//   (kTlsKeepCode: the text alone, the code stays as it was; kTlsSocketErrorCode: the
//   socket's error number), and the bound, if any, on the decrypted text of a receive;
// - the target name of the handshake and the read time-out of the handshake loop;
// - what happens with application data that comes with the last handshake message:
//   PerformClientHandshake hands it back, the client keeps or drains it;
// - where decrypted bytes go: ReceiveAndDecrypt appends them to the caller's text.
// Encrypting, sending and closing fail with the same texts and codes for both
// (3107 too large, 3012 encrypt, 3003 send, 3106 and 3102 close).
//
// Failures are recorded in the last-error fields of the socket the channel runs
// over. Output tokens of the security layer are freed on every path; a handshake or
// receive buffer is 65,536 bytes, local to the call; a record that cannot fit it
// counts as a connection that ended mid-record.
//
// Not thread-safe: the channel belongs to its client and the client's thread. The
// function table and the credentials are shared read-only with the other clients
// (neither is owned here). Every wait goes through CClientSocket::Receive and so
// ends when the socket's abort event is set. No lock is taken.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/ip/client_socket.h"
#include "platform/tls/sspi.h"

// Last-error codes of the TLS layer (the Elavon client's; the configuration
// service's channel sets only those of sending, encrypting and closing).
inline constexpr int kTlsDataReceiveFailed = 3007;
inline constexpr int kTlsReceiveTimedOut = 3010;
inline constexpr int kTlsEncryptFailed = 3012;
inline constexpr int kTlsInitializeFailed = 3102;
inline constexpr int kTlsHandshakeIoFailed = 3103;
inline constexpr int kTlsQueryFailed = 3104;
inline constexpr int kTlsOutOfMemory = 3105;
inline constexpr int kTlsControlTokenFailed = 3106;
inline constexpr int kTlsMessageTooLarge = 3107;

// Results of ReceiveAndDecrypt.
inline constexpr int kReceiveOk = 0;
inline constexpr int kReceiveLost = 2;          // socket error or lost connection
inline constexpr int kReceiveTimedOut = 3;      // nothing arrived
inline constexpr int kReceivePeerClosed = 4;    // the server's close_notify
inline constexpr int kReceiveRenegotiateFailed = 5;
inline constexpr int kReceiveDecryptFailed = 6;

// The read time-out inside a handshake.
inline constexpr uint32_t kHandshakeReadTimeoutMs = 10000;

// Codes of a CTlsFailure that are not last-error codes themselves.
inline constexpr int kTlsKeepCode = INT_MIN;            // set the text only
inline constexpr int kTlsSocketErrorCode = INT_MIN + 1;  // the socket's error number

// One failure: the code it sets and its text. A text that takes a value (a status,
// an error number, a byte count) has exactly one conversion for it, named with the
// field below.
struct CTlsFailure {
  int code;
  const char* text;
};

struct CTlsChannelTexts {
  // Handshake.
  CTlsFailure firstCallFailed;       // %d: the status of the first InitializeSecurityContext
  CTlsFailure firstTokenNotSent;     // %d: the socket error
  CTlsFailure handshakeReadFailed;   // %d: the socket error
  CTlsFailure handshakeDisconnected;
  CTlsFailure handshakeTokenNotSent;  // %d: the socket error
  CTlsFailure handshakeOutOfMemory;
  CTlsFailure handshakeCallFailed;   // %d: the status
  // Record sizes.
  CTlsFailure sizesQueryFailed;      // %d: the status
  CTlsFailure sizesOutOfMemory;
  // Receive.
  CTlsFailure receiveReadFailed;     // %d: the socket error
  CTlsFailure receiveDisconnected;   // the connection ended (or the time ran out) mid-record
  CTlsFailure receiveTimedOut;       // nothing arrived
  CTlsFailure receiveOutOfMemory;
  CTlsFailure peerEndedSession;
  CTlsFailure decryptFailed;         // %x: the status
  CTlsFailure renegotiateFailed;
  // The most bytes the caller's text may hold after a receive (0: no bound here) and
  // the failure beyond it (%u: the bound).
  size_t maxReceivedText;
  CTlsFailure receivedTooMuch;
};

// Runs cleanup and puts the socket's last error back as it was before.
template <typename F>
void KeepingLastError(CClientSocket& socket, F cleanup) {
  const int code = socket.GetLastErrorCode();
  std::string text = socket.GetLastErrorText();
  cleanup();
  socket.SetLastFailure(code, std::move(text));
}

class CTlsChannel {
 public:
  // The socket (the client's own base) and texts must outlive the channel; the table
  // and the credentials are g_SspiInterface's, neither owned.
  CTlsChannel(CClientSocket* socket, platform::tls::PSecurityFunctionTableA functionTable,
              platform::tls::CredHandle* credentials, const CTlsChannelTexts& texts);
  CTlsChannel(const CTlsChannel&) = delete;
  CTlsChannel& operator=(const CTlsChannel&) = delete;
  ~CTlsChannel();  // deletes a context that is still there (sends nothing)

  // The first InitializeSecurityContext for targetName, its token out, then the
  // handshake loop (reads first). Application data that followed the last handshake
  // message is returned in *extra for the client to deal with.
  bool PerformClientHandshake(const std::string& targetName, std::string* extra);
  // The handshake loop until SEC_E_OK or a failure; `initial` bytes (received, not yet
  // used) are taken first; readFirst false makes the first call on what is there.
  // Each read waits at most readTimeoutMs.
  platform::tls::SECURITY_STATUS HandshakeLoop(std::string* extra, bool readFirst, const std::string& initial,
                                               uint32_t readTimeoutMs);
  // The stream sizes of the context; the record buffer grows to them when it is too
  // small (a buffer from an earlier connection is reused).
  bool SetContextSizes();
  // The handshake and sizing succeeded: records may go out, a close_notify is due.
  void MarkTlsUp() { m_TlsUp = true; }
  // The close_notify (once: TLS counts as down from the first call). False, with
  // code 3106 or 3102, or without a text when the token could not be sent.
  bool ShutdownTls();
  // close_notify when TLS is up, then the context deleted; the socket's last error
  // is kept. The socket itself stays as it is.
  void End();

  // One record of at most cbMaximumMessage bytes: 3107 beyond that, 3012 before TLS
  // is up (or for an empty message) and when encrypting fails, 3003 when the send
  // fails.
  bool EncryptAndSend(const char* data, size_t length);
  // Decrypts `initial` (bytes already received) and what arrives, until no received
  // byte is left undecrypted; plain bytes are appended to *text and counted in *count
  // (this call's). All reads together wait at most timeoutMs. Results kReceiveOk ...
  // kReceiveDecryptFailed.
  int ReceiveAndDecrypt(int* count, std::string* text, uint32_t timeoutMs, const std::string& initial);

  bool IsTlsUp() const { return m_TlsUp; }
  bool HasContext() const { return m_ContextCreated; }
  const platform::tls::SecPkgContext_StreamSizes& GetStreamSizes() const { return m_StreamSizes; }
  platform::tls::PSecurityFunctionTableA GetFunctionTable() const { return m_FunctionTable; }
  platform::tls::CtxtHandle* GetContext() { return &m_Context; }

 private:
  // Records the failure on the socket; with a value for the text's one conversion.
  void Fail(const CTlsFailure& failure);
  void Fail(const CTlsFailure& failure, int value);
  void FailUnsigned(const CTlsFailure& failure, unsigned value);
  void SetCode(const CTlsFailure& failure, int socketError);

  CClientSocket& m_Socket;
  const CTlsChannelTexts& m_Texts;
  platform::tls::PSecurityFunctionTableA const m_FunctionTable;
  platform::tls::CredHandle* const m_CredentialsHandle;
  std::vector<uint8_t> m_MessageBuffer;  // header + maximum message + trailer
  bool m_TlsUp = false;
  bool m_ContextCreated = false;
  platform::tls::CtxtHandle m_Context{};
  platform::tls::SecPkgContext_StreamSizes m_StreamSizes{};
};
