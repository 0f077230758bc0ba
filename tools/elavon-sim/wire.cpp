#include "tools/elavon-sim/wire.h"

namespace elavon_sim {

namespace {

constexpr size_t kHeaderLength = 49;
constexpr size_t kHeaderLengthWithoutCode = 46;

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
}

FrameStatus ParseHeader(std::string_view header, RequestMessage* out) {
  out->header = std::string(header);
  size_t code_length;
  if (header.size() == kHeaderLength) {
    code_length = 3;
  } else if (header.size() == kHeaderLengthWithoutCode) {
    code_length = 0;
  } else {
    return FrameStatus::kBadHeader;
  }
  out->marker = header[1];
  out->mode = header[9];
  out->code = std::string(header.substr(10, code_length));
  size_t at = 10 + code_length;
  out->terminal_id = std::string(header.substr(at, 8));
  out->bin = std::string(header.substr(at + 8, 6));
  out->merchant_id = std::string(header.substr(at + 14, 16));
  if ((out->marker != '*' && out->marker != '#') || header.substr(2, 2) != "00" ||
      header[4] != 'E' || header.substr(5, 4) != "4029" ||
      (out->mode != 'M' && out->mode != 'A') || header.substr(at + 30) != "zovade") {
    return FrameStatus::kBadHeader;
  }
  return FrameStatus::kOk;
}

}  // namespace

uint8_t Checksum(std::string_view through_etx) {
  uint8_t sum = 0;
  for (size_t i = 1; i < through_etx.size(); ++i) sum ^= static_cast<uint8_t>(through_etx[i]);
  return sum;
}

void CloseMessage(std::string* message) {
  message->push_back(kEtx);
  message->push_back(static_cast<char>(Checksum(*message)));
}

std::vector<std::string> Field::Subfields() const { return Split(data, kFs); }

std::string Field::Subfield(size_t index) const {
  std::vector<std::string> parts = Subfields();
  return index < parts.size() ? parts[index] : std::string();
}

const Field* RequestMessage::Find(std::string_view fid) const {
  for (const Field& field : fields) {
    if (field.fid == fid) return &field;
  }
  return nullptr;
}

std::vector<std::string> RequestMessage::Fids() const {
  std::vector<std::string> fids;
  for (const Field& field : fields) fids.push_back(field.fid);
  return fids;
}

const char* FrameStatusText(FrameStatus status) {
  switch (status) {
    case FrameStatus::kOk: return "ok";
    case FrameStatus::kBadFrame: return "bad frame";
    case FrameStatus::kBadChecksum: return "bad checksum";
    case FrameStatus::kBadHeader: return "bad header";
    case FrameStatus::kBadField: return "bad field";
  }
  return "unknown";
}

FrameStatus ParseRequest(std::string_view bytes, RequestMessage* out) {
  *out = RequestMessage();
  if (bytes.size() < 3 || bytes[0] != kStx || bytes[bytes.size() - 2] != kEtx) {
    return FrameStatus::kBadFrame;
  }
  std::string_view through_etx = bytes.substr(0, bytes.size() - 1);
  std::string_view inner = through_etx.substr(1, through_etx.size() - 2);
  if (inner.find(kStx) != std::string_view::npos || inner.find(kEtx) != std::string_view::npos) {
    return FrameStatus::kBadFrame;
  }
  if (Checksum(through_etx) != static_cast<uint8_t>(bytes.back())) return FrameStatus::kBadChecksum;

  std::string_view content = through_etx.substr(0, through_etx.size() - 1);  // STX .. last field
  size_t first_gs = content.find(kGs);
  FrameStatus status = ParseHeader(content.substr(0, first_gs), out);
  if (status != FrameStatus::kOk || first_gs == std::string_view::npos) return status;

  std::vector<std::string> pieces = Split(content.substr(first_gs + 1), kGs);
  for (const std::string& piece : pieces) {
    if (piece.size() < 2) return FrameStatus::kBadField;
    out->fields.push_back(Field{piece.substr(0, 2), piece.substr(2)});
  }
  return FrameStatus::kOk;
}

MessageWriter& MessageWriter::Add(std::string_view fid, const std::vector<std::string>& subfields) {
  message_.push_back(kGs);
  message_.append(fid);
  for (size_t i = 0; i < subfields.size(); ++i) {
    if (i > 0) message_.push_back(kFs);
    message_.append(subfields[i]);
  }
  return *this;
}

std::string MessageWriter::Finish() {
  CloseMessage(&message_);
  return std::move(message_);
}

}  // namespace elavon_sim
