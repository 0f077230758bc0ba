// FakeModem: a Hayes-style modem with the Elavon dial-up host behind it, on a
// pseudo-terminal, for tests of the dial backup and for people. The terminal opens
// DevicePath() (the pty's slave) as its COM port.
//
// Command mode: a line ended by CR that starts with "AT" is a command. "ATD..."
// dials (the script's dial reply; CONNECT brings the carrier up and hands the line
// to the dial host, DialHostSession), "ATH..." hangs up with OK, any other command
// gets the script's init reply. Replies are verbose: CR LF, the word, CR LF; a
// silent reply sends nothing. There is no echo. In data mode a "+++" read on its
// own while the host is between frames returns to command mode with OK. A frame
// start (STX) that reaches the modem in command mode is counted: with no call up,
// nobody hears it.
//
// The script can make the far end drop an idle call (drop_idle_call_after_ms): the
// carrier goes off and the modem says NO CARRIER, as when the host hangs up between
// transactions.
//
// DTR: the modem sees DTR drop when the terminal sets the line's output speed to
// 0 (tcgetattr on the master shows it), when the terminal closes the line, or
// through Lines().SetDtr. A drop ends the call (carrier off) and, with the line
// still open, is answered with OK (&D2).
//
// Status lines: a pty has none. Lines() is the modem's own view (DSR, CTS,
// carrier), for a port to use in place of the in-band lines; SetDsr and SetCts
// switch DSR and CTS off for start-up tests.
//
// Threads and locks: one thread of its own serves the master side; every public
// member (and Lines()) takes the modem's one mutex, so any thread may call them.
// ElavonHostSim is called under that mutex (it takes its own mutex only).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/serial/modem_lines.h"
#include "platform/sync/event.h"
#include "platform/thread/worker_thread.h"
#include "tools/fake-modem/dial_host.h"

namespace fake_modem {

enum class ModemReply { kOk, kConnect, kNoCarrier, kError, kNoDialtone, kBusy, kNoAnswer, kLineInUse, kSilence };
// The reply's text ("OK", "CONNECT 19200", "NO CARRIER", ...), empty for kSilence.
const char* ModemReplyText(ModemReply reply);
// The reply of a word as people type it ("OK", "CONNECT", "NO CARRIER", "BUSY",
// "NO DIALTONE", "SILENCE", ...); nullopt for an unknown word.
std::optional<ModemReply> ModemReplyFromWord(const std::string& word);

struct ModemScript {
  ModemReply init_reply = ModemReply::kOk;      // every AT command but ATD and ATH
  ModemReply dial_reply = ModemReply::kConnect;
  bool carrier_with_connect = true;  // false: CONNECT is sent, the carrier stays off
  bool ok_on_dtr_drop = true;        // answer a DTR drop on the open line with OK
  int close_after_connect_ms = -1;   // >= 0: the modem goes away this long after CONNECT
  // >= 0: the far end drops a call (carrier off, NO CARRIER) once the host has been
  // between messages with no byte either way for this long.
  int drop_idle_call_after_ms = -1;
  HostScript host;                   // the dial host of each call
};

struct ModemCounters {
  std::vector<std::string> commands;  // every AT command, as received
  int dials = 0;
  int calls = 0;           // dials answered with CONNECT
  int dtr_hang_ups = 0;    // calls ended by a DTR drop
  int ath_hang_ups = 0;    // calls ended by ATH
  int escapes = 0;         // "+++" in data mode
  int idle_drops = 0;      // calls dropped by the far end while idle
  int frames_without_call = 0;  // STX bytes received in command mode
  bool carrier = false;
  bool dtr = false;        // as the modem sees it
  bool line_open = false;  // the terminal holds the line open
  HostCounters host;       // summed over every call
};

class FakeModem {
 public:
  // host answers the requests (not owned; may be null when the script fixes the answer).
  explicit FakeModem(elavon_sim::ElavonHostSim* host);
  FakeModem(const FakeModem&) = delete;
  FakeModem& operator=(const FakeModem&) = delete;
  ~FakeModem();

  // Opens the pseudo-terminal and starts serving it. False when no pty can be made.
  bool Start(const ModemScript& script = ModemScript());
  // Ends the thread and closes the master side (the terminal then sees a hang-up).
  void Stop();
  // The script for the next command and the next call; a call already up keeps
  // the host script it was dialled with.
  void SetScript(const ModemScript& script);
  std::string DevicePath() const;

  platform::serial::ModemLines& Lines() { return lines_; }
  void SetDsr(bool on);
  void SetCts(bool on);

  ModemCounters Counters() const;
  // Waits up to ms until done(counters) holds; true when it did.
  bool WaitFor(const std::function<bool(const ModemCounters&)>& done, uint32_t ms) const;

 private:
  class LinesView : public platform::serial::ModemLines {
   public:
    explicit LinesView(FakeModem* modem) : modem_(modem) {}
    bool GetModemStatus(uint32_t* status) override;
    bool SetDtr(bool on) override;

   private:
    FakeModem* modem_;
  };

  uint32_t Serve();
  // Each of these runs with mu_ held.
  void OnBytesLocked(const std::string& bytes);
  void OnCommandLocked(const std::string& line);
  // Works out DTR from the terminal's three ways of dropping it; acts on a change.
  void UpdateDtrLocked();
  void EndCallLocked();
  // Drops the call when the script says it has been idle long enough.
  void DropIdleCallLocked();
  void Reply(ModemReply reply);
  void ChangedLocked() { changed_.notify_all(); }

  elavon_sim::ElavonHostSim* host_;
  std::string device_path_;
  int master_ = -1;  // the serving thread's; closed after it ends

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  ModemScript script_;             // guarded by mu_
  ModemCounters counters_;         // guarded by mu_
  bool dsr_ = true;                // guarded by mu_
  bool cts_ = true;                // guarded by mu_
  bool injected_dtr_ = true;       // guarded by mu_
  bool termios_dtr_ = true;        // guarded by mu_
  bool line_open_ = true;          // guarded by mu_: no hang-up seen on the master side
  bool data_mode_ = false;         // guarded by mu_
  // guarded by mu_: when the modem goes away (close_after_connect_ms)
  std::optional<std::chrono::steady_clock::time_point> close_at_;
  // guarded by mu_: the last byte either way on the call (drop_idle_call_after_ms)
  std::chrono::steady_clock::time_point last_call_byte_;
  std::string command_;            // guarded by mu_: the command line being received
  std::string output_;             // guarded by mu_: bytes for the terminal
  std::optional<DialHostSession> session_;  // guarded by mu_

  LinesView lines_{this};
  platform::Event stop_{platform::Event::Mode::kManualReset};
  platform::Event wake_{platform::Event::Mode::kAutoReset};
  platform::WorkerThread thread_;
};

}  // namespace fake_modem
