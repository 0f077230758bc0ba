#include "host/dial/serial_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/log/logger.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"
#include "platform/window/window.h"

using platform::serial::ComStat;
using platform::serial::LineSettings;
using platform::serial::Parity;
using platform::serial::WaitResult;

namespace {

constexpr unsigned kMaxReadChunk = CSerialPort::kInBufferSize - 1;
constexpr unsigned kMaxWrite = CSerialPort::kOutBufferSize - 1;
constexpr size_t kMaxReplyLine = 1023;  // longer reply lines keep their start
constexpr size_t kOkWindow = 256;       // WaitForOk keeps the tail it searches
constexpr uint32_t kMonitorRetryMs = 50;

uint32_t Elapsed(uint32_t start) { return platform::TickDiff(platform::TickCount(), start); }

bool ParityOf(char parity, Parity* out) {
  switch (parity) {
    case 'E': case 'e': *out = Parity::kEven; return true;
    case 'N': case 'n': *out = Parity::kNone; return true;
    case 'O': case 'o': *out = Parity::kOdd; return true;
    default: return false;
  }
}

}  // namespace

CSerialPort::CSerialPort(CLogger* logger) : m_Logger(logger) {}

CSerialPort::~CSerialPort() { Close(); }

CLogger& CSerialPort::Log() { return m_Logger ? *m_Logger : GetLogger(); }

std::span<platform::Event* const> CSerialPort::Aborts() {
  return std::span<platform::Event* const>(m_AbortList, m_AbortEvent ? 1 : 0);
}

bool CSerialPort::Open(int portNumber, int baudRate, char parity, char dataBits, char stopBits) {
  if (IsOpen() && !Close()) return false;
  m_MonitorFailedEvent.Pulse();
  m_MonitorStartedEvent.Pulse();
  m_StopEvent.Pulse();
  if (portNumber < 1 || portNumber > 255) return false;

  LineSettings settings;
  settings.cts_flow = true;
  if (baudRate <= 0 || !ParityOf(parity, &settings.parity)) return false;
  settings.baud_rate = static_cast<uint32_t>(baudRate);
  if (dataBits != '7' && dataBits != '8') return false;
  settings.data_bits = dataBits - '0';
  if (stopBits != '1' && stopBits != '2') return false;
  settings.stop_bits = stopBits - '0';

  if (!m_Device.Open(platform::serial::ComPortDevicePath(portNumber))) return false;
  if (!m_Device.SetCommMask(0) || !m_Device.Configure(settings)) {
    m_Device.Close();
    return false;
  }

  if (!m_MonitorThread.Start([this] { return CommEventLoop(); }, /*start_suspended=*/true)) {
    m_Device.Close();
    return false;
  }
  m_MonitorThread.Resume();
  platform::Event* waits[] = {&m_MonitorFailedEvent, &m_MonitorStartedEvent, m_AbortEvent};
  const size_t count = m_AbortEvent ? 3 : 2;
  const int woken = platform::window::PumpMessagesAndWait(std::span<platform::Event* const>(waits, count));
  if (woken == 1) {
    m_PortNumber = portNumber;
    return true;
  }
  Close();
  return false;
}

bool CSerialPort::Close() {
  if (!IsOpen()) return true;
  m_StopEvent.Set();
  m_MonitorThread.Join();
  m_MonitorStartedEvent.Reset();
  return m_Device.Close();
}

uint32_t CSerialPort::CommEventLoop() {
  using namespace platform::serial;
  if (!m_Device.SetCommMask(kEvRxChar | kEvDsr | kEvRlsd | kEvRing)) {
    m_MonitorFailedEvent.Set();
    return 0;
  }
  m_MonitorStartedEvent.Set();
  platform::Event* waits[] = {&m_StopEvent, m_AbortEvent};
  const std::span<platform::Event* const> ends(waits, m_AbortEvent ? 2 : 1);
  for (;;) {
    uint32_t events = 0;
    const WaitResult result = m_Device.WaitCommEvent(&events, ends, platform::kInfinite);
    if (result == WaitResult::kAborted) return 0;
    if (result == WaitResult::kReady) {
      if (events & kEvRing) m_RingEvent.Set();
      if (events & kEvDsr) m_DsrEvent.Set();
      if (events & kEvRxChar) m_RxCharEvent.Set();
      if (events & kEvRlsd) m_CarrierEvent.Set();
      continue;
    }
    // A failed wait: clear the line's error state and pause before the next try,
    // so that a lasting failure never turns into a busy loop.
    uint32_t errors = 0;
    ComStat stat;
    m_Device.ClearCommError(&errors, &stat);
    if (platform::Event::WaitAny(ends, kMonitorRetryMs) != platform::kWaitTimeout) return 0;
  }
}

