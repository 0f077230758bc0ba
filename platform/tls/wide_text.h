// UTF-8 <-> UTF-16 for the wide-character names of the certificate functions.
// Stateless; safe from any thread.
#pragma once

#include <string>

#include "platform/tls/cert.h"

namespace platform::tls {

// Encodes a NUL-terminated UTF-16 text as UTF-8. False on an unpaired surrogate.
bool Utf8FromUtf16(const WCHAR* text, std::string* out);

}  // namespace platform::tls
