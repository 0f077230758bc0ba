#include "util/qx_path.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/sync/mutex.h"
#include "util/qx_text.h"

namespace qx {

namespace {

constexpr char kSeparator = '/';
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kFileTimeEpochOffset = 11644473600LL;
constexpr int64_t kFileTimeUnitsPerSecond = 10000000LL;

// What the queries need of one entry.
struct EntryInfo {
  bool isFolder = false;
  unsigned mode = 0;
  uint64_t size = 0;
  bool hasBirth = false;
  timespec birth{};
  timespec access{};
  timespec write{};
};

bool StatPath(const std::string& path, EntryInfo* info) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
  info->isFolder = S_ISDIR(sx.stx_mode);
  info->mode = sx.stx_mode;
  info->size = sx.stx_size;
  info->hasBirth = (sx.stx_mask & STATX_BTIME) != 0;
  info->birth = timespec{static_cast<time_t>(sx.stx_btime.tv_sec), sx.stx_btime.tv_nsec};
  info->access = timespec{static_cast<time_t>(sx.stx_atime.tv_sec), sx.stx_atime.tv_nsec};
  info->write = timespec{static_cast<time_t>(sx.stx_mtime.tv_sec), sx.stx_mtime.tv_nsec};
  return true;
}

// The entry the path names, or for a path with wildcards that names nothing
// itself, its first match in sorted order.
bool FindEntry(const qxString& path, EntryInfo* info) {
  if (path.IsEmpty()) return false;
  if (StatPath(path.str(), info)) return true;
  if (!HasWildcards(path)) return false;
  glob_t matches{};
  bool found = false;
  if (glob(path.c_str(), 0, nullptr, &matches) == 0 && matches.gl_pathc > 0) {
    found = StatPath(matches.gl_pathv[0], info);
  }
  globfree(&matches);
  return found;
}

uint64_t FileTimeOf(const timespec& t) {
  const int64_t seconds = static_cast<int64_t>(t.tv_sec) + kFileTimeEpochOffset;
  if (seconds < 0) return 0;
  return static_cast<uint64_t>(seconds) * kFileTimeUnitsPerSecond +
         static_cast<uint64_t>(t.tv_nsec / 100);
}

// The broken-down UTC time of a FILETIME.
bool UtcOfFileTime(uint64_t fileTime, std::tm* tm) {
  const time_t seconds =
      static_cast<time_t>(static_cast<int64_t>(fileTime / kFileTimeUnitsPerSecond) -
                          kFileTimeEpochOffset);
  return gmtime_r(&seconds, tm) != nullptr;
}

bool FileDate(const qxString& path, int selector, qxDate* out) {
  if (path.IsEmpty() || out == nullptr) return false;
  EntryInfo info;
  if (!FindEntry(path, &info) || info.isFolder) return false;
  const uint64_t fileTime = GetFileTimeStamp(path, selector);
  std::tm tm{};
  if (fileTime == 0 || !UtcOfFileTime(fileTime, &tm)) return false;
  try {
    *out = qxDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec > 59 ? 59 : tm.tm_sec, 0);
  } catch (const qxException&) {
    return false;
  }
  return true;
}

// A drive letter given alone ('C'): no such thing on Linux.
bool IsDriveLetterOnly(const qxString& path) { return path.GetLength() == 1; }

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  passwd entry{};
  passwd* result = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr && result->pw_dir[0] == '/') {
    return result->pw_dir;
  }
  return std::string();
}

// An XDG base folder: the variable when it holds an absolute path, else the
// default below the home folder.
std::string XdgBase(const char* variable, const char* belowHome) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return value;
  const std::string home = HomeFolder();
  if (home.empty()) return std::string();
  return home + "/" + belowHome;
}

