#include "platform/serial/serial_device.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/text/format.h"

namespace platform::serial {

namespace {

bool SpeedOf(uint32_t baud, speed_t* speed) {
  switch (baud) {
    case 300: *speed = B300; return true;
    case 1200: *speed = B1200; return true;
    case 2400: *speed = B2400; return true;
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    case 115200: *speed = B115200; return true;
    default: return false;
  }
}

void SetErrno(int err) { SetLastError(ErrorCodeFromErrno(err)); }

uint32_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - since)
                                   .count());
}

// What is left of ms after elapsed (kInfinite stays kInfinite).
uint32_t Remaining(uint32_t ms, uint32_t elapsed) {
  if (ms == kInfinite) return kInfinite;
  return elapsed >= ms ? 0 : ms - elapsed;
}

// Waits on the events alone (or sleeps when there are none). True when one is set.
bool WaitEvents(std::span<Event* const> aborts, uint32_t ms) {
  if (aborts.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return false;
  }
  return Event::WaitAny(aborts, ms) != kWaitTimeout;
}

}  // namespace

std::string ComPortDevicePath(int port) {
  const std::string name = Format("KVR_COM%d", port);
  const char* value = std::getenv(name.c_str());
  if (value != nullptr && *value != '\0') return value;
  return Format("/dev/ttyS%d", port - 1);
}

SerialDevice::~SerialDevice() { Close(); }

void SerialDevice::SetModemLines(ModemLines* lines) { injected_lines_ = lines; }

bool SerialDevice::Open(const std::string& path) {
  if (IsOpen() && !Close()) return false;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetErrno(errno);
    return false;
  }
  termios t;
  if (tcgetattr(fd, &t) != 0) {
    const int err = errno;
    close(fd);
    SetErrno(err);
    return false;
  }
  ioctl(fd, TIOCEXCL);
  fd_ = fd;
  data_bits_ = 8;
  cts_flow_ = false;
  {
    platform::MutexLock lock(error_mu_);
    have_counts_ = false;
  }
  own_lines_.reset();
  if (injected_lines_ != nullptr) {
    lines_ = injected_lines_;
  } else {
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) == 0) {
      own_lines_ = std::make_unique<DriverModemLines>(fd);
    } else {
      own_lines_ = std::make_unique<InBandModemLines>(fd);
    }
    lines_ = own_lines_.get();
  }
  return true;
}

bool SerialDevice::Close() {
  if (!IsOpen()) return true;
  lines_->SetDtr(false);
  ioctl(fd_, TIOCNXCL);
  const int result = close(fd_);
  fd_ = -1;
  lines_ = nullptr;
  own_lines_.reset();
  comm_mask_.store(0);
  if (result != 0) {
    SetErrno(errno);
    return false;
  }
  return true;
}

bool SerialDevice::Configure(const LineSettings& settings) {
  if (!IsOpen()) return false;
  speed_t speed;
  if (!SpeedOf(settings.baud_rate, &speed)) return false;
  if (settings.data_bits != 7 && settings.data_bits != 8) return false;
  if (settings.stop_bits != 1 && settings.stop_bits != 2) return false;
  termios t;
  if (tcgetattr(fd_, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY | PARMRK | ISTRIP);
  t.c_iflag |= IGNBRK;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL | HUPCL;
  t.c_cflag |= settings.data_bits == 7 ? CS7 : CS8;
  if (settings.parity != Parity::kNone) t.c_cflag |= PARENB;
  if (settings.parity == Parity::kOdd) t.c_cflag |= PARODD;
  if (settings.stop_bits == 2) t.c_cflag |= CSTOPB;
  if (settings.cts_flow) t.c_cflag |= CRTSCTS;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(fd_, TCSANOW, &t) != 0) {
    SetErrno(errno);
    return false;
  }
  data_bits_ = settings.data_bits;
  cts_flow_ = settings.cts_flow;
  int rts = TIOCM_RTS;
  ioctl(fd_, TIOCMBIS, &rts);  // a device without modem lines refuses; nothing to raise
  lines_->SetDtr(true);
  return true;
}

bool SerialDevice::ClearCommError(uint32_t* errors, ComStat* stat) {
  *errors = 0;
  *stat = ComStat();
  if (!IsOpen()) return false;
  int in = 0;
  int out = 0;
  if (ioctl(fd_, FIONREAD, &in) != 0 || ioctl(fd_, TIOCOUTQ, &out) != 0) return false;
  stat->cbInQue = static_cast<uint32_t>(in);
  stat->cbOutQue = static_cast<uint32_t>(out);
  if (cts_flow_) {
    uint32_t status = 0;
    if (lines_->GetModemStatus(&status)) stat->fCtsHold = (status & kMsCtsOn) == 0;
  }
  serial_icounter_struct counts{};
  if (ioctl(fd_, TIOCGICOUNT, &counts) == 0) {
    const int now[5] = {counts.frame, counts.parity, counts.overrun, counts.buf_overrun, counts.brk};
    static constexpr uint32_t kBits[5] = {kCeFrame, kCeRxParity, kCeOverrun, kCeRxOver, kCeBreak};
    platform::MutexLock lock(error_mu_);
    if (have_counts_) {
      for (int i = 0; i < 5; ++i) {
        if (now[i] != last_counts_[i]) *errors |= kBits[i];
      }
    }
    for (int i = 0; i < 5; ++i) last_counts_[i] = now[i];
    have_counts_ = true;
  }
  return true;
}

