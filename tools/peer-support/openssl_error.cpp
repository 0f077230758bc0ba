#include "tools/peer-support/openssl_error.h"

#include <openssl/err.h>

namespace peer_support {

std::string OpenSslError(const char* step) {
  std::string text = step;
  const unsigned long code = ERR_get_error();
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  ERR_clear_error();
  return text;
}

}  // namespace peer_support
