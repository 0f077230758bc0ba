// The Elavon host message frame, read and written independently of the server's
// own classes so that a fault on one side is not mirrored on the other.
//
// A message is STX, a header, zero or more fields, ETX and one checksum byte:
//   header (49 bytes; 46 when the transaction code is empty):
//     0 STX | 1 marker '*' or '#' | 2 "00" | 4 'E' | 5 "4029" | 9 'M' or 'A'
//     | 10 code (3) | 13 terminal id (8) | 21 BIN (6) | 27 merchant/terminal id (16)
//     | 43 "zovade"
//   field: GS, a two-character FID, data; FS separates subfields inside the data.
//   trailer: ETX, then the XOR of every byte from position 1 through the ETX.
// Answers use the same frame. Stateless; no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace elavon_sim {

inline constexpr char kStx = '\x02';
inline constexpr char kEtx = '\x03';
inline constexpr char kFs = '\x1c';
inline constexpr char kGs = '\x1d';

// XOR of every byte of `through_etx` from position 1 to its end (position 0, the
// STX, is not covered). `through_etx` is a message up to and including its ETX.
uint8_t Checksum(std::string_view through_etx);

// Appends ETX and the checksum to a message that starts with STX.
void CloseMessage(std::string* message);

struct Field {
  std::string fid;   // two characters
  std::string data;  // everything after the FID up to the next GS or the ETX

  // The data split at FS; subfield 0 is the text before the first FS (the FID is
  // not part of it). Empty data gives one empty subfield.
  std::vector<std::string> Subfields() const;
  // Subfield `index`, or the empty text when there are fewer.
  std::string Subfield(size_t index) const;
};

struct RequestMessage {
  char marker = 0;             // '*' as built, '#' when routing marked it
  char mode = 0;               // 'M' (batch summary, EMV key download) or 'A'
  std::string code;            // three digits, or empty
  std::string terminal_id;     // eight characters
  std::string bin;             // six characters
  std::string merchant_id;     // sixteen characters
  std::string header;          // STX through "zovade", as received
  std::vector<Field> fields;   // in the order received

  // The first field with this FID, or nullptr.
  const Field* Find(std::string_view fid) const;
  bool Has(std::string_view fid) const { return Find(fid) != nullptr; }
  // The FIDs in order, e.g. {"01", "10", "50"}.
  std::vector<std::string> Fids() const;
};

enum class FrameStatus {
  kOk,
  kBadFrame,     // no STX first, no ETX before the last byte, a stray STX or ETX
  kBadChecksum,  // the last byte is not the XOR of positions 1 through the ETX
  kBadHeader,    // header of the wrong length or with wrong constant parts
  kBadField,     // a field shorter than its FID
};

const char* FrameStatusText(FrameStatus status);

// Parses one whole request message. The checksum is checked before the header;
// on any failure *out holds what could be read so far.
FrameStatus ParseRequest(std::string_view bytes, RequestMessage* out);

// Builds an answer: the header given (STX first), then fields, then the trailer.
class MessageWriter {
 public:
  explicit MessageWriter(std::string header) : message_(std::move(header)) {}

  // GS, the FID, the subfields joined with FS.
  MessageWriter& Add(std::string_view fid, const std::vector<std::string>& subfields);
  // ETX and the checksum; the writer is spent afterwards.
  std::string Finish();

 private:
  std::string message_;
};

}  // namespace elavon_sim
