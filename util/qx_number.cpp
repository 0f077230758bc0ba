#include "util/qx_number.h"

#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace qx {

namespace {

// The "C" locale, made once and kept for the life of the process.
locale_t CLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

// Makes the "C" locale the calling thread's locale for the life of the object.
class ScopedCLocale {
 public:
  ScopedCLocale() {
    const locale_t c = CLocale();
    if (c != static_cast<locale_t>(nullptr)) previous_ = uselocale(c);
  }
  ~ScopedCLocale() {
    if (previous_ != static_cast<locale_t>(nullptr)) uselocale(previous_);
  }
  ScopedCLocale(const ScopedCLocale&) = delete;
  ScopedCLocale& operator=(const ScopedCLocale&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

qxString Tabs(int indent) {
  return indent > 0 ? qxString(static_cast<size_t>(indent), '\t') : qxString();
}

qxString WithLineEnd(qxString text, bool lineEnd) {
  if (lineEnd) text += "\r\n";
  return text;
}

// The characters of digits grouped by threes from the right, separator between.
qxString Grouped(const std::string& digits, const qxString& separator) {
  if (separator.IsEmpty()) return qxString(digits);
  qxString out;
  const size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += separator;
    out += digits[i];
  }
  return out;
}

}  // namespace

qxString CLocaleText(const char* format, ...) {
  if (format == nullptr) return qxString();
  ScopedCLocale c;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return qxString(text);
}

double CLocaleToDouble(const qxString& text) {
  const locale_t c = CLocale();
  if (c == static_cast<locale_t>(nullptr)) return std::strtod(text.c_str(), nullptr);
  return strtod_l(text.c_str(), nullptr, c);
}

// FormatNumber(value, decimals, rounded, separator, prefix, suffix):
// 1. Negative when below 0.
// 2. The text is "%2.<decimals>f" when rounded, else "%2.15f". The integer part is
//    the text before its last '.' (the whole text without one); with decimals the
//    fraction is the text after it, cut to decimals characters.
// 3. A negative value's integer part of more than one character loses its '-'.
// 4. An empty integer part gives the empty text; otherwise the grouped integer
//    part, "." and the fraction when there is one, "-" in front when negative,
//    then the prefix before and the suffix after.
qxString FormatNumber(double value, uint16_t decimals, bool rounded, const qxString& separator,
                      const qxString& prefix, const qxString& suffix) {
  const bool negative = value < 0;
  const std::string text = (rounded ? CLocaleText("%2.*f", static_cast<int>(decimals), value)
                                    : CLocaleText("%2.15f", value))
                               .str();
  const size_t point = text.rfind('.');
  std::string integer = point == std::string::npos ? text : text.substr(0, point);
  std::string fraction;
  if (decimals != 0 && point != std::string::npos) {
    fraction = text.substr(point + 1, decimals);
  }
  if (negative && integer.size() > 1) integer.erase(0, 1);
  if (integer.empty()) return qxString();

  qxString out = Grouped(integer, separator);
  if (!fraction.empty()) {
    out += '.';
    out += fraction.c_str();
  }
  if (negative) out.Prepend("-", 1);
  out += suffix;
  out.Prepend(prefix);
  return out;
}

qxString XmlAttributeText(const qxString& name, const qxString& value) {
  qxString out(" ");
  out += name;
  out += "=\"";
  out += value;
  out += '"';
  return out;
}

qxString XmlElementText(const qxString& name, const qxString& content, bool lineEnd, int indent) {
  qxString out = Tabs(indent);
  out += '<';
  out += name;
  out += '>';
  out += content;
  out += "</";
  out += name;
  out += '>';
  return WithLineEnd(out, lineEnd);
}

qxString XmlOpenTagText(const qxString& name, bool lineEnd, int indent) {
  qxString out = Tabs(indent);
  out += '<';
  out += name;
  out += '>';
  return WithLineEnd(out, lineEnd);
}

qxString XmlCloseTagText(const qxString& name, bool lineEnd, int indent) {
  qxString out = Tabs(indent);
  out += "</";
  out += name;
  out += '>';
  return WithLineEnd(out, lineEnd);
}

qxString GetSystemMessageText(int code, bool trimEnd) {
  // A number without a name is one the system has no text for ("Unknown error").
  if (strerrorname_np(code) == nullptr) return qxString();
  char buffer[512];
  const char* text = strerror_r(code, buffer, sizeof(buffer));
  qxString out(text);
  if (trimEnd) out.TrimRight();
  return out;
}

}  // namespace qx
