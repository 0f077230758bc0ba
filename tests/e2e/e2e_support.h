// What the end-to-end tests share: the server binary run as a child process in a
// folder of its own, with its peers on 127.0.0.1, and a POS connection that speaks
// the wire protocol through tools/pos-client. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"
#include "tools/pos-client/login.h"
#include "tools/pos-client/request_envelope.h"

namespace e2e {

// A fresh folder under /tmp, removed by the destructor.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A free TCP port on 127.0.0.1 (bound once, then released).
int FreePort();

// Polls done() every poll_ms until it is true or wait_ms have passed; then its last
// answer.
bool WaitFor(int wait_ms, const std::function<bool()>& done, int poll_ms = 50);

// The cents of an amount written "d.cc" ("12.34" -> 1234).
int64_t Cents(const std::string& amount);

// Holds back the gateway's answer to the next request that reaches the host for
// delay_ms (the faults set before are replaced); the requests after it are answered
// at once.
void HoldFirstAnswer(elavon_sim::GatewayServer& gateway, int delay_ms);

// The name of today's log file ("KVRmmddyyyy" + suffix + ".log").
std::string TodaysLogName(const char* suffix = "");
// A log file's text, CR LF turned into LF ("" when it cannot be read).
std::string ReadLogFile(const std::string& path);

// The test card's track and a credit sale of amount with it.
inline constexpr char kTestTrack2[] = "4111111111111111=2512101";
std::vector<pos_client::TStreamItem> CreditSale(const std::string& amount);

// Merchant parameters stored in home's profile, as a download would have left them:
// the defaults with the values given (parameter number, value).
bool StoreParameters(const std::string& home, const std::vector<std::pair<int, std::string>>& values);

// The log archive for the log scan: the folder KVR_E2E_LOG_ARCHIVE names, else the
// one SetLogArchiveFolder gave (the e2e tests give the build's e2e-logs folder), else
// "" (then nothing is kept). Each ServerProcess copies its QUILLON_LOGS
// folder into a folder of its own there when it is destroyed; the secrets that the
// tests send (card numbers, track texts, key-block and challenge hex) are listed in
// "secrets-<pid>.txt", one "kind<TAB>value" a line. Safe from any thread.
std::string LogArchiveFolder();
void SetLogArchiveFolder(const std::string& folder);
void RecordSecret(const std::string& kind, const std::string& value);
// The card numbers and track texts of a request's items (Track1, Track2, AcctNo, in
// any case and with blanks around the name).
void RecordCardSecrets(const std::vector<pos_client::TStreamItem>& items);

// The server binary in a child process. Start waits until the client port accepts.
class ServerProcess {
 public:
  ServerProcess(std::string binary, std::string work_folder, std::map<std::string, std::string> env);
  ~ServerProcess();  // Stop(), then SIGKILL when it would not end
  bool Start(int client_port, int wait_ms, std::vector<std::string> args = {"/started_as_service"});
  // SIGTERM; true when the process ended within wait_ms, with its exit status.
  bool Stop(int wait_ms, int* status = nullptr);
  // Waits (without a signal) until the process has ended by itself, within wait_ms.
  bool WaitForExit(int wait_ms, int* status = nullptr);
  bool Running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The day's log text, CR LF turned into LF.
  std::string LogText() const;
  // What the process wrote to stdout and stderr so far.
  std::string Output() const;
  const std::string& work_folder() const { return work_; }

 private:
  std::string binary_, work_;
  std::map<std::string, std::string> env_;
  pid_t pid_ = -1;
  bool started_ = false;
};

// One POS connection: the greeting, the login, and request/reply exchanges.
class PosConnection {
 public:
  PosConnection() = default;
  ~PosConnection();
  bool Connect(int port, int wait_ms);
  // Reads the greeting and logs in; true for 2000 "Login Verified." with the check
  // bytes given back.
  bool Login(const std::string& marker, std::string* failure);
  // Sends a request built from items and waits for its final reply, skipping the
  // interim "Queued" notice. The reply frame opened with the request's session key.
  bool Exchange(const std::vector<pos_client::TStreamItem>& items, pos_client::Cipher cipher,
                int wait_ms, std::string* document, bool* encrypted, std::string* failure);
  // Reads one ETX-ended frame (the ETX included) within wait_ms.
  bool ReadFrame(int wait_ms, std::string* frame);
  bool Send(const std::string& bytes);
  void Close();

