#include "tools/elavon-sim/https_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/text/format.h"
#include "tools/peer-support/openssl_error.h"

namespace elavon_sim {

using platform::Format;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 16384;
constexpr int kAcceptPollMs = 200;  // how often the accept loop reaps finished connections

// Rounded up, so that a wait of this many milliseconds never ends before the deadline.
int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

Clock::time_point After(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

using peer_support::OpenSslError;

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

// One accepted connection, served on its own thread. Owns the socket and the SSL
// object; the TLS bytes pass through memory BIOs so that this class decides how
// they are sent (all at once, or one byte per send) and every wait is a poll that
// also watches the server's wake pipe.
class GatewayServer::Connection {
 public:
  Connection(GatewayServer* server, int fd, int id) : server_(server), fd_(fd), id_(id) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (ssl_ != nullptr) SSL_free(ssl_);  // frees both BIOs
    CloseFd(&fd_);
  }

  void Serve();

 private:
  enum class Io { kOk, kClosed, kTimeout, kStopped, kFailed };
  enum class Read { kRequest, kBad, kEnd };

  bool Setup();
  Io Flush();
  Io SendAll(const char* data, size_t size, bool one_byte_each);
  Io WaitAndRead(int timeout_ms);
  bool Handshake();
  Read ReadRequest(HttpRequest* request, std::string* why);
  bool Renegotiate();
  bool WritePlain(std::string_view plain);
  void SendCloseNotify();
  // False when the server stops during the wait.
  bool Sleep(int ms);
  void Log(const std::string& line) const { server_->Log(Format("[%d] ", id_) + line); }

  GatewayServer* const server_;
  int fd_;
  const int id_;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // TLS bytes received, for SSL to read
  BIO* out_ = nullptr;  // TLS bytes SSL wrote, to be sent
  std::string plain_;   // plain bytes received and not yet taken as a request
};

bool GatewayServer::Connection::Setup() {
  ssl_ = SSL_new(server_->ctx_);
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  if (ssl_ == nullptr || in_ == nullptr || out_ == nullptr) {
    BIO_free(in_);
    BIO_free(out_);
    in_ = out_ = nullptr;
    Log(OpenSslError("SSL object"));
    return false;
  }
  // An empty input BIO means "no data yet", not the end of the stream.
  BIO_set_mem_eof_return(in_, -1);
  BIO_set_mem_eof_return(out_, -1);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_accept_state(ssl_);
  return true;
}

GatewayServer::Connection::Io GatewayServer::Connection::SendAll(const char* data, size_t size,
                                                                 bool one_byte_each) {
  Clock::time_point deadline = After(server_->options_.io_timeout_ms);
  size_t done = 0;
  int64_t sends = 0;
  Io result = Io::kOk;
  while (done < size) {
    size_t piece = one_byte_each ? 1 : size - done;
    ssize_t n = ::send(fd_, data + done, piece, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      ++sends;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {server_->wake_read_fd_, POLLIN, 0}};
      int ready = ::poll(fds, 2, RemainingMs(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (fds[1].revents != 0) {
        result = Io::kStopped;
        break;
      }
      if (ready == 0) {
        result = Io::kTimeout;
        break;
      }
      continue;
    }
    result = Io::kClosed;  // EPIPE, ECONNRESET: the client has gone
    break;
  }
  server_->Count([&](GatewayCounters& c) {
    c.bytes_sent += static_cast<int64_t>(done);
    c.sends += sends;
  });
  return result;
}

GatewayServer::Connection::Io GatewayServer::Connection::Flush() {
  char buffer[kReadChunk];
  for (;;) {
    int n = BIO_read(out_, buffer, sizeof buffer);
    if (n <= 0) return Io::kOk;
    Io io = SendAll(buffer, static_cast<size_t>(n), server_->Faults().split_records);
    if (io != Io::kOk) return io;
  }
}

GatewayServer::Connection::Io GatewayServer::Connection::WaitAndRead(int timeout_ms) {
  Clock::time_point deadline = After(timeout_ms);
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {server_->wake_read_fd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, RemainingMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Io::kFailed;
    }
    if (fds[1].revents != 0) return Io::kStopped;
    if (ready == 0) return Io::kTimeout;
    char buffer[kReadChunk];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      if (BIO_write(in_, buffer, static_cast<int>(n)) != n) return Io::kFailed;
      return Io::kOk;
    }
    if (n == 0) return Io::kClosed;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return Io::kClosed;
  }
}

