// The login side of the point-of-sale client protocol, written from the wire format:
//
// Server notices are reply frames in clear around an RStream document whose
// CmdResponse carries KVRXReturnCode, CmdStatus, TextResponse and UserTraceData.
//
// Greeting (code 0, TextResponse):
//   "CONNECTED to KVR_IP! -- Password ?" "Z" DC1 hex(PUBLICKEYBLOB) DC2 RS hex(challenge, 16 bytes) US
//
// Login message, ended by ETX:
//   [FS marker] RS hex(RC4(login key, challenge)) US [DC1 hex(RC4(login key, check bytes)) DC2] password ETX
// The login key is RC4 with the MD5 of the shared login material: material "M" when
// the marker is exactly "M", else material "A" (any other marker, or none).
//
// Login result: 2000 "Login Verified." RS hex(check bytes) US, or one of the refusals
// 2002, 2003, 2006, 2009, 2010, 2020.
//
// Stateless functions; no lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tools/pos-client/random.h"
#include "tools/pos-client/status.h"

namespace pos_client {

inline constexpr char kRs = '\x1E';
inline constexpr char kUs = '\x1F';

inline constexpr std::string_view kGreetingText = "CONNECTED to KVR_IP! -- Password ?";
inline constexpr std::string_view kLoginVerifiedText = "Login Verified.";

// The four CmdResponse values of a reply document, and the document itself.
struct Notice {
  int code = -1;                // KVRXReturnCode as a number; -1 when absent
  std::string return_code;      // as written ("002000")
  std::string status;           // CmdStatus
  std::string text;             // TextResponse
  std::string user_trace_data;  // UserTraceData
  std::string document;
};

// text with the entities of element text read back: &amp; &lt; &gt; &quot; &apos;
// and one-byte character references (&#NN;, &#xHH;); anything else is kept.
std::string UnescapeXml(std::string_view text);

// The text between "<name>" and the first "</name>" after it, unescaped, or nothing.
std::optional<std::string> ElementText(std::string_view document, std::string_view name);

// Reads the CmdResponse values of a document. kBadFrame when the document has no
// KVRXReturnCode, CmdStatus or TextResponse element.
Status ParseNotice(std::string_view document, Notice* out);

struct Greeting {
  std::string public_key_hex;  // the PUBLICKEYBLOB's hex, between DC1 and DC2
  std::string challenge;       // 16 raw bytes
};

// Reads the greeting from its TextResponse. kBadFrame when the text does not start
// with the greeting words and "Z", or lacks DC1..DC2 or RS..US; kBadHex when the
// challenge is not 32 upper-case hex digits.
Status ParseGreeting(std::string_view text_response, Greeting* out);

// The RC4 key of the login for a marker: MD5 of material "M" for exactly "M", else
// of material "A".
std::string LoginKey(std::string_view marker);

struct LoginOptions {
  std::optional<std::string> marker;  // nothing: no FS and no marker at all
  std::string password;               // written just before the ETX
  bool check_block = true;            // send DC1..DC2
  std::optional<std::string> check_bytes;  // plain check bytes; nothing: 16 random ones
  RandomBytes random;                      // empty: SystemRandom()
  // Faults for negative tests.
  std::optional<std::string> answer_hex;  // sent instead of the right answer
  bool wrong_answer = false;              // the right answer with its first byte changed
  std::string trailing;                   // bytes after the ETX, on the same send
};

struct LoginMessage {
  std::string wire;         // the message with its ETX (and any trailing bytes)
  std::string check_bytes;  // the plain check bytes, which 2000 must give back
};

// Builds the login message for the greeting. kRandomFailed when no check bytes can be
// drawn.
Status BuildLogin(const Greeting& greeting, const LoginOptions& options, LoginMessage* out);

// True when notice is 2000 "Login Verified." followed by RS, the hex of check_bytes
// and US.
bool IsLoginVerified(const Notice& notice, std::string_view check_bytes);

}  // namespace pos_client
