#include "app/config/param_parser.h"

#include <algorithm>
#include <utility>

#include "core/params/param_store.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"
#include "platform/text/format.h"

namespace {

constexpr char kChallengeEchoKey[] = "500";
constexpr char kServiceErrorKey[] = "510";
constexpr char kFieldSeparator = '|';
// name, format code, min length, max length, value
constexpr int kFieldsPerParm = 5;
constexpr int kFieldCode = 2;
constexpr int kFieldMin = 3;
constexpr int kFieldMax = 4;
constexpr int kFieldValue = 5;

// Field 5 of a '|'-separated value.
std::string FifthField(const std::string& value) {
  FieldMap fields;
  SplitToMap(kFieldSeparator, value, fields);
  return LookupField(fields, kFieldValue);
}

// Takes the record under key out of records when its value is not empty, and returns
// its field 5 in *field; false when there is no such record.
bool TakeFifthField(TextMap& records, const char* key, std::string* field) {
  const auto it = records.find(key);
  if (it == records.end() || it->second.empty()) return false;
  *field = FifthField(it->second);
  records.erase(it);
  return true;
}

}  // namespace

bool CParamParser::Fail(std::string text) {
  m_LastError = std::move(text);
  return false;
}

bool CParamParser::Parse(const std::string& payload, CParamMap& params) {
  return Parse(payload, g_ParamStore.GetSettings().GetParams(), params);
}

bool CParamParser::Parse(const std::string& payload, const CParamMap& current, CParamMap& params) {
  params.RemoveAll();
  m_ChallengeEcho.clear();
  m_ServiceError.clear();
  m_LastError.clear();

  std::string text = payload;
  std::replace(text.begin(), text.end(), ';', ',');
  FieldMap parts;
  SplitToMap(kParamRecordSeparator, text, parts);

  // A later record under a key already seen replaces the earlier one.
  TextMap records;
  for (const auto& [number, record] : parts) {
    const size_t equals = record.find('=');
    if (equals == std::string::npos) continue;
    records[record.substr(0, equals)] = record.substr(equals + 1);
  }

  TakeFifthField(records, kChallengeEchoKey, &m_ChallengeEcho);
  if (TakeFifthField(records, kServiceErrorKey, &m_ServiceError) && !m_ServiceError.empty()) {
    return false;
  }

  constexpr int kExpected = LAST_PARM + 1;
  if (static_cast<int>(records.size()) != kExpected) {
    return Fail(platform::Format("Expected %d Parms Got %d", kExpected,
                                 static_cast<int>(records.size())));
  }

  CParamMap result;
  for (const auto& [key, value] : records) {
    // A key is read as a number: "02" is parameter 2.
    const int n = AtoiClamped(key);
    CParamEntry entry;
    if (n < FIRST_PARM || n > LAST_PARM || !current.Lookup(n, &entry)) {
      return Fail(platform::Format("Parm#: %d is out of bounds.", n));
    }
    const CParamFormat& format = entry.GetFormat();
    FieldMap fields;
    SplitToMap(kFieldSeparator, value, fields);

    const std::string code = LookupField(fields, kFieldCode);
    if (code != format.GetCode()) {
      return Fail(platform::Format(
          "Parm#: %d [%s] Receive Data Type: [%s] is incorrect expecting: [%s].", n,
          entry.GetName().c_str(), code.c_str(), format.GetCode().c_str()));
    }
    const std::string min = LookupField(fields, kFieldMin);
    if (AtoiClamped(min) != format.GetMin()) {
      return Fail(platform::Format("Parm#: %d MinLen %s is incorrect [%d].", n, min.c_str(),
                                   format.GetMin()));
    }
    const std::string max = LookupField(fields, kFieldMax);
    if (AtoiClamped(max) != format.GetMax()) {
      return Fail(platform::Format("Parm#: %d MaxLen %s is incorrect [%d].", n, max.c_str(),
                                   format.GetMax()));
    }
    // Exactly five fields: a '|' inside the value would otherwise cut it short, and a
    // record without its value field would pass for an empty value.
    const std::string newValue = LookupField(fields, kFieldValue);
    const auto bars = std::count(value.begin(), value.end(), kFieldSeparator);
    if (bars != kFieldsPerParm - 1 || !format.Validate(newValue)) {
      return Fail(platform::Format("Parm#: %d failed to Validate (1) [%s]", n, value.c_str()));
    }
    if (n == kParmMerchantCategory) {
      const int category = AtoiClamped(newValue);
      if (category != 0 && category != 3 && category != 4) {
        return Fail(platform::Format("Parm#: %d failed to Validate (2) [%s]", n, value.c_str()));
      }
    }
    result.SetAt(n, CParamEntry(format, entry.GetName(), newValue));
  }

  // Two keys naming one parameter ("2" and "02") leave another one without a record:
  // only the whole set of 22 is ever handed out.
  if (result.GetCount() != kExpected) {
    return Fail(platform::Format("Expected %d Parms Got %d", kExpected, result.GetCount()));
  }
  params = result;
  return true;
}