// The value of NAME="..." in user-dirs.dirs, "$HOME" expanded; empty when the
// file or the line is missing, or the folder is set to the home folder itself
// (the way that file turns a folder off).
std::string UserDirsEntry(const std::string& variable) {
  const std::string config = XdgBase("XDG_CONFIG_HOME", ".config");
  if (config.empty()) return std::string();
  FILE* file = std::fopen((config + "/user-dirs.dirs").c_str(), "re");
  if (file == nullptr) return std::string();
  std::string value;
  char line[4096];
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    qxString text(line);
    text.Trim();
    if (!text.StartsWith(qxString(variable + "="))) continue;
    qxString v = text.Mid(variable.size() + 1);
    v.Trim(qxString("\""), true);
    value = v.str();
  }
  std::fclose(file);
  const std::string home = HomeFolder();
  if (value.rfind("$HOME", 0) == 0) {
    if (home.empty()) return std::string();
    value = home + value.substr(5);
  }
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  if (value.empty() || value[0] != '/' || value == home) return std::string();
  return value;
}

// An XDG user folder (DESKTOP, DOCUMENTS, PUBLICSHARE, ...): XDG_<name>_DIR from
// the environment, then from user-dirs.dirs; empty when neither sets it.
std::string UserFolder(const char* name) {
  const std::string variable = std::string("XDG_") + name + "_DIR";
  const char* value = std::getenv(variable.c_str());
  if (value != nullptr && value[0] == '/') return value;
  return UserDirsEntry(variable);
}

std::string BelowHome(const char* name) {
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + "/" + name;
}

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == kSeparator) path.pop_back();
  return path;
}

bool IsNetworkFileSystem(long type) {
  switch (static_cast<unsigned long>(type) & 0xFFFFFFFFUL) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x5346414F:  // AFS
    case 0x73757245:  // Coda
    case 0x564C:      // NCP
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
      return true;
    default:
      return false;
  }
}

// What GetCommandShell found.
struct ShellCache {
  platform::Mutex lock;
  qxString path GUARDED_BY(lock);
  qxString name GUARDED_BY(lock);
  bool found GUARDED_BY(lock) = false;
};

ShellCache& Shell() {
  static ShellCache cache;
  return cache;
}

}  // namespace

// ---- Taking paths apart -----------------------------------------------------

size_t SplitPath(const qxString& path, std::vector<qxString>& parts, bool keepSeparator) {
  parts.clear();
  if (path.IsEmpty()) return 0;
  qxString current;
  for (char c : path.str()) {
    if (c != kSeparator) {
      current += c;
      continue;
    }
    if (keepSeparator) current += c;
    parts.push_back(current);
    current.Empty();
  }
  if (!current.IsEmpty()) parts.push_back(current);
  return parts.size();
}

qxString GetFileName(const qxString& path, bool keepExtension) {
  const size_t slash = path.str().rfind(kSeparator);
  qxString name = slash == std::string::npos ? path : path.Mid(slash + 1);
  if (!keepExtension) {
    const size_t dot = name.str().rfind('.');
    if (dot != std::string::npos) name = name.Left(dot);
  }
  return name;
}

qxString GetFileExtension(const qxString& path, bool lowerCase) {
  const size_t dot = path.str().rfind('.');
  if (dot == std::string::npos) return qxString();
  qxString extension = path.Mid(dot + 1);
  if (lowerCase) extension.MakeLower();
  return extension;
}

// GetFolderPart(path, mustExist, stripDrive, separator):
// 1. An empty path gives the empty text.
// 2. The text before the last '/' ("/" when that is the first character); no
//    '/' gives the empty text; "X:/..." without any '.' stays whole.
// 3. With mustExist the cut is made only for an existing file, and a result that
//    is not an existing folder becomes empty.
// 4. stripDrive drops a leading "X:"; separator 1 or 2 ends the result in '/'.
qxString GetFolderPart(const qxString& path, bool mustExist, bool stripDrive, int separator) {
  if (path.IsEmpty()) return qxString();
  qxString result = path;
  auto cut = [&]() {
    const size_t p = result.str().rfind(kSeparator);
    if (p == std::string::npos) {
      result.Empty();
    } else if (p == 0) {
      result = qxString("/");
    } else if (result.GetAt(p - 1) == ':' && result.str().find('.') == std::string::npos) {
      // A drive-like root stays as it is.
    } else {
      result = result.Left(p);
    }
  };
  if (mustExist) {
    if (IsFile(result)) cut();
    if (!result.IsEmpty() && !IsFolder(result)) result.Empty();
  } else {
    cut();
  }
  if (stripDrive && result.GetLength() > 2 && result.GetAt(1) == ':') result = result.Mid(2);
  if ((separator == 1 || separator == 2) && !result.IsEmpty() &&
      result.GetAt(result.GetLength() - 1) != kSeparator) {
    result += kSeparator;
  }
  return result;
}