int CSerialPort::Write(const char* bytes, int length, uint32_t timeoutMs) {
  if (length < 0) return kResultError;
  // A message cut short would be a corrupted message: refuse it whole.
  if (static_cast<unsigned>(length) > kMaxWrite) return kResultError;
  if (length > 0) std::memcpy(m_OutBuffer, bytes, static_cast<size_t>(length));
  return WriteOverlapped(m_OutBuffer, static_cast<unsigned>(length), timeoutMs);
}

int CSerialPort::WriteString(const char* text, uint32_t timeoutMs) {
  return Write(text, static_cast<int>(std::strlen(text)), timeoutMs);
}

int CSerialPort::WriteOverlapped(const char* bytes, unsigned length, uint32_t timeoutMs) {
  if (length == 0) return kResultSuccess;
  uint32_t errors = 0;
  ComStat stat;
  if (!m_Device.ClearCommError(&errors, &stat)) return kResultError;
  const uint32_t start = platform::TickCount();
  auto timedOut = [&] {
    m_Device.PurgeTransmit();
    ComStat now;
    uint32_t ignored = 0;
    m_Device.ClearCommError(&ignored, &now);
    Log().LogLine("TIMED OUT! on TRANSMIT!! [%s]\n", FormatComStat(now).c_str());
    return kResultTimeout;
  };

  unsigned sent = 0;
  while (sent < length) {
    const int n = m_Device.WriteAvailable(bytes + sent, length - sent);
    if (n < 0) return kResultError;
    sent += static_cast<unsigned>(n);
    if (sent == length) break;
    const uint32_t elapsed = Elapsed(start);
    if (elapsed >= timeoutMs) return timedOut();
    switch (m_Device.WaitWritable(timeoutMs - elapsed, Aborts())) {
      case WaitResult::kReady: break;
      case WaitResult::kAborted: m_Device.PurgeTransmit(); return kResultAborted;
      case WaitResult::kTimeout: return timedOut();
      default: return kResultError;
    }
  }
  // Wait until the driver has sent it all.
  for (;;) {
    if (!m_Device.ClearCommError(&errors, &stat)) return kResultError;
    if (stat.cbOutQue == 0) return kResultSuccess;
    if (CheckAbort(1) == kResultAborted) {
      m_Device.PurgeTransmit();
      return kResultAborted;
    }
    if (Elapsed(start) > timeoutMs) return timedOut();
  }
}

unsigned CSerialPort::BytesWaiting() {
  uint32_t errors = 0;
  ComStat stat;
  if (!m_Device.ClearCommError(&errors, &stat)) return 0;
  return stat.cbInQue;
}

int CSerialPort::Read(unsigned maximum) {
  m_InCount = 0;
  uint32_t errors = 0;
  ComStat stat;
  if (!m_Device.ClearCommError(&errors, &stat) || errors != 0) return 0;
  if (stat.cbInQue == 0) return 0;
  const unsigned want = std::min({stat.cbInQue, maximum, kMaxReadChunk});
  const int n = m_Device.ReadAvailable(m_InBuffer, want);
  if (n <= 0) return 0;
  m_InCount = static_cast<unsigned>(n);
  return n;
}

int CSerialPort::WaitForInput(uint32_t ms) {
  if (!IsOpen()) return kResultError;
  switch (m_Device.WaitReadable(ms, Aborts())) {
    case WaitResult::kReady: return kResultSuccess;
    case WaitResult::kAborted: return kResultAborted;
    case WaitResult::kTimeout: return kResultTimeout;
    default:
      // The line reports a hang-up or an error and will not bring input: sleep the
      // time out (ending on the abort event) instead of returning at once.
      return CheckAbort(ms);
  }
}

int CSerialPort::ReadLine(uint32_t timeoutMs, std::string& text) {
  text.clear();
  const uint32_t start = platform::TickCount();
  for (;;) {
    const uint32_t elapsed = Elapsed(start);
    if (elapsed >= timeoutMs) return kResultTimeout;
    const int waited = WaitForInput(timeoutMs - elapsed);
    if (waited == kResultAborted) return kResultAborted;
    if (waited == kResultError) return kResultTimeout;  // not open: nothing will come
    if (waited != kResultSuccess) continue;
    // One byte at a time, so that what follows the line stays for the next read.
    while (Read(1) == 1) {
      const char c = m_InBuffer[0];
      if (c == '\n') {
        if (!text.empty()) return kResultSuccess;
      } else if (c != '\r' && text.size() < kMaxReplyLine) {
        text += c;
      }
      if (m_AbortEvent && m_AbortEvent->IsSet()) return kResultAborted;
      if (Elapsed(start) >= timeoutMs) return kResultTimeout;
    }
  }
}

