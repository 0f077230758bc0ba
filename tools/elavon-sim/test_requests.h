// Test support: Elavon requests put together from the message layout, with the
// tests' own checksum rather than the simulator's writer, for the tests of the
// simulated host, of its gateway and of the transport that talks to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace elavon_sim_testing {

inline const std::string kGs = "\x1d";
inline const std::string kFs = "\x1c";

// STX, the marker, the fixed header of terminal JX4807 and the transaction code; the
// mode letter is 'M' for the parameter and key requests (998, 803), 'A' otherwise.
inline std::string Header(const std::string& code, char marker = '*') {
  const char mode = (code == "998" || code == "803") ? 'M' : 'A';
  return "\x02" + std::string(1, marker) + "00E4029" + mode + code + "JX4807GC0012340000000000005678zovade";
}

// `bytes` closed with ETX and the XOR checksum of byte 1 through ETX.
inline std::string Frame(std::string bytes) {
  bytes += '\x03';
  uint8_t sum = 0;
  for (size_t i = 1; i < bytes.size(); ++i) sum ^= static_cast<uint8_t>(bytes[i]);
  bytes.push_back(static_cast<char>(sum));
  return bytes;
}

// GS, the FID, and the subfields separated by FS.
inline std::string Fid(const std::string& fid, const std::vector<std::string>& subfields) {
  std::string field = kGs + fid;
  for (size_t i = 0; i < subfields.size(); ++i) field += (i ? kFs : "") + subfields[i];
  return field;
}

// A whole framed request: the header of `code`, then the fields.
inline std::string Request(const std::string& code, const std::vector<std::string>& fields, char marker = '*') {
  std::string bytes = Header(code, marker);
  for (const std::string& field : fields) bytes += field;
  return Frame(bytes);
}

}  // namespace elavon_sim_testing
