#include "platform/serial/modem_lines.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace platform::serial {

bool DriverModemLines::GetModemStatus(uint32_t* status) {
  int bits = 0;
  if (ioctl(fd_, TIOCMGET, &bits) != 0) return false;
  uint32_t out = 0;
  if (bits & TIOCM_CTS) out |= kMsCtsOn;
  if (bits & TIOCM_DSR) out |= kMsDsrOn;
  if (bits & TIOCM_RNG) out |= kMsRingOn;
  if (bits & TIOCM_CAR) out |= kMsRlsdOn;
  *status = out;
  return true;
}

bool DriverModemLines::SetDtr(bool on) {
  int bits = TIOCM_DTR;
  return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool InBandModemLines::OtherSideOpen() const {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, 0) < 0) return false;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

bool InBandModemLines::GetModemStatus(uint32_t* status) {
  const bool open = OtherSideOpen();
  platform::MutexLock lock(mu_);
  if (!open) {
    carrier_ = false;
    *status = 0;
    return true;
  }
  *status = kMsDsrOn | kMsCtsOn | (carrier_ ? kMsRlsdOn : 0);
  return true;
}

bool InBandModemLines::SetDtr(bool on) {
  platform::MutexLock lock(mu_);
  if (on == !dtr_off_) return true;
  termios t;
  if (tcgetattr(fd_, &t) != 0) return false;
  if (on) {
    cfsetospeed(&t, static_cast<speed_t>(saved_speed_));
  } else {
    saved_speed_ = static_cast<unsigned>(cfgetospeed(&t));
    cfsetospeed(&t, B0);
  }
  if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
  dtr_off_ = !on;
  if (!on) carrier_ = false;
  return true;
}

void InBandModemLines::OnReceived(std::string_view bytes) {
  platform::MutexLock lock(mu_);
  for (char raw : bytes) {
    const char c = static_cast<char>(raw & 0x7F);
    if (c == '\r' || c == '\n') {
      if (!line_overflow_) {
        if (line_.rfind("CONNECT", 0) == 0) carrier_ = true;
        if (line_ == "NO CARRIER") carrier_ = false;
      }
      line_.clear();
      line_overflow_ = false;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      // Control bytes belong to data, never to a result line.
      line_.clear();
      line_overflow_ = true;
    } else if (line_.size() < kMaxLine) {
      line_ += c;
    } else {
      line_overflow_ = true;
    }
  }
}

}  // namespace platform::serial
