#include "app/server/ws_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/server/server_test_support.h"
#include "app/server/ws_text.h"

namespace {

using server_test::ThreadCount;
using server_test::WaitFor;
using pos_client::LinkStatus;
using pos_client::SessionClient;

class ProbeServer;

// Answers "CONNECT" + ETX or "REFUSED" + ETX, then runs the server's hook (by default:
// echoes what comes until the peer leaves or the server shuts down).
class ProbeConnection : public WSConnection {
 public:
  explicit ProbeConnection(ProbeServer* server) : m_Probe(server) {}
  void OnConnect() override;
  void OnRefused() override;
  bool ShuttingDown() const { return m_Server->m_ShuttingDown.load() != 0; }

 private:
  ProbeServer* m_Probe;
};

class ProbeServer : public WSServer {
 public:
  ~ProbeServer() override {
    m_ShuttingDown = 1;
    JoinAllThreads();
  }
  std::function<void(ProbeConnection&)> m_Hook;
  std::atomic<int> m_Connects{0};
  std::atomic<int> m_Refusals{0};

 protected:
  WSConnection* CreateConnection() override { return new ProbeConnection(this); }
  void DeleteConnection(WSConnection* connection) override { delete connection; }
};

void EchoUntilGone(ProbeConnection& connection) {
  char buffer[256];
  while (!connection.ShuttingDown() && connection.IsConnected()) {
    const int n = connection.ReceiveWithin(buffer, sizeof buffer, 20);
    if (n > 0) connection.Send(buffer, n);
  }
}

void ProbeConnection::OnConnect() {
  ++m_Probe->m_Connects;
  SendText(std::string("CONNECT\x03"));
  if (m_Probe->m_Hook) {
    m_Probe->m_Hook(*this);
  } else {
    EchoUntilGone(*this);
  }
}

void ProbeConnection::OnRefused() {
  ++m_Probe->m_Refusals;
  SendText(std::string("REFUSED\x03"));
}

std::unique_ptr<ProbeServer> StartProbe(int maxConnections = 20) {
  auto server = std::make_unique<ProbeServer>();
  EXPECT_EQ(server->SetMaxConnections(maxConnections), maxConnections);
  EXPECT_EQ(server->Listen(0), 0);
  EXPECT_EQ(server->StartAcceptThread(), 0);
  return server;
}

std::unique_ptr<SessionClient> ConnectTo(const WSServer& server) {
  auto client = std::make_unique<SessionClient>();
  EXPECT_EQ(client->Connect("127.0.0.1", static_cast<uint16_t>(server.GetPort()), 5000), LinkStatus::kOk);
  return client;
}

std::string FirstFrame(SessionClient& client, uint32_t ms = 5000) {
  std::string frame;
  return client.ReadFrame(&frame, ms) == LinkStatus::kOk ? frame : std::string();
}

int OpenDescriptorCount() {
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return n;
}

TEST(WSServerTest, MaximumConnectionsStaysWithinItsBounds) {
  ProbeServer server;
  EXPECT_EQ(server.GetMaxConnections(), 20);
  const struct {
    int n;
    int result;
    int maximum;
  } cases[] = {{0, -1, 20}, {32001, -1, 20}, {-5, -1, 20}, {1, 1, 1}, {32000, 32000, 32000}, {200, 200, 200}};
  for (const auto& c : cases) {
    EXPECT_EQ(server.SetMaxConnections(c.n), c.result) << c.n;
    EXPECT_EQ(server.GetMaxConnections(), c.maximum) << c.n;
  }
}

TEST(WSServerTest, StopAndStartWithoutAListener) {
  ProbeServer server;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
  EXPECT_EQ(server.StartAcceptThread(), 1);  // nothing listens
  EXPECT_EQ(server.GetPort(), -1);
}

TEST(WSServerTest, ListenOnAPortInUseFailsAtBindAndClosesItsSocket) {
  ProbeServer first;
  ASSERT_EQ(first.Listen(0), 0);
  ASSERT_GT(first.GetPort(), 0);
  ProbeServer second;
  const int descriptors = OpenDescriptorCount();
  EXPECT_EQ(second.Listen(first.GetPort()), 3);
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_EQ(second.GetPort(), -1);
  // A second start of a running server is refused; Stop then Start works again.
  ASSERT_EQ(first.StartAcceptThread(), 0);
  EXPECT_EQ(first.StartAcceptThread(), 1);
  EXPECT_EQ(first.Stop(), 0);
  EXPECT_EQ(first.StartAcceptThread(), 0);
  auto client = ConnectTo(first);
  EXPECT_EQ(FirstFrame(*client), "CONNECT\x03");
}

TEST(WSServerTest, IsConnectedFollowsThePeerAndKeepsTheSocketBlocking) {
  auto server = StartProbe();
  std::atomic<int> idleResult{-1}, blockingKept{-1}, closedResult{-1};
  server->m_Hook = [&](ProbeConnection& connection) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    idleResult = connection.IsConnected() ? 1 : 0;
    blockingKept = (::fcntl(connection.GetSocket(), F_GETFL) & O_NONBLOCK) == 0 ? 1 : 0;
    connection.SendText(std::string("IDLE\x03"));
    // The client closes once it has read IDLE.
    for (int i = 0; i < 500 && connection.WaitReadable(0, 10000) != 0; ++i) {
    }
    closedResult = connection.IsConnected() ? 1 : 0;
  };
  auto client = ConnectTo(*server);
  EXPECT_EQ(FirstFrame(*client), "CONNECT\x03");
  EXPECT_EQ(FirstFrame(*client), "IDLE\x03");
  client->Close();
  ASSERT_TRUE(WaitFor([&] { return closedResult.load() != -1; }));
  EXPECT_EQ(idleResult.load(), 1);
  EXPECT_EQ(blockingKept.load(), 1);
  EXPECT_EQ(closedResult.load(), 0);
}

