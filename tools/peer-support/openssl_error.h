// The text of OpenSSL's last error, for the test peers' logs and error returns.
#pragma once

#include <string>

namespace peer_support {

// "step: <OpenSSL's text of the earliest queued error>", or "step" alone when none is
// queued; the thread's error queue is empty afterwards.
std::string OpenSslError(const char* step);

}  // namespace peer_support