qxString GetDriveLetter(const qxString& path, bool withRoot) {
  if (path.GetLength() < 3 || path.GetAt(1) != ':') return qxString();
  qxString drive(path.GetAt(0));
  if (withRoot) drive += ":/";
  return drive;
}

bool HasWildcards(const qxString& path) {
  return !path.IsEmpty() && path.FindOneOf(qxString("*?")) != qxString::npos;
}

// ---- Queries ----------------------------------------------------------------

bool IsFile(const qxString& path) {
  EntryInfo info;
  return FindEntry(path, &info) && !info.isFolder;
}

bool IsFolder(const qxString& path) {
  EntryInfo info;
  return FindEntry(path, &info) && info.isFolder;
}

bool IsReadOnlyFile(const qxString& path) {
  EntryInfo info;
  return FindEntry(path, &info) && !info.isFolder && (info.mode & 0222) == 0;
}

bool IsNetworkDrive(const qxString& path) {
  if (path.IsEmpty() || IsDriveLetterOnly(path)) return false;
  struct statfs fs {};
  if (statfs(path.c_str(), &fs) != 0) return false;
  return IsNetworkFileSystem(static_cast<long>(fs.f_type));
}

uint64_t GetFileLength(const qxString& path) {
  EntryInfo info;
  if (!FindEntry(path, &info) || info.isFolder) return 0;
  return info.size;
}

uint64_t GetFileTimeStamp(const qxString& path, int selector) {
  EntryInfo info;
  if (selector < 0 || selector > 2 || !FindEntry(path, &info) || info.isFolder) return 0;
  switch (selector) {
    case 0:
      return FileTimeOf(info.hasBirth ? info.birth : info.write);
    case 1:
      return FileTimeOf(info.access);
    default:
      return FileTimeOf(info.write);
  }
}

bool FileTimeToDosDateTime(uint64_t fileTime, uint16_t* date, uint16_t* time) {
  if (date == nullptr || time == nullptr) return false;
  std::tm tm{};
  if (!UtcOfFileTime(fileTime, &tm)) return false;
  const int year = tm.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  *date = static_cast<uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  const int second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  *time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (second / 2));
  return true;
}

bool GetFileDosDateTime(const qxString& path, int selector, uint16_t* date, uint16_t* time) {
  if (path.IsEmpty() || date == nullptr || time == nullptr) return false;
  const uint64_t fileTime = GetFileTimeStamp(path, selector);
  return fileTime != 0 && FileTimeToDosDateTime(fileTime, date, time);
}

bool GetFileWriteDate(const qxString& path, qxDate* out) { return FileDate(path, 2, out); }
bool GetFileCreationDate(const qxString& path, qxDate* out) { return FileDate(path, 0, out); }

uint64_t GetCurrentFileTime(bool utc) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (!utc) {
    std::tm tm{};
    if (localtime_r(&now.tv_sec, &tm) != nullptr) now.tv_sec += tm.tm_gmtoff;
  }
  return FileTimeOf(now);
}

bool GetCurrentDosDateTime(uint16_t* date, uint16_t* time, bool utc) {
  if (date == nullptr || time == nullptr) return false;
  return FileTimeToDosDateTime(GetCurrentFileTime(utc), date, time);
}

uint64_t GetDiskTotalBytes(const qxString& path) {
  if (path.IsEmpty() || IsDriveLetterOnly(path)) return 0;
  struct statvfs fs {};
  if (statvfs(path.c_str(), &fs) != 0) return 0;
  return static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
}

