// Feeds arbitrary bytes to the HTTP answer reader, as the gateway client reads an
// answer: the text arrives in pieces (the first byte sets their size, 16 to 256
// bytes, so that the test of each piece stays cheap), the completeness test runs
// after each, and the whole text is parsed and, as after a failure, escaped for the
// log.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/ip/http_response.h"

namespace {

void Require(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 16 * (1 + data[0] % 16);
  const std::string raw(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::string received;
  for (size_t at = 0; at < raw.size(); at += piece) {
    received.append(raw, at, piece);
    IsHttpResponseComplete(received);
  }

  std::vector<std::string> lines;
  std::string body;
  const int count = CHttpResponse::SplitLines(raw, &lines, &body);
  Require(count == static_cast<int>(lines.size()));
  Require(body.size() <= raw.size());
  for (const std::string& line : lines) {
    Require(!line.empty() && line.find_first_of("\r\n") == std::string::npos);
  }

  CHttpResponse response;
  const bool parsed = response.Parse(raw);
  Require(response.GetBody().size() <= body.size());
  Require(parsed || !response.GetReasonText().empty());
  // A reused response starts over.
  response.Reset();
  Require(response.GetBody().empty() && response.GetStatusCode() == 0);
  response.Parse(raw);

  const std::string escaped = EscapeResponseForLog(raw);
  Require(escaped.size() >= raw.size() && escaped.size() <= 3 * raw.size());
  return 0;
}
