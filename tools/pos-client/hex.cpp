#include "tools/pos-client/hex.h"

namespace pos_client {

namespace {

int NibbleValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ToHex(std::string_view bytes, bool lower_case) {
  const char* digits = lower_case ? "0123456789abcdef" : "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    hex.push_back(digits[byte >> 4]);
    hex.push_back(digits[byte & 0x0F]);
  }
  return hex;
}

bool FromHex(std::string_view hex, std::string* bytes) {
  bytes->clear();
  if (hex.size() % 2 != 0) return false;
  std::string decoded;
  decoded.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = NibbleValue(hex[i]);
    const int low = NibbleValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    decoded.push_back(static_cast<char>((high << 4) | low));
  }
  *bytes = std::move(decoded);
  return true;
}

}  // namespace pos_client
