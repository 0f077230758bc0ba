#include "platform/tls/record_framer.h"

namespace platform::tls {

RecordScan ScanRecord(const uint8_t* data, size_t length) {
  RecordScan scan{RecordScan::Kind::kIncomplete};
  if (length >= 1) {
    scan.type = data[0];
    if (scan.type < static_cast<uint8_t>(RecordType::kChangeCipherSpec) ||
        scan.type > static_cast<uint8_t>(RecordType::kApplicationData)) {
      scan.kind = RecordScan::Kind::kMalformed;
      return scan;
    }
  }
  if (length >= 2 && data[1] != 3) {  // SSL 3.0 and every TLS version are 3.x
    scan.kind = RecordScan::Kind::kMalformed;
    return scan;
  }
  if (length < kRecordHeaderSize) {
    scan.missing = kRecordHeaderSize - length;
    return scan;
  }
  const size_t body = (static_cast<size_t>(data[3]) << 8) | data[4];
  if (body > kMaxRecordBody) {
    scan.kind = RecordScan::Kind::kMalformed;
    return scan;
  }
  const size_t size = kRecordHeaderSize + body;
  if (length < size) {
    scan.missing = size - length;
    return scan;
  }
  scan.kind = RecordScan::Kind::kComplete;
  scan.size = size;
  return scan;
}

}  // namespace platform::tls
