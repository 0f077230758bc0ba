// Faults around the real server binary: a gateway that cuts, delays, refuses or shows
// a certificate that fails the check, a configuration service that is down, clients
// that flood or idle, and a log folder that cannot be written. After each, the server
// either serves a normal sale again or fails with its own texts; every approval the
// simulated host gave is delivered to the POS or reversed; and the process ends
// cleanly on SIGTERM.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kShutdownLine[] = "Server Shutdown . . .";

using e2e::Cents;
using e2e::HoldFirstAnswer;

// The last record of a log is the shut-down line.
bool EndsWithShutdown(const std::string& log) {
  const std::string tail = std::string(kShutdownLine) + "\n----------\n";
  return log.size() >= tail.size() && log.compare(log.size() - tail.size(), tail.size(), tail) == 0;
}

// What a case changes in the surroundings of the server.
struct RigSetup {
  std::vector<std::pair<int, std::string>> params = {
      {kParmMerchantTerminalId, "123456789012"}, {kParmNumberOfLanes, "4"}, {kParmIpConnectTimeout, "5"}};
  bool store_parameters = true;
  // A primary gateway endpoint of its own in front of the main gateway (then the
  // secondary endpoint); `primary_listens` false leaves its port without a listener.
  bool separate_primary = false;
  bool primary_listens = true;
  elavon_sim::TestPkiOptions primary_pki;  // its certificate's names
  bool primary_untrusted = false;          // signed by a CA the server does not trust
  std::function<void(const std::string& work)> prepare_work;
  // How the server is spawned: the binary and the arguments before its own.
  std::string launcher;
  std::vector<std::string> launcher_args;
  bool expect_listening = true;
};

// The server with its peers: one simulated host behind the gateway(s), so that its
// ledger holds every approval, whichever endpoint served it.
class Rig : public e2e::ServerRig {
 public:
  void Start(const RigSetup& setup) {
    options().store_parameters = false;  // the case's own, below
    options().end_wait_ms = 30000;
    if (!setup.launcher.empty()) options().program = setup.launcher;
    ASSERT_NO_FATAL_FAILURE(Prepare());
    std::string primary = env()["KVR_ELAVON_GATEWAY"];
    std::vector<std::string> trusted = {pki().ca_file};
    std::string error;
    if (setup.separate_primary) {
      if (setup.primary_listens) {
        elavon_sim::TestPkiFiles files;
        ASSERT_TRUE(elavon_sim::MakeTestPki(scratch() + "/primary-certs", setup.primary_pki, &files, &error))
            << error;
        // Its CA joins the trusted bundle unless the case wants it untrusted.
        if (!setup.primary_untrusted) trusted.push_back(files.ca_file);
        primary_ = StartGateway(files);
        ASSERT_TRUE(primary_);
        primary = "127.0.0.1:" + std::to_string(primary_->Port());
      } else {
        primary = "127.0.0.1:" + std::to_string(e2e::FreePort());
      }
    }
    if (setup.store_parameters) {
      ASSERT_TRUE(e2e::StoreParameters(home(), setup.params));
    }
    const std::string bundle = scratch() + "/trusted.pem";
    std::string pem;
    for (const std::string& file : trusted) {
      std::string text;
      ASSERT_TRUE(platform::fs::ReadFile(file, &text)) << file;
      pem += text;
    }
    ASSERT_TRUE(platform::fs::ReplaceFile(bundle, pem));
    if (setup.prepare_work) setup.prepare_work(work());
    env()["KVR_ELAVON_GATEWAY"] = primary;
    env()["SSL_CERT_FILE"] = bundle;
    std::vector<std::string> args = setup.launcher_args;
    args.push_back(KVR_SERVER_BINARY);
    args.push_back("/started_as_service");
    if (setup.launcher.empty()) args = {"/started_as_service"};
    if (setup.expect_listening) {
      ASSERT_NO_FATAL_FAILURE(ServerRig::Start(30000, args));
    } else {
      EXPECT_FALSE(MakeServer().Start(port(), 8000, args)) << "the server listens";
    }
  }

