// The text algorithms of qxString. Every character handed to the C library's
// classification and case functions is passed as an unsigned char value.
#include "util/qx_text.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr size_t npos = qxString::npos;

int Lower(char c) { return std::tolower(static_cast<unsigned char>(c)); }
int Upper(char c) { return std::toupper(static_cast<unsigned char>(c)); }
bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

bool SameChar(char a, char b, bool caseSensitive) {
  return caseSensitive ? a == b : Lower(a) == Lower(b);
}

bool InSet(const std::string& set, char c, bool caseSensitive = true) {
  for (char s : set) {
    if (SameChar(s, c, caseSensitive)) return true;
  }
  return false;
}

// Whether text occurs at position p of s. A text of two or more characters is
// matched within NUL-terminated segments: the match may not hold a NUL of s, so a
// text that holds a NUL itself never matches. A one-character text is compared
// as a character, NUL included.
bool MatchAt(const std::string& s, size_t p, const std::string& text, bool caseSensitive) {
  if (p + text.size() > s.size()) return false;
  if (text.size() == 1) return SameChar(s[p], text[0], caseSensitive);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = s[p + i];
    if (c == '\0' || !SameChar(c, text[i], caseSensitive)) return false;
  }
  return true;
}

// Calls visit(position) for each non-overlapping occurrence, left to right, until
// visit returns false.
template <typename Visit>
void ForEachMatch(const std::string& s, const std::string& text, bool caseSensitive, Visit visit) {
  if (s.empty() || text.empty() || text.size() > s.size()) return;
  size_t p = 0;
  while (p + text.size() <= s.size()) {
    if (MatchAt(s, p, text, caseSensitive)) {
      if (!visit(p)) return;
      p += text.size();
    } else {
      ++p;
    }
  }
}

size_t FindNth(const std::string& s, const std::string& text, bool caseSensitive, size_t n) {
  size_t seen = 0;
  size_t found = npos;
  ForEachMatch(s, text, caseSensitive, [&](size_t p) {
    if (++seen == n) {
      found = p;
      return false;
    }
    return true;
  });
  return found;
}

bool InClass(unsigned char c, int flags) {
  return ((flags & 1) && std::isspace(c)) || ((flags & 2) && std::isdigit(c)) ||
         ((flags & 4) && std::isxdigit(c)) || ((flags & 8) && std::isupper(c)) ||
         ((flags & 16) && std::islower(c)) || ((flags & 32) && std::iscntrl(c)) ||
         ((flags & 64) && std::isprint(c));
}

// The first position from start (forwards) or from start down to 0 (backwards,
// start cut to the last character) whose character satisfies want.
template <typename Want>
size_t ScanFrom(const std::string& s, size_t start, bool backwards, Want want) {
  if (s.empty()) return npos;
  if (!backwards) {
    for (size_t i = start; i < s.size(); ++i) {
      if (want(s[i])) return i;
    }
    return npos;
  }
  for (size_t i = std::min(start, s.size() - 1) + 1; i-- > 0;) {
    if (want(s[i])) return i;
  }
  return npos;
}

}  // namespace

// ---- Trimming ---------------------------------------------------------------

qxString& qxString::TrimLeft() { return TrimLeft(qxString(qx::g_WhitespaceChars), true); }
qxString& qxString::TrimRight() { return TrimRight(qxString(qx::g_WhitespaceChars), true); }
qxString& qxString::Trim() { return TrimLeft().TrimRight(); }

qxString& qxString::TrimLeft(const qxString& text, bool setMode) {
  if (text.m_Text.empty()) return *this;
  if (setMode) {
    size_t i = 0;
    while (i < m_Text.size() && InSet(text.m_Text, m_Text[i])) ++i;
    m_Text.erase(0, i);
  } else if (m_Text.compare(0, text.m_Text.size(), text.m_Text) == 0) {
    m_Text.erase(0, text.m_Text.size());
  }
  return *this;
}

qxString& qxString::TrimRight(const qxString& text, bool setMode) {
  if (text.m_Text.empty()) return *this;
  if (setMode) {
    size_t end = m_Text.size();
    while (end > 0 && InSet(text.m_Text, m_Text[end - 1])) --end;
    m_Text.resize(end);
  } else if (m_Text.size() >= text.m_Text.size() &&
             m_Text.compare(m_Text.size() - text.m_Text.size(), text.m_Text.size(), text.m_Text) == 0) {
    m_Text.resize(m_Text.size() - text.m_Text.size());
  }
  return *this;
}

qxString& qxString::Trim(const qxString& text, bool setMode) {
  return TrimLeft(text, setMode).TrimRight(text, setMode);
}

// ---- Prefix and suffix ------------------------------------------------------

