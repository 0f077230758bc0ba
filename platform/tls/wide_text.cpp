#include "platform/tls/wide_text.h"

#include <cstring>
#include <vector>

#include "platform/text/format.h"

namespace platform::tls {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[*i..n); false (and *i past one byte) when invalid.
bool DecodeUtf8(const unsigned char* s, size_t n, size_t* i, char32_t* cp) {
  const unsigned char lead = s[*i];
  size_t extra;
  char32_t value;
  char32_t min;
  if (lead < 0x80) {
    *cp = lead;
    ++*i;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07, min = 0x10000;
  } else {
    ++*i;
    return false;
  }
  if (extra > n - *i - 1) {  // cut short by the end of the input
    ++*i;
    return false;
  }
  for (size_t k = 1; k <= extra; ++k) {
    const unsigned char c = s[*i + k];
    if ((c & 0xC0) != 0x80) {
      ++*i;
      return false;
    }
    value = (value << 6) | (c & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++*i;
    return false;
  }
  *cp = value;
  *i += extra + 1;
  return true;
}

void AppendUtf16(char32_t cp, std::vector<WCHAR>* out) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out->push_back(static_cast<WCHAR>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
  } else {
    out->push_back(static_cast<WCHAR>(cp));
  }
}

}  // namespace

int MultiByteToWideChar(uint32_t code_page, DWORD flags, const char* src, int src_len, WCHAR* dst,
                        int dst_len) {
  if ((code_page != CP_ACP && code_page != CP_UTF8) || src == nullptr || src_len == 0 || src_len < -1 ||
      dst_len < 0 || (flags & ~MB_ERR_INVALID_CHARS) != 0) {
    platform::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const size_t n = src_len == -1 ? std::strlen(src) + 1 : static_cast<size_t>(src_len);
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  std::vector<WCHAR> wide;
  wide.reserve(n);
  for (size_t i = 0; i < n;) {
    char32_t cp;
    if (!DecodeUtf8(s, n, &i, &cp)) {
      if (flags & MB_ERR_INVALID_CHARS) {
        platform::SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      cp = kReplacement;
    }
    AppendUtf16(cp, &wide);
  }
  const int needed = static_cast<int>(wide.size());
  if (dst == nullptr || dst_len == 0) return needed;
  if (dst_len < needed) {
    platform::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(dst, wide.data(), wide.size() * sizeof(WCHAR));
  return needed;
}

bool Utf8FromUtf16(const WCHAR* text, std::string* out) {
  out->clear();
  for (size_t i = 0; text[i] != 0; ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      const char32_t low = text[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return true;
}

}  // namespace platform::tls