bool GatewayServer::Connection::Handshake() {
  Clock::time_point deadline = After(server_->options_.io_timeout_ms);
  for (;;) {
    ERR_clear_error();
    int r = SSL_do_handshake(ssl_);
    int error = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
    if (Flush() != Io::kOk) return false;
    if (r == 1) return true;
    if (error != SSL_ERROR_WANT_READ) {
      Log(OpenSslError("handshake failed"));
      return false;
    }
    Io io = WaitAndRead(RemainingMs(deadline));
    if (io != Io::kOk) {
      Log(io == Io::kTimeout ? "handshake timed out" : "connection ended during the handshake");
      return false;
    }
  }
}

GatewayServer::Connection::Read GatewayServer::Connection::ReadRequest(HttpRequest* request, std::string* why) {
  // The first byte may take the idle time; the rest of a request only the I/O time.
  Clock::time_point deadline = After(server_->options_.idle_timeout_ms);
  bool started = !plain_.empty();
  if (started) deadline = After(server_->options_.io_timeout_ms);
  for (;;) {
    if (!plain_.empty()) {
      size_t consumed = 0;
      switch (ParseHttpRequest(plain_, request, &consumed, why)) {
        case HttpParse::kComplete:
          plain_.erase(0, consumed);
          return Read::kRequest;
        case HttpParse::kBad:
          return Read::kBad;
        case HttpParse::kNeedMore:
          break;
      }
      if (!started) {
        started = true;
        deadline = After(server_->options_.io_timeout_ms);
      }
    }
    ERR_clear_error();
    char buffer[kReadChunk];
    int r = SSL_read(ssl_, buffer, sizeof buffer);
    int error = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_, r);
    if (Flush() != Io::kOk) return Read::kEnd;
    if (r > 0) {
      plain_.append(buffer, static_cast<size_t>(r));
      continue;
    }
    if (error == SSL_ERROR_ZERO_RETURN) {
      server_->Count([](GatewayCounters& c) { ++c.close_notify_received; });
      Log("client sent close_notify");
      SendCloseNotify();
      return Read::kEnd;
    }
    if (error != SSL_ERROR_WANT_READ) {
      Log(OpenSslError("TLS read failed"));
      return Read::kEnd;
    }
    Io io = WaitAndRead(RemainingMs(deadline));
    if (io != Io::kOk) {
      if (io == Io::kClosed) Log("client closed the connection");
      if (io == Io::kTimeout) Log(started ? "request incomplete in time" : "idle time over");
      return Read::kEnd;
    }
  }
}

bool GatewayServer::Connection::Renegotiate() {
  ERR_clear_error();
  if (SSL_renegotiate(ssl_) != 1) {
    Log(OpenSslError("renegotiation refused"));
    return false;
  }
  SSL_do_handshake(ssl_);  // writes the HelloRequest
  Clock::time_point deadline = After(server_->options_.io_timeout_ms);
  for (;;) {
    int error = SSL_ERROR_NONE;
    if (Flush() != Io::kOk) return false;
    if (SSL_renegotiate_pending(ssl_) == 0 && SSL_is_init_finished(ssl_)) return true;
    ERR_clear_error();
    if (!SSL_is_init_finished(ssl_)) {
      int r = SSL_do_handshake(ssl_);
      if (r != 1) error = SSL_get_error(ssl_, r);
    } else {
      // The client's new handshake arrives through a read; application data sent
      // meanwhile is kept for the next request.
      char buffer[kReadChunk];
      int r = SSL_read(ssl_, buffer, sizeof buffer);
      if (r > 0) {
        plain_.append(buffer, static_cast<size_t>(r));
      } else {
        error = SSL_get_error(ssl_, r);
      }
    }
    if (error == SSL_ERROR_NONE) continue;
    if (error != SSL_ERROR_WANT_READ) {
      Flush();
      Log(OpenSslError("renegotiation failed"));
      return false;
    }
    if (Flush() != Io::kOk) return false;
    Io io = WaitAndRead(RemainingMs(deadline));
    if (io != Io::kOk) {
      Log(io == Io::kTimeout ? "renegotiation timed out" : "connection ended during the renegotiation");
      return false;
    }
  }
}

