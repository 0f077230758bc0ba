// What an operator reads when the real server binary cannot do its job: each failure
// at start-up or on the first sale leaves, beside the program's own text, a line that
// names the cause (the port, the endpoint, the folder or file and the system's
// reason). Where the log itself cannot be written, those lines go to stderr. Also the
// modes of the folders and files the server keeps.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"
#include "tools/rvcs-sim/rvcs_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// What a case changes around the server.
struct RigSetup {
  bool gateway_listens = true;  // false: the gateway's port has no listener
  bool store_parameters = true;
  std::unique_ptr<rvcs_sim::ServerOptions> service;  // null: nothing listens on its port
  std::string home_suffix = "/home";                 // KVR_HOME under the scratch folder
  std::function<void(const std::string& scratch, const std::string& work)> prepare;
  std::vector<std::string> launcher;  // the command run in front of the server binary
};

class OpsRig {
 public:
  // Starts the peers and the server; true when the server listens within wait_ms.
  bool Start(RigSetup setup, int wait_ms) {
    home_ = scratch_.path() + setup.home_suffix;
    work_ = scratch_.path() + "/work";
    EXPECT_TRUE(platform::fs::CreateFolder(work_));
    if (setup.prepare) setup.prepare(scratch_.path(), work_);
    platform::fs::CreateFolders(home_);  // fails where the case wants it to
    std::string error;
    EXPECT_TRUE(elavon_sim::MakeTestPki(scratch_.path() + "/certs", elavon_sim::TestPkiOptions(), &pki_, &error))
        << error;
    elavon_sim::GatewayServerOptions options;
    options.cert_file = pki_.cert_file;
    options.key_file = pki_.key_file;
    gateway_ = std::make_unique<elavon_sim::GatewayServer>(&sim_, options);
    EXPECT_TRUE(gateway_->Start(&error)) << error;
    gateway_port_ = setup.gateway_listens ? gateway_->Port() : e2e::FreePort();
    service_port_ = e2e::FreePort();
    if (setup.service) {
      setup.service->cert_file = pki_.cert_file;
      setup.service->key_file = pki_.key_file;
      service_ = std::make_unique<rvcs_sim::RvcsServer>(*setup.service);
      EXPECT_TRUE(service_->Start(&error)) << error;
      service_port_ = service_->port();
    }
    if (setup.store_parameters) {
      EXPECT_TRUE(e2e::StoreParameters(
          home_, {{kParmMerchantTerminalId, "123456789012"}, {kParmNumberOfLanes, "4"}, {kParmIpConnectTimeout, "5"}}));
    }
    if (port_ == 0) port_ = e2e::FreePort();
    std::vector<std::string> args = setup.launcher;
    if (!args.empty()) args.push_back(KVR_SERVER_BINARY);
    args.push_back("/started_as_service");
    const std::string program = setup.launcher.empty() ? std::string(KVR_SERVER_BINARY) : setup.launcher.front();
    if (!setup.launcher.empty()) args.erase(args.begin());
    server_ = std::make_unique<e2e::ServerProcess>(
        program, work_,
        std::map<std::string, std::string>{
            {"KVR_HOME", home_},
            {"KVR_CLIENT_PORT", std::to_string(port_)},
            {"KVR_ELAVON_GATEWAY", "127.0.0.1:" + std::to_string(gateway_port_)},
            {"KVR_RVCS_PRIMARY", "127.0.0.1:" + std::to_string(service_port_)},
            {"KVR_RVCS_SECONDARY", "127.0.0.1:" + std::to_string(service_port_)},
            {"SSL_CERT_FILE", pki_.ca_file},
            {"QT_QPA_PLATFORM", "offscreen"}});
    return server_->Start(port_, wait_ms, args);
  }

  ~OpsRig() {
    if (server_) server_->Stop(30000);
    if (service_) service_->Stop();
    if (gateway_) gateway_->Stop();
  }

