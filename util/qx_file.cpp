#include "util/qx_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>
#include <stdexcept>
#include <string>

#include "util/qx_fs_internal.h"
#include "util/qx_path.h"

namespace {

// Closes a descriptor of the call's own when the call ends, also by a throw.
class ScopedFd {
 public:
  ScopedFd() = default;
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (m_Fd >= 0) close(m_Fd);
  }
  void Reset(int fd) { m_Fd = fd; }
  // Closes now; false when the close reports an error.
  bool Close() {
    const int fd = m_Fd;
    m_Fd = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int m_Fd = -1;
};

// Reads up to count bytes, fewer only at the end of the file; -1 on an error.
ssize_t ReadFully(int fd, char* buffer, size_t count) {
  size_t got = 0;
  while (got < count) {
    const ssize_t n = read(fd, buffer + got, count - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool SizeOf(int fd, size_t* size) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < 0) return false;
  *size = static_cast<size_t>(st.st_size);
  return true;
}

}  // namespace

// ---- qxFile -----------------------------------------------------------------

size_t qxFile::Write(const void* bytes, size_t count, bool standalone) {
  ScopedFd own;
  int fd = standalone ? -1 : m_Handle;
  if (fd < 0) {
    fd = open(m_Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw qxException("Failed to create/open file: (%s).", m_Path.c_str());
    if (standalone) {
      own.Reset(fd);
    } else {
      m_Handle = fd;
    }
    size_t size = 0;
    if (!SizeOf(fd, &size)) throw qxException("Failed to get file size: (%s).", m_Path.c_str());
    if (size > 0) {
      if (lseek(fd, 0, SEEK_SET) < 0) {
        throw qxException("Failed to move position in file: (%s).", m_Path.c_str());
      }
      if (m_Truncate) {
        if (ftruncate(fd, 0) != 0) {
          throw qxException("Failed to truncate file: (%s).", m_Path.c_str());
        }
      } else if (lseek(fd, 0, SEEK_END) < 0) {
        throw qxException("Failed to move position in file: (%s).", m_Path.c_str());
      }
    }
  }
  if (count > 0 && !qx::fs_internal::WriteAll(fd, bytes, count)) {
    throw qxException("Failed to write to file: (%s).", m_Path.c_str());
  }
  if (!own.Close()) throw qxException("Failed to write to file: (%s).", m_Path.c_str());
  return count;
}

size_t qxFile::ReadAll(qxString& target, size_t maximum, bool standalone) {
  target.Empty();
  ScopedFd own;
  int fd = standalone ? -1 : m_Handle;
  size_t size = 0;
  if (fd >= 0) {
    if (!SizeOf(fd, &size)) throw qxException("Failed to get file size: (%s).", m_Path.c_str());
  } else {
    fd = open(m_Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw qxException("Failed to open file: (%s).", m_Path.c_str());
    if (standalone) {
      own.Reset(fd);
    } else {
      m_Handle = fd;
      m_Position = kNotLoaded;
    }
    if (!SizeOf(fd, &size)) throw qxException("Failed to get file size: (%s).", m_Path.c_str());
    if (size > 0 && lseek(fd, 0, SEEK_SET) < 0) {
      throw qxException("Failed to move position in file: (%s).", m_Path.c_str());
    }
  }
  const size_t wanted = size < maximum ? size : maximum;
  std::string bytes;
  try {
    bytes.resize(wanted);
  } catch (const std::bad_alloc&) {
    throw qxException("Failed to copy byte stream: (Out of memory).");
  } catch (const std::length_error&) {
    throw qxException("Failed to copy byte stream: (Out of memory).");
  }
  const ssize_t got = ReadFully(fd, bytes.data(), wanted);
  if (got < 0) throw qxException("Failed to read from file: (%s).", m_Path.c_str());
  if (static_cast<size_t>(got) < wanted) {
    // Fewer bytes than the size promised: fine only at the end of the file.
    char extra = 0;
    if (ReadFully(fd, &extra, 1) != 0) {
      throw qxException("Failed to read from file: (%s).", m_Path.c_str());
    }
    bytes.resize(static_cast<size_t>(got));
  }
  target = bytes;
  return bytes.size();
}

void qxFile::OpenForReading() {
  const int fd = open(m_Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw qxException("Failed to open file: (%s).", m_Path.c_str());
  m_Handle = fd;
  m_Position = kNotLoaded;
}

bool qxFile::Load() {
  const ssize_t n = ReadFully(m_Handle, m_Buffer.get(), kBufferSize);
  if (n < 0) throw qxException("Failed to read from file: (%s).", m_Path.c_str());
  m_Loaded = static_cast<uint16_t>(n);
  m_Position = 0;
  return n > 0;
}

// ReadLine(target, endOfLine, maximum):
// 1. After a line that met the end, answer 0 once; the next call starts again at
//    the beginning of the file.
// 2. At the start of the file: an empty file answers 0; else the buffer is made
//    and the handle moved to the start.
// 3. When the buffer is used up, the next bytes are loaded; none: the start
//    state again and 0.
// 4. Bytes are taken one by one into the line until it ends with the end-of-line
//    text or holds maximum bytes; a used-up buffer is reloaded in between, and
//    the end of the file ends the line (the next call answers 0).
size_t qxFile::ReadLine(qxString& target, const qxString& endOfLine, size_t maximum) {
  target.Empty();
  if (endOfLine.IsEmpty()) throw qxException("The end of line (EOL) parameter cannot be empty.");
  if (m_Position == kAtEnd) {
    m_Position = kNotLoaded;
    return 0;
  }
  if (m_Handle < 0) OpenForReading();
  if (m_Position == kNotLoaded) {
    size_t size = 0;
    if (!SizeOf(m_Handle, &size)) {
      throw qxException("Failed to get file size: (%s).", m_Path.c_str());
    }
    if (size == 0) return 0;
    if (lseek(m_Handle, 0, SEEK_SET) < 0) {
      throw qxException("Failed to move position in file: (%s).", m_Path.c_str());
    }
    if (!m_Buffer) {
      m_Buffer.reset(new (std::nothrow) char[kBufferSize]);
      if (!m_Buffer) throw qxException("Failed to copy byte stream: (Out of memory).");
    }
    m_Loaded = 0;
  }
  if (m_Position == kNotLoaded || m_Position >= m_Loaded) {
    if (!Load()) {
      m_Position = kNotLoaded;
      return 0;
    }
  }
  if (maximum == 0) return 0;

  const std::string& eol = endOfLine.str();
  std::string line;
  while (true) {
    while (m_Position < m_Loaded) {
      line.push_back(m_Buffer[m_Position++]);
      if (line.size() >= eol.size() &&
          line.compare(line.size() - eol.size(), eol.size(), eol) == 0) {
        target = line;
        return line.size();
      }
      if (line.size() == maximum) {
        target = line;
        return line.size();
      }
    }
    if (!Load()) {
      m_Position = kAtEnd;
      target = line;
      return line.size();
    }
  }
}

void qxFile::Rewind() {
  if (m_Handle < 0) {
    OpenForReading();
    return;
  }
  if (lseek(m_Handle, 0, SEEK_SET) < 0) {
    throw qxException("Failed to move to the beginning in file: (%s).", m_Path.c_str());
  }
  m_Position = kNotLoaded;
}

void qxFile::SeekEnd() {
  if (m_Handle < 0) {
    OpenForReading();
    return;
  }
  if (lseek(m_Handle, 0, SEEK_END) < 0) {
    throw qxException("Failed to move to the end in file: (%s).", m_Path.c_str());
  }
  m_Position = kAtEnd;
}

bool qxFile::IsAtStart() const { return m_Handle < 0 || lseek(m_Handle, 0, SEEK_CUR) == 0; }

bool qxFile::IsAtEnd() const {
  if (m_Handle < 0) return false;
  size_t size = 0;
  const off_t position = lseek(m_Handle, 0, SEEK_CUR);
  return position >= 0 && SizeOf(m_Handle, &size) && static_cast<size_t>(position) >= size;
}

void qxFile::Truncate() {
  if (m_Handle < 0) return;
  size_t size = 0;
  if (!SizeOf(m_Handle, &size)) throw qxException("Failed to get file size: (%s).", m_Path.c_str());
  if (size == 0) return;
  if (lseek(m_Handle, 0, SEEK_SET) < 0) {
    throw qxException("Failed to move position in file: (%s).", m_Path.c_str());
  }
  if (ftruncate(m_Handle, 0) != 0) {
    throw qxException("Failed to truncate file: (%s).", m_Path.c_str());
  }
}

void qxFile::Close() {
  if (m_Handle >= 0) close(m_Handle);
  if (m_DeleteOnClose && qx::IsFile(m_Path)) unlink(m_Path.c_str());
  m_Buffer.reset();
  m_Truncate = false;
  m_DeleteOnClose = false;
  m_Handle = -1;
  m_Position = kNotLoaded;
  m_Loaded = 0;
  m_Path.Empty();
}

// ---- qxTempFile -------------------------------------------------------------

namespace {

constexpr char kTempPrefix[] = "qx";
constexpr int kExtensionAttempts = 10;

bool SameExtension(const qxString& requested, const qxString& own) {
  qxString bare = requested;
  if (bare.GetAt(0) == '.') bare = bare.Mid(1);
  return bare.Compare(own, false) == 0 && bare.GetLength() == own.GetLength();
}

}  // namespace

void qxTempFile::ApplyExtension(const qxString& path, const qxString& extension) {
  m_FileName = path;
  if (extension.IsEmpty() || SameExtension(extension, qx::GetFileExtension(path, true))) return;
  for (int attempt = 1;; ++attempt) {
    qxString target = m_FileName;
    if (extension.GetAt(0) != '.') target += '.';
    target += extension;
    if (qx::fs_internal::MoveNoReplace(m_FileName.str(), target.str())) {
      m_FileName = target;
      return;
    }
    const bool taken = errno == EEXIST;
    unlink(m_FileName.c_str());
    m_FileName.Empty();
    if (!taken || attempt == kExtensionAttempts) {
      const qxString folder = qx::GetFolderPart(path, false, false, 0);
      throw qxException("Unable to create a temporary file in folder: (%s).", folder.c_str());
    }
    // Somebody has that name: start again with another temporary file.
    m_FileName = qx::CreateTempFileName(qxString(kTempPrefix), qxString());
  }
}

qxString qxTempFile::Create(const qxString& extension) {
  Delete();
  ApplyExtension(qx::CreateTempFileName(qxString(kTempPrefix), qxString()), extension);
  return m_FileName;
}

qxString qxTempFile::WriteContent(const void* bytes, size_t count, const qxString& extension) {
  Delete();
  const qxString path = qx::CreateTempFileName(qxString(kTempPrefix), qxString());
  if (path.IsEmpty()) throw qxException("Could not create temporary file \"strTempFileName\".");
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    unlink(path.c_str());
    throw qxException("Failed to open temporary file: (%s).", path.c_str());
  }
  const bool written = count == 0 || qx::fs_internal::WriteAll(fd, bytes, count);
  const bool closed = close(fd) == 0;
  if (!written || !closed) {
    unlink(path.c_str());
    throw qxException("Failed to write to the temporary file: (%s).", path.c_str());
  }
  ApplyExtension(path, extension);
  return m_FileName;
}

int qxTempFile::ReadContent() {
  m_Content.clear();
  m_ContentSize = 0;
  if (m_FileName.IsEmpty()) throw qxException("Filename variable \"m_FileName\" is empty.");
  if (!qx::IsFile(m_FileName)) throw qxException("Cannot find file: (%s)", m_FileName.c_str());
  ScopedFd own;
  const int fd = open(m_FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw qxException("Failed to open temporary file: (%s).", m_FileName.c_str());
  own.Reset(fd);
  size_t size = 0;
  if (!SizeOf(fd, &size)) {
    throw qxException("Failed to get temporary file size: (%s).", m_FileName.c_str());
  }
  if (size > static_cast<size_t>(INT_MAX)) {
    throw qxException("Failed to copy byte stream: (Out of memory)");
  }
  std::vector<char> content;
  try {
    content.resize(size);
  } catch (const std::bad_alloc&) {
    throw qxException("Failed to copy byte stream: (Out of memory)");
  }
  if (ReadFully(fd, content.data(), size) != static_cast<ssize_t>(size)) {
    throw qxException("Failed to read from the temporary file: (%s). ", m_FileName.c_str());
  }
  own.Close();
  m_Content.swap(content);
  m_ContentSize = static_cast<int>(size);
  return m_ContentSize;
}

void qxTempFile::Delete() {
  m_Content.clear();
  m_ContentSize = 0;
  if (m_FileName.IsEmpty()) return;
  unlink(m_FileName.c_str());
  m_FileName.Empty();
}

qxString qxTempFile::GetName(bool fullPath) const {
  return fullPath ? m_FileName : qx::GetFileName(m_FileName, true);
}

// ---- qxCurrentFolder --------------------------------------------------------

qxCurrentFolder::qxCurrentFolder() : m_Saved(qx::GetCurrentFolder()) {}

qxCurrentFolder::qxCurrentFolder(const qxString& folder) : m_Saved(qx::GetCurrentFolder()) {
  if (!folder.IsEmpty()) m_Changed = qx::SetCurrentFolder(folder);
}

bool qxCurrentFolder::Set(const qxString& folder) {
  if (folder.IsEmpty()) return true;
  m_Changed = qx::SetCurrentFolder(folder);
  return m_Changed;
}

bool qxCurrentFolder::Restore() {
  if (m_Saved.IsEmpty()) return true;
  return qx::SetCurrentFolder(m_Saved);
}