// A send that runs out of time part-way ends the connection: nothing follows the
// cut message, later sends fail at once, and the peer reads the end of the stream.
TEST(WSServerTest, ASendCutByItsTimeOutEndsTheConnection) {
  auto server = StartProbe();
  std::atomic<int> first{0}, second{0}, connected{-1}, ended{-1};
  std::atomic<int64_t> secondMs{-1};
  server->m_Hook = [&](ProbeConnection& connection) {
    connection.SetSendTimeout(200);
    connection.SetSendBufferSize(4096);
    const std::string block(1 << 20, 'b');  // far more than the way to the client holds
    first = connection.SendText(block);
    connected = connection.IsConnected() ? 1 : 0;
    ended = connection.HasEnded() ? 1 : 0;
    const auto start = std::chrono::steady_clock::now();
    second = connection.SendText(std::string("AFTER\x03"));
    secondMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  auto client = std::make_unique<SessionClient>();
  client->SetSocketLimits(1024, 536);
  ASSERT_EQ(client->Connect("127.0.0.1", static_cast<uint16_t>(server->GetPort()), 5000), LinkStatus::kOk);
  EXPECT_EQ(FirstFrame(*client), "CONNECT\x03");
  ASSERT_TRUE(WaitFor([&] { return secondMs.load() >= 0; }));
  EXPECT_EQ(first.load(), -1);
  EXPECT_EQ(connected.load(), 0);
  EXPECT_EQ(ended.load(), 1);
  EXPECT_EQ(second.load(), -1);
  EXPECT_LT(secondMs.load(), 100);
  // What came of the block, then the end: "AFTER" never arrives.
  std::string frame;
  EXPECT_EQ(client->ReadFrame(&frame, 5000), LinkStatus::kClosed);
}

TEST(WSServerTest, WithOneConnectionAllowedTheSecondWaitsASecondThenIsRefusedOrServed) {
  const struct {
    bool firstLeaves;
    const char* expected;
  } cases[] = {{false, "REFUSED\x03"}, {true, "CONNECT\x03"}};
  for (const auto& c : cases) {
    auto server = StartProbe(1);
    auto first = ConnectTo(*server);
    ASSERT_EQ(FirstFrame(*first), "CONNECT\x03");
    const auto start = std::chrono::steady_clock::now();
    auto second = ConnectTo(*server);
    if (c.firstLeaves) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      first->Close();
    }
    EXPECT_EQ(FirstFrame(*second, 5000), c.expected) << c.firstLeaves;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  }
}

TEST(WSServerTest, DescriptorExhaustionAtAcceptIsRiddenOut) {
  auto server = StartProbe();
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  // Leave room for the client's socket alone: the server's accept then finds no
  // descriptor until the limit is raised again.
  const int next = ::dup(0);
  ASSERT_GE(next, 0);
  ::close(next);
  rlimit tight = original;
  tight.rlim_cur = static_cast<rlim_t>(next + 1);
  auto client = std::make_unique<SessionClient>();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const LinkStatus connected = client->Connect("127.0.0.1", static_cast<uint16_t>(server->GetPort()), 2000);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);
  ASSERT_EQ(connected, LinkStatus::kOk);
  EXPECT_EQ(FirstFrame(*client), "CONNECT\x03");
  // The accept thread still runs: a later client is served too.
  auto later = ConnectTo(*server);
  EXPECT_EQ(FirstFrame(*later), "CONNECT\x03");
}

