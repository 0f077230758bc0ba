#include "platform/serial/fd_wait.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

namespace platform::serial {

namespace {

// The eventfd through which the events of a wait wake this thread's poll.
class ThreadWakeFd {
 public:
  ThreadWakeFd() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ThreadWakeFd(const ThreadWakeFd&) = delete;
  ThreadWakeFd& operator=(const ThreadWakeFd&) = delete;
  ~ThreadWakeFd() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  void Drain() {
    uint64_t count;
    while (read(fd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
  }

 private:
  int fd_;
};

ThreadWakeFd& WakeFd() {
  thread_local ThreadWakeFd wake;
  return wake;
}

}  // namespace

FdWaitOutcome WaitForFd(int fd, short events, std::span<Event* const> aborts, uint32_t ms) {
  FdWaitOutcome outcome;
  ThreadWakeFd& wake = WakeFd();
  if (wake.fd() < 0) {
    outcome.result = WaitResult::kError;
    return outcome;
  }
  wake.Drain();
  const int wake_fd = wake.fd();
  // Called under an event's mutex: only a non-blocking write to the eventfd.
  Waiter waiter([wake_fd] {
    const uint64_t one = 1;
    ssize_t written = write(wake_fd, &one, sizeof one);
    (void)written;
  });
  EventWaitScope scope(aborts, &waiter);

  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int index = scope.FirstSignalled();
    if (index >= 0) {
      outcome.result = WaitResult::kAborted;
      outcome.event_index = index;
      return outcome;
    }
    int timeout = -1;
    if (ms != kInfinite) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
      if (spent >= static_cast<int64_t>(ms)) {
        outcome.result = WaitResult::kTimeout;
        return outcome;
      }
      timeout = static_cast<int>(ms - static_cast<uint32_t>(spent));
    }
    pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
    const int n = poll(fds, 2, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      outcome.result = WaitResult::kError;
      return outcome;
    }
    if (fds[1].revents != 0) wake.Drain();
    outcome.revents = fds[0].revents;
    if ((fds[0].revents & events) != 0) {
      outcome.result = WaitResult::kReady;
      return outcome;
    }
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      outcome.result = WaitResult::kHangUp;
      return outcome;
    }
  }
}

}  // namespace platform::serial
