#include "platform/system/system.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }

bool GetHostName(std::string* name) {
  char buffer[HOST_NAME_MAX + 1] = {};
  name->clear();
  // One byte short of the buffer: the last one stays the terminator even when the
  // system truncates without one.
  if (gethostname(buffer, sizeof buffer - 1) != 0) return false;
  *name = buffer;
  return true;
}

bool RandomBytes(uint8_t* bytes, size_t count) {
  size_t got = 0;
  while (got < count) {
    const ssize_t n = getrandom(bytes + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace platform
