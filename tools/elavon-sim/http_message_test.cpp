#include "tools/elavon-sim/http_message.h"

#include <gtest/gtest.h>

#include <string>

namespace elavon_sim {
namespace {

using namespace std::string_literals;

// The request as the terminal writes it, with a body that holds control bytes and a
// NUL checksum.
const std::string kBody = "\x02*00E4029A000\x1d" "01\x1c" "100\x03\x00"s;
const std::string kTerminalRequest = "POST /cgi-bin/encompass.cgi HTTP/1.1\r\nContent-Length: " +
                                     std::to_string(kBody.size()) +
                                     "\r\nRegistration-Key: KEY\r\nConnection: Keep-Alive\r\n\r\n" + kBody;

TEST(HttpMessageTest, ReadsTheTerminalRequest) {
  HttpRequest request;
  size_t consumed = 0;
  std::string why;
  ASSERT_EQ(ParseHttpRequest(kTerminalRequest + "POST next", &request, &consumed, &why), HttpParse::kComplete)
      << why;
  EXPECT_EQ(consumed, kTerminalRequest.size());
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, kGatewayPath);
  EXPECT_EQ(request.version, "HTTP/1.1");
  EXPECT_EQ(request.body, kBody);
  ASSERT_EQ(request.headers.size(), 3u);
  EXPECT_EQ(request.headers[1].first, "Registration-Key");
  EXPECT_EQ(request.headers[1].second, "KEY");
  ASSERT_NE(request.Header("connection"), nullptr);
  EXPECT_EQ(*request.Header("connection"), "Keep-Alive");

  // Every proper prefix is the start of a request.
  for (size_t length = 0; length < kTerminalRequest.size(); ++length) {
    ASSERT_EQ(ParseHttpRequest(kTerminalRequest.substr(0, length), &request, &consumed, &why), HttpParse::kNeedMore)
        << length;
  }
}

TEST(HttpMessageTest, Faults) {
  const struct {
    const char* label;
    std::string text;
    HttpParse result;
  } cases[] = {
      {"LF line ends, name in another case", "POST / HTTP/1.1\ncontent-length: 2\n\nab", HttpParse::kComplete},
      {"blanks around the length", "POST / HTTP/1.1\r\nContent-Length:   2  \r\n\r\nab", HttpParse::kComplete},
      {"zero length", "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", HttpParse::kComplete},
      {"no Content-Length", "POST / HTTP/1.1\r\nHost: x\r\n\r\nab", HttpParse::kBad},
      {"length not a number", "POST / HTTP/1.1\r\nContent-Length: 2x\r\n\r\nab", HttpParse::kBad},
      {"negative length", "POST / HTTP/1.1\r\nContent-Length: -2\r\n\r\nab", HttpParse::kBad},
      {"body too large", "POST / HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", HttpParse::kBad},
      {"request line of two parts", "POST /\r\nContent-Length: 0\r\n\r\n", HttpParse::kBad},
      {"not HTTP/1", "POST / SPDY/3\r\nContent-Length: 0\r\n\r\n", HttpParse::kBad},
      {"header without a colon", "POST / HTTP/1.1\r\nContent-Length 0\r\n\r\n", HttpParse::kBad},
      {"header section without end beyond the limit", "POST / HTTP/1.1\r\nX: " + std::string(17000, 'a'),
       HttpParse::kBad},
      {"body still coming", "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nab", HttpParse::kNeedMore},
  };
  for (const auto& c : cases) {
    HttpRequest request;
    size_t consumed = 0;
    std::string why;
    EXPECT_EQ(ParseHttpRequest(c.text, &request, &consumed, &why), c.result) << c.label << ": " << why;
    if (c.result == HttpParse::kBad) {
      EXPECT_FALSE(why.empty()) << c.label;
    }
  }
}

TEST(HttpMessageTest, Answers) {
  EXPECT_EQ(HttpOkAnswer("ab\0"s), "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: Keep-Alive\r\n\r\nab\0"s);
  EXPECT_EQ(HttpOkAnswer(""), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(HttpStatusOnly(500, "Internal Server Error"), "HTTP/1.1 500 Internal Server Error\r\n\r\n");
}

}  // namespace
}  // namespace elavon_sim