  ~Rig() override {
    End();
    if (primary_) primary_->Stop();
  }

  // One sale on pos; its reply document ("" when none came). Approved amounts are
  // noted as delivered.
  std::string Sell(e2e::PosConnection* pos, const std::string& amount, int wait_ms = 20000) {
    std::string document, failure;
    bool encrypted = false;
    if (!pos->Exchange(e2e::CreditSale(amount), pos_client::Cipher::kRc4, wait_ms, &document, &encrypted, &failure)) {
      ADD_FAILURE() << amount << ": " << failure << "\n" << Log();
      return std::string();
    }
    if (e2e::Element(document, "CmdStatus") == "Approved") delivered_cents_.insert(Cents(amount));
    return document;
  }

  // A normal sale on a new connection is approved.
  void ExpectServing(const std::string& amount) {
    auto pos = Pos();
    ASSERT_TRUE(pos);
    const std::string document = Sell(pos.get(), amount);
    EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Approved") << document << "\n" << Log();
  }

  // Every approval of the host reached the POS or was reversed.
  void ExpectNoApprovalLost() const {
    for (const elavon_sim::Approval& approval : sim().Approvals()) {
      if (approval.state == elavon_sim::ApprovalState::kReversed) continue;
      EXPECT_EQ(delivered_cents_.count(approval.requested_cents), 1u)
          << "approval " << approval.id << " of " << approval.requested_cents << " cents ("
          << elavon_sim::ApprovalStateName(approval.state) << ") neither delivered nor reversed";
    }
  }

  // SIGTERM ends the server with status 0, without a core, its log ending with the
  // shut-down line (when it has a log).
  void ExpectCleanShutdown(const std::string& log_file = "") {
    int status = -1;
    ASSERT_TRUE(server().Stop(30000, &status)) << "no end within 30 s";
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    if (WIFEXITED(status)) {
      EXPECT_EQ(WEXITSTATUS(status), 0) << server().Output();
    }
    for (const auto& entry : std::filesystem::directory_iterator(work())) {
      EXPECT_NE(entry.path().filename().string().rfind("core", 0), 0u) << entry.path();
    }
    const std::string log = log_file.empty() ? Log() : e2e::ReadLogFile(log_file);
    if (log_file != "none") {
      EXPECT_TRUE(EndsWithShutdown(log)) << log;
    }
  }

  // Waits up to wait_ms for the log to hold text.
  bool WaitForLog(const std::string& text, int wait_ms) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    do {
      if (Log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (Clock::now() < deadline);
    return false;
  }

  elavon_sim::GatewayServer* primary() { return primary_.get(); }

 private:
  std::unique_ptr<elavon_sim::GatewayServer> StartGateway(const elavon_sim::TestPkiFiles& files) {
    elavon_sim::GatewayServerOptions options;
    options.cert_file = files.cert_file;
    options.key_file = files.key_file;
    auto gateway = std::make_unique<elavon_sim::GatewayServer>(&sim(), options);
    std::string error;
    if (!gateway->Start(&error)) {
      ADD_FAILURE() << error;
      return nullptr;
    }
    return gateway;
  }

  std::unique_ptr<elavon_sim::GatewayServer> primary_;
  std::set<int64_t> delivered_cents_;
};

std::string ReturnCode(const std::string& document) { return e2e::Element(document, "KVRXReturnCode"); }
std::string Text(const std::string& document) { return e2e::Element(document, "TextResponse"); }

}  // namespace

