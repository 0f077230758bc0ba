#include "platform/fs/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/text/format.h"

namespace platform::fs {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void SetLastErrorFromErrno() { SetLastError(ErrorCodeFromErrno(errno)); }

}  // namespace

std::string NativePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st {};
  return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolder(const std::string& path) {
  const std::string p = NativePath(path);
  if (::mkdir(p.c_str(), 0755) == 0) return true;
  if (errno == EEXIST && FolderExists(p)) return true;
  SetLastErrorFromErrno();
  return false;
}

bool CreateFolders(const std::string& path) {
  const std::string p = NativePath(path);
  if (p.empty()) return false;
  for (size_t pos = p.find('/', 1); pos != std::string::npos; pos = p.find('/', pos + 1)) {
    const std::string part = p.substr(0, pos);
    if (!FolderExists(part) && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      SetLastErrorFromErrno();
      return false;
    }
  }
  return CreateFolder(p);
}

bool CreatePrivateFolder(const std::string& path) {
  const std::string p = NativePath(path);
  if (p.empty()) return false;
  const size_t slash = p.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string parent = p.substr(0, slash);
    if (!FolderExists(parent) && !CreateFolders(parent)) return false;
  }
  if (::mkdir(p.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) {
    SetLastErrorFromErrno();
    return false;
  }
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ErrorCodeFromErrno(EEXIST));
    return false;
  }
  if ((st.st_mode & 077) == 0) return true;
  if (::chmod(p.c_str(), st.st_mode & 07700) == 0) return true;
  SetLastErrorFromErrno();
  return false;
}

bool CanWrite(const std::string& path) { return ::access(NativePath(path).c_str(), W_OK) == 0; }

bool RemoveFile(const std::string& path) {
  if (::unlink(NativePath(path).c_str()) == 0) return true;
  SetLastErrorFromErrno();
  return false;
}

bool ReadFile(const std::string& path, std::string* out) {
  out->clear();
  const int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      ::close(fd);
      out->clear();
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool MoveToNewName(const std::string& from, const std::string& to) {
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  // A hard link fails when the target exists, so nothing is overwritten; a folder
  // (which cannot be linked) is renamed after the same check.
  if (::link(source.c_str(), target.c_str()) == 0) {
    if (::unlink(source.c_str()) == 0) return true;
    SetLastErrorFromErrno();
    ::unlink(target.c_str());
    return false;
  }
  if (errno != EPERM && errno != EXDEV && errno != ENOTSUP) {
    SetLastErrorFromErrno();
    return false;
  }
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    errno = EEXIST;
    SetLastErrorFromErrno();
    return false;
  }
  if (::rename(source.c_str(), target.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool KeepAsNewName(const std::string& from, const std::string& to, unsigned mode) {
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  if (::link(source.c_str(), target.c_str()) == 0) return true;
  if (errno != EPERM && errno != EXDEV && errno != ENOTSUP) {
    SetLastErrorFromErrno();
    return false;
  }
  std::string bytes;
  if (!ReadFile(from, &bytes)) return false;
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  const bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  if (!ok) SetLastErrorFromErrno();
  ::close(fd);
  if (!ok) ::unlink(target.c_str());
  return ok;
}

namespace {

// keep_mode: an existing file's mode carries over to its replacement.
bool Replace(const std::string& path, std::string_view bytes, unsigned mode, bool keep_mode) {
  const std::string p = NativePath(path);
  std::string temp = p + ".tmpXXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  struct stat st {};
  const mode_t final_mode =
      keep_mode && ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : static_cast<mode_t>(mode);
  bool ok = ::fchmod(fd, final_mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  if (!ok) SetLastErrorFromErrno();
  if (::close(fd) != 0 && ok) {
    SetLastErrorFromErrno();
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), p.c_str()) != 0) {
    SetLastErrorFromErrno();
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  const int dir = ::open(ParentOf(p).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace

bool ReplaceFile(const std::string& path, std::string_view bytes, unsigned mode) {
  return Replace(path, bytes, mode, true);
}

bool ReplacePrivateFile(const std::string& path, std::string_view bytes) { return Replace(path, bytes, 0600, false); }

bool AppendToFile(const std::string& path, std::string_view bytes) {
  AppendFile f;
  return f.Open(path) && f.Write(bytes);
}

std::string ToTextMode(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

std::string FromTextMode(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    out.push_back(bytes[i]);
  }
  return out;
}

bool AppendFile::Open(const std::string& path, unsigned mode) {
  Close();
  fd_ = ::open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd_ < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool AppendFile::Write(std::string_view bytes) {
  if (fd_ < 0) return false;
  if (WriteAll(fd_, bytes)) return true;
  SetLastErrorFromErrno();
  return false;
}

void AppendFile::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace platform::fs
