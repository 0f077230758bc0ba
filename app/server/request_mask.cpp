#include "app/server/request_mask.h"

#include <string_view>

#include "core/log/log_text.h"
#include "core/vocab/control_chars.h"

namespace {

enum class CardMask { kTrack2, kTrack1, kAllButLastFour, kAll };

struct CardItem {
  std::string_view name;
  CardMask mask;
};

constexpr CardItem kCardItems[] = {
    {"Track2", CardMask::kTrack2},
    {"Track1", CardMask::kTrack1},
    {"AcctNo", CardMask::kAllButLastFour},
    {"ExpDate", CardMask::kAll},
    {"CVVData", CardMask::kAll},
    {"PINBlock", CardMask::kAll},
    {"DervdKey", CardMask::kAll},
    {"FleetPINBlock", CardMask::kAll},
    {"FleetDervdKey", CardMask::kAll},
    {"EMVData", CardMask::kAll},
    {"EncryptedBlock", CardMask::kAll},
    {"EncryptedKey", CardMask::kAll},
    {"RawTOAD", CardMask::kAll},
};

void MaskAll(std::string& text, size_t start, size_t end) {
  for (size_t i = start; i < end; ++i) text[i] = 'X';
}

void MaskAllButLastFour(std::string& text, size_t start, size_t end) {
  const size_t keep = end - start > 4 ? end - 4 : start;
  for (size_t i = start; i < keep; ++i) text[i] = 'X';
}

// Everything but the separators and the four characters before the first separator
// (the last four of the account number); without a separator, the last four.
void MaskTrack(std::string& text, size_t start, size_t end, char separator) {
  size_t first = text.find(separator, start);
  if (first == std::string::npos || first > end) first = end;
  const size_t keepFrom = first - start > 4 ? first - 4 : start;
  for (size_t i = start; i < end; ++i) {
    if (text[i] == separator || (i >= keepFrom && i < first)) continue;
    text[i] = 'X';
  }
}

// The item name of the text from start to the '=' at equals: what follows the last
// control byte in it, without the blanks (spaces and tabs) around it.
std::string_view ItemName(const std::string& text, size_t start, size_t equals) {
  std::string_view name(text.data() + start, equals - start);
  for (size_t i = name.size(); i > 0; --i) {
    if (static_cast<unsigned char>(name[i - 1]) < 0x20 && name[i - 1] != '\t') {
      name = name.substr(i);
      break;
    }
  }
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!name.empty() && blank(name.front())) name.remove_prefix(1);
  while (!name.empty() && blank(name.back())) name.remove_suffix(1);
  return name;
}

// The names are the same but for the case of their letters.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void MaskValue(std::string& text, size_t start, size_t end, CardMask mask) {
  switch (mask) {
    case CardMask::kTrack2: MaskTrack(text, start, end, '='); return;
    case CardMask::kTrack1: MaskTrack(text, start, end, '^'); return;
    case CardMask::kAllButLastFour: MaskAllButLastFour(text, start, end); return;
    case CardMask::kAll: MaskAll(text, start, end); return;
  }
}

}  // namespace

std::string MaskRequestForLog(const std::string& text) {
  std::string masked = text;
  size_t start = 0;
  while (start <= masked.size()) {
    size_t end = masked.find(kFS, start);
    if (end == std::string::npos) end = masked.size();
    const size_t equals = masked.find('=', start);
    if (equals != std::string::npos && equals < end) {
      const std::string_view name = ItemName(masked, start, equals);
      for (const CardItem& item : kCardItems) {
        if (SameName(name, item.name)) {
          MaskValue(masked, equals + 1, end, item.mask);
          break;
        }
      }
    }
    start = end + 1;
  }
  return masked;
}

std::string RequestLogCopy(const std::string& text) {
  return EscapeLineBreaks(CutForLog(MaskCardNumbers(MaskRequestForLog(text))));
}

bool CRefusedRequestLog::Admit() {
  if (m_Admitted < kLoggedInFull) {
    ++m_Admitted;
    return true;
  }
  ++m_LeftOut;
  return false;
}
