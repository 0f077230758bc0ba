// CRecordingLogger: a logger for tests. It keeps every line it is offered in memory,
// without the "[HH:MM:SS]" stamp that CLogger puts in front, and writes no file: pass
// it wherever a CLogger is expected and read back what was logged.
//
// Thread-safe: the lines are guarded by a mutex of their own, taken by AddLine,
// Lines and Clear and by nothing else, so any thread may log to it while holding any
// lock of its own. Its writer thread (that of CLogger) never sees a line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/log/logger.h"
#include "platform/sync/mutex.h"

class CRecordingLogger : public CLogger {
 public:
  CRecordingLogger() : CLogger("unused-log-folder", nullptr) {}
  ~CRecordingLogger() override { Shutdown(); }

  // Keeps text without its stamp; always accepted.
  bool AddLine(const std::string& text) EXCLUDES(m_LinesLock) override {
    platform::MutexLock lock(m_LinesLock);
    m_Lines.push_back(text.size() >= kStampLength ? text.substr(kStampLength) : text);
    return true;
  }
  // A copy of the lines kept so far, oldest first.
  std::vector<std::string> Lines() const EXCLUDES(m_LinesLock) {
    platform::MutexLock lock(m_LinesLock);
    return m_Lines;
  }
  // Forgets the lines kept so far.
  void Clear() EXCLUDES(m_LinesLock) {
    platform::MutexLock lock(m_LinesLock);
    m_Lines.clear();
  }

 private:
  static constexpr size_t kStampLength = 10;  // "[HH:MM:SS]"
  mutable platform::Mutex m_LinesLock;
  std::vector<std::string> m_Lines GUARDED_BY(m_LinesLock);
};
