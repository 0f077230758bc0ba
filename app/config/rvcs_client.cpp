#include "app/config/rvcs_client.h"

#include <cctype>
#include <cstdlib>

#include "app/config/date_time.h"
#include "app/config/param_parser.h"
#include "app/config/rvcs_identity.h"
#include "core/crypto/crypto_engine.h"
#include "core/log/log_text.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/vocab/control_chars.h"
#include "core/vocab/text_helpers.h"
#include "host/ip/http_response.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

// The maker's configuration-service endpoints.
constexpr char kDefaultPrimaryHost[] = "rvcs-primary.corvane.com";
constexpr char kDefaultSecondaryHost[] = "rvcs-secondary.corvane.com";
constexpr int kDefaultPort = 443;

constexpr char kVersionTag[] = "ZW 5.18";
constexpr char kPartNumber[] = "5307.42";
// Room for "Content-Length: n\r\n\r\n" in a record of the final message.
constexpr size_t kFrameHeaderRoom = 32;

std::string LastFour(const std::string& text) { return text.size() <= 4 ? text : text.substr(text.size() - 4); }

}  // namespace

// ---- CRvcsResponse ----

void CRvcsResponse::Reset() {
  m_StatusCode = 0;
  m_Body.clear();
}

int CRvcsResponse::SplitLines(const std::string& raw, std::vector<std::string>* lines, std::string* body) {
  // The service frames its answers as the gateway's HTTP answers are framed.
  return CHttpResponse::SplitLines(raw, lines, body);
}

bool CRvcsResponse::Parse(const std::string& raw) {
  std::vector<std::string> lines;
  std::string body;
  if (SplitLines(raw, &lines, &body) == 0 || body.empty()) return false;
  m_StatusCode = 200;
  m_Body = body;
  return true;
}

std::string EscapeForLog(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) && b < 0x80) {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      out += platform::Format("%%%02x", b);
    }
  }
  return out;
}

CRvcsEndpoint RvcsEndpointFromEnvironment(const char* variable, const std::string& fallbackHost) {
  CRvcsEndpoint endpoint{fallbackHost, kDefaultPort};
  const char* value = std::getenv(variable);
  if (value == nullptr || *value == '\0') return endpoint;
  const std::string text(value);
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    endpoint.host = text;
    return endpoint;
  }
  endpoint.host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  const bool digits = !port.empty() && port.size() <= 5 &&
                      port.find_first_not_of("0123456789") == std::string::npos;
  const int number = digits ? AtoiClamped(port) : 0;
  endpoint.port = number >= 1 && number <= 65535 ? number : kDefaultPort;
  return endpoint;
}

// ---- CRvcsClient ----

CRvcsClient::CRvcsClient(platform::tls::PSecurityFunctionTableA functionTable,
                         platform::tls::PCredHandle credentials, CParamStore* store)
    : CRvcsSslSocket(functionTable, credentials),
      m_Primary(RvcsEndpointFromEnvironment("KVR_RVCS_PRIMARY", kDefaultPrimaryHost)),
      m_Secondary(RvcsEndpointFromEnvironment("KVR_RVCS_SECONDARY", kDefaultSecondaryHost)),
      m_Store(store ? store : &g_ParamStore) {}

CRvcsClient::~CRvcsClient() = default;

void CRvcsClient::SetTimeoutsForTesting(uint32_t connectMs, uint32_t answerBudgetMs) {
  m_ConnectTimeoutMs = connectMs;
  m_AnswerBudgetMs = answerBudgetMs;
}

CRvcsEndpoint CRvcsClient::GetEndpoint(Endpoint which) const {
  return which == Endpoint::kSecondary ? m_Secondary : m_Primary;
}

bool CRvcsClient::ConnectHost(Endpoint which, uint32_t timeoutMs) {
  m_ConnectedEndpoint = Endpoint::kNone;
  const CRvcsEndpoint endpoint = GetEndpoint(which);
  if (!Connect(endpoint.host, endpoint.port, static_cast<int>(timeoutMs))) {
    if (!GetConnectFailureCause().empty()) {
      GetLogger().LogCause("The configuration service cannot be reached at %s", GetConnectFailureCause().c_str());
    }
    return false;
  }
  m_ConnectedEndpoint = which;
  return true;
}

