// Number and markup texts: FormatNumber (decimals, rounding or cutting, thousands
// grouping, sign, prefix and suffix), the XML attribute, element and tag texts
// with TAB indentation, and the system's message text for an error code.
//
// Numbers are written and read in the "C" locale whatever locale the process has
// chosen, so the decimal point is always '.'. Everything here is stateless and
// safe from any thread; nothing throws.
#pragma once

#include <cstdint>

#include "util/qx_string.h"

namespace qx {

// value with decimals decimals: rounded ("%2.<decimals>f"), or cut from the
// "%2.15f" text without rounding. The integer part is grouped by threes from the
// right with separator between the groups (none for an empty separator), "-" is put
// in front of a negative value, then prefix before and suffix after. The width 2 of
// the formats stays: 5 rounded to 0 decimals gives " 5".
qxString FormatNumber(double value, uint16_t decimals, bool rounded, const qxString& separator,
                      const qxString& prefix, const qxString& suffix);

// A blank, name, "=", a double quote, value and a double quote (no escaping).
qxString XmlAttributeText(const qxString& name, const qxString& value);
// indent TABs (none when indent is not positive), "<name>", content, "</name>", and
// CR LF when lineEnd is set. No escaping.
qxString XmlElementText(const qxString& name, const qxString& content, bool lineEnd, int indent);
qxString XmlOpenTagText(const qxString& name, bool lineEnd, int indent);
qxString XmlCloseTagText(const qxString& name, bool lineEnd, int indent);

// The system's text for the error number (errno values; 2 is "No such file or
// directory"), in the language of the process's message locale; with trimEnd
// trailing whitespace is removed. The empty text for a number the system has no
// name for.
qxString GetSystemMessageText(int code, bool trimEnd);

// The printf text of the format in the "C" locale (the empty text on a formatting
// error).
qxString CLocaleText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The leading number of the text as atof reads it in the "C" locale (0 when there
// is none).
double CLocaleToDouble(const qxString& text);

}  // namespace qx
