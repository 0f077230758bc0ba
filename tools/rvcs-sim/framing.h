// The framing of every configuration-service message, both directions:
//   "Content-Length: <body length in decimal>\r\n" "\r\n" <body>
// Frame builds one; FrameReader collects received bytes until one message is whole:
// at the first empty line (LF or CR LF) of the header, the message is whole once the
// announced number of body bytes has arrived (a header without a length announces
// none). Header names are matched without regard to case. Plain values, no lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rvcs_sim {

// Received messages are refused beyond this size.
inline constexpr size_t kMaxMessageBytes = 65536;

std::string Frame(std::string_view body);
// A header that announces `announced` bytes but carries `body` (for fault answers).
std::string FrameWithLength(std::string_view body, size_t announced);

class FrameReader {
 public:
  enum class State { kIncomplete, kComplete, kTooLarge, kNoHeader };

  // Adds received bytes and tells where the message stands. kTooLarge once more than
  // kMaxMessageBytes arrived without a whole message; kNoHeader when the first line
  // of the message is already the empty one.
  State Append(std::string_view bytes);
  State state() const { return state_; }
  // The body once complete; bytes after it are kept in rest().
  const std::string& body() const { return body_; }
  const std::string& rest() const { return rest_; }
  const std::string& raw() const { return raw_; }

 private:
  State Evaluate();

  std::string raw_;
  std::string body_;
  std::string rest_;
  State state_ = State::kIncomplete;
};

}  // namespace rvcs_sim