bool GatewayServer::Connection::WritePlain(std::string_view plain) {
  size_t done = 0;
  while (done < plain.size()) {
    ERR_clear_error();
    int n = SSL_write(ssl_, plain.data() + done, static_cast<int>(std::min(plain.size() - done, kReadChunk)));
    if (n <= 0) {
      Log(OpenSslError("TLS write failed"));
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return Flush() == Io::kOk;
}

void GatewayServer::Connection::SendCloseNotify() {
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
  if (Flush() == Io::kOk) {
    server_->Count([](GatewayCounters& c) { ++c.close_notify_sent; });
  }
}

bool GatewayServer::Connection::Sleep(int ms) {
  Clock::time_point deadline = After(ms);
  for (;;) {
    pollfd fd = {server_->wake_read_fd_, POLLIN, 0};
    int ready = ::poll(&fd, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0) return false;
    if (RemainingMs(deadline) == 0) return true;
  }
}

void GatewayServer::Connection::Serve() {
  if (!Setup()) return;
  if (!Handshake()) {
    server_->Count([](GatewayCounters& c) { ++c.handshake_failures; });
    return;
  }
  server_->Count([](GatewayCounters& c) { ++c.handshakes; });
  Log(Format("TLS up (%s, %s)", SSL_get_version(ssl_), SSL_get_cipher_name(ssl_)));

  for (;;) {
    GatewayRequest record;
    record.connection = id_;
    std::string why;
    Read read = ReadRequest(&record.http, &why);
    if (read == Read::kEnd) return;
    if (read == Read::kBad || record.http.method != "POST" || record.http.target != kGatewayPath) {
      bool bad = read == Read::kBad;
      record.status = bad ? 400 : 404;
      Log(bad ? "bad request: " + why : "no such resource: " + record.http.method + " " + record.http.target);
      server_->Count([](GatewayCounters& c) { ++c.bad_requests; });
      server_->Record(record);
      if (WritePlain(HttpStatusOnly(record.status, bad ? "Bad Request" : "Not Found"))) SendCloseNotify();
      return;
    }
    server_->Count([](GatewayCounters& c) { ++c.requests; });

    if (server_->Faults().hang_up_on_reversals && IsReversalRequest(record.http.body)) {
      record.hung_up = true;
      Log("reversal: hung up without passing it on");
      server_->Count([](GatewayCounters& c) { ++c.reversals_hung_up; });
      server_->Record(record);
      return;  // the socket is closed without close_notify
    }

    Reply reply = server_->host_->Handle(record.http.body);
    record.reached_host = true;
    record.action = reply.action;
    Log(Format("request of %zu bytes: %s", record.http.body.size(), ActionName(reply.action)));
    GatewayFaults budgeted;
    const bool has_budget = server_->TakeBudgetedFaults(&budgeted);
    const auto answer_faults = [&] { return has_budget ? budgeted : server_->Faults(); };

    if (int delay = answer_faults().answer_delay_ms; delay > 0) {
      Log(Format("answer delayed by %d ms", delay));
      if (!Sleep(delay)) {
        server_->Record(record);
        return;
      }
    }
    if (server_->Faults().renegotiate) {
      bool renegotiated = Renegotiate();
      server_->Count([renegotiated](GatewayCounters& c) {
        ++(renegotiated ? c.renegotiations : c.renegotiation_failures);
      });
      if (!renegotiated) {
        server_->Record(record);
        return;
      }
      Log("renegotiated");
    }

    if (reply.outcome == Outcome::kNoAnswer) {
      server_->Count([](GatewayCounters& c) { ++c.withheld; });
      Log("no answer");
      server_->Record(record);
      continue;
    }

    const GatewayFaults faults = answer_faults();
    std::string answer;
    bool ends_connection = faults.close_notify == CloseNotifyFault::kAfterAnswer;
    if (faults.http_500) {
      answer = HttpStatusOnly(500, "Internal Server Error");
      record.status = 500;
      ends_connection = true;
      server_->Count([](GatewayCounters& c) { ++c.status_500; });
    } else if (faults.empty_200) {
      answer = HttpOkAnswer("");
      record.status = 200;
      server_->Count([](GatewayCounters& c) { ++c.empty_200; });
    } else if (faults.close_notify == CloseNotifyFault::kInsteadOfAnswer) {
      Log("close_notify instead of the answer");
      server_->Record(record);
      SendCloseNotify();
      return;
    } else {
      answer = HttpOkAnswer(reply.bytes);
      record.status = 200;
    }

    if (faults.close_mid_answer) {
      // Everything up to the empty line, and half of the body (never all of it); a
      // status-only answer is cut in its middle.
      size_t header_end = answer.find("\r\n\r\n");
      size_t body = header_end == std::string::npos ? 0 : answer.size() - (header_end + 4);
      size_t keep = body > 0 ? header_end + 4 + body / 2 : answer.size() / 2;
      Log(Format("answer cut after %zu of %zu bytes", keep, answer.size()));
      server_->Count([](GatewayCounters& c) { ++c.cut_answers; });
      server_->Record(record);
      WritePlain(std::string_view(answer).substr(0, keep));
      return;  // the socket is closed without close_notify
    }

    // Recorded before it goes out, so that a client that has the answer finds it
    // among the requests; the counters follow the send.
    server_->Record(record);
    bool sent = WritePlain(answer);
    if (sent && record.status == 200) server_->Count([](GatewayCounters& c) { ++c.answers; });
    Log(Format("answered %d with %zu bytes", record.status, answer.size()));
    if (!sent) return;
    if (ends_connection) {
      SendCloseNotify();
      return;
    }
  }
}

GatewayServer::GatewayServer(ElavonHostSim* host, GatewayServerOptions options)
    : host_(host), options_(std::move(options)) {}

GatewayServer::~GatewayServer() { Stop(); }

bool GatewayServer::Start(std::string* error) {
  if (started_ || ctx_ != nullptr) {
    *error = "the server was started before";
    return false;
  }
  auto fail = [this, error](const std::string& text) {
    *error = text;
    Stop();
    return false;
  };

  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx_ == nullptr) return fail(OpenSslError("SSL_CTX_new"));
  if (SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION) != 1) {
    return fail(OpenSslError("TLS 1.2 only"));
  }
  if (SSL_CTX_use_certificate_chain_file(ctx_, options_.cert_file.c_str()) != 1) {
    return fail(OpenSslError(("certificate " + options_.cert_file).c_str()));
  }
  if (SSL_CTX_use_PrivateKey_file(ctx_, options_.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx_) != 1) {
    return fail(OpenSslError(("private key " + options_.key_file).c_str()));
  }

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  wake_read_fd_ = wake[0];
  wake_write_fd_ = wake[1];

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
    return fail("not an IPv4 address: " + options_.address);
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_fd_ < 0) return fail(std::string("socket: ") + std::strerror(errno));
  int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return fail(Format("bind %s:%u: %s", options_.address.c_str(), options_.port, std::strerror(errno)));
  }
  if (::listen(listen_fd_, 16) != 0) return fail(std::string("listen: ") + std::strerror(errno));
  socklen_t length = sizeof address;
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail(std::string("getsockname: ") + std::strerror(errno));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    port_ = ntohs(address.sin_port);
  }
  started_ = true;
  accept_thread_ = std::thread(&GatewayServer::AcceptLoop, this);
  Log(Format("listening on %s:%u", options_.address.c_str(), Port()));
  return true;
}

