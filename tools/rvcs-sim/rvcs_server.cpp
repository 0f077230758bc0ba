#include "tools/rvcs-sim/rvcs_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "tools/peer-support/openssl_error.h"
#include "tools/rvcs-sim/challenge_cipher.h"
#include "tools/rvcs-sim/framing.h"
#include "tools/rvcs-sim/service_messages.h"

namespace rvcs_sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollSliceMs = 50;
constexpr int kChunkPauseMs = 20;
constexpr size_t kChallengeBytes = 16;
constexpr size_t kLongChallengeBytes = 1024;
constexpr size_t kOversizeBody = 70000;
constexpr size_t kNoHeaderBody = 8000;
constexpr size_t kSplitRecordBytes = 4096;
constexpr char kSplitRecordsHead[] = "Content-Length: 999999999\r\n\r\n";

struct FaultNameEntry {
  Fault fault;
  const char* name;
};
constexpr FaultNameEntry kFaultNames[] = {
    {Fault::kNone, "none"},
    {Fault::kCloseAtOnce, "close-at-once"},
    {Fault::kSilent, "silent"},
    {Fault::kSilentAfterRequest, "silent-after-request"},
    {Fault::kServiceError, "service-error"},
    {Fault::kWrongEcho, "wrong-echo"},
    {Fault::kLowerCaseEcho, "lower-case-echo"},
    {Fault::kTooFewRecords, "too-few-records"},
    {Fault::kTooManyRecords, "too-many-records"},
    {Fault::kWrongFormat, "wrong-format"},
    {Fault::kWrongLength, "wrong-length"},
    {Fault::kLeadingZeroKey, "leading-zero-key"},
    {Fault::kRepeatedKey, "repeated-key"},
    {Fault::kLeadingZeroBeside, "leading-zero-beside"},
    {Fault::kLeadingZeroInPlace, "leading-zero-in-place"},
    {Fault::kNoHeader, "no-header"},
    {Fault::kOversize, "oversize"},
    {Fault::kOddChallenge, "odd-challenge"},
    {Fault::kLongChallenge, "long-challenge"},
    {Fault::kSplitRecords, "split-records"},
};

using peer_support::OpenSslError;

int MsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// One TLS connection: the SSL object between two memory BIOs, so that this code
// decides what leaves in which send.
class TlsLink {
 public:
  enum class Read { kMessage, kClosed, kTimedOut, kTooLarge, kNoHeader, kError };

  TlsLink(SSL_CTX* ctx, int fd, const std::atomic<bool>& stop, int timeout_ms)
      : fd_(fd), stop_(stop), timeout_ms_(timeout_ms) {
    ssl_ = SSL_new(ctx);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (ssl_ && in_ && out_) {
      SSL_set_bio(ssl_, in_, out_);  // the SSL object owns both from here
      SSL_set_accept_state(ssl_);
    } else {
      BIO_free(in_);
      BIO_free(out_);
      in_ = out_ = nullptr;
    }
  }
  TlsLink(const TlsLink&) = delete;
  TlsLink& operator=(const TlsLink&) = delete;
  ~TlsLink() { SSL_free(ssl_); }

  bool ok() const { return ssl_ && in_ && out_; }

  // Runs the handshake. With hold_last_flight the server's last handshake flight
  // stays buffered and leaves with the next Write.
  bool Handshake(bool hold_last_flight) {
    const Clock::time_point deadline = Deadline();
    while (true) {
      const int r = SSL_do_handshake(ssl_);
      if (r == 1) return hold_last_flight || Flush(deadline);
      const int error = SSL_get_error(ssl_, r);
      if (error != SSL_ERROR_WANT_READ) {
        Flush(deadline);  // an alert, when there is one
        ERR_clear_error();
        return false;
      }
      if (!Flush(deadline) || Fill(deadline) <= 0) return false;
    }
  }

