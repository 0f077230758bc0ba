#include "core/tran/emv_params.h"

#include <utility>

#include "core/params/param_settings.h"
#include "core/params/param_store.h"
#include "core/tran/tran_params.h"
#include "core/vocab/text_helpers.h"

namespace {

// Settings shared by every scheme.
constexpr char kFloorLimit[] = "0";
constexpr char kRSThreshold[] = "0";
constexpr char kTargetRSPercent[] = "20";
constexpr char kMaxTargetRSPercent[] = "60";
constexpr char kFallBackIndicator[] = "Y";
constexpr char kDefaultDDOL[] = "9F3704";
constexpr char kMerchant[] = "Merchant";
constexpr char kAdditionalCapabilities[] = "F000F0A001";
constexpr char kCtlsCapabilities[] = "E02888";
constexpr char kCtlsFloorLimit[] = "000";
constexpr char kCtlsTranLimit[] = "000";
constexpr char kCtlsCVMLimit[] = "2500";
constexpr char kStandardTDOL[] = "9F02065F2A029A039C0195059F3704";

// Which capability text a field of a scheme takes.
enum class Capabilities { kA, kB, kContactless };

// The fields that differ between schemes.
struct SchemeDefaults {
  std::string_view rid;
  const char* aidList;
  const char* debitAids;  // appended (after a ',') when debit is enabled; nullptr: none
  const char* tacDefault;
  const char* tacDenial;
  const char* tacOnline;
  const char* defaultTDOL;
  Capabilities terminalCapabilities;
  const char* ctlsAidList;
  const char* ctlsTacDefault;
  const char* ctlsTacDenial;
  const char* ctlsTacOnline;
  Capabilities ctlsTerminalCapabilities;
};

constexpr SchemeDefaults kSchemes[] = {
    {RID_VISA, "A0000000031010.2.008C.0096.VISA,A0000000032010.2.008C.0096.VISA ELECTRON",
     "A0000000980840.2.008C.0096.DEBIT VISA", "DC4000A800", "0010000000", "DC4004F800",
     "NotUsed", Capabilities::kA, "A0000000031010.6.192", "DC4000A800", "0010000000",
     "DC4004F800", Capabilities::kContactless},
    {RID_MASTERCARD, "A0000000041010.2.0002.0002.MASTERCARD",
     "A0000000042203.2.0002.0002.DEBIT MASTERCARD", "FC50B8A000", "0000000000", "FC50B8F800",
     kStandardTDOL, Capabilities::kA, "A0000000041010.1.193", "FC50808800", "0000000000",
     "FC50808800", Capabilities::kContactless},
    {RID_AMEX, "A00000002501.2.0001.0001.AMEX", nullptr, "C800000000", "0000000000",
     "C800000000", kStandardTDOL, Capabilities::kB, "A00000002501.2.194", "DC50840000",
     "0000000000", "C400000000", Capabilities::kA},
    {RID_DISCOVER, "A0000001523010.2.0001.0001.DISCOVER",
     "A0000001524010.2.0001.0001.DEBIT DISCOVER", "DC00002000", "0010000000", "FCE09CF800",
     kStandardTDOL, Capabilities::kA, "A0000001523010.13.128,A0000003241010.13.128",
     "0000000000", "0000000000", "0000000000", Capabilities::kContactless},
    {RID_JCB, "A0000000651010.2.0200.0120.JCB", nullptr, "FC6024A800", "0010000000",
     "FC60ACF800", kStandardTDOL, Capabilities::kA, "A0000000651010.6.192", "0000000000",
     "0000000000", "0000000000", Capabilities::kA},
};

std::string CapabilityText(const CEmvOptions& options, Capabilities which) {
  switch (which) {
    case Capabilities::kA:
      return options.CapabilitiesA();
    case Capabilities::kB:
      return options.CapabilitiesB();
    case Capabilities::kContactless:
      break;
  }
  return kCtlsCapabilities;
}

// The length written as the leading decimal digits of the count characters of text
// from start (0 when there are none; never negative).
int FieldLength(const std::string& text, int start, int count) {
  int value = 0;
  for (char c : SafeMid(text, start, count)) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
  }
  return value;
}

CEmvAidEntry* FindAid(CEmvAidList& list, const std::string& rid) {
  for (CEmvAidEntry& entry : list) {
    if (entry.m_RID == rid) return &entry;
  }
  return nullptr;
}

}  // namespace

void CEmvAidEntry::Reset() { *this = CEmvAidEntry(); }

CEmvParamTables::CEmvParamTables(const CEmvParamTables& other)
    : m_CaKeys(other.m_CaKeys), m_AidEntries(other.m_AidEntries) {}

CEmvParamTables::CEmvParamTables(CEmvParamTables&& other) noexcept
    : m_CaKeys(std::move(other.m_CaKeys)), m_AidEntries(std::move(other.m_AidEntries)) {}

CEmvParamTables& CEmvParamTables::operator=(const CEmvParamTables& other) {
  if (this != &other) {
    m_CaKeys.clear();
    m_AidEntries.clear();
    m_CaKeys.insert(m_CaKeys.end(), other.m_CaKeys.begin(), other.m_CaKeys.end());
    m_AidEntries.insert(m_AidEntries.end(), other.m_AidEntries.begin(), other.m_AidEntries.end());
  }
  return *this;
}

