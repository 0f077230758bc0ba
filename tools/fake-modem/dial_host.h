// DialHostSession: the Elavon dial-up host's side of one call, as bytes in and
// bytes out. It sends ENQ when it is ready for a message, reads the terminal's
// framed request (STX .. ETX, then the LRC: the XOR of every byte after the STX
// through the ETX), refuses a bad one with NAK followed by ENQ, answers a good one
// through the simulator's rules (ElavonHostSim::Handle, whose answers carry their
// check byte by those same rules), sends the answer again on NAK and is ready for
// the next message (ENQ) after ACK. A script makes it misbehave on purpose.
//
// Written against the line format alone, not with the server's classes. Not
// thread-safe: its owner (the fake modem) calls it under its own lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace elavon_sim {
class ElavonHostSim;
}

namespace fake_modem {

inline constexpr char kStx = '\x02';
inline constexpr char kEtx = '\x03';
inline constexpr char kEnq = '\x05';
inline constexpr char kAck = '\x06';
inline constexpr char kNak = '\x15';

struct HostScript {
  bool send_enq = true;             // ENQ when the call comes up and after each ACK
  bool ack_requests = true;         // ACK a good request before answering it
  int nak_requests = 0;             // good requests refused (NAK, ENQ) before one is answered
  int bad_lrc_answers = 0;          // answers sent with a wrong LRC before a right one
  bool answer_requests = true;      // false: good requests get no answer
  bool hang_up_on_request = false;  // the host drops the call when a request comes
  // The host drops the call when a good reversal frame comes (IsReversalRequest),
  // before it would ACK it and without handing it to the simulator, which so never
  // sees it. Other requests are served as the rest of the script says.
  bool hang_up_on_reversal = false;
  std::string fixed_answer;         // not empty: the message (no STX/ETX/LRC) of every answer
  size_t oversize_answer = 0;       // > 0: every answer is a frame of this many data bytes
};

struct HostCounters {
  int requests = 0;          // frames with a good LRC
  int bad_lrc_requests = 0;  // frames refused for their LRC
  int naks_sent = 0;
  int answers_sent = 0;      // every sending, repeats included
  int acks_received = 0;
  int naks_received = 0;
  int reversals_hung_up = 0;  // reversal frames the host hung up on (hang_up_on_reversal)
  // The good frames, STX through the LRC, as the line delivered them (also those
  // the script then refused or hung up on without handing them to the simulator).
  std::vector<std::string> received;
};

class DialHostSession {
 public:
  // host answers the requests unless the script fixes the answer (may be null then).
  // The counters are the owner's and outlive the session.
  DialHostSession(elavon_sim::ElavonHostSim* host, HostScript script, HostCounters* counters);

  // The call is up: the bytes the host sends first.
  std::string OnConnect();
  // Bytes from the terminal; returns the bytes the host sends back.
  std::string OnBytes(std::string_view bytes);
  // The script asked for the call to drop (after the request that triggered it).
  bool HangUpRequested() const { return hang_up_; }
  // Not inside a frame: a "+++" now is an escape, not data.
  bool Idle() const { return state_ == State::kIdle || state_ == State::kAwaitAck; }
  // Waiting for the next message: no frame under way, no answer waiting for its ACK.
  bool BetweenMessages() const { return state_ == State::kIdle; }

  // The LRC of a frame from its STX through its ETX.
  static char Lrc(std::string_view through_etx);

 private:
  enum class State { kIdle, kInFrame, kLrc, kAwaitAck };
  static constexpr size_t kMaxRequest = 8192;

  void OnFrame(char lrc, std::string* out);
  std::string AnswerFor(const std::string& request, bool* refused);
  void SendAnswer(std::string* out);

  elavon_sim::ElavonHostSim* host_;
  HostScript script_;
  HostCounters* counters_;
  State state_ = State::kIdle;
  std::string frame_;
  std::string answer_;  // the last answer with its right LRC, for a repeat on NAK
  bool hang_up_ = false;
};

}  // namespace fake_modem
