#include "host/ip/http_response.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

TEST(ElavonHttpRequestTest, CarriesTheMessageBytesWithTheFixedHeaders) {
  // A message may end in a NUL checksum: the length counts every byte.
  const std::string message = "\x02*ABC\x03\x00"s;
  const std::string request = BuildElavonHttpRequest(message);
  EXPECT_EQ(request, "POST /cgi-bin/encompass.cgi HTTP/1.1\r\n"
                     "Content-Length: 7\r\n"s +
                         g_RegistrationKeyHeader +
                         "\r\n"
                         "Connection: Keep-Alive\r\n"
                         "\r\n" +
                         message);
  EXPECT_EQ(std::string(g_RegistrationKeyHeader).rfind("Registration-Key: ", 0), 0u);
  EXPECT_EQ(request.find("Host:"), std::string::npos);
}

TEST(HttpCompletenessTest, FollowsTheContentLengthSeenBeforeTheEmptyLine) {
  struct Case {
    const char* what;
    std::string text;
    bool complete;
  };
  const Case cases[] = {
      {"empty", "", false},
      {"five body bytes", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcde", true},
      {"one byte short", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcd", false},
      {"one byte too many", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcdef", false},
      {"another case", "HTTP/1.1 200 OK\r\ncontent-LENGTH: 2\r\n\r\nab", true},
      {"no blank after the colon reads as 0", "HTTP/1.1 200 OK\r\nContent-Length:5\r\n\r\n", true},
      {"length 0", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true},
      {"no Content-Length", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabcde", false},
      {"head not finished", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", false},
      {"LF alone ends lines", "HTTP/1.1 200 OK\nContent-Length: 3\n\nxyz", true},
      {"a NUL in the body", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\na\0b"s, true},
      {"status 500 alone, no length", "HTTP/1.1 500 Internal Server Error\r\n\r\n", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsHttpResponseComplete(c.text), c.complete) << c.what;
  }
}

TEST(HttpResponseParseTest, TakesStatusHeadersAndBodyAsTheGatewaySendsThem) {
  struct Case {
    const char* what;
    std::string raw;
    bool parsed;
    int status;
    std::string body;
    std::string content_length;
  };
  const Case cases[] = {
      {"an answer", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: Keep-Alive\r\n\r\nabcde", true, 200,
       "abcde", "5"},
      {"a longer body is cut", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef", true, 200, "abc", "3"},
      {"a shorter body is taken whole", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", true, 200, "abc", "9"},
      {"bytes of any value", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n\x02\x82\x03\0"s, true, 200,
       "\x02\x82\x03\0"s, "4"},
      {"the header in another case is not taken", "HTTP/1.1 200 OK\r\nContent-length: 5\r\n\r\nabcde", true, 200,
       "", ""},
      {"no blank after the colon", "HTTP/1.1 200 OK\r\nContent-Length:5\r\n\r\nabcde", true, 200, "", ""},
      {"a 500 status line alone", "HTTP/1.1 500 Internal Server Error\r\n\r\n", true, 500, "", ""},
      {"a 500 with headers", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n", false, 500, "",
       ""},
      {"not HTTP", "hello\r\n\r\n", false, 0, "", ""},
      {"lower-case http", "http/1.1 200 OK\r\n\r\n", false, 0, "", ""},
      {"nothing", "", false, 0, "", ""},
      {"a short status line", "HTTP/1.1", true, 0, "", ""},
      {"an absurd length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nab", true, 200, "ab",
       "99999999999999999999"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CHttpResponse response;
    EXPECT_EQ(response.Parse(c.raw), c.parsed);
    EXPECT_EQ(response.GetStatusCode(), c.status);
    EXPECT_EQ(response.GetBody(), c.body);
    EXPECT_EQ(response.GetContentLength(), c.content_length);
    EXPECT_EQ(response.GetReasonText(), c.parsed ? "" : "Unable to Parse Raw Response");
  }
}

TEST(HttpResponseParseTest, ResetLeavesNothingOfTheLastAnswer) {
  CHttpResponse response;
  ASSERT_TRUE(response.Parse("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst"));
  response.Reset();
  EXPECT_EQ(response.GetStatusCode(), 0);
  EXPECT_EQ(response.GetBody(), "");
  EXPECT_EQ(response.GetContentLength(), "");
  // A second answer without a body is not taken for the first one.
  ASSERT_TRUE(response.Parse("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
  EXPECT_EQ(response.GetBody(), "");

  ASSERT_FALSE(response.Parse("junk"));
  response.Reset();
  EXPECT_EQ(response.GetReasonText(), "");
}

TEST(HttpResponseSplitTest, SplitsAtTheFirstEmptyLine) {
  std::vector<std::string> lines;
  std::string body;
  EXPECT_EQ(CHttpResponse::SplitLines("A\r\nB\r\n\r\nC\r\n\r\nD", &lines, &body), 2);
  EXPECT_EQ(lines, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(body, "C\r\n\r\nD");
  EXPECT_EQ(CHttpResponse::SplitLines("A\nlast", &lines, &body), 2);
  EXPECT_EQ(lines, (std::vector<std::string>{"A", "last"}));
  EXPECT_EQ(body, "");
}

TEST(EscapeResponseForLogTest, KeepsLettersAndDigitsOnly) {
  EXPECT_EQ(EscapeResponseForLog("A b"), "A|20b");
  EXPECT_EQ(EscapeResponseForLog("\r\n\x82z9\0"s), "|0d|0a|82z9|00");
  EXPECT_EQ(EscapeResponseForLog("%s"), "|25s");
  // A card number keeps its last four digits, masked before a blank's "|20" could
  // join its digits to a longer run.
  EXPECT_EQ(EscapeResponseForLog("card 5500005555555559\r\n"), "card|20XXXXXXXXXXXX5559|0d|0a");
  EXPECT_EQ(EscapeResponseForLog("seq 0042 amt 1000"), "seq|200042|20amt|201000");
}

}  // namespace
