// CReversalJournal: the reversals the server may owe the host, kept in a small file
// in the working folder so that they survive a stop, a crash or a power loss. It is
// the one owner of an entry's life: the record's journal transitions tell it what
// happened (CTranJournal, one call per event) and it alone decides what becomes of
// the entry.
//
// An entry is made when the first exchange of a transaction that can be reversed is
// about to go to the host (no entry, no send), and holds the reversal message that
// would cancel what went out. Its phase, kept in memory only:
//   under way   an exchange of it is at the host (or about to be);
//   answered    the host answered; the answer waits for its POS;
//   owed        its reversal is owed; due after a pause that grows with every try
//               that fails (2 s, doubling, at most 5 minutes); the ReverseWorker takes
//               the entries that are due;
//   reversing   a reversal of it is queued or under way.
// It goes when the outcome is final: an answer that waited for its POS reached it,
// a decline could not be delivered, the host answered its reversal, or nothing of it
// left. An owed entry goes only when the host answers its reversal, and no event
// after an owed one (a delivery, a late answer) takes that back. An entry whose
// record has left the queue with no final outcome while no exchange of it is under
// way becomes owed (OweUnheld). Every entry read when the journal is opened belongs
// to an earlier run and is owed at once.
//
// The file ("ReversalJournal.dat" beside the sequence file) is replaced whole on
// every change (temporary file, fsync, rename) and is readable by its owner only
// (mode 0600). It holds a header line and one line per entry. The reversal message,
// which carries the card data, is encrypted with AES-256-GCM under a random 32-byte
// key kept in "ReversalJournal.key" (mode 0600) beside the key containers; the
// other fields of the line (the last four digits of the card, the amount, the
// sequence number, the time) are in clear and authenticated with it. Files of the
// earlier format (without the sequence number) are read as well.
//
// What cannot be read is never dropped silently: a file with lines that cannot be
// read is kept as it was under a name of its own that nothing overwrites, a journal
// whose key is missing or unusable is kept the same way (and the key aside with it)
// before a new key is made, and the messages name every entry that was lost with
// what is known of it (a bounded list, then a count). A write that fails is tried
// again at the next change and at every Flush; a new entry that cannot be written
// is refused, so that its exchange is not sent.
//
// Until Open succeeds the journal is closed: Sent refuses every exchange that would
// need an entry, and the other events do nothing.
//
// Thread-safe: every operation takes the journal's own mutex for its whole length,
// the file write included; log lines are written after it is released (the journal
// and the logger's locks are never held together).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/tran/elavon_tran.h"
#include "core/tran/tran_journal.h"
#include "platform/sync/mutex.h"

class CLogger;

inline constexpr char kReversalJournalFile[] = "ReversalJournal.dat";
inline constexpr char kReversalJournalKeyFile[] = "ReversalJournal.key";

enum class JournalPhase { kUnderWay, kAnswered, kOwed, kReversing };

struct CJournalEntry {
  uint64_t m_Key = 0;          // the journal's own name for the entry; never 0
  int m_Tries = 0;             // reversal tries that failed so far
  int64_t m_Created = 0;       // seconds since the epoch
  int m_TranCode = 0;          // internal code of the transaction it reverses
  std::string m_Amount;        // cents digits of the reversed amount
  std::string m_AcctLast4;     // the last four digits of the account, for the log
  std::string m_ClientAddress; // the client the transaction came from
  std::string m_SeqNo;         // the sequence number of the request it reverses
  std::string m_Reversal;      // the reversal message (in clear in memory only)
  // Memory only.
  JournalPhase m_Phase = JournalPhase::kUnderWay;
  // The worker that carries its exchanges holds it: from Sent until ExchangeEnded
  // (or until it is owed).
  bool m_InExchange = false;
  uint32_t m_DueTick = 0;      // when an owed entry is next tried
  uint64_t m_Changed = 0;      // the journal's change count when its phase last changed

  bool Owed() const { return m_Phase == JournalPhase::kOwed; }
};

// What Open found, for the log and for the operator.
struct CJournalOpenReport {
  std::vector<std::string> m_Messages;  // one line per fact worth logging
  // What the operator must be told at start (a box, or the log and stderr): entries
  // that could not be read, a journal that cannot be used.
  std::vector<std::string> m_Alerts;
};

class CReversalJournal : public CTranJournal {
 public:
  // Lines of the log go to logger (the process's logger when none is given).
  explicit CReversalJournal(CLogger* logger = nullptr) : m_Logger(logger) {}
  CReversalJournal(const CReversalJournal&) = delete;
  CReversalJournal& operator=(const CReversalJournal&) = delete;

  // The default places: the working folder's journal file, and the key file in the
  // folder of the key containers ("" when that folder cannot be found).
  static std::string DefaultPath();
  static std::string DefaultKeyPath();

  // Reads the key (making one when there is none, after keeping aside what it can no
  // longer read) and the journal file; every entry read is owed and due at once.
  // True when the journal is open: entries can be made and the file written. A file
  // that can be read but not written leaves the entries read open for their
  // reversals (true is still answered when the write succeeds later; IsOpen says
  // whether new entries can be made now). Opening an open journal reads it again.
  [[nodiscard]] bool Open(const std::string& path, const std::string& key_path, CJournalOpenReport* report)
      EXCLUDES(m_Lock);
  bool IsOpen() const EXCLUDES(m_Lock);
  // Forgets every entry and closes the journal (the file stays as it is).
  void Close() EXCLUDES(m_Lock);

