// Test support: a one-connection TLS 1.2 server on 127.0.0.1 whose every byte on the
// wire is under the test's control. OpenSSL runs between memory BIOs; what it
// produces is queued and goes out only when the script flushes it, in one send() or
// in pieces, so a test can put two records in one TCP segment, split one across
// many, or send raw bytes. The script runs on the server's own thread with the
// accepted connection; every wait in it is bounded by its time-out.
//
// Thread safety: Start and Stop on the test's thread; the script alone touches the
// session. Stop (or the destructor) closes the sockets and joins the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace host_ip_testing {

class ScriptedSession {
 public:
  ScriptedSession(int fd, SSL* ssl, BIO* in, BIO* out) : m_Fd(fd), m_Ssl(ssl), m_In(in), m_Out(out) {}

  // Runs the server side of the handshake (sending each flight at once). A greeting
  // goes out as application data in the same send as the last handshake flight; its
  // last `held_back` bytes 50 ms later, in a send of their own.
  bool Handshake(int ms, const std::string& greeting = std::string(), size_t held_back = 0);
  // Reads one HTTP request: the head and Content-Length bytes of body.
  bool ReadRequest(std::string* request, int ms);
  // Queues application data as one record; nothing is sent yet.
  void QueueRecord(const std::string& plain);
  // Queues a HelloRequest.
  bool QueueRenegotiationRequest();
  // Queues a close_notify.
  void QueueCloseNotify();
  // Sends everything queued in one send(), or in sends of `piece` bytes each.
  bool Flush(size_t piece = 0);
  // Sends bytes as they are.
  bool SendRaw(const std::string& bytes, size_t piece = 0);
  // Reads and answers until the renegotiation the server asked for is done.
  bool CompleteRenegotiation(int ms);
  // Waits until the client sends close_notify or closes; true when it did.
  bool WaitForClientClose(int ms);
  // Waits for `ms` without reading (a silent gateway).
  void Idle(int ms);
  SSL* ssl() const { return m_Ssl; }

 private:
  // Reads what the socket has within ms into the TLS input. False on time-out/EOF.
  bool ReadSocket(int ms);

  const int m_Fd;
  SSL* const m_Ssl;
  BIO* const m_In;
  BIO* const m_Out;
};

class ScriptedTlsServer {
 public:
  using Script = std::function<void(ScriptedSession&)>;

  // The certificate (with any chain after it) and key files, PEM.
  ScriptedTlsServer(const std::string& cert_file, const std::string& key_file);
  ScriptedTlsServer(const ScriptedTlsServer&) = delete;
  ScriptedTlsServer& operator=(const ScriptedTlsServer&) = delete;
  ~ScriptedTlsServer();

  // Listens on an ephemeral port; the thread accepts one connection (waiting at most
  // 10 s) and runs the script on it.
  bool Start(Script script);
  uint16_t Port() const { return m_Port; }
  // Waits until the script has ended (at most ms); true when it has.
  bool WaitDone(int ms);
  void Stop();

 private:
  void Run(Script script);

  SSL_CTX* m_Ctx = nullptr;
  int m_Listen = -1;
  uint16_t m_Port = 0;
  std::thread m_Thread;
  std::atomic<bool> m_Done{false};
  std::atomic<bool> m_Stop{false};
};

}  // namespace host_ip_testing
