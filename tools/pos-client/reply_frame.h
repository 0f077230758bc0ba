// Reply frames of the server: FS, "2" (payload is the upper-case hex of the
// cipher text) or "0" (payload is the document in clear), "00", STX, payload,
// ETX. OpenReply turns one frame into its document, decrypting a "2" frame with
// the session key of the request it answers. Stateless; no lock.
#pragma once

#include <string>
#include <string_view>

#include "tools/pos-client/session_cipher.h"
#include "tools/pos-client/status.h"

namespace pos_client {

struct ReplyFrame {
  bool encrypted = false;
  std::string payload;
};

// One whole frame, its only ETX as its last character. kBadFrame otherwise.
Status ParseReplyFrame(std::string_view frame, ReplyFrame* out);

// The document of a frame. A "2" frame needs upper-case hex (kBadHex) that
// decrypts with the session key; a "0" frame is returned as it stands.
// *encrypted (when given) tells which of the two it was.
Status OpenReply(std::string_view frame, const SessionKey& session, std::string* document,
                 bool* encrypted = nullptr);

}  // namespace pos_client
