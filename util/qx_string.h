// qxString: the support library's text of 8-bit characters, and qxException, the
// library's one exception type.
//
// qxString is a value: copies are independent, two strings compare and order as
// their bytes do (shorter prefix first). The text is counted, so it may hold NUL
// characters, and it is always followed by a NUL so that c_str() reads as a C text.
// Positions and counts are size_t; npos means "not found" in results and "to the
// end" or "all" in arguments. A string is not synchronised: one thread at a time.
//
// The text algorithms (trimming, searching, replacing, splitting, case, padding and
// the tests) are members too; they are implemented in qx_text.cpp and their free
// companions are declared in qx_text.h.
//
// qxException carries a formatted message. The library throws it by value for the
// failures of an operation's domain and catches it only inside the library.
#pragma once

#include <compare>
#include <concepts>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class qxDate;
class qxTimeOfDay;
struct qxNamedValue;

class qxString {
 public:
  static constexpr size_t npos = std::string::npos;

  // ---- Construction -------------------------------------------------------
  qxString() = default;
  // The count characters from the pointer, or up to the first NUL for npos; a null
  // pointer gives the empty text.
  qxString(const char* text, size_t count = npos);  // NOLINT(runtime/explicit)
  qxString(const std::string& text);                // NOLINT(runtime/explicit)
  qxString(const qxString& other) = default;
  qxString(qxString&& other) noexcept = default;
  // A copy of the pointed-to text; null gives the empty text.
  explicit qxString(const qxString* other);
  // count copies of c (npos raises std::length_error).
  qxString(size_t count, char c);
  explicit qxString(char c);
  // The text repeated count times (empty for a count of 0 or below). Only a
  // qxString selects this form, so qxString("abc", 2) stays a counted text.
  template <std::same_as<qxString> S>
  qxString(const S& text, int count) {
    for (int i = 0; i < count; ++i) m_Text += text.m_Text;
  }
  // As AssignBool with that style; any other style gives the empty text. Only a
  // real bool selects this form, so qxString(text, 3) stays a counted text.
  template <std::same_as<bool> B>
  qxString(B value, int style) {
    AssignBool(value, style);
  }
  // "%+2.15f" (always a sign, 15 decimals).
  explicit qxString(float value);
  explicit qxString(double value);
  // Decimal texts.
  explicit qxString(unsigned char value);
  explicit qxString(short value);
  explicit qxString(unsigned short value);
  explicit qxString(int value);
  explicit qxString(unsigned int value);
  explicit qxString(long value);
  explicit qxString(unsigned long value);
  // The ISO 8601 text of the date (qxDate::FormatDate type 1, padded).
  explicit qxString(const qxDate& date);
  // "hh:mm:ss" on the 24-hour clock (qxTimeOfDay::Format padded, ':').
  explicit qxString(const qxTimeOfDay& time);

  // Virtual so that a subclass can act on destruction (qxSecureString wipes).
  virtual ~qxString() = default;

  // ---- Assignment ---------------------------------------------------------
  qxString& operator=(const qxString& other) = default;
  qxString& operator=(qxString&& other) noexcept = default;
  qxString& operator=(const char* text);  // null empties the string
  qxString& operator=(const std::string& text);
  qxString& operator=(const qxString* other);  // null empties the string
  qxString& Assign(const qxString& other);
  qxString& Assign(const char* text, size_t count);
  // count characters of other from pos (to its end when the count reaches past
  // it); pos past other's length raises std::out_of_range.
  qxString& Assign(const qxString& other, size_t pos, size_t count);
  // Style 1 "true"/"false", 2 "1"/"0", 3 "Y"/"N"; any other style changes nothing.
  qxString& AssignBool(bool value, int style);
  // The "%+2.15f" text of value; the string takes it as well when assign is true.
  qxString FromDouble(double value, bool assign);

  // ---- Appending ----------------------------------------------------------
  qxString& operator+=(const qxString& other);
  qxString& Append(const qxString& other);
  qxString& Append(const std::string& other);
  qxString& operator+=(const char* text);  // null appends nothing
  qxString& Append(const char* text, size_t count);
  qxString& Append(const qxString& other, size_t pos, size_t count);
  qxString& operator+=(char c);
  qxString& operator+=(unsigned char value);
  qxString& operator+=(short value);
  qxString& operator+=(unsigned short value);
  qxString& operator+=(int value);
  qxString& operator+=(unsigned int value);
  qxString& operator+=(long value);
  qxString& operator+=(unsigned long value);
  qxString& operator+=(bool value);  // always "true" or "false"
  qxString& operator+=(float value);
  qxString& operator+=(double value);
  qxString& operator+=(const qxDate& date);         // FormatDate type 1, '-', padded
  qxString& operator+=(const qxTimeOfDay& time);    // as the constructor
  // The low byte of each 16-bit character up to the wide NUL; null appends nothing.
  qxString& AppendWide(const char16_t* text);