  // Waits up to wait_ms until text is in the day's log (what_file "") or in what the
  // process wrote to stdout and stderr (what_file "output").
  bool WaitFor(const std::string& text, int wait_ms, const std::string& what_file = "") const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    do {
      const std::string seen = what_file.empty() ? server_->LogText() : server_->Output();
      if (seen.find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (Clock::now() < deadline);
    return false;
  }

  // A credit sale on a new connection; its CmdStatus ("" when no reply came).
  std::string Sell(const std::string& amount) {
    e2e::PosConnection pos;
    std::string failure, document;
    bool encrypted = false;
    if (!pos.Connect(port_, 5000) || !pos.Login("M", &failure) ||
        !pos.Exchange(e2e::CreditSale(amount), pos_client::Cipher::kRc4, 20000, &document, &encrypted, &failure)) {
      ADD_FAILURE() << failure << "\n" << Log();
      return "";
    }
    return e2e::Element(document, "CmdStatus");
  }

  std::string Log() const { return server_->LogText(); }
  std::string Output() const { return server_->Output(); }
  e2e::ServerProcess& server() { return *server_; }
  const std::string& scratch() const { return scratch_.path(); }
  const std::string& work() const { return work_; }
  const std::string& home() const { return home_; }
  int gateway_port() const { return gateway_port_; }
  int service_port() const { return service_port_; }
  void set_port(int port) { port_ = port; }
  int port() const { return port_; }
  const elavon_sim::ElavonHostSim& sim() const { return sim_; }

 private:
  e2e::ScratchFolder scratch_;
  std::string home_, work_;
  elavon_sim::TestPkiFiles pki_;
  elavon_sim::ElavonHostSim sim_;
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  std::unique_ptr<rvcs_sim::RvcsServer> service_;
  std::unique_ptr<e2e::ServerProcess> server_;
  int gateway_port_ = 0, service_port_ = 0, port_ = 0;
};

// The lines in this order in text; "" when they are, else the first one missing.
std::string MissingInOrder(const std::string& text, const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : lines) {
    at = text.find(line, at);
    if (at == std::string::npos) return line;
  }
  return "";
}

