#include "host/ip/tls_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <strings.h>

namespace host_ip_testing {
namespace {

using SteadyClock = std::chrono::steady_clock;

class Deadline {
 public:
  explicit Deadline(int ms) : m_End(SteadyClock::now() + std::chrono::milliseconds(ms)) {}
  int Left() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_End - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

 private:
  SteadyClock::time_point m_End;
};

// The request's Content-Length (any case), or -1 while the head is not complete.
long BodyLengthOf(const std::string& request, size_t* head_end) {
  const size_t end = request.find("\r\n\r\n");
  if (end == std::string::npos) return -1;
  *head_end = end + 4;
  long length = 0;
  size_t pos = 0;
  while (pos < end) {
    const size_t eol = request.find("\r\n", pos);
    const std::string line = request.substr(pos, eol - pos);
    if (line.size() > 15 && strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
      length = std::atol(line.c_str() + 15);
    }
    pos = eol + 2;
  }
  return length;
}

}  // namespace

// 1: bytes went into the TLS input; 0: nothing within ms; -1: the peer closed.
static int ReadInto(int fd, BIO* in, int ms) {
  pollfd p{fd, POLLIN, 0};
  const int r = ::poll(&p, 1, ms);
  if (r <= 0) return 0;
  char buffer[16384];
  const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n <= 0) return -1;
  BIO_write(in, buffer, static_cast<int>(n));
  return 1;
}

bool ScriptedSession::ReadSocket(int ms) { return ReadInto(m_Fd, m_In, ms) == 1; }

