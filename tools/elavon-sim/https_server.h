// GatewayServer: the network side of the simulated Elavon IP gateway. A TLS 1.2
// HTTPS server on a loopback address (OpenSSL's libssl over plain POSIX sockets)
// that takes one HTTP POST per Elavon request message and answers with status 200
// and the answer message of an ElavonHostSim as the body. A connection stays open
// after an answer, so that an echo request can follow on it, until the client ends
// it, the idle time runs out, or the server stops.
//
// Per connection, in order:
//   1. accept; fault `refuse`: close at once, before any TLS byte
//   2. TLS handshake (TLS 1.2 only), bounded by io_timeout_ms
//   3. read one request (http_message.h); the wait for its first byte is bounded by
//      idle_timeout_ms, the rest by io_timeout_ms. A client close_notify is answered
//      with one and ends the connection. A request that cannot be read gets
//      "400 Bad Request", one for another path or method "404 Not Found" (status line
//      only, then close_notify and close)
//   4. fault `hang_up_on_reversals`: a body that is a reversal (IsReversalRequest)
//      is not passed on; the TCP connection is dropped at once, without an answer
//      or close_notify, so the host never sees the reversal
//   5. the body goes to ElavonHostSim::Handle; every request that reaches this step
//      is handled by the host, whatever the faults do to its answer
//   6. fault `answer_delay_ms`: wait that long
//   7. fault `renegotiate`: the server requests a TLS 1.2 renegotiation (HelloRequest)
//      and completes it before it answers
//   8. the answer: the host's answer bytes (its refusal text for an unusable request)
//      as a 200 answer; nothing at all when the host withholds its answer (the
//      connection stays open); faults, first that applies:
//        http_500      "HTTP/1.1 500 Internal Server Error" with no header, then
//                      close_notify and close (a client takes such an answer only at
//                      the end of the connection, since it has no length)
//        empty_200     200 with "Content-Length: 0" and no body; the connection stays
//        close_notify  kInsteadOfAnswer: close_notify and close, no answer
//      then close_mid_answer: only the status line, the headers and part of the body
//      (at least one body byte short) go out, then the TCP connection is dropped
//      without close_notify
//   9. close_notify kAfterAnswer: close_notify and close after the answer
// With answer_fault_requests set, the faults of steps 6 and 8 are read once, when
// the request reaches the host (step 5), and count against that budget; a reversal
// hung up on at step 4 does not reach the host and uses none of it.
// `refuse` and `hang_up_on_reversals` stay until the test clears them: set and later
// cleared, they make a gateway that refuses connections, or hangs up on reversals,
// for a while.
// Fault `split_records`: while it is set, every byte that TLS produces (handshake and
// records alike) goes out in a send() of its own (TCP_NODELAY is always on), so
// records arrive split across TCP segments.
//
// Thread safety: Start and Stop are for the owner's thread. Everything else may be
// called from any thread while the server runs; it takes the server's one mutex (the
// host simulator takes its own). The accept loop runs on a thread of its own, each
// connection on another; Stop wakes and joins every one of them.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/http_message.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace elavon_sim {

enum class CloseNotifyFault {
  kNone,
  kInsteadOfAnswer,  // close_notify and close instead of the answer
  kAfterAnswer,      // close_notify and close after the answer
};

// The fault switches. Each is read when its step comes, so a change applies to the
// next step that reads it, on every connection.
struct GatewayFaults {
  bool refuse = false;
  bool close_mid_answer = false;
  int answer_delay_ms = 0;
  bool http_500 = false;
  bool empty_200 = false;
  bool split_records = false;
  bool renegotiate = false;
  CloseNotifyFault close_notify = CloseNotifyFault::kNone;
  bool hang_up_on_reversals = false;  // drop the connection when a reversal comes (step 4)
  // 0: the answer faults (answer_delay_ms, http_500, empty_200, close_notify,
  // close_mid_answer) apply to every request. n > 0: they apply to the next n
  // requests that reach the host, taken as they stand when each reaches it, and are
  // then cleared, so that a reversal that follows gets its answer.
  int answer_fault_requests = 0;
};