// StartsWith(text, caseSensitive, skipLeadingWhitespace):
// 1. An empty text is a prefix only of the empty string.
// 2. A string shorter than the text does not start with it.
// 3. Leading white space is passed over on request.
// 4. The characters are compared, upper-cased when not case-sensitive.
bool qxString::StartsWith(const qxString& text, bool caseSensitive, bool skipLeadingWhitespace) const {
  const std::string& t = text.m_Text;
  if (t.empty()) return m_Text.empty();
  if (m_Text.size() < t.size()) return false;
  size_t from = 0;
  if (skipLeadingWhitespace) {
    while (from < m_Text.size() && IsSpace(m_Text[from])) ++from;
    if (m_Text.size() - from < t.size()) return false;
  }
  for (size_t i = 0; i < t.size(); ++i) {
    const char a = m_Text[from + i];
    if (caseSensitive ? a != t[i] : Upper(a) != Upper(t[i])) return false;
  }
  return true;
}

bool qxString::EndsWith(const qxString& text, bool caseSensitive, bool skipTrailingWhitespace) const {
  const std::string& t = text.m_Text;
  if (t.empty()) return m_Text.empty();
  if (m_Text.size() < t.size()) return false;
  size_t end = m_Text.size();
  if (skipTrailingWhitespace) {
    while (end > 0 && IsSpace(m_Text[end - 1])) --end;
    if (end < t.size()) return false;
  }
  for (size_t i = 1; i <= t.size(); ++i) {
    const char a = m_Text[end - i];
    const char b = t[t.size() - i];
    if (caseSensitive ? a != b : Upper(a) != Upper(b)) return false;
  }
  return true;
}

int qxString::EndCharsInSet(const qxString& set, int flags) const {
  if (m_Text.empty() || set.m_Text.empty()) return 0;
  int result = 0;
  if ((flags & 1) && InSet(set.m_Text, m_Text.front())) result += 1;
  if ((flags & 2) && InSet(set.m_Text, m_Text.back())) result += 2;
  return result;
}

// ---- Searching --------------------------------------------------------------

// Find(text, caseSensitive, n, fromEnd): the n-th non-overlapping occurrence.
// From the end the same search runs on the reversed string for the reversed
// text, and a position p found there is reported as length - text length - p.
size_t qxString::Find(const qxString& text, bool caseSensitive, size_t n, bool fromEnd) const {
  const std::string& t = text.m_Text;
  if (m_Text.empty() || t.empty() || m_Text.size() < t.size() || n == 0) return npos;
  try {
    if (!fromEnd) return FindNth(m_Text, t, caseSensitive, n);
    const std::string rs(m_Text.rbegin(), m_Text.rend());
    const std::string rt(t.rbegin(), t.rend());
    const size_t p = FindNth(rs, rt, caseSensitive, n);
    return p == npos ? npos : m_Text.size() - t.size() - p;
  } catch (...) {
    return npos;
  }
}

size_t qxString::Find(size_t start, const qxString& text, bool caseSensitive, size_t n,
                      bool fromEnd) const {
  if (m_Text.empty() || start >= m_Text.size()) return npos;
  const size_t p = Mid(start).Find(text, caseSensitive, n, fromEnd);
  return p == npos ? npos : p + start;
}

size_t qxString::FindAll(const qxString& text, std::vector<int>& positions, bool caseSensitive) const {
  size_t added = 0;
  ForEachMatch(m_Text, text.m_Text, caseSensitive, [&](size_t p) {
    positions.push_back(static_cast<int>(p));
    ++added;
    return true;
  });
  return added;
}

size_t qxString::Count(const qxString& text, bool caseSensitive, size_t max, size_t* firstPos) const {
  size_t count = 0;
  if (max == 0) return 0;
  ForEachMatch(m_Text, text.m_Text, caseSensitive, [&](size_t p) {
    if (count == 0 && firstPos != nullptr) *firstPos = p;
    return ++count < max;
  });
  return count;
}

size_t qxString::FindOneOf(const qxString& set, size_t start, bool caseSensitive, bool backwards) const {
  if (set.m_Text.empty()) return npos;
  return ScanFrom(m_Text, start, backwards,
                  [&](char c) { return InSet(set.m_Text, c, caseSensitive); });
}

size_t qxString::FindNotOneOf(const qxString& set, size_t start, bool caseSensitive,
                              bool backwards) const {
  if (set.m_Text.empty()) return npos;
  return ScanFrom(m_Text, start, backwards,
                  [&](char c) { return !InSet(set.m_Text, c, caseSensitive); });
}