bool CRvcsClient::ConnectAny(uint32_t timeoutMs) {
  return ConnectHost(Endpoint::kPrimary, timeoutMs) || ConnectHost(Endpoint::kSecondary, timeoutMs);
}

bool CRvcsClient::DownloadParameters() {
  if (!ConnectAny(m_ConnectTimeoutMs)) {
    GetLogger().LogCause("Parameter download failed: %s", EscapeLineBreaks(GetLastErrorText()).c_str());
    return false;
  }
  const bool exchanged = ExchangeParameters();
  SendFinalMessage(exchanged ? std::string("OK") : GetLastErrorText());
  const int code = GetLastErrorCode();
  const std::string text = GetLastErrorText();
  Disconnect();
  SetLastFailure(code, text);
  // The text may hold the service's own (its error, a record's value): escaped as
  // every text from outside is, so that it cannot start a line of the log.
  if (!exchanged) GetLogger().LogCause("Parameter download failed: %s", EscapeLineBreaks(text).c_str());
  return exchanged;
}

std::string CRvcsClient::ErrorWithCode() const {
  return platform::Format("%s %d", GetLastErrorText().c_str(), GetLastErrorCode());
}

bool CRvcsClient::Fail(const std::string& text) {
  SetLastErrorText(text);
  return false;
}

void CRvcsClient::SendFinalMessage(const std::string& text) {
  const int code = GetLastErrorCode();
  const std::string reason = GetLastErrorText();
  std::string body = text;
  const size_t room = GetMaximumMessage() > kFrameHeaderRoom ? GetMaximumMessage() - kFrameHeaderRoom : 0;
  if (body.size() > room) body.resize(room);
  SendFramed(body);
  SetLastFailure(code, reason);
}

bool CRvcsClient::ExchangeParameters() {
  // Message 1: the service's challenge.
  if (ReceiveMessage() <= 0) {
    const std::string text = "Wait Message 1 Failed - " + ErrorWithCode();
    SetLastErrorText(text);
    SendFinalMessage(text);
    return false;
  }
  CRvcsResponse response;
  if (!response.Parse(m_ReceivedMessage)) return Fail("Unable to Parse 1 - " + EscapeForLog(m_ReceivedMessage));
  const std::string challenge = response.GetBody();
  if (challenge.size() > kMaxChallengeChars) {
    return Fail(platform::Format("Unable to Parse 1 - Challenge of %zu characters is too long", challenge.size()));
  }

  // Our answer to it: its bytes under session key 3; none for an odd length.
  std::string clientResponse;
  if (challenge.size() % 2 == 0) {
    uint8_t bytes[kMaxChallengeChars / 2];
    const uint32_t count = static_cast<uint32_t>(challenge.size() / 2);
    for (uint32_t i = 0; i < count; ++i) bytes[i] = CRequest::HexPairToByte(challenge[2 * i], challenge[2 * i + 1]);
    uint32_t length = count;
    if (!g_CryptoEngine.EncryptRc4B(bytes, &length, sizeof bytes)) {
      return Fail("Unable to Encrypt the Challenge Response!");
    }
    clientResponse = CRequest::BytesToHex(bytes, length);
  }

  // Our own challenge, and the echo the service must send back for it.
  uint8_t random[kClientChallengeBytes];
  if (!g_CryptoEngine.GenerateRandom(sizeof random, random)) return Fail("Unable to Generate the Client Challenge!");
  const std::string clientChallenge = CRequest::BytesToHex(random, sizeof random);
  uint32_t echoLength = sizeof random;
  if (!g_CryptoEngine.EncryptRc4B(random, &echoLength, sizeof random)) {
    return Fail("Unable to Encrypt the Client Challenge!");
  }
  const std::string expectedEcho = CRequest::BytesToHex(random, echoLength);

  if (!BuildParametersRequest(clientChallenge, clientResponse)) return Fail("Unable to Build the Request!");
  if (!SendPending()) return Fail("Send Message 1 Failed - " + ErrorWithCode());

  // Message 2: the parameters.
  if (ReceiveMessage() <= 0) return Fail("Wait Message 2 Failed - " + ErrorWithCode());
  response.Reset();
  if (!response.Parse(m_ReceivedMessage)) return Fail("Unable to Parse 2 - " + EscapeForLog(m_ReceivedMessage));

  CParamParser parser;
  CParamMap params;
  const bool parsed = parser.Parse(response.GetBody(), m_Store->GetSettings().GetParams(), params);
  if (parser.GetChallengeEcho() != expectedEcho) return Fail("Parms: Challenge Verification Failed!");
  if (!parser.GetServiceError().empty()) return Fail("Error(RVCS): " + parser.GetServiceError());
  if (!parsed) return Fail("Parameter Parsing Error: " + parser.GetLastError());

  CParamSettings settings;
  settings.SetParams(params);
  if (!m_Store->Replace(settings)) return Fail("Unable to Store Param Settings!");
  return true;
}

