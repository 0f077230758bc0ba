// The one process-wide holder of the current merchant parameters (g_ParamStore).
//
// CParamStore keeps the current CParamSettings, which every module reads through a
// copy, and their saved text ("1;" then each value and ";", at most 500 characters),
// which survives restarts in the profile (section "Settings", entry "ParamSettings").
// A save replaces the saved text whole or not at all.
//
// Locking: every public operation takes the store's own mutex and holds it for the
// whole operation, the profile write included, so readers wait for a running Replace.
// While holding it the store takes only the profile's own mutex (never the logger's):
// log lines are written after the mutex is released. The profile and the logger are
// not owned and must outlive the store.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "core/params/param_settings.h"
#include "platform/sync/mutex.h"

class CLogger;
namespace platform::fs {
class Profile;
}

// The failure of the last operation of the store that failed: a code and its text.
class CStoreError {
 public:
  CStoreError() = default;
  CStoreError(int code, std::string text) : m_Code(code), m_Text(std::move(text)) {}
  int GetCode() const { return m_Code; }
  std::string GetText() const { return m_Text; }

 private:
  int m_Code = 0;
  std::string m_Text;
};

// Codes of CStoreError.
inline constexpr int kStoreErrorOverflow = 10002;        // "Param Settings would overflow"
inline constexpr int kStoreErrorSemicolon = 10003;       // "Param Settings value contains ';'"
inline constexpr int kStoreErrorIncomplete = 10004;      // "Param Settings incomplete"
inline constexpr int kStoreErrorWriteFailed = 10005;     // "Param Settings could not be saved"
inline constexpr size_t kMaxSavedTextLength = 500;

// Where the saved text lives in the profile.
inline constexpr char kParamProfileSection[] = "Settings";
inline constexpr char kParamProfileEntry[] = "ParamSettings";

class CParamStore {
 public:
  // The process's profile (platform::fs::ProcessProfile) and logger (GetLogger),
  // both looked up at first use, not at construction.
  CParamStore();
  // For tests: the given profile and logger (nullptr: the process's).
  explicit CParamStore(platform::fs::Profile* profile, CLogger* logger = nullptr);
  CParamStore(const CParamStore&) = delete;
  CParamStore& operator=(const CParamStore&) = delete;

  // A copy of the current settings. Before LoadAtStartup they are empty (version "1").
  CParamSettings GetSettings() const EXCLUDES(m_Lock);

  // Saves settings (see Save below); only when that succeeds do they become current.
  // Returns the result of the save.
  bool Replace(const CParamSettings& settings) EXCLUDES(m_Lock);

  // The one start-up load: the current settings become the defaults, then whatever
  // the saved text holds (see Load); a saved text that cannot be parsed is replaced
  // by the defaults. The dump of the result is logged as one record. Always true.
  bool LoadAtStartup() EXCLUDES(m_Lock);

  // Clears the saved text, then saves the defaults; when that succeeds they become
  // current. Returns the result of the save.
  bool ResetLocked() EXCLUDES(m_Lock);

  // A copy of the last failure (code 0 and an empty text while none happened). A
  // later success does not clear it.
  CStoreError GetLastError() const EXCLUDES(m_Lock);

  // The saved text as the profile holds it (empty when nothing was ever saved).
  std::string GetSavedText() const EXCLUDES(m_Lock);

 private:
  // Each of these runs with m_Lock held by the caller.
  //
  // Saves settings when their saved form is at most 500 characters, every parameter
  // FIRST_PARM..LAST_PARM is present and no value holds ';' (a ';' or a missing entry
  // would shift every later value when the text is read back). Otherwise, or when
  // the profile cannot be written, sets the last error and returns false; the saved
  // text stays as it was.
  bool Save(const CParamSettings& settings) REQUIRES(m_Lock);
  // Parses the saved text into the current settings; on failure, Reset. Always true.
  bool Load() REQUIRES(m_Lock);
  bool Reset() REQUIRES(m_Lock);

  // Log lines that operations queue while holding m_Lock, written once it is released.
  void LogPending(std::vector<std::string> lines) const EXCLUDES(m_Lock);
  platform::fs::Profile& Profile() const;
  CLogger& Logger() const;

  mutable platform::Mutex m_Lock;
  platform::fs::Profile* const m_Profile;
  CLogger* const m_Logger;
  CStoreError m_LastError GUARDED_BY(m_Lock);
  CParamSettings m_Current GUARDED_BY(m_Lock);
  std::vector<std::string> m_Log GUARDED_BY(m_Lock);
};

// The process's parameter store.
extern CParamStore g_ParamStore;

// How CheckConfiguration shows a message: ShowTimedMessage's signature (text, log,
// silent, time-out in ms).
using ConfigurationMessageFn = void (*)(const std::string& text, bool log, bool silent,
                                        int timeoutMs);

// Tells whether parameters have ever been received: false, after showing
// "Configuration not Set! - Use Setup | Merchant Parameters", when the store's
// settings equal the defaults; true when they differ and carry the default version;
// otherwise false after "Problem reading Configuration File - Use Setup | Merchant
// Parameters". Messages are logged, shown unless silent, with no time-out. Takes the
// store's mutex through GetSettings only.
bool CheckConfiguration(const CParamStore& store, bool silent, ConfigurationMessageFn show);
