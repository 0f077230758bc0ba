#include "host/dial/dial_frame.h"

#include "core/tran/elavon_tran.h"

char ComputeLrc(std::string_view frameThroughEtx) {
  unsigned char lrc = 0;
  for (size_t i = 1; i < frameThroughEtx.size(); ++i) lrc ^= static_cast<unsigned char>(frameThroughEtx[i]);
  return static_cast<char>(lrc);
}

bool CheckLrc(const std::string& frame, char lrc) { return ComputeLrc(frame) == lrc; }

void ReframeForDial(std::string& message, int family) {
  if (message.empty()) return;
  const size_t before = message.size();
  message.pop_back();
  if (before > 20 && message.size() > 20) message[20] = ' ';
  if (family != kTranFamilyEcho && family != kTranFamilyReversal && message.size() > 1) message[1] = '#';
  message += ComputeLrc(message);
}

void CDialAnswerReader::Reset() {
  m_ReadState = State::kWaiting;
  m_Frame.clear();
}

CDialAnswerReader::Result CDialAnswerReader::Feed(char byte) {
  switch (m_ReadState) {
    case State::kWaiting:
      if (byte == kSTX) {
        m_Frame.assign(1, byte);
        m_ReadState = State::kInFrame;
      } else if (byte == kDialNAK) {
        return Result::kNak;
      }
      return Result::kNone;
    case State::kInFrame:
      if (m_Frame.size() >= m_MaxFrame) {
        m_Frame.clear();
        m_ReadState = byte == kETX ? State::kSkippingLrc : State::kSkipping;
        return Result::kNone;
      }
      m_Frame += byte;
      if (byte == kETX) m_ReadState = State::kExpectingLrc;
      return Result::kNone;
    case State::kExpectingLrc: {
      const bool good = CheckLrc(m_Frame, byte);
      m_ReadState = State::kWaiting;
      if (good) return Result::kFrame;
      m_Frame.clear();
      return Result::kBadLrc;
    }
    case State::kSkipping:
      if (byte == kETX) m_ReadState = State::kSkippingLrc;
      return Result::kNone;
    case State::kSkippingLrc:
      m_ReadState = State::kWaiting;
      return Result::kTooLong;
  }
  return Result::kNone;
}