bool CRvcsClient::BuildParametersRequest(const std::string& challenge, const std::string& response) {
  std::string body;
  auto add = [&body](const std::string& field) {
    body += field;
    body += kFS;
  };
  add("REQ=CORV_PARAMETERS");
  add("AVER=" + LastFour(kVersionTag));
  add("CC=" + challenge);
  add("CR=" + response);
  add("DEVID=" + GetDeviceId());
  add(std::string("PART_NO=") + kPartNumber);
  add("MACHINE_ID=" + GetMachineId());
  add("PVER=1");
  add("PHVER=1");
  add("SDT=" + CDateTime().FormatCompact());
  GetLogger().LogText(body);
  return FrameMessage(body);
}

bool CRvcsClient::FrameMessage(const std::string& body) {
  if (body.size() < 2) return false;
  m_OutgoingMessage = platform::Format("Content-Length: %zu\r\n\r\n", body.size()) + body;
  return true;
}

bool CRvcsClient::SendFramed(const std::string& body) { return FrameMessage(body) && SendPending(); }

bool CRvcsClient::SendPending() { return EncryptAndSend(m_OutgoingMessage); }

int CRvcsClient::ReceiveMessage() {
  m_ReceivedMessage.clear();
  uint32_t budget = m_AnswerBudgetMs;
  uint32_t mark = platform::TickCount();
  while (budget > 0) {
    int count = 0;
    const int result = ReceiveAndDecrypt(&count, m_ReceivedMessage, static_cast<int>(budget));
    if (result == kReceiveTimedOut) return 0;
    if (result == kReceivePeerClosed) {
      // Only a message that is whole counts, also when the service ends the session.
      return count > 0 && IsMessageComplete() ? static_cast<int>(m_ReceivedMessage.size()) : 0;
    }
    if (result != kReceiveOk) return -1;
    if (m_ReceivedMessage.size() > kMaxMessageBytes) {
      SetLastErrorText(platform::Format("Message from server too large (more than %zu bytes)", kMaxMessageBytes));
      return -1;
    }
    const bool complete = IsMessageComplete();
    const uint32_t now = platform::TickCount();
    const uint32_t elapsed = platform::TickDiff(now, mark);
    mark = now;
    budget = elapsed >= budget ? 0 : budget - elapsed;
    if (complete) return static_cast<int>(m_ReceivedMessage.size());
  }
  // The budget ran out in the middle of a message: a part is never taken for it.
  SetLastErrorText("Timeout Waiting for the Complete Message from server");
  return 0;
}

bool CRvcsClient::IsMessageComplete(const std::string& text) {
  int expected = 0;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.empty()) {
      const size_t rest = text.size() - (i + 1);
      if (expected == 0) return true;
      if (expected > 0 && rest == static_cast<size_t>(expected)) return true;
      continue;
    }
    if ((line[0] == 'c' || line[0] == 'C') && line.size() >= 15) {
      bool same = true;
      static constexpr char kName[] = "CONTENT-LENGTH:";
      for (size_t k = 0; k < 15 && same; ++k) {
        same = std::toupper(static_cast<unsigned char>(line[k])) == kName[k];
      }
      if (same) expected = AtoiClamped(line.size() > 16 ? line.substr(16) : std::string());
    }
    line.clear();
  }
  return false;
}
