// The HTTP side of the exchange with the Elavon gateway: the request text that
// carries one Elavon message, the test that tells when an answer has arrived whole,
// the parsed answer CHttpResponse, and the escape that makes an answer loggable.
// Texts are byte strings: a message may hold any byte, NUL included.
//
// Stateless functions; CHttpResponse is a value without a lock (its owner, one
// client on one thread, guards it).
#pragma once

#include <string>
#include <vector>

// The gateway's registration header line, sent with every request (no line end).
extern const char g_RegistrationKeyHeader[];

// The request line, "Content-Length: n", the registration header, "Connection:
// Keep-Alive", an empty line, then the message itself (n = its length).
std::string BuildElavonHttpRequest(const std::string& message);

// True when `received` holds a whole answer: after an empty line, either the last
// Content-Length value seen so far (any case; the whole text's length when there was
// none) is 0, or exactly that many bytes follow the empty line. A text with no
// Content-Length header is never complete.
bool IsHttpResponseComplete(const std::string& received);

// What the log shows of a host's answer: every card number in it masked but its last
// four digits (MaskCardNumbers), then letters and digits as they are and every other
// byte as "|" and two lower-case hex digits ("A b" -> "A|20b").
std::string EscapeResponseForLog(const std::string& text);

// The answer as parsed from the received bytes.
class CHttpResponse {
 public:
  CHttpResponse() = default;
  CHttpResponse(const CHttpResponse&) = default;
  CHttpResponse& operator=(const CHttpResponse&) = default;
  virtual ~CHttpResponse() = default;

  // Status 0; the body, the reason and the Content-Length text emptied, so that a
  // body of an earlier answer is never taken for a new one.
  void Reset();
  // Non-empty lines before the first empty one into *lines (CR dropped, LF ends a
  // line; a last line without LF counts), everything after that empty line's LF into
  // *body. Returns the number of lines.
  static int SplitLines(const std::string& raw, std::vector<std::string>* lines, std::string* body);
  // The status line must begin "HTTP/"; the status is the number at positions 9..11.
  // A status other than 200 parses only without header lines. "Content-Length:"
  // (this case exactly) gives the body length; the body is that many bytes after the
  // empty line (all of them when fewer came), empty for a length of 0 or none.
  // False, with the reason "Unable to Parse Raw Response", when the text is not such
  // an answer.
  bool Parse(const std::string& raw);

  int GetStatusCode() const { return m_StatusCode; }
  const std::string& GetBody() const { return m_Body; }
  const std::string& GetReasonText() const { return m_ReasonText; }
  const std::string& GetContentLength() const { return m_ContentLength; }

 private:
  int m_StatusCode = 0;
  std::string m_Body;
  std::string m_ReasonText;
  std::string m_ContentLength;
};
