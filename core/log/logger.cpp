#include "core/log/logger.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "core/log/log_text.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

constexpr const char* kLogFolder = "QUILLON_LOGS";
constexpr const char* kDroppedMarker = "TStream=Quillon";
constexpr const char* kSeparator = "----------\n";
constexpr unsigned kLogFileMode = 0600;
// How long Shutdown waits for the writer before it waits without limit: a writer is
// never abandoned, since it uses the logger's members until it returns.
constexpr uint32_t kWriterStopWaitMs = 10000;

}  // namespace

bool CLogQueue::AddLine(const std::string& text) {
  platform::MutexLock lock(m_Lock);
  if (m_Closed) return false;
  m_Pending.push_back(text);
  ++m_Added;
  return true;
}

void CLogQueue::TakePending(std::vector<std::string>* writing) {
  platform::MutexLock lock(m_Lock);
  for (std::string& line : m_Pending) writing->push_back(std::move(line));
  m_Pending.clear();
}

void CLogQueue::Close() {
  platform::MutexLock lock(m_Lock);
  m_Closed = true;
}

uint64_t CLogQueue::AddedCount() const {
  platform::MutexLock lock(m_Lock);
  return m_Added;
}

CLogger::CLogger(std::string folder, platform::Clock* clock) : m_Folder(std::move(folder)), m_Clock(clock) {
  if (!m_Writer.Start([this] { return LogWriterThread(); })) {
    Close();
    m_Stop.Set();
  }
}

CLogger::~CLogger() { Shutdown(); }

time_t CLogger::Now() const { return (m_Clock ? *m_Clock : platform::CurrentClock()).Now(); }

bool CLogger::LogLine(const char* format, ...) {
  if (m_Stop.IsSet()) return false;
  const struct tm local = platform::LocalTime(Now());
  char stamp[32];
  if (strftime(stamp, sizeof stamp, "[%H:%M:%S]", &local) == 0) stamp[0] = '\0';

  va_list args;
  va_start(args, format);
  std::string line = stamp + platform::FormatV(format, args);
  va_end(args);

  if (!AddLine(line)) return false;  // shut down meanwhile
  m_LinesWaiting.Set();
  return true;
}

bool CLogger::LogText(const std::string& text) { return LogLine("%s", text.c_str()); }

bool CLogger::LogCause(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = platform::FormatV(format, args);
  va_end(args);
  const bool logged = LogLine("%s", text.c_str());
  if (!logged || m_FileFailed.load() || !platform::fs::CanWrite(m_Folder)) {
    // Shown as the writer would write it: no control byte of a text from outside
    // reaches the terminal.
    std::string shown = text;
    EscapeControlBytes(shown);
    std::fprintf(stderr, "%s\n", shown.c_str());
    std::fflush(stderr);
  }
  return logged;
}

void CLogger::Shutdown() {
  std::call_once(m_ShutdownOnce, [this] {
    // Closing first means every line accepted so far is pending when the writer sees
    // stop, so its last pass writes all of them.
    Close();
    m_Stop.Set();
    if (!m_Writer.Join(kWriterStopWaitMs)) m_Writer.Join(platform::kInfinite);
  });
}

bool CLogger::Flush(uint32_t ms) {
  const uint64_t target = AddedCount();
  const uint32_t start = platform::TickCount();
  platform::MutexLock lock(m_DoneLock);
  while (m_LinesDone < target) {
    const uint32_t waited = platform::TickDiff(platform::TickCount(), start);
    if (waited >= ms || !m_DoneChanged.WaitFor(m_DoneLock, ms - waited)) break;
  }
  return m_LinesDone >= target;
}

uint32_t CLogger::LogWriterThread() {
  for (;;) {
    const int woken = platform::Event::WaitAny({&m_LinesWaiting, &m_Stop}, platform::kInfinite);
    const bool last_pass = woken == 1;
    TakePending(&m_Writing);
    const uint64_t taken = m_Writing.size();
    if (taken > 0) WriteBatch();
    m_Writing.clear();
    if (taken > 0) {
      platform::MutexLock lock(m_DoneLock);
      m_LinesDone += taken;
      m_DoneChanged.NotifyAll();
    }
    if (last_pass) return 0;
  }
}

void CLogger::WriteBatch() {
  // The file is chosen by the date at which the batch is written, not by the stamps.
  const struct tm local = platform::LocalTime(Now());
  const int month = local.tm_mon + 1;
  const int day = local.tm_mday;
  const int year = local.tm_year + 1900;
  const std::string name =
      platform::Format("%s%s%s%02d%02d%04d.log", m_Folder.c_str(), "\\", m_Prefix.c_str(), month, day, year);
  const std::string alt_name =
      platform::Format("%s%s%s%02d%02d%04d_ALT.log", m_Folder.c_str(), "\\", m_Prefix.c_str(), month, day, year);

  // The log holds what clients and hosts sent: readable by its owner only.
  platform::fs::AppendFile file;
  if (!file.Open(name, kLogFileMode) && !file.Open(alt_name, kLogFileMode)) {
    // The batch is dropped; the first such batch says why on stderr.
    const int err = errno;
    if (!m_FileFailed.exchange(true)) {
      std::error_code ignored;
      const std::filesystem::path folder = std::filesystem::absolute(platform::fs::NativePath(m_Folder), ignored);
      std::string reason = platform::ErrnoText(err);
      // A missing folder: why it could not be made is the useful part.
      if (err == ENOENT && !platform::fs::CanWrite(folder.parent_path().string())) {
        reason = "it is missing, and its parent folder cannot be written: " + platform::ErrnoText(errno);
      }
      std::fprintf(stderr, "The log folder %s cannot be written: %s\n", folder.c_str(), reason.c_str());
      std::fflush(stderr);
    }
    return;
  }
  m_FileFailed.store(false);

  for (std::string& line : m_Writing) {
    if (line.find(kDroppedMarker) != std::string::npos) continue;
    MaskEncryptedLogText(line);
    StripAdministrativeTranType(line);
    if (line.size() > kLogLineLimit) line = CutForLog(line, kLogLineLimit);
    EscapeControlBytes(line);
    line += '\n';
    line += kSeparator;
    if (!file.Write(platform::fs::ToTextMode(line))) break;  // the rest of the batch is lost
  }
  file.Close();
}

namespace {

std::atomic<CLogger*> g_ProcessLogger{nullptr};

// Shuts the process-wide logger down during static destruction.
struct CShutdownAtExit {
  ~CShutdownAtExit() { ShutdownLogger(); }
};

}  // namespace

CLogger& GetLogger() {
  // A plain pointer, never freed: reading it stays valid even from the destructor of
  // another static object, after the logger has been shut down.
  static CLogger* const logger = [] {
    platform::SystemClock();  // constructed first, so destroyed after the writer is joined
    auto* created = new CLogger(kLogFolder, nullptr);
    g_ProcessLogger.store(created, std::memory_order_release);
    static CShutdownAtExit shutdown_at_exit;
    return created;
  }();
  return *logger;
}

void ShutdownLogger() {
  if (CLogger* logger = g_ProcessLogger.load(std::memory_order_acquire)) logger->Shutdown();
}