void GatewayServer::Stop() {
  if (wake_write_fd_ >= 0) {
    ssize_t ignored = ::write(wake_write_fd_, "x", 1);
    (void)ignored;
  }
  if (accept_thread_.joinable()) accept_thread_.join();
  for (Worker& worker : workers_) {
    if (worker.thread.joinable()) worker.thread.join();
  }
  workers_.clear();
  CloseFd(&listen_fd_);
  CloseFd(&wake_read_fd_);
  CloseFd(&wake_write_fd_);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  ctx_ = nullptr;
}

void GatewayServer::ReapFinishedWorkers() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done.load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void GatewayServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_read_fd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, kAcceptPollMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    ReapFinishedWorkers();
    if (ready <= 0 || (fds[0].revents & POLLIN) == 0) continue;

    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pollfd wake = {wake_read_fd_, POLLIN, 0};
        ::poll(&wake, 1, 50);  // out of descriptors: let connections end first
      }
      continue;
    }
    int id = 0;
    bool refuse = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      id = next_connection_++;
      ++counters_.accepted;
      refuse = faults_.refuse;
      if (refuse) ++counters_.refused;
    }
    if (refuse) {
      ::close(fd);
      Log(Format("[%d] refused at accept", id));
      continue;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Log(Format("[%d] accepted", id));
    Worker& worker = workers_.emplace_back();
    worker.thread = std::thread([this, fd, id, &worker] {
      {
        Connection connection(this, fd, id);
        connection.Serve();
      }
      Log(Format("[%d] closed", id));
      worker.done.store(true);
    });
  }
}

uint16_t GatewayServer::Port() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return port_;
}

void GatewayServer::SetFaults(const GatewayFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = faults;
}

bool GatewayServer::TakeBudgetedFaults(GatewayFaults* faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (faults_.answer_fault_requests <= 0) return false;
  *faults = faults_;
  if (--faults_.answer_fault_requests == 0) {
    faults_.answer_delay_ms = 0;
    faults_.http_500 = false;
    faults_.empty_200 = false;
    faults_.close_notify = CloseNotifyFault::kNone;
    faults_.close_mid_answer = false;
  }
  return true;
}

GatewayFaults GatewayServer::Faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

GatewayCounters GatewayServer::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

std::vector<GatewayRequest> GatewayServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<GatewayRequest>(requests_.begin(), requests_.end());
}

void GatewayServer::Log(const std::string& line) const {
  if (options_.log) options_.log(line);
}

void GatewayServer::Count(const std::function<void(GatewayCounters&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(counters_);
}

void GatewayServer::Record(GatewayRequest request) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(request));
  size_t limit = std::max<size_t>(options_.history_size, 1);
  while (requests_.size() > limit) requests_.pop_front();
}

}  // namespace elavon_sim