  // plain as application data: in records of at most chunk bytes each sent on its
  // own (chunk 0: as few records as OpenSSL makes, one send).
  bool Write(const std::string& plain, size_t chunk) {
    const Clock::time_point deadline = Deadline();
    if (chunk == 0) chunk = plain.size();
    for (size_t at = 0; at < plain.size(); at += chunk) {
      const size_t n = std::min(chunk, plain.size() - at);
      if (at > 0 && !Pause(kChunkPauseMs)) return false;
      if (SSL_write(ssl_, plain.data() + at, static_cast<int>(n)) != static_cast<int>(n)) {
        ERR_clear_error();
        return false;
      }
      if (!Flush(deadline)) return false;
    }
    return true;
  }

  // head, then filler without end, in records of record_bytes each; every send holds
  // the second half of one record and the first half of the next. Ends (false) when
  // the client no longer takes the bytes, at the deadline or at the server's end.
  bool WriteSplitRecords(const std::string& head, size_t record_bytes) {
    const Clock::time_point deadline = Deadline();
    const std::string filler(record_bytes, 'F');
    std::string held;  // the tail of the last record, not yet sent
    bool first = true;
    while (!stop_.load() && MsUntil(deadline) > 0) {
      const std::string& plain = first ? head : filler;
      first = false;
      if (SSL_write(ssl_, plain.data(), static_cast<int>(plain.size())) != static_cast<int>(plain.size())) {
        ERR_clear_error();
        return false;
      }
      const int pending = BIO_pending(out_);
      if (pending <= 0) return false;
      std::string record(static_cast<size_t>(pending), '\0');
      if (BIO_read(out_, record.data(), pending) != pending) return false;
      const size_t half = record.size() / 2;
      if (!SendAll(held + record.substr(0, half), deadline)) return false;
      held = record.substr(half);
    }
    return false;
  }

  // One framed message from the client.
  Read ReadMessage(std::string* body) {
    const Clock::time_point deadline = Deadline();
    FrameReader reader;
    FrameReader::State state = reader.Append(leftover_);
    leftover_.clear();
    char buffer[4096];
    while (state == FrameReader::State::kIncomplete) {
      const int r = SSL_read(ssl_, buffer, sizeof buffer);
      if (r > 0) {
        state = reader.Append(std::string_view(buffer, static_cast<size_t>(r)));
        continue;
      }
      const int error = SSL_get_error(ssl_, r);
      ERR_clear_error();
      if (error == SSL_ERROR_ZERO_RETURN) return Read::kClosed;
      if (error != SSL_ERROR_WANT_READ) return Read::kError;
      if (!Flush(deadline)) return Read::kError;
      const int filled = Fill(deadline);
      if (filled == 0) return Read::kClosed;
      if (filled < 0) return Read::kTimedOut;
    }
    if (state == FrameReader::State::kTooLarge) return Read::kTooLarge;
    if (state == FrameReader::State::kNoHeader) return Read::kNoHeader;
    *body = reader.body();
    leftover_ = reader.rest();
    return Read::kMessage;
  }

  // Reads and drops whatever comes until the client closes (its close_notify is
  // answered with one), the time-out or the server's end.
  void WaitForClose() {
    const Clock::time_point deadline = Deadline();
    char buffer[4096];
    while (true) {
      const int r = SSL_read(ssl_, buffer, sizeof buffer);
      if (r > 0) continue;
      const int error = SSL_get_error(ssl_, r);
      ERR_clear_error();
      if (error == SSL_ERROR_ZERO_RETURN) {
        SSL_shutdown(ssl_);
        Flush(deadline);
        return;
      }
      if (error != SSL_ERROR_WANT_READ || !Flush(deadline) || Fill(deadline) <= 0) return;
    }
  }

 private:
  Clock::time_point Deadline() const { return Clock::now() + std::chrono::milliseconds(timeout_ms_); }

