#include "platform/net/wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/net/deadline.h"

namespace platform::net {

StopWake::StopWake(Event& stop)
    : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), stop_(stop), waiter_([this] {
        const uint64_t one = 1;
        // A full counter still wakes the poll; nothing to do on failure.
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
      }) {
  if (fd_ < 0) return;
  Event* const events[1] = {&stop_};
  scope_.emplace(events, &waiter_);
}

StopWake::~StopWake() {
  scope_.reset();  // no Set writes the descriptor from here on
  if (fd_ >= 0) ::close(fd_);
}

void StopWake::Drain() const {
  uint64_t value;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &value, sizeof value);
}

WaitResult WaitAnyReadable(std::span<WaitHandle> handles, uint32_t timeout_ms, StopWake* stop) {
  const detail::Deadline deadline(timeout_ms);
  for (WaitHandle& handle : handles) handle.readable = handle.broken = handle.invalid = false;
  const bool woken = stop != nullptr && stop->IsValid();
  std::vector<pollfd> fds;
  fds.reserve(handles.size() + 1);
  for (const WaitHandle& handle : handles) fds.push_back({handle.socket, POLLIN, 0});
  if (woken) fds.push_back({stop->Fd(), POLLIN, 0});
  for (;;) {
    if (stop != nullptr && stop->IsStopped()) return WaitResult::kStopped;
    for (pollfd& fd : fds) fd.revents = 0;
    const int r = ::poll(fds.data(), fds.size(), deadline.PollTimeout());
    if (r < 0) {
      if (errno == EINTR) continue;
      WSASetLastError(WsaErrorFromErrno(errno));
      return WaitResult::kError;
    }
    if (woken && fds.back().revents != 0) stop->Drain();
    if (stop != nullptr && stop->IsStopped()) return WaitResult::kStopped;
    bool reported = false;
    for (size_t i = 0; i < handles.size(); ++i) {
      const short revents = fds[i].revents;
      handles[i].readable = (revents & POLLIN) != 0;
      handles[i].broken = (revents & (POLLERR | POLLHUP)) != 0;
      handles[i].invalid = (revents & POLLNVAL) != 0;
      reported = reported || handles[i].Reported();
    }
    if (reported) return WaitResult::kReady;
    if (r == 0 && deadline.Expired()) return WaitResult::kTimedOut;
    // Only the wake-up fired (the next round reports the stop), or poll woke early.
  }
}

}  // namespace platform::net
