// The EMV parameters that a host transaction record carries: the certification
// authorities' public keys (CEmvCaKey) and the per-scheme parameter records
// (CEmvAidEntry), held together in CEmvParamTables, plus the defaults of the five
// supported schemes, which depend on the merchant parameters EMV SUPPORT and EMV CVM.
//
// Every class here is a plain value with no lock: each record owns its own tables,
// and a copy never shares anything with its source. One object must not be changed on
// one thread while another uses it. CEmvOptions::Current is the only function that
// touches shared state: it takes a copy of the parameter store's settings under the
// store's own mutex.
#pragma once

#include <array>
#include <list>
#include <string>
#include <string_view>

class CParamSettings;

// The registered application provider identifiers of the supported schemes.
inline constexpr std::string_view RID_VISA = "A000000003";
inline constexpr std::string_view RID_MASTERCARD = "A000000004";
inline constexpr std::string_view RID_AMEX = "A000000025";
inline constexpr std::string_view RID_DISCOVER = "A000000152";
inline constexpr std::string_view RID_JCB = "A000000065";
// In the order the defaults are looked up and the AID list is built.
inline constexpr std::array kEmvRids = {RID_VISA, RID_MASTERCARD, RID_AMEX, RID_DISCOVER,
                                        RID_JCB};

// One certification-authority public key as the host sends it.
class CEmvCaKey {
 public:
  CEmvCaKey() = default;
  CEmvCaKey(const CEmvCaKey&) = default;
  CEmvCaKey(CEmvCaKey&&) = default;
  CEmvCaKey& operator=(const CEmvCaKey&) = default;
  CEmvCaKey& operator=(CEmvCaKey&&) = default;
  virtual ~CEmvCaKey() = default;

  std::string m_RID;       // 10 hex characters
  std::string m_Index;     // 2 hex characters
  std::string m_Modulus;   // hex
  std::string m_Exponent;  // hex
  std::string m_Check;     // the key's hash value, hex
  std::string m_ExpDate;
};

// The parameter record of one scheme (24 texts).
class CEmvAidEntry {
 public:
  CEmvAidEntry() = default;
  CEmvAidEntry(const CEmvAidEntry&) = default;
  CEmvAidEntry(CEmvAidEntry&&) = default;
  CEmvAidEntry& operator=(const CEmvAidEntry&) = default;
  CEmvAidEntry& operator=(CEmvAidEntry&&) = default;
  virtual ~CEmvAidEntry() = default;

  // Sets all 24 fields to the empty text.
  void Reset();

  std::string m_RID;
  // Contact applications: comma-separated "AID.digit.code.code.label" entries.
  std::string m_AidList;
  std::string m_FloorLimit;   // cents
  std::string m_RSThreshold;  // cents
  std::string m_TargetRSPercent;
  std::string m_MaxTargetRSPercent;
  std::string m_FallBackIndicator;
  std::string m_TACDefault;
  std::string m_TACDenial;
  std::string m_TACOnline;
  std::string m_DefaultDDOL;
  std::string m_DefaultTDOL;  // hex, or "NotUsed"
  std::string m_TerminalCapabilities;
  std::string m_AdditionalCapabilities;
  std::string m_Merchant;
  // Contactless applications: comma-separated "AID.number.number" entries.
  std::string m_CtlsAidList;
  std::string m_CtlsFloorLimit;
  std::string m_CtlsTranLimit;
  std::string m_CtlsCVMLimit;
  std::string m_CtlsTACDefault;
  std::string m_CtlsTACDenial;
  std::string m_CtlsTACOnline;
  std::string m_CtlsTerminalCapabilities;
  std::string m_CtlsAdditionalCapabilities;
};

using CEmvCaKeyList = std::list<CEmvCaKey>;
using CEmvAidList = std::list<CEmvAidEntry>;

// The CA-key list and the AID list of one record, both held by value. Copying copies
// every key and every AID record in order (assignment to itself changes nothing).
class CEmvParamTables {
 public:
  CEmvParamTables() = default;
  CEmvParamTables(const CEmvParamTables& other);
  CEmvParamTables(CEmvParamTables&& other) noexcept;
  CEmvParamTables& operator=(const CEmvParamTables& other);
  CEmvParamTables& operator=(CEmvParamTables&& other) noexcept;
  virtual ~CEmvParamTables() = default;

  // Reads one CA key from consecutive fields and appends it to the CA-key list: RID
  // (10 characters), Index (2), a 4-digit length and the Modulus, a 2-digit length and
  // the Exponent, a 2-digit length and the Check; when text remains, a 2-digit length
  // that must be 8 and an eight-character date D, stored as D[6..7] D[4..5] D[2..3]
  // (with another length the date is not read). Fields cut short by the end of the
  // text are kept as far as they go. Always true.
  bool ParseCaKeyRecord(const std::string& text);
  // The AID record whose RID is the first 10 characters of text gets FloorLimit :=
  // text[10..18] and RSThreshold := text[19..27]; without such a record nothing
  // changes. Always true.
  bool SetAidLimits(const std::string& text);
  // The same lookup; FallBackIndicator := text[10]. Always true.
  bool SetAidFallBack(const std::string& text);

  CEmvCaKeyList m_CaKeys;
  CEmvAidList m_AidEntries;
};

// The two merchant parameters the defaults depend on, as integers.
class CEmvOptions {
 public:
  CEmvOptions() = default;
  CEmvOptions(int emvSupport, int emvCvm) : m_EmvSupport(emvSupport), m_EmvCvm(emvCvm) {}

  // EMV SUPPORT and EMV CVM of settings, through ParamTextToInt.
  static CEmvOptions FromSettings(const CParamSettings& settings);
  // The same from a copy of the current settings of g_ParamStore (takes its mutex).
  static CEmvOptions Current();

  // EMV SUPPORT is 2 and EMV CVM is 0: the debit applications are offered.
  bool IsDebitEnabled() const { return m_EmvSupport == 2 && m_EmvCvm == 0; }
  // "E008C8" for EMV CVM 2, "E028C8" for 1, else "E0F8C8".
  std::string CapabilitiesA() const;
  // "E008C8" for EMV CVM 2, "E028C8" for 1, else "E0B8C8".
  std::string CapabilitiesB() const;

  int m_EmvSupport = 0;
  int m_EmvCvm = 0;
};

// Fills entry with the defaults of rid (exact match with one of the five RIDs) under
// options and returns true; any other rid leaves entry as it was. Always true.
bool LoadEmvAidDefaults(const CEmvOptions& options, const std::string& rid,
                        CEmvAidEntry& entry);
// Empties list and appends the defaults of the five RIDs, Visa first and JCB last.
void BuildEmvAidList(const CEmvOptions& options, CEmvAidList& list);