// The client port is taken by another program: the server stays off line and the log
// says which port and why, beside its return code.
TEST(OpsE2ETest, ListenerOnATakenPortNamesThePortAndTheReason) {
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(::listen(holder, 4), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const int port = ntohs(address.sin_port);

  OpsRig rig;
  rig.set_port(port);
  rig.Start(RigSetup(), 1000);  // the holder accepts, so this says nothing of the server
  const std::string failed = "Failed to initialize TCP/IP Server interface return code: 3.";
  EXPECT_TRUE(rig.WaitFor(failed, 20000)) << rig.Log();
  const std::string cause = "The client listener cannot listen on port " + std::to_string(port) + ": Address already in use";
  EXPECT_NE(rig.Log().find(cause), std::string::npos) << rig.Log();
  EXPECT_EQ(rig.Log().find("Interfaces initialized successfully."), std::string::npos) << rig.Log();
  ::close(holder);
  int status = -1;
  EXPECT_TRUE(rig.server().Stop(30000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Nothing listens on the gateway's port: the start-up connection fails with its code,
// and the next line names the endpoint and that it was refused; the service says it
// tries again.
TEST(OpsE2ETest, UnreachableGatewayNamesTheEndpoint) {
  OpsRig rig;
  RigSetup setup;
  setup.gateway_listens = false;
  EXPECT_FALSE(rig.Start(std::move(setup), 2000)) << "the server listens";
  EXPECT_TRUE(rig.WaitFor("- trying again in 30 seconds", 20000)) << rig.Log();
  const std::string endpoint = "127.0.0.1:" + std::to_string(rig.gateway_port());
  EXPECT_EQ(MissingInOrder(rig.Log(), {"ConnectToServerByHostName - Failed - [3006]Socket Error Trying to Connect Error 3006",
                                       "The Elavon gateway cannot be reached at " + endpoint + ": connection refused"}),
            "")
      << rig.Log();
}

// A start-up parameter download that fails leaves its reason in the log (and, when
// the service could not be reached, which endpoint); the stored parameters serve.
TEST(OpsE2ETest, FailedStartUpDownloadSaysWhy) {
  struct Case {
    const char* name;
    bool service_runs;
    rvcs_sim::Fault fault;
    std::string reason;
  } cases[] = {
      {"the service is down", false, rvcs_sim::Fault::kNone, "Socket Error Trying to Connect Error 3006"},
      {"the service answers with an error", true, rvcs_sim::Fault::kServiceError,
       "Error(RVCS): Device Not Registered"},
      {"the service fails the challenge", true, rvcs_sim::Fault::kWrongEcho, "Parms: Challenge Verification Failed!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpsRig rig;
    RigSetup setup;
    if (c.service_runs) {
      setup.service = std::make_unique<rvcs_sim::ServerOptions>();
      setup.service->fault = c.fault;
    }
    ASSERT_TRUE(rig.Start(std::move(setup), 40000)) << rig.Log() << rig.Output();
    EXPECT_TRUE(rig.WaitFor("Parameter download failed: " + c.reason, 10000)) << rig.Log();
    const std::string unreachable =
        "The configuration service cannot be reached at 127.0.0.1:" + std::to_string(rig.service_port()) +
        ": connection refused";
    const size_t first = rig.Log().find(unreachable);
    if (c.service_runs) {
      EXPECT_EQ(first, std::string::npos) << rig.Log();
    } else {
      // The primary and then the secondary endpoint.
      ASSERT_NE(first, std::string::npos) << rig.Log();
      EXPECT_NE(rig.Log().find(unreachable, first + 1), std::string::npos) << rig.Log();
    }
    EXPECT_EQ(rig.Sell("10.00"), "Approved");
  }
}

// The peak resident memory of a process in kB (VmHWM), -1 when it cannot be read.
long PeakRssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// A hostile configuration service at start-up. One that sends a message without end,
// each record's tail with the next record's head, would keep a receive appending for
// the whole 20 s wait: the receive ends at the message limit instead and the server
// stays small. Texts of the service with CR LF in them (its refusal, a value that
// fails its check) forge no record in the log, nor on stderr when the log cannot be
// written. The server serves with its stored parameters all the same.
TEST(OpsE2ETest, AHostileServiceNeitherGrowsTheServerNorForgesALogLine) {
  struct Case {
    const char* name;
    rvcs_sim::Fault fault;
    std::string service_error;
    std::map<int, std::string> values;
    bool log_writable;
    std::string reason;  // what follows "Parameter download failed: "
  } cases[] = {
      {"records split across sends", rvcs_sim::Fault::kSplitRecords, "", {}, true,
       "Wait Message 1 Failed - Message from server too large (more than 65536 bytes) 9999"},
      {"a refusal with CR LF", rvcs_sim::Fault::kServiceError, "Not Registered\r\n[23:59:59]FORGED refusal", {}, true,
       "Error(RVCS): Not Registered|0d|0a[23:59:59]FORGED refusal"},
      {"a value with CR LF", rvcs_sim::Fault::kNone, "", {{1, "12\r\n[23:59:59]FORGED value"}}, true,
       "Parameter Parsing Error: Parm#: 1 failed to Validate (1) "
       "[ASSIGNED BIN|NS1|6|6|12|0d|0a[23:59:59]FORGED value]"},
      {"a refusal with CR LF, the log not writable", rvcs_sim::Fault::kServiceError,
       "Not Registered\r\n[23:59:59]FORGED refusal", {}, false,
       "Error(RVCS): Not Registered|0d|0a[23:59:59]FORGED refusal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpsRig rig;
    RigSetup setup;
    setup.service = std::make_unique<rvcs_sim::ServerOptions>();
    setup.service->fault = c.fault;
    setup.service->service_error = c.service_error;
    setup.service->values = c.values;
    setup.service->io_timeout_ms = 25000;  // a service that would go on for longer than the client's wait
    if (!c.log_writable) {
      setup.prepare = [](const std::string&, const std::string& work) {
        ASSERT_TRUE(platform::fs::ReplaceFile(work + "/QUILLON_LOGS", "x"));
      };
    }
    const auto start = Clock::now();
    ASSERT_TRUE(rig.Start(std::move(setup), 40000)) << rig.Log() << rig.Output();
    const std::string line = "Parameter download failed: " + c.reason;
    EXPECT_TRUE(rig.WaitFor(line, 10000, c.log_writable ? "" : "output")) << rig.Log() << rig.Output();
    if (c.fault == rvcs_sim::Fault::kSplitRecords) {
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(15)) << "the download waited for the whole budget";
      const long peak = PeakRssKb(rig.server().pid());
      EXPECT_GT(peak, 0);
      EXPECT_LT(peak, 100 * 1024) << "peak RSS " << peak << " kB";
    }
    EXPECT_EQ(rig.Sell("10.00"), "Approved");
    const std::string seen = c.log_writable ? rig.Log() : rig.Output();
    EXPECT_EQ(seen.find("\n[23:59:59]"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("\r[23:59:59]"), std::string::npos) << seen;
  }
}

// The key container cannot be made (KVR_HOME lies under a regular file, which stops
// root too): start-up ends with the fatal text, and the log names the container and
// the reason.
TEST(OpsE2ETest, KeyContainerThatCannotBeWrittenIsNamed) {
  OpsRig rig;
  RigSetup setup;
  setup.home_suffix = "/not-a-folder/home";
  setup.store_parameters = false;
  setup.prepare = [](const std::string& scratch, const std::string&) {
    ASSERT_TRUE(platform::fs::ReplaceFile(scratch + "/not-a-folder", "x"));
  };
  EXPECT_FALSE(rig.Start(std::move(setup), 20000));
  EXPECT_FALSE(rig.server().Running()) << "the server runs on";
  EXPECT_EQ(MissingInOrder(rig.Log(), {"The key container " + rig.scratch() + "/not-a-folder/home/keys/",
                                       ": Not a directory", "Could Not Start Crypto API"}),
            "")
      << rig.Log();
}

// A working folder where nothing can be written: no log and no sequence file. stderr
// names the log folder and the sequence file with the system's reason. Where the
// reversal journal beside them can still be written the server serves all the same;
// where it cannot, a sale (which may need a reversal) is refused before it is sent,
// and stderr says so at start. Made two ways: by entries of the wrong kind (a regular file
// where the log folder belongs and a folder where the sequence file belongs: no
// write bit stops root, but a wrong kind does), and, where a mount namespace can be
// made, by mounting the working folder read-only.
TEST(OpsE2ETest, ReadOnlyWorkingFolderIsNamedOnStderr) {
  const bool can_mount = std::system("unshare -m true >/dev/null 2>&1") == 0;
  struct Case {
    const char* name;
    bool read_only_mount;
    const char* log_reason;
    const char* sequence_reason;
    const char* sale;  // CmdStatus of a sale
  } cases[] = {
      {"entries of the wrong kind", false, "Not a directory", "Is a directory", "Approved"},
      {"the folder mounted read-only", true, "Read-only file system", "Read-only file system", "Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.read_only_mount && !can_mount) {
      std::printf("skipped (no mount namespace here): %s\n", c.name);
      continue;
    }
    OpsRig rig;
    RigSetup setup;
    if (c.read_only_mount) {
      // The server's own mount namespace, where its working folder is a read-only
      // bind mount of itself; it changes into the mount before it starts.
      setup.launcher = {"/usr/bin/unshare", "-m", "sh", "-c",
                        "mount --bind \"$PWD\" \"$PWD\" && mount -o remount,ro,bind \"$PWD\" && cd \"$PWD\" && "
                        "exec \"$0\" \"$@\""};
    } else {
      setup.prepare = [](const std::string&, const std::string& work) {
        ASSERT_TRUE(platform::fs::ReplaceFile(work + "/QUILLON_LOGS", "x"));
        ASSERT_TRUE(platform::fs::CreateFolder(work + "/RudavarUrizNum.dat"));
      };
    }
    ASSERT_TRUE(rig.Start(std::move(setup), 30000)) << rig.Output();
    EXPECT_EQ(rig.Sell("11.00"), c.sale);
    if (std::string(c.sale) != "Approved") {
      EXPECT_NE(rig.Output().find("The reversal journal cannot be written (ReversalJournal.dat could not be written "
                                  "(Read-only file system)). Sales that may need a reversal are refused until it can."),
                std::string::npos)
          << rig.Output();
      EXPECT_EQ(rig.sim().Received().size(), 0u) << "the sale went to the host without its journal entry";
    }
    EXPECT_TRUE(rig.WaitFor("The sequence file " + rig.work() + "/RudavarUrizNum.dat cannot be written: " +
                                c.sequence_reason,
                            10000, "output"))
        << rig.Output();
    const std::string output = rig.Output();
    const size_t line = output.find("The log folder " + rig.work() + "/QUILLON_LOGS cannot be written: ");
    ASSERT_NE(line, std::string::npos) << output;
    EXPECT_NE(output.substr(line, output.find('\n', line) - line).find(c.log_reason), std::string::npos) << output;
    int status = -1;
    EXPECT_TRUE(rig.server().Stop(30000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(platform::fs::FileExists(rig.work() + "/RudavarUrizNum.dat"));
  }
}

// The log folder, the keys folder and the sequence file are their owner's only, on a
// new installation and where an older version left them open to others.
TEST(OpsE2ETest, TheLogKeysAndSequenceNumberAreTheOwnersOnly) {
  auto mode_of = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 01000000u;
  };
  struct Case {
    const char* name;
    bool older_version;
  } cases[] = {{"a new installation", false}, {"what an older version left", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpsRig rig;
    RigSetup setup;
    if (c.older_version) {
      setup.prepare = [](const std::string& scratch, const std::string& work) {
        for (const std::string& folder : {work + "/QUILLON_LOGS", scratch + "/home", scratch + "/home/keys"}) {
          ASSERT_TRUE(platform::fs::CreateFolder(folder));
          ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
        }
        ASSERT_TRUE(platform::fs::ReplaceFile(work + "/RudavarUrizNum.dat", "41\r\r\n", 0644));
      };
    }
    ASSERT_TRUE(rig.Start(std::move(setup), 30000)) << rig.Output();
    EXPECT_EQ(rig.Sell("11.00"), "Approved");
    EXPECT_EQ(mode_of(rig.work() + "/QUILLON_LOGS"), 0700u);
    EXPECT_EQ(mode_of(rig.home() + "/keys"), 0700u);
    EXPECT_EQ(mode_of(rig.work() + "/RudavarUrizNum.dat"), 0600u);
    int status = -1;
    EXPECT_TRUE(rig.server().Stop(30000, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
}

// The README's client against the real server: its exit status tells the outcome of
// the sale (0 approved, 1 declined, 2 an error reply).
TEST(OpsE2ETest, PosClientExitStatusTellsTheOutcome) {
  OpsRig rig;
  ASSERT_TRUE(rig.Start(RigSetup(), 30000)) << rig.Log() << rig.Output();
  const std::string sale = " TStream=Transaction ClientID=0005 MerchantID=1234 InvoiceNo=INV1 RefNo=REF1"
                           " TranType=Credit TranCode=Sale Track2=4111111111111111=2512101 Purchase=";
  struct Case {
    const char* name;
    std::string items;
    int status;
    const char* cmd_status;
  } cases[] = {
      {"approved", sale + "10.00", 0, "Approved"},
      {"declined", sale + "10.51", 1, "Declined"},
      {"an error reply", " TStream=Transaction ClientID=0005 MerchantID=1234 TranType=Credit TranCode=NoSuchCode", 2,
       "Error"},
  };
  // For the log scan after the e2e tests: the card the sales carry.
  e2e::RecordSecret("track", e2e::kTestTrack2);
  e2e::RecordSecret("pan", "4111111111111111");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string command = std::string(KVR_POS_CLIENT_BINARY) + " session --port " + std::to_string(rig.port()) +
                                " --marker M --wait 20" + c.items + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = ::pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), c.status) << output;
    EXPECT_NE(output.find(std::string("<CmdStatus>") + c.cmd_status + "</CmdStatus>"), std::string::npos) << output;
  }
}

}  // namespace
