// The frame of an Elavon host request and the small pieces its builders share.
//
// A request is a byte string: STX, the header (marker '*' or '#', "00", "E", "4029",
// 'A' or 'M', the three-digit Elavon code, the terminal identifier, the BIN, the
// merchant/terminal id, "zovade"), fields of GS + two-character FID + data with FS
// between subfields, ETX, then one checksum byte: the XOR of every byte from the
// marker through the ETX. The checksum is always there, even when it is NUL, so a
// message is never handled as a C string.
//
// The request builders themselves are methods of CElavonTran (core/tran/elavon_tran.h)
// defined in this folder. Everything declared here is stateless apart from
// TerminalIdentifier without parameters, which reads a copy of g_ParamStore's settings
// (taking the store's mutex); all are safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/vocab/control_chars.h"

class CParamMap;


// Header positions (counted from 0, the STX).
inline constexpr std::size_t kElavonMarkerPos = 1;
inline constexpr std::size_t kElavonCodePos = 10;
inline constexpr std::size_t kElavonCodeLength = 3;
inline constexpr std::size_t kElavonHeaderLength = 49;  // STX through "zovade"

// The marker of a request as built, and the one request routing may put in its place.
inline constexpr char kElavonMarkerBuilt = '*';
inline constexpr char kElavonMarkerAlternate = '#';

// The XOR of message's bytes from the marker (position 1) to its end; 0 for a message
// of one byte or none. Pass the message up to and including its ETX.
char ElavonChecksum(std::string_view messageThroughEtx);
// Appends ETX and the checksum byte to a message built up to its last field.
void AppendElavonTrailer(std::string& message);
// For a finished message (its last byte the checksum) whose bytes were changed: drops
// the last byte and appends the checksum of the rest. A message shorter than two bytes
// is left alone.
void ReplaceElavonChecksum(std::string& message);

// The eight-character terminal identifier of the header: "JX4807", then "M" for
// MERCHANT CATEGORY 3, "I" for 4, "G" for any other value (absent or not a number: 0),
// then "C" with the suffix, else one blank.
std::string TerminalIdentifier(bool withSuffix);
std::string TerminalIdentifier(bool withSuffix, const CParamMap& params);

// The rightmost width characters of width fill characters followed by value: value
// right-aligned, filled on the left, cut to its last width characters when longer.
std::string RightAligned(const std::string& value, std::size_t width, char fill);
// value followed by width fill characters, cut to its first width characters.
std::string LeftAligned(const std::string& value, std::size_t width, char fill);

// Track data sent with its expiry turned from YYMM to MMYY: the text up to and
// including its first '=', then the characters 3 and 4 places after the '=', then those
// 1 and 2 places after it; what follows the expiry is dropped. A text without '=' is
// returned unchanged.
std::string TrackWithExpiryAsMMYY(const std::string& cardData);

// Item number (from 1) of an AcqRefData text split at '|' into *value; false, with
// *value empty, when the text has no such item.
bool LookupAcqRefDataItem(const std::string& acqRefData, int item, std::string* value);
// The item's text, or "" when there is none.
std::string AcqRefDataItem(const std::string& acqRefData, int item);
