// The pos-client command-line tool against a running listener.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "app/server/server_test_support.h"

namespace {

using namespace server_test;

// The tool's output and exit status; the tool bounds each of its own waits.
struct ToolRun {
  std::string output;
  int status = -1;
};

ToolRun RunTool(const std::string& arguments) {
  ToolRun run;
  FILE* pipe = ::popen((std::string(KVR_POS_CLIENT_BINARY) + " " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  run.status = ::pclose(pipe);
  return run;
}

class PosClientToolTest : public ListenerTest {};

TEST_F(PosClientToolTest, LogsInSendsOneRequestAndPrintsItsReplies) {
  SetParams({{kParmUseCorvPassword, "Y"}, {kParmCorvPassword, "Lane1"}});
  Start();
  const std::string common = "session --port " + std::to_string(Port()) + " --wait 5 --trace T7 ";
  const std::string items = "TStream=Admin TranCode=ServerVersion MerchantID=1234 ClientID=0005";
  for (const char* marker : {"", "--marker M "}) {
    SCOPED_TRACE(marker);
    const ToolRun run = RunTool(common + marker + "--password Lane1 " + items);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("greeting: 000000 Success CONNECTED to KVR_IP! -- Password ?Z<DC1>"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("login: 002000 Success Login Verified.<RS>"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("reply 1 (clear):"), std::string::npos);
    EXPECT_NE(run.output.find("<TextResponse>Queued:045:000</TextResponse>"), std::string::npos);
    EXPECT_NE(run.output.find("reply 2 (encrypted, opened):"), std::string::npos);
    EXPECT_NE(run.output.find("<ProductVersion>ZW 5.18</ProductVersion>"), std::string::npos);
    EXPECT_NE(run.output.find("<UserTraceData>T7</UserTraceData>"), std::string::npos);
  }
  // A wrong password: the refusal is printed and the tool fails.
  const ToolRun refused = RunTool(common + "--password lane1 " + items);
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("login: 002009 Error Password Failed!(Client/Server) -- Disconnecting."),
            std::string::npos)
      << refused.output;
}

}  // namespace
