// RvcsServer: the simulated configuration service. A TLS 1.2 server on a loopback
// address (OpenSSL's libssl between memory BIOs, over plain POSIX sockets) that runs
// the parameter download with every client that connects, one connection at a time:
//   1. accept; fault kCloseAtOnce: close before any TLS byte
//   2. TLS handshake, bounded by io_timeout_ms
//   3. message 1: a challenge, 16 random bytes as upper-case hex (fault kSilent: no
//      message at all; kOddChallenge: the last hex digit left off; kLongChallenge:
//      1,024 bytes; kSplitRecords: a message without end, in records split across
//      sends, and nothing more)
//   4. message 2 from the client, the parameter request; its CR= is checked against
//      the challenge encrypted with the shared key (challenge_cipher.h), its CC=
//      must be 16 bytes of upper-case hex
//   5. message 3: the parameter message (service_messages.h) with the echo of CC=,
//      the 22 records (defaults, or options.values), and in "510" the service's
//      refusal: "Challenge Response Failed" for a wrong CR=, "Invalid Client
//      Challenge" for a CC= it cannot read, options.service_error under
//      kServiceError, else empty. Fault kSilentAfterRequest: no message 3; the other
//      faults change this message (see Fault)
//   6. message 4 from the client: "OK" or its error text
//   7. waits (up to io_timeout_ms) for the client to close, answers a close_notify
//      with one, and closes.
// Every wait is bounded by io_timeout_ms, or by the end of the server (Stop). A
// client that breaks the exchange ends its connection; the server then waits for
// the next one.
//
// Records: with record_chunk > 0 each message leaves in TLS records of at most that
// many bytes, each in a send of its own 20 ms after the previous one, so that a
// message reaches the client split across records and reads. With
// greeting_with_handshake the end of the handshake and message 1 leave in one send.
//
// Thread safety: Start and Stop are for the owner's thread; the other operations
// may be called from any thread and take the server's one mutex. Connections run on
// one thread of the server's own, which Stop wakes and joins.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace rvcs_sim {

enum class Fault {
  kNone,
  kCloseAtOnce,         // close each connection right after accept
  kSilent,              // TLS up, then nothing is sent
  kSilentAfterRequest,  // the request is read, then no answer
  kServiceError,        // "510" carries options.service_error
  kWrongEcho,           // the echo of CC= with its first byte changed
  kLowerCaseEcho,       // the right echo in lower-case hex
  kTooFewRecords,       // parameter 21 left out: 21 records
  kTooManyRecords,      // a further record "22": 23 records
  kWrongFormat,         // parameter 2 with format code "AN2"
  kWrongLength,         // parameter 2 with maximum length 17
  kLeadingZeroKey,      // parameter 1 under the key "01"
  kRepeatedKey,         // parameter 18 also earlier, under the same key "18", with "EARLIER NAME"
  kLeadingZeroBeside,   // parameter 2 under both "2" and "02": 23 records
  kLeadingZeroInPlace,  // parameter 2 under both "2" and "02", parameter 21 left out: 22 records
  kNoHeader,            // message 3 without its header line, padded to 8,000 bytes
  kOversize,            // message 3 announces and carries 70,000 bytes
  kOddChallenge,        // message 1 with an odd number of hex digits
  kLongChallenge,       // message 1 with a 1,024-byte challenge
  kSplitRecords,        // message 1 without end (a huge Content-Length, then filler)
                        // in 4,096-byte records, each send carrying the tail of one
                        // record and the head of the next, so that no read of the
                        // client ends on a record boundary; it goes on until the
                        // client stops taking it, io_timeout_ms or the server's end
};

// The name of a fault as the program's --fault option takes it ("close-at-once",
// "silent", ...); FaultFromName is false for an unknown name.
const char* FaultName(Fault fault);
bool FaultFromName(const std::string& name, Fault* fault);
std::vector<Fault> AllFaults();

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: a free port, see RvcsServer::port
  std::string cert_file;  // PEM server certificate (chain)
  std::string key_file;   // PEM private key
  Fault fault = Fault::kNone;
  std::map<int, std::string> values;  // parameter number -> value served in place of the default
  std::string service_error = "Device Not Registered";
  size_t record_chunk = 0;
  bool greeting_with_handshake = false;
  int io_timeout_ms = 5000;
};

// What the service saw of one connection.
struct SessionRecord {
  std::string challenge;  // the text of message 1
  std::string request;    // the body of message 2 (empty when none came)
  std::map<std::string, std::string> fields;  // its fields by name
  std::vector<std::string> field_order;
  bool response_valid = false;  // CR= matched the challenge
  std::string final_message;    // the body of message 4
  bool got_final = false;
  bool ended = false;           // the connection is over
};

class RvcsServer {
 public:
  explicit RvcsServer(ServerOptions options);
  RvcsServer(const RvcsServer&) = delete;
  RvcsServer& operator=(const RvcsServer&) = delete;
  ~RvcsServer();  // Stop

  // Loads the certificate, listens and starts the connection thread. False with
  // *error when a step fails.
  bool Start(std::string* error);
  // Ends the connection in progress and the thread. Safe to call twice.
  void Stop();

  uint16_t port() const { return port_; }

  // A copy of the record of every connection so far, oldest first.
  std::vector<SessionRecord> Sessions() const;
  // Waits up to timeout_ms until n connections have ended; false on time-out.
  bool WaitForEnded(size_t n, int timeout_ms) const;

 private:
  void Run();
  void Serve(int fd);
  void Update(size_t index, const SessionRecord& record);
  bool Stopping() const { return stop_.load(); }

  const ServerOptions options_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::vector<SessionRecord> sessions_;  // guarded by mu_
};

}  // namespace rvcs_sim