struct GatewayServerOptions {
  std::string cert_file;  // PEM: the server certificate (and any chain after it)
  std::string key_file;   // PEM: its private key
  std::string address = "127.0.0.1";
  uint16_t port = 0;              // 0: an ephemeral port (see Port())
  int io_timeout_ms = 10000;      // handshake, the rest of a started request, renegotiation
  int idle_timeout_ms = 60000;    // wait for the next request on an open connection
  size_t history_size = 32;       // requests kept for Requests()
  // Called with one line per event (connection, request, answer, fault), from the
  // connection threads; empty: no lines. Must not call back into the server.
  std::function<void(const std::string&)> log;
};

struct GatewayCounters {
  int accepted = 0;            // TCP connections accepted (refused ones included)
  int refused = 0;             // closed at accept (fault refuse)
  int handshakes = 0;          // TLS handshakes completed (renegotiations not counted)
  int handshake_failures = 0;
  int requests = 0;            // requests read whole
  int bad_requests = 0;        // answered 400 or 404
  int answers = 0;             // 200 answers sent whole (empty ones included)
  int withheld = 0;            // requests the host did not answer
  int renegotiations = 0;      // renegotiations completed
  int renegotiation_failures = 0;
  int cut_answers = 0;         // close_mid_answer
  int status_500 = 0;
  int empty_200 = 0;
  int close_notify_sent = 0;
  int close_notify_received = 0;
  int reversals_hung_up = 0;   // reversals read and dropped (hang_up_on_reversals)
  int64_t bytes_sent = 0;      // TLS bytes, handshakes included
  int64_t sends = 0;           // send() calls that sent them
};

// One request as the gateway read it, and what it did with it.
struct GatewayRequest {
  int connection = 0;  // 1 for the first connection accepted, and so on
  HttpRequest http;
  int status = 0;      // the status sent: 200, 400, 404 or 500; 0 for none
  Action action = Action::kDeclined;  // the host's action (requests that reached it)
  bool reached_host = false;
  bool hung_up = false;  // a reversal dropped by hang_up_on_reversals
};

class GatewayServer {
 public:
  // `host` must outlive the server.
  GatewayServer(ElavonHostSim* host, GatewayServerOptions options);
  GatewayServer(const GatewayServer&) = delete;
  GatewayServer& operator=(const GatewayServer&) = delete;
  ~GatewayServer();  // Stop()

  // Loads the certificate and key, binds, listens and starts the accept thread.
  // False with *error set (nothing left running) when a step fails, or when the
  // server was started before.
  bool Start(std::string* error);
  // Closes the listener and every connection, and joins every thread. Safe to call
  // more than once, and when Start failed or was never called.
  void Stop();

  // The port bound (the ephemeral one when options.port was 0); 0 before Start.
  uint16_t Port() const;

  void SetFaults(const GatewayFaults& faults);
  GatewayFaults Faults() const;
  // Updated as each step ends: a counter of a step that the client has just seen
  // end may lag behind it until the connection's thread moves on (after Stop, all
  // are final).
  GatewayCounters Counters() const;
  // The last options.history_size requests, oldest first. A request is listed before
  // its answer goes out.
  std::vector<GatewayRequest> Requests() const;

 private:
  class Connection;

  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void ReapFinishedWorkers();
  void Log(const std::string& line) const;
  // Applies `change` to the counters under the mutex.
  void Count(const std::function<void(GatewayCounters&)>& change);
  void Record(GatewayRequest request);
  // The faults for the answer of a request that has just reached the host: the
  // current ones while an answer-fault budget runs (which this uses up by one),
  // else nothing (each step then reads the faults itself).
  bool TakeBudgetedFaults(GatewayFaults* faults);

  ElavonHostSim* const host_;
  const GatewayServerOptions options_;

  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int wake_read_fd_ = -1;   // readable once Stop has begun: every wait polls it
  int wake_write_fd_ = -1;
  uint16_t port_ = 0;
  bool started_ = false;
  std::thread accept_thread_;
  std::list<Worker> workers_;  // touched by the accept thread, then by Stop after the join

  mutable std::mutex mutex_;
  GatewayFaults faults_;
  GatewayCounters counters_;
  std::deque<GatewayRequest> requests_;
  int next_connection_ = 1;
};

}  // namespace elavon_sim
