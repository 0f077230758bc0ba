// The pos-client command-line tool against a running listener.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "app/server/server_test_support.h"
#include "tools/peer-support/silent_listener.h"

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

namespace {

using namespace server_test;

// The tool's exit status, what it wrote to stdout, and to stderr.
struct SplitRun {
  int status = -1;
  std::string out, err;
};

SplitRun RunToolSplit(const std::string& arguments) {
  SplitRun run;
  const std::string err_file = "pos_client_stderr.txt";
  FILE* pipe =
      ::popen((std::string(KVR_POS_CLIENT_BINARY) + " " + arguments + " 2>" + err_file + " </dev/null").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (FILE* err = std::fopen(err_file.c_str(), "rb")) {
    while ((n = std::fread(buffer, 1, sizeof buffer, err)) > 0) run.err.append(buffer, n);
    std::fclose(err);
  }
  std::remove(err_file.c_str());
  return run;
}

// A socket that listens on 127.0.0.1 and never accepts (so it never greets).
using peer_support::SilentListener;

// A port with nothing listening on it.
int ClosedPort() {
  SilentListener gone(4);
  return gone.port();  // released when `gone` goes
}

class PosClientExitTest : public ListenerTest {};

// Exit statuses and messages: 0 success, 2 an error reply, 3 a bad command line (one
// line naming it, "see --help"), 4 no connection or no reply; --help on stdout.
TEST_F(PosClientExitTest, StatusesAndMessagesTellTheOutcome) {
  SetParams({{kParmUseCorvPassword, "Y"}, {kParmCorvPassword, "Lane1"}});
  Start();
  SilentListener silent(4);
  ASSERT_NE(silent.port(), 0);
  const std::string server = "session --port " + std::to_string(Port()) + " --wait 5 --password Lane1 ";
  const std::string version = "TStream=Admin TranCode=ServerVersion MerchantID=1234 ClientID=0005";
  struct Case {
    std::string name, arguments;
    int status;
    std::string out, err;  // expected in stdout / in stderr ("" for nothing to check)
  } cases[] = {
      {"--help", "--help", 0, "exit status:", ""},
      {"-h", "-h", 0, "example, a credit sale of 10.00", ""},
      {"--help after the command", "session --port 1 --help", 0, "Purchase=10.00", ""},
      {"a server command", server + version, 0, "<CmdStatus>Success</CmdStatus>", ""},
      {"the login refused", "session --port " + std::to_string(Port()) + " --wait 5 --password lane1 " + version, 2,
       "login: 002009 Error", "login refused: 002009"},
      {"no command", "", 3, "", "pos-client: no command given"},
      {"an unknown command", "sell A=B", 3, "", "pos-client: unknown command 'sell'; see --help"},
      {"an unknown option", "session --colour red A=B", 3, "", "unknown option '--colour' for session; see --help"},
      {"an option without its value", "session --port", 3, "", "pos-client: --port needs a value; see --help"},
      {"a bad port", "session --port 70000 A=B", 3, "", "--port: '70000' is not a port number (1-65535)"},
      {"a bad wait", "session --wait 0 A=B", 3, "", "--wait: '0' is not a number of seconds"},
      {"an item without '='", "session --port 1 Purchase", 3, "", "'Purchase' is not a NAME=VALUE item; see --help"},
      {"a session without items", "session --port " + std::to_string(silent.port()), 3, "",
       "session needs the request's NAME=VALUE items; see --help"},
      {"a bad server key", "envelope 0102 A=B", 3, "", "server key: bad public key blob; see --help"},
      {"nothing listens", "session --port " + std::to_string(ClosedPort()) + " " + version, 4, "",
       "connection refused"},
      {"no greeting in time", "session --wait 1 --port " + std::to_string(silent.port()) + " " + version, 4, "",
       "pos-client: login: timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SplitRun run = RunToolSplit(c.arguments);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    if (!c.out.empty()) {
      EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    }
    if (!c.err.empty()) {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    if (c.status == 3) {
      // One line, not the usage.
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_NE(run.err.find("see --help"), std::string::npos) << run.err;
      EXPECT_TRUE(run.out.empty()) << run.out;
    }
    if (c.status == 0 && c.arguments.find("-h") != std::string::npos) {
      EXPECT_TRUE(run.err.empty()) << run.err;
    }
    if (c.name == "a session without items") {
      EXPECT_FALSE(silent.Knocked()) << "it connected";
    }
  }
}

}  // namespace
