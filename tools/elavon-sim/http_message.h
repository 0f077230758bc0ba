// The HTTP/1.1 side of the simulated Elavon gateway: reading one request from the
// plain bytes of a TLS connection and writing the answers the gateway gives. The
// terminal sends
//   "POST /cgi-bin/encompass.cgi HTTP/1.1" CR LF, header lines (Content-Length among
//   them), an empty line, then exactly Content-Length bytes of body: one Elavon
//   request message, control bytes and a possible NUL checksum included.
// The reader is as lenient as a web server: header names compare without regard to
// case, lines may end in LF alone. It is strict where the gateway cannot guess: a
// request without a usable Content-Length is bad, and so is one whose header
// section or body is larger than the limits below. Stateless; no lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace elavon_sim {

inline constexpr size_t kMaxHttpHeaderBytes = 16384;
inline constexpr size_t kMaxHttpBodyBytes = 65536;

inline constexpr char kGatewayPath[] = "/cgi-bin/encompass.cgi";

struct HttpRequest {
  std::string method;
  std::string target;
  std::string version;
  // In the order received; the value without the blanks around it.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The value of the first header of this name (any case), or nullptr.
  const std::string* Header(std::string_view name) const;
};

enum class HttpParse {
  kNeedMore,  // the bytes so far are the start of a request
  kComplete,  // one request read; *consumed bytes of the buffer belong to it
  kBad,       // not a request this gateway can read; *why says what is wrong
};

// Reads one request from the start of `buffer`.
HttpParse ParseHttpRequest(std::string_view buffer, HttpRequest* out, size_t* consumed, std::string* why);

// The answer the gateway sends for a message: status 200, Content-Length of the body,
// "Connection: Keep-Alive", the body.
std::string HttpOkAnswer(std::string_view body);
// A status line and the empty line after it, with no header: the form in which the
// gateway sends a status other than 200 (e.g. 500 "Internal Server Error").
std::string HttpStatusOnly(int status, std::string_view reason);

}  // namespace elavon_sim