int CSerialPort::WaitForOk(uint32_t timeoutMs) {
  std::string text;
  const uint32_t start = platform::TickCount();
  for (;;) {
    const uint32_t elapsed = Elapsed(start);
    if (elapsed >= timeoutMs) return kResultTimeout;
    const int waited = WaitForInput(timeoutMs - elapsed);
    if (waited == kResultAborted) return kResultAborted;
    if (waited == kResultError) return kResultTimeout;  // not open: nothing will come
    if (waited != kResultSuccess) continue;
    if (Read(kNoLimit) > 0) {
      text += GetReadData();
      if (text.find("OK") != std::string::npos || text.find("0\r") != std::string::npos) {
        return kResultSuccess;
      }
      if (text.size() > kOkWindow) text.erase(0, text.size() - kOkWindow);
    }
  }
}

int CSerialPort::SendCommand(const std::string& text, bool withCr) {
  if (withCr) {
    const int written = Write(text.data(), static_cast<int>(text.size()), m_Timeouts.m_CommandSendMs);
    if (written != kResultSuccess) return written;
    if (CheckAbort(m_Timeouts.m_CommandEchoMs) == kResultAborted) return kResultAborted;
    PurgeReceive();
    return Write("\r", 1, m_Timeouts.m_CommandSendMs);
  }
  PurgeReceive();
  return Write(text.data(), static_cast<int>(text.size()), m_Timeouts.m_CommandSendMs);
}

bool CSerialPort::WaitForCarrier(uint32_t ms) {
  const uint32_t start = platform::TickCount();
  for (;;) {
    if (IsCarrierOn()) return true;
    if (Elapsed(start) >= ms) return false;
    if (CheckAbort(5) == kResultAborted) return false;
  }
}

int CSerialPort::CheckAbort(uint32_t ms) {
  if (m_AbortEvent == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return kResultTimeout;
  }
  return m_AbortEvent->Wait(ms) ? kResultAborted : kResultTimeout;
}

bool CSerialPort::PurgeReceive() { return m_Device.PurgeReceive(); }
bool CSerialPort::SetDtr() { return m_Device.SetDtr(true); }
bool CSerialPort::ClearDtr() { return m_Device.SetDtr(false); }

bool CSerialPort::ModemStatusHas(uint32_t bit) {
  uint32_t status = 0;
  return IsOpen() && m_Device.GetModemStatus(&status) && (status & bit) != 0;
}

bool CSerialPort::IsDsrOn() { return ModemStatusHas(platform::serial::kMsDsrOn); }
bool CSerialPort::IsCtsOn() { return ModemStatusHas(platform::serial::kMsCtsOn); }
bool CSerialPort::IsCarrierOn() { return ModemStatusHas(platform::serial::kMsRlsdOn); }

bool CSerialPort::HangUpByDtr() {
  ClearDtr();
  bool result = false;
  const uint32_t start = platform::TickCount();
  for (;;) {
    if (!IsCarrierOn()) {
      result = WaitForOk(m_Timeouts.m_DtrOkMs) == kResultSuccess;
      break;
    }
    if (Elapsed(start) >= m_Timeouts.m_DtrDropMs) break;
    if (CheckAbort(1) == kResultAborted) break;
  }
  SetDtr();
  return result;
}

bool CSerialPort::HangUp() {
  if (HangUpByDtr()) return true;
  if (CheckAbort(m_Timeouts.m_GuardMs) == kResultAborted) return false;
  SendCommand("+++", false);
  if (CheckAbort(m_Timeouts.m_GuardMs) == kResultAborted) return false;
  SendCommand("ATH0", true);
  return WaitForOk(m_Timeouts.m_HangUpOkMs) == kResultSuccess;
}

std::string CSerialPort::FormatComStat(const ComStat& stat) {
  return platform::Format("COMSTAT [cbInQue = %d,cbOutQue = %d, ctsHold = %d,DsrHold = %d]",
                          static_cast<int>(stat.cbInQue), static_cast<int>(stat.cbOutQue),
                          stat.fCtsHold ? 1 : 0, stat.fDsrHold ? 1 : 0);
}
