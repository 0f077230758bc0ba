// The modem status lines of a serial device (DSR, CTS, carrier detect, ring) and
// its DTR output, behind a small interface: a real port reads them from the driver,
// a pseudo-terminal (which has no such lines) works them out from the line itself,
// and tests put a stand-in modem of their own in their place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sync/mutex.h"

namespace platform::serial {

// Modem status bits, valued as GetCommModemStatus reports them.
inline constexpr uint32_t kMsCtsOn = 0x0010;
inline constexpr uint32_t kMsDsrOn = 0x0020;
inline constexpr uint32_t kMsRingOn = 0x0040;
inline constexpr uint32_t kMsRlsdOn = 0x0080;  // receive-line signal (carrier) detect

// What a serial device asks of its status lines. Implementations must be safe to
// call from several threads at once (the owner of a port and its event monitor).
class ModemLines {
 public:
  virtual ~ModemLines() = default;
  // The kMs* bits of the lines that are on. False when they cannot be read.
  virtual bool GetModemStatus(uint32_t* status) = 0;
  // Raises or drops DTR. False when the line cannot be driven.
  virtual bool SetDtr(bool on) = 0;
  // Every byte the device has read, in order (before any masking), for lines that
  // are worked out from the data. The default ignores them.
  virtual void OnReceived(std::string_view bytes) { (void)bytes; }
};

// The lines of a real port: TIOCMGET for the inputs, TIOCMBIS/TIOCMBIC for DTR.
// Holds only the descriptor, which its owner keeps open while the object is used.
class DriverModemLines : public ModemLines {
 public:
  explicit DriverModemLines(int fd) : fd_(fd) {}
  bool GetModemStatus(uint32_t* status) override;
  bool SetDtr(bool on) override;

 private:
  const int fd_;
};

// The lines of a pseudo-terminal, which has none, worked out in-band the way a
// Hayes modem on &C1 &D2 behaves:
// - DSR and CTS are on while the other side of the terminal is open (no hang-up);
// - carrier comes on with a received result line that starts with "CONNECT" and
//   goes off with a received line "NO CARRIER", with a DTR drop (the modem hangs
//   up), and when the other side closes;
// - ring is never on;
// - DTR is dropped by setting the line's output speed to 0 (the termios hang-up,
//   which the other side sees with tcgetattr) and raised by restoring the speed.
// Takes its own mutex in every operation; holds the descriptor only.
class InBandModemLines : public ModemLines {
 public:
  explicit InBandModemLines(int fd) : fd_(fd) {}
  bool GetModemStatus(uint32_t* status) EXCLUDES(mu_) override;
  bool SetDtr(bool on) EXCLUDES(mu_) override;
  void OnReceived(std::string_view bytes) EXCLUDES(mu_) override;

 private:
  static constexpr size_t kMaxLine = 64;  // result lines are short; longer ones are data

  bool OtherSideOpen() const;

  const int fd_;
  platform::Mutex mu_;
  bool carrier_ GUARDED_BY(mu_) = false;
  bool dtr_off_ GUARDED_BY(mu_) = false;
  unsigned saved_speed_ GUARDED_BY(mu_) = 0;  // the output speed before the drop
  std::string line_ GUARDED_BY(mu_);  // the result line being received
  bool line_overflow_ GUARDED_BY(mu_) = false;
};

}  // namespace platform::serial
