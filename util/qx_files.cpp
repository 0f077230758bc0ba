#include "util/qx_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <string>

#include "util/qx_fs_internal.h"
#include "util/qx_path.h"

namespace qx {

namespace {

constexpr unsigned kStatxWanted = STATX_BASIC_STATS | STATX_BTIME | STATX_MNT_ID;

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A folder as the path names it, with no wildcard matching.
bool IsPlainFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The local date of a file time, with milliseconds; the empty date when the
// calendar cannot hold it.
qxDate LocalDate(const struct statx_timestamp& t) {
  const time_t seconds = static_cast<time_t>(t.tv_sec);
  std::tm tm{};
  if (localtime_r(&seconds, &tm) == nullptr) return qxDate();
  try {
    return qxDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  std::min(tm.tm_sec, 59), static_cast<int>(t.tv_nsec / 1000000));
  } catch (const qxException&) {
    return qxDate();
  }
}

// The record of the entry name in the folder dirFd, the entry itself (a link is
// not followed). False when it cannot be read.
bool MakeRecord(int dirFd, const std::string& name, qxFileInfo* record) {
  struct statx sx {};
  if (statx(dirFd, name.c_str(), AT_SYMLINK_NOFOLLOW, kStatxWanted, &sx) != 0) return false;
  int bits = 0;
  const mode_t mode = sx.stx_mode;
  if (S_ISLNK(mode)) {
    bits |= qxFileReparsePoint;
    struct stat target {};
    if (fstatat(dirFd, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode)) {
      bits |= qxFileFolder;
    }
  } else if (S_ISDIR(mode)) {
    bits |= qxFileFolder;
  } else if (!S_ISREG(mode)) {
    bits |= qxFileSystem;
  }
  if (!name.empty() && name[0] == '.') bits |= qxFileHidden;
  if (!S_ISLNK(mode) && (mode & 0222) == 0) bits |= qxFileReadOnly;
  const uint64_t known = sx.stx_attributes_mask;
  if ((known & STATX_ATTR_COMPRESSED) != 0 && (sx.stx_attributes & STATX_ATTR_COMPRESSED) != 0) {
    bits |= qxFileCompressed;
  }
  if ((known & STATX_ATTR_ENCRYPTED) != 0 && (sx.stx_attributes & STATX_ATTR_ENCRYPTED) != 0) {
    bits |= qxFileEncrypted;
  }
  if (bits == 0) bits = qxFileNormal;

  record->Created = LocalDate((sx.stx_mask & STATX_BTIME) != 0 ? sx.stx_btime : sx.stx_mtime);
  record->Accessed = LocalDate(sx.stx_atime);
  record->Written = LocalDate(sx.stx_mtime);
  record->Name = qxString(name);
  record->Attributes = bits;
  return true;
}

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

// The pattern as fnmatch reads it: "*.*" stands for every name.
std::string MatchPattern(const std::string& pattern) {
  return pattern == "*.*" ? std::string("*") : pattern;
}

// The same device and mount as the folder whose statx is parent.
bool SameMount(const struct statx& parent, const struct statx& child) {
  if (parent.stx_dev_major != child.stx_dev_major || parent.stx_dev_minor != child.stx_dev_minor) {
    return false;
  }
  if ((parent.stx_mask & child.stx_mask & STATX_MNT_ID) != 0) {
    return parent.stx_mnt_id == child.stx_mnt_id;
  }
  return true;
}

// Deletes everything inside the open folder dirFd (whose own statx is self). The
// names are read first, then processed in byte order; links and other non-folders
// are unlinked, real folders (never a mount of another file system) are emptied
// through a descriptor opened without following links, then removed.
bool DeleteContentsAt(int dirFd, const struct statx& self) {
  std::vector<std::string> names;
  if (!fs_internal::ReadFolderNames(dirFd, &names)) return false;
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    struct statx sx {};
    if (statx(dirFd, name.c_str(), AT_SYMLINK_NOFOLLOW, kStatxWanted, &sx) != 0) {
      if (errno == ENOENT) continue;  // gone already
      return false;
    }
    if (!S_ISDIR(sx.stx_mode)) {
      if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) return false;
      continue;
    }
    if (!SameMount(self, sx)) return false;
    const int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) return false;
    const bool emptied = DeleteContentsAt(sub, sx);
    close(sub);
    if (!emptied) return false;
    if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) return false;
  }
  return true;
}

}  // namespace

// ListFiles(folder, pattern, records):
// 1. Trailing '/' of a non-empty folder go; a folder that does not exist gives 0.
// 2. The search text is the folder, then "/" and the pattern when there is one;
//    it splits at its last '/' into the folder to read and the name to match.
// 3. A name without wildcards is looked up directly; otherwise the folder's
//    names are matched, sorted. "." and ".." are skipped.
// 4. One record per entry found is appended; the count is returned.
size_t ListFiles(const qxString& folder, const qxString& pattern,
                 std::vector<qxFileInfo>& records) {
  std::string dir = folder.str();
  if (!dir.empty()) {
    dir = WithoutTrailingSeparators(dir);
    if (!IsFolder(qxString(dir))) return 0;
  }
  std::string search = dir;
  if (!pattern.IsEmpty()) {
    if (search.empty() || search.back() != '/') search += '/';
    search += pattern.str();
  }
  const size_t slash = search.rfind('/');
  const std::string parent = slash == std::string::npos
                                 ? std::string(".")
                                 : (slash == 0 ? std::string("/") : search.substr(0, slash));
  const std::string name = slash == std::string::npos ? search : search.substr(slash + 1);
  if (name.empty() || IsDotEntry(name) || name.find('\0') != std::string::npos) return 0;

  const int dirFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return 0;
  std::vector<std::string> names;
  if (!HasWildcards(qxString(name))) {
    names.push_back(name);
  } else if (fs_internal::ReadFolderNames(dirFd, &names)) {
    const std::string match = MatchPattern(name);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& n) {
                                 return fnmatch(match.c_str(), n.c_str(), 0) != 0;
                               }),
                names.end());
    std::sort(names.begin(), names.end());
  }
  size_t appended = 0;
  for (const std::string& n : names) {
    qxFileInfo record;
    if (!MakeRecord(dirFd, n, &record)) continue;
    records.push_back(record);
    ++appended;
  }
  close(dirFd);
  return appended;
}

