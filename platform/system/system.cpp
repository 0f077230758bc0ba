#include "platform/system/system.h"

#include <unistd.h>

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

}  // namespace platform