  bool Pause(int ms) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop_.load()) {
      const int left = MsUntil(until);
      if (left == 0) return true;
      ::poll(nullptr, 0, std::min(left, kPollSliceMs));
    }
    return false;
  }

  // Sends every byte TLS has produced, in one send as far as the socket takes it.
  bool Flush(Clock::time_point deadline) {
    const int pending = BIO_pending(out_);
    if (pending <= 0) return true;
    std::string bytes(static_cast<size_t>(pending), '\0');
    if (BIO_read(out_, bytes.data(), pending) != pending) return false;
    return SendAll(bytes, deadline);
  }

  // Sends bytes, in one send as far as the socket takes it.
  bool SendAll(const std::string& bytes, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      if (!WaitFor(POLLOUT, deadline)) return false;
    }
    return true;
  }

  // Bytes from the socket into the TLS input: the count, 0 when the client closed,
  // -1 on time-out, the server's end or an error.
  int Fill(Clock::time_point deadline) {
    char buffer[16384];
    while (true) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        BIO_write(in_, buffer, static_cast<int>(n));
        return static_cast<int>(n);
      }
      if (n == 0) return 0;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
      if (!WaitFor(POLLIN, deadline)) return -1;
    }
  }

  bool WaitFor(short events, Clock::time_point deadline) {
    while (!stop_.load()) {
      const int left = MsUntil(deadline);
      if (left == 0) return false;
      pollfd p{fd_, events, 0};
      const int r = ::poll(&p, 1, std::min(left, kPollSliceMs));
      if (r > 0) return true;
      if (r < 0 && errno != EINTR) return false;
    }
    return false;
  }

  const int fd_;
  const std::atomic<bool>& stop_;
  const int timeout_ms_;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  std::string leftover_;
};

std::string RandomBytes(size_t n) {
  std::string bytes(n, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(n)) != 1) return std::string();
  return bytes;
}

std::string FieldOrEmpty(const std::map<std::string, std::string>& fields, const char* name) {
  const auto it = fields.find(name);
  return it == fields.end() ? std::string() : it->second;
}

// The parameter records of message 3 under the server's options and fault.
std::vector<ParamRecord> RecordsToServe(const ServerOptions& options) {
  std::vector<ParamRecord> records = DefaultParamRecords();
  for (ParamRecord& r : records) {
    const auto it = options.values.find(r.number);
    if (it != options.values.end()) r.value = it->second;
  }
  switch (options.fault) {
    case Fault::kTooFewRecords:
      records.pop_back();
      break;
    case Fault::kTooManyRecords:
      records.push_back(ParamRecord{22, "22", "EXTRA", "AN2", 0, 10, "X"});
      break;
    case Fault::kWrongFormat:
      records[2].code = "AN2";
      break;
    case Fault::kWrongLength:
      records[2].max += 1;
      break;
    case Fault::kLeadingZeroKey:
      records[1].key = "01";
      break;
    case Fault::kRepeatedKey: {
      ParamRecord earlier = records[18];
      earlier.value = "EARLIER NAME";
      records.insert(records.begin(), earlier);
      break;
    }
    case Fault::kLeadingZeroBeside:
    case Fault::kLeadingZeroInPlace: {
      if (options.fault == Fault::kLeadingZeroInPlace) records.pop_back();
      ParamRecord padded = records[2];
      padded.key = "02";
      records.insert(records.begin() + 3, padded);
      break;
    }
    default:
      break;
  }
  return records;
}

}  // namespace

const char* FaultName(Fault fault) {
  for (const auto& entry : kFaultNames) {
    if (entry.fault == fault) return entry.name;
  }
  return "none";
}

bool FaultFromName(const std::string& name, Fault* fault) {
  for (const auto& entry : kFaultNames) {
    if (name == entry.name) {
      *fault = entry.fault;
      return true;
    }
  }
  return false;
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  for (const auto& entry : kFaultNames) faults.push_back(entry.fault);
  return faults;
}

RvcsServer::RvcsServer(ServerOptions options) : options_(std::move(options)) {}

RvcsServer::~RvcsServer() { Stop(); }

bool RvcsServer::Start(std::string* error) {
  auto fail = [&](std::string text) {
    *error = std::move(text);
    Stop();
    return false;
  };
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx_ == nullptr) return fail(OpenSslError("SSL_CTX_new"));
  if (SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION) != 1) {
    return fail(OpenSslError("TLS 1.2"));
  }
  if (SSL_CTX_use_certificate_chain_file(ctx_, options_.cert_file.c_str()) != 1) {
    return fail(OpenSslError("certificate"));
  }
  if (SSL_CTX_use_PrivateKey_file(ctx_, options_.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx_) != 1) {
    return fail(OpenSslError("private key"));
  }

  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return fail(std::string("socket: ") + std::strerror(errno));
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
    return fail("not an IPv4 address: " + options_.address);
  }
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 8) != 0) {
    return fail(std::string("bind/listen: ") + std::strerror(errno));
  }
  socklen_t length = sizeof address;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);

  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void RvcsServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
  SSL_CTX_free(ctx_);
  ctx_ = nullptr;
}

