// CReversalJournal: the reversals the server may owe the host, kept in a small file
// in the working folder so that they survive a stop, a crash or a power loss.
//
// An entry is written before an exchange that may need reversing goes to the host,
// and holds the reversal message that would cancel it. It is removed when the
// outcome is final: the approval was delivered to its POS, the answer was a decline,
// or the host answered the reversal. An entry whose reversal is owed waits for its
// next try, with a pause that grows with every try that fails (2 s, doubling, at
// most 5 minutes); the ReverseWorker takes the entries that are due. Every entry
// read when the journal is opened belongs to an earlier run and is owed at once:
// its exchange went out and its outcome was never recorded.
//
// The file ("ReversalJournal.dat" beside the sequence file) is replaced whole on
// every change (temporary file, fsync, rename) and is readable by its owner only
// (mode 0600). It holds a header line and one line per entry. The reversal message,
// which carries the card data, is encrypted with AES-256-GCM under a random 32-byte
// key kept in "ReversalJournal.key" (mode 0600) beside the key containers; the
// other fields of the line are authenticated with it. No card number is written in
// clear: the line holds only the last four digits, for the log. A line that cannot
// be read or fails its check is left out with a message, and the file as it was
// read is kept as "ReversalJournal.dat.bad" before the first rewrite.
//
// Until Open succeeds the journal is closed: every operation does nothing and
// answers false, 0 or nothing.
//
// Thread-safe: every operation takes the journal's own mutex for its whole length,
// the file write included, and takes no other lock. It never logs; Open hands its
// messages back and the write failure text is kept for LastWriteError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/tran/elavon_tran.h"
#include "platform/sync/mutex.h"

inline constexpr char kReversalJournalFile[] = "ReversalJournal.dat";
inline constexpr char kReversalJournalKeyFile[] = "ReversalJournal.key";

struct CJournalEntry {
  uint64_t m_Key = 0;          // the journal's own name for the entry; never 0
  bool m_Owed = false;         // false: its exchange (or a try of its reversal) is under way
  int m_Tries = 0;             // reversal tries that failed so far
  int64_t m_Created = 0;       // seconds since the epoch
  int m_TranCode = 0;          // internal code of the transaction it reverses
  std::string m_Amount;        // cents digits of the reversed amount
  std::string m_AcctLast4;     // the last four digits of the account, for the log
  std::string m_ClientAddress; // the client the transaction came from
  std::string m_Reversal;      // the reversal message (in clear in memory only)
  uint32_t m_DueTick = 0;      // when an owed entry is next tried (memory only)
};

class CReversalJournal {
 public:
  CReversalJournal() = default;
  CReversalJournal(const CReversalJournal&) = delete;
  CReversalJournal& operator=(const CReversalJournal&) = delete;

  // The default places: the working folder's journal file, and the key file in the
  // folder of the key containers ("" when that folder cannot be found).
  static std::string DefaultPath();
  static std::string DefaultKeyPath();

  // Reads the key (making one when the file is missing) and the journal file; every
  // entry read is owed and due at once. True when the journal is open: the key is
  // usable and the journal file can be written. *messages (emptied first) receives
  // one line per fact worth logging: entries read, lines left out, the bad copy,
  // a key or file that cannot be used. Opening an open journal reads it again.
  [[nodiscard]] bool Open(const std::string& path, const std::string& key_path,
                          std::vector<std::string>* messages) EXCLUDES(m_Lock);
  bool IsOpen() const EXCLUDES(m_Lock);
  // Forgets every entry and closes the journal (the file stays as it is).
  void Close() EXCLUDES(m_Lock);

  // An exchange is about to be sent: the entry *key (a new one when *key is 0 or not
  // in the journal, with *key set to its name) holds entry's fields and is under
  // way. Its tries and creation time are kept when it exists. False when the journal
  // is closed (*key unchanged) or the file could not be written (the entry is kept
  // in memory all the same).
  [[nodiscard]] bool Record(const CJournalEntry& entry, uint64_t* key) EXCLUDES(m_Lock);
  // Record for a transaction record: the entry tran.m_JournalKey (made when there is
  // none, and its name written into tran) holds reversal, with tran's code, amount,
  // last four account digits and client; fields tran leaves empty keep what the
  // entry held. An empty reversal changes nothing and answers true.
  [[nodiscard]] bool RecordReversal(CElavonTran& tran, const std::string& reversal) EXCLUDES(m_Lock);
  // The try of the entry failed, or its exchange ended without a final outcome: it is
  // owed, its tries count one more and it is next due after the pause that count
  // gives (*pause_ms, when given). An entry that is already owed is left as it is.
  // False when the key is not in the journal.
  bool MarkOwed(uint64_t key, uint32_t* pause_ms = nullptr) EXCLUDES(m_Lock);
  // The outcome is final: the entry goes. False when the key is not in the journal.
  bool Clear(uint64_t key) EXCLUDES(m_Lock);
  // The owed entries that are due, oldest first; each is under way from now on.
  std::vector<CJournalEntry> TakeDue() EXCLUDES(m_Lock);
  // *entry := a copy of the entry; false when the key is not in the journal.
  bool Find(uint64_t key, CJournalEntry* entry) const EXCLUDES(m_Lock);
  size_t Count() const EXCLUDES(m_Lock);
  // Why the last write of the file failed; "" after a good one.
  std::string LastWriteError() const EXCLUDES(m_Lock);

  // The pause before the next try after `tries` failed ones: first_ms doubled for
  // every try after the first, at most max_ms. For tests; the program keeps 2 s and
  // 5 minutes.
  void SetRetryPauses(uint32_t first_ms, uint32_t max_ms) EXCLUDES(m_Lock);
  uint32_t PauseAfter(int tries) const EXCLUDES(m_Lock);

  // The file's text of a set of entries under key, and its reading back (bad lines
  // counted and described in *problems). Exposed for tests.
  static std::string Encode(const std::vector<CJournalEntry>& entries, const std::string& key);
  static std::vector<CJournalEntry> Decode(const std::string& text, const std::string& key,
                                           std::vector<std::string>* problems);

 private:
  bool WriteLocked() REQUIRES(m_Lock);
  CJournalEntry* FindLocked(uint64_t key) REQUIRES(m_Lock);
  uint32_t PauseAfterLocked(int tries) const REQUIRES(m_Lock);

  mutable platform::Mutex m_Lock;
  bool m_Open GUARDED_BY(m_Lock) = false;
  std::string m_Path GUARDED_BY(m_Lock);
  std::string m_Key GUARDED_BY(m_Lock);      // 32 bytes
  std::string m_BadCopy GUARDED_BY(m_Lock);  // the file as read, to keep before the first rewrite
  std::string m_WriteError GUARDED_BY(m_Lock);
  std::vector<CJournalEntry> m_Entries GUARDED_BY(m_Lock);  // oldest first
  uint32_t m_FirstPauseMs GUARDED_BY(m_Lock) = 2000;
  uint32_t m_MaxPauseMs GUARDED_BY(m_Lock) = 300000;
};

// The process's journal, opened at start-up before the first request is taken.
extern CReversalJournal g_ReversalJournal;
