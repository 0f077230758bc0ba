#include "tools/pos-client/login.h"

#include <string>

#include <gtest/gtest.h>

#include "tools/pos-client/hex.h"
#include "tools/pos-client/request_envelope.h"
#include "tools/pos-client/session_cipher.h"

namespace pos_client {
namespace {

const std::string kChallenge = "0123456789ABCDEF";  // 16 bytes

std::string GreetingText(const std::string& challenge_hex) {
  return std::string(kGreetingText) + "Z" + kDc1 + "0602" + kDc2 + kRs + challenge_hex + kUs;
}

TEST(LoginTest, GreetingIsReadOrRefused) {
  Greeting greeting;
  ASSERT_EQ(ParseGreeting(GreetingText(ToHex(kChallenge)), &greeting), Status::kOk);
  EXPECT_EQ(greeting.public_key_hex, "0602");
  EXPECT_EQ(greeting.challenge, kChallenge);

  const struct {
    std::string text;
    Status status;
  } refused[] = {
      {"Hello" + GreetingText(ToHex(kChallenge)), Status::kBadFrame},
      {std::string(kGreetingText) + "X" + kDc1 + kDc2 + kRs + ToHex(kChallenge) + kUs, Status::kBadFrame},
      {std::string(kGreetingText) + "Z" + kRs + ToHex(kChallenge) + kUs, Status::kBadFrame},
      {std::string(kGreetingText) + "Z" + kDc1 + kDc2 + kRs + ToHex(kChallenge), Status::kBadFrame},
      {GreetingText(ToHex(kChallenge).substr(2)), Status::kBadHex},  // 15 bytes
      {GreetingText("ab" + ToHex(kChallenge).substr(2)), Status::kBadHex},  // lower case
  };
  for (const auto& c : refused) EXPECT_EQ(ParseGreeting(c.text, &greeting), c.status) << c.text;
}

TEST(LoginTest, MessageLayoutFollowsTheMarkerAndOptions) {
  Greeting greeting;
  greeting.challenge = kChallenge;
  const std::string check = "checkbytes-16-by";
  const struct {
    std::optional<std::string> marker;
    bool check_block;
    std::string password;
    std::string expected_prefix;
  } cases[] = {
      {std::nullopt, true, "", ""},
      {"M", true, "pw", std::string(1, kFs) + "M"},
      {"MX", false, "", std::string(1, kFs) + "MX"},
  };
  for (const auto& c : cases) {
    LoginOptions options;
    options.marker = c.marker;
    options.check_block = c.check_block;
    options.password = c.password;
    options.check_bytes = check;
    LoginMessage message;
    ASSERT_EQ(BuildLogin(greeting, options, &message), Status::kOk);
    const std::string key = LoginKey(c.marker.value_or(""));
    std::string answer, check_cipher;
    ASSERT_TRUE(Rc4Apply(key, kChallenge, &answer));
    ASSERT_TRUE(Rc4Apply(key, check, &check_cipher));
    std::string expected = c.expected_prefix + kRs + ToHex(answer) + kUs;
    if (c.check_block) expected += kDc1 + ToHex(check_cipher) + kDc2;
    expected += c.password + kEtx;
    EXPECT_EQ(message.wire, expected);
    EXPECT_EQ(message.check_bytes, check);
  }
  // Only the exact marker "M" selects the second key.
  EXPECT_NE(LoginKey("M"), LoginKey(""));
  EXPECT_EQ(LoginKey("MX"), LoginKey(""));
  EXPECT_EQ(LoginKey("A"), LoginKey(""));
  EXPECT_EQ(LoginKey("M").size(), 16u);
}

TEST(LoginTest, NoticeAndVerifiedLogin) {
  const std::string check = "0123456789abcdef";
  const std::string document =
      "<?xml version=\"1.0\"?>\r\n<RStream>\r\n\t<CmdResponse>\r\n"
      "\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n\t\t<KVRXReturnCode>002000</KVRXReturnCode>\r\n"
      "\t\t<CmdStatus>Success</CmdStatus>\r\n\t\t<TextResponse>Login Verified.\x1E" +
      ToHex(check) + "\x1F</TextResponse>\r\n\t\t<UserTraceData></UserTraceData>\r\n\t</CmdResponse>\r\n</RStream>\r\n";
  Notice notice;
  ASSERT_EQ(ParseNotice(document, &notice), Status::kOk);
  EXPECT_EQ(notice.code, 2000);
  EXPECT_EQ(notice.return_code, "002000");
  EXPECT_EQ(notice.user_trace_data, "");
  EXPECT_TRUE(IsLoginVerified(notice, check));
  EXPECT_FALSE(IsLoginVerified(notice, "another check bytes"));
  EXPECT_EQ(ParseNotice("<RStream></RStream>", &notice), Status::kBadFrame);
}

TEST(LoginTest, ElementTextReadsEscapedValuesBack) {
  const std::string document =
      "<RStream><CmdResponse><TextResponse>A &amp; B &lt;05&gt;</TextResponse>"
      "<UserTraceData>&lt;/UserTraceData&gt;&amp;amp;&#65;&#x42;&quot;&apos;&bogus; &</UserTraceData>"
      "</CmdResponse></RStream>";
  EXPECT_EQ(ElementText(document, "TextResponse").value_or("?"), "A & B <05>");
  EXPECT_EQ(ElementText(document, "UserTraceData").value_or("?"), "</UserTraceData>&amp;AB\"'&bogus; &");
  const struct {
    std::string in, out;
  } rows[] = {{"", ""}, {"plain", "plain"}, {"&#;", "&#;"}, {"&#x;", "&#x;"}, {"&#999;", "&#999;"}, {"&lt", "&lt"}};
  for (const auto& r : rows) EXPECT_EQ(UnescapeXml(r.in), r.out) << r.in;
}

}  // namespace
}  // namespace pos_client
