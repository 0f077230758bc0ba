#include "app/server/request_mask.h"

#include <string_view>

namespace {

constexpr char kFS = '\x1C';

// Calls mask(text, start, end) for the value of every occurrence of name.
template <typename Mask>
void ForEachValue(std::string& text, std::string_view name, Mask mask) {
  size_t at = 0;
  while ((at = text.find(name, at)) != std::string::npos) {
    const size_t start = at + name.size();
    size_t end = text.find(kFS, start);
    if (end == std::string::npos) end = text.size();
    mask(text, start, end);
    at = end;
  }
}

void MaskAll(std::string& text, size_t start, size_t end) {
  for (size_t i = start; i < end; ++i) text[i] = 'X';
}

void MaskAllButLastFour(std::string& text, size_t start, size_t end) {
  const size_t keep = end - start > 4 ? end - 4 : start;
  for (size_t i = start; i < keep; ++i) text[i] = 'X';
}

void MaskTrack(std::string& text, size_t start, size_t end) {
  size_t separator = text.find('=', start);
  if (separator == std::string::npos || separator > end) separator = end;
  const size_t keepFrom = separator - start > 4 ? separator - 4 : start;
  for (size_t i = start; i < end; ++i) {
    if (text[i] == '=' || (i >= keepFrom && i < separator)) continue;
    text[i] = 'X';
  }
}

}  // namespace

std::string MaskRequestForLog(const std::string& text) {
  std::string masked = text;
  if (text.find("Track2=") != std::string::npos) {
    ForEachValue(masked, "Track2=", MaskTrack);
  } else {
    ForEachValue(masked, "AcctNo=", MaskAllButLastFour);
    ForEachValue(masked, "ExpDate=", MaskAll);
  }
  ForEachValue(masked, "CVVData=", MaskAll);
  ForEachValue(masked, "PINBlock=", MaskAll);
  return masked;
}
