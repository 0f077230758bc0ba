// The parts of the configuration-service client that need no service: message
// splitting and completeness, the escape of error texts, endpoints and identities.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/config/rvcs_client.h"
#include "app/config/rvcs_identity.h"
#include "platform/fs/profile.h"

namespace {

TEST(RvcsResponseTest, SplitAndParse) {
  struct Case {
    const char* name;
    std::string raw;
    int lines;
    std::string body;
    bool parses;
  } cases[] = {
      {"framed", "Content-Length: 4\r\n\r\nABCD", 1, "ABCD", true},
      {"bare LF and two headers", "A: 1\nB: 2\n\nx\r\ny", 2, "x\r\ny", true},
      {"no header line", "\r\nABCD", 0, "ABCD", false},
      {"empty body", "Content-Length: 0\r\n\r\n", 1, "", false},
      {"no empty line", "Content-Length: 4\r\nABCD", 2, "", false},
      {"empty", "", 0, "", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines;
    std::string body;
    EXPECT_EQ(CRvcsResponse::SplitLines(c.raw, &lines, &body), c.lines) << c.name;
    EXPECT_EQ(body, c.body) << c.name;
    CRvcsResponse response;
    EXPECT_EQ(response.Parse(c.raw), c.parses) << c.name;
    EXPECT_EQ(response.GetStatusCode(), c.parses ? 200 : 0) << c.name;
    EXPECT_EQ(response.GetBody(), c.parses ? c.body : "") << c.name;
    response.Reset();
    EXPECT_EQ(response.GetStatusCode(), 0);
    EXPECT_EQ(response.GetBody(), "");
  }
}

TEST(RvcsClientTest, MessageCompleteness) {
  struct Case {
    const char* name;
    std::string text;
    bool complete;
  } cases[] = {
      {"all body bytes", "Content-Length: 5\r\n\r\nHELLO", true},
      {"one byte short", "Content-Length: 5\r\n\r\nHELL", false},
      {"one byte more", "Content-Length: 5\r\n\r\nHELLO!", false},
      {"header in another case", "content-length: 2\r\n\r\nOK", true},
      {"no length header: done at the empty line", "X-Info: 1\r\n\r\n", true},
      {"no blank after the colon reads as 0", "Content-Length:5\r\n\r\n", true},
      {"negative length is never met", "Content-Length: -1\r\n\r\nA", false},
      {"huge length is never met", "Content-Length: 99999999999\r\n\r\nA", false},
      {"header not yet ended", "Content-Length: 2\r\n", false},
      {"empty", "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(CRvcsClient::IsMessageComplete(c.text), c.complete) << c.name;
}

TEST(RvcsClientTest, EscapeForErrorTexts) {
  EXPECT_EQ(EscapeForLog("A b"), "A+b");
  EXPECT_EQ(EscapeForLog("Content-Length: 2\r\n"), "Content%2dLength%3a+2%0d%0a");
  EXPECT_EQ(EscapeForLog(std::string("\x82\x00\x1C", 3)), "%82%00%1c");
  EXPECT_EQ(EscapeForLog(""), "");
}

TEST(RvcsClientTest, EndpointsFromTheEnvironment) {
  struct Case {
    const char* value;  // null: unset
    std::string host;
    int port;
  } cases[] = {
      {nullptr, "fallback.test", 443},
      {"", "fallback.test", 443},
      {"127.0.0.1:8443", "127.0.0.1", 8443},
      {"rvcs.test", "rvcs.test", 443},
      {"rvcs.test:", "rvcs.test", 443},
      {"rvcs.test:99999", "rvcs.test", 443},
      {"rvcs.test:44x", "rvcs.test", 443},
  };
  for (const Case& c : cases) {
    if (c.value) {
      setenv("KVR_RVCS_TEST_ENDPOINT", c.value, 1);
    } else {
      unsetenv("KVR_RVCS_TEST_ENDPOINT");
    }
    const CRvcsEndpoint endpoint = RvcsEndpointFromEnvironment("KVR_RVCS_TEST_ENDPOINT", "fallback.test");
    EXPECT_EQ(endpoint.host, c.host) << (c.value ? c.value : "(unset)");
    EXPECT_EQ(endpoint.port, c.port) << (c.value ? c.value : "(unset)");
  }
  unsetenv("KVR_RVCS_TEST_ENDPOINT");
}

TEST(RvcsClientTest, FramingRefusesBodiesShorterThanTwo) {
  CRvcsClient client(nullptr, nullptr);
  EXPECT_FALSE(client.FrameMessage(""));
  EXPECT_FALSE(client.FrameMessage("K"));
  ASSERT_TRUE(client.FrameMessage("OK"));
  EXPECT_EQ(client.GetOutgoingMessage(), "Content-Length: 2\r\n\r\nOK");
  EXPECT_EQ(client.GetLastErrorCode(), 9999);
}

TEST(RvcsIdentityTest, TheLaunchersDeviceIdUnlessItIsAbsentOrHoldsControlBytes) {
  struct Case {
    bool launcher;
    std::string id;
    std::string chosen;
  } cases[] = {
      {true, "DEV-42", "DEV-42"},
      {false, "DEV-42", "INSTALL"},
      {true, "", "INSTALL"},
      {true, "LANE\x1C" "7", "INSTALL"},
      {true, "TAB\tID", "INSTALL"},
      {true, "\x7F\x80", "\x7F\x80"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseDeviceId(CLaunchIdentity{c.launcher, c.id}, "INSTALL"), c.chosen) << c.id;
  }
}

TEST(RvcsIdentityTest, InstallationIdIsMadeOnceAndKept) {
  char folder[] = "/tmp/kvr_rvcs_id_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/profile";
  std::string first;
  {
    platform::fs::Profile profile(path);
    first = GetInstallationId(profile);
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(first.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(GetInstallationId(profile), first);
  }
  platform::fs::Profile again(path);  // a later run
  EXPECT_EQ(GetInstallationId(again), first);
  platform::fs::Profile other(std::string(folder) + "/other");
  EXPECT_NE(GetInstallationId(other), first);
  std::system(("rm -rf '" + std::string(folder) + "'").c_str());
}

TEST(RvcsIdentityTest, MachineIdIsPrintable) {
  const std::string id = GetMachineId();
  ASSERT_FALSE(id.empty());
  for (const char c : id) {
    EXPECT_GT(static_cast<unsigned char>(c), 0x20);
    EXPECT_LT(static_cast<unsigned char>(c), 0x7F);
  }
}

}  // namespace
