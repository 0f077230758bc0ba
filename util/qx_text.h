// Free companions of qxString's text algorithms: copies with the member operation
// applied, the case-insensitive C-text search and the set of words that read as
// true. All are stateless; TrueWords() is read-only and safe from any thread.
#pragma once

#include <set>

#include "util/qx_string.h"

namespace qx {

// The words IsTrue accepts: "TRUE", "T", "YES", "Y", "ON" and "1".
const std::set<qxString>& TrueWords();

qxString Trimmed(const qxString& text);
qxString Trimmed(const qxString& text, const qxString& setOrAffix, bool setMode);

qxString Replaced(const qxString& text, const qxString& find, const qxString& with,
                  bool caseSensitive = true, size_t max = qxString::npos);
qxString ReplacedChar(const qxString& text, char c, char with, bool caseSensitive = true,
                      size_t max = qxString::npos);

qxString ToLower(const qxString& text, size_t start = 0);
qxString ToUpper(const qxString& text, size_t start = 0);
qxString Repeated(const qxString& text, size_t n);

// The first place in text where pattern occurs when both are lower-cased
// character by character; text itself for an empty pattern; null when it does not
// occur or either pointer is null.
const char* FindTextNoCase(const char* text, const char* pattern);

}  // namespace qx