namespace {

// (1) The gateway drops the connection in the middle of its answer. The approval
// never reached the server, which reverses it on a new connection; the POS gets
// "Timeout on Response" when the reversal is answered, or the reversal's receive
// failure (4003) when that answer is cut too.
TEST(FaultE2ETest, GatewayClosesMidAnswer) {
  struct Case {
    const char* name;
    int fault_requests;  // 1: the sale only; 0: the reversal as well
    const char* code;
    std::vector<std::string> texts;
    const char* log;
  } cases[] = {
      {"the sale's answer", 1, "001007", {"Timeout on Response"}, "Sending Reversal(IP) Acct:"},
      {"the sale's and the reversal's answers", 0, "004003",
       {"Timeout Waiting for Verifiable Packet from Host (ReceiveAndDecrypt)",
        "Host unexpectedly disconnected.(ReceiveAndDecrypt)"},
       "EXITING (reverse handler(ip)) from ELAVON INTERFACE ->["},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Start(RigSetup()));
    elavon_sim::GatewayFaults faults;
    faults.close_mid_answer = true;
    faults.answer_fault_requests = c.fault_requests;
    rig.gateway().SetFaults(faults);
    auto pos = rig.Pos();
    ASSERT_TRUE(pos);
    const std::string document = rig.Sell(pos.get(), "21.00");
    EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Error") << document;
    EXPECT_EQ(ReturnCode(document), c.code) << document;
    EXPECT_NE(std::find(c.texts.begin(), c.texts.end(), Text(document)), c.texts.end()) << document;
    EXPECT_NE(rig.Log().find(c.log), std::string::npos) << rig.Log();
    EXPECT_GE(rig.gateway().Counters().cut_answers, 1);
    rig.gateway().SetFaults(elavon_sim::GatewayFaults());
    EXPECT_EQ(e2e::Element(rig.Sell(pos.get(), "22.00"), "CmdStatus"), "Approved");
    rig.ExpectNoApprovalLost();
    rig.ExpectCleanShutdown();
  }
}

// (2) The answer comes after 31 s, past the 30 s answer time: the server gives up,
// reverses the sale, and the POS gets "Timeout on Response".
TEST(FaultE2ETest, GatewayAnswersAfterTheHostTimeOut) {
  Rig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Start(RigSetup()));
  HoldFirstAnswer(rig.gateway(), 31000);
  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  const auto sent = Clock::now();
  const std::string document = rig.Sell(pos.get(), "23.00", 45000);
  const auto waited = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - sent).count();
  EXPECT_GE(waited, 29);
  EXPECT_LT(waited, 40);
  EXPECT_EQ(ReturnCode(document), "001007") << document;
  EXPECT_EQ(Text(document), "Timeout on Response") << document;
  EXPECT_NE(rig.Log().find("Sending Reversal(IP) Acct:"), std::string::npos) << rig.Log();
  // The reversal names the sale at the host.
  ASSERT_FALSE(rig.sim().Approvals().empty());
  EXPECT_EQ(rig.sim().Approvals().front().state, elavon_sim::ApprovalState::kReversed);
  rig.ExpectServing("24.00");
  rig.ExpectNoApprovalLost();
  rig.ExpectCleanShutdown();
}

