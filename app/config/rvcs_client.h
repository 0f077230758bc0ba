// CRvcsClient: downloads the 22 merchant parameters from the configuration service
// and hands them, validated, to the parameter store.
//
// DownloadParameters connects to the primary endpoint, else the secondary (each
// within 10,000 ms), and runs the exchange over TLS (CRvcsSslSocket):
//   1. message 1 from the service: its challenge, hex;
//   2. the request to it: REQ=CORV_PARAMETERS, AVER=, CC= (16 random bytes of ours),
//      CR= (its challenge encrypted with the crypto engine's session key 3), DEVID=,
//      PART_NO=, MACHINE_ID=, PVER=, PHVER=, SDT=, each followed by FS;
//   3. message 2 from the service: the parameter payload (CParamParser), whose
//      "500" echo must be our challenge encrypted with the same key;
//   4. "OK", or the text of the failure, to the service; then the connection ends.
// Every message is "Content-Length: n\r\n\r\n" and n body bytes. Each wait for a
// service message has a budget of 20,000 ms in all; a message is refused beyond
// 65,536 bytes, and a challenge beyond 512 hex digits. Only a message that arrived
// whole is used.
//
// The store is changed only by the last step (CParamStore::Replace), so a failed
// download leaves the current parameters in force; the reason of a failure is the
// object's last error text (CClientSocket::GetLastErrorText), and it stays so after
// the final message went out. A failed download logs "Parameter download failed: "
// and that text with its CR and LF escaped (it may hold the service's own text).
//
// Endpoints: KVR_RVCS_PRIMARY and KVR_RVCS_SECONDARY, "host:port", when set; else
// the maker's two service names, port 443. They are read at construction.
//
// No lock of its own: one object serves one download on one thread. It calls the
// crypto engine and the parameter store, which take their own locks, and the
// logger (the request line).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ip/rvcs_ssl_socket.h"
#include "core/vocab/bool_value.h"

class CParamStore;

// One message from the service: header lines, an empty line, a body.
class CRvcsResponse {
 public:
  CRvcsResponse() = default;
  CRvcsResponse(const CRvcsResponse&) = default;
  CRvcsResponse& operator=(const CRvcsResponse&) = default;
  virtual ~CRvcsResponse() = default;

  // Status 0, body empty.
  void Reset();
  // CR dropped, LF ends a line; the non-empty lines before the first empty line go to
  // lines, everything after that line's LF to body (a last line without LF counts as
  // a header line). Returns the number of lines.
  static int SplitLines(const std::string& raw, std::vector<std::string>* lines, std::string* body);
  // True, with status 200 and the body, when there is at least one header line and
  // the body is not empty. The header lines are not interpreted.
  bool Parse(const std::string& raw);

  int GetStatusCode() const { return m_StatusCode; }
  std::string GetBody() const { return m_Body; }

 private:
  int m_StatusCode = 0;
  std::string m_Body;
};

// Letters and digits unchanged, a blank as '+', every other byte as '%' and two
// lower-case hex digits.
std::string EscapeForLog(const std::string& text);

// A configuration-service endpoint.
struct CRvcsEndpoint {
  std::string host;
  int port = 443;
};
// The endpoint of the environment variable ("host:port"; a missing or unusable port
// gives 443), or fallbackHost with port 443 when the variable is unset or empty.
CRvcsEndpoint RvcsEndpointFromEnvironment(const char* variable, const std::string& fallbackHost);

class CRvcsClient : public CRvcsSslSocket {
 public:
  enum class Endpoint { kNone, kPrimary, kSecondary };

  static constexpr uint32_t kDownloadConnectTimeoutMs = 10000;
  static constexpr uint32_t kConnectHostTimeoutMs = 20000;
  static constexpr uint32_t kAnswerBudgetMs = 20000;
  static constexpr size_t kMaxMessageBytes = kRvcsMaxMessageBytes;
  static constexpr size_t kMaxChallengeChars = 512;
  static constexpr size_t kClientChallengeBytes = 16;

  // The store defaults to g_ParamStore; it must outlive the object.
  CRvcsClient(platform::tls::PSecurityFunctionTableA functionTable, platform::tls::PCredHandle credentials,
              CParamStore* store = nullptr);
  ~CRvcsClient() override;

  // The whole download (see above). True when the new parameters are stored.
  bool DownloadParameters();

  // Connects to one endpoint, or to the primary and then the secondary, and
  // remembers which answered (kNone after a failure).
  bool ConnectHost(Endpoint which, uint32_t timeoutMs = kConnectHostTimeoutMs);
  bool ConnectAny(uint32_t timeoutMs = kConnectHostTimeoutMs);
  Endpoint GetConnectedEndpoint() const { return m_ConnectedEndpoint; }
  CRvcsEndpoint GetEndpoint(Endpoint which) const;

  // The worker procedure that runs DownloadParameters sets this flag.
  CBoolValue m_DownloadSucceeded;

  // For tests: the connect time-out of a download and the budget of each wait for a
  // service message.
  void SetTimeoutsForTesting(uint32_t connectMs, uint32_t answerBudgetMs);

  // The steps of the download.
  bool ExchangeParameters();
  // Builds the request body from the client challenge and response, logs it and
  // frames it into the outgoing message.
  bool BuildParametersRequest(const std::string& challenge, const std::string& response);
  // A body shorter than 2 characters is refused.
  bool FrameMessage(const std::string& body);
  bool SendFramed(const std::string& body);
  bool SendPending();
  // The length of the message received whole, 0 when none arrived within the budget
  // (or the service ended the connection first), -1 on another receive failure.
  int ReceiveMessage();
  bool IsMessageComplete() const { return IsMessageComplete(m_ReceivedMessage); }
  // At its first empty line, a text is whole when no CONTENT-LENGTH header (any case)
  // came before it or exactly that many bytes follow the line; else the scan goes on.
  static bool IsMessageComplete(const std::string& text);

  const std::string& GetOutgoingMessage() const { return m_OutgoingMessage; }
  const std::string& GetReceivedMessage() const { return m_ReceivedMessage; }

 private:
  // The error text with the last error code in decimal after it.
  std::string ErrorWithCode() const;
  bool Fail(const std::string& text);
  // Sends text framed to the service as its last message, cut to fit one record,
  // keeping the last error as it was.
  void SendFinalMessage(const std::string& text);

  CRvcsEndpoint m_Primary;
  CRvcsEndpoint m_Secondary;
  Endpoint m_ConnectedEndpoint = Endpoint::kNone;
  CParamStore* const m_Store;
  uint32_t m_ConnectTimeoutMs = kDownloadConnectTimeoutMs;
  uint32_t m_AnswerBudgetMs = kAnswerBudgetMs;
  std::string m_OutgoingMessage;
  std::string m_ReceivedMessage;
};
