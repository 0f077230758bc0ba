#include "host/ip/client_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/queue/process_events.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

long MsSince(SteadyClock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count());
}

// A loopback listener; Accept waits at most 2 s.
class Listener {
 public:
  Listener() {
    m_Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(m_Fd, 4), 0);
    EXPECT_EQ(::getsockname(m_Fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    m_Port = ntohs(address.sin_port);
  }
  ~Listener() {
    if (m_Peer >= 0) ::close(m_Peer);
    ::close(m_Fd);
  }
  int Port() const { return m_Port; }
  int Accept() {
    pollfd p{m_Fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return -1;
    m_Peer = ::accept(m_Fd, nullptr, nullptr);
    return m_Peer;
  }
  // Closes the server side with a reset (SO_LINGER 0).
  void ResetPeer() {
    linger hard{1, 0};
    ::setsockopt(m_Peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ClosePeer();
  }
  void ClosePeer() {
    ::close(m_Peer);
    m_Peer = -1;
  }

 private:
  int m_Fd = -1;
  int m_Port = 0;
  int m_Peer = -1;
};

// A port on which nothing listens: bound, then closed again.
int FreePort() {
  Listener listener;
  return listener.Port();
}

class ClientSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { g_AbortEvent.Reset(); }
  void TearDown() override { g_AbortEvent.Reset(); }

  // client connected to listener; the server side of the connection in *peer.
  void ConnectPair(int* peer) {
    ASSERT_TRUE(client.ConnectToServerByHostName("127.0.0.1", listener.Port(), 2000))
        << client.GetLastErrorText();
    *peer = listener.Accept();
    ASSERT_GE(*peer, 0);
  }

  Listener listener;
  CClientSocket client;
};

// The abort event ends a connect that waits for an answer: the connect fails as a
// time-out does (3006), soon after the event is set, and says why.
TEST_F(ClientSocketTest, TheAbortEventEndsAConnectThatWaits) {
  // A listener whose accept queue is full: further connects get no answer.
  const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(full, 0), 0);
  ASSERT_EQ(::getsockname(full, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int port = ntohs(address.sin_port);
  std::vector<std::unique_ptr<CClientSocket>> fillers;
  bool filled = false;
  for (int i = 0; i < 8 && !filled; ++i) {
    fillers.push_back(std::make_unique<CClientSocket>());
    filled = !fillers.back()->ConnectToServerByHostName("127.0.0.1", port, 100);
  }
  ASSERT_TRUE(filled) << "the accept queue never filled";

  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    g_AbortEvent.Set();
  });
  const auto start = SteadyClock::now();
  EXPECT_FALSE(client.ConnectToServerByHostName("127.0.0.1", port, 10000));
  const long spent = MsSince(start);
  stopper.join();
  EXPECT_GE(spent, 100);
  EXPECT_LT(spent, 2000);
  EXPECT_EQ(client.GetLastErrorCode(), 3006);
  EXPECT_EQ(client.GetLastErrorText(), "Socket Error Trying to Connect Error 3006");
  EXPECT_NE(client.GetConnectFailureCause().find("given up"), std::string::npos) << client.GetConnectFailureCause();
  EXPECT_FALSE(client.IsConnected());
  ::close(full);
}

TEST_F(ClientSocketTest, AFreshObjectHasNoFailureAndNoSocket) {
  EXPECT_EQ(client.GetLastErrorCode(), 9999);
  EXPECT_EQ(client.GetLastErrorText(), "");
  EXPECT_FALSE(client.IsConnected());
  char byte;
  EXPECT_EQ(client.Receive(&byte, 1, 0), 0);
  EXPECT_FALSE(client.IsAlive());
}

TEST_F(ClientSocketTest, ARefusedConnectFailsWith3006AndClosesItsSocket) {
  const auto start = SteadyClock::now();
  EXPECT_FALSE(client.ConnectToServerByHostName("127.0.0.1", FreePort(), 2000));
  EXPECT_LT(MsSince(start), 1000) << "a refusal is not a time-out";
  EXPECT_EQ(client.GetLastErrorCode(), 3006);
  EXPECT_EQ(client.GetLastErrorText(), "Socket Error Trying to Connect Error 3006");
  EXPECT_FALSE(client.IsConnected());
  // The object can connect again afterwards.
  int peer = -1;
  ConnectPair(&peer);
  EXPECT_TRUE(client.IsAlive());
}

TEST_F(ClientSocketTest, AnUnresolvableNameReportsTheLookupFailure) {
  EXPECT_FALSE(client.ConnectToServerByHostName("no-such-host.invalid", 443, 2000));
  const int code = client.GetLastErrorCode();
  EXPECT_TRUE(code >= 11001 && code <= 11004) << code;
  EXPECT_EQ(client.GetLastErrorText(),
            "DNS Lookup of 'no-such-host.invalid' Failed with Error " + std::to_string(code) + ".");
}

TEST_F(ClientSocketTest, ReceiveWithATimeOutOfZeroTakesOnlyWhatIsWaiting) {
  int peer = -1;
  ConnectPair(&peer);
  char buffer[16];
  auto start = SteadyClock::now();
  EXPECT_EQ(client.Receive(buffer, sizeof buffer, 0), 0);
  EXPECT_LT(MsSince(start), 50);

  ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
  // Give the bytes time to arrive, then take them without waiting.
  for (int i = 0; i < 200 && !client.BytesAvailable(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  start = SteadyClock::now();
  EXPECT_EQ(client.Receive(buffer, sizeof buffer, 0), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_LT(MsSince(start), 50);
}

TEST_F(ClientSocketTest, ReceiveIsBoundedByItsBufferAndItsTimeOut) {
  int peer = -1;
  ConnectPair(&peer);
  ASSERT_EQ(::send(peer, "0123456789", 10, 0), 10);
  char buffer[4];
  EXPECT_EQ(client.Receive(buffer, 4, 1000), 4);
  EXPECT_EQ(std::string(buffer, 4), "0123");

  char rest[16];
  EXPECT_EQ(client.Receive(rest, sizeof rest, 1000), 6);
  const auto start = SteadyClock::now();
  EXPECT_EQ(client.Receive(rest, sizeof rest, 150), 0);
  const long waited = MsSince(start);
  EXPECT_GE(waited, 140);
  EXPECT_LT(waited, 1000);
}

// An orderly close and a reset both count as the connection gone: 0, not an error.
TEST(ClientSocketEndTest, TheEndOfTheConnectionEndsAReceiveAtOnce) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    Listener listener;
    CClientSocket client;
    ASSERT_TRUE(client.ConnectToServerByHostName("127.0.0.1", listener.Port(), 2000));
    ASSERT_GE(listener.Accept(), 0);
    std::thread closer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (reset) {
        listener.ResetPeer();
      } else {
        listener.ClosePeer();
      }
    });
    char buffer[16];
    const auto start = SteadyClock::now();
    EXPECT_EQ(client.Receive(buffer, sizeof buffer, 5000), 0);
    EXPECT_LT(MsSince(start), 1000);
    closer.join();
    EXPECT_FALSE(client.IsAlive());
  }
}

