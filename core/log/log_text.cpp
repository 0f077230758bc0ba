#include "core/log/log_text.h"

#include <string_view>

namespace {

constexpr char kFS = '\x1C';
constexpr char kDC1 = '\x11';
constexpr char kDC2 = '\x12';
constexpr char kRS = '\x1E';
constexpr char kUS = '\x1F';

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
