#include "util/qx_string.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "util/qx_guid.h"

namespace {

// "%+2.15f": always a sign and 15 decimals.
std::string DoubleText(double value) { return qx::FormattedText("%+2.15f", value).str(); }

template <typename T>
std::string DecimalText(T value) {
  return std::to_string(value);
}

const char* BoolText(bool value, int style) {
  switch (style) {
    case 1:
      return value ? "true" : "false";
    case 2:
      return value ? "1" : "0";
    case 3:
      return value ? "Y" : "N";
    default:
      return nullptr;
  }
}

// The characters of other from pos, count of them (to its end when the count
// reaches past it); std::out_of_range when pos is past other's length.
std::string PartOf(const std::string& other, size_t pos, size_t count) {
  return other.substr(pos, count);
}

bool IsWhitespace(char c) {
  return c != '\0' && std::strchr(qx::g_WhitespaceChars, c) != nullptr;
}

std::string WithoutTrailingWhitespace(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && IsWhitespace(text[end - 1])) --end;
  return text.substr(0, end);
}

// strcmp / strncmp and their case-insensitive forms on C texts: the comparison
// stops at the first NUL, as the C functions do.
int CompareCText(const char* a, const char* b, size_t limit, bool caseSensitive) {
  for (size_t i = 0; i < limit; ++i) {
    int ca = static_cast<unsigned char>(a[i]);
    int cb = static_cast<unsigned char>(b[i]);
    if (!caseSensitive) {
      ca = std::tolower(ca);
      cb = std::tolower(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

}  // namespace

// ---- Construction -----------------------------------------------------------

qxString::qxString(const char* text, size_t count) {
  if (text == nullptr) return;
  if (count == npos) {
    m_Text.assign(text);
  } else {
    m_Text.assign(text, count);
  }
}

qxString::qxString(const std::string& text) : m_Text(text) {}

qxString::qxString(const qxString* other) {
  if (other != nullptr) m_Text = other->m_Text;
}

qxString::qxString(size_t count, char c) : m_Text(count, c) {}

qxString::qxString(char c) : m_Text(1, c) {}

qxString::qxString(float value) : m_Text(DoubleText(static_cast<double>(value))) {}
qxString::qxString(double value) : m_Text(DoubleText(value)) {}
qxString::qxString(unsigned char value) : m_Text(DecimalText(static_cast<unsigned>(value))) {}
qxString::qxString(short value) : m_Text(DecimalText(static_cast<int>(value))) {}
qxString::qxString(unsigned short value) : m_Text(DecimalText(static_cast<unsigned>(value))) {}
qxString::qxString(int value) : m_Text(DecimalText(value)) {}
qxString::qxString(unsigned int value) : m_Text(qx::IntToRadixText(value, 10).m_Text) {}
qxString::qxString(long value) : m_Text(DecimalText(value)) {}
qxString::qxString(unsigned long value) : m_Text(DecimalText(value)) {}

// ---- Assignment -------------------------------------------------------------

qxString& qxString::operator=(const char* text) {
  if (text == nullptr) {
    m_Text.clear();
  } else {
    m_Text.assign(text);
  }
  return *this;
}

qxString& qxString::operator=(const std::string& text) {
  m_Text = text;
  return *this;
}

qxString& qxString::operator=(const qxString* other) {
  if (other == nullptr) {
    m_Text.clear();
  } else if (other != this) {
    m_Text = other->m_Text;
  }
  return *this;
}

qxString& qxString::Assign(const qxString& other) {
  m_Text = other.m_Text;
  return *this;
}

qxString& qxString::Assign(const char* text, size_t count) {
  if (text == nullptr) {
    m_Text.clear();
  } else {
    m_Text.assign(text, count);
  }
  return *this;
}

qxString& qxString::Assign(const qxString& other, size_t pos, size_t count) {
  m_Text = PartOf(other.m_Text, pos, count);
  return *this;
}

qxString& qxString::AssignBool(bool value, int style) {
  if (const char* text = BoolText(value, style)) m_Text = text;
  return *this;
}

qxString qxString::FromDouble(double value, bool assign) {
  qxString text(value);
  if (assign) m_Text = text.m_Text;
  return text;
}

// ---- Appending --------------------------------------------------------------

qxString& qxString::operator+=(const qxString& other) {
  m_Text += other.m_Text;
  return *this;
}

qxString& qxString::Append(const qxString& other) { return *this += other; }

qxString& qxString::Append(const std::string& other) {
  m_Text += other;
  return *this;
}

qxString& qxString::operator+=(const char* text) {
  if (text != nullptr) m_Text += text;
  return *this;
}

qxString& qxString::Append(const char* text, size_t count) {
  if (text != nullptr) m_Text.append(text, count);
  return *this;
}

qxString& qxString::Append(const qxString& other, size_t pos, size_t count) {
  m_Text += PartOf(other.m_Text, pos, count);
  return *this;
}

qxString& qxString::operator+=(char c) {
  m_Text += c;
  return *this;
}

qxString& qxString::operator+=(unsigned char value) { return *this += qxString(value); }
qxString& qxString::operator+=(short value) { return *this += qxString(value); }
qxString& qxString::operator+=(unsigned short value) { return *this += qxString(value); }
qxString& qxString::operator+=(int value) { return *this += qxString(value); }
qxString& qxString::operator+=(unsigned int value) { return *this += qxString(value); }
qxString& qxString::operator+=(long value) { return *this += qxString(value); }
qxString& qxString::operator+=(unsigned long value) { return *this += qxString(value); }
qxString& qxString::operator+=(bool value) { return *this += BoolText(value, 1); }
qxString& qxString::operator+=(float value) { return *this += qxString(value); }
qxString& qxString::operator+=(double value) { return *this += qxString(value); }

qxString& qxString::AppendWide(const char16_t* text) {
  if (text == nullptr) return *this;
  qxWideToNarrow narrow(text);
  if (narrow.GetText() != nullptr) m_Text.append(narrow.GetText(), narrow.GetLength());
  return *this;
}

qxString& qxString::Prepend(const char* text, size_t count) {
  if (text != nullptr) m_Text.insert(0, text, count);
  return *this;
}

qxString& qxString::Prepend(const qxString& other) {
  m_Text.insert(0, other.m_Text);
  return *this;
}

qxString& qxString::Prepend(const qxString& other, size_t pos, size_t count) {
  m_Text.insert(0, PartOf(other.m_Text, pos, count));
  return *this;
}

// ---- Substrings -------------------------------------------------------------

qxString qxString::Mid(size_t pos, size_t count) const { return qxString(m_Text.substr(pos, count)); }

qxString qxString::Left(size_t n) const {
  if (n >= m_Text.size()) return *this;
  return qxString(m_Text.substr(0, n));
}

qxString qxString::Right(size_t n) const {
  if (n >= m_Text.size()) return *this;
  return qxString(m_Text.substr(m_Text.size() - n));
}

// Cut(pos, count):
// 1. An empty text or a position not below the length: nothing changes, the
//    empty text is returned.
// 2. A count of npos or one reaching past the end takes the rest.
// 3. Otherwise the count characters are taken and the gap is closed.
qxString qxString::Cut(size_t pos, size_t count) {
  if (m_Text.empty() || pos >= m_Text.size()) return qxString();
  if (count == npos || count >= m_Text.size() - pos) {
    qxString taken(m_Text.substr(pos));
    m_Text.resize(pos);
    return taken;
  }
  qxString taken(m_Text.substr(pos, count));
  m_Text.erase(pos, count);
  return taken;
}

// Insert(pos, other, start, end):
// 1. A position past the length changes nothing; pos == length appends.
// 2. An empty other changes nothing.
// 3. start npos inserts the whole of other; otherwise start not below other's
//    length changes nothing, else other's [start, end) with end cut to its length.
size_t qxString::Insert(size_t pos, const qxString& other, size_t start, size_t end) {
  if (pos > m_Text.size() || other.m_Text.empty()) return m_Text.size();
  std::string part;
  if (start == npos) {
    part = other.m_Text;
  } else {
    if (start >= other.m_Text.size()) return m_Text.size();
    if (end == npos || end > other.m_Text.size()) end = other.m_Text.size();
    if (end <= start) return m_Text.size();
    part = other.m_Text.substr(start, end - start);
  }
  m_Text.insert(pos, part);
  return m_Text.size();
}

// ---- Numbers ----------------------------------------------------------------

long qxString::ToLong() const {
  if (m_Text.empty()) return 0;
  return std::strtol(m_Text.c_str(), nullptr, 10);
}

// strtol on a 32-bit long: a number beyond the int range saturates.
int qxString::ToInt() const {
  const long value = ToLong();
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

unsigned long qxString::ToULong() const {
  if (m_Text.empty()) return 0;
  return std::strtoul(m_Text.c_str(), nullptr, 10);
}

// strtoul on a 32-bit unsigned long: a number whose digits exceed UINT_MAX saturates
// there, with or without a minus sign; a minus sign negates what fits, modulo 2^32
// ("-1" reads as UINT_MAX).
unsigned int qxString::ToUInt() const {
  if (m_Text.empty()) return 0;
  errno = 0;
  const unsigned long value = std::strtoul(m_Text.c_str(), nullptr, 10);
  if (errno == ERANGE) return UINT_MAX;
  size_t first = 0;
  while (first < m_Text.size() && std::isspace(static_cast<unsigned char>(m_Text[first]))) ++first;
  const bool negative = first < m_Text.size() && m_Text[first] == '-';
  const unsigned long digits = negative ? 0UL - value : value;  // what the digits say
  if (digits > UINT_MAX) return UINT_MAX;
  return negative ? 0U - static_cast<unsigned int>(digits) : static_cast<unsigned int>(digits);
}

// The 32-bit reading, narrowed.
unsigned short qxString::ToUShort() const { return static_cast<unsigned short>(ToUInt()); }

// atoi's reading (strtol on a 32-bit long) without its undefined overflow, narrowed.
short qxString::ToShort() const { return static_cast<short>(ToInt()); }

double qxString::ToDouble() const {
  if (m_Text.empty()) return 0;
  return std::strtod(m_Text.c_str(), nullptr);
}

float qxString::ToFloat() const { return static_cast<float>(ToDouble()); }

// ---- Formatting -------------------------------------------------------------

size_t qxString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t length = FormatV(format, args);
  va_end(args);
  return length;
}

// Measures with vsnprintf and then formats into exactly that many characters, so
// no argument (a long text, a pointer, a long double) can overrun the buffer.
size_t qxString::FormatV(const char* format, va_list args) {
  m_Text.clear();
  if (format == nullptr) return 0;
  try {
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0) return 0;
    std::string out(static_cast<size_t>(needed) + 1, '\0');
    const int written = std::vsnprintf(out.data(), out.size(), format, args);
    if (written != needed) return 0;
    out.resize(static_cast<size_t>(needed));
    m_Text.swap(out);
  } catch (...) {
    m_Text.clear();
    return 0;
  }
  return m_Text.size();
}

// ---- Clearing and tests -----------------------------------------------------

void qxString::Empty(bool wipe) {
  if (wipe) Wipe();
  m_Text.clear();
}

void qxString::Wipe() {
  volatile char* p = m_Text.data();
  for (size_t i = 0; i < m_Text.size(); ++i) p[i] = '\0';
}

bool qxString::IsEmpty(bool whitespaceCounts) const {
  if (m_Text.empty()) return true;
  if (!whitespaceCounts) return false;
  for (char c : m_Text) {
    if (!IsWhitespace(c)) return false;
  }
  return true;
}

// Compare(other, caseSensitive, prefixOnly, ignoreTrailingWhitespace):
// 1. With ignoreTrailingWhitespace both texts lose their trailing whitespace.
// 2. When either is empty: -1 when this one is the shorter, 1 when the other is,
//    0 when both are empty.
// 3. Otherwise as strcmp / strncmp (prefixOnly: the shorter length), or their
//    case-insensitive forms.
int qxString::Compare(const qxString& other, bool caseSensitive, bool prefixOnly,
                      bool ignoreTrailingWhitespace) const {
  std::string a = m_Text;
  std::string b = other.m_Text;
  if (ignoreTrailingWhitespace) {
    a = WithoutTrailingWhitespace(a);
    b = WithoutTrailingWhitespace(b);
  }
  if (a.empty() || b.empty()) {
    if (a.size() < b.size()) return -1;
    if (b.size() < a.size()) return 1;
    return 0;
  }
  const size_t limit = prefixOnly ? std::min(a.size(), b.size()) : std::max(a.size(), b.size()) + 1;
  return CompareCText(a.c_str(), b.c_str(), limit, caseSensitive);
}

// ---- qxException ------------------------------------------------------------

qxException::qxException(const char* format, ...) {
  va_list args;
  va_start(args, format);
  m_Message.FormatV(format, args);
  va_end(args);
}

// ---- Free functions ---------------------------------------------------------

namespace qx {

qxString FormattedTextV(const char* format, va_list args) {
  qxString text;
  text.FormatV(format, args);
  return text;
}

qxString FormattedText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  qxString text = FormattedTextV(format, args);
  va_end(args);
  return text;
}

qxString IntToRadixText(unsigned int value, int radix) {
  if (radix < 2 || radix > 36) return qxString();
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  char buffer[33];
  size_t pos = sizeof(buffer);
  do {
    buffer[--pos] = kDigits[value % static_cast<unsigned>(radix)];
    value /= static_cast<unsigned>(radix);
  } while (value != 0);
  return qxString(buffer + pos, sizeof(buffer) - pos);
}

}  // namespace qx
