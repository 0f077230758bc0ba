// CDialBackup: the dial-up transport to Elavon. A worker thread owns the modem on a
// serial port and carries the Elavon messages of queued records over the telephone
// line: it serves every record the routing hands it (state 9), dials when the line
// is down, runs the host exchange (ENQ, the reframed
// request, the answer frame with its LRC, ACK or NAK) and writes the record back in
// state 11 (modem error), 12 (answer received) or 13 (exchange failed) with the
// failure's text in m_HostErrorText. While a call is up it keeps
// g_DialLineBusyEvent set.
//
// Between exchanges the worker takes in whatever the line brings (every pass and
// before each record), so that a call the far end dropped while the line was idle
// (NO CARRIER, or the carrier line going off) counts as down at once: the busy event
// is reset and the next record initialises the modem and dials before anything is
// sent. A host ENQ that came in meanwhile is kept for the next exchange. A request
// is never written once the carrier is gone; such a record is served again on a
// later pass, on a new call.
//
// A record is taken as read from a snapshot (CTransactionQueue::UpdateIfCurrent, with
// m_OnDialLine set while the worker carries it) and written back the same way, so a
// stale copy never overwrites the routing's later word, and the routing knows what
// is on the line. The reversal journal is told just before the request is written
// (no entry, nothing written). While g_AbortEvent is set nothing new is taken.
//
// Every wait of the worker is bounded and ends at once on the stop event, so Stop
// returns promptly whatever the modem does; the worker drops the call (DTR) and
// closes the port when it ends, and resets g_DialLineBusyEvent.
//
// Threads and locks: Start and Stop run on the UI thread (Start dispatches window
// messages while it waits). The worker is the only user of the serial port after
// the start. The queue is touched only through its locked Snapshot and Update; the
// worker writes only records it read in state 9. m_LastErrorText is guarded by the
// object's own mutex, taken for single reads and writes only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/params/param_settings.h"
#include "core/queue/transaction_queue.h"
#include "host/dial/serial_port.h"
#include "platform/sync/event.h"
#include "platform/sync/mutex.h"
#include "platform/thread/worker_thread.h"

// The worker's time limits; the long ones are shortened in tests.
struct CDialTimeouts {
  uint32_t m_InitReplyMs = 5000;   // the modem's reply to the initialisation command
  uint32_t m_DialReplyMs = 30000;  // the modem's reply to the dial command
  uint32_t m_CarrierMs = 100;      // carrier after CONNECT
  uint32_t m_EnqMs = 3000;         // the host's ENQ
  uint32_t m_SendMs = 5000;        // each write of the exchange
  uint32_t m_AnswerMs = 30000;     // the host's answer frame
  uint32_t m_PassMs = 50;          // pause between passes over the queue
  uint32_t m_NakPauseMs = 50;      // pause before a NAK
};

// Where the dialling reads DIAL PREFIX and AUTHORIZATION PHONE NUMBER.
using CDialSettingsSource = std::function<CParamSettings()>;

class CDialBackup {
 public:
  // Texts of the failures.
  static constexpr const char* kTransmitFailedText = "Com Port Transmit Failed!";
  static constexpr const char* kNoInitResponseText = "Modem Failed - No Response to Init Command";
  static constexpr const char* kNoDialResponseText = "Modem Failed - No Response to Dial Command";
  static constexpr const char* kFailedToConnectText = "Failed To Connect.";
  static constexpr const char* kHangUpFailedText = "Failed to Hang up Modem!";
  static constexpr const char* kBadLrcText = "Bad LRC on Response NAK'd.";
  static constexpr const char* kShuttingDownText = "Dial Backup Server Shutting Down.";
  static constexpr const char* kLostCarrierText = "Lost Carrier Waiting for Response.";
  static constexpr const char* kAnswerTimeoutText = "Timed Out Waiting for Response.";
  static constexpr const char* kTooLongText = "Response Too Long NAK'd.";
  static constexpr const char* kEmptyRequestText = "No Request Message to Send.";
  static constexpr const char* kJournalRefusedText = "Reversal journal cannot keep the request: not sent.";
  static constexpr const char* kInitCommand = "AT&FE0Q0V1&C1&Q6X4$F1&D2S7=23S12=4S25=8";

  // The queue is g_TransactionQueue, the settings g_ParamStore's, the journal the
  // process's and the abort event g_AbortEvent unless given.
  explicit CDialBackup(CTransactionQueue* queue = nullptr, CDialSettingsSource settings = nullptr,
                       CLogger* logger = nullptr, CTranJournal* journal = nullptr,
                       platform::Event* abort = nullptr);
  CDialBackup(const CDialBackup&) = delete;
  CDialBackup& operator=(const CDialBackup&) = delete;
  // Stops the worker; the port is closed.
  virtual ~CDialBackup();

  // Before Start.
  void SetTimeoutsForTesting(const CDialTimeouts& timeouts, const CSerialPortTimeouts& portTimeouts);
  void SetModemLinesForTesting(platform::serial::ModemLines* lines) { m_SerialPort.SetModemLines(lines); }

  // Starts the worker on COM port comPort (a running one is stopped first). True
  // when it took the port (DSR and CTS on) and serves the queue; false when it
  // failed (GetLastErrorText tells why) or a quit request ended the wait.
  bool Start(int comPort);
  // Sets the stop event, joins the worker. Always true.
  bool Stop();
  std::string GetLastErrorText() const EXCLUDES(m_TextLock);
  bool TraceStub(const std::string& text);

 private:
  void Run();
  // Serves one record of the snapshot (state 9, kind 0); `lastFailed` is the
  // worker's note that the last exchange failed for a record other than a reversal.
  void Serve(CElavonTran record, bool& lastFailed);
  // Reads and drops what arrived while no exchange runs, so that the port's
  // carrier reflects it (a pseudo-terminal works the carrier out from the modem's
  // words); notes a host ENQ in m_HostReady and logs a call that went away.
  void TakeInIdleInput();
  bool IsSignalActive(int signal);
  bool InitModem();
  bool Dial();
  bool WaitForEnq();
  enum class ExchangeResult { kAnswered, kFailed, kNotSent, kRefusedByJournal };
  // kNotSent: the carrier was gone before the request was written (nothing sent).
  // kRefusedByJournal: the journal could not keep it, so it was not written.
  ExchangeResult Exchange(CElavonTran& record);
  // Writes the record back unless it changed since the worker took it.
  void WriteBack(CElavonTran& record);
  CTranJournal& Journal();
  bool HangUp();
  // The exchange's write: true when sent; else the text of the failure is set.
  bool WriteForExchange(const char* bytes, size_t length);
  void SetLastErrorText(const std::string& text) EXCLUDES(m_TextLock);
  std::string DialCommand() const;

  CSerialPort m_SerialPort;
  int m_ComPort = 0;
  platform::WorkerThread m_WorkerThread;
  platform::Event m_StartFailedEvent{platform::Event::Mode::kAutoReset};
  platform::Event m_ReadyEvent{platform::Event::Mode::kManualReset};
  platform::Event m_StopEvent{platform::Event::Mode::kManualReset};
  mutable platform::Mutex m_TextLock;
  std::string m_LastErrorText GUARDED_BY(m_TextLock);

  // Worker only: the host's ENQ for the next message arrived while the line was idle.
  bool m_HostReady = false;

  CLogger* m_Logger;
  CTranJournal* m_Journal;   // null: the process's, looked up at each use
  platform::Event* m_Abort;  // set while the Elavon interface stops
  CTransactionQueue& m_Queue;
  CDialSettingsSource m_Settings;
  CDialTimeouts m_Timeouts;
};
