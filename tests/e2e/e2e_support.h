// What the end-to-end tests share: the server binary run as a child process in a
// folder of its own, with its peers on 127.0.0.1, and a POS connection that speaks
// the wire protocol through tools/pos-client. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <map>
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

// The server binary in a child process. Start waits until the client port accepts.
class ServerProcess {
 public:
  ServerProcess(std::string binary, std::string work_folder, std::map<std::string, std::string> env);
  ~ServerProcess();  // Stop(), then SIGKILL when it would not end
  bool Start(int client_port, int wait_ms, std::vector<std::string> args = {"/started_as_service"});
  // SIGTERM; true when the process ended within wait_ms, with its exit status.
  bool Stop(int wait_ms, int* status = nullptr);
  bool Running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // The day's log text, CR LF turned into LF.
  std::string LogText() const;
  // What the process wrote to stdout and stderr so far.
  std::string Output() const;

 private:
  std::string binary_, work_;
  std::map<std::string, std::string> env_;
  pid_t pid_ = -1;
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