  qxString& Prepend(const char* text, size_t count);
  qxString& Prepend(const qxString& other);
  qxString& Prepend(const qxString& other, size_t pos, size_t count);

  // ---- Access -------------------------------------------------------------
  const char* c_str() const { return m_Text.c_str(); }
  size_t GetLength() const { return m_Text.size(); }
  const std::string& str() const { return m_Text; }
  // The character at pos; pos == length reads the terminating NUL.
  char GetAt(size_t pos) const { return m_Text.c_str()[pos]; }

  // count characters from pos (to the end when it reaches past); pos past the
  // length raises std::out_of_range. Mid, Substr and Segment are the same.
  qxString Mid(size_t pos, size_t count = npos) const;
  qxString Substr(size_t pos, size_t count = npos) const { return Mid(pos, count); }
  qxString Segment(size_t pos, size_t count = npos) const { return Mid(pos, count); }
  qxString Left(size_t n) const;
  qxString Right(size_t n) const;
  // Removes count characters at pos and returns them; see the implementation.
  qxString Cut(size_t pos, size_t count);
  // Inserts other's characters [start, end) at pos (the whole of other when start
  // is npos); returns the new length. Nothing changes for pos past the length.
  size_t Insert(size_t pos, const qxString& other, size_t start = npos, size_t end = npos);

  // ---- Numbers (0 for an empty text; the leading number by the C rules) ----
  // ToInt and ToUInt read as strtol and strtoul do with a 32-bit long: a number out of
  // range saturates (INT_MAX, INT_MIN, UINT_MAX); ToShort and ToUShort narrow those.
  long ToLong() const;
  int ToInt() const;
  unsigned long ToULong() const;
  unsigned int ToUInt() const;
  unsigned short ToUShort() const;
  short ToShort() const;
  double ToDouble() const;
  float ToFloat() const;