size_t ListFilesByPath(const qxString& path, std::vector<qxFileInfo>& records) {
  if (path.IsEmpty()) return 0;
  // The folder is the path's text before its name: a pattern that matches nothing
  // must not turn the search into one of the current folder.
  qxString folder = GetFolderPart(path, false, false, 0);
  if (folder.IsEmpty()) folder = ".";
  return ListFiles(folder, GetFileName(path, true), records);
}

bool CopyFileTo(const qxString& source, const qxString& target, bool overwrite) {
  if (!IsFile(source) || target.IsEmpty()) return false;
  const int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st {};
  bool ok = fstat(in, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && !overwrite) {
    struct stat existing {};
    ok = lstat(target.c_str(), &existing) != 0 && errno == ENOENT;
  }
  fs_internal::TempFileBeside temp;
  ok = ok && temp.Create(target.str());
  ok = ok && fs_internal::CopyBytes(in, temp.fd());
  close(in);
  if (ok) {
    const timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    ok = fchmod(temp.fd(), st.st_mode & 0777) == 0 && futimens(temp.fd(), times) == 0;
  }
  ok = ok && temp.SyncAndClose();
  if (!ok) return false;
  return overwrite ? temp.ReplaceTarget() : temp.MoveToTargetNoReplace();
}

// RenameFile(path, newName): the one target is newName itself when it holds a
// '/', else newName in the folder of path (newName alone when that folder is
// empty). The move refuses an existing target.
bool RenameFile(const qxString& path, const qxString& newName) {
  if (!IsFile(path) || newName.IsEmpty()) return false;
  std::string target = newName.str();
  if (target.find('/') == std::string::npos) {
    const std::string folder = GetFolderPart(path, true, false, 0).str();
    if (!folder.empty()) target = (folder.back() == '/' ? folder : folder + "/") + target;
  }
  return fs_internal::MoveNoReplace(path.str(), target);
}

bool SetReadOnly(const qxString& path, bool readOnly) {
  if (!IsFile(path)) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const mode_t mode = readOnly ? (st.st_mode & 07777 & ~0222) : ((st.st_mode & 07777) | S_IWUSR);
  return chmod(path.c_str(), mode) == 0;
}

bool RemoveFile(const qxString& path) { return IsFile(path) && unlink(path.c_str()) == 0; }

bool DeleteFolder(const qxString& path, bool useShell) {
  if (path.IsEmpty() || useShell) return false;
  if (!DeleteFolderContents(path)) return false;
  return rmdir(WithoutTrailingSeparators(path.str()).c_str()) == 0;
}

bool DeleteFolderContents(const qxString& folder) {
  if (folder.IsEmpty()) return false;
  const std::string dir = WithoutTrailingSeparators(folder.str());
  if (dir == "/") return false;  // never the whole file system
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct statx self {};
  bool ok = statx(fd, "", AT_EMPTY_PATH, kStatxWanted, &self) == 0;
  ok = ok && DeleteContentsAt(fd, self);
  close(fd);
  return ok;
}

// CreateFolderPath(path):
// 1. False for the empty text.
// 2. A path of one part is created unless it is a folder; true only when created.
// 3. Otherwise the parts are joined one by one; each accumulated path that is not
//    a folder is created, and a failure stops with false. A first part that is
//    empty (the root of an absolute path) or ends in ':' is only taken over.
// 4. True when at least one folder was created.
bool CreateFolderPath(const qxString& path) {
  if (path.IsEmpty()) return false;
  std::vector<qxString> parts;
  SplitPath(path, parts, false);
  if (parts.size() == 1) {
    if (IsPlainFolder(path.str())) return false;
    return mkdir(path.c_str(), 0777) == 0;
  }
  std::string accumulated;
  bool created = false;
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i].str();
    if (i == 0) {
      accumulated = part;
      if (part.empty() || part.back() == ':') continue;
    } else {
      accumulated += "/" + part;
    }
    if (IsPlainFolder(accumulated)) continue;
    if (mkdir(accumulated.c_str(), 0777) != 0) return false;
    created = true;
  }
  return created;
}

bool VerifyFile(const qxString& path) {
  if (path.IsEmpty()) throw qxException("Filename cannot be empty.");
  if (!IsFile(path)) throw qxException("Cannot find file (%s).", path.c_str());
  // ".exe" and ".dll" images would be loaded by the platform's image library here;
  // without one the check answers as the library's absence does: true.
  return true;
}

void ReadVersionInfo(const qxString& /*path*/, qxStringMap& map) { map.clear(); }

}  // namespace qx
