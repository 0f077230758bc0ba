// The framing of the dial line to the Elavon dial-up host: the control bytes, the
// longitudinal redundancy check, the reframing of an Elavon request for the line,
// and the reader that picks the host's answer frame out of the received bytes.
//
// A frame is STX, the message, ETX, then one LRC byte: the XOR of every byte after
// the STX up to and including the ETX. Stateless apart from CDialAnswerReader,
// which is a value owned by one exchange; no locks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/vocab/control_chars.h"

inline constexpr char kDialENQ = '\x05';
inline constexpr char kDialACK = '\x06';
inline constexpr char kDialNAK = '\x15';

// The largest answer frame (STX through ETX) taken from the line. Elavon's answers
// are far shorter; anything longer is refused rather than read without end.
inline constexpr size_t kMaxDialAnswerFrame = 4096;

// The LRC of a frame given from its STX through its ETX (the first byte is left out).
char ComputeLrc(std::string_view frameThroughEtx);
// True when lrc is the LRC of frame (STX through ETX).
bool CheckLrc(const std::string& frame, char lrc);

// Reframes an Elavon request (STX .. ETX checksum) for the dial line, in place: the
// last byte (the checksum) goes; when the message was longer than 20 bytes, byte 20
// (the eighth character of the terminal identifier) becomes a blank; unless family
// is Echo (2) or Reversal (9), byte 1 becomes '#'; then the new LRC is appended.
// An empty message stays empty.
void ReframeForDial(std::string& message, int family);

// Reads the host's side of one exchange byte by byte: waiting (STX starts a frame,
// NAK is reported, anything else is ignored), in a frame (every byte is kept; ETX
// moves on), expecting the LRC (the next byte ends the frame). A frame that grows
// past kMaxDialAnswerFrame is dropped and its bytes are skipped up to its ETX and
// LRC, which report kTooLong.
class CDialAnswerReader {
 public:
  enum class Result {
    kNone,      // nothing to act on yet
    kNak,       // the host refused the request
    kFrame,     // a frame with a good LRC: Frame() holds it, STX through ETX
    kBadLrc,    // a frame whose LRC did not match; dropped
    kTooLong,   // a frame longer than the limit; dropped
  };

  explicit CDialAnswerReader(size_t maxFrame = kMaxDialAnswerFrame) : m_MaxFrame(maxFrame) {}

  Result Feed(char byte);
  const std::string& Frame() const { return m_Frame; }
  // Back to waiting, with nothing kept.
  void Reset();

 private:
  enum class State { kWaiting, kInFrame, kExpectingLrc, kSkipping, kSkippingLrc };

  const size_t m_MaxFrame;
  State m_ReadState = State::kWaiting;
  std::string m_Frame;
};
