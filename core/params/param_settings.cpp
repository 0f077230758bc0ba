#include "core/params/param_settings.h"

#include <iterator>
#include <utility>

#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"

namespace {

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsLetterOrDigit(unsigned char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsBlankToDel(unsigned char c) { return c >= 0x20 && c <= 0x7F; }

template <typename Pred>
bool AllBytes(const std::string& text, Pred pred) {
  for (const char ch : text) {
    if (!pred(static_cast<unsigned char>(ch))) return false;
  }
  return true;
}

// One row of the parameter table: a default of nullptr takes the format's default.
struct ParmDefinition {
  int number;
  const char* name;
  std::string_view code;
  int min;
  int max;
  const char* fixedDefault;
};

const ParmDefinition kParmTable[] = {
    {kParmNumParms, "NUMPARMS", kFieldFormatNS1, 1, 2, nullptr /* LAST_PARM */},
    {kParmAssignedBin, "ASSIGNED BIN", kFieldFormatNS1, 6, 6, nullptr},
    {kParmMerchantTerminalId, "MERCHANT/TERMINAL ID", kFieldFormatNS1, 1, 16, nullptr},
    {kParmMerchantCategory, "MERCHANT CATEGORY", kFieldFormatNS1, 1, 2, "0"},
    {kParmECheck, "ECHECK", kFieldFormatNS1, 1, 2, "0"},
    // "0" is not a valid YN1 value; it reads as off, as every reader wants "Y".
    {kParmDuplicateCheck, "DUPLICATE CHECK", kFieldFormatYN1, 0, 0, "0"},
    {kParmUseCorvPassword, "USE CORV CLIENT/SERVER PASSWORD", kFieldFormatYN1, 0, 0, nullptr},
    {kParmCorvPassword, "CORV CLIENT/SERVER PASSWORD", kFieldFormatAN2, 0, 12, nullptr},
    {kParmDoNotConnectOnStartup, "DO NOT CONNECT TO HOST ON STARTUP", kFieldFormatYN1, 0, 0, "N"},
    {kParmVerifySslCertificate, "VERIFY SSL CERTIFICATE", kFieldFormatYN1, 0, 0, "Y"},
    {kParmGoToTrayWhenMinimized, "GO TO SYSTEM TRAY WHEN MINIMIZED", kFieldFormatYN1, 0, 0, "N"},
    {kParmTransportMethod, "TRANSPORT METHOD", kFieldFormatNS1, 1, 2, "0"},
    {kParmModemComPort, "MODEM COM PORT", kFieldFormatNS1, 1, 3, "1"},
    {kParmDialPrefix, "DIAL PREFIX", kFieldFormatAN2, 0, 24, nullptr},
    {kParmAuthorizationPhone, "AUTHORIZATION PHONE NUMBER", kFieldFormatNS1, 1, 11,
     kDefaultAuthorizationPhone},
    {kParmIpConnectTimeout, "IP CONNECT TIMEOUT", kFieldFormatNS1, 1, 2, "3"},
    {kParmEmvSupport, "EMV SUPPORT", kFieldFormatNS1, 1, 1, "0"},
    {kParmEmvCvm, "EMV CVM", kFieldFormatNS1, 1, 1, "0"},
    {kParmPartnerName, "PARTNER NAME", kFieldFormatAN2, 1, 40, " "},
    {kParmNumberOfLanes, "NUMBER OF LANES", kFieldFormatNS1, 1, 2, "1"},
    {kParmLaneSpecial, "LANE SPECIAL", kFieldFormatAN1, 2, 6, nullptr},
    {kParmLaneIds, "LANE IDS", kFieldFormatAN2, 1, 300, nullptr},
};
static_assert(std::size(kParmTable) == LAST_PARM - FIRST_PARM + 1);

}  // namespace

// ---- CParamFormat ----

CParamFormat::CParamFormat(std::string code, int min, int max)
    : m_Code(std::move(code)),
      m_Min(min),
      m_Max(max),
      m_LengthTested(m_Code == kFieldFormatNS1 || m_Code == kFieldFormatAN1 ||
                     m_Code == kFieldFormatAN2) {}

bool CParamFormat::LengthInRange(const std::string& text) const {
  if (!m_LengthTested) return true;
  const auto length = static_cast<long long>(text.size());
  return length >= m_Min && length <= m_Max;
}

bool CParamFormat::Validate(const std::string& text) const {
  if (m_Code == kFieldFormatNS1) return LengthInRange(text) && AllBytes(text, IsDigit);
  if (m_Code == kFieldFormatYN1) return text == "Y" || text == "N";
  if (m_Code == kFieldFormatAN1) return LengthInRange(text) && AllBytes(text, IsLetterOrDigit);
  if (m_Code == kFieldFormatAN2) return LengthInRange(text) && AllBytes(text, IsBlankToDel);
  return false;
}

std::string CParamFormat::DefaultValue() const {
  if (m_LengthTested && (m_Code == kFieldFormatNS1 || m_Code == kFieldFormatAN1)) {
    return std::string(static_cast<size_t>(m_Min > 1 ? m_Min : 1), '0');
  }
  if (m_LengthTested && m_Code == kFieldFormatAN2) {
    return m_Min > 0 ? std::string(static_cast<size_t>(m_Min), '0') : std::string();
  }
  if (m_Code == kFieldFormatYN1) return "N";
  return std::string();
}

// ---- CParamEntry ----

CParamEntry::CParamEntry(const CParamFormat& format, std::string name, std::string value)
    : m_Name(std::move(name)), m_Value(std::move(value)), m_Format(format) {}

bool CParamEntry::SetValue(const std::string& text) {
  if (!IsValid(text)) return false;
  m_Value = text;
  return true;
}

// ---- CParamMap ----

std::string CParamMap::GetParamValue(int n) const {
  const auto it = m_Entries.find(n);
  return it == m_Entries.end() ? std::string() : it->second.GetValue();
}

bool CParamMap::IsEqual(const CParamMap& other) const {
  if (m_Entries.size() != other.m_Entries.size()) return false;
  for (const auto& [n, mine] : m_Entries) {
    const auto it = other.m_Entries.find(n);
    if (it == other.m_Entries.end()) return false;
    const CParamEntry& theirs = it->second;
    const CParamFormat& a = mine.GetFormat();
    const CParamFormat& b = theirs.GetFormat();
    if (a.GetCode() != b.GetCode() || a.GetMin() != b.GetMin() || a.GetMax() != b.GetMax() ||
        a.IsLengthTested() != b.IsLengthTested() || mine.GetName() != theirs.GetName() ||
        mine.GetValue() != theirs.GetValue()) {
      return false;
    }
  }
  return true;
}

void CParamMap::SetAt(int n, const CParamEntry& entry) { m_Entries.insert_or_assign(n, entry); }

bool CParamMap::Lookup(int n, CParamEntry* entry) const {
  const auto it = m_Entries.find(n);
  if (it == m_Entries.end()) return false;
  *entry = it->second;
  return true;
}

bool CParamMap::SetParamValue(int n, const std::string& text) {
  const auto it = m_Entries.find(n);
  return it != m_Entries.end() && it->second.SetValue(text);
}

bool CParamMap::RemoveKey(int n) { return m_Entries.erase(n) != 0; }

// ---- CParamSettings ----

bool CParamSettings::ResetToDefaults() {
  m_Version = "1";
  m_Params.RemoveAll();
  for (const ParmDefinition& row : kParmTable) {
    const CParamFormat format(std::string(row.code), row.min, row.max);
    std::string value;
    if (row.number == kParmNumParms) {
      value = IntToStr(LAST_PARM);
    } else if (row.fixedDefault != nullptr) {
      value = row.fixedDefault;
    } else {
      value = format.DefaultValue();
    }
    m_Params.SetAt(row.number, CParamEntry(format, row.name, value));
  }
  return true;
}

std::string CParamSettings::Serialize() const {
  std::string text = "1;";
  for (int n = FIRST_PARM; n <= LAST_PARM; ++n) {
    if (!m_Params.Contains(n)) continue;
    text += m_Params.GetParamValue(n);
    text += ';';
  }
  return text;
}

bool CParamSettings::Parse(const std::string& text) {
  FieldMap fields;
  SplitToMap(';', text, fields);  // an empty text gives no fields
  ResetToDefaults();
  if (LookupField(fields, 1) != m_Version) return false;
  for (int k = 2; k <= LAST_PARM - FIRST_PARM + 3; ++k) {
    m_Params.SetParamValue(FIRST_PARM + k - 2, LookupField(fields, k));
  }
  return true;
}

std::string CParamSettings::Dump() const {
  std::string text = "Param Settings:\n";
  text += "Ver=" + m_Version + "\n";
  for (int n = FIRST_PARM; n <= LAST_PARM; ++n) {
    CParamEntry entry;
    if (!m_Params.Lookup(n, &entry)) continue;
    const CParamFormat& format = entry.GetFormat();
    const std::string value = n == kParmCorvPassword
                                  ? std::string(entry.GetValue().size(), 'X')
                                  : entry.GetValue();
    text += "No." + IntToStr(n) + " " + entry.GetName() + "." + format.GetCode() + "." +
            IntToStr(format.GetMin()) + "." + IntToStr(format.GetMax()) + "." + value + "\n";
  }
  return text;
}
