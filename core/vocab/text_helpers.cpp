#include "core/vocab/text_helpers.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "platform/text/format.h"

namespace {

void RemoveAll(std::string& text, char c) {
  std::string kept;
  kept.reserve(text.size());
  for (char ch : text) {
    if (ch != c) kept += ch;
  }
  text.swap(kept);
}

// Removes blanks and signs; a 'C' or a '-' anywhere marks the amount negative.
std::string StripSigns(const std::string& text, bool& negative) {
  std::string t = text;
  RemoveAll(t, ' ');
  negative = false;
  if (t.find('C') != std::string::npos) {
    RemoveAll(t, 'C');
    negative = true;
  }
  if (t.find('-') != std::string::npos) {
    RemoveAll(t, '-');
    negative = true;
  }
  RemoveAll(t, '+');
  return t;
}

// With a '.', pads or cuts the text so that exactly two characters follow the first '.'.
void KeepTwoDecimals(std::string& t) {
  const std::size_t point = t.find('.');
  if (point == std::string::npos) return;
  const std::size_t wanted = point + 3;
  if (t.size() < wanted) t.append(wanted - t.size(), '0');
  t.resize(wanted);
}

bool IsAmountChar(char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-'; }

// Only digits, '.' and '-', and at most one '.'.
bool HasOnlyNumberChars(const std::string& text) {
  int points = 0;
  for (char c : text) {
    if (!IsAmountChar(c)) return false;
    if (c == '.' && ++points > 1) return false;
  }
  return true;
}

}  // namespace

std::string SafeMid(const std::string& s, int start, int count) {
  if (count <= 0) return std::string();
  const std::size_t from = start < 0 ? 0 : static_cast<std::size_t>(start);
  if (from >= s.size()) return std::string();
  return s.substr(from, static_cast<std::size_t>(count));
}

std::string SafeMid(const std::string& s, int start) {
  const std::size_t from = start < 0 ? 0 : static_cast<std::size_t>(start);
  if (from >= s.size()) return std::string();
  return s.substr(from);
}

bool SplitToMap(char delimiter, const std::string& text, FieldMap& fields) {
  fields.clear();
  if (text.empty()) return false;
  std::string field;
  int number = 1;
  for (char c : text) {
    if (c == delimiter) {
      fields[number] = field;
      field.clear();
      ++number;
    } else {
      field += c;
    }
  }
  if (!field.empty()) fields[number] = field;
  return true;
}

std::string LookupField(const FieldMap& fields, int number) {
  const auto it = fields.find(number);
  return it == fields.end() ? std::string() : it->second;
}

std::string LookupString(const TextMap& texts, const std::string& key) {
  const auto it = texts.find(key);
  return it == texts.end() ? std::string() : it->second;
}

std::string IntToStr(int value) { return platform::Format("%d", value); }

std::string FormatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::FormatV(format, args);
  va_end(args);
  return text;
}

std::string SystemErrorText(uint32_t code) { return platform::SystemErrorText(code); }

std::string MaskAccountNumber(const std::string& account) {
  if (account.size() <= 4) return account;
  std::string masked = account;
  masked.replace(0, masked.size() - 4, masked.size() - 4, 'X');
  return masked;
}

std::string MaskLastFour(const std::string& text) {
  if (text.size() < 4) return text;
  std::string masked = text;
  masked.replace(masked.size() - 4, 4, "XXXX");
  return masked;
}

bool IsAmountText(const std::string& text) {
  const std::size_t len = text.size();
  const std::size_t max_len = text.find('-') == std::string::npos ? 9 : 8;
  if (len < 3 || len > max_len) return false;
  if (text[len - 3] != '.') return false;
  return HasOnlyNumberChars(text);
}

bool IsQuantityText(const std::string& text) {
  const std::size_t len = text.size();
  if (len < 4 || len > 7) return false;
  if (text[len - 4] != '.') return false;
  return HasOnlyNumberChars(text);
}

std::string NormalizeAmountText(const std::string& text) {
  bool negative = false;
  std::string t = StripSigns(text, negative);
  KeepTwoDecimals(t);
  RemoveAll(t, '.');
  if (t.size() < 3) t.insert(0, 3 - t.size(), '0');
  t.insert(t.size() - 2, 1, '.');
  if (negative) t.insert(0, 1, '-');
  return t;
}

int32_t AmountTextToCents(const std::string& text) {
  bool negative = false;
  std::string t = StripSigns(text, negative);
  if (t.empty()) t = ".00";
  KeepTwoDecimals(t);
  RemoveAll(t, '.');

  // Leading digits only; the magnitude saturates just past the int32 range so that
  // any length of digits stays defined.
  constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
  int64_t magnitude = 0;
  for (char c : t) {
    if (c < '0' || c > '9') break;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<int32_t>(-magnitude);  // -kLimit is INT32_MIN
  if (magnitude > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(magnitude);
}

std::string CentsToAmountText(int32_t cents) { return NormalizeAmountText(IntToStr(cents)); }

int LeadingIntClamped(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // The magnitude stops just past the int range, so that any length of digits stays
  // defined; -(INT_MAX + 1) is INT_MIN.
  constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int>::max()) + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<int>(-magnitude);
  if (magnitude > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  return static_cast<int>(magnitude);
}

int AtoiClamped(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  return LeadingIntClamped(text.substr(i));
}
