#include "core/log/log_text.h"

#include <string>
#include <string_view>

#include "core/vocab/control_chars.h"

namespace {

constexpr std::string_view kEncryptedMarker = " Encrypted Msg ] ";
constexpr std::string_view kAdministrativeItem = "TranType=Administrative";

// Deletes the first span from open to the next close, both included, when both exist.
void EraseFirstSpan(std::string& line, char open, char close) {
  const size_t begin = line.find(open);
  if (begin == std::string::npos) return;
  const size_t end = line.find(close, begin + 1);
  if (end == std::string::npos) return;
  line.erase(begin, end - begin + 1);
}

size_t FindClientFrame(const std::string& line) {
  const size_t mode1 = line.find(std::string{kFS, '1'});
  if (mode1 != std::string::npos) return mode1;
  return line.find(std::string{kFS, '2'});
}

}  // namespace

void MaskEncryptedLogText(std::string& line) {
  const size_t frame = FindClientFrame(line);
  if (frame != std::string::npos) {
    // Only words after the marker name the peer; text before it belongs to the caller.
    size_t words = line.find("sent to", frame);
    if (words == std::string::npos) words = line.find("received from", frame);
    if (words != std::string::npos) {
      std::string masked = line.substr(0, frame);
      masked += kEncryptedMarker;
      masked.append(line, words, std::string::npos);
      line = std::move(masked);
      return;
    }
  }
  EraseFirstSpan(line, kDC1, kDC2);
  EraseFirstSpan(line, kRS, kUS);
}

void StripAdministrativeTranType(std::string& line) {
  const size_t at = line.find(kAdministrativeItem);
  if (at == std::string::npos) return;
  line.erase(at, kAdministrativeItem.size() + 1);  // erase clamps at the end of the line
}

namespace {

void AppendEscaped(std::string& out, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  out += '|';
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// The cut point at most limit: moved back to the opening byte of a span that the
// kept text leaves open.
size_t CutPoint(std::string_view text, size_t limit, char open, char close) {
  const std::string_view kept = text.substr(0, limit);
  const size_t last_open = kept.rfind(open);
  if (last_open == std::string_view::npos) return limit;
  return kept.find(close, last_open + 1) == std::string_view::npos ? last_open : limit;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool PassesLuhn(std::string_view digits) {
  int sum = 0;
  bool twice = false;
  for (size_t i = digits.size(); i > 0; --i) {
    int d = digits[i - 1] - '0';
    if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

constexpr size_t kShortestCardNumber = 13;
constexpr size_t kLongestCardNumber = 19;
constexpr size_t kCardDigitsShown = 4;

}  // namespace

std::string MaskCardNumbers(std::string_view text) {
  std::string out(text);
  size_t i = 0;
  while (i < out.size()) {
    if (!IsDigit(out[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < out.size() && IsDigit(out[end])) ++end;
    const size_t length = end - i;
    if (length >= kShortestCardNumber && length <= kLongestCardNumber &&
        PassesLuhn(std::string_view(out).substr(i, length))) {
      for (size_t k = i; k < end - kCardDigitsShown; ++k) out[k] = 'X';
    }
    i = end;
  }
  return out;
}

std::string CutForLog(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  size_t cut = CutPoint(text, limit, kDC1, kDC2);
  cut = CutPoint(text, cut, kRS, kUS);
  std::string out(text.substr(0, cut));
  out += "...[cut: " + std::to_string(text.size()) + " bytes]";
  return out;
}

std::string EscapeLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\r' || c == '\n') {
      AppendEscaped(out, static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

void EscapeControlBytes(std::string& line) {
  const auto escaped = [](unsigned char byte) {
    return (byte < 0x20 && byte != '\t' && byte != '\r' && byte != '\n') || byte == 0x7F;
  };
  size_t first = 0;
  while (first < line.size() && !escaped(static_cast<unsigned char>(line[first]))) ++first;
  if (first == line.size()) return;
  std::string out(line, 0, first);
  out.reserve(line.size() + 16);
  for (size_t i = first; i < line.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(line[i]);
    if (escaped(byte)) {
      AppendEscaped(out, byte);
    } else {
      out += static_cast<char>(byte);
    }
  }
  line = std::move(out);
}
