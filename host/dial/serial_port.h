// CSerialPort: the modem's COM port for the dial backup. Opens and configures the
// port, writes with a send time-out, reads what has arrived, reads modem reply
// lines, reports the modem signals and hangs up. Every wait also ends when the
// owner's abort event is set (the dial worker's stop event), at once rather than
// at the next poll step. While the port is open a small monitor thread turns the
// port's comm events into the four signal events.
//
// Waiting operations answer 0 success, 1 error, 5 time-out, 6 aborted.
//
// Thread safety: one owner thread (the dial worker) calls everything, the open and
// the close included; the monitor thread only waits for comm events and sets the
// signal events. No lock of this class is held while it waits; the monitor is
// joined before the port closes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/serial/serial_device.h"
#include "platform/sync/event.h"
#include "platform/thread/worker_thread.h"

class CLogger;

// The time limits the port uses on its own; the long ones are shortened in tests.
struct CSerialPortTimeouts {
  uint32_t m_CommandSendMs = 5000;  // each write of a modem command
  uint32_t m_CommandEchoMs = 40;    // pause before the CR, whose echo is then purged
  uint32_t m_DtrDropMs = 300;       // how long the carrier may take to drop with DTR
  uint32_t m_DtrOkMs = 2000;        // the modem's OK after the DTR hang-up
  uint32_t m_GuardMs = 1500;        // escape guard time before and after "+++"
  uint32_t m_HangUpOkMs = 2000;     // the modem's OK after "ATH0"
};

class CSerialPort {
 public:
  static constexpr int kResultSuccess = 0;
  static constexpr int kResultError = 1;
  static constexpr int kResultTimeout = 5;
  static constexpr int kResultAborted = 6;
  static constexpr unsigned kInBufferSize = 1024;   // at most 1023 bytes per read
  static constexpr unsigned kOutBufferSize = 4096;  // at most 4095 bytes per write
  static constexpr unsigned kNoLimit = 0xFFFFFFFFu;

  // Logs through logger (nullptr: the process's logger).
  explicit CSerialPort(CLogger* logger = nullptr);
  CSerialPort(const CSerialPort&) = delete;
  CSerialPort& operator=(const CSerialPort&) = delete;
  virtual ~CSerialPort();

  void SetTimeoutsForTesting(const CSerialPortTimeouts& timeouts) { m_Timeouts = timeouts; }
  // Status lines to use in place of the device's own from the next Open (not owned).
  void SetModemLines(platform::serial::ModemLines* lines) { m_Device.SetModemLines(lines); }

  // Port 1 to 255 (the device of platform::serial::ComPortDevicePath), baud 300,
  // 1200, 2400, 9600, 19200 or 115200, parity 'E' 'N' 'O' (either case), data bits
  // '7' or '8', stop bits '1' or '2'; CTS output flow control, DTR and RTS on. An
  // open port is closed first. False for a bad value or a port that cannot be
  // opened, configured or monitored.
  bool Open(int portNumber, int baudRate, char parity, char dataBits, char stopBits);
  // Stops and joins the monitor, drops DTR and closes. True also when already closed.
  bool Close();
  // The owner's abort event (not owned); set it before Open.
  void SetAbortEvent(platform::Event* abortEvent) {
    m_AbortEvent = abortEvent;
    m_AbortList[0] = abortEvent;
  }

  // Writes length bytes within timeoutMs and waits until the driver has sent them:
  // 0, 1 (error, or more than 4095 bytes: nothing is written), 5 (time-out, logged
  // with the queue state), 6 (aborted).
  int Write(const char* bytes, int length, uint32_t timeoutMs);
  int WriteString(const char* text, uint32_t timeoutMs);
  // The number of bytes that have arrived and not been read.
  unsigned BytesWaiting();
  // Reads min(waiting, maximum, 1023) bytes into the input buffer, without waiting:
  // the count; 0 when nothing waits, on a line error (which this clears) or on a
  // failure.
  int Read(unsigned maximum);
  // The bytes of the last Read.
  std::string GetReadData() const { return std::string(m_InBuffer, m_InCount); }
  // One modem reply line within timeoutMs: CR dropped, empty lines skipped, the
  // line ends at LF (bytes after it stay for the next read). 0, 5 or 6.
  int ReadLine(uint32_t timeoutMs, std::string& text);
  // Reads until the text holds "OK" or "0\r": 0, 5 or 6.
  int WaitForOk(uint32_t timeoutMs);
  // With CR: the text, a pause, a purge of the echo, then CR. Without: a purge and
  // the text. The writes' result code.
  int SendCommand(const std::string& text, bool withCr);
  // True when the carrier is on within ms; false on time-out or abort.
  bool WaitForCarrier(uint32_t ms);
  // 6 when the abort event is set within ms, else 5.
  int CheckAbort(uint32_t ms);
  // Waits until bytes have arrived: 0; 5 after ms (also when the line reports a
  // hang-up, after sleeping out the time rather than spinning); 6 aborted; 1 when
  // the port is not open.
  int WaitForInput(uint32_t ms);
  bool PurgeReceive();
  bool SetDtr();
  bool ClearDtr();

  bool IsDsrOn();
  bool IsCtsOn();
  bool IsCarrierOn();
  bool IsOpen() const { return m_Device.IsOpen(); }

  // DTR dropped until the carrier goes (then the modem's OK is the result), raised again.
  bool HangUpByDtr();
  // HangUpByDtr, else "+++" and "ATH0" with the guard times.
  bool HangUp();

  static std::string FormatComStat(const platform::serial::ComStat& stat);

  int GetPortNumber() const { return m_PortNumber; }
  // Set by the monitor on ring, DSR change, received characters and carrier change.
  platform::Event& RingEvent() { return m_RingEvent; }
  platform::Event& DsrEvent() { return m_DsrEvent; }
  platform::Event& RxCharEvent() { return m_RxCharEvent; }
  platform::Event& CarrierEvent() { return m_CarrierEvent; }

 private:
  int WriteOverlapped(const char* bytes, unsigned length, uint32_t timeoutMs);
  bool ModemStatusHas(uint32_t bit);
  uint32_t CommEventLoop();
  // The abort event alone, or none.
  std::span<platform::Event* const> Aborts();
  CLogger& Log();

  CLogger* m_Logger;
  CSerialPortTimeouts m_Timeouts;
  int m_PortNumber = 0;
  platform::serial::SerialDevice m_Device;
  platform::Event* m_AbortEvent = nullptr;
  platform::Event* m_AbortList[1] = {nullptr};

  platform::Event m_RingEvent{platform::Event::Mode::kAutoReset};
  platform::Event m_DsrEvent{platform::Event::Mode::kAutoReset};
  platform::Event m_RxCharEvent{platform::Event::Mode::kAutoReset};
  platform::Event m_CarrierEvent{platform::Event::Mode::kAutoReset};
  platform::Event m_MonitorFailedEvent{platform::Event::Mode::kManualReset};
  platform::Event m_MonitorStartedEvent{platform::Event::Mode::kManualReset};
  platform::Event m_StopEvent{platform::Event::Mode::kManualReset};
  platform::WorkerThread m_MonitorThread;

  char m_InBuffer[kInBufferSize] = {};
  unsigned m_InCount = 0;
  char m_OutBuffer[kOutBufferSize] = {};
};