// (3) The primary gateway refuses: the sale that meets it fails with the connect
// failure, the endpoint switches, and the next sale is approved by the secondary.
TEST(FaultE2ETest, PrimaryGatewayRefusesAndTheSecondaryServes) {
  struct Case {
    const char* name;
    bool listens;  // false: no listener at all; true: accepts and closes at once
    const char* text;
  } cases[] = {
      {"nothing listens on the primary", false, "Socket Error Trying to Connect Error 3006"},
      {"the primary closes every connection at accept", true, "Server disconnected unexpectedly."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RigSetup setup;
    setup.separate_primary = true;
    setup.primary_listens = c.listens;
    // Without a listener the start-up test could not pass: it is switched off.
    if (!c.listens) setup.params.push_back({kParmDoNotConnectOnStartup, "Y"});
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Start(setup));
    if (rig.primary()) {
      elavon_sim::GatewayFaults refuse;
      refuse.refuse = true;
      rig.primary()->SetFaults(refuse);
    }
    auto pos = rig.Pos();
    ASSERT_TRUE(pos);
    const std::string failed = rig.Sell(pos.get(), "31.00");
    EXPECT_EQ(ReturnCode(failed), "004003") << failed;
    EXPECT_EQ(Text(failed), c.text) << failed;
    EXPECT_NE(rig.Log().find(std::string("RESPONSE from ELAVON INTERFACE ->[") + c.text), std::string::npos)
        << rig.Log();
    EXPECT_EQ(e2e::Element(rig.Sell(pos.get(), "32.00"), "CmdStatus"), "Approved");
    EXPECT_EQ(rig.gateway().Counters().answers, 1);
    rig.ExpectNoApprovalLost();
    rig.ExpectCleanShutdown();
  }
}

// (4) With VERIFY SSL CERTIFICATE "Y", a primary whose certificate fails the check:
// at start-up the service does not listen and says it tries again, naming the
// check's failure; with the start-up test off,
// the sale that meets it fails with the check's text and the secondary serves the
// next one.
TEST(FaultE2ETest, GatewayCertificateFailsVerification) {
  elavon_sim::TestPkiOptions other_name;
  other_name.common_name = "elsewhere.test";
  other_name.dns_names = {"elsewhere.test"};
  other_name.ip_addresses = {"10.9.9.9"};
  struct Case {
    const char* name;
    elavon_sim::TestPkiOptions names;
    bool untrusted;
    const char* text_start;
    const char* text_end;
  } cases[] = {
      {"a name other than the host's", other_name, false, "VerifyCertificateChain Failed (F) - Error = ",
       "more: SSL Certificate Common Name Does Not Match."},
      // The gateway sends its own certificate only: no chain leads to a trusted root.
      {"a CA the server does not know", elavon_sim::TestPkiOptions(), true,
       "VerifyCertificateChain Failed (F) - Error = ", "more: CERT_E_CHAINING"},
  };
  for (const Case& c : cases) {
    for (const bool at_start : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (at_start ? ", start-up test" : ", first sale"));
      RigSetup setup;
      setup.separate_primary = true;
      setup.primary_pki = c.names;
      setup.primary_untrusted = c.untrusted;
      setup.params.push_back({kParmVerifySslCertificate, "Y"});
      if (!at_start) setup.params.push_back({kParmDoNotConnectOnStartup, "Y"});
      setup.expect_listening = !at_start;
      Rig rig;
      ASSERT_NO_FATAL_FAILURE(rig.Start(setup));
      if (at_start) {
        // The start-up connection was made and refused by the check: no sale is
        // taken, and the service waits to try again.
        EXPECT_TRUE(rig.WaitForLog("- trying again in 30 seconds", 10000)) << rig.Log();
        EXPECT_NE(rig.Log().find(std::string("Failed to Connect to Elavon! ") + c.text_start), std::string::npos)
            << rig.Log();
        EXPECT_NE(rig.Log().find(c.text_end), std::string::npos) << rig.Log();
        EXPECT_EQ(rig.Log().find("TCP/IP Server initialized successfully."), std::string::npos) << rig.Log();
        EXPECT_GE(rig.primary()->Counters().handshakes, 1);
        EXPECT_TRUE(rig.sim().Approvals().empty());
      } else {
        auto pos = rig.Pos();
        ASSERT_TRUE(pos);
        const std::string failed = rig.Sell(pos.get(), "41.00");
        EXPECT_EQ(ReturnCode(failed), "004003") << failed;
        const std::string text = Text(failed);
        EXPECT_EQ(text.rfind(c.text_start, 0), 0u) << text;
        EXPECT_NE(text.find(c.text_end), std::string::npos) << text;
        EXPECT_NE(rig.Log().find("RESPONSE from ELAVON INTERFACE ->[VerifyCertificateChain Failed (F)"),
                  std::string::npos)
            << rig.Log();
        EXPECT_EQ(rig.primary()->Counters().requests, 0);  // nothing was sent to it
        EXPECT_EQ(e2e::Element(rig.Sell(pos.get(), "42.00"), "CmdStatus"), "Approved");
      }
      rig.ExpectNoApprovalLost();
      rig.ExpectCleanShutdown();
    }
  }
}