CEmvParamTables& CEmvParamTables::operator=(CEmvParamTables&& other) noexcept {
  if (this != &other) {
    m_CaKeys = std::move(other.m_CaKeys);
    m_AidEntries = std::move(other.m_AidEntries);
  }
  return *this;
}

bool CEmvParamTables::ParseCaKeyRecord(const std::string& text) {
  CEmvCaKey key;
  key.m_RID = SafeMid(text, 0, 10);
  key.m_Index = SafeMid(text, 10, 2);
  int pos = 12;
  int length = FieldLength(text, pos, 4);
  pos += 4;
  key.m_Modulus = SafeMid(text, pos, length);
  pos += length;
  length = FieldLength(text, pos, 2);
  pos += 2;
  key.m_Exponent = SafeMid(text, pos, length);
  pos += length;
  length = FieldLength(text, pos, 2);
  pos += 2;
  key.m_Check = SafeMid(text, pos, length);
  pos += length;
  if (pos < static_cast<int>(text.size()) && FieldLength(text, pos, 2) == 8) {
    const std::string date = SafeMid(text, pos + 2, 8);
    key.m_ExpDate = SafeMid(date, 6, 2) + SafeMid(date, 4, 2) + SafeMid(date, 2, 2);
  }
  m_CaKeys.push_back(std::move(key));
  return true;
}

bool CEmvParamTables::SetAidLimits(const std::string& text) {
  if (CEmvAidEntry* entry = FindAid(m_AidEntries, SafeMid(text, 0, 10))) {
    entry->m_FloorLimit = SafeMid(text, 10, 9);
    entry->m_RSThreshold = SafeMid(text, 19, 9);
  }
  return true;
}

bool CEmvParamTables::SetAidFallBack(const std::string& text) {
  if (CEmvAidEntry* entry = FindAid(m_AidEntries, SafeMid(text, 0, 10))) {
    entry->m_FallBackIndicator = SafeMid(text, 10, 1);
  }
  return true;
}

CEmvOptions CEmvOptions::FromSettings(const CParamSettings& settings) {
  return CEmvOptions(ReadIntParam(settings, kParmEmvSupport), ReadIntParam(settings, kParmEmvCvm));
}

CEmvOptions CEmvOptions::Current() { return FromSettings(g_ParamStore.GetSettings()); }

std::string CEmvOptions::CapabilitiesA() const {
  if (m_EmvCvm == 2) return "E008C8";
  if (m_EmvCvm == 1) return "E028C8";
  return "E0F8C8";
}

std::string CEmvOptions::CapabilitiesB() const {
  if (m_EmvCvm == 2) return "E008C8";
  if (m_EmvCvm == 1) return "E028C8";
  return "E0B8C8";
}

bool LoadEmvAidDefaults(const CEmvOptions& options, const std::string& rid,
                        CEmvAidEntry& entry) {
  for (const SchemeDefaults& scheme : kSchemes) {
    if (rid != scheme.rid) continue;
    entry.Reset();
    entry.m_RID = std::string(scheme.rid);
    entry.m_AidList = scheme.aidList;
    if (scheme.debitAids != nullptr && options.IsDebitEnabled()) {
      entry.m_AidList += ',';
      entry.m_AidList += scheme.debitAids;
    }
    entry.m_FloorLimit = kFloorLimit;
    entry.m_RSThreshold = kRSThreshold;
    entry.m_TargetRSPercent = kTargetRSPercent;
    entry.m_MaxTargetRSPercent = kMaxTargetRSPercent;
    entry.m_FallBackIndicator = kFallBackIndicator;
    entry.m_TACDefault = scheme.tacDefault;
    entry.m_TACDenial = scheme.tacDenial;
    entry.m_TACOnline = scheme.tacOnline;
    entry.m_DefaultDDOL = kDefaultDDOL;
    entry.m_DefaultTDOL = scheme.defaultTDOL;
    entry.m_TerminalCapabilities = CapabilityText(options, scheme.terminalCapabilities);
    entry.m_AdditionalCapabilities = kAdditionalCapabilities;
    entry.m_Merchant = kMerchant;
    entry.m_CtlsAidList = scheme.ctlsAidList;
    entry.m_CtlsFloorLimit = kCtlsFloorLimit;
    entry.m_CtlsTranLimit = kCtlsTranLimit;
    entry.m_CtlsCVMLimit = kCtlsCVMLimit;
    entry.m_CtlsTACDefault = scheme.ctlsTacDefault;
    entry.m_CtlsTACDenial = scheme.ctlsTacDenial;
    entry.m_CtlsTACOnline = scheme.ctlsTacOnline;
    entry.m_CtlsTerminalCapabilities = CapabilityText(options, scheme.ctlsTerminalCapabilities);
    entry.m_CtlsAdditionalCapabilities = kAdditionalCapabilities;
    break;
  }
  return true;
}

void BuildEmvAidList(const CEmvOptions& options, CEmvAidList& list) {
  list.clear();
  for (std::string_view rid : kEmvRids) {
    CEmvAidEntry entry;
    LoadEmvAidDefaults(options, std::string(rid), entry);
    list.push_back(std::move(entry));
  }
}
