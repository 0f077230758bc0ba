// Readers of the request fields whose contents the host simulator acts on. Each
// takes the field as parsed by ParseRequest and returns false when the data does
// not have the layout the terminal builds. Stateless; no lock.
//
// Layouts (positions within the field's data, after the FID):
//   01  capability(2) entry mode(2) flag(1) card data FS amount FS sequence(4)
//       [FS reference(4, voids only) [FS trailer]]
//       flag: '1' partial approval allowed, '0' not; always '0' in a reversal
//   04  code(3, blank filled) response code(2) transaction reference (rest)
//   19  auth code(6) network reference FS approval reference [FS capability "@"]
//   52  echo ref 1(6) echo ref 2(6) reference number FS amount
//   59  auth code(6, blank filled) approval reference (rest)
//   77  key index
//   90  batch number(3) item count FS signed total in cents [FS ...]
#pragma once

#include <cstdint>
#include <string>

#include "tools/elavon-sim/wire.h"

namespace elavon_sim {

// A text of digits only (the empty text counts as 0) read as a number; false
// when it holds anything else or is too long. A leading '-' is allowed when
// `allow_sign` is set.
bool ParseNumber(const std::string& text, int64_t* value, bool allow_sign = false);

struct Fid01 {
  std::string capability;
  std::string entry_mode;
  char flag = '0';
  std::string card;
  std::string amount;      // cents, as sent
  int64_t amount_cents = 0;
  std::string sequence;    // four digits, as sent
  int sequence_number = 0;
  std::string reference;   // subfield 3: the RefNo of a void, else empty
  std::string trailer;     // subfield 4 when present
};
bool ReadFid01(const Field& field, Fid01* out);

struct Fid04 {
  std::string code;           // the earlier transaction's code, blanks removed
  std::string response_code;  // blanks removed
  std::string transaction_ref;
};
bool ReadFid04(const Field& field, Fid04* out);

struct ApprovalRef {
  std::string auth_code;      // leading zeros or blanks of the fill kept as sent
  std::string network_ref;    // FID 19 only
  std::string approval_ref;   // AcqRefData items 2 and 3 as sent
};
bool ReadFid19(const Field& field, ApprovalRef* out);
bool ReadFid59(const Field& field, ApprovalRef* out);

struct Fid52 {
  std::string echo_ref1;
  std::string echo_ref2;
  std::string reference;
  std::string amount;
  int64_t amount_cents = 0;
};
bool ReadFid52(const Field& field, Fid52* out);

bool ReadFid77(const Field& field, int* key_index);

struct Fid90 {
  std::string batch_number;
  int64_t item_count = 0;
  int64_t total_cents = 0;
};
bool ReadFid90(const Field& field, Fid90* out);

}  // namespace elavon_sim
