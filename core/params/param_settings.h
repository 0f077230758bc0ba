// The merchant parameters: 22 numbered texts (FIRST_PARM to LAST_PARM), each with a
// name and a format that says which texts are valid, together with their defaults,
// the saved text form ("1;" then every value and ";"), its parser, and the dump that
// the start-up writes to the log.
//
// Every class here is a plain value: copied by value, compared field by field, with
// no lock and no shared state. A copy may be read on any thread; one object must not
// be changed on one thread while another thread uses it.
#pragma once

#include <map>
#include <string>

// Numbers of the merchant parameters, as every module reads them.
enum ParmNumber : int {
  kParmNumParms = 0,                // "NUMPARMS"
  kParmAssignedBin = 1,             // "ASSIGNED BIN"
  kParmMerchantTerminalId = 2,      // "MERCHANT/TERMINAL ID"
  kParmMerchantCategory = 3,        // "MERCHANT CATEGORY"
  kParmECheck = 4,                  // "ECHECK"
  kParmDuplicateCheck = 5,          // "DUPLICATE CHECK"
  kParmUseCorvPassword = 6,         // "USE CORV CLIENT/SERVER PASSWORD"
  kParmCorvPassword = 7,            // "CORV CLIENT/SERVER PASSWORD"
  kParmDoNotConnectOnStartup = 8,   // "DO NOT CONNECT TO HOST ON STARTUP"
  kParmVerifySslCertificate = 9,    // "VERIFY SSL CERTIFICATE"
  kParmGoToTrayWhenMinimized = 10,  // "GO TO SYSTEM TRAY WHEN MINIMIZED"
  kParmTransportMethod = 11,        // "TRANSPORT METHOD"
  kParmModemComPort = 12,           // "MODEM COM PORT"
  kParmDialPrefix = 13,             // "DIAL PREFIX"
  kParmAuthorizationPhone = 14,     // "AUTHORIZATION PHONE NUMBER"
  kParmIpConnectTimeout = 15,       // "IP CONNECT TIMEOUT"
  kParmEmvSupport = 16,             // "EMV SUPPORT"
  kParmEmvCvm = 17,                 // "EMV CVM"
  kParmPartnerName = 18,            // "PARTNER NAME"
  kParmNumberOfLanes = 19,          // "NUMBER OF LANES"
  kParmLaneSpecial = 20,            // "LANE SPECIAL"
  kParmLaneIds = 21,                // "LANE IDS"
};

// The default of "AUTHORIZATION PHONE NUMBER": eleven digits.
inline constexpr char kDefaultAuthorizationPhone[] = "18005550199";

// The format of one parameter: a code ("NS1" digits, "YN1" exactly "Y" or "N", "AN1"
// letters and digits, "AN2" bytes 0x20..0x7F; any other code accepts nothing) and the
// length bounds, which are tested for "NS1", "AN1" and "AN2" only.
class CParamFormat {
 public:
  CParamFormat() = default;  // an empty code: every value is invalid
  CParamFormat(std::string code, int min, int max);
  CParamFormat(const CParamFormat&) = default;
  CParamFormat& operator=(const CParamFormat&) = default;
  virtual ~CParamFormat() = default;

  bool Validate(const std::string& text) const;
  // "0" repeated min times (at least once) for "NS1" and "AN1"; for "AN2" "0" min
  // times or the empty text when min is 0; "N" for "YN1"; else the empty text.
  std::string DefaultValue() const;

  const std::string& GetCode() const { return m_Code; }
  int GetMin() const { return m_Min; }
  int GetMax() const { return m_Max; }
  bool IsLengthTested() const { return m_LengthTested; }

 private:
  bool LengthInRange(const std::string& text) const;

  std::string m_Code;
  int m_Min = 0;
  int m_Max = 0;
  bool m_LengthTested = false;
};

// One parameter: name, value text and format. The constructor stores the value
// unvalidated; SetValue stores only what the format accepts.
class CParamEntry {
 public:
  CParamEntry() = default;
  CParamEntry(const CParamFormat& format, std::string name, std::string value);
  CParamEntry(const CParamEntry&) = default;
  CParamEntry& operator=(const CParamEntry&) = default;
  virtual ~CParamEntry() = default;

  bool IsValid(const std::string& text) const { return m_Format.Validate(text); }
  // Stores text when the format accepts it; a rejected text leaves the value as it
  // was. Returns the verdict.
  bool SetValue(const std::string& text);

  const std::string& GetName() const { return m_Name; }
  const std::string& GetValue() const { return m_Value; }
  const CParamFormat& GetFormat() const { return m_Format; }

 private:
  std::string m_Name;
  std::string m_Value;
  CParamFormat m_Format;
};

// The parameters by number.
class CParamMap {
 public:
  CParamMap() = default;
  CParamMap(const CParamMap&) = default;
  CParamMap& operator=(const CParamMap&) = default;
  virtual ~CParamMap() = default;

  // A copy of parameter n's value, or the empty text when there is no parameter n.
  std::string GetParamValue(int n) const;
  // The same number of entries, and for each entry here one under the same number
  // there with equal format (code, min, max, length test), name and value.
  bool IsEqual(const CParamMap& other) const;

  // Inserts or replaces parameter n.
  void SetAt(int n, const CParamEntry& entry);
  // A copy of parameter n into *entry; false when there is none.
  bool Lookup(int n, CParamEntry* entry) const;
  // CParamEntry::SetValue on parameter n; false when there is none or the value is
  // rejected.
  bool SetParamValue(int n, const std::string& text);
  bool RemoveKey(int n);
  void RemoveAll() { m_Entries.clear(); }
  int GetCount() const { return static_cast<int>(m_Entries.size()); }
  bool Contains(int n) const { return m_Entries.count(n) != 0; }

 private:
  std::map<int, CParamEntry> m_Entries;
};

// One complete set of parameters and its version ("1", the only one there is).
class CParamSettings {
 public:
  // An empty set of version "1".
  CParamSettings() = default;
  CParamSettings(const CParamSettings&) = default;
  CParamSettings& operator=(const CParamSettings&) = default;
  virtual ~CParamSettings() = default;

  // Version "1" and the 22 parameters with their defaults. Always true.
  bool ResetToDefaults();
  // "1;" then, for each number FIRST_PARM..LAST_PARM held, the value and ";". Values
  // are not escaped: a value holding ';' cannot be read back (the store refuses it).
  std::string Serialize() const;
  // Resets to the defaults, then reads a saved text: false when its first field is not
  // the version; otherwise each value its format accepts replaces the default of its
  // parameter (field k is parameter k - 2; fields after the 23rd are ignored).
  bool Parse(const std::string& text);
  // "Param Settings:\n", "Ver=1\n", then per parameter
  // "No.<n> <name>.<code>.<min>.<max>.<value>\n". The value of "CORV CLIENT/SERVER
  // PASSWORD" is written as one 'X' per character: the dump goes to the log.
  std::string Dump() const;

  CParamMap GetParams() const { return m_Params; }
  // Replaces every parameter with those of params; the version is untouched.
  void SetParams(const CParamMap& params) { m_Params = params; }
  std::string GetVersion() const { return m_Version; }

 private:
  CParamMap m_Params;
  std::string m_Version = "1";
};
