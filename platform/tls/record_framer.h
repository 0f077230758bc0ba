// TLS record framing: finds where the first record in a byte stream ends, from its
// 5-byte header (content type, protocol version, 16-bit body length), without
// looking inside the body. Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::tls {

inline constexpr size_t kRecordHeaderSize = 5;
// The largest body a TLS 1.2 record may carry: 2^14 bytes of plain text expanded by
// at most 2048 bytes of cipher overhead.
inline constexpr size_t kMaxRecordBody = 16384 + 2048;
inline constexpr size_t kMaxPlainPerRecord = 16384;

enum class RecordType : uint8_t {
  kChangeCipherSpec = 20,
  kAlert = 21,
  kHandshake = 22,
  kApplicationData = 23,
};

struct RecordScan {
  enum class Kind {
    kComplete,    // a whole record: `size` bytes (header included)
    kIncomplete,  // not yet whole: `missing` more bytes are needed at least
    kMalformed,   // not a TLS record (unknown type, version, or oversize length)
  };
  Kind kind;
  size_t size = 0;
  size_t missing = 0;
  uint8_t type = 0;
};

// Looks at the record that starts at data[0]. An incomplete header reports the
// header bytes still missing; a header that is already malformed is reported at
// once, even before the rest arrives.
RecordScan ScanRecord(const uint8_t* data, size_t length);

}  // namespace platform::tls