uint64_t GetDiskFreeBytes(const qxString& path) {
  if (path.IsEmpty() || IsDriveLetterOnly(path)) return 0;
  struct statvfs fs {};
  if (statvfs(path.c_str(), &fs) != 0) return 0;
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

// ---- Platform folders and values --------------------------------------------

qxString GetSpecialFolderPath(int index) {
  std::string path;
  switch (index) {
    case 0:
      path = XdgBase("XDG_CONFIG_HOME", ".config");
      break;
    case 1:
      path = "/var/lib";
      break;
    case 2:
      path = UserFolder("PUBLICSHARE");
      if (path.empty()) path = "/var/tmp";
      break;
    case 3:
      path = UserFolder("DESKTOP");
      if (path.empty()) path = BelowHome("Desktop");
      break;
    case 4:
      path = XdgBase("XDG_DATA_HOME", ".local/share");
      break;
    case 5:
      path = UserFolder("DOCUMENTS");
      if (path.empty()) path = BelowHome("Documents");
      break;
    default:
      // 6 to 9 (program files, common program files, the system folder, the
      // Windows folder) and unknown indexes.
      break;
  }
  return qxString(WithoutTrailingSeparators(path));
}

qxString GetTempFolder(bool withTrailingSeparator, bool /*shortForm*/) {
  std::string folder;
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && tmpdir[0] == '/' && IsFolder(qxString(tmpdir))) {
    folder = tmpdir;
  } else {
    folder = "/tmp";
  }
  folder = WithoutTrailingSeparators(folder);
  if (withTrailingSeparator && folder.back() != kSeparator) folder += kSeparator;
  if (folder.empty()) throw qxException("Unable to get \"Windows\" temporary folder.");
  return qxString(folder);
}

qxString CreateTempFileName(const qxString& prefix, const qxString& folder) {
  const qxString where = folder.IsEmpty() ? GetTempFolder(false, false) : folder;
  if (prefix.str().find(kSeparator) == std::string::npos &&
      prefix.str().find('\0') == std::string::npos) {
    std::string pattern = where.str();
    if (pattern.back() != kSeparator) pattern += kSeparator;
    pattern += prefix.str() + "XXXXXX.tmp";
    const int fd = mkostemps(pattern.data(), 4, O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      return qxString(pattern);
    }
  }
  throw qxException("Unable to create a temporary file in folder: (%s).", where.c_str());
}

qxString GetModulePath(const void* module, bool folderOnly) {
  std::string path;
  if (module != nullptr) {
    Dl_info info{};
    if (dladdr(module, &info) != 0 && info.dli_fname != nullptr &&
        std::string(info.dli_fname).find(kSeparator) != std::string::npos) {
      char resolved[PATH_MAX];
      if (realpath(info.dli_fname, resolved) != nullptr) path = resolved;
    }
  }
  if (path.empty()) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(buffer)) return qxString();
    path.assign(buffer, static_cast<size_t>(n));
  }
  if (folderOnly) return GetFolderPart(qxString(path), true, false, 0);
  return qxString(path);
}

qxString GetCurrentFolder() {
  std::string buffer(256, '\0');
  while (true) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return qxString(buffer.c_str());
    if (errno != ERANGE || buffer.size() > 1024 * 1024) return qxString();
    buffer.resize(buffer.size() * 2);
  }
}

bool SetCurrentFolder(const qxString& path) {
  if (path.IsEmpty()) return false;
  return chdir(path.c_str()) == 0;
}

qxString GetEnvironmentValue(const qxString& name, bool* found) {
  if (found != nullptr) *found = false;
  if (name.IsEmpty()) return qxString();
  const char* value = std::getenv(name.c_str());
  if (value == nullptr || value[0] == '\0') return qxString();
  if (found != nullptr) *found = true;
  return qxString(value);
}

// GetCommandShell(fullPath, mustExist): until a shell has been found, $SHELL is
// read (then /bin/sh is tried); the first one found is kept.
qxString GetCommandShell(bool fullPath, bool mustExist) {
  ShellCache& cache = Shell();
  platform::MutexLock lock(cache.lock);
  if (cache.path.IsEmpty()) {
    bool found = false;
    qxString shell = GetEnvironmentValue(qxString("SHELL"), &found);
    if (!found && IsFile(qxString("/bin/sh"))) {
      shell = "/bin/sh";
      found = true;
    }
    cache.path = shell;
    cache.found = found;
    if (found) cache.name = GetFileName(shell, true);
  }
  if (!cache.found && mustExist) {
    throw qxException("A command shell environment could not be found.");
  }
  return fullPath ? cache.path : cache.name;
}

}  // namespace qx