// Backwards with start npos begins at the last character; any other start not
// below the length finds nothing in either direction.
size_t qxString::FindCharClass(int flags, size_t start, bool backwards) const {
  if (m_Text.empty()) return npos;
  if (backwards && start == npos) start = m_Text.size() - 1;
  if (start >= m_Text.size()) return npos;
  return ScanFrom(m_Text, start, backwards,
                  [&](char c) { return InClass(static_cast<unsigned char>(c), flags); });
}

size_t qxString::FindNotCharClass(int flags, size_t start, bool backwards) const {
  if (m_Text.empty()) return npos;
  if (backwards && start == npos) start = m_Text.size() - 1;
  if (start >= m_Text.size()) return npos;
  return ScanFrom(m_Text, start, backwards,
                  [&](char c) { return !InClass(static_cast<unsigned char>(c), flags); });
}

// ---- Replacing --------------------------------------------------------------

// Replace(find, with, caseSensitive, max):
// 1. Nothing for an empty find or string, or when find equals with exactly.
// 2. Two single characters go to ReplaceChar.
// 3. The occurrences to replace are found left to right, non-overlapping, at most
//    max; then exactly those are replaced, so the inserted text is never searched.
size_t qxString::Replace(const qxString& find, const qxString& with, bool caseSensitive, size_t max) {
  if (find.m_Text.empty() || m_Text.empty() || find.m_Text == with.m_Text) return 0;
  if (find.m_Text.size() == 1 && with.m_Text.size() == 1) {
    return ReplaceChar(find.m_Text[0], with.m_Text[0], caseSensitive, max);
  }
  if (max == 0) return 0;
  std::vector<size_t> at;
  try {
    ForEachMatch(m_Text, find.m_Text, caseSensitive, [&](size_t p) {
      at.push_back(p);
      return at.size() < max;
    });
    if (at.empty()) return 0;
    std::string out;
    out.reserve(m_Text.size() + at.size() * with.m_Text.size());
    size_t from = 0;
    for (size_t p : at) {
      out.append(m_Text, from, p - from);
      out += with.m_Text;
      from = p + find.m_Text.size();
    }
    out.append(m_Text, from, npos);
    m_Text.swap(out);
  } catch (...) {
    return 0;
  }
  return at.size();
}

size_t qxString::ReplaceChar(char c, char with, bool caseSensitive, size_t max) {
  if (c == with) return 0;
  size_t count = 0;
  for (char& ch : m_Text) {
    if (count >= max) break;
    if (SameChar(ch, c, caseSensitive)) {
      ch = with;
      ++count;
    }
  }
  return count;
}

// ---- Splitting --------------------------------------------------------------

// Split(delimiters, pieces, trim, keepEmpty):
// - an empty string gives no piece, an empty delimiter set the whole string;
// - a piece between delimiters is trimmed on request and added when not empty,
//   or added empty when keepEmpty is set;
// - a trailing delimiter adds no piece; the rest after the last delimiter is
//   always added, trimmed on request, even when trimming left it empty.
size_t qxString::Split(const qxString& delimiters, std::vector<qxString>& pieces, bool trim,
                       bool keepEmpty) const {
  pieces.clear();
  if (m_Text.empty()) return 0;
  if (delimiters.m_Text.empty()) {
    pieces.push_back(*this);
    return 1;
  }
  size_t pos = 0;
  while (true) {
    const size_t d = FindOneOf(delimiters, pos);
    if (d == npos) {
      qxString rest(m_Text.substr(pos));
      if (trim) rest.Trim();
      pieces.push_back(rest);
      break;
    }
    qxString piece(m_Text.substr(pos, d - pos));
    if (!piece.m_Text.empty() && trim) piece.Trim();
    if (!piece.m_Text.empty() || keepEmpty) pieces.push_back(piece);
    pos = d + 1;
    if (pos >= m_Text.size()) break;
  }
  return pieces.size();
}

size_t qxString::SplitRuns(std::vector<qxString>& runs) const {
  runs.clear();
  size_t i = 0;
  while (i < m_Text.size()) {
    size_t j = i + 1;
    while (j < m_Text.size() && m_Text[j] == m_Text[i]) ++j;
    runs.emplace_back(m_Text.substr(i, j - i));
    i = j;
  }
  return runs.size();
}

// ---- Case, order and shape --------------------------------------------------

qxString& qxString::MakeLower(size_t start) {
  if (start >= m_Text.size()) start = 0;
  for (size_t i = start; i < m_Text.size() && m_Text[i] != '\0'; ++i) {
    m_Text[i] = static_cast<char>(Lower(m_Text[i]));
  }
  return *this;
}

qxString& qxString::MakeUpper(size_t start) {
  if (start >= m_Text.size()) start = 0;
  for (size_t i = start; i < m_Text.size() && m_Text[i] != '\0'; ++i) {
    m_Text[i] = static_cast<char>(Upper(m_Text[i]));
  }
  return *this;
}

