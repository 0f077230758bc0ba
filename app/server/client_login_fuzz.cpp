// Feeds arbitrary bytes to the login reader: the bytes up to the first ETX are the
// login message, as the session cuts it, and go through the same steps as at a
// connection: the items of the frame, the challenge answer against a fixed
// challenge, the password at the end of the message. Nothing here touches a socket,
// a key or a file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/server/client_session.h"

namespace {

constexpr uint8_t kChallenge[CClientSession::kChallengeLength] = {
    0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

void Require(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string received(reinterpret_cast<const char*>(data), size);
  const std::string message = received.substr(0, received.find('\x03'));

  CLoginFrame frame;
  const bool answered = CClientSession::ParseLoginFrame(message, &frame);
  Require(answered == frame.hasAnswer);
  Require(frame.answerHex.size() < message.size() + (answered ? 0 : 1));
  Require(answered || (frame.marker.empty() && !frame.hasCheckBlock));
  Require(!frame.checkBlockDecoded || frame.hasCheckBlock);
  Require(frame.checkBlockBytes.size() < 256);

  CClientSession::CheckChallengeAnswer(frame.answerHex, kChallenge, CClientSession::kChallengeLength);
  // The merchant's password is outside text too; the items of the frame stand in.
  CClientSession::EndsWithPassword(message, frame.marker);
  CClientSession::EndsWithPassword(message, frame.answerHex);
  CClientSession::EndsWithPassword(message, frame.checkBlockBytes);
  return 0;
}
