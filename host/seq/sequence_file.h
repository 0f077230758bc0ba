// The host sequence number, kept in a one-line text file so that it survives
// restarts. Every access is serialised by the object's own lock; callers log the
// message text it hands back after the call. The only other lock taken while the
// file lock is held is the logger's queue lock, when a write fails and its cause is
// logged (the queue takes no other lock under its own). Every write replaces the
// file atomically: a crash leaves the previous number or the new one, never an empty
// or torn file. The file is its owner's only (0600); a wider file left by an older
// version is made so at its next write.
#pragma once

#include <string>

#include "platform/sync/mutex.h"

class CSequenceFile {
 public:
  // The file lives in the working folder unless a test gives another path.
  explicit CSequenceFile(std::string path = "RudavarUrizNum.dat");
  CSequenceFile(const CSequenceFile&) = delete;
  CSequenceFile& operator=(const CSequenceFile&) = delete;
  virtual ~CSequenceFile() = default;

  // The stored number (0 to 9949; 0 when it cannot be read), written back to the
  // file. Messages are put in *messages (emptied first).
  int Read(std::string* messages) EXCLUDES(m_Lock);
  // Stores the number when it is 0 to 9949 (9950 wraps to 0); messages in *messages.
  void Write(const std::string& number, std::string* messages) EXCLUDES(m_Lock);

 private:
  // Creates the file holding 0 when it is missing. False (message added) on failure.
  bool EnsureExists(std::string* messages) REQUIRES(m_Lock);
  bool Store(int value, std::string* messages) REQUIRES(m_Lock);

  const std::string m_Path;
  platform::Mutex m_Lock;
};

// The process-wide sequence file.
extern CSequenceFile g_SequenceFile;
