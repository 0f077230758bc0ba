// Hex texts of the client protocol: two characters per byte, high nibble first.
// The server writes only upper-case digits, so FromHex accepts nothing else; a
// lower-case text is refused rather than read leniently. Stateless, no lock.
#pragma once

#include <string>
#include <string_view>

namespace pos_client {

// The hex text of the bytes; upper-case unless lower_case is set (a fault for
// negative tests).
std::string ToHex(std::string_view bytes, bool lower_case = false);

// Decodes an upper-case hex text. False for an odd length or any character
// outside "0"-"9" and "A"-"F"; *bytes is then left empty.
bool FromHex(std::string_view hex, std::string* bytes);

}  // namespace pos_client
