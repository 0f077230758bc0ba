#include "platform/net/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text/format.h"

namespace platform::net {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A listening socket on 127.0.0.1 with a port chosen by the system.
class Listener {
 public:
  explicit Listener(int backlog = 8) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_be_ = addr.sin_port;
    EXPECT_EQ(::listen(fd_, backlog), 0);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener() { Close(); }

  uint16_t port_be() const { return port_be_; }
  int Accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  uint16_t port_be_ = 0;
};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Connects a fresh socket to the listener, the way a client connection does:
// non-blocking connect, then a bounded wait.
SOCKET ConnectTo(uint16_t port_be, uint32_t timeout_ms, ConnectWait* outcome) {
  const SOCKET s = OpenStreamSocket();
  EXPECT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(SetNonBlocking(s, true), 0);
  if (StartConnect(s, kLoopback, port_be) == 0) {
    *outcome = ConnectWait::kConnected;
  } else {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    *outcome = WaitConnected(s, timeout_ms);
  }
  return s;
}

// A connected pair: client (our socket, blocking again) and the accepted peer.
struct Connection {
  SOCKET client = INVALID_SOCKET;
  int peer = -1;
  ~Connection() {
    if (client != INVALID_SOCKET) CloseSocket(client);
    if (peer >= 0) ::close(peer);
  }
};

void Connect(Listener& listener, Connection* c) {
  ConnectWait outcome;
  c->client = ConnectTo(listener.port_be(), 2000, &outcome);
  ASSERT_EQ(outcome, ConnectWait::kConnected);
  ASSERT_EQ(SetNonBlocking(c->client, false), 0);
  c->peer = listener.Accept();
  ASSERT_GE(c->peer, 0);
}

TEST(SocketErrors, ErrnoValuesMapToWinsockCodes) {
  const struct {
    int err;
    int code;
  } cases[] = {
      {EAGAIN, WSAEWOULDBLOCK},   {EINPROGRESS, WSAEINPROGRESS}, {ECONNREFUSED, WSAECONNREFUSED},
      {ETIMEDOUT, WSAETIMEDOUT},  {ECONNRESET, WSAECONNRESET},   {EBADF, WSAENOTSOCK},
      {EINVAL, WSAEINVAL},        {EMFILE, WSAEMFILE},           {EISCONN, WSAEISCONN},
      {ENETUNREACH, WSAENETUNREACH}, {EHOSTUNREACH, WSAEHOSTUNREACH}, {EMSGSIZE, WSAEMSGSIZE},
  };
  for (const auto& c : cases) EXPECT_EQ(WsaErrorFromErrno(c.err), c.code) << c.err;
  EXPECT_EQ(WsaErrorFromGai(EAI_NONAME, 0), WSAHOST_NOT_FOUND);
  EXPECT_EQ(WsaErrorFromGai(EAI_AGAIN, 0), WSATRY_AGAIN);
  EXPECT_EQ(WsaErrorFromGai(EAI_SYSTEM, ENOBUFS), WSAENOBUFS);
}

TEST(SocketErrors, EveryCodeTheLayerReportsHasAText) {
  const int codes[] = {WSAEINTR, WSAENOTSOCK, WSAEACCES, WSAEFAULT, WSAEINVAL, WSAEMFILE,
                       WSAEWOULDBLOCK, WSAEINPROGRESS, WSAEALREADY, WSAEMSGSIZE, WSAEPROTONOSUPPORT,
                       WSAEOPNOTSUPP, WSAEAFNOSUPPORT, WSAENETRESET, WSAEISCONN, WSAENOBUFS,
                       WSAECONNRESET, WSAESHUTDOWN, WSAETIMEDOUT, WSAECONNREFUSED, WSAHOST_NOT_FOUND,
                       WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA};
  for (int code : codes) EXPECT_FALSE(SystemErrorText(static_cast<uint32_t>(code)).empty()) << code;
}

TEST(SocketStartup, IgnoresSigpipe) {
  EXPECT_EQ(Startup(), 0);
  struct sigaction current {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
  EXPECT_EQ(Cleanup(), 0);
}

TEST(SocketResolve, NamesAndDottedAddresses) {
  uint32_t address = 0;
  ASSERT_EQ(ResolveIPv4("127.0.0.1", &address), 0);
  EXPECT_EQ(address, kLoopback);
  address = 0;
  ASSERT_EQ(ResolveIPv4("localhost", &address), 0);
  EXPECT_EQ(address, kLoopback);
  // A name the resolver refuses locally, so the test sends no query.
  WSASetLastError(0);
  EXPECT_EQ(ResolveIPv4("bad name!", &address), WSAHOST_NOT_FOUND);
  EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
}

TEST(SocketConnect, ReachesAListeningPortAndCarriesData) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  ASSERT_EQ(SendAll(c.client, "ping", 4, 1000), 4);
  char buf[8] = {};
  ASSERT_EQ(::recv(c.peer, buf, sizeof buf, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  ASSERT_EQ(::send(c.peer, "pong!", 5, 0), 5);
  WaitResult why;
  ASSERT_EQ(ReceiveWithin(c.client, buf, sizeof buf, 1000, nullptr, &why), 5);
  EXPECT_EQ(why, WaitResult::kReady);
  EXPECT_EQ(std::string(buf, 5), "pong!");
}

TEST(SocketConnect, RefusedConnectIsDetectedQuickly) {
  uint16_t port_be;
  {
    Listener gone;  // a port that had a listener a moment ago and has none now
    port_be = gone.port_be();
  }
  const auto start = Clock::now();
  ConnectWait outcome;
  const SOCKET s = ConnectTo(port_be, 5000, &outcome);
  EXPECT_EQ(outcome, ConnectWait::kFailed);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  EXPECT_LT(MsSince(start), 1000);
  CloseSocket(s);
}

TEST(SocketConnect, TimeOutIsBounded) {
  // A listener whose accept queue is full drops further connection requests, so the
  // connect neither succeeds nor fails until the time-out.
  Listener listener(0);
  std::vector<SOCKET> sockets;
  ConnectWait outcome = ConnectWait::kConnected;
  for (int i = 0; i < 8 && outcome == ConnectWait::kConnected; ++i) {
    sockets.push_back(ConnectTo(listener.port_be(), 100, &outcome));
  }
  ASSERT_EQ(outcome, ConnectWait::kTimedOut) << "the accept queue never filled";
  const auto start = Clock::now();
  sockets.push_back(ConnectTo(listener.port_be(), 150, &outcome));
  const int64_t spent = MsSince(start);
  EXPECT_EQ(outcome, ConnectWait::kTimedOut);
  EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
  EXPECT_GE(spent, 150);
  EXPECT_LT(spent, 1000);
  for (SOCKET s : sockets) CloseSocket(s);
}

// With a stop event the connect wait ends when it is set (also when it was set
// before), and reports a refused, a made and a timed-out connection as without one.
TEST(SocketConnect, AStopEventEndsTheWait) {
  Listener full(0);
  std::vector<SOCKET> sockets;
  ConnectWait outcome = ConnectWait::kConnected;
  for (int i = 0; i < 8 && outcome == ConnectWait::kConnected; ++i) {
    sockets.push_back(ConnectTo(full.port_be(), 100, &outcome));
  }
  ASSERT_EQ(outcome, ConnectWait::kTimedOut) << "the accept queue never filled";
  Listener open;
  uint16_t refused_port;
  {
    Listener gone;
    refused_port = gone.port_be();
  }
  struct Case {
    const char* name;
    uint16_t port_be;
    int set_after_ms;  // -1: never; 0: before the wait
    uint32_t timeout_ms;
    ConnectWait expected;
    int64_t at_most_ms;
  };
  const Case cases[] = {
      {"stop during the wait", full.port_be(), 100, 5000, ConnectWait::kStopped, 1000},
      {"stop before the wait", full.port_be(), 0, 5000, ConnectWait::kStopped, 500},
      {"no stop: time-out", full.port_be(), -1, 150, ConnectWait::kTimedOut, 1000},
      {"no stop: refused", refused_port, -1, 5000, ConnectWait::kFailed, 1000},
      {"no stop: connected", open.port_be(), -1, 5000, ConnectWait::kConnected, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Event stop(Event::Mode::kManualReset, c.set_after_ms == 0);
    std::thread setter;
    if (c.set_after_ms > 0) {
      setter = std::thread([&stop, &c] {
        std::this_thread::sleep_for(std::chrono::milliseconds(c.set_after_ms));
        stop.Set();
      });
    }
    const SOCKET s = OpenStreamSocket();
    ASSERT_EQ(SetNonBlocking(s, true), 0);
    const auto start = Clock::now();
    ConnectWait got = ConnectWait::kConnected;
    if (StartConnect(s, kLoopback, c.port_be) != 0) {
      ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
      got = WaitConnected(s, c.timeout_ms, &stop);
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_LT(MsSince(start), c.at_most_ms);
    if (setter.joinable()) setter.join();
    CloseSocket(s);
  }
  for (SOCKET s : sockets) CloseSocket(s);
}

TEST(SocketReceive, TimeOutIsBounded) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  char buf[16];
  for (uint32_t timeout : {0u, 120u}) {
    const auto start = Clock::now();
    WaitResult why;
    EXPECT_EQ(ReceiveWithin(c.client, buf, sizeof buf, timeout, nullptr, &why), 0);
    EXPECT_EQ(why, WaitResult::kTimedOut);
    const int64_t spent = MsSince(start);
    EXPECT_GE(spent, timeout);
    EXPECT_LT(spent, timeout + 500);
  }
}

TEST(SocketReceive, IsBoundedByItsBufferAndTakesWhatIsWaitingAtOnce) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  ASSERT_EQ(::send(c.peer, "0123456789", 10, 0), 10);
  int waiting = 0;
  for (int i = 0; i < 200 && waiting < 10; ++i) {
    ASSERT_EQ(BytesReadable(c.client, &waiting), 0);
    if (waiting < 10) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(waiting, 10);
  char buf[16] = {};
  EXPECT_EQ(Recv(c.client, buf, 3, kMsgPeek), 3);  // a peek leaves the bytes
  EXPECT_EQ(ReceiveWithin(c.client, buf, 4, 0), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(ReceiveWithin(c.client, buf, sizeof buf, 0), 6);
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(ReceiveWithin(c.client, buf, 0, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(SocketReceive, PeerCloseEndsTheWaitAtOnce) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  ::close(c.peer);
  c.peer = -1;
  const auto start = Clock::now();
  char buf[16];
  WaitResult why;
  EXPECT_EQ(ReceiveWithin(c.client, buf, sizeof buf, 5000, nullptr, &why), 0);
  EXPECT_EQ(why, WaitResult::kClosed);
  EXPECT_LT(MsSince(start), 1000);
}

TEST(SocketReceive, StopEventEndsTheWait) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  char buf[16];
  WaitResult why;

  Event already(Event::Mode::kManualReset, true);
  EXPECT_EQ(ReceiveWithin(c.client, buf, sizeof buf, 5000, &already, &why), 0);
  EXPECT_EQ(why, WaitResult::kStopped);

  Event stop(Event::Mode::kManualReset);
  std::thread setter([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.Set();
  });
  const auto start = Clock::now();
  EXPECT_EQ(ReceiveWithin(c.client, buf, sizeof buf, 5000, &stop, &why), 0);
  const int64_t spent = MsSince(start);
  setter.join();
  EXPECT_EQ(why, WaitResult::kStopped);
  EXPECT_GE(spent, 40);
  EXPECT_LT(spent, 1000);

  // Data wins over a clear stop event.
  Event clear(Event::Mode::kManualReset);
  ASSERT_EQ(::send(c.peer, "x", 1, 0), 1);
  EXPECT_EQ(ReceiveWithin(c.client, buf, sizeof buf, 1000, &clear, &why), 1);
  EXPECT_EQ(why, WaitResult::kReady);
}

TEST(SocketSend, LargeBufferGoesOutWhole) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  // Small kernel buffers force many partial sends and waits for room.
  const int small = 16 * 1024;
  ::setsockopt(c.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(c.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string data(4 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);

  std::string received;
  std::thread reader([&] {
    char buf[8192];
    for (;;) {
      const ssize_t n = ::recv(c.peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      received.append(buf, static_cast<size_t>(n));
    }
  });
  const int sent = SendAll(c.client, data.data(), static_cast<int>(data.size()), 10000);
  Shutdown(c.client, SD_SEND);
  reader.join();
  EXPECT_EQ(sent, static_cast<int>(data.size()));
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
  EXPECT_EQ(SendAll(c.client, data.data(), 0, 0), 0);
}

TEST(SocketSend, StalledPeerTimesOutAndClosedPeerFails) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  const int small = 16 * 1024;
  ::setsockopt(c.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(c.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string data(8 * 1024 * 1024, 'z');
  const auto start = Clock::now();
  EXPECT_EQ(SendAll(c.client, data.data(), static_cast<int>(data.size()), 150), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
  const int64_t spent = MsSince(start);
  EXPECT_GE(spent, 150);
  EXPECT_LT(spent, 1000);

  // The peer goes away: the sends fail with an error and raise no SIGPIPE.
  ::close(c.peer);
  c.peer = -1;
  int result = 0;
  for (int i = 0; i < 50 && result != SOCKET_ERROR; ++i) {
    result = SendAll(c.client, data.data(), 1024, 500);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(result, SOCKET_ERROR);
  const int code = WSAGetLastError();
  EXPECT_TRUE(code == WSAECONNRESET || code == WSAESHUTDOWN) << code;
}

TEST(SocketCalls, FailOnABadSocketWithWinsockCodes) {
  const SOCKET s = OpenStreamSocket();
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(CloseSocket(s), 0);
  char buf[4];
  int count;
  EXPECT_EQ(Recv(s, buf, sizeof buf), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(BytesReadable(s, &count), SOCKET_ERROR);
  EXPECT_EQ(WaitReadable(s, 0), WaitResult::kError);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(Shutdown(s, 7), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(SocketAddresses, DottedTextAndReverseLookup) {
  const struct {
    const char* text;
    bool valid;
    uint32_t host_order;
  } cases[] = {
      {"127.0.0.1", true, 0x7F000001u}, {"10.20.30.40", true, 0x0A141E28u}, {"0.0.0.0", true, 0},
      {"255.255.255.255", true, 0xFFFFFFFFu}, {"256.1.1.1", false, 0}, {"localhost", false, 0},
      {"1.2.3", false, 0}, {"", false, 0}, {" 1.2.3.4", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t address = 0xDEADBEEF;
    EXPECT_EQ(ParseIPv4(c.text, &address), c.valid) << c.text;
    if (!c.valid) continue;
    EXPECT_EQ(address, htonl(c.host_order)) << c.text;
    EXPECT_EQ(IPv4Text(address), c.text);
  }
  std::string name;
  ASSERT_EQ(LookupHostName(kLoopback, &name), 0);
  EXPECT_FALSE(name.empty());
  uint32_t back = 0;
  EXPECT_EQ(ResolveIPv4(name, &back), 0) << name;
  EXPECT_EQ(back, kLoopback);
}

TEST(SocketConnection, PeerStillConnectedFollowsThePeerWithoutConsuming) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  EXPECT_TRUE(PeerStillConnected(c.client));  // idle

  ASSERT_EQ(::send(c.peer, "ab", 2, 0), 2);
  ASSERT_EQ(WaitReadable(c.client, 1000), WaitResult::kReady);
  EXPECT_TRUE(PeerStillConnected(c.client));  // bytes waiting, none taken
  int waiting = 0;
  ASSERT_EQ(BytesReadable(c.client, &waiting), 0);
  EXPECT_EQ(waiting, 2);

  // Closed with bytes still unread: still there until they are read.
  ::close(c.peer);
  c.peer = -1;
  EXPECT_TRUE(PeerStillConnected(c.client));
  char buf[4];
  EXPECT_EQ(Recv(c.client, buf, sizeof buf), 2);
  EXPECT_FALSE(PeerStillConnected(c.client));

  // The socket's own blocking mode is left as it was.
  EXPECT_EQ(SetReceiveTimeout(c.client, 100), 0);
  const auto start = Clock::now();
  EXPECT_EQ(Recv(c.client, buf, sizeof buf), 0);  // end of stream, at once
  EXPECT_LT(MsSince(start), 1000);

  const SOCKET gone = OpenStreamSocket();
  ASSERT_EQ(CloseSocket(gone), 0);
  EXPECT_FALSE(PeerStillConnected(gone));
}

TEST(SocketConnection, SendOnceWaitWritableAndOptions) {
  Listener listener;
  Connection c;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, &c));
  EXPECT_EQ(SendOnce(c.client, "hello", 0), 0);
  EXPECT_EQ(SendOnce(c.client, "hello", 5), 5);
  char buf[8] = {};
  ASSERT_EQ(::recv(c.peer, buf, sizeof buf, 0), 5);
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(WaitWritable(c.client, 0), WaitResult::kReady);

  // A full send buffer: not writable within the time, and the send time-out ends a
  // blocking send with "would block" after part of the data or none.
  const int small = 4096;
  EXPECT_EQ(SetSendBufferSize(c.client, small), 0);
  EXPECT_EQ(SetReceiveBufferSize(c.peer, small), 0);
  EXPECT_GT(GetSendBufferSize(c.client), 0);
  EXPECT_GT(GetReceiveBufferSize(c.peer), 0);
  ASSERT_EQ(SetSendTimeout(c.client, 100), 0);
  const std::string data(4 * 1024 * 1024, 'q');
  int result = 0;
  const auto start = Clock::now();
  for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i) {
    result = SendOnce(c.client, data.data(), static_cast<int>(data.size()));
  }
  EXPECT_EQ(result, SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_LT(MsSince(start), 5000);
  const auto wait_start = Clock::now();
  EXPECT_EQ(WaitWritable(c.client, 60), WaitResult::kTimedOut);
  EXPECT_GE(MsSince(wait_start), 55);

  // The peer goes away: a send fails (no SIGPIPE), a closed socket is no socket.
  ::close(c.peer);
  c.peer = -1;
  result = 0;
  for (int i = 0; i < 50 && result != SOCKET_ERROR; ++i) {
    result = SendOnce(c.client, data.data(), 1024);
    if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) result = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(result, SOCKET_ERROR);
  const SOCKET gone = OpenStreamSocket();
  ASSERT_EQ(CloseSocket(gone), 0);
  EXPECT_EQ(WaitWritable(gone, 0), WaitResult::kError);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(SetSendTimeout(gone, 10), SOCKET_ERROR);
  EXPECT_EQ(GetSendBufferSize(gone), 0);
  EXPECT_EQ(SendOnce(gone, "x", 1), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

}  // namespace
}  // namespace platform::net