  // The events (CTranJournal says what each promises).
  [[nodiscard]] bool Sent(CElavonTran& tran, const std::string& reversal) override EXCLUDES(m_Lock);
  void NotSent(const CElavonTran& tran) override EXCLUDES(m_Lock);
  void Answered(const CElavonTran& tran) override EXCLUDES(m_Lock);
  void Confirmed(const CElavonTran& tran) override EXCLUDES(m_Lock);
  void Delivered(const CElavonTran& tran) override EXCLUDES(m_Lock);
  void Undeliverable(const CElavonTran& tran, bool reversal_queued) override EXCLUDES(m_Lock);
  void ReversalAnswered(const CElavonTran& tran) override EXCLUDES(m_Lock);
  void ReversalFailed(const CElavonTran& tran) override EXCLUDES(m_Lock);
  void ExchangeEnded(const CElavonTran& tran) override EXCLUDES(m_Lock);

  // The owed entries that are due, oldest first; each is reversing from now on (the
  // caller queues its reversal record, which carries the entry's key).
  std::vector<CJournalEntry> TakeDue() EXCLUDES(m_Lock);
  // The change count now: entries changed after it are left alone by OweUnheld.
  uint64_t ChangeCount() const EXCLUDES(m_Lock);
  // Every entry that is not owed, has no exchange under way, last changed before
  // `before` (a ChangeCount taken before held was gathered) and whose key no record
  // in held carries, becomes owed and due now: its record left the queue without a
  // final outcome. Returns how many.
  size_t OweUnheld(const std::set<uint64_t>& held, uint64_t before) EXCLUDES(m_Lock);
  // Writes the file again when an earlier write failed. True when the file holds
  // what the journal holds.
  bool Flush() EXCLUDES(m_Lock);

  // *entry := a copy of the entry; false when the key is not in the journal.
  bool Find(uint64_t key, CJournalEntry* entry) const EXCLUDES(m_Lock);
  size_t Count() const EXCLUDES(m_Lock);
  // Why the last write of the file failed; "" after a good one.
  std::string LastWriteError() const EXCLUDES(m_Lock);

  // An entry as given (a new one when *key is 0 or not in the journal, *key set to
  // its name), under way. For tests that start from a journal holding entries.
  [[nodiscard]] bool Record(const CJournalEntry& entry, uint64_t* key) EXCLUDES(m_Lock);

  // The pause before the next try after `tries` failed ones: first_ms doubled for
  // every try after the first, at most max_ms. For tests; the program keeps 2 s and
  // 5 minutes.
  void SetRetryPauses(uint32_t first_ms, uint32_t max_ms) EXCLUDES(m_Lock);
  uint32_t PauseAfter(int tries) const EXCLUDES(m_Lock);

  // The file's text of a set of entries under key, and its reading back. Lines that
  // cannot be read are counted in *bad and the first few described in *problems.
  static std::string Encode(const std::vector<CJournalEntry>& entries, const std::string& key);
  static std::vector<CJournalEntry> Decode(const std::string& text, const std::string& key,
                                           std::vector<std::string>* problems, size_t* bad = nullptr);
  // What the clear fields of a line say of its entry ("" when they say nothing), for
  // the messages about entries that cannot be read.
  static std::string DescribeLine(const std::string& line);

 private:
  // Lines to log once the lock is released.
  using Lines = std::vector<std::string>;
  bool WriteLocked(Lines* log) REQUIRES(m_Lock);
  CJournalEntry* FindLocked(uint64_t key) REQUIRES(m_Lock);
  void EraseLocked(uint64_t key, Lines* log) REQUIRES(m_Lock);
  // The entry becomes owed: due now, or after the pause of one more failed try.
  void OweLocked(CJournalEntry& e, bool failed_try, const char* why, Lines* log) REQUIRES(m_Lock);
  void TouchLocked(CJournalEntry& e) REQUIRES(m_Lock) { e.m_Changed = ++m_ChangeCount; }
  uint32_t PauseAfterLocked(int tries) const REQUIRES(m_Lock);
  void Log(const Lines& lines);

  CLogger* m_Logger;
  mutable platform::Mutex m_Lock;
  bool m_Open GUARDED_BY(m_Lock) = false;
  bool m_Writable GUARDED_BY(m_Lock) = false;  // the last write succeeded
  std::string m_Path GUARDED_BY(m_Lock);
  std::string m_Key GUARDED_BY(m_Lock);      // 32 bytes
  std::string m_WriteError GUARDED_BY(m_Lock);
  std::vector<CJournalEntry> m_Entries GUARDED_BY(m_Lock);  // oldest first
  uint64_t m_ChangeCount GUARDED_BY(m_Lock) = 0;
  uint32_t m_FirstPauseMs GUARDED_BY(m_Lock) = 2000;
  uint32_t m_MaxPauseMs GUARDED_BY(m_Lock) = 300000;
};

// The process's journal, opened at start-up before the first request is taken.
extern CReversalJournal g_ReversalJournal;
