// What the program asks the system about itself: the id of the running process and
// the name of the machine. Stateless; safe from any thread.
#pragma once

#include <string>

namespace platform {

// The id of the calling process (getpid), in the width of the original platform's
// process ids.
unsigned long CurrentProcessId();

// The machine's host name as gethostname gives it, cut to HOST_NAME_MAX bytes and
// always terminated. False (name emptied, errno set) when the system cannot tell it.
bool GetHostName(std::string* name);

}  // namespace platform
