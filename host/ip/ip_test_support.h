// Test support for the IP transport: the process set-up every test binary of this
// room needs (a KVR_HOME of its own, the SSPI interface initialised), the merchant
// parameter that switches the certificate check, test certificates, trust anchors,
// a client on g_SspiInterface, and the text the logger wrote.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/tran/elavon_tran.h"
#include "host/ip/elavon_ssl_client.h"
#include "tools/elavon-sim/test_pki.h"

namespace host_ip_testing {

// Milliseconds since start on the steady clock.
inline long MsSince(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// Once per process: KVR_HOME := a new folder under the working folder (before the
// profile is first used), then g_SspiInterface.Initialize.
void PrepareProcess();

// VERIFY SSL CERTIFICATE := value, stored as given (also a value its format refuses).
void SetVerifySslCertificate(const std::string& value);

// A CA and a server certificate in the folder `name` under the working folder.
elavon_sim::TestPkiFiles MakePki(const std::string& name,
                                 const elavon_sim::TestPkiOptions& options = elavon_sim::TestPkiOptions());

// SSL_CERT_FILE := ca_file and SSL_CERT_DIR := an empty folder, for the object's life;
// the earlier values come back afterwards.
class ScopedTrust {
 public:
  explicit ScopedTrust(const std::string& ca_file);
  ScopedTrust(const ScopedTrust&) = delete;
  ScopedTrust& operator=(const ScopedTrust&) = delete;
  ~ScopedTrust();

 private:
  std::string m_PreviousFile, m_PreviousDir;
  bool m_HadFile, m_HadDir;
};

std::unique_ptr<CElavonSslClient> NewClient();

// A record whose Elavon request message is `message`.
CElavonTran TranWithMessage(const std::string& message);

// Everything the process's logger has written so far (after a flush).
std::string LogText();

}  // namespace host_ip_testing
