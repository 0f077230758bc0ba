// The bodies of the configuration-service messages, as the service writes and reads
// them:
// - the parameter request from the server: fields "NAME=value", each followed by FS
//   (0x1C): REQ=CORV_PARAMETERS, AVER=, CC= (the server's challenge, hex), CR= (the
//   service's challenge encrypted with the shared key, hex), DEVID=, PART_NO=,
//   MACHINE_ID=, PVER=, PHVER=, SDT= (YYYYMMDDhhmmss, UTC);
// - the parameter message to the server: records "key=value", each followed by FS:
//     "500=CHALLENGE|AN2|32|32|<echo>"  the server's challenge encrypted, hex
//     "510=ERROR|AN2|0|80|<text>"       the service's refusal (empty: none)
//     "<n>=<name>|<code>|<min>|<max>|<value>"  the 22 merchant parameters 0..21
// The service holds its own copy of the parameter definitions (names, format codes,
// lengths, defaults; "DUPLICATE CHECK" is served as "N"). Stateless functions and plain values; no lock.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace rvcs_sim {

inline constexpr char kFieldSeparator = '\x1C';

struct ParamRecord {
  int number = 0;
  std::string key;  // the record's key; normally the number in decimal
  std::string name;
  std::string code;  // "NS1", "YN1", "AN1", "AN2"
  int min = 0;
  int max = 0;
  std::string value;
};

// The 22 parameters with their names, formats and the server's defaults.
std::vector<ParamRecord> DefaultParamRecords();

// The parameter message: the "500" and "510" records, then the parameter records in
// the given order.
std::string BuildParamPayload(const std::string& echo_hex, const std::string& service_error,
                              const std::vector<ParamRecord>& records);
std::string RecordText(const ParamRecord& record);

// The request's fields by name (the text before the first '='), in the order they
// came in `order` when given. False when the body is not a sequence of FS-terminated
// "NAME=value" fields.
bool ParseRequestFields(std::string_view body, std::map<std::string, std::string>* fields,
                        std::vector<std::string>* order = nullptr);

}  // namespace rvcs_sim