uint32_t SerialDevice::BytesWaiting() const {
  if (!IsOpen()) return 0;
  int in = 0;
  if (ioctl(fd_, FIONREAD, &in) != 0 || in < 0) return 0;
  return static_cast<uint32_t>(in);
}

int SerialDevice::ReadAvailable(char* buffer, size_t max) {
  if (!IsOpen()) return -1;
  if (max == 0) return 0;
  const ssize_t n = read(fd_, buffer, max);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return 0;
    SetErrno(errno);
    return -1;
  }
  if (n == 0) return 0;
  lines_->OnReceived(std::string_view(buffer, static_cast<size_t>(n)));
  if (data_bits_ == 7) {
    for (ssize_t i = 0; i < n; ++i) buffer[i] = static_cast<char>(buffer[i] & 0x7F);
  }
  return static_cast<int>(n);
}

int SerialDevice::WriteAvailable(const char* bytes, size_t length) {
  if (!IsOpen()) return -1;
  if (length == 0) return 0;
  const ssize_t n = write(fd_, bytes, length);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return 0;
    SetErrno(errno);
    return -1;
  }
  return static_cast<int>(n);
}

WaitResult SerialDevice::WaitReadable(uint32_t ms, std::span<Event* const> aborts) {
  if (!IsOpen()) return WaitResult::kError;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    for (Event* e : aborts) {
      if (e->IsSet()) return WaitResult::kAborted;
    }
    if (BytesWaiting() > 0) return WaitResult::kReady;
    const uint32_t left = Remaining(ms, ElapsedMs(start));
    if (left == 0) return WaitResult::kTimeout;
    const FdWaitOutcome outcome = WaitForFd(fd_, POLLIN, aborts, left);
    switch (outcome.result) {
      case WaitResult::kReady:
        if (BytesWaiting() > 0) return WaitResult::kReady;
        if (outcome.revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitResult::kHangUp;
        // Readable with nothing counted yet (the driver is still moving it): a short
        // pause, never a spin.
        if (WaitEvents(aborts, 1)) return WaitResult::kAborted;
        break;
      case WaitResult::kHangUp:
        return BytesWaiting() > 0 ? WaitResult::kReady : WaitResult::kHangUp;
      default:
        return outcome.result;
    }
  }
}

WaitResult SerialDevice::WaitWritable(uint32_t ms, std::span<Event* const> aborts) {
  if (!IsOpen()) return WaitResult::kError;
  return WaitForFd(fd_, POLLOUT, aborts, ms).result;
}

bool SerialDevice::PurgeReceive() {
  if (!IsOpen()) return false;
  return tcflush(fd_, TCIFLUSH) == 0;
}

bool SerialDevice::PurgeTransmit() {
  if (!IsOpen()) return false;
  return tcflush(fd_, TCOFLUSH) == 0;
}

bool SerialDevice::GetModemStatus(uint32_t* status) {
  *status = 0;
  if (!IsOpen()) return false;
  return lines_->GetModemStatus(status);
}

bool SerialDevice::SetDtr(bool on) {
  if (!IsOpen()) return false;
  return lines_->SetDtr(on);
}

bool SerialDevice::SetCommMask(uint32_t mask) {
  if (!IsOpen()) return false;
  comm_mask_.store(mask);
  event_in_queue_ = BytesWaiting();
  uint32_t status = 0;
  lines_->GetModemStatus(&status);
  event_status_ = status;
  return true;
}

WaitResult SerialDevice::WaitCommEvent(uint32_t* events, std::span<Event* const> aborts, uint32_t ms) {
  *events = 0;
  const uint32_t mask = comm_mask_.load();
  if (!IsOpen() || mask == 0) return WaitResult::kError;
  constexpr uint32_t kLineCheckMs = 10;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    uint32_t found = 0;
    const uint32_t in = BytesWaiting();
    if (in > event_in_queue_) found |= kEvRxChar;
    event_in_queue_ = in;
    uint32_t status = 0;
    if (lines_->GetModemStatus(&status)) {
      const uint32_t changed = status ^ event_status_;
      if (changed & kMsCtsOn) found |= kEvCts;
      if (changed & kMsDsrOn) found |= kEvDsr;
      if (changed & kMsRlsdOn) found |= kEvRlsd;
      if ((changed & kMsRingOn) && (status & kMsRingOn)) found |= kEvRing;
      event_status_ = status;
    }
    found &= mask;
    if (found != 0) {
      *events = found;
      return WaitResult::kReady;
    }
    const uint32_t left = Remaining(ms, ElapsedMs(start));
    if (left == 0) return WaitResult::kTimeout;
    const uint32_t slice = left < kLineCheckMs ? left : kLineCheckMs;
    if (in == 0 && (mask & kEvRxChar)) {
      // Nothing waits: sleep in poll until something arrives.
      const FdWaitOutcome outcome = WaitForFd(fd_, POLLIN, aborts, slice);
      if (outcome.result == WaitResult::kAborted) return WaitResult::kAborted;
      if (outcome.result == WaitResult::kError) return WaitResult::kError;
      if (outcome.result == WaitResult::kHangUp ||
          (outcome.result == WaitResult::kReady && BytesWaiting() == 0)) {
        // A line whose other side is gone stays "ready": pause instead of spinning.
        if (WaitEvents(aborts, slice)) return WaitResult::kAborted;
      }
    } else if (WaitEvents(aborts, slice)) {
      return WaitResult::kAborted;
    }
  }
}

}  // namespace platform::serial
