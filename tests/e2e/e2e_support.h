// What the end-to-end tests share: the server binary run as a child process in a
// folder of its own, with its peers on 127.0.0.1, and a POS connection that speaks
// the wire protocol through tools/pos-client. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <map>
#include <utility>
#include <string>
#include <vector>

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
// The card numbers and track texts of a request's items (Track1, Track2, AcctNo).
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

// The text of element name in an RStream document, or "".
std::string Element(const std::string& document, const std::string& name);

}  // namespace e2e
