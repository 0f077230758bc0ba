#include "tools/pos-client/reply_frame.h"

#include <utility>

#include "tools/pos-client/hex.h"
#include "tools/pos-client/request_envelope.h"

namespace pos_client {

Status ParseReplyFrame(std::string_view frame, ReplyFrame* out) {
  constexpr size_t kFraming = 6;  // FS, kind, "00", STX ... ETX
  if (frame.size() < kFraming || frame[0] != kFs || (frame[1] != '2' && frame[1] != '0') ||
      frame.substr(2, 2) != "00" || frame[4] != kStx || frame.find(kEtx) != frame.size() - 1) {
    return Status::kBadFrame;
  }
  out->encrypted = frame[1] == '2';
  out->payload = std::string(frame.substr(5, frame.size() - kFraming));
  return Status::kOk;
}

Status OpenReply(std::string_view frame, const SessionKey& session, std::string* document,
                 bool* encrypted) {
  ReplyFrame parsed;
  if (Status status = ParseReplyFrame(frame, &parsed); status != Status::kOk) return status;
  if (encrypted != nullptr) *encrypted = parsed.encrypted;
  if (!parsed.encrypted) {
    *document = std::move(parsed.payload);
    return Status::kOk;
  }
  std::string cipher_text;
  if (!FromHex(parsed.payload, &cipher_text)) return Status::kBadHex;
  return Decrypt(session, cipher_text, document);
}

}  // namespace pos_client
