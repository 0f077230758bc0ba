// File-system paths and queries on qxString paths, Linux form: '/' separates the
// folders (a '\' is an ordinary character of a name). Taking paths apart is pure
// text work; the queries ask the kernel (stat, statx, statfs, statvfs) and report
// failure as false, 0 or the empty text without throwing. GetTempFolder,
// CreateTempFileName and GetCommandShell throw qxException with fixed messages.
//
// Special folders are the XDG folders of the user (see GetSpecialFolderPath).
// File times are 64-bit FILETIME values: 100 ns units since 1601-01-01 UTC.
//
// Stateless except GetCommandShell's cache, which owns a mutex; everything else is
// safe from any thread (the environment is read with getenv, which a concurrent
// setenv would disturb).
#pragma once

#include <cstdint>
#include <vector>

#include "util/qx_date.h"
#include "util/qx_string.h"

namespace qx {

// ---- Taking paths apart ----------------------------------------------------

// Empties parts, then adds the text before each '/' (with the '/' when
// keepSeparator is set; empty parts too) and the non-empty rest. Returns the count.
size_t SplitPath(const qxString& path, std::vector<qxString>& parts, bool keepSeparator);
// The part after the last '/' (the whole path when there is none); without
// keepExtension the part from its last '.' on is dropped.
qxString GetFileName(const qxString& path, bool keepExtension = true);
// The text after the last '.' of the whole path (empty when there is none).
qxString GetFileExtension(const qxString& path, bool lowerCase = false);
// The folder of the path: the text before its last '/' ("/" for a path directly
// under the root). With mustExist an existing folder gives itself, an existing
// file its folder and anything else the empty text. stripDrive drops a leading
// "X:". separator 1 or 2 ends a non-empty result with '/'.
qxString GetFolderPart(const qxString& path, bool mustExist = false, bool stripDrive = false,
                       int separator = 0);
// For a text of at least three characters whose second is ':', the first one
// (and ":/" with withRoot); otherwise empty. Linux has no drives; this is text.
qxString GetDriveLetter(const qxString& path, bool withRoot = false);
bool HasWildcards(const qxString& path);

// ---- Queries ---------------------------------------------------------------
// A path with wildcards that names nothing itself stands for its first match.

bool IsFile(const qxString& path);
bool IsFolder(const qxString& path);
// An existing file that nobody may write (no write permission bit set).
bool IsReadOnlyFile(const qxString& path);
// True when the path lies on a network file system (NFS, SMB/CIFS, AFS, ...). A
// single character is a drive letter, which names nothing here: false.
bool IsNetworkDrive(const qxString& path);
// The file's size in bytes; 0 for the empty text, a folder or a missing path.
uint64_t GetFileLength(const qxString& path);
// selector 0 creation (birth time where the file system records it, else the
// last write), 1 last access, 2 last write, as a FILETIME; 0 for the empty text, a
// missing path, a folder or another selector.
uint64_t GetFileTimeStamp(const qxString& path, int selector);
// The file time as an MS-DOS date and time (years 1980 to 2107, UTC).
bool GetFileDosDateTime(const qxString& path, int selector, uint16_t* date, uint16_t* time);
// The last write or creation time in UTC (milliseconds 0); false and out
// untouched unless the path is an existing file.
bool GetFileWriteDate(const qxString& path, qxDate* out);
bool GetFileCreationDate(const qxString& path, qxDate* out);
// The current time as a FILETIME, shifted to local time unless utc is set.
uint64_t GetCurrentFileTime(bool utc);
bool GetCurrentDosDateTime(uint16_t* date, uint16_t* time, bool utc);
// The file system's total bytes, and the bytes free to the caller; 0 on failure.
uint64_t GetDiskTotalBytes(const qxString& path);
uint64_t GetDiskFreeBytes(const qxString& path);
// An MS-DOS date and time of a FILETIME; false outside 1980 to 2107.
bool FileTimeToDosDateTime(uint64_t fileTime, uint16_t* date, uint16_t* time);

// ---- Platform folders and values -------------------------------------------

// Index 0 the user's settings ($XDG_CONFIG_HOME, else ~/.config); 1 data of all
// users (/var/lib); 2 documents of all users ($XDG_PUBLICSHARE_DIR when set, else
// /var/tmp); 3 the desktop ($XDG_DESKTOP_DIR, else ~/Desktop); 4 the user's local
// data ($XDG_DATA_HOME, else ~/.local/share); 5 the user's documents
// ($XDG_DOCUMENTS_DIR, else ~/Documents). The XDG user folders are read from the
// environment, then from $XDG_CONFIG_HOME/user-dirs.dirs. Indexes 6 to 9 (program
// files, the system and Windows folders) have no meaning here and give the empty
// text, as does any other index or a folder whose home is unknown. No trailing '/'.
qxString GetSpecialFolderPath(int index);
// $TMPDIR when it names a folder, else /tmp; ending in '/' exactly when
// withTrailingSeparator is set (the root stays "/"). shortForm has no effect.
// Throws qxException('Unable to get "Windows" temporary folder.') when empty.
qxString GetTempFolder(bool withTrailingSeparator = false, bool shortForm = false);
// Creates a new empty file folder/prefixXXXXXX.tmp (mkostemps) and returns its
// path; the temporary folder when folder is empty. Throws qxException("Unable to
// create a temporary file in folder: (%s).").
qxString CreateTempFileName(const qxString& prefix, const qxString& folder);
// The program's path (/proc/self/exe) for a null module, else the path of the
// shared object that holds the address; with folderOnly its folder.
qxString GetModulePath(const void* module = nullptr, bool folderOnly = false);
// The whole current folder; the empty text on failure.
qxString GetCurrentFolder();
bool SetCurrentFolder(const qxString& path);
// The variable's value; *found is true only for an existing, non-empty value.
qxString GetEnvironmentValue(const qxString& name, bool* found = nullptr);
// The command shell: $SHELL, else /bin/sh when it exists; its full path or its
// file name. The first shell found is cached for the life of the process. Throws
// qxException("A command shell environment could not be found.") when none is
// found and mustExist is set.
qxString GetCommandShell(bool fullPath = true, bool mustExist = false);

}  // namespace qx
