// The process-wide logger: any thread hands it printf-style lines, stamped with the
// local time of day on the caller's thread; one writer thread appends them, in the
// order they were accepted, to the day's file "<folder>\KVRmmddyyyy.log" (or
// "<folder>\KVRmmddyyyy_ALT.log" when that one cannot be opened). Each record is
// "[%H:%M:%S]" + text + "\n" + "----------\n", stored with CR LF line ends. Before a
// line is written the writer drops it when it holds "TStream=Quillon" and otherwise
// applies MaskEncryptedLogText and StripAdministrativeTranType, cuts it at
// kLogLineLimit bytes and writes its control bytes but TAB, CR and LF escaped
// (log_text.h). Callers pass text from outside through EscapeLineBreaks (and
// requests and replies through CutForLog) so that it cannot start a line of its own.
// A log file is created readable and writable by its owner only (0600).
//
// Callers never wait for the disk and never see a logging failure.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/sync/event.h"
#include "platform/sync/mutex.h"
#include "platform/sync/tick.h"
#include "platform/thread/worker_thread.h"

// The queue of lines waiting for the writer. Thread-safe: every operation takes the
// queue's own mutex and nothing else, so a caller may add lines while holding any
// lock of its own.
class CLogQueue {
 public:
  CLogQueue() = default;
  CLogQueue(const CLogQueue&) = delete;
  CLogQueue& operator=(const CLogQueue&) = delete;
  virtual ~CLogQueue() = default;

  // Appends a copy of text to the pending lines. Returns false, adding nothing, once
  // the queue has been closed.
  virtual bool AddLine(const std::string& text) EXCLUDES(m_Lock);
  // Appends every pending line to *writing, in the order they were added, and
  // empties the pending lines.
  void TakePending(std::vector<std::string>* writing) EXCLUDES(m_Lock);
  // Refuses every later AddLine; lines already pending stay to be taken.
  void Close() EXCLUDES(m_Lock);
  // How many lines AddLine has accepted so far.
  uint64_t AddedCount() const EXCLUDES(m_Lock);

 private:
  mutable platform::Mutex m_Lock;
  std::vector<std::string> m_Pending GUARDED_BY(m_Lock);
  uint64_t m_Added GUARDED_BY(m_Lock) = 0;
  bool m_Closed GUARDED_BY(m_Lock) = false;
};

// The logger and its writer thread. LogLine and LogText take only the queue's lock.
// Shutdown (or the destructor) stops and joins the writer after it has written every
// line accepted before; lines offered later are refused. No thread outlives the
// object. Flush takes a lock of the logger's own that the writer takes once per batch.
class CLogger : public CLogQueue {
 public:
  // Writes into folder; the clock (nullptr: platform::CurrentClock() at every use)
  // gives the stamps and the file's date. Starts the writer; when it cannot be
  // started, logging stays off for the object's life.
  CLogger(std::string folder, platform::Clock* clock);
  ~CLogger() override;

  // Formats the line printf-style, stamps it and queues it for the writer. Returns
  // false (logging nothing) after Shutdown. A ready-made text is passed as the
  // argument of "%s", never as the format.
  bool LogLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Logs a ready-made text unchanged: LogLine("%s", text).
  bool LogText(const std::string& text);
  // Logs the line as LogLine does, and also writes it to stderr when the log cannot
  // be written (its folder is missing or not writable, the last batch found no file
  // it could open, or the logger has stopped), so that the cause of a failure is
  // seen either way; stderr gets the line with its control bytes but TAB, CR and LF
  // escaped, as the writer writes them. For the rare lines that name why something
  // failed.
  bool LogCause(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Refuses further lines, lets the writer write what is pending in a last pass and
  // joins it. Later calls return at once; concurrent calls wait for the first.
  void Shutdown();

  // Waits up to ms until every line accepted before the call has been through the
  // writer (written, or dropped by the filter or a file that could not be opened).
  // True when that happened in time.
  bool Flush(uint32_t ms) EXCLUDES(m_DoneLock);

 private:
  uint32_t LogWriterThread();
  void WriteBatch();
  time_t Now() const;

  const std::string m_Folder;
  const std::string m_Prefix = "KVR";
  platform::Clock* const m_Clock;

  platform::Event m_LinesWaiting{platform::Event::Mode::kAutoReset};
  platform::Event m_Stop{platform::Event::Mode::kManualReset};
  std::once_flag m_ShutdownOnce;

  // The last batch found no file it could open (reported once on stderr per run of
  // such batches); written by the writer thread, read by LogCause.
  std::atomic<bool> m_FileFailed{false};

  // The batch being written; touched by the writer thread only.
  std::vector<std::string> m_Writing;

  platform::Mutex m_DoneLock;
  platform::CondVar m_DoneChanged;
  uint64_t m_LinesDone GUARDED_BY(m_DoneLock) = 0;

  // Last member: started by the constructor once everything above exists.
  platform::WorkerThread m_Writer;
};

// The process-wide logger writing into "QUILLON_LOGS" under the working folder with
// the process's current clock, created (and its writer started) on the first call.
// Its memory is never freed, so a line logged at any moment of the process, even from
// a destructor of another static object, is safe: after shutdown it is refused.
CLogger& GetLogger();

// Shuts the process-wide logger down (see CLogger::Shutdown), when it was created.
// The application calls it after its last line; should it not, the logger is shut
// down during static destruction all the same.
void ShutdownLogger();
