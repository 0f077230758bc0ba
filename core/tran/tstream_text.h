// Bounded text cuts and tests shared by the TStream parsers of this library (not for
// other modules). Stateless; safe on any thread; nothing reads outside its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace tstream_text {

// The first count characters of text, or all of it when it is shorter.
inline std::string FirstChars(const std::string& text, std::size_t count) {
  return text.substr(0, count < text.size() ? count : text.size());
}

// The last count characters of text, or all of it when it is shorter.
inline std::string LastChars(const std::string& text, std::size_t count) {
  return text.size() <= count ? text : text.substr(text.size() - count);
}

// True when text holds only '0' to '9' (the empty text included).
inline bool IsAllDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The value of a text of digits (as AmountToDigits leaves it); characters other than
// digits end the number. Saturates at INT64_MAX, far beyond any amount a TStream can
// carry.
inline int64_t DigitsValue(std::string_view text) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    if (value > (kMax - 9) / 10) return kMax;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace tstream_text