bool ScriptedSession::Handshake(int ms, const std::string& greeting, size_t held_back) {
  const Deadline deadline(ms);
  for (;;) {
    ERR_clear_error();
    const int r = SSL_do_handshake(m_Ssl);
    const int e = SSL_get_error(m_Ssl, r);
    if (r == 1 && !greeting.empty()) {
      QueueRecord(greeting);
      std::string bytes;
      char buffer[16384];
      int n;
      while ((n = BIO_read(m_Out, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
      const size_t cut = bytes.size() - std::min(held_back, bytes.size());
      if (!SendRaw(bytes.substr(0, cut))) return false;
      Idle(50);
      return SendRaw(bytes.substr(cut));
    }
    if (!Flush()) return false;
    if (r == 1) return true;
    if (e != SSL_ERROR_WANT_READ || !ReadSocket(deadline.Left())) return false;
  }
}

bool ScriptedSession::ReadRequest(std::string* request, int ms) {
  const Deadline deadline(ms);
  request->clear();
  char buffer[4096];
  for (;;) {
    size_t head_end = 0;
    const long body = BodyLengthOf(*request, &head_end);
    if (body >= 0 && request->size() >= head_end + static_cast<size_t>(body)) return true;
    ERR_clear_error();
    const int n = SSL_read(m_Ssl, buffer, sizeof buffer);
    if (n > 0) {
      request->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (SSL_get_error(m_Ssl, n) != SSL_ERROR_WANT_READ) return false;
    if (!Flush() || !ReadSocket(deadline.Left())) return false;
  }
}

void ScriptedSession::QueueRecord(const std::string& plain) {
  SSL_write(m_Ssl, plain.data(), static_cast<int>(plain.size()));
}

bool ScriptedSession::QueueRenegotiationRequest() {
  if (SSL_renegotiate(m_Ssl) != 1) return false;
  SSL_do_handshake(m_Ssl);
  return BIO_ctrl_pending(m_Out) > 0;
}

void ScriptedSession::QueueCloseNotify() { SSL_shutdown(m_Ssl); }

bool ScriptedSession::Flush(size_t piece) {
  std::string bytes;
  char buffer[16384];
  int n;
  while ((n = BIO_read(m_Out, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  return SendRaw(bytes, piece);
}

bool ScriptedSession::SendRaw(const std::string& bytes, size_t piece) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    size_t want = bytes.size() - sent;
    if (piece > 0 && want > piece) want = piece;
    const ssize_t n = ::send(m_Fd, bytes.data() + sent, want, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool ScriptedSession::CompleteRenegotiation(int ms) {
  const Deadline deadline(ms);
  char buffer[4096];
  while (SSL_renegotiate_pending(m_Ssl) == 1 || SSL_in_init(m_Ssl)) {
    ERR_clear_error();
    const int n = SSL_read(m_Ssl, buffer, sizeof buffer);
    if (!Flush()) return false;
    if (n > 0) continue;
    if (SSL_get_error(m_Ssl, n) != SSL_ERROR_WANT_READ) return false;
    if (SSL_renegotiate_pending(m_Ssl) != 1 && !SSL_in_init(m_Ssl)) break;  // done within this read
    if (!ReadSocket(deadline.Left())) return false;
  }
  return Flush();
}

bool ScriptedSession::WaitForClientClose(int ms) {
  const Deadline deadline(ms);
  char buffer[4096];
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(m_Ssl, buffer, sizeof buffer);
    if (n > 0) continue;
    const int e = SSL_get_error(m_Ssl, n);
    if (e == SSL_ERROR_ZERO_RETURN) return true;
    if (e != SSL_ERROR_WANT_READ) return true;  // the connection is gone
    const int got = ReadInto(m_Fd, m_In, deadline.Left());
    if (got < 0) return true;
    if (got == 0) return false;
  }
}

void ScriptedSession::Idle(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

ScriptedTlsServer::ScriptedTlsServer(const std::string& cert_file, const std::string& key_file) {
  m_Ctx = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(m_Ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(m_Ctx, TLS1_2_VERSION);
  // Every handshake is a full one (a renegotiation may then change the cipher).
  SSL_CTX_set_session_cache_mode(m_Ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(m_Ctx, SSL_OP_NO_TICKET);
  if (SSL_CTX_use_certificate_chain_file(m_Ctx, cert_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(m_Ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(m_Ctx);
    m_Ctx = nullptr;
  }
}

ScriptedTlsServer::~ScriptedTlsServer() {
  Stop();
  if (m_Ctx != nullptr) SSL_CTX_free(m_Ctx);
}

bool ScriptedTlsServer::Start(Script script) {
  if (m_Ctx == nullptr) return false;
  m_Listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (m_Listen < 0 || ::bind(m_Listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_Listen, 4) != 0 || ::getsockname(m_Listen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  m_Port = ntohs(address.sin_port);
  m_Thread = std::thread([this, script = std::move(script)] { Run(script); });
  return true;
}

void ScriptedTlsServer::Run(Script script) {
  pollfd p{m_Listen, POLLIN, 0};
  int ready = 0;
  for (int waited = 0; waited < 10000 && ready == 0 && !m_Stop; waited += 50) ready = ::poll(&p, 1, 50);
  if (ready == 1) {
    const int fd = ::accept4(m_Listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      SSL* ssl = SSL_new(m_Ctx);
      BIO* in = BIO_new(BIO_s_mem());
      BIO* out = BIO_new(BIO_s_mem());
      SSL_set_bio(ssl, in, out);
      SSL_set_accept_state(ssl);
      ScriptedSession session(fd, ssl, in, out);
      script(session);
      SSL_free(ssl);
      ::close(fd);
    }
  }
  m_Done = true;
}

bool ScriptedTlsServer::WaitDone(int ms) {
  const Deadline deadline(ms);
  while (!m_Done && deadline.Left() > 0) ::usleep(1000);
  return m_Done;
}

void ScriptedTlsServer::Stop() {
  m_Stop = true;
  if (m_Thread.joinable()) m_Thread.join();
  if (m_Listen >= 0) {
    ::close(m_Listen);
    m_Listen = -1;
  }
}

}  // namespace host_ip_testing
