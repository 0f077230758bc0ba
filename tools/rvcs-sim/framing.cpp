#include "tools/rvcs-sim/framing.h"

#include <cctype>
#include <cstdlib>

namespace rvcs_sim {

std::string Frame(std::string_view body) { return FrameWithLength(body, body.size()); }

std::string FrameWithLength(std::string_view body, size_t announced) {
  std::string message = "Content-Length: " + std::to_string(announced) + "\r\n\r\n";
  message.append(body);
  return message;
}

FrameReader::State FrameReader::Append(std::string_view bytes) {
  if (state_ != State::kIncomplete) return state_;
  raw_.append(bytes);
  state_ = Evaluate();
  if (state_ == State::kIncomplete && raw_.size() > kMaxMessageBytes) state_ = State::kTooLarge;
  return state_;
}

namespace {
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}
}  // namespace

FrameReader::State FrameReader::Evaluate() {
  size_t announced = 0;
  size_t line_start = 0;
  bool first_line = true;
  while (true) {
    const size_t lf = raw_.find('\n', line_start);
    if (lf == std::string::npos) return State::kIncomplete;
    std::string_view line(raw_.data() + line_start, lf - line_start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t body_start = lf + 1;
    if (line.empty()) {
      if (first_line) return State::kNoHeader;
      if (raw_.size() - body_start < announced) return State::kIncomplete;
      body_ = raw_.substr(body_start, announced);
      rest_ = raw_.substr(body_start + announced);
      return State::kComplete;
    }
    if (StartsWithNoCase(line, "Content-Length:")) {
      const std::string value(line.substr(15));
      const long long n = std::strtoll(value.c_str(), nullptr, 10);
      if (n < 0 || static_cast<unsigned long long>(n) > kMaxMessageBytes) return State::kTooLarge;
      announced = static_cast<size_t>(n);
    }
    first_line = false;
    line_start = body_start;
  }
}

}  // namespace rvcs_sim
