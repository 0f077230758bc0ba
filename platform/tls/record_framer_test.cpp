#include "platform/tls/record_framer.h"

#include <string>

#include <gtest/gtest.h>

namespace platform::tls {
namespace {

// A record header for `body` bytes followed by as many body bytes as `present`.
std::string Record(uint8_t type, size_t body, size_t present) {
  std::string r = {static_cast<char>(type), 3, 3, static_cast<char>(body >> 8), static_cast<char>(body & 0xFF)};
  r.append(present, 'x');
  return r;
}

TEST(RecordFramer, FindsTheEndOfTheFirstRecord) {
  const std::string one = Record(23, 300, 300);
  const struct {
    const char* name;
    std::string bytes;
    RecordScan::Kind kind;
    size_t size;
    size_t missing;
  } cases[] = {
      {"nothing", "", RecordScan::Kind::kIncomplete, 0, 5},
      {"incomplete header", one.substr(0, 3), RecordScan::Kind::kIncomplete, 0, 2},
      {"header only", one.substr(0, 5), RecordScan::Kind::kIncomplete, 0, 300},
      {"incomplete body", one.substr(0, 105), RecordScan::Kind::kIncomplete, 0, 200},
      {"exactly one record", one, RecordScan::Kind::kComplete, 305, 0},
      {"one and a half records", one + Record(23, 300, 150), RecordScan::Kind::kComplete, 305, 0},
      {"one record and a partial header", one + one.substr(0, 2), RecordScan::Kind::kComplete, 305, 0},
      {"empty body", Record(21, 0, 0), RecordScan::Kind::kComplete, 5, 0},
      {"largest body", Record(22, kMaxRecordBody, kMaxRecordBody), RecordScan::Kind::kComplete, 5 + kMaxRecordBody, 0},
      {"body too long", Record(23, kMaxRecordBody + 1, 0), RecordScan::Kind::kMalformed, 0, 0},
      {"unknown type", Record(24, 10, 10), RecordScan::Kind::kMalformed, 0, 0},
      {"type below the range", std::string(1, '\x13'), RecordScan::Kind::kMalformed, 0, 0},
      {"not version 3.x", "\x17\x02", RecordScan::Kind::kMalformed, 0, 0},
      {"plain text", "GET / HTTP/1.1\r\n", RecordScan::Kind::kMalformed, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RecordScan scan = ScanRecord(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
    EXPECT_EQ(scan.kind, c.kind);
    EXPECT_EQ(scan.size, c.size);
    EXPECT_EQ(scan.missing, c.missing);
  }
}

}  // namespace
}  // namespace platform::tls
