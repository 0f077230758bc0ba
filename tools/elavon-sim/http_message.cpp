#include "tools/elavon-sim/http_message.h"

#include <cctype>

#include "platform/text/format.h"

namespace elavon_sim {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The line that starts at `at` without its CR LF (or LF); *next is where the line
// after it starts. False when no LF follows yet.
bool TakeLine(std::string_view buffer, size_t at, std::string_view* line, size_t* next) {
  size_t lf = buffer.find('\n', at);
  if (lf == std::string_view::npos) return false;
  size_t end = lf;
  if (end > at && buffer[end - 1] == '\r') --end;
  *line = buffer.substr(at, end - at);
  *next = lf + 1;
  return true;
}

bool ParseLength(std::string_view text, size_t* length) {
  if (text.empty() || text.size() > 9) return false;
  size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  *length = value;
  return true;
}

}  // namespace

const std::string* HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) return &value;
  }
  return nullptr;
}

HttpParse ParseHttpRequest(std::string_view buffer, HttpRequest* out, size_t* consumed, std::string* why) {
  *out = HttpRequest();
  *consumed = 0;
  auto bad = [why](const std::string& text) {
    *why = text;
    return HttpParse::kBad;
  };

  size_t at = 0;
  std::string_view line;
  // The header section must end within the limit.
  auto need_more = [&]() {
    return buffer.size() > kMaxHttpHeaderBytes ? bad("header section too large") : HttpParse::kNeedMore;
  };
  if (!TakeLine(buffer, at, &line, &at)) return need_more();
  size_t first_blank = line.find(' ');
  size_t last_blank = line.rfind(' ');
  if (first_blank == std::string_view::npos || first_blank == last_blank) {
    return bad("request line is not METHOD TARGET VERSION");
  }
  out->method = std::string(line.substr(0, first_blank));
  out->target = std::string(line.substr(first_blank + 1, last_blank - first_blank - 1));
  out->version = std::string(line.substr(last_blank + 1));
  if (!out->version.starts_with("HTTP/1.")) return bad("version " + out->version);

  for (;;) {
    if (!TakeLine(buffer, at, &line, &at)) return need_more();
    if (at > kMaxHttpHeaderBytes) return bad("header section too large");
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return bad("header line without a name");
    out->headers.emplace_back(std::string(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1))));
  }

  const std::string* length_text = out->Header("Content-Length");
  size_t length = 0;
  if (length_text == nullptr) return bad("no Content-Length");
  if (!ParseLength(*length_text, &length)) return bad("Content-Length '" + *length_text + "'");
  if (length > kMaxHttpBodyBytes) return bad("body too large");
  if (buffer.size() - at < length) return HttpParse::kNeedMore;
  out->body = std::string(buffer.substr(at, length));
  *consumed = at + length;
  return HttpParse::kComplete;
}

std::string HttpOkAnswer(std::string_view body) {
  std::string answer = platform::Format("HTTP/1.1 200 OK\r\nContent-Length: %zu\r\nConnection: Keep-Alive\r\n\r\n",
                                        body.size());
  answer.append(body);
  return answer;
}

std::string HttpStatusOnly(int status, std::string_view reason) {
  return platform::Format("HTTP/1.1 %03d %.*s\r\n\r\n", status, static_cast<int>(reason.size()), reason.data());
}

}  // namespace elavon_sim