TEST_F(ClientSocketTest, TheAbortEventEndsAReceiveAtOnce) {
  int peer = -1;
  ConnectPair(&peer);
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    g_AbortEvent.Set();
  });
  char buffer[16];
  const auto start = SteadyClock::now();
  EXPECT_EQ(client.Receive(buffer, sizeof buffer, 5000), 0);
  EXPECT_LT(MsSince(start), 1000);
  stopper.join();
  EXPECT_TRUE(client.IsAlive()) << "the connection itself is still up";
}

TEST_F(ClientSocketTest, SendPutsEveryByteOnTheWire) {
  int peer = -1;
  ConnectPair(&peer);
  EXPECT_EQ(client.Send("x", 0), 0);
  // Far more than the socket buffers hold: the send completes only while the peer
  // reads, in many partial sends.
  std::string data(8 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string got;
  std::thread reader([&] {
    std::vector<char> buffer(65536);
    while (got.size() < data.size()) {
      pollfd p{peer, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) break;
      const ssize_t n = ::recv(peer, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      got.append(buffer.data(), static_cast<size_t>(n));
    }
  });
  EXPECT_EQ(client.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  reader.join();
  EXPECT_TRUE(got == data);
  EXPECT_EQ(client.GetLastErrorCode(), 9999);
}

TEST_F(ClientSocketTest, ASendThatFailsRecords3003) {
  char byte = 'x';
  EXPECT_EQ(client.Send(&byte, 1), -1) << "no socket";
  EXPECT_EQ(client.GetLastErrorCode(), 3003);
  EXPECT_EQ(client.GetLastErrorText(), "Socket Error Sending 3003");

  int peer = -1;
  ConnectPair(&peer);
  listener.ResetPeer();
  std::string block(1024, 'x');
  int result = 0;
  for (int i = 0; i < 200 && result != -1; ++i) {
    result = client.Send(block.data(), static_cast<int>(block.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(result, -1);
  EXPECT_EQ(client.GetLastErrorCode(), 3003);
}

}  // namespace
