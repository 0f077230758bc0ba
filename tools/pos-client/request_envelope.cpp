#include "tools/pos-client/request_envelope.h"

#include <utility>

#include "tools/pos-client/hex.h"

namespace pos_client {

Status JoinTStream(const std::vector<TStreamItem>& items, std::string* tstream) {
  std::string text;
  for (const TStreamItem& item : items) {
    if (item.name.empty() || item.name.find_first_of(std::string{'=', kFs}) != std::string::npos ||
        item.value.find(kFs) != std::string::npos) {
      return Status::kBadTStreamItem;
    }
    if (!text.empty()) text.push_back(kFs);
    text += item.name + "=" + item.value;
  }
  *tstream = std::move(text);
  return Status::kOk;
}

Status BuildRequest(const ServerPublicKey& server, std::string_view tstream,
                    const RequestOptions& options, Request* out) {
  const RandomBytes random = options.random ? options.random : SystemRandom();
  const RequestFaults& faults = options.faults;

  SessionKey session;
  if (options.session_key) {
    session.cipher = options.cipher;
    session.key = *options.session_key;
    if (session.key.size() != KeyLength(session.cipher)) return Status::kBadSessionKey;
  } else if (Status status = MakeSessionKey(options.cipher, random, &session);
             status != Status::kOk) {
    return status;
  }

  std::string blob;
  const ServerPublicKey& wrap_key = faults.wrap_for_other_key ? *faults.wrap_for_other_key : server;
  if (Status status = BuildSimpleBlob(wrap_key, session, random, &blob); status != Status::kOk) {
    return status;
  }

  std::string cipher_text;
  if (Status status = Encrypt(session, tstream, &cipher_text); status != Status::kOk) {
    return status;
  }

  std::string payload = ToHex(cipher_text, faults.lower_case_payload);
  if (faults.odd_length_payload) {
    if (payload.empty()) {
      payload = "0";
    } else {
      payload.pop_back();
    }
  }

  std::string key_block;
  if (!faults.no_key_block) {
    key_block.push_back(kDc1);
    if (!faults.empty_key_block) key_block += ToHex(blob, faults.lower_case_key_block);
    key_block.push_back(kDc2);
  }

  std::string text = options.user_trace_data;
  text.push_back(kFs);
  text.push_back(options.mode);
  text += options.before_stx;
  switch (options.key_block_place) {
    case KeyBlockPlace::kAfterPayload:
      text += kStx + payload + key_block;
      break;
    case KeyBlockPlace::kBeforePayload:
      text += kStx + key_block + payload;
      break;
    case KeyBlockPlace::kWithinPayload: {
      const size_t half = (payload.size() / 4) * 2;
      text += kStx + payload.substr(0, half) + key_block + payload.substr(half);
      break;
    }
    case KeyBlockPlace::kBeforeStx:
      text += key_block + kStx + payload;
      break;
  }

  out->envelope = std::move(text);
  out->session = std::move(session);
  return Status::kOk;
}

}  // namespace pos_client
