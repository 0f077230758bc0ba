#include "tools/rvcs-sim/service_messages.h"

namespace rvcs_sim {

std::vector<ParamRecord> DefaultParamRecords() {
  struct Definition {
    const char* name;
    const char* code;
    int min, max;
    const char* value;
  };
  static const Definition kDefinitions[] = {
      {"NUMPARMS", "NS1", 1, 2, "21"},
      {"ASSIGNED BIN", "NS1", 6, 6, "000000"},
      {"MERCHANT/TERMINAL ID", "NS1", 1, 16, "0"},
      {"MERCHANT CATEGORY", "NS1", 1, 2, "0"},
      {"ECHECK", "NS1", 1, 2, "0"},
      // The server's own default here is "0", which no YN1 value may be: the service
      // serves "N", the value that reads the same (off).
      {"DUPLICATE CHECK", "YN1", 0, 0, "N"},
      {"USE CORV CLIENT/SERVER PASSWORD", "YN1", 0, 0, "N"},
      {"CORV CLIENT/SERVER PASSWORD", "AN2", 0, 12, ""},
      {"DO NOT CONNECT TO HOST ON STARTUP", "YN1", 0, 0, "N"},
      {"VERIFY SSL CERTIFICATE", "YN1", 0, 0, "Y"},
      {"GO TO SYSTEM TRAY WHEN MINIMIZED", "YN1", 0, 0, "N"},
      {"TRANSPORT METHOD", "NS1", 1, 2, "0"},
      {"MODEM COM PORT", "NS1", 1, 3, "1"},
      {"DIAL PREFIX", "AN2", 0, 24, ""},
      {"AUTHORIZATION PHONE NUMBER", "NS1", 1, 11, "18005550199"},
      {"IP CONNECT TIMEOUT", "NS1", 1, 2, "3"},
      {"EMV SUPPORT", "NS1", 1, 1, "0"},
      {"EMV CVM", "NS1", 1, 1, "0"},
      {"PARTNER NAME", "AN2", 1, 40, " "},
      {"NUMBER OF LANES", "NS1", 1, 2, "1"},
      {"LANE SPECIAL", "AN1", 2, 6, "00"},
      {"LANE IDS", "AN2", 1, 300, "0"},
  };
  std::vector<ParamRecord> records;
  int n = 0;
  for (const Definition& d : kDefinitions) {
    records.push_back(ParamRecord{n, std::to_string(n), d.name, d.code, d.min, d.max, d.value});
    ++n;
  }
  return records;
}

std::string RecordText(const ParamRecord& r) {
  return r.key + "=" + r.name + "|" + r.code + "|" + std::to_string(r.min) + "|" + std::to_string(r.max) + "|" +
         r.value;
}

std::string BuildParamPayload(const std::string& echo_hex, const std::string& service_error,
                              const std::vector<ParamRecord>& records) {
  std::string payload = "500=CHALLENGE|AN2|32|32|" + echo_hex + kFieldSeparator;
  payload += "510=ERROR|AN2|0|80|" + service_error + kFieldSeparator;
  for (const ParamRecord& r : records) payload += RecordText(r) + kFieldSeparator;
  return payload;
}

bool ParseRequestFields(std::string_view body, std::map<std::string, std::string>* fields,
                        std::vector<std::string>* order) {
  fields->clear();
  if (order) order->clear();
  if (body.empty() || body.back() != kFieldSeparator) return false;
  size_t start = 0;
  while (start < body.size()) {
    const size_t end = body.find(kFieldSeparator, start);
    const std::string_view field = body.substr(start, end - start);
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string name(field.substr(0, equals));
    (*fields)[name] = std::string(field.substr(equals + 1));
    if (order) order->push_back(name);
    start = end + 1;
  }
  return true;
}

}  // namespace rvcs_sim