TEST(WSServerTest, DestructionEndsAndJoinsEveryConnection) {
  const int threadsBefore = ThreadCount();
  auto server = StartProbe();
  std::vector<std::unique_ptr<SessionClient>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(ConnectTo(*server));
    ASSERT_EQ(FirstFrame(*clients.back()), "CONNECT\x03");
  }
  EXPECT_EQ(server->GetConnectionCount(), 5);
  EXPECT_EQ(server->CountConnectionList(), 5);
  // Echo works while they run.
  ASSERT_EQ(clients[0]->SendBytes("ping\x03"), LinkStatus::kOk);
  EXPECT_EQ(FirstFrame(*clients[0]), "ping\x03");
  server.reset();  // tells the connections to finish and joins them
  EXPECT_EQ(ThreadCount(), threadsBefore);
  for (auto& client : clients) EXPECT_TRUE(client->WaitClosed(2000));
}

TEST(WSServerTest, CancelAllConnectionsWakesThemAndTheyUnregister) {
  auto server = StartProbe();
  std::atomic<int> blocked{0};
  server->m_Hook = [&](ProbeConnection& connection) {
    char buffer[16];
    ++blocked;
    connection.Receive(buffer, sizeof buffer);  // blocks until cancelled
  };
  auto a = ConnectTo(*server);
  auto b = ConnectTo(*server);
  ASSERT_TRUE(WaitFor([&] { return blocked.load() == 2; }));
  EXPECT_EQ(server->CancelAllConnections(), 2);
  EXPECT_TRUE(WaitFor([&] { return server->GetConnectionCount() == 0; }));
}

TEST(WSServerTest, LinesAreReadThroughTheirCrLf) {
  auto server = StartProbe();
  std::vector<std::string> lines;
  std::atomic<bool> done{false};
  server->m_Hook = [&](ProbeConnection& connection) {
    char buffer[64];
    for (int i = 0; i < 3; ++i) {
      const int n = connection.ReadLine(buffer, sizeof buffer, 2);
      lines.emplace_back(buffer, static_cast<size_t>(n));
    }
    done = true;
  };
  auto client = ConnectTo(*server);
  ASSERT_EQ(FirstFrame(*client), "CONNECT\x03");
  // The first CR LF straddles two sends; the last line has no end and is cut by the
  // buffer size... or by the wait.
  ASSERT_EQ(client->SendBytes("first\r"), LinkStatus::kOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(client->SendBytes("\nsecond\r\nrest"), LinkStatus::kOk);
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  EXPECT_EQ(lines, (std::vector<std::string>{"first\r\n", "second\r\n", "rest"}));
}

TEST(WSTextTest, TokensAndLineEnds) {
  const struct {
    const char* text;
    int index;
    int result;
    const char* token;
  } tokens[] = {
      {"a,,b", 0, 0, "a"}, {"a,,b", 1, 0, "b"}, {"a,,b", 2, 1, ""}, {",,", 0, 1, ""}, {" x y ", 1, 0, "y"},
  };
  for (const auto& c : tokens) {
    char buffer[16] = {};
    EXPECT_EQ(GetToken(c.text, ", ", c.index, buffer, sizeof buffer), c.result) << c.text << " " << c.index;
    if (c.result == 0) {
      EXPECT_STREQ(buffer, c.token);
    }
  }
  char small[2];
  EXPECT_EQ(GetToken("abc", ",", 0, small, sizeof small), 1);  // does not fit
  EXPECT_EQ(CountTokens("a,,b", ","), 2);
  EXPECT_EQ(CountTokens("", ","), 0);
  long value = 0;
  EXPECT_EQ(GetTokenAsLong("x 42 y", " ", 1, &value), 0);
  EXPECT_EQ(value, 42);

  const struct {
    const char* text;
    const char* stripped;
  } ends[] = {{"ab\r\n", "ab"}, {"ab\n", "ab"}, {"\r", ""}, {"ab", "ab"}, {"ab\rc", "ab"}, {"", ""}};
  for (const auto& c : ends) {
    char text[16];
    std::strcpy(text, c.text);
    StripLineEnd(text);
    EXPECT_STREQ(text, c.stripped) << c.text;
  }
  char address[32];
  EXPECT_EQ(HostNameToAddress("user@127.0.0.1", address, sizeof address), 0);
  EXPECT_STREQ(address, "127.0.0.1");
  EXPECT_EQ(HostNameToAddress("127.0.0.1", address, 5), 1);
}

}  // namespace
