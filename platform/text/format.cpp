#include "platform/text/format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace platform {

std::string FormatV(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed <= 0) return std::string();
  std::string out(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(needed));
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  return out;
}

namespace {
thread_local uint32_t t_last_error = 0;

// The messages of the Windows codes that the program can report.
const std::map<uint32_t, const char*>& ErrorTexts() {
  static const std::map<uint32_t, const char*> texts = {
      {0, "The operation completed successfully."},
      {1, "Incorrect function."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {4, "The system cannot open the file."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough memory resources are available to process this command."},
      {13, "The data is invalid."},
      {14, "Not enough memory resources are available to complete this operation."},
      {21, "The device is not ready."},
      {31, "A device attached to the system is not functioning."},
      {32, "The process cannot access the file because it is being used by another process."},
      {80, "The file exists."},
      {87, "The parameter is incorrect."},
      {112, "There is not enough space on the disk."},
      {121, "The semaphore timeout period has expired."},
      {183, "Cannot create a file when that file already exists."},
      {234, "More data is available."},
      {258, "The wait operation timed out."},
      {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
      {996, "Overlapped I/O event is not in a signaled state."},
      {997, "Overlapped I/O operation is in progress."},
      {1167, "The device is not connected."},
      {1460, "This operation returned because the timeout period expired."},
      {0x80090001, "Bad UID."},
      {0x80090002, "Bad Hash."},
      {0x80090003, "Bad Key."},
      {0x80090004, "Bad Length."},
      {0x80090005, "Bad Data."},
      {0x80090008, "Invalid algorithm specified."},
      {0x80090009, "Invalid flags specified."},
      {0x8009000A, "Invalid type specified."},
      {0x8009000B, "Key not valid for use in specified state."},
      {0x8009000C, "Hash not valid for use in specified state."},
      {0x8009000D, "Key does not exist."},
      {0x8009000E, "Insufficient memory available for the operation."},
      {0x8009000F, "Object already exists."},
      {0x80090014, "Invalid provider type specified."},
      {0x80090016, "Keyset does not exist"},
      {0x80090019, "The keyset is not defined."},
      {0x8009001F, "The keyset parameter is invalid."},
      {0x80090020, "An internal error occurred."},
      {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
      {10009, "The file handle supplied is not valid."},
      {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
      {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
      {10022, "An invalid argument was supplied."},
      {10024, "Too many open sockets."},
      {10035, "A non-blocking socket operation could not be completed immediately."},
      {10036, "A blocking operation is currently executing."},
      {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
      {10038, "An operation was attempted on something that is not a socket."},
      {10040, "A message sent on a datagram socket was larger than the internal message buffer or some other network limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
      {10043, "The requested protocol has not been configured into the system, or no implementation for it exists."},
      {10045, "The attempted operation is not supported for the type of object referenced."},
      {10047, "An address incompatible with the requested protocol was used."},
      {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
      {10049, "The requested address is not valid in its context."},
      {10050, "A socket operation encountered a dead network."},
      {10051, "A socket operation was attempted to an unreachable network."},
      {10052, "The connection has been broken due to keep-alive activity detecting a failure while the operation was in progress."},
      {10053, "An established connection was aborted by the software in your host machine."},
      {10054, "An existing connection was forcibly closed by the remote host."},
      {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full."},
      {10056, "A connect request was made on an already connected socket."},
      {10057, "A request to send or receive data was disallowed because the socket is not connected and (when sending on a datagram socket using a sendto call) no address was supplied."},
      {10058, "A request to send or receive data was disallowed because the socket had already been shut down in that direction with a previous shutdown call."},
      {10060, "A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond."},
      {10061, "No connection could be made because the target machine actively refused it."},
      {10064, "A socket operation failed because the destination host was down."},
      {10065, "A socket operation was attempted to an unreachable host."},
      {11001, "No such host is known."},
      {11002, "This is usually a temporary error during hostname resolution and means that the local server did not receive a response from an authoritative server."},
      {11003, "A non-recoverable error occurred during a database lookup."},
      {11004, "The requested name is valid, but no data of the requested type was found."},
  };
  return texts;
}
}  // namespace

uint32_t GetLastError() { return t_last_error; }
void SetLastError(uint32_t code) { t_last_error = code; }

uint32_t ErrorCodeFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EMFILE: case ENFILE: return 4;
    case EACCES: case EPERM: case EROFS: return 5;
    case EBADF: return 6;
    case ENOMEM: return 8;
    case EBUSY: case ETXTBSY: return 32;
    case EEXIST: return 80;
    case EINVAL: return 87;
    case ENOSPC: case EDQUOT: return 112;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ECONNRESET: return 10054;
    case ECONNABORTED: return 10053;
    case EPIPE: return 10058;
    case ENOTCONN: return 10057;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case EINTR: return 10004;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case ENOTSOCK: return 10038;
    case ENOBUFS: return 10055;
    case EIO: return 31;
    case ENXIO: case ENODEV: return 1167;
    default: return 31;
  }
}

std::string SystemErrorText(uint32_t code) {
  const auto& texts = ErrorTexts();
  auto it = texts.find(code);
  if (it == texts.end()) return std::string();
  return std::string(it->second) + "\r\n";
}

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string();
}

}  // namespace platform
