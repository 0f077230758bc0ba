// A test certificate authority and a server certificate signed by it, made with
// OpenSSL's C API at test time and written into a folder, for the simulated peers'
// TLS servers and for the clients that must trust them:
//   ca.pem      the CA certificate: what clients trust (point SSL_CERT_FILE at it)
//   server.pem  the server certificate (signed by the CA)
//   server.key  the server's private key (PEM, mode 0600)
// Keys are EC P-256. The CA's own key is not kept: a new call makes a new CA.
// Stateless apart from the files; safe on any thread (each call writes its own folder).
#pragma once

#include <string>
#include <vector>

namespace elavon_sim {

struct TestPkiOptions {
  std::string common_name = "localhost";
  std::vector<std::string> dns_names = {"localhost"};  // subjectAltName DNS entries
  std::vector<std::string> ip_addresses = {"127.0.0.1"};  // subjectAltName IP entries
  int valid_days = 30;  // from one hour ago
};

struct TestPkiFiles {
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
};

// Makes the folder when it is missing (one level) and writes the three files into
// it, each replacing an earlier one at once (temporary file and rename). Test
// processes that run side by side in one working folder give each its own folder.
// False with *error set when a step fails.
bool MakeTestPki(const std::string& folder, const TestPkiOptions& options, TestPkiFiles* files,
                 std::string* error);

// The three file names in `folder`, whether they exist or not.
TestPkiFiles TestPkiFilesIn(const std::string& folder);

// Removes the three files and then the folder, when it is empty; what is missing is
// skipped.
void RemoveTestPki(const std::string& folder);

}  // namespace elavon_sim