// (5) The configuration service is down at start: with parameters stored earlier the
// server serves with them; with none it stays off line ("Configuration not Set!").
TEST(FaultE2ETest, ConfigurationServiceDownAtStart) {
  for (const bool stored : {true, false}) {
    SCOPED_TRACE(stored ? "parameters stored" : "nothing stored");
    RigSetup setup;
    setup.store_parameters = stored;
    setup.expect_listening = stored;
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Start(setup));
    if (stored) {
      rig.ExpectServing("51.00");
      EXPECT_NE(rig.Log().find("MERCHANT/TERMINAL ID"), std::string::npos) << rig.Log();
    } else {
      EXPECT_TRUE(rig.WaitForLog("Configuration not Set! - Use Setup | Merchant Parameters", 10000)) << rig.Log();
      EXPECT_EQ(rig.Log().find("Interfaces initialized successfully."), std::string::npos) << rig.Log();
    }
    rig.ExpectNoApprovalLost();
    rig.ExpectCleanShutdown();
  }
}

// (6) A client floods bytes without an ETX. During the login the server gives up
// after 32,767 bytes ("Login Failed! -- Disconnecting."); after the login every
// 32,767 bytes are taken as one request, which is refused as "Unrecognized Request
// Format."; the connection, and every other, keeps serving.
TEST(FaultE2ETest, ClientFloodsWithoutEtx) {
  Rig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Start(RigSetup()));
  {
    e2e::PosConnection flood;
    ASSERT_TRUE(flood.Connect(rig.port(), 5000));
    std::string frame;
    ASSERT_TRUE(flood.ReadFrame(10000, &frame));  // the greeting
    flood.Send(std::string(40000, 'A'));          // the server may close before all is sent
    bool refused = false;
    while (!refused && flood.ReadFrame(10000, &frame)) {
      refused = frame.find("Login Failed! -- Disconnecting.") != std::string::npos;
    }
    EXPECT_TRUE(refused) << rig.Log();
  }
  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  // One chunk at a time, its reply read before the next, so that neither side's
  // buffers fill while the other waits.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(pos->Send(std::string(32768, 'A')));  // 32,767 bytes, and one that finds the buffer full
    std::string frame;
    ASSERT_TRUE(pos->ReadFrame(10000, &frame)) << "reply " << i;
    EXPECT_NE(frame.find("<KVRXReturnCode>004010</KVRXReturnCode>"), std::string::npos) << frame.substr(0, 300);
    EXPECT_NE(frame.find("Unrecognized Request Format."), std::string::npos);
  }
  EXPECT_EQ(e2e::Element(rig.Sell(pos.get(), "61.00"), "CmdStatus"), "Approved");
  rig.ExpectServing("62.00");
  rig.ExpectNoApprovalLost();
  rig.ExpectCleanShutdown();
}

// Non-blocking connects to 127.0.0.1:port, completed within wait_ms.
std::vector<int> OpenIdleSockets(int port, int count, int wait_ms) {
  std::vector<int> fds;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fds.push_back(fd);
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  std::vector<pollfd> pending;
  for (int fd : fds) pending.push_back({fd, POLLOUT, 0});
  while (!pending.empty() && Clock::now() < deadline) {
    ::poll(pending.data(), pending.size(), 200);
    std::vector<pollfd> still;
    for (const pollfd& p : pending) {
      if (p.revents == 0) still.push_back({p.fd, POLLOUT, 0});
    }
    pending.swap(still);
  }
  return fds;
}

