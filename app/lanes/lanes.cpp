#include "app/lanes/lanes.h"

#include <utility>

#include "core/log/logger.h"
#include "core/vocab/control_chars.h"
#include "platform/fs/files.h"
#include "platform/text/format.h"

namespace {

constexpr char kFieldSeparator = kFS;  // between a lane's id and its description

// The platform's error codes for a file that is not there or may not be opened: the
// lanes file then simply holds no lanes.
bool IsUnopenable(uint32_t code) { return code == 2 || code == 3 || code == 5; }

std::string OneLine(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

}  // namespace

CLaneRegistry g_LaneRegistry;

bool CLaneRegistry::Register(const std::string& laneId) {
  platform::MutexLock lock(m_Lock);
  if (laneId.empty()) return true;
  for (const std::string& id : m_LaneIds) {
    if (id == laneId) return true;
  }
  if (static_cast<long long>(m_LaneIds.size()) < m_MaxLanes) {
    m_LaneIds.push_back(laneId);
    return true;
  }
  return false;
}

bool CLaneRegistry::SetMaximum(int count) {
  platform::MutexLock lock(m_Lock);
  m_MaxLanes = count;
  return true;
}

int FileCauseFromError(uint32_t code) {
  switch (code) {
    case 0: return kFileCauseNone;
    case 2: return kFileCauseNotFound;
    case 3: return kFileCauseBadPath;
    case 4: return kFileCauseTooManyOpenFiles;
    case 5: return kFileCauseAccessDenied;
    case 6: return kFileCauseInvalidFile;
    case 31: return kFileCauseHardIO;
    case 32: return kFileCauseSharingViolation;
    case 112: return kFileCauseDiskFull;
    default: return kFileCauseGeneric;
  }
}

CLanesFile::CLanesFile(std::string path, CLogger* logger) : m_Path(std::move(path)), m_Logger(logger) {}

CLogger& CLanesFile::Logger() const { return m_Logger ? *m_Logger : GetLogger(); }

std::string CLanesFile::Encode(const TextMap& lanes) {
  std::string text;
  for (const auto& [id, description] : lanes) {
    text += OneLine(id);
    text += kFieldSeparator;
    text += OneLine(description);
    text += '\n';
  }
  return platform::fs::ToTextMode(text);
}

void CLanesFile::Decode(const std::string& bytes, TextMap& lanes) {
  lanes.clear();
  std::string text = platform::fs::FromTextMode(bytes);
  // A file cut inside its last line end leaves a CR that belongs to no description.
  if (!text.empty() && text.back() == '\r') text.pop_back();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.empty()) break;
    const size_t fs = line.find(kFieldSeparator);
    if (fs != std::string::npos) lanes[line.substr(0, fs)] = line.substr(fs + 1);
    start = end + 1;
  }
}

bool CLanesFile::Read(TextMap& lanes) const {
  lanes.clear();
  std::string bytes;
  if (!platform::fs::ReadFile(m_Path, &bytes)) {
    const uint32_t code = platform::GetLastError();
    if (IsUnopenable(code)) return true;
    Logger().LogLine("Exception Reading Lanes File %d", FileCauseFromError(code));
    return false;
  }
  Decode(bytes, lanes);
  return true;
}

bool CLanesFile::Write(const TextMap& lanes) const {
  if (platform::fs::ReplaceFile(m_Path, Encode(lanes))) return true;
  Logger().LogLine("Exception Writing Lanes File %d", FileCauseFromError(platform::GetLastError()));
  return false;
}
