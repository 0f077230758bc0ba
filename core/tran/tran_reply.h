// The replies to answered requests: the RStream document of a host answer (a
// CmdResponse and a TranResponse or admin block), encrypted with the request's own key
// block and framed (CElavonTran::BuildResponse and its builders, declared with the
// record), and the element writer that every RStream block uses.
//
// The builders work on one record, which no other thread sees, and take no lock of
// their own. What they read outside the record comes from a CReplyContext: the
// merchant parameters (by default a copy of g_ParamStore's settings, taken under the
// store's mutex), the logger (by default GetLogger(), whose queue lock is the only
// other lock taken) and the folder under which the EMV parameter report is written.
// Encryption goes through g_CryptoEngine and takes its lock.
#pragma once

#include <string>

class CLogger;
class CParamSettings;

// What the reply builders read outside the record. The default context is the
// process's own; tests inject theirs. Nothing here is owned: what the pointers name
// must outlive every builder call that is given the context.
class CReplyContext {
 public:
  // The merchant parameters; nullptr: a copy of g_ParamStore's current settings.
  const CParamSettings* m_Settings = nullptr;
  // The logger of the "Response Built" lines and of the report's failures;
  // nullptr: GetLogger().
  CLogger* m_Logger = nullptr;
  // The folder in which "PARAM_LOADS" lies; empty: the working folder.
  std::string m_ReportFolder;

  // A copy of *m_Settings, or of the parameter store's current settings.
  CParamSettings Settings() const;
  CLogger& Logger() const;
};

// One element of an RStream block: the empty text when value (less its ETX bytes) is
// empty; else indent tabs, "<" name ">", the value without ETX, "</" name ">", and
// "\r\n" when lineEnd is set. The value is written with XmlEscape (client_reply.h).
std::string XmlElement(const std::string& name, const std::string& value, int indent,
                       bool lineEnd);

// A text of 'X' characters as long as text.
std::string MaskAllChars(const std::string& text);
