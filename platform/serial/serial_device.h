// A serial line in the manner of a COM port, over termios and poll: open by path,
// line settings, queue counts and line errors, non-blocking reads and writes,
// bounded waits that also end when one of the caller's abort events is set, the
// modem status lines, DTR, and comm events for a monitor thread.
//
// "COMn" is the device /dev/ttyS(n-1) unless the environment variable KVR_COMn
// names another one (ComPortDevicePath).
//
// The line is opened with CLOCAL, so neither the open nor a later carrier drop
// waits on or ends anything; carrier is read from the status lines instead. With
// 7 data bits every byte read is masked to 7 bits (a pseudo-terminal passes all 8).
// A device whose driver has no status lines (a pseudo-terminal) gets
// InBandModemLines; SetModemLines puts any other source in place of the device's own.
//
// Thread safety: one owner thread opens, configures, reads, writes and closes. A
// second thread may call WaitCommEvent, ClearCommError, BytesWaiting and
// GetModemStatus while the device is open (the owner closes only after that thread
// has finished). The error-counter baseline is guarded by the object's own mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/serial/fd_wait.h"
#include "platform/serial/modem_lines.h"
#include "platform/sync/event.h"
#include "platform/sync/mutex.h"

namespace platform::serial {

// Line errors, valued as ClearCommError reports them.
inline constexpr uint32_t kCeRxOver = 0x0001;
inline constexpr uint32_t kCeOverrun = 0x0002;
inline constexpr uint32_t kCeRxParity = 0x0004;
inline constexpr uint32_t kCeFrame = 0x0008;
inline constexpr uint32_t kCeBreak = 0x0010;

// Comm events, valued as SetCommMask and WaitCommEvent take them.
inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr uint32_t kEvCts = 0x0008;
inline constexpr uint32_t kEvDsr = 0x0010;
inline constexpr uint32_t kEvRlsd = 0x0020;
inline constexpr uint32_t kEvRing = 0x0100;

// The queue counts and hold flags of ClearCommError.
struct ComStat {
  uint32_t cbInQue = 0;
  uint32_t cbOutQue = 0;
  bool fCtsHold = false;  // output waits for CTS
  bool fDsrHold = false;  // output waits for DSR (never: no DSR flow control)
};

enum class Parity { kNone, kEven, kOdd };

struct LineSettings {
  uint32_t baud_rate = 19200;  // 300, 1200, 2400, 9600, 19200 or 115200
  Parity parity = Parity::kNone;
  int data_bits = 8;           // 7 or 8
  int stop_bits = 1;           // 1 or 2
  bool cts_flow = false;       // hardware (RTS/CTS) output flow control
};

// The device behind COM port n: KVR_COMn when set and not empty, else /dev/ttyS(n-1).
std::string ComPortDevicePath(int port);

class SerialDevice {
 public:
  SerialDevice() = default;
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;
  ~SerialDevice();

  // A source used in place of the device's own status lines from the next Open
  // (nullptr: the device's own). Not owned; must outlive the open device.
  void SetModemLines(ModemLines* lines);

  // Opens path for reading and writing, non-blocking, without becoming its
  // controlling terminal, exclusively (TIOCEXCL). False (with GetLastError set)
  // when it cannot be opened or is not a terminal. An open device is closed first.
  bool Open(const std::string& path) EXCLUDES(error_mu_);
  bool IsOpen() const { return fd_ >= 0; }
  // Drops DTR (which hangs a modem up), then closes. True when closed, also when
  // it was not open.
  bool Close();

  // Raw line with the given settings, CREAD | CLOCAL | HUPCL, no parity checking,
  // no software flow control, reads that return at once; DTR and RTS raised.
  // False for a value outside the lists above or when the driver refuses.
  bool Configure(const LineSettings& settings);

  // The line errors since the last call (kCe* bits, only where the driver counts
  // them) and the queue counts. False when the device is not open.
  bool ClearCommError(uint32_t* errors, ComStat* stat) EXCLUDES(error_mu_);
  // Bytes waiting to be read (0 when not open or unknown).
  uint32_t BytesWaiting() const;
  // Up to max bytes that have arrived, without waiting: the count, 0 when nothing
  // waits, -1 on an error. Every byte is passed to the status lines and, with 7
  // data bits, masked to 7 bits.
  int ReadAvailable(char* buffer, size_t max);
  // Writes what the driver takes now: the count (0 when it takes nothing), -1 on
  // an error.
  int WriteAvailable(const char* bytes, size_t length);
  // Bounded waits for input or output room. A hang-up or error condition of the
  // descriptor with nothing to read gives kHangUp at once (callers that loop must
  // pause themselves).
  WaitResult WaitReadable(uint32_t ms, std::span<Event* const> aborts);
  WaitResult WaitWritable(uint32_t ms, std::span<Event* const> aborts);
  // Discards what has arrived and not been read (tcflush TCIFLUSH).
  bool PurgeReceive();
  // Discards what was written and not yet sent (tcflush TCOFLUSH).
  bool PurgeTransmit();

  bool GetModemStatus(uint32_t* status);
  bool SetDtr(bool on);

  // The events WaitCommEvent reports (kEv*). False when not open.
  bool SetCommMask(uint32_t mask);
  // Waits until one of the masked events happens (characters arrived since the
  // last report, a change of CTS, DSR or carrier, ring coming on), one of aborts
  // is set, or ms pass (kInfinite: no limit). The status lines are looked at every
  // 10 ms. kReady with *events set; kAborted; kTimeout; kError when the device is
  // closed or no mask is set. One thread at a time.
  WaitResult WaitCommEvent(uint32_t* events, std::span<Event* const> aborts, uint32_t ms);

 private:
  int fd_ = -1;
  int data_bits_ = 8;
  bool cts_flow_ = false;
  ModemLines* injected_lines_ = nullptr;
  ModemLines* lines_ = nullptr;  // injected_lines_ or own_lines_
  std::unique_ptr<ModemLines> own_lines_;

  platform::Mutex error_mu_;
  bool have_counts_ GUARDED_BY(error_mu_) = false;
  int last_counts_[5] GUARDED_BY(error_mu_) = {};  // frame, parity, overrun, buffer overrun, break

  std::atomic<uint32_t> comm_mask_{0};
  // WaitCommEvent's own state (its one thread).
  uint32_t event_status_ = 0;
  uint32_t event_in_queue_ = 0;
};

}  // namespace platform::serial
