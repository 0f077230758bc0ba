#include "util/qx_guid.h"

#include <cstring>
#include <new>

#include "platform/system/system.h"

namespace qx {

bool CreateGuid(Guid* guid) {
  if (guid == nullptr) return false;
  uint8_t bytes[16];
  if (!platform::RandomBytes(bytes, sizeof(bytes))) return false;
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  guid->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
  guid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid->Data4, bytes + 8, 8);
  return true;
}

qxString CreateGuidString() {
  try {
    Guid guid;
    if (!CreateGuid(&guid)) return qxString();
    return FormattedText("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                         static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                         static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1],
                         guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                         guid.Data4[6], guid.Data4[7]);
  } catch (...) {
    return qxString();
  }
}

qxString CreateFormattedGuid(char open, char close, char separator) {
  Guid guid;
  if (!CreateGuid(&guid)) throw qxException("Could not convert a GUID into a String.");
  // Each of the three characters is used as a one-character C text, so NUL adds
  // nothing.
  const char openText[2] = {open, '\0'};
  const char closeText[2] = {close, '\0'};
  const char sep[2] = {separator, '\0'};
  qxString text;
  text += openText;
  text += FormattedText("%08X", static_cast<unsigned>(guid.Data1));
  text += sep;
  text += FormattedText("%04X", static_cast<unsigned>(guid.Data2));
  text += sep;
  text += FormattedText("%04X", static_cast<unsigned>(guid.Data3));
  text += sep;
  text += FormattedText("%02X%02X", guid.Data4[0], guid.Data4[1]);
  text += sep;
  for (int i = 2; i < 8; ++i) text += FormattedText("%02X", guid.Data4[i]);
  text += closeText;
  return text;
}

void BytesToHexText(const void* bytes, size_t count, qxString& target) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  target.Empty();
  if (bytes == nullptr || count == 0) return;
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string hex;
  hex.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    hex += kDigits[p[i] >> 4];
    hex += kDigits[p[i] & 0x0F];
  }
  target = hex;
}

}  // namespace qx

qxWideToNarrow::qxWideToNarrow(const char16_t* text, size_t length) {
  if (text == nullptr) return;
  if (length == npos) {
    length = 0;
    while (text[length] != 0) ++length;
  }
  m_Text = new (std::nothrow) char[length + 1];
  if (m_Text == nullptr) return;
  for (size_t i = 0; i < length; ++i) m_Text[i] = static_cast<char>(text[i] & 0xFF);
  m_Text[length] = '\0';
  m_Length = length;
}

qxWideToNarrow::~qxWideToNarrow() { delete[] m_Text; }

qxNarrowToWide::qxNarrowToWide(const char* text, size_t length) {
  if (text == nullptr) return;
  if (length == npos) length = std::strlen(text);
  m_Text = new (std::nothrow) char16_t[length + 1];
  if (m_Text == nullptr) return;
  for (size_t i = 0; i < length; ++i) {
    m_Text[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  }
  m_Text[length] = 0;
  m_Length = length;
}

qxNarrowToWide::~qxNarrowToWide() { delete[] m_Text; }
