// The listener, the accept with its time-out and stop, and the wait on several
// sockets, on real loopback sockets.
#include "platform/net/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/net/wait.h"

namespace platform::net {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Closes a descriptor at the end of the scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// A listener on 127.0.0.1 with a port the system picks.
int OpenLoopbackListener() {
  const ListenResult opened = OpenListener(AF_INET, kLoopback, 0, 8);
  EXPECT_NE(opened.socket, INVALID_SOCKET);
  EXPECT_EQ(opened.failed, ListenStep::kNone);
  return opened.socket;
}

// A blocking client connected to the loopback port.
int ConnectClient(int port) {
  const SOCKET s = OpenStreamSocket();
  EXPECT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(StartConnect(s, kLoopback, htons(static_cast<uint16_t>(port))), 0);
  return s;
}

TEST(ListenerTest, OpensOnAChosenPortAndSaysWhichStepFailed) {
  Fd listener(OpenLoopbackListener());
  const int port = LocalPort(listener.get());
  ASSERT_GT(port, 0);
  EXPECT_NE(::fcntl(listener.get(), F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(listener.get(), F_GETFD) & FD_CLOEXEC, 0);

  const struct {
    const char* what;
    int family;
    uint16_t port_be;
    int protocol;
    ListenStep step;
    int err;
  } failures[] = {
      {"port taken", AF_INET, htons(static_cast<uint16_t>(port)), 0, ListenStep::kBind, EADDRINUSE},
      {"not a stream protocol", AF_INET, 0, IPPROTO_UDP, ListenStep::kSocket, EPROTONOSUPPORT},
      {"wrong family", AF_UNIX, 0, 0, ListenStep::kBind, EAFNOSUPPORT},
  };
  for (const auto& f : failures) {
    const ListenResult opened = OpenListener(f.family, kLoopback, f.port_be, 8, f.protocol);
    EXPECT_EQ(opened.socket, INVALID_SOCKET) << f.what;
    EXPECT_EQ(opened.failed, f.step) << f.what;
    EXPECT_EQ(opened.os_error, f.err) << f.what;
    EXPECT_EQ(WSAGetLastError(), WsaErrorFromErrno(f.err)) << f.what;
  }
  // SO_REUSEADDR: the port can be listened on again at once after a connection on it.
  {
    Fd client(ConnectClient(port));
    const AcceptResult accepted = AcceptWithin(listener.get(), 1000);
    ASSERT_EQ(accepted.status, AcceptStatus::kAccepted);
    Fd server_side(accepted.socket);
    server_side.Reset();  // this side closes first: its end waits in TIME_WAIT
  }
  listener.Reset();
  Fd again(OpenListener(AF_INET, kLoopback, htons(static_cast<uint16_t>(port)), 8).socket);
  EXPECT_GE(again.get(), 0);
  EXPECT_EQ(LocalPort(again.get()), port);
  EXPECT_EQ(LocalPort(-1), -1);
}

TEST(ListenerTest, AcceptTakesTheConnectionWithItsPeer) {
  Fd listener(OpenLoopbackListener());
  Fd client(ConnectClient(LocalPort(listener.get())));
  const AcceptResult accepted = AcceptWithin(listener.get(), 1000);
  ASSERT_EQ(accepted.status, AcceptStatus::kAccepted);
  Fd server_side(accepted.socket);
  EXPECT_EQ(accepted.peer.address_be, kLoopback);
  EXPECT_EQ(ntohs(accepted.peer.port_be), LocalPort(client.get()));
  EXPECT_EQ(::fcntl(accepted.socket, F_GETFL) & O_NONBLOCK, 0);  // blocking
  EXPECT_NE(::fcntl(accepted.socket, F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_EQ(::send(client.get(), "hi", 2, 0), 2);
  char buf[4];
  EXPECT_EQ(Recv(accepted.socket, buf, sizeof buf), 2);
}

TEST(ListenerTest, AcceptIsBoundedAndStoppedAtOnce) {
  Fd listener(OpenLoopbackListener());
  auto start = Clock::now();
  EXPECT_EQ(AcceptWithin(listener.get(), 60).status, AcceptStatus::kTimedOut);
  EXPECT_GE(MsSince(start), 55);
  EXPECT_LT(MsSince(start), 1000);

  // A stop already set wins even over a connection that is waiting, which stays
  // waiting for the next accept.
  Event stop(Event::Mode::kManualReset, true);
  StopWake wake(stop);
  ASSERT_TRUE(wake.IsValid());
  Fd client(ConnectClient(LocalPort(listener.get())));
  EXPECT_EQ(AcceptWithin(listener.get(), 1000, &wake).status, AcceptStatus::kStopped);
  stop.Reset();
  AcceptResult accepted = AcceptWithin(listener.get(), 1000, &wake);
  ASSERT_EQ(accepted.status, AcceptStatus::kAccepted);
  Fd server_side(accepted.socket);

  // A stop set by another thread ends a wait without a bound at once.
  std::thread setter([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.Set();
  });
  start = Clock::now();
  EXPECT_EQ(AcceptWithin(listener.get(), kInfinite, &wake).status, AcceptStatus::kStopped);
  const int64_t spent = MsSince(start);
  setter.join();
  EXPECT_GE(spent, 40);
  EXPECT_LT(spent, 1000);
}

TEST(ListenerTest, AcceptFailuresAreSorted) {
  // A socket that does not listen: accept itself fails for good.
  Fd idle(OpenStreamSocket());
  AcceptResult result = AcceptWithin(idle.get(), 200);
  EXPECT_EQ(result.status, AcceptStatus::kAcceptFailed);
  EXPECT_EQ(result.os_error, EINVAL);

  // A descriptor that is not open: the wait fails.
  const SOCKET gone = OpenStreamSocket();
  ASSERT_EQ(CloseSocket(gone), 0);
  result = AcceptWithin(gone, 200);
  EXPECT_EQ(result.status, AcceptStatus::kWaitFailed);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

  // No descriptor left for the connection: worth a retry, and the wait with a stop
  // wake still works, since the wake holds its descriptor from before.
  Fd listener(OpenLoopbackListener());
  Fd client(ConnectClient(LocalPort(listener.get())));
  Event stop(Event::Mode::kManualReset);
  StopWake wake(stop);
  rlimit old_limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old_limit), 0);
  // Every descriptor below the lowest free one is taken: that one becomes the limit.
  const int lowest_free = ::dup(0);
  ASSERT_GE(lowest_free, 0);
  ::close(lowest_free);
  rlimit limit = old_limit;
  limit.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  result = AcceptWithin(listener.get(), 1000, &wake);
  const int exhausted_status = static_cast<int>(result.status);
  const int exhausted_errno = result.os_error;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old_limit), 0);
  EXPECT_EQ(exhausted_status, static_cast<int>(AcceptStatus::kExhausted));
  EXPECT_EQ(exhausted_errno, EMFILE);
  // With descriptors again, the same connection is taken.
  result = AcceptWithin(listener.get(), 1000, &wake);
  ASSERT_EQ(result.status, AcceptStatus::kAccepted);
  ::close(result.socket);
}

