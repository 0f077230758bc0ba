// The connection's life: opening, login and the request loop.
#include "app/server/client_session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/crypto/crypto_engine.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/tran/client_reply.h"
#include "core/vocab/control_chars.h"
#include "core/vocab/text_helpers.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

constexpr char kGreetingText[] = "CONNECTED to KVR_IP! -- Password ?";
constexpr char kOffLineText[] = "System going off line - please try again later...";
constexpr size_t kMaxCheckBlockHex = 512;
constexpr size_t kCheckBlockBuffer = 256;
constexpr int kMaxAnswerBytes = 128;

// Every "Error" of text replaced by "Warning".
std::string ErrorsAsWarnings(std::string text) {
  const std::string from = "Error";
  const std::string to = "Warning";
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

CClientSession::CClientSession(const CSessionContext& context, const CClientTimings& timings)
    : m_Context(context), m_Timings(timings) {}

bool CClientSession::IsShuttingDown() const {
  return m_Server != nullptr && m_Server->m_ShuttingDown.load() != 0;
}

// ---- Sending ----

int CClientSession::SendAndLog(const std::string& text) {
  const bool ended = HasEnded();
  const int rc = SendText(text);
  const bool failed = rc != static_cast<int>(text.size());
  Logger().LogText("[" + ReplyLogCopy(text) + "] sent to " + m_PeerText + (failed ? " ** FAILED ** " : ""));
  if (!ended) LogIfEnded();
  return failed ? -1 : rc;
}

int CClientSession::SendUnlogged(const std::string& text) {
  const bool ended = HasEnded();
  const int rc = SendText(text);
  if (!ended) LogIfEnded();
  return rc != static_cast<int>(text.size()) ? -1 : rc;
}

int CClientSession::SendAndLogAsWarning(const std::string& text) {
  const bool ended = HasEnded();
  const int rc = SendText(text);
  const bool failed = rc != static_cast<int>(text.size());
  Logger().LogText(ErrorsAsWarnings("[" + ReplyLogCopy(text) + "] sent to " + m_PeerText +
                                    (failed ? " ** FAILED ** " : "")));
  if (!ended) LogIfEnded();
  return failed ? -1 : rc;
}

void CClientSession::LogIfEnded() {
  if (HasEnded()) {
    Logger().LogLine("Connection %s ended: a reply could not be sent whole", m_PeerText.c_str());
  }
}

int CClientSession::SendNotice(int code, const char* status, const std::string& text,
                               const std::string& userTraceData) {
  CCmdResponse response;
  return SendAndLog(ClientReplyFrame(response.FormatRStream(code, status, text, userTraceData, ""), false));
}

void CClientSession::SendDisconnectNotice() { SendNotice(2004, "E", "****Disconnecting****"); }

bool CClientSession::DeliverReply(const std::string& reply) {
  if (reply.empty() || !IsConnected()) {
    Logger().LogText("[" + ReplyLogCopy(reply) + "] sent to " + m_PeerText + " ** FAILED ** ");
    return false;
  }
  return SendAndLog(reply) == static_cast<int>(reply.size());
}

// ---- Opening and login ----

int CClientSession::OpenAndLogIn(std::string* sessionText) {
  m_Snapshot.clear();
  m_PeerText = platform::Format("%s:%04d", GetPeerAddress().c_str(), m_Socket);
  if (m_Timings.m_SendTimeoutMs != WSServer::kSocketTimeoutMs) SetSendTimeout(m_Timings.m_SendTimeoutMs);
  if (m_Timings.m_SendBufferBytes > 0) SetSendBufferSize(m_Timings.m_SendBufferBytes);
  if (IsShuttingDown()) {
    SendNotice(2003, "E", kOffLineText);
    return kLoginGoingOffLine;
  }
  Logger().LogLine("Socket Connect from %s", m_PeerText.c_str());

  uint8_t challenge[kChallengeLength] = {};
  if (!m_Context.m_Crypto->GenerateRandom(kChallengeLength, challenge)) {
    Logger().LogLine("Random Buffer Generator Failed!!!");
    std::memset(challenge, 0, sizeof challenge);
  }
  std::string greeting = kGreetingText;
  greeting += 'Z';
  greeting += m_Context.m_Crypto->GetPublicKeyText();
  greeting += kRS;
  greeting += CRequest::BytesToHex(challenge, kChallengeLength);
  greeting += kUS;
  SendNotice(0, "S", greeting);
  return Login(challenge, kChallengeLength, sessionText);
}

void CClientSession::SendLoginRefusal(int result) {
  switch (result) {
    case kLoginLost: {
      CCmdResponse response;
      SendAndLogAsWarning(ClientReplyFrame(
          response.FormatRStream(2002, "E", "Login Failed! -- Disconnecting.", "", ""), false));
      return;
    }
    case kLoginBadPassword:
      SendNotice(2009, "E", "Password Failed!(Client/Server) -- Disconnecting.");
      return;
    case kLoginBadAnswer:
      SendNotice(2010, "E", "Password Failed!(Challenge/Response) -- Disconnecting.");
      return;
    case kLoginNoCheckBlock:
      SendNotice(2020, "E", "Requires Tessary Upgrade to 3.xx or Above. - Failed! -- Disconnecting.");
      return;
    default:
      return;  // going off line: 2003 was sent
  }
}

void CClientSession::OnConnect() {
  std::string sessionText;
  const int result = OpenAndLogIn(&sessionText);
  if (result != kLoginVerified) {
    SendLoginRefusal(result);
    return;
  }
  std::string text = "Login Verified.";
  text += kRS;
  text += sessionText;
  text += kUS;
  SendNotice(2000, "S", text);
  RunRequestLoop();
}

void CClientSession::OnRefused() {
  std::string sessionText;
  const int result = OpenAndLogIn(&sessionText);
  if (result != kLoginVerified) {
    SendLoginRefusal(result);
    return;
  }
  SendNotice(2006, "E", "REFUSED - Max Connections (Failed)");
}

bool CClientSession::CheckChallengeAnswer(const std::string& answerHex, const uint8_t* expected, int count) {
  const size_t bytes = answerHex.size() / 2;
  if (bytes > static_cast<size_t>(kMaxAnswerBytes) || answerHex.size() % 2 != 0) return false;
  if (bytes != static_cast<size_t>(count)) return false;
  for (size_t i = 0; i < bytes; ++i) {
    if (CRequest::HexPairToByte(answerHex[2 * i], answerHex[2 * i + 1]) != expected[i]) return false;
  }
  return true;
}

int CClientSession::Login(uint8_t* challenge, int length, std::string* sessionText) {
  const uint32_t entry = platform::TickCount();
  if (!IsConnected()) return kLoginLost;

  // 1. The login message: every byte up to the first ETX, within the login time and
  //    the request size. Bytes after the ETX belong to the request loop.
  std::string collected;
  size_t etx = std::string::npos;
  char buffer[kReceiveChunk];
  for (;;) {
    const uint32_t elapsed = platform::TickDiff(platform::TickCount(), entry);
    if (elapsed >= m_Timings.m_LoginMs) return kLoginLost;
    const uint32_t wait = std::min(m_Timings.m_PollMs, m_Timings.m_LoginMs - elapsed);
    const int n = ReceiveWithin(buffer, sizeof buffer, wait);
    if (n > 0) {
      collected.append(buffer, static_cast<size_t>(n));
      etx = collected.find(kETX);
      if (etx != std::string::npos && etx < static_cast<size_t>(kMaxRequestLength)) break;
      if (collected.size() >= static_cast<size_t>(kMaxRequestLength)) {
        Logger().LogLine("Login message of %s exceeds %d bytes", m_PeerText.c_str(), kMaxRequestLength);
        return kLoginLost;
      }
    }
    if (IsShuttingDown()) {
      SendNotice(2003, "E", kOffLineText);
      return kLoginGoingOffLine;
    }
    if (!IsConnected()) return kLoginLost;
  }
  m_CarryOver = collected.substr(etx + 1);
  const std::string message = collected.substr(0, etx);

  // 2. The challenge answer, under the key the cipher marker selects.
  CLoginFrame frame;
  if (!ParseLoginFrame(message, &frame)) return kLoginBadAnswer;
  const bool fourthKey = frame.marker == "M";
  CCryptoEngine& crypto = *m_Context.m_Crypto;
  const auto encrypt = [fourthKey, &crypto](uint8_t* data, uint32_t* count, uint32_t capacity) {
    return fourthKey ? crypto.EncryptRc4C(data, count, capacity) : crypto.EncryptRc4A(data, count, capacity);
  };
  uint32_t count = static_cast<uint32_t>(length);
  if (!encrypt(challenge, &count, static_cast<uint32_t>(length))) {
    Logger().LogLine("Encryption failed on Random Block!!!");
    return kLoginBadAnswer;
  }
  if (!CheckChallengeAnswer(frame.answerHex, challenge, length)) return kLoginBadAnswer;

  // 3. The check block, given back decrypted.
  if (frame.checkBlockDecoded) {
    uint8_t bytes[kCheckBlockBuffer] = {};
    const size_t decoded = std::min(frame.checkBlockBytes.size(), sizeof bytes);
    std::memcpy(bytes, frame.checkBlockBytes.data(), decoded);
    uint32_t dataLength = static_cast<uint32_t>(decoded);
    if (!encrypt(bytes, &dataLength, sizeof bytes)) {
      Logger().LogLine("Encryption failed on Random Block!!!");
    }
    *sessionText = CRequest::BytesToHex(bytes, decoded);
  }

  // 4. The password just before the ETX, when the merchant asks for one.
  const CParamSettings settings = m_Context.m_Params->GetSettings();
  const CParamMap params = settings.GetParams();
  if (params.GetParamValue(kParmUseCorvPassword) == "Y" &&
      !EndsWithPassword(message, params.GetParamValue(kParmCorvPassword))) {
    return kLoginBadPassword;
  }
  return frame.hasCheckBlock ? kLoginVerified : kLoginNoCheckBlock;
}

bool CClientSession::ParseLoginFrame(const std::string& message, CLoginFrame* frame) {
  *frame = CLoginFrame();
  const size_t rs = message.find(kRS);
  const size_t us = rs == std::string::npos ? rs : message.find(kUS, rs + 1);
  if (us == std::string::npos) return false;
  frame->hasAnswer = true;
  frame->answerHex = message.substr(rs + 1, us - rs - 1);

  const size_t fs = message.find(kFS);
  if (fs != std::string::npos && fs < rs) frame->marker = message.substr(fs + 1, rs - fs - 1);

  const size_t dc1 = message.find(kDC1);
  const size_t dc2 = dc1 == std::string::npos ? dc1 : message.find(kDC2, dc1 + 1);
  if (dc2 == std::string::npos) return true;
  frame->hasCheckBlock = true;
  const std::string block = message.substr(dc1 + 1, dc2 - dc1 - 1);
  if (block.size() < kMaxCheckBlockHex && block.size() % 2 == 0) {
    uint8_t bytes[kCheckBlockBuffer] = {};
    size_t decoded = 0;
    frame->checkBlockDecoded = CRequest::TranslateHexStringToByteArray(&decoded, bytes, sizeof bytes, block);
    frame->checkBlockBytes.assign(reinterpret_cast<const char*>(bytes), decoded);
  }
  return true;
}

bool CClientSession::EndsWithPassword(const std::string& message, const std::string& password) {
  return message.size() >= password.size() + 1 &&
         message.compare(message.size() - password.size(), password.size(), password) == 0;
}

// ---- The request loop ----

void CClientSession::TakeRequestBytes(const char* data, int count) {
  for (int i = 0; i < count; ++i) {
    // Requests that come after the connection ended are never answered: none is taken.
    if (HasEnded()) {
      m_Request.clear();
      return;
    }
    const char c = data[i];
    if (c == kETX || m_Request.size() >= static_cast<size_t>(kMaxRequestLength)) {
      // The ETX ends the request; a byte that finds the buffer full ends it too and
      // is dropped.
      std::string request;
      request.swap(m_Request);
      DispatchRequest(request);
      m_IdleStart = platform::TickCount();
      continue;
    }
    m_Request.push_back(c);
  }
}

void CClientSession::RunRequestLoop() {
  m_IdleStart = platform::TickCount();
  m_Request.clear();
  uint32_t lastPass = platform::TickCount();
  char buffer[kReceiveChunk];
  const auto deliveryPass = [this, &lastPass] {
    DeliverResponses();
    PurgeFinished();
    lastPass = platform::TickCount();
  };
  for (;;) {
    int n;
    if (!m_CarryOver.empty()) {
      const std::string carried = std::move(m_CarryOver);
      m_CarryOver.clear();
      TakeRequestBytes(carried.data(), static_cast<int>(carried.size()));
      n = static_cast<int>(carried.size());
    } else {
      n = ReceiveWithin(buffer, sizeof buffer, m_Timings.m_PollMs);
      if (n > 0) TakeRequestBytes(buffer, n);
    }
    if (n > 0) {
      if (!IsConnected()) {
        WaitForPending();
        break;
      }
      // Replies go out at least once per interval, also while bytes keep arriving.
      if (platform::TickDiff(platform::TickCount(), lastPass) >= m_Timings.m_PollMs) deliveryPass();
    } else {
      if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      deliveryPass();
      if (!IsConnected()) {
        WaitForPending();
        break;
      }
      if (platform::TickDiff(platform::TickCount(), m_IdleStart) >= m_Timings.m_IdleMs) {
        WaitForPending();
        break;
      }
    }
    if (!IsConnected()) {
      WaitForPending();
      break;
    }
    if (IsShuttingDown()) {
      // Answers that have arrived are delivered before the client is told.
      deliveryPass();
      SendNotice(2003, "E", kOffLineText);
      break;
    }
  }
  if (IsConnected()) SendDisconnectNotice();
  if (m_RefusedLog.LeftOut() > 0) {
    Logger().LogLine("%d refused requests of %s were answered but not logged", m_RefusedLog.LeftOut(),
                     m_PeerText.c_str());
  }
}
