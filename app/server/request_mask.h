// The copy of a request text that goes to the log: card data overwritten with 'X'.
// Stateless; safe on any thread.
#pragma once

#include <string>

// text with, in every occurrence of each item (a value runs from after "Name=" to the
// next FS, or to the end of the text):
// - when the text holds "Track2=": every character of each Track2 value but its '='
//   characters and the four characters just before its first '=' (without '=': its
//   last four); AcctNo and ExpDate are then left as they are;
// - otherwise every character of each AcctNo value but its last four, and every
//   character of each ExpDate value (also without an AcctNo);
// - in either case every character of each CVVData and PINBlock value.
std::string MaskRequestForLog(const std::string& text);