TEST(WaitAnyReadableTest, ReportsEachHandleByWhatHappenedToIt) {
  int quiet[2], data[2], closed[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quiet), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, data), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, closed), 0);
  Fd q0(quiet[0]), q1(quiet[1]), d0(data[0]), d1(data[1]), c0(closed[0]), c1(closed[1]);
  const SOCKET gone = OpenStreamSocket();
  ASSERT_EQ(CloseSocket(gone), 0);

  WaitHandle handles[4];
  handles[0].socket = quiet[0];
  handles[1].socket = data[0];
  handles[2].socket = INVALID_SOCKET;  // ignored
  handles[3].socket = closed[0];
  auto start = Clock::now();
  EXPECT_EQ(WaitAnyReadable(handles, 60), WaitResult::kTimedOut);
  EXPECT_GE(MsSince(start), 55);
  for (const WaitHandle& h : handles) EXPECT_FALSE(h.Reported());

  ASSERT_EQ(::send(data[1], "x", 1, 0), 1);
  c1.Reset();
  ASSERT_EQ(WaitAnyReadable(handles, 1000), WaitResult::kReady);
  const struct {
    bool readable, broken, invalid;
  } expected[] = {{false, false, false}, {true, false, false}, {false, false, false}, {true, true, false}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(handles[i].readable, expected[i].readable) << i;
    EXPECT_EQ(handles[i].broken, expected[i].broken) << i;
    EXPECT_EQ(handles[i].invalid, expected[i].invalid) << i;
  }

  // A descriptor that is not open is reported as such; earlier findings are cleared.
  WaitHandle two[2];
  two[0].socket = quiet[0];
  two[0].readable = true;
  two[1].socket = gone;
  ASSERT_EQ(WaitAnyReadable(two, 0), WaitResult::kReady);
  EXPECT_FALSE(two[0].Reported());
  EXPECT_TRUE(two[1].invalid);
  EXPECT_EQ(WaitAnyReadable(std::span<WaitHandle>(), 0), WaitResult::kTimedOut);
}

TEST(WaitAnyReadableTest, StopWinsAndWakesTheWait) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  Fd a(pair[0]), b(pair[1]);
  WaitHandle handle;
  handle.socket = pair[0];
  Event stop(Event::Mode::kManualReset);
  {
    StopWake wake(stop);
    ASSERT_TRUE(wake.IsValid());
    EXPECT_FALSE(wake.IsStopped());

    std::thread setter([&stop] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      stop.Set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(WaitAnyReadable(std::span<WaitHandle>(&handle, 1), kInfinite, &wake), WaitResult::kStopped);
    const int64_t spent = MsSince(start);
    setter.join();
    EXPECT_GE(spent, 40);
    EXPECT_LT(spent, 1000);
    EXPECT_TRUE(wake.IsStopped());

    // Data waiting does not hide a set stop; once clear, the data is reported.
    ASSERT_EQ(::send(pair[1], "x", 1, 0), 1);
    EXPECT_EQ(WaitAnyReadable(std::span<WaitHandle>(&handle, 1), 1000, &wake), WaitResult::kStopped);
    stop.Reset();
    EXPECT_EQ(WaitAnyReadable(std::span<WaitHandle>(&handle, 1), 1000, &wake), WaitResult::kReady);
    EXPECT_TRUE(handle.readable);
  }
  // Once the wake is gone, setting the event touches nothing of it.
  stop.Set();
  stop.Reset();
}

}  // namespace
}  // namespace platform::net