qxString& qxString::MakeReverse() {
  const size_t nul = m_Text.find('\0');
  const size_t end = nul == npos ? m_Text.size() : nul;
  std::reverse(m_Text.begin(), m_Text.begin() + static_cast<std::ptrdiff_t>(end));
  return *this;
}

qxString& qxString::Repeat(size_t n) {
  std::string out;
  out.reserve(m_Text.size() * n);
  for (size_t i = 0; i < n; ++i) out += m_Text;
  m_Text.swap(out);
  return *this;
}

// Pad(atStart, pad, total): need = total - length characters of pad repeated
// (cut to need), before or after the text; nothing when the text is long enough
// or the pad is empty.
qxString& qxString::Pad(bool atStart, const qxString& pad, size_t total) {
  if (m_Text.size() >= total || pad.m_Text.empty()) return *this;
  const size_t need = total - m_Text.size();
  std::string fill;
  fill.reserve(need + pad.m_Text.size());
  while (fill.size() < need) fill += pad.m_Text;
  fill.resize(need);
  if (atStart) {
    m_Text.insert(0, fill);
  } else {
    m_Text += fill;
  }
  return *this;
}

qxString& qxString::Fill(char c, size_t start, size_t end) {
  if (start == npos) start = 0;
  if (m_Text.empty() || start >= m_Text.size()) return *this;
  if (end == npos || end > m_Text.size()) end = m_Text.size();
  for (size_t i = start; i < end; ++i) m_Text[i] = c;
  return *this;
}

// ---- Tests and extraction ---------------------------------------------------

// IsNumeric(digitsOnly): digits only; or leading blanks, then digits with at most
// one sign (before any digit or point) and at most one point, and a digit seen.
bool qxString::IsNumeric(bool digitsOnly) const {
  if (m_Text.empty()) return false;
  if (digitsOnly) {
    return std::all_of(m_Text.begin(), m_Text.end(), IsDigit);
  }
  size_t i = 0;
  while (i < m_Text.size() && m_Text[i] == ' ') ++i;
  if (i == m_Text.size()) return false;
  bool digit = false;
  bool point = false;
  bool sign = false;
  for (; i < m_Text.size(); ++i) {
    const char c = m_Text[i];
    if (IsDigit(c)) {
      digit = true;
    } else if (c == '+' || c == '-') {
      if (sign || digit || point) return false;
      sign = true;
    } else if (c == '.') {
      if (point) return false;
      point = true;
    } else {
      return false;
    }
  }
  return digit;
}

bool qxString::IsTrue() const { return qx::TrueWords().count(qx::ToUpper(*this)) != 0; }

qxString qxString::ExtractDigits(size_t start, const qxString& stopSet) const {
  qxString digits;
  for (size_t i = start; i < m_Text.size(); ++i) {
    const char c = m_Text[i];
    if (InSet(stopSet.m_Text, c)) break;
    if (IsDigit(c)) digits += c;
  }
  return digits;
}

// ---- Free functions ---------------------------------------------------------

namespace qx {

const std::set<qxString>& TrueWords() {
  static const std::set<qxString> words = {"TRUE", "T", "YES", "Y", "ON", "1"};
  return words;
}

qxString Trimmed(const qxString& text) {
  qxString copy(text);
  copy.Trim();
  return copy;
}

qxString Trimmed(const qxString& text, const qxString& setOrAffix, bool setMode) {
  qxString copy(text);
  copy.Trim(setOrAffix, setMode);
  return copy;
}

qxString Replaced(const qxString& text, const qxString& find, const qxString& with,
                  bool caseSensitive, size_t max) {
  qxString copy(text);
  copy.Replace(find, with, caseSensitive, max);
  return copy;
}

qxString ReplacedChar(const qxString& text, char c, char with, bool caseSensitive, size_t max) {
  qxString copy(text);
  copy.ReplaceChar(c, with, caseSensitive, max);
  return copy;
}

qxString ToLower(const qxString& text, size_t start) {
  qxString copy(text);
  copy.MakeLower(start);
  return copy;
}

qxString ToUpper(const qxString& text, size_t start) {
  qxString copy(text);
  copy.MakeUpper(start);
  return copy;
}

qxString Repeated(const qxString& text, size_t n) {
  qxString copy(text);
  copy.Repeat(n);
  return copy;
}

const char* FindTextNoCase(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr) return nullptr;
  if (*pattern == '\0') return text;
  for (const char* start = text; *start != '\0'; ++start) {
    const char* a = start;
    const char* b = pattern;
    while (*a != '\0' && *b != '\0' && Lower(*a) == Lower(*b)) {
      ++a;
      ++b;
    }
    if (*b == '\0') return start;
    if (*a == '\0') return nullptr;
  }
  return nullptr;
}

}  // namespace qx
