#include "util/qx_fs_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

namespace qx::fs_internal {

namespace {

void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool ReadFolderNames(int dirFd, std::vector<std::string>* names) {
  const int copy = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* dir = fdopendir(copy);
  if (dir == nullptr) {
    close(copy);
    return false;
  }
  rewinddir(dir);
  bool ok = true;
  while (true) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(dir);
  return ok;
}

bool WriteAll(int fd, const void* bytes, size_t count) {
  const char* p = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t n = write(fd, p, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyBytes(int in, int out) {
  char buffer[64 * 1024];
  while (true) {
    const ssize_t n = read(in, buffer, sizeof(buffer));
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!WriteAll(out, buffer, static_cast<size_t>(n))) return false;
  }
}

bool MoveNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // The file system cannot refuse the replacement itself: a hard link can.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  if (unlink(from.c_str()) != 0) {
    unlink(to.c_str());
    return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

TempFileBeside::~TempFileBeside() {
  if (fd_ >= 0) close(fd_);
  if (!temp_.empty() && !moved_) unlink(temp_.c_str());
}

bool TempFileBeside::Create(const std::string& target) {
  if (target.empty() || target.back() == '/') return false;
  target_ = target;
  const size_t slash = target.rfind('/');
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string pattern = FolderOf(target) + "/." + name + ".XXXXXX";
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) return false;
  temp_ = pattern;
  return true;
}

bool TempFileBeside::SyncAndClose() {
  if (fd_ < 0) return false;
  const bool synced = fsync(fd_) == 0;
  const bool closed = close(fd_) == 0;
  fd_ = -1;
  return synced && closed;
}

bool TempFileBeside::ReplaceTarget() {
  if (temp_.empty() || fd_ >= 0 || moved_) return false;
  if (rename(temp_.c_str(), target_.c_str()) != 0) return false;
  moved_ = true;
  SyncFolder(FolderOf(target_));
  return true;
}

bool TempFileBeside::MoveToTargetNoReplace() {
  if (temp_.empty() || fd_ >= 0 || moved_) return false;
  if (!MoveNoReplace(temp_, target_)) return false;
  moved_ = true;
  SyncFolder(FolderOf(target_));
  return true;
}

}  // namespace qx::fs_internal