  // ---- Formatting ---------------------------------------------------------
  // The string becomes the printf text, measured first and formatted exactly;
  // returns the new length. A null format or a formatting error gives the empty
  // text and 0. Never throws.
  size_t Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  size_t FormatV(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

  // ---- Clearing and tests -------------------------------------------------
  // Makes the text empty; with wipe every character is overwritten with NUL first.
  void Empty(bool wipe = false);
  // Overwrites every character with NUL; the length stays.
  void Wipe();
  // True for an empty text; with whitespaceCounts also for whitespace only.
  bool IsEmpty(bool whitespaceCounts = false) const;
  // Negative, zero or positive, as strcmp (or case-insensitively); prefixOnly
  // compares the shorter length only; see the implementation for empty texts.
  int Compare(const qxString& other, bool caseSensitive = true, bool prefixOnly = false,
              bool ignoreTrailingWhitespace = false) const;

  friend bool operator==(const qxString& a, const qxString& b) { return a.m_Text == b.m_Text; }
  friend std::strong_ordering operator<=>(const qxString& a, const qxString& b) {
    return a.m_Text.compare(b.m_Text) <=> 0;
  }

  // ==== Text algorithms (qx_text.cpp) ======================================
  // Trimming: the default set is qx::g_WhitespaceChars. With setMode every leading
  // (trailing) character found in text goes; without it one occurrence of text
  // itself, when the string starts (ends) with it.
  qxString& TrimLeft();
  qxString& TrimRight();
  qxString& Trim();
  qxString& TrimLeft(const qxString& text, bool setMode);
  qxString& TrimRight(const qxString& text, bool setMode);
  qxString& Trim(const qxString& text, bool setMode);

  bool StartsWith(const qxString& text, bool caseSensitive = true,
                  bool skipLeadingWhitespace = false) const;
  bool EndsWith(const qxString& text, bool caseSensitive = true,
                bool skipTrailingWhitespace = false) const;
  // 1 when flags has bit 1 and the first character is in set, plus 2 when flags
  // has bit 2 and the last character is.
  int EndCharsInSet(const qxString& set, int flags) const;

  // The n-th occurrence (1-based) of text from the start or the end; occurrences
  // do not overlap and a match of two or more characters never spans a NUL.
  size_t Find(const qxString& text, bool caseSensitive = true, size_t n = 1,
              bool fromEnd = false) const;
  // The same within the characters from start on; positions count from 0.
  size_t Find(size_t start, const qxString& text, bool caseSensitive = true, size_t n = 1,
              bool fromEnd = false) const;
  // Appends every position of text to positions; returns how many were appended.
  size_t FindAll(const qxString& text, std::vector<int>& positions,
                 bool caseSensitive = true) const;
  // Occurrences, at most max; *firstPos receives the first one when one is found.
  size_t Count(const qxString& text, bool caseSensitive = true, size_t max = npos,
               size_t* firstPos = nullptr) const;
  size_t FindOneOf(const qxString& set, size_t start = 0, bool caseSensitive = true,
                   bool backwards = false) const;
  size_t FindNotOneOf(const qxString& set, size_t start = 0, bool caseSensitive = true,
                      bool backwards = false) const;
  // Class bits: 1 space, 2 digit, 4 hex digit, 8 upper, 16 lower, 32 control,
  // 64 printable (the C library's classification).
  size_t FindCharClass(int flags, size_t start = 0, bool backwards = false) const;
  size_t FindNotCharClass(int flags, size_t start = 0, bool backwards = false) const;

  // Replaces non-overlapping occurrences left to right, at most max; the inserted
  // text is never searched again. Returns the number replaced.
  size_t Replace(const qxString& find, const qxString& with, bool caseSensitive = true,
                 size_t max = npos);
  size_t ReplaceChar(char c, char with, bool caseSensitive = true, size_t max = npos);

  // Empties pieces and fills it; returns the number of pieces.
  size_t Split(const qxString& delimiters, std::vector<qxString>& pieces, bool trim = false,
               bool keepEmpty = false) const;
  // Runs of equal consecutive characters ('aabccc' gives 'aa', 'b', 'ccc').
  size_t SplitRuns(std::vector<qxString>& runs) const;

  // Case conversion from start on (the whole string when start is past it), up to
  // the first NUL.
  qxString& MakeLower(size_t start = 0);
  qxString& MakeUpper(size_t start = 0);
  // Reverses the characters before the first NUL.
  qxString& MakeReverse();
  qxString& Repeat(size_t n);
  // Pads to total characters with pad repeated, before or after the text.
  qxString& Pad(bool atStart, const qxString& pad, size_t total);
  // Overwrites [start, end) with c; start npos means 0, end npos or past the
  // length means the length.
  qxString& Fill(char c, size_t start, size_t end);

  bool IsNumeric(bool digitsOnly = false) const;
  // True when the upper-cased text is one of qx::TrueWords() (no trimming).
  bool IsTrue() const;
  // The decimal digits from start on, up to the first character of stopSet.
  qxString ExtractDigits(size_t start, const qxString& stopSet) const;

  // ==== Math statements (qx_math.cpp, declared with their helpers in qx_math.h)
  // True when the text is not empty and holds '+', '-', '*' or '/'.
  bool IsMathStatement() const;
  // The value of the statement read as arithmetic: names substituted, groups
  // resolved innermost first, each flat group scanned left to right without
  // precedence; *resultText (when given) receives the "%+2.15f" text of the value.
  // Throws qxException for unbalanced parentheses and division by zero.
  double EvaluateMathStatement(const std::vector<qxNamedValue>* values = nullptr,
                               qxString* resultText = nullptr) const;

 private:
  std::string m_Text;
};

inline qxString operator+(qxString a, const qxString& b) { return a += b; }

// The library's containers of texts: key to value (one value per key, ordered by
// the bytes of the key) and a key-value pair for lists that keep every pair.
using qxStringMap = std::map<qxString, qxString>;
using qxStringMapEntry = qxStringMap::value_type;
using qxStringPair = std::pair<qxString, qxString>;

// A string that overwrites its characters with zero when destroyed.
class qxSecureString : public qxString {
 public:
  using qxString::qxString;
  qxSecureString() = default;
  qxSecureString(const qxSecureString& other) = default;
  qxSecureString& operator=(const qxSecureString& other) = default;
  ~qxSecureString() override { Wipe(); }
};

// The library's exception: a message text, thrown and caught by value.
class qxException {
 public:
  // The message is the printf text of the format and arguments.
  explicit qxException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  explicit qxException(const qxString& message) : m_Message(message) {}
  qxException(const qxException& other) = default;
  qxException& operator=(const qxException& other) = default;

  const qxString& GetMessage() const { return m_Message; }

  qxString m_Message;
};

namespace qx {

// The default trim set and the whitespace of IsEmpty: TAB, LF, VT, FF, CR, blank.
inline constexpr char g_WhitespaceChars[] = "\t\n\v\f\r ";

// A new string holding the printf text (empty on a formatting error).
qxString FormattedText(const char* format, ...) __attribute__((format(printf, 1, 2)));
qxString FormattedTextV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// The digits of value in radix 2..36 ('0'-'9', then 'a'-'z'); the empty text for
// any other radix.
qxString IntToRadixText(unsigned int value, int radix);

}  // namespace qx
