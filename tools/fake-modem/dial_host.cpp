#include "tools/fake-modem/dial_host.h"

#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/wire.h"

namespace fake_modem {

DialHostSession::DialHostSession(elavon_sim::ElavonHostSim* host, HostScript script, HostCounters* counters)
    : host_(host), script_(std::move(script)), counters_(counters) {}

char DialHostSession::Lrc(std::string_view through_etx) {
  return static_cast<char>(elavon_sim::Checksum(through_etx));
}

std::string DialHostSession::OnConnect() { return script_.send_enq ? std::string(1, kEnq) : std::string(); }

std::string DialHostSession::OnBytes(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    if (hang_up_) break;
    switch (state_) {
      case State::kIdle:
      case State::kAwaitAck:
        if (c == kStx) {
          frame_.assign(1, c);
          state_ = State::kInFrame;
        } else if (state_ == State::kAwaitAck && c == kAck) {
          ++counters_->acks_received;
          state_ = State::kIdle;
          if (script_.send_enq) out += kEnq;
        } else if (state_ == State::kAwaitAck && c == kNak) {
          ++counters_->naks_received;
          SendAnswer(&out);
        } else if (c == kAck) {
          ++counters_->acks_received;
        } else if (c == kNak) {
          ++counters_->naks_received;
        }
        break;
      case State::kInFrame:
        if (frame_.size() >= kMaxRequest) {
          state_ = State::kIdle;  // not a request of this host: dropped
          frame_.clear();
          break;
        }
        frame_ += c;
        if (c == kEtx) state_ = State::kLrc;
        break;
      case State::kLrc:
        state_ = State::kIdle;
        OnFrame(c, &out);
        break;
    }
  }
  return out;
}

void DialHostSession::OnFrame(char lrc, std::string* out) {
  if (Lrc(frame_) != lrc) {
    ++counters_->bad_lrc_requests;
    ++counters_->naks_sent;
    *out += kNak;
    *out += kEnq;
    return;
  }
  ++counters_->requests;
  const std::string request = frame_ + lrc;
  counters_->received.push_back(request);
  if (script_.nak_requests > 0) {
    --script_.nak_requests;
    ++counters_->naks_sent;
    *out += kNak;
    *out += kEnq;
    return;
  }
  if (script_.hang_up_on_request) {
    hang_up_ = true;
    return;
  }
  if (script_.hang_up_on_reversal && elavon_sim::IsReversalRequest(request)) {
    ++counters_->reversals_hung_up;
    hang_up_ = true;
    return;
  }
  bool refused = false;
  const std::string answer = script_.answer_requests ? AnswerFor(request, &refused) : std::string();
  if (refused) {
    ++counters_->naks_sent;
    *out += kNak;
    *out += kEnq;
    return;
  }
  if (script_.ack_requests) *out += kAck;
  if (answer.empty()) return;  // the host keeps it
  answer_ = answer;
  state_ = State::kAwaitAck;
  SendAnswer(out);
}

std::string DialHostSession::AnswerFor(const std::string& request, bool* refused) {
  std::string message;
  if (script_.oversize_answer > 0) {
    message = std::string(1, kStx) + std::string(script_.oversize_answer, 'A');
  } else if (!script_.fixed_answer.empty() || host_ == nullptr) {
    message = std::string(1, kStx) + script_.fixed_answer;
  } else {
    const elavon_sim::Reply reply = host_->Handle(request);
    if (reply.outcome == elavon_sim::Outcome::kRefused) {
      *refused = true;
      return std::string();
    }
    if (reply.outcome == elavon_sim::Outcome::kNoAnswer) return std::string();
    if (!reply.bytes.empty() && reply.bytes[0] == kStx) return reply.bytes;  // framed, LRC included
    message = std::string(1, kStx) + reply.bytes;  // a bare text travels in a frame of its own
  }
  elavon_sim::CloseMessage(&message);
  return message;
}

void DialHostSession::SendAnswer(std::string* out) {
  ++counters_->answers_sent;
  if (script_.bad_lrc_answers > 0) {
    --script_.bad_lrc_answers;
    std::string wrong = answer_;
    wrong.back() = static_cast<char>(wrong.back() ^ 0x55);
    *out += wrong;
    return;
  }
  *out += answer_;
}

}  // namespace fake_modem
