#include "tools/pos-client/login.h"

#include <cstdlib>

#include <openssl/evp.h>

#include "tools/pos-client/hex.h"
#include "tools/pos-client/request_envelope.h"
#include "tools/pos-client/session_cipher.h"

namespace pos_client {

namespace {

// The login materials shared with the server.
constexpr std::string_view kLoginMaterialA = "KVR-CLIENT-LOGIN-A:93b1e5d07c2a4f68";
constexpr std::string_view kLoginMaterialM = "KVR-CLIENT-LOGIN-M:c4d8a61f3e9b2075";

constexpr size_t kChallengeLength = 16;
constexpr size_t kCheckLength = 16;

std::string Md5(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) return {};
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Rc4(std::string_view key, std::string_view data) {
  std::string out;
  Rc4Apply(key, data, &out);
  return out;
}

}  // namespace

std::string UnescapeXml(std::string_view text) {
  static const struct {
    std::string_view entity;
    char c;
  } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    bool done = false;
    for (const auto& e : kEntities) {
      if (text.substr(i, e.entity.size()) == e.entity) {
        out += e.c;
        i += e.entity.size();
        done = true;
        break;
      }
    }
    if (done) continue;
    // A character reference of one byte: &#NN; or &#xHH;.
    const size_t semi = text.find(';', i);
    if (semi != std::string_view::npos && semi > i + 2 && semi - i <= 6 && text[i + 1] == '#') {
      const bool hex = text[i + 2] == 'x' || text[i + 2] == 'X';
      const std::string digits(text.substr(i + (hex ? 3 : 2), semi - i - (hex ? 3 : 2)));
      char* end = nullptr;
      const long value = std::strtol(digits.c_str(), &end, hex ? 16 : 10);
      if (!digits.empty() && end != nullptr && *end == '\0' && value >= 0 && value <= 0xFF) {
        out += static_cast<char>(value);
        i = semi + 1;
        continue;
      }
    }
    out += text[i++];  // a lone '&' stays as it is
  }
  return out;
}

std::optional<std::string> ElementText(std::string_view document, std::string_view name) {
  const std::string open = "<" + std::string(name) + ">";
  const std::string close = "</" + std::string(name) + ">";
  const size_t start = document.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const size_t value = start + open.size();
  const size_t end = document.find(close, value);
  if (end == std::string_view::npos) return std::nullopt;
  return UnescapeXml(document.substr(value, end - value));
}

Status ParseNotice(std::string_view document, Notice* out) {
  Notice notice;
  const auto code = ElementText(document, "KVRXReturnCode");
  const auto status = ElementText(document, "CmdStatus");
  const auto text = ElementText(document, "TextResponse");
  if (!code || !status || !text) return Status::kBadFrame;
  notice.return_code = *code;
  char* end = nullptr;
  const long value = std::strtol(code->c_str(), &end, 10);
  notice.code = (!code->empty() && end != nullptr && *end == '\0') ? static_cast<int>(value) : -1;
  notice.status = *status;
  notice.text = *text;
  notice.user_trace_data = ElementText(document, "UserTraceData").value_or("");
  notice.document = std::string(document);
  *out = std::move(notice);
  return Status::kOk;
}

Status ParseGreeting(std::string_view text, Greeting* out) {
  if (text.substr(0, kGreetingText.size()) != kGreetingText ||
      text.substr(kGreetingText.size(), 1) != "Z") {
    return Status::kBadFrame;
  }
  const size_t dc1 = text.find(kDc1);
  const size_t dc2 = dc1 == std::string_view::npos ? dc1 : text.find(kDc2, dc1);
  const size_t rs = dc2 == std::string_view::npos ? dc2 : text.find(kRs, dc2);
  const size_t us = rs == std::string_view::npos ? rs : text.find(kUs, rs);
  if (us == std::string_view::npos) return Status::kBadFrame;
  Greeting greeting;
  greeting.public_key_hex = std::string(text.substr(dc1 + 1, dc2 - dc1 - 1));
  if (!FromHex(text.substr(rs + 1, us - rs - 1), &greeting.challenge) ||
      greeting.challenge.size() != kChallengeLength) {
    return Status::kBadHex;
  }
  *out = std::move(greeting);
  return Status::kOk;
}

std::string LoginKey(std::string_view marker) {
  return Md5(marker == "M" ? kLoginMaterialM : kLoginMaterialA);
}

Status BuildLogin(const Greeting& greeting, const LoginOptions& options, LoginMessage* out) {
  const std::string key = LoginKey(options.marker.value_or(""));
  std::string answer = Rc4(key, greeting.challenge);
  if (options.wrong_answer && !answer.empty()) answer[0] = static_cast<char>(answer[0] ^ 0x5A);

  LoginMessage message;
  if (options.check_bytes) {
    message.check_bytes = *options.check_bytes;
  } else {
    const RandomBytes random = options.random ? options.random : SystemRandom();
    message.check_bytes.assign(kCheckLength, '\0');
    if (!random(reinterpret_cast<unsigned char*>(message.check_bytes.data()), kCheckLength)) {
      return Status::kRandomFailed;
    }
  }

  std::string& wire = message.wire;
  if (options.marker) {
    wire += kFs;
    wire += *options.marker;
  }
  wire += kRs;
  wire += options.answer_hex ? *options.answer_hex : ToHex(answer);
  wire += kUs;
  if (options.check_block) {
    wire += kDc1;
    wire += ToHex(Rc4(key, message.check_bytes));
    wire += kDc2;
  }
  wire += options.password;
  wire += kEtx;
  wire += options.trailing;
  *out = std::move(message);
  return Status::kOk;
}

bool IsLoginVerified(const Notice& notice, std::string_view check_bytes) {
  std::string expected(kLoginVerifiedText);
  expected += kRs;
  expected += ToHex(check_bytes);
  expected += kUs;
  return notice.code == 2000 && notice.status == "Success" && notice.text == expected;
}

}  // namespace pos_client
