#include "app/server/ws_text.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/net/socket.h"

namespace {

bool IsDelimiter(char c, const char* delimiters) { return c != '\0' && std::strchr(delimiters, c) != nullptr; }

int CopyOut(const std::string& text, char* buffer, int size) {
  if (size < static_cast<int>(text.size()) + 1) return 1;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return 0;
}

}  // namespace

int GetToken(const char* text, const char* delimiters, int index, char* buffer, int size) {
  if (text == nullptr || index < 0) return 1;
  int n = 0;
  const char* p = text;
  while (*p != '\0') {
    while (IsDelimiter(*p, delimiters)) ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && !IsDelimiter(*p, delimiters)) ++p;
    if (n++ == index) return CopyOut(std::string(start, static_cast<size_t>(p - start)), buffer, size);
  }
  return 1;
}

int GetTokenAsLong(const char* text, const char* delimiters, int index, long* value) {
  char buffer[60];
  if (GetToken(text, delimiters, index, buffer, sizeof buffer) != 0) return 1;
  *value = std::atol(buffer);
  return 0;
}

int CountTokens(const char* text, const char* delimiters) {
  int n = 0;
  for (const char* p = text; p != nullptr && *p != '\0';) {
    while (IsDelimiter(*p, delimiters)) ++p;
    if (*p == '\0') break;
    ++n;
    while (*p != '\0' && !IsDelimiter(*p, delimiters)) ++p;
  }
  return n;
}

void StripLineEnd(char* text) {
  const size_t length = std::strlen(text);
  const auto isEnd = [](char c) { return c == '\r' || c == '\n'; };
  if (length >= 2 && isEnd(text[length - 2])) {
    text[length - 2] = '\0';
  } else if (length >= 1 && isEnd(text[length - 1])) {
    text[length - 1] = '\0';
  }
}

int AddressToHostName(const char* address, char* buffer, int size) {
  uint32_t address_be = 0;
  if (address == nullptr || !platform::net::ParseIPv4(address, &address_be)) return 2;
  std::string host;
  if (platform::net::LookupHostName(address_be, &host) != 0) return 2;
  return CopyOut(host, buffer, size);
}

int HostNameToAddress(const char* name, char* buffer, int size) {
  if (name == nullptr || *name == '\0') return 2;
  const char* at = std::strrchr(name + 1, '@');
  const char* host = at != nullptr ? at + 1 : name;
  uint32_t address_be = 0;
  if (platform::net::ResolveIPv4(host, &address_be) != 0) return 2;
  const std::string text = platform::net::IPv4Text(address_be);
  return text.empty() ? 2 : CopyOut(text, buffer, size);
}
