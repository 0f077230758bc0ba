// The rewrites the log writer applies to a line before it reaches the day's file, so
// that neither key blocks, login challenges nor encrypted payloads are ever stored.
// Pure functions on a byte string; safe from any thread.
#pragma once

#include <string>
#include <string_view>

// A client frame is an FS followed by the mode character "1" (the first such pair is
// taken; only when there is none, the first FS "2").
//
// When the line holds a client frame and, from the frame marker on, the words
// "sent to" (or, when those are absent, "received from"), the line becomes the text
// before the marker, " Encrypted Msg ] " and the rest of the line from those words.
//
// Every other line (including a client frame without either word after its marker)
// loses its first DC1..DC2 span and then its first RS..US span, delimiters included;
// a span whose closing character is missing is left alone.
void MaskEncryptedLogText(std::string& line);

// Removes the first "TranType=Administrative" together with the one character after
// it (the FS that ends the item), when the line holds it.
void StripAdministrativeTranType(std::string& line);

// ---- Text from outside (clients, hosts, services) on its way to the log ----

// How much of a request or reply a log record shows.
inline constexpr size_t kLogTextLimit = 4096;
// The longest text the writer writes as one record; anything beyond is cut (a last
// bound for lines that no caller cut).
inline constexpr size_t kLogLineLimit = 65536;

// text when it has at most limit bytes; else its first bytes and "...[cut: N bytes]"
// with N the full length. The cut never leaves a key block or challenge opened by DC1
// or RS without its DC2 or US, so that the writer's masking still finds whole spans:
// such an unclosed span is cut away with its opening byte.
std::string CutForLog(std::string_view text, size_t limit = kLogTextLimit);

// text with every card number overwritten: each run of 13 to 19 digits (with no digit
// right before or after it) that passes the Luhn check keeps its last four digits and
// has every other digit written 'X'. Shorter and longer runs (amounts, dates,
// sequence numbers, counters) and runs that fail the check stay as they are. Applied
// to every request, reply and host text on its way to the log, whatever item holds
// the number; the text's length never changes.
std::string MaskCardNumbers(std::string_view text);

// text with every CR written "|0d" and every LF "|0a", so that no text from outside
// can end a log record's line or start a line of its own.
std::string EscapeLineBreaks(std::string_view text);

// What the writer does last to every line: each control byte (0x00 to 0x1F and 0x7F)
// other than TAB, CR and LF is written "|" and two lower-case hex digits ("|1c" for
// FS), the way the log shows the bytes of host answers. CR and LF are the line
// breaks of the server's own texts; outside text has had its own escaped
// (EscapeLineBreaks).
void EscapeControlBytes(std::string& line);
