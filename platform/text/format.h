// printf-style formatting into std::string, and the texts of system error codes.
// Everything here is stateless and safe to call from any thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace platform {

// Formats exactly as vsnprintf would, measuring first: the result is never cut
// short and no argument can overrun a buffer. The format must be a literal or a
// trusted text; ready-made texts are passed as the argument of "%s".
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Error codes as the program reports them: the Windows numbering that the logs and
// replies carry (0 success, 2 file not found, 5 access denied, 10060 timed out...).
// The calling thread's last error, set by the platform layer when a call fails.
uint32_t GetLastError();
void SetLastError(uint32_t code);

// Maps an errno value to the nearest Windows error code (ENOENT -> 2, EACCES -> 5, ...).
uint32_t ErrorCodeFromErrno(int err);

// The message text of a Windows error code with the "\r\n" that the system appends,
// or the empty text for a code without a known message.
std::string SystemErrorText(uint32_t code);

// strerror_r's text for an errno value, without a line end.
std::string ErrnoText(int err);

}  // namespace platform
