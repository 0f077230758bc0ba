// File listing and the operations that change the file system: list a folder into
// qxFileInfo records, copy, rename, remove, delete folders with their contents,
// create folder paths, set the read-only state, check an executable image and read
// version-information strings.
//
// Paths are qxString texts in the Linux form of qx_path.h. Failures are answered
// with 0 or false and nothing throws, except VerifyFile, which throws qxException
// with fixed messages. Every descriptor opened here is close-on-exec and closed
// before the call returns. No state and no locks: the file system is the only
// shared resource, and an operation is safe from any thread as far as the file
// system makes it so.
#pragma once

#include <vector>

#include "util/qx_date.h"
#include "util/qx_string.h"

// The library's attribute bits of a listed entry (qxFileInfo::Attributes).
enum qxFileAttribute : int {
  qxFileArchive = 1,         // never set here: Linux keeps no archive flag
  qxFileCompressed = 2,      // the file system compresses the file (statx)
  qxFileFolder = 4,          // a folder, or a link to one
  qxFileEncrypted = 16,      // the file system encrypts the file (statx)
  qxFileHidden = 32,         // the name begins with '.'
  qxFileNormal = 64,         // a plain file with none of the other bits
  qxFileOffline = 128,       // never set here
  qxFileReadOnly = 256,      // nobody may write it (no write permission bit)
  qxFileReparsePoint = 512,  // a symbolic link
  qxFileSparse = 1024,       // never set here
  qxFileSystem = 2048,       // a device, FIFO or socket
  qxFileTemporary = 4096,    // never set here
};

// One listed entry. The times are local times (the C runtime's time zone) with
// milliseconds; a time the calendar cannot hold is the empty date. Created is the
// birth time where the file system records it, else the last write.
struct qxFileInfo {
  qxDate Created;
  qxDate Accessed;
  qxDate Written;
  qxString Name;
  int Attributes = 0;
};

namespace qx {

// Appends one record per entry of folder that matches pattern, in the byte order
// of the names, and returns how many were appended (records is not emptied).
// Trailing '/' of the folder are removed first; a folder that does not exist gives
// 0. The pattern is a file name with '*' and '?' (matched case-sensitively; a
// leading '.' is matched by '*', and "*.*" matches every name); one without
// wildcards names one entry, and an empty pattern lists the folder's own entry.
// "." and ".." are never listed. A link is listed as itself (qxFileReparsePoint),
// with qxFileFolder when it leads to a folder.
size_t ListFiles(const qxString& folder, const qxString& pattern, std::vector<qxFileInfo>& records);
// ListFiles on the folder part of path (that must exist; "." when empty) with its
// file name as the pattern; 0 for the empty text.
size_t ListFilesByPath(const qxString& path, std::vector<qxFileInfo>& records);

// Copies an existing file (not a folder) to target, with its permission bits and
// last write time. An existing target is replaced only with overwrite, and then
// atomically: a failed copy leaves the old target or none, never a part of one.
bool CopyFileTo(const qxString& source, const qxString& target, bool overwrite);
// Moves the existing file path to newName, which names a file in path's folder
// (or, when it holds a '/', is a path of its own). The move never replaces an
// existing entry: it fails and leaves both files as they were.
bool RenameFile(const qxString& path, const qxString& newName);
// Makes an existing file read-only (every write permission bit cleared) or, for
// false, writable by its owner.
bool SetReadOnly(const qxString& path, bool readOnly);
// Deletes an existing file (a link is removed as a link).
bool RemoveFile(const qxString& path);
// Deletes the folder with everything inside it. useShell asks for the recycle
// bin, which Linux has not: false, and nothing is deleted.
bool DeleteFolder(const qxString& path, bool useShell);
// Deletes every entry inside the folder, which itself stays. Links are removed as
// links and never followed, neither inside the folder nor the folder itself when
// it is a link (then false and nothing is deleted). The entries are read before
// any is deleted and processed in the byte order of their names; the first entry
// that cannot be deleted stops the work with false.
bool DeleteFolderContents(const qxString& folder);
// Creates every missing folder of the path. True when at least one folder was
// created and no creation failed; false when all existed, for the empty text, or
// when a creation failed (the folders made before it stay).
bool CreateFolderPath(const qxString& path);
// Throws qxException("Filename cannot be empty.") or ("Cannot find file (%s).");
// otherwise true. The executable-image check of ".exe" and ".dll" files needs an
// image library that Linux has not, so those answer true as well.
bool VerifyFile(const qxString& path);
// Empties map. Linux files carry no version resources, so it stays empty.
void ReadVersionInfo(const qxString& path, qxStringMap& map);

}  // namespace qx
