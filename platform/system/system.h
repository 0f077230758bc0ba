// What the program asks the system about itself: the id of the running process, the
// name of the machine and random bytes. Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The id of the calling process (getpid), in the width of the original platform's
// process ids.
unsigned long CurrentProcessId();

// The machine's host name as gethostname gives it, cut to HOST_NAME_MAX bytes and
// always terminated. False (name emptied, errno set) when the system cannot tell it.
bool GetHostName(std::string* name);

// Fills count bytes from the system's random source (getrandom), retrying interrupted
// and short reads. False when it fails before all are filled; the bytes are then not
// to be used.
bool RandomBytes(uint8_t* bytes, size_t count);

}  // namespace platform
