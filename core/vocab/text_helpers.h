// Small stateless text functions that every module uses: a bounded substring, the
// split of a delimited text into numbered fields and the lookups that read them,
// integer and printf-style formatting, system error texts, the masking of account
// numbers, and the check and conversion of amount texts.
//
// None of them keeps state, takes a lock or fails: each returns a new value and leaves
// its arguments unchanged (SplitToMap fills the map it is given). Safe on any thread.
// Texts are std::string holding raw bytes; no function reads outside its text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// The number at the start of text as the C library's atoi reads it (leading white
// space: blank, TAB, LF, VT, FF, CR; then an optional '+' or '-'; then the decimal
// digits up to the first other character), except that a value beyond the int range
// is clamped to INT_MIN or INT_MAX instead of overflowing. 0 when no digit follows
// ("", "x", "-"); " 42x" gives 42.
int AtoiClamped(std::string_view text);
// As AtoiClamped without the white space: the sign and the digits must start the
// text, so " 2" gives 0.
int LeadingIntClamped(std::string_view text);

// Fields numbered from 1, as SplitToMap produces them.
using FieldMap = std::map<int, std::string>;
// Texts keyed by text (item name to item value and the like).
using TextMap = std::map<std::string, std::string>;

// The count characters of s from start, or fewer when s ends first. A negative start
// counts as 0; a start at or past the end, or a count of 0 or less, gives "".
std::string SafeMid(const std::string& s, int start, int count);
// The rest of s from start ("" when start is at or past the end; a negative start
// counts as 0).
std::string SafeMid(const std::string& s, int start);

// Empties fields, then splits text at every delimiter into fields numbered from 1.
// Empty fields between delimiters are kept; a trailing delimiter adds no field
// ("a;b;" gives 1 "a", 2 "b"; ";" gives 1 ""). Returns false for an empty text.
bool SplitToMap(char delimiter, const std::string& text, FieldMap& fields);

// The text stored under number or key, or "" when there is none.
std::string LookupField(const FieldMap& fields, int number);
std::string LookupString(const TextMap& texts, const std::string& key);

// The decimal text of value ("%d").
std::string IntToStr(int value);

// printf-style formatting into a new text of whatever length it needs.
std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The system's message for an error code, with its "\r\n" line end, or "" when the
// code has no message.
std::string SystemErrorText(uint32_t code);

// A copy of account with every character but the last four replaced by 'X'; a text
// of four characters or fewer is returned unchanged.
std::string MaskAccountNumber(const std::string& account);
// text with its last four characters replaced by "XXXX"; a text shorter than four
// characters is returned unchanged.
std::string MaskLastFour(const std::string& text);

// An amount text has 3 to 9 characters (at most 8 when it holds a '-'), a '.' three
// places from the end, and only digits, one '.' and '-' ("0.00", "-1234.56").
// Where and how often '-' occurs is not checked.
bool IsAmountText(const std::string& text);
// A quantity text has 4 to 7 characters, a '.' four places from the end, and only
// digits, one '.' and '-' ("1.000").
bool IsQuantityText(const std::string& text);

// The amount in the normal form: optional "-", at least one digit, '.', two digits.
// Blanks and '+' are dropped; a 'C' or '-' anywhere makes the amount negative. With a
// '.', two decimals are kept (padded with "0", further ones cut without rounding);
// without one the digits are cents ("5" gives "0.05", "12.5" gives "12.50", "C12.50"
// and "12.50-" give "-12.50", "" gives "0.00"). Other characters are not checked:
// validate with IsAmountText first.
std::string NormalizeAmountText(const std::string& text);

// The amount as signed cents ("12.5" gives 1250, "C1.00" gives -100, "5" gives 5).
// Reads the leading digits after the sign and decimal handling of NormalizeAmountText;
// 0 when there are none. A value beyond the int32 range is clamped to INT32_MIN or
// INT32_MAX.
int32_t AmountTextToCents(const std::string& text);

// The normal amount text of cents (5 gives "0.05", -1250 gives "-12.50").
std::string CentsToAmountText(int32_t cents);
