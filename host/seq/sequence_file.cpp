#include "host/seq/sequence_file.h"

#include <cerrno>
#include <climits>
#include <filesystem>

#include "core/log/logger.h"
#include "core/vocab/text_helpers.h"
#include "platform/fs/files.h"
#include "platform/text/format.h"

namespace {

constexpr int kHighest = 9949;
constexpr int kWrap = 9950;

std::string Line(int value) { return platform::fs::ToTextMode(platform::Format("%d\r\n", value)); }

std::string OutOfRange(int value) {
  return platform::Format("Sequence Read From Synchronized Sequence File [%d] is out of range  (set to 0)...", value);
}

// Says in the log which file could not be written and why (the caller logs the
// message of the operation itself).
void LogWriteFailure(const std::string& path, int err) {
  std::error_code ignored;
  const std::string where = std::filesystem::absolute(platform::fs::NativePath(path), ignored).string();
  GetLogger().LogCause("The sequence file %s cannot be written: %s", where.c_str(), platform::ErrnoText(err).c_str());
}

}  // namespace

CSequenceFile g_SequenceFile;

CSequenceFile::CSequenceFile(std::string path) : m_Path(std::move(path)) {}

bool CSequenceFile::EnsureExists(std::string* messages) {
  if (platform::fs::FileExists(m_Path)) return true;
  if (platform::fs::ReplacePrivateFile(m_Path, Line(0))) return true;
  LogWriteFailure(m_Path, errno);
  *messages += "Synchronized Sequence File Does Not Exist and Creation Failed...";
  return false;
}

bool CSequenceFile::Store(int value, std::string* messages) {
  if (platform::fs::ReplacePrivateFile(m_Path, Line(value))) return true;
  LogWriteFailure(m_Path, errno);
  *messages += "Synchronized Sequence File could not be opened for writing...";
  return false;
}

int CSequenceFile::Read(std::string* messages) {
  platform::MutexLock lock(m_Lock);
  messages->clear();
  if (!EnsureExists(messages)) return 0;
  std::string contents;
  if (!platform::fs::ReadFile(m_Path, &contents)) {
    *messages += "Synchronized Sequence File Exists but could not be opened for reading...";
    return 0;
  }
  if (contents.empty()) {
    *messages += "Could Not Read From Synchronized Sequence File...";
    return 0;
  }
  int value = AtoiClamped(contents.substr(0, contents.find('\n')));
  if (value < 0 || value > kHighest) {
    *messages += OutOfRange(value);
    value = 0;
  }
  Store(value, messages);
  return value;
}

void CSequenceFile::Write(const std::string& number, std::string* messages) {
  platform::MutexLock lock(m_Lock);
  messages->clear();
  int value = AtoiClamped(number);
  if (value == kWrap) value = 0;
  if (value < 0 || value > kHighest) {
    *messages += OutOfRange(value);
    return;
  }
  if (!EnsureExists(messages)) return;
  Store(value, messages);
}