std::vector<SessionRecord> RvcsServer::Sessions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_;
}

bool RvcsServer::WaitForEnded(size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    size_t ended = 0;
    for (const SessionRecord& s : sessions_) ended += s.ended ? 1 : 0;
    return ended >= n;
  });
}

void RvcsServer::Update(size_t index, const SessionRecord& record) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_[index] = record;
  }
  changed_.notify_all();
}

void RvcsServer::Run() {
  while (!Stopping()) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, kPollSliceMs) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Serve(fd);
    ::close(fd);
  }
}

void RvcsServer::Serve(int fd) {
  size_t index;
  {
    std::lock_guard<std::mutex> lock(mu_);
    index = sessions_.size();
    sessions_.emplace_back();
  }
  SessionRecord record;
  auto end = [&] {
    record.ended = true;
    Update(index, record);
  };
  const Fault fault = options_.fault;
  if (fault == Fault::kCloseAtOnce) return end();

  TlsLink link(ctx_, fd, stop_, options_.io_timeout_ms);
  if (!link.ok() || !link.Handshake(options_.greeting_with_handshake)) return end();
  if (fault == Fault::kSilent) {
    link.WaitForClose();
    return end();
  }

  if (fault == Fault::kSplitRecords) {
    link.WriteSplitRecords(kSplitRecordsHead, kSplitRecordBytes);
    return end();
  }

  // Message 1: the challenge.
  const std::string challenge = RandomBytes(fault == Fault::kLongChallenge ? kLongChallengeBytes : kChallengeBytes);
  record.challenge = ToHex(challenge);
  if (fault == Fault::kOddChallenge) record.challenge.pop_back();
  Update(index, record);
  if (!link.Write(Frame(record.challenge), options_.record_chunk)) return end();

  // Message 2: the request.
  if (link.ReadMessage(&record.request) != TlsLink::Read::kMessage) return end();
  ParseRequestFields(record.request, &record.fields, &record.field_order);
  std::string challenge_bytes;
  record.response_valid = FromHex(record.challenge, &challenge_bytes) &&
                          FieldOrEmpty(record.fields, "CR") == ToHex(EncryptChallenge(challenge_bytes));
  Update(index, record);
  if (fault == Fault::kSilentAfterRequest) {
    link.WaitForClose();
    return end();
  }

  // Message 3: the parameters.
  std::string client_challenge;
  const bool challenge_readable =
      FromHex(FieldOrEmpty(record.fields, "CC"), &client_challenge) && client_challenge.size() == kChallengeBytes;
  std::string echo = EncryptChallenge(client_challenge);
  if (fault == Fault::kWrongEcho && !echo.empty()) echo[0] = static_cast<char>(echo[0] ^ 0x01);
  std::string service_error;
  if (fault == Fault::kServiceError) service_error = options_.service_error;
  if (!challenge_readable) service_error = "Invalid Client Challenge";
  if (!record.response_valid) service_error = "Challenge Response Failed";
  std::string payload =
      BuildParamPayload(ToHex(echo, fault == Fault::kLowerCaseEcho), service_error, RecordsToServe(options_));
  std::string message;
  if (fault == Fault::kNoHeader) {
    payload.resize(std::max(payload.size(), kNoHeaderBody), 'X');
    message = "\r\n" + payload;
  } else if (fault == Fault::kOversize) {
    payload.resize(kOversizeBody, 'X');  // a trailing record without '=', which readers ignore
    message = Frame(payload);
  } else {
    message = Frame(payload);
  }
  if (!link.Write(message, options_.record_chunk)) return end();

  // Message 4: "OK" or the client's error text.
  if (link.ReadMessage(&record.final_message) == TlsLink::Read::kMessage) record.got_final = true;
  Update(index, record);
  link.WaitForClose();
  end();
}

}  // namespace rvcs_sim
