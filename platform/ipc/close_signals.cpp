#include "platform/ipc/close_signals.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::ipc {
namespace {

int g_SignalPipe[2] = {-1, -1};

void OnCloseSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_SignalPipe[1], &byte, 1);
}

}  // namespace

int InstallCloseSignals() {
  if (g_SignalPipe[0] >= 0) return g_SignalPipe[0];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_SignalPipe) != 0) return -1;
  struct sigaction action {};
  action.sa_handler = OnCloseSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  return g_SignalPipe[0];
}

bool TakeCloseSignal(int fd) {
  char byte;
  return fd >= 0 && ::read(fd, &byte, 1) == 1;
}

}  // namespace platform::ipc
