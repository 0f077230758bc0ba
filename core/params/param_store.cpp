#include "core/params/param_store.h"

#include <cstdint>
#include <utility>

#include "core/log/logger.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"
#include "platform/fs/profile.h"
#include "platform/text/format.h"

CParamStore g_ParamStore;

namespace {

constexpr char kOverflowText[] = "Param Settings would overflow";
constexpr char kSemicolonText[] = "Param Settings value contains ';'";
constexpr char kIncompleteText[] = "Param Settings incomplete";
constexpr char kWriteFailedText[] = "Param Settings could not be saved";

constexpr char kNotSetText[] = "Configuration not Set! - Use Setup | Merchant Parameters";
constexpr char kProblemText[] = "Problem reading Configuration File - Use Setup | Merchant Parameters";

}  // namespace

CParamStore::CParamStore() : CParamStore(nullptr, nullptr) {}

CParamStore::CParamStore(platform::fs::Profile* profile, CLogger* logger)
    : m_Profile(profile), m_Logger(logger) {}

platform::fs::Profile& CParamStore::Profile() const {
  return m_Profile != nullptr ? *m_Profile : platform::fs::ProcessProfile();
}

CLogger& CParamStore::Logger() const { return m_Logger != nullptr ? *m_Logger : GetLogger(); }

void CParamStore::LogPending(std::vector<std::string> lines) const {
  for (const std::string& line : lines) Logger().LogLine("%s", line.c_str());
}

CParamSettings CParamStore::GetSettings() const {
  platform::MutexLock lock(m_Lock);
  return m_Current;
}

CStoreError CParamStore::GetLastError() const {
  platform::MutexLock lock(m_Lock);
  return m_LastError;
}

std::string CParamStore::GetSavedText() const {
  platform::MutexLock lock(m_Lock);
  return Profile().GetString(kParamProfileSection, kParamProfileEntry);
}

bool CParamStore::Replace(const CParamSettings& settings) {
  std::vector<std::string> log;
  bool saved;
  {
    platform::MutexLock lock(m_Lock);
    saved = Save(settings);
    if (saved) m_Current = settings;
    log.swap(m_Log);
  }
  LogPending(std::move(log));
  return saved;
}

bool CParamStore::LoadAtStartup() {
  std::vector<std::string> log;
  std::string dump;
  {
    platform::MutexLock lock(m_Lock);
    m_Current.ResetToDefaults();
    Load();
    dump = m_Current.Dump();
    log.swap(m_Log);
  }
  log.push_back(std::move(dump));
  LogPending(std::move(log));
  return true;
}

bool CParamStore::ResetLocked() {
  std::vector<std::string> log;
  bool reset;
  {
    platform::MutexLock lock(m_Lock);
    reset = Reset();
    log.swap(m_Log);
  }
  LogPending(std::move(log));
  return reset;
}

bool CParamStore::Save(const CParamSettings& settings) {
  const std::string text = settings.Serialize();
  if (text.size() > kMaxSavedTextLength) {
    m_LastError = CStoreError(kStoreErrorOverflow, kOverflowText);
    return false;
  }
  // The saved form has no escaping: a ';' in a value, or a missing parameter, would
  // move every later value into the wrong parameter at the next start.
  const CParamMap params = settings.GetParams();
  for (int n = FIRST_PARM; n <= LAST_PARM; ++n) {
    CParamEntry entry;
    if (!params.Lookup(n, &entry)) {
      m_LastError = CStoreError(kStoreErrorIncomplete, kIncompleteText);
      m_Log.push_back(FormatString("Param Settings not saved: parameter %d is missing", n));
      return false;
    }
    if (entry.GetValue().find(';') != std::string::npos) {
      m_LastError = CStoreError(kStoreErrorSemicolon, kSemicolonText);
      // The value itself stays out of the log: it may be the client/server password.
      m_Log.push_back(FormatString("Param Settings not saved: the value of parameter %d (%s) contains ';'",
                                   n, entry.GetName().c_str()));
      return false;
    }
  }
  if (!Profile().WriteString(kParamProfileSection, kParamProfileEntry, text)) {
    const uint32_t code = platform::GetLastError();
    m_LastError = CStoreError(kStoreErrorWriteFailed, kWriteFailedText);
    m_Log.push_back(FormatString("Param Settings could not be saved to \"%s\" (error %u)",
                                 Profile().Path().c_str(), code));
    return false;
  }
  return true;
}

bool CParamStore::Load() {
  const std::string text = Profile().GetString(kParamProfileSection, kParamProfileEntry);
  if (!m_Current.Parse(text)) Reset();
  return true;
}

bool CParamStore::Reset() {
  Profile().DeleteEntry(kParamProfileSection, kParamProfileEntry);
  CParamSettings defaults;
  defaults.ResetToDefaults();
  if (!Save(defaults)) return false;
  m_Current = defaults;
  return true;
}

bool CheckConfiguration(const CParamStore& store, bool silent, ConfigurationMessageFn show) {
  CParamSettings defaults;
  defaults.ResetToDefaults();
  const CParamSettings current = store.GetSettings();
  if (defaults.GetParams().IsEqual(current.GetParams()) &&
      defaults.GetVersion() == current.GetVersion()) {
    if (show != nullptr) show(kNotSetText, true, silent, 0);
    return false;
  }
  if (current.GetVersion() == defaults.GetVersion()) return true;
  if (show != nullptr) show(kProblemText, true, silent, 0);
  return false;
}
