// Files and folders as the program uses them: whole-file reads, atomic replacement,
// appends, folder creation, and the CR LF line ends that the program's text files
// carry. Paths may be written with '\' as on the original platform; every function
// turns them into '/' first. Stateless; safe from any thread (files are not locked).
#pragma once

#include <string>
#include <string_view>

namespace platform::fs {

// "\" becomes "/".
std::string NativePath(std::string_view path);

bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
// Creates one folder (its parent must exist). True when it exists afterwards.
bool CreateFolder(const std::string& path);
// Creates a folder and every missing parent. True when it exists afterwards.
bool CreateFolders(const std::string& path);
// A folder for its owner only (0700): creates it (and missing parents, as
// CreateFolders does) or, when it exists with wider rights (an older version made it
// 0755), takes the group's and others' rights away. True when it exists afterwards
// and is the owner's only.
bool CreatePrivateFolder(const std::string& path);
// Whether the calling process may write into the file or folder (access W_OK). False
// (errno set) when it may not or the path does not exist.
bool CanWrite(const std::string& path);
bool RemoveFile(const std::string& path);
// Moves a file (or folder) to a new name that must not exist yet: nothing is ever
// overwritten. False (and the last error set) when it cannot be moved.
bool MoveToNewName(const std::string& from, const std::string& to);
// Gives a file a second name that must not exist yet, without copying where a hard
// link can be made (else a copy of mode). The file keeps its first name. False (and
// the last error set) when it cannot.
bool KeepAsNewName(const std::string& from, const std::string& to, unsigned mode = 0600);

// Reads a whole file. False (and out emptied) when it cannot be read.
bool ReadFile(const std::string& path, std::string* out);

// Replaces the file's contents so that a crash at any moment leaves either the old
// file or the new one: write a temporary file beside it, fsync, rename over the old
// one, fsync the folder. mode applies to a newly created file. Sets the last error
// on failure.
bool ReplaceFile(const std::string& path, std::string_view bytes, unsigned mode = 0644);
// ReplaceFile for a file that is its owner's only: the new file is 0600 whatever the
// mode of the file it replaces.
bool ReplacePrivateFile(const std::string& path, std::string_view bytes);

// Appends bytes to a file, creating it when missing. Sets the last error on failure.
bool AppendToFile(const std::string& path, std::string_view bytes);

// What a text-mode write stores: every "\n" becomes "\r\n" (a "\r\n" in the input
// therefore becomes "\r\r\n", as the original platform wrote it).
std::string ToTextMode(std::string_view text);
// What a text-mode read returns: every "\r\n" becomes "\n".
std::string FromTextMode(std::string_view bytes);

// A file kept open for appending, for writers that add many records per open.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { Close(); }

  // Opens (creating when missing, with mode) with the position at the end. The mode
  // of an existing file is left as it is.
  bool Open(const std::string& path, unsigned mode = 0644);
  // Writes all bytes; false on any error.
  bool Write(std::string_view bytes);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace platform::fs
