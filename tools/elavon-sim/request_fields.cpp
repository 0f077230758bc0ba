#include "tools/elavon-sim/request_fields.h"

#include <vector>

namespace elavon_sim {

namespace {

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

}  // namespace

bool ParseNumber(const std::string& text, int64_t* value, bool allow_sign) {
  size_t at = 0;
  bool negative = false;
  if (allow_sign && !text.empty() && text[0] == '-') {
    negative = true;
    at = 1;
  }
  if (text.size() - at > 15) return false;
  int64_t result = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    result = result * 10 + (text[at] - '0');
  }
  *value = negative ? -result : result;
  return true;
}

bool ReadFid01(const Field& field, Fid01* out) {
  *out = Fid01();
  std::vector<std::string> parts = field.Subfields();
  if (parts.size() < 3 || parts[0].size() < 5) return false;
  out->capability = parts[0].substr(0, 2);
  out->entry_mode = parts[0].substr(2, 2);
  out->flag = parts[0][4];
  out->card = parts[0].substr(5);
  out->amount = parts[1];
  out->sequence = parts[2];
  if (parts.size() > 3) out->reference = parts[3];
  if (parts.size() > 4) out->trailer = parts[4];
  int64_t sequence = 0;
  if (!ParseNumber(out->amount, &out->amount_cents) || out->sequence.size() != 4 ||
      !ParseNumber(out->sequence, &sequence)) {
    return false;
  }
  out->sequence_number = static_cast<int>(sequence);
  return true;
}

bool ReadFid04(const Field& field, Fid04* out) {
  *out = Fid04();
  if (field.data.size() < 5) return false;
  out->code = Trim(field.data.substr(0, 3));
  out->response_code = Trim(field.data.substr(3, 2));
  out->transaction_ref = field.data.substr(5);
  return true;
}

bool ReadFid19(const Field& field, ApprovalRef* out) {
  *out = ApprovalRef();
  std::vector<std::string> parts = field.Subfields();
  if (parts.size() < 2 || parts[0].size() < 6) return false;
  out->auth_code = parts[0].substr(0, 6);
  out->network_ref = parts[0].substr(6);
  out->approval_ref = parts[1];
  return true;
}

bool ReadFid59(const Field& field, ApprovalRef* out) {
  *out = ApprovalRef();
  // A reversal of an answer that never came sends the field with no data.
  if (field.data.empty()) return true;
  if (field.data.size() < 6) return false;
  out->auth_code = Trim(field.data.substr(0, 6));
  out->approval_ref = field.data.substr(6);
  return true;
}

bool ReadFid52(const Field& field, Fid52* out) {
  *out = Fid52();
  std::vector<std::string> parts = field.Subfields();
  if (parts.size() != 2 || parts[0].size() < 12) return false;
  out->echo_ref1 = parts[0].substr(0, 6);
  out->echo_ref2 = parts[0].substr(6, 6);
  out->reference = parts[0].substr(12);
  out->amount = parts[1];
  return ParseNumber(out->amount, &out->amount_cents);
}

bool ReadFid77(const Field& field, int* key_index) {
  int64_t value = 0;
  if (field.data.empty() || field.data.size() > 4 || !ParseNumber(field.data, &value)) return false;
  *key_index = static_cast<int>(value);
  return true;
}

bool ReadFid90(const Field& field, Fid90* out) {
  *out = Fid90();
  std::vector<std::string> parts = field.Subfields();
  if (parts.size() < 2 || parts[0].size() < 4) return false;
  out->batch_number = parts[0].substr(0, 3);
  int64_t batch = 0;
  return ParseNumber(out->batch_number, &batch) &&
         ParseNumber(parts[0].substr(3), &out->item_count) &&
         ParseNumber(parts[1], &out->total_cents, /*allow_sign=*/true);
}

}  // namespace elavon_sim
