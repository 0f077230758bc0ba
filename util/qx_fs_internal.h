// Helpers shared by the library's file code (not for use outside util/): reading a
// folder's names, copying bytes between descriptors, moving without replacing, and
// a temporary file beside a target for atomic replacement. Every descriptor is
// close-on-exec. Stateless apart from the objects themselves; no locks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qx::fs_internal {

// Appends the names in the open folder dirFd, "." and ".." left out, in the
// folder's own order. dirFd itself stays open and is not moved.
bool ReadFolderNames(int dirFd, std::vector<std::string>* names);

// Writes all bytes (retrying short writes and interruptions).
bool WriteAll(int fd, const void* bytes, size_t count);
// Copies from the current position of in to its end into out.
bool CopyBytes(int in, int out);

// Moves from to to, refusing when anything exists under to (renameat2 with
// RENAME_NOREPLACE; where the file system cannot do that, link then unlink).
bool MoveNoReplace(const std::string& from, const std::string& to);

// The folder of a path: the text before its last '/' ("/" for a path directly
// below the root, "." for a bare name).
std::string FolderOf(const std::string& path);

// A new file beside a target, in the target's folder, that either becomes the
// target or is removed when the object goes. Not copyable; one thread.
class TempFileBeside {
 public:
  TempFileBeside() = default;
  TempFileBeside(const TempFileBeside&) = delete;
  TempFileBeside& operator=(const TempFileBeside&) = delete;
  ~TempFileBeside();

  // Creates the file (mode 0600 until changed) for target.
  bool Create(const std::string& target);
  int fd() const { return fd_; }
  bool Write(std::string_view bytes) { return WriteAll(fd_, bytes.data(), bytes.size()); }
  // Flushes the bytes to the disk and closes the file.
  bool SyncAndClose();
  // Renames the file over the target, then flushes the folder.
  bool ReplaceTarget();
  // Moves the file to the target only when nothing exists there.
  bool MoveToTargetNoReplace();

 private:
  std::string target_;
  std::string temp_;
  int fd_ = -1;
  bool moved_ = false;
};

}  // namespace qx::fs_internal