  const pos_client::ServerPublicKey& server_key() const { return server_key_; }

 private:
  int fd_ = -1;
  std::string pending_;
  pos_client::ServerPublicKey server_key_;
};

// What a ServerRig sets up, beyond what every rig has.
struct ServerRigOptions {
  bool gateway = true;           // a simulated gateway (over sim()) on 127.0.0.1
  bool secondary_gateway = true;  // the gateway as KVR_ELAVON_GATEWAY_SECONDARY too
  bool store_parameters = true;  // the merchant parameters stored before the start
  // Stored after merchant terminal id 123456789012, 4 lanes, a 5 s connect time-out.
  std::vector<std::pair<int, std::string>> extra_parameters;
  int end_wait_ms = 40000;  // how long the destructor waits for the server to end
  std::string program;      // what is spawned ("": the server binary)
};

// The server binary in a scratch folder of its own: home/ and work/ in it, the test
// PKI under certs/, the simulated gateway with the PKI's certificate, the stored
// parameters, and a configuration service that is down (a free port). Prepare builds
// env(): KVR_HOME, KVR_CLIENT_PORT, the gateway(s), KVR_RVCS_PRIMARY/SECONDARY,
// SSL_CERT_FILE (the PKI's CA) and QT_QPA_PLATFORM offscreen; a test may change it
// before each start. The server may be stopped, killed and started again on the same
// folders, port and env. Failures are gtest failures (ASSERT_NO_FATAL_FAILURE around
// the void steps). One test thread drives it; no lock.
class ServerRig {
 public:
  explicit ServerRig(ServerRigOptions options = {});
  virtual ~ServerRig() { End(); }
  // SIGTERM to the server, waiting end_wait_ms (then the process is killed), then the
  // gateway stops. Idempotent.
  void End();

  ServerRigOptions& options() { return options_; }  // before Prepare
  void Prepare();
  std::map<std::string, std::string>& env() { return env_; }
  // A new server process of program with env() (not started); the previous one is
  // ended first.
  ServerProcess& MakeServer();
  // MakeServer, then asserts that the client port accepts within wait_ms.
  void Start(int wait_ms = 30000, std::vector<std::string> args = {"/started_as_service"});
  // SIGTERM; asserts the end within 40 s. The process (its log) stays until the next start.
  void Stop(int* status = nullptr);
  // kill -9: nothing of the server's shut-down runs; then reaps it.
  void Kill();
  // A new POS connection, logged in with marker "M"; null (and a failure) when not.
  std::unique_ptr<PosConnection> Pos() const;
  // The day's log of the server ("" before the first start).
  std::string Log() const;

  const std::string& scratch() const { return scratch_.path(); }
  const std::string& home() const { return home_; }
  const std::string& work() const { return work_; }
  int port() const { return port_; }
  const elavon_sim::TestPkiFiles& pki() const { return pki_; }
  elavon_sim::ElavonHostSim& sim() { return sim_; }
  const elavon_sim::ElavonHostSim& sim() const { return sim_; }
  elavon_sim::GatewayServer& gateway() { return *gateway_; }
  ServerProcess& server() { return *server_; }
  const ServerProcess& server() const { return *server_; }

 private:
  ServerRigOptions options_;
  ScratchFolder scratch_;
  std::string home_, work_;
  int port_ = 0;
  elavon_sim::TestPkiFiles pki_;
  elavon_sim::ElavonHostSim sim_;
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<ServerProcess> server_;
};

// The text of element name in an RStream document, or "".
std::string Element(const std::string& document, const std::string& name);

}  // namespace e2e
