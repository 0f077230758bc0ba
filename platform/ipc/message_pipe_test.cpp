#include "platform/ipc/message_pipe.h"

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/text/format.h"

namespace platform::ipc {
namespace {

using Clock = std::chrono::steady_clock;

// A name no other test run uses.
std::string UniqueName(const char* what) {
  static int counter = 0;
  return Format("\\\\.\\pipe\\kvr_ipc_test_%d_%d_%s", static_cast<int>(::getpid()), ++counter, what);
}

// A listener with one accepted connection and the client's end.
struct Pair {
  PipeListener listener;
  std::unique_ptr<PipeConnection> client;
  std::unique_ptr<PipeConnection> server;

  explicit Pair(const std::string& name) {
    EXPECT_TRUE(listener.Listen(name));
    client = ConnectPipe(name, 1000);
    EXPECT_NE(client, nullptr);
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (!server && Clock::now() < until) {
      server = listener.Accept();
      if (!server) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_NE(server, nullptr);
  }
};

TEST(MessagePipeTest, MessagesKeepTheirBoundaries) {
  Pair pair(UniqueName("bounds"));
  ASSERT_TRUE(pair.client && pair.server);
  ASSERT_TRUE(pair.client->Write("first message", 1000));
  ASSERT_TRUE(pair.client->Write("2nd", 1000));
  std::string got;
  ASSERT_EQ(pair.server->Read(&got, 4096, 1000), PipeConnection::ReadResult::kMessage);
  EXPECT_EQ(got, "first message");
  ASSERT_EQ(pair.server->Read(&got, 4096, 1000), PipeConnection::ReadResult::kMessage);
  EXPECT_EQ(got, "2nd");  // nothing of the longer message before it

  // Bytes are carried as they are, NUL included.
  const std::string binary("A\0B\x1E\xFF", 5);
  ASSERT_TRUE(pair.server->Write(binary, 1000));
  ASSERT_EQ(pair.client->Read(&got, 4096, 1000), PipeConnection::ReadResult::kMessage);
  EXPECT_EQ(got, binary);
}

TEST(MessagePipeTest, LongMessagesAreRefusedWhole) {
  Pair pair(UniqueName("long"));
  ASSERT_TRUE(pair.client && pair.server);
  std::string got;
  for (const size_t size : {size_t{4096}, size_t{4097}, size_t{9000}}) {
    ASSERT_TRUE(pair.client->Write(std::string(size, 'x'), 1000)) << size;
    const auto result = pair.server->Read(&got, 4096, 1000);
    if (size <= 4096) {
      ASSERT_EQ(result, PipeConnection::ReadResult::kMessage) << size;
      EXPECT_EQ(got.size(), size);
    } else {
      EXPECT_EQ(result, PipeConnection::ReadResult::kTooLong) << size;
      EXPECT_EQ(GetLastError(), kErrorMoreData);
      EXPECT_TRUE(got.empty());
    }
  }
  // The refused message is gone; the next one reads normally.
  ASSERT_TRUE(pair.client->Write("after", 1000));
  ASSERT_EQ(pair.server->Read(&got, 4096, 1000), PipeConnection::ReadResult::kMessage);
  EXPECT_EQ(got, "after");
}

TEST(MessagePipeTest, ReadTimesOutAndSeesTheClose) {
  Pair pair(UniqueName("close"));
  ASSERT_TRUE(pair.client && pair.server);
  std::string got;
  const auto start = Clock::now();
  EXPECT_EQ(pair.server->Read(&got, 4096, 50), PipeConnection::ReadResult::kTimeout);
  EXPECT_EQ(GetLastError(), kErrorTimeout);
  const auto spent = Clock::now() - start;
  EXPECT_GE(spent, std::chrono::milliseconds(45));
  EXPECT_LT(spent, std::chrono::seconds(2));

  pair.client.reset();
  EXPECT_EQ(pair.server->Read(&got, 4096, 1000), PipeConnection::ReadResult::kClosed);
  EXPECT_FALSE(pair.server->Write("to nobody", 200));
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
}

TEST(MessagePipeTest, PeerIsThisProcess) {
  Pair pair(UniqueName("peer"));
  ASSERT_TRUE(pair.client && pair.server);
  PeerCredentials peer;
  ASSERT_TRUE(pair.server->GetPeer(&peer));
  EXPECT_EQ(peer.pid, ::getpid());
  EXPECT_EQ(peer.uid, ::geteuid());
  EXPECT_TRUE(IsTrustedPeer(peer));

  const uid_t self = ::geteuid();
  const uid_t other = self + 1 == 0 ? 2 : self + 1;  // neither this user nor root
  struct Case {
    uid_t uid;
    bool trusted;
  } cases[] = {{self, true}, {0, true}, {other, false}};
  for (const Case& c : cases) {
    PeerCredentials someone;
    someone.uid = c.uid;
    EXPECT_EQ(IsTrustedPeer(someone), c.trusted) << c.uid;
  }
}

TEST(MessagePipeTest, NamesAndListeners) {
  const std::string name = UniqueName("taken");
  PipeListener first;
  ASSERT_TRUE(first.Listen(name));
  PipeListener second;
  EXPECT_FALSE(second.Listen(name));
  EXPECT_EQ(GetLastError(), kErrorPipeBusy);
  first.Close();
  EXPECT_TRUE(second.Listen(name));  // freed with the socket

  PipeListener bad;
  EXPECT_FALSE(bad.Listen(""));
  EXPECT_EQ(GetLastError(), kErrorInvalidName);
  EXPECT_FALSE(bad.Listen(std::string(kMaxPipeNameLength + 1, 'n')));
  EXPECT_EQ(GetLastError(), kErrorInvalidName);
  EXPECT_EQ(ConnectPipe(std::string(kMaxPipeNameLength + 1, 'n'), 10), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidName);
  EXPECT_TRUE(bad.Listen(std::string(kMaxPipeNameLength - 20, 'n') + UniqueName("x").substr(0, 20)));
  EXPECT_EQ(bad.Accept(), nullptr);  // nobody waiting: no block
}

TEST(MessagePipeTest, ConnectWaitsForTheListenerWithinItsTimeOut) {
  const std::string name = UniqueName("late");
  auto start = Clock::now();
  EXPECT_EQ(ConnectPipe(name, 60), nullptr);
  EXPECT_EQ(GetLastError(), kErrorNoSuchPipe);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));

  PipeListener listener;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(listener.Listen(name));
  });
  start = Clock::now();
  auto client = ConnectPipe(name, 3000);
  late.join();
  ASSERT_NE(client, nullptr);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
  std::string reply;
  std::thread server([&] {
    std::unique_ptr<PipeConnection> end;
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (!end && Clock::now() < until) {
      end = listener.Accept();
      if (!end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(end, nullptr);
    std::string request;
    ASSERT_EQ(end->Read(&request, 4096, 2000), PipeConnection::ReadResult::kMessage);
    EXPECT_TRUE(end->Write(request + " back", 2000));
  });
  EXPECT_TRUE(client->Transact("ping", &reply, 4096, 2000));
  server.join();
  EXPECT_EQ(reply, "ping back");
}

}  // namespace
}  // namespace platform::ipc
