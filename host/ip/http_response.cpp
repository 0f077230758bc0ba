#include "host/ip/http_response.h"

#include <strings.h>

#include <climits>
#include <cstddef>

#include "core/log/log_text.h"
#include "core/vocab/text_helpers.h"
#include "platform/text/format.h"

const char g_RegistrationKeyHeader[] = "Registration-Key: KVR518-QX7M-4RTN-ELVN";

namespace {

// The text of `line` from the second character after a colon at `colon`.
std::string ValueAfterColon(const std::string& line, size_t colon) {
  return line.size() > colon + 2 ? line.substr(colon + 2) : std::string();
}

}  // namespace

std::string BuildElavonHttpRequest(const std::string& message) {
  std::string text = "POST /cgi-bin/encompass.cgi HTTP/1.1\r\n";
  text += platform::Format("Content-Length: %d\r\n", static_cast<int>(message.size()));
  text += g_RegistrationKeyHeader;
  text += "\r\n";
  text += "Connection: Keep-Alive\r\n";
  text += "\r\n";
  text += message;
  return text;
}

bool IsHttpResponseComplete(const std::string& received) {
  if (received.empty()) return false;
  long long expected = static_cast<long long>(received.size());
  std::string line;
  for (size_t i = 0; i < received.size(); ++i) {
    const char c = received[i];
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (!line.empty()) {
      if ((line[0] == 'c' || line[0] == 'C') && line.size() >= 15 &&
          strncasecmp(line.c_str(), "CONTENT-LENGTH:", 15) == 0) {
        expected = AtoiClamped(ValueAfterColon(line, 14));
      }
      line.clear();
      continue;
    }
    if (expected == 0) return true;
    if (static_cast<long long>(received.size() - (i + 1)) == expected) return true;
  }
  return false;
}

std::string EscapeResponseForLog(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 3);
  // Card numbers go before the escapes could join their digits to others.
  for (const char c : MaskCardNumbers(text)) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')) {
      out += c;
    } else {
      out += platform::Format("|%02x", byte);
    }
  }
  return out;
}

void CHttpResponse::Reset() {
  m_StatusCode = 0;
  m_ContentLength.clear();
  m_Body.clear();
  m_ReasonText.clear();
}

int CHttpResponse::SplitLines(const std::string& raw, std::vector<std::string>* lines, std::string* body) {
  lines->clear();
  body->clear();
  std::string line;
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.empty()) {
      body->assign(raw, i + 1, std::string::npos);
      return static_cast<int>(lines->size());
    }
    lines->push_back(std::move(line));
    line.clear();
  }
  if (!line.empty()) lines->push_back(std::move(line));
  return static_cast<int>(lines->size());
}

bool CHttpResponse::Parse(const std::string& raw) {
  std::vector<std::string> lines;
  std::string body;
  bool parsed = SplitLines(raw, &lines, &body) > 0 && lines[0].compare(0, 5, "HTTP/") == 0;
  if (parsed) {
    m_StatusCode = raw.size() > 9 ? AtoiClamped(raw.substr(9, 3)) : 0;
    for (size_t i = 1; i < lines.size() && parsed; ++i) {
      if (m_StatusCode != 200) {
        parsed = false;
      } else if (lines[i].compare(0, 15, "Content-Length:") == 0) {
        m_ContentLength = ValueAfterColon(lines[i], 14);
      }
    }
  }
  if (!parsed) {
    m_ReasonText = "Unable to Parse Raw Response";
    return false;
  }
  const int length = AtoiClamped(m_ContentLength);
  if (length > 0) m_Body = body.substr(0, static_cast<size_t>(length));
  return true;
}
