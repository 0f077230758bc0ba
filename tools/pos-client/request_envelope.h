// Request envelopes of the point-of-sale client, as the server's dispatcher
// receives them (the ending ETX is added only by Request::WireText):
//
//   UserTraceData FS mode before_stx STX hex(cipher(TStream)) DC1 hex(SIMPLEBLOB) DC2
//
// The key block may also stand before or within the payload, or (a fault)
// before the STX. RequestFaults spoil one piece each for negative tests.
// Stateless functions; no lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pos-client/key_blob.h"
#include "tools/pos-client/random.h"
#include "tools/pos-client/session_cipher.h"
#include "tools/pos-client/status.h"

namespace pos_client {

inline constexpr char kStx = '\x02';
inline constexpr char kEtx = '\x03';
inline constexpr char kDc1 = '\x11';
inline constexpr char kDc2 = '\x12';
inline constexpr char kFs = '\x1C';

struct TStreamItem {
  std::string name;
  std::string value;
};

// "name=value" items separated by FS, none after the last. kBadTStreamItem for
// an empty name, a name holding '=' or FS, or a value holding FS.
Status JoinTStream(const std::vector<TStreamItem>& items, std::string* tstream);

enum class KeyBlockPlace {
  kAfterPayload,   // STX payload DC1 blob DC2
  kBeforePayload,  // STX DC1 blob DC2 payload
  kWithinPayload,  // STX first half DC1 blob DC2 second half (split at a byte boundary)
  kBeforeStx,      // DC1 blob DC2 STX payload: the server then loses payload characters
};

struct RequestFaults {
  // Wraps the session key for this key instead of the server's.
  std::optional<ServerPublicKey> wrap_for_other_key;
  bool lower_case_payload = false;    // payload hex in lower case
  bool lower_case_key_block = false;  // key blob hex in lower case
  bool odd_length_payload = false;    // last payload hex character dropped ("0" when empty)
  bool empty_key_block = false;       // DC1 DC2 with nothing between
  bool no_key_block = false;          // no DC1..DC2 at all
};

struct RequestOptions {
  std::string user_trace_data;
  char mode = '2';
  std::string before_stx = "00";  // characters between the mode and the STX
  Cipher cipher = Cipher::kRc4;
  KeyBlockPlace key_block_place = KeyBlockPlace::kAfterPayload;
  std::optional<std::string> session_key;  // fixed key bytes instead of random ones
  RandomBytes random;                      // empty: SystemRandom()
  RequestFaults faults;
};

struct Request {
  std::string envelope;  // without the ending ETX
  SessionKey session;    // opens the replies to this request
  std::string WireText() const { return envelope + kEtx; }
};

// Encrypts the TStream text with a new (or the given) session key and wraps
// that key for the server. kBadSessionKey when a given key has the wrong length.
Status BuildRequest(const ServerPublicKey& server, std::string_view tstream,
                    const RequestOptions& options, Request* out);

}  // namespace pos_client