int Connected(const std::vector<int>& fds) {
  int connected = 0;
  for (int fd : fds) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0) ++connected;
  }
  return connected;
}

// (7) 1,500 idle client sockets: beyond the 200 connections of the listener a new
// client is refused after its login ("REFUSED - Max Connections (Failed)"); once
// the idle sockets are gone, a normal sale is approved.
TEST(FaultE2ETest, ManyIdleClientSockets) {
  Rig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Start(RigSetup()));
  std::vector<int> idle = OpenIdleSockets(rig.port(), 1500, 20000);
  EXPECT_EQ(Connected(idle), 1500);
  {
    e2e::PosConnection pos;
    std::string failure;
    ASSERT_TRUE(pos.Connect(rig.port(), 10000));
    EXPECT_FALSE(pos.Login("M", &failure));
    EXPECT_NE(failure.find("REFUSED - Max Connections (Failed)"), std::string::npos) << failure;
  }
  for (int fd : idle) ::close(fd);
  // The sessions notice within their one-second receive that the peers are gone.
  bool served = false;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!served && Clock::now() < deadline) {
    e2e::PosConnection pos;
    std::string failure;
    served = pos.Connect(rig.port(), 5000) && pos.Login("M", &failure);
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  ASSERT_TRUE(served);
  rig.ExpectServing("71.00");
  rig.ExpectNoApprovalLost();
  rig.ExpectCleanShutdown();
}

// (8) The log folder cannot be written: the server serves all the same. A path that
// is a regular file and a read-only mount (where one can be made) leave no log at
// all; a day's file that cannot be opened sends the lines to the fallback file.
TEST(FaultE2ETest, LogFolderCannotBeWritten) {
  const bool can_mount = std::system("unshare -m true >/dev/null 2>&1") == 0;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> prepare;
    bool read_only_mount;
    const char* log_file;  // relative to the work folder; "" for none
  } cases[] = {
      {"the folder's path is a regular file",
       [](const std::string& work) { ASSERT_TRUE(platform::fs::ReplaceFile(work + "/QUILLON_LOGS", "x")); }, false,
       ""},
      {"the day's file cannot be opened",
       [](const std::string& work) {
         ASSERT_TRUE(platform::fs::CreateFolders(work + "/QUILLON_LOGS/" + e2e::TodaysLogName()));
       },
       false, "ALT"},
      {"the folder is mounted read-only",
       [](const std::string& work) { ASSERT_TRUE(platform::fs::CreateFolder(work + "/QUILLON_LOGS")); }, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.read_only_mount && !can_mount) {
      std::printf("skipped (no mount namespace here): %s\n", c.name);
      continue;
    }
    RigSetup setup;
    setup.prepare_work = c.prepare;
    if (c.read_only_mount) {
      // The server runs in a mount namespace of its own, where its log folder is a
      // read-only bind mount of itself (root writes to it otherwise).
      setup.launcher = "/usr/bin/unshare";
      setup.launcher_args = {"-m", "sh", "-c",
                             "mount --bind QUILLON_LOGS QUILLON_LOGS && "
                             "mount -o remount,ro,bind QUILLON_LOGS && exec \"$0\" \"$@\""};
    }
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Start(setup));
    rig.ExpectServing("81.00");
    rig.ExpectNoApprovalLost();
    const std::string logs = rig.work() + "/QUILLON_LOGS";
    if (std::string(c.log_file) == "ALT") {
      rig.ExpectCleanShutdown(logs + "/" + e2e::TodaysLogName("_ALT"));
    } else {
      rig.ExpectCleanShutdown("none");
      std::error_code error;
      if (std::filesystem::is_directory(logs, error)) {
        EXPECT_TRUE(std::filesystem::is_empty(logs, error)) << "a log was written";
      }
    }
  }
}

}  // namespace
