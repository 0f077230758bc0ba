// Lanes: the lane registry that limits how many different point-of-sale lanes may
// send new authorisations while the interfaces run, and the lanes file that keeps a
// local description of each lane id. Neither uses Qt. The registry has a room of its
// own so that the request dispatch (app/server) and the dialogs and view (app/shell)
// both reach it without one including the other; the Lane Setup dialog
// (app/shell/lane_dialogs.h) is the only user of the file.
//
// CLaneRegistry (the process's g_LaneRegistry)
//   bool Register(const std::string& laneId)
//       true when the lane may send: an empty id (never limited), an id already
//       listed (exact, case-sensitive), or a new id while fewer than the maximum are
//       listed (the id is then listed). false otherwise: the connection answers the
//       request with 4048 "Max Lane(s) Already Reached.".
//   bool SetMaximum(int count)
//       sets the maximum number of different ids (NUMBER OF LANES as an integer; 0
//       after construction, so every non-empty id is refused until the first start).
//       Always true. Listed ids are never removed, also not by a lower maximum.
//   Locking: both operations take the registry's own mutex for their whole body and
//   take no other lock while holding it, so any thread may call them, holding any
//   lock of its own.
//
// CLanesFile ("LanesInfo.dat" in the working folder unless a test gives another path)
//   One line per lane: id, one FS byte (0x1C), description, CR LF. Reading stops at
//   the end of the file or at the first empty line; a line without FS is skipped;
//   the id is the text before the first FS, the description all after it (further FS
//   bytes included); when an id stands on two lines the later one wins; LF alone is
//   accepted as a line end. A missing or unopenable file reads as no lanes.
//   Writes replace the whole file atomically, so a crash leaves the old file or the
//   new one. A failure is logged ("Exception Reading Lanes File %d" or "Exception
//   Writing Lanes File %d" with the file error's cause code) and answered false.
//   No lock: the object holds only its path and is used on the UI thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/vocab/text_helpers.h"
#include "platform/sync/mutex.h"
#include "platform/sync/thread_annotations.h"

class CLogger;

class CLaneRegistry {
 public:
  CLaneRegistry() = default;
  CLaneRegistry(const CLaneRegistry&) = delete;
  CLaneRegistry& operator=(const CLaneRegistry&) = delete;
  virtual ~CLaneRegistry() = default;

  bool Register(const std::string& laneId) EXCLUDES(m_Lock);
  bool SetMaximum(int count) EXCLUDES(m_Lock);

 private:
  platform::Mutex m_Lock;
  std::vector<std::string> m_LaneIds GUARDED_BY(m_Lock);  // only ever added to
  int m_MaxLanes GUARDED_BY(m_Lock) = 0;
};

// The process's lane registry.
extern CLaneRegistry g_LaneRegistry;

// The lanes file's name in the working folder.
inline constexpr char kLanesFileName[] = "LanesInfo.dat";

// The cause codes of a file error, as the log lines report them.
enum LaneFileCause : int {
  kFileCauseNone = 0,
  kFileCauseGeneric = 1,
  kFileCauseNotFound = 2,
  kFileCauseBadPath = 3,
  kFileCauseTooManyOpenFiles = 4,
  kFileCauseAccessDenied = 5,
  kFileCauseInvalidFile = 6,
  kFileCauseHardIO = 10,
  kFileCauseSharingViolation = 11,
  kFileCauseDiskFull = 13,
};
// The cause code of a platform error code (platform::GetLastError numbering).
int FileCauseFromError(uint32_t code);

class CLanesFile {
 public:
  // logger nullptr: the process's logger (GetLogger), looked up at each failure.
  explicit CLanesFile(std::string path = kLanesFileName, CLogger* logger = nullptr);

  // Empties lanes, then fills it from the file. False only when the file exists but
  // could not be read (logged); lanes is then empty.
  bool Read(TextMap& lanes) const;
  // Replaces the file with one line per entry, in the map's order. False (logged)
  // when it could not be written; the previous file is then unchanged.
  bool Write(const TextMap& lanes) const;
  // Writes an empty map: the file exists and is empty.
  bool Clear() const { return Write(TextMap()); }

  const std::string& Path() const { return m_Path; }

  // The file's bytes for lanes. A CR or LF inside an id or a description would
  // split its line (and an empty line would end the file), so each is written as a
  // blank.
  static std::string Encode(const TextMap& lanes);
  // Fills lanes (emptied first) from the file's bytes by the rules above.
  static void Decode(const std::string& bytes, TextMap& lanes);

 private:
  CLogger& Logger() const;

  std::string m_Path;
  CLogger* m_Logger;
};
