// The application's profile: named sections of named entries whose values are texts
// (any bytes), kept in one file. It stands in for the per-user registry key
// "Quillon Applications" under which the program keeps its settings.
//
// Every call reads the file afresh, so two Profile objects on one path (a process
// restarted in a test, say) see each other's writes. A write reads the file, changes
// one entry and replaces the file whole with ReplaceFile (temporary file, fsync,
// rename): a crash or a failed write leaves the old file or the new one, never a
// mixture. A write refuses to go ahead when the existing file cannot be read, so it
// never drops the other entries.
//
// File format, one record a line: "[" section "]" opens a section, and
// entry "=" value adds an entry to it. In names and values every byte below 0x20 or
// above 0x7E and each of % = ; [ ] # is written as "%" and two upper-case hex digits,
// so any bytes parse back exactly. Lines that are empty, start with '#', or cannot be
// decoded are ignored when read (and dropped by the next write). Names are
// case-sensitive.
//
// Thread-safe: each operation takes the object's own mutex for the whole
// read-change-write and takes no other lock. Writers in other processes are not
// locked out; the program runs one instance at a time.
#pragma once

#include <map>
#include <string>

#include "platform/sync/mutex.h"

namespace platform::fs {

class Profile {
 public:
  // The profile file at path; its folder is created by the first write when missing.
  explicit Profile(std::string path);
  Profile(const Profile&) = delete;
  Profile& operator=(const Profile&) = delete;

  const std::string& Path() const { return path_; }

  // The entry's value into *value. False (value emptied) when the entry, its section
  // or the file is missing, or the file cannot be read.
  bool Read(const std::string& section, const std::string& entry, std::string* value) const EXCLUDES(mu_);
  // The entry's value, or fallback when Read fails.
  std::string GetString(const std::string& section, const std::string& entry,
                        const std::string& fallback = std::string()) const EXCLUDES(mu_);
  // The entry read as a decimal int, or fallback when it is missing or not a number.
  int GetInt(const std::string& section, const std::string& entry, int fallback) const EXCLUDES(mu_);

  // Sets the entry (creating section and file as needed). False, leaving the file as
  // it was, when the file cannot be read or replaced; the platform's last error says
  // why.
  bool WriteString(const std::string& section, const std::string& entry,
                   const std::string& value) EXCLUDES(mu_);
  bool WriteInt(const std::string& section, const std::string& entry, int value) EXCLUDES(mu_);
  // Removes the entry, and its section when that becomes empty. True when the entry is
  // gone afterwards (also when it never existed).
  bool DeleteEntry(const std::string& section, const std::string& entry) EXCLUDES(mu_);

  // The file's text for a set of sections, and its reading back. Exposed for tests.
  using Sections = std::map<std::string, std::map<std::string, std::string>>;
  static std::string Encode(const Sections& sections);
  static Sections Decode(const std::string& text);

 private:
  // Reads the whole profile. False when the file exists but cannot be read; a
  // missing file (or folder) is an empty profile.
  bool Load(Sections* sections) const REQUIRES(mu_);
  bool Store(const Sections& sections) REQUIRES(mu_);

  const std::string path_;
  mutable platform::Mutex mu_;
};

// The folder of the process's profile: $KVR_HOME when set and not empty, else
// $XDG_CONFIG_HOME/"Quillon Applications", else $HOME/.config/"Quillon Applications".
std::string ProfileFolder();

// The process's profile, at ProfileFolder() + "/profile", resolved on the first call
// (later changes of the environment do not move it). Never destroyed, so it can be
// used at any moment of the process.
Profile& ProcessProfile();

}  // namespace platform::fs
