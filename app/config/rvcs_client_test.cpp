// The parameter download against the simulated configuration service
// (tools/rvcs-sim) on 127.0.0.1: the service uses its own RC4 and MD5 over the
// shared key material, so a good download also proves that both sides agree on
// session key 3. Every test has its own key container, profiles and parameter
// store in a fresh folder, and waits at most a few seconds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/config/date_time.h"
#include "app/config/rvcs_client.h"
#include "app/config/rvcs_identity.h"
#include "core/crypto/crypto_engine.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "host/ip/sspi_interface.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "platform/fs/profile.h"
#include "platform/sync/tick.h"
#include "tools/elavon-sim/test_pki.h"
#include "tools/rvcs-sim/rvcs_server.h"

namespace {

using rvcs_sim::Fault;
using rvcs_sim::RvcsServer;
using rvcs_sim::ServerOptions;
using rvcs_sim::SessionRecord;

constexpr uint32_t kConnectMs = 2000;
constexpr uint32_t kBudgetMs = 5000;
constexpr int kSessionWaitMs = 5000;

CParamSettings Defaults() {
  CParamSettings settings;
  settings.ResetToDefaults();
  return settings;
}

// The system's tick count shifted so that it wraps past 2^32 a given time after
// WrapAfter; the wall clock unchanged.
class WrappingClock : public platform::Clock {
 public:
  void WrapAfter(uint32_t ms) { offset_ = 0u - ms - platform::SystemClock().TickCount(); }
  uint32_t TickCount() override { return platform::SystemClock().TickCount() + offset_.load(); }
  time_t Now() override { return platform::SystemClock().Now(); }

 private:
  std::atomic<uint32_t> offset_{0};
};

// KVR_HOME, which holds the process's profile (the installation id lives there):
// one folder for the whole test program, since the profile's place is fixed at its
// first use.
class ProcessHome : public ::testing::Environment {
 public:
  void SetUp() override {
    char folder[] = "/tmp/kvr_rvcs_home_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    setenv("KVR_HOME", folder_.c_str(), 1);
  }
  void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }

 private:
  std::string folder_;
};
const ::testing::Environment* const kProcessHome = ::testing::AddGlobalTestEnvironment(new ProcessHome);

class RvcsDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/kvr_rvcs_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    home_ = folder;
    previous_folder_ = std::filesystem::current_path();
    ASSERT_EQ(chdir(home_.c_str()), 0);  // the log goes here
    platform::fs::CreateFolder("QUILLON_LOGS");
    unsetenv("KVR_RVCS_PRIMARY");
    unsetenv("KVR_RVCS_SECONDARY");
    SetLaunchIdentityReader(nullptr);

    platform::capi::SetContainerRootForTesting(home_ + "/keys");
    ASSERT_TRUE(g_CryptoEngine.Start());
    ASSERT_TRUE(g_SspiInterface.Initialize());

    std::string error;
    ASSERT_TRUE(elavon_sim::MakeTestPki(home_ + "/certs", elavon_sim::TestPkiOptions(), &pki_, &error)) << error;

    profile_ = std::make_unique<platform::fs::Profile>(home_ + "/params/profile");
    store_ = std::make_unique<CParamStore>(profile_.get());
    ASSERT_TRUE(store_->ResetLocked());
    saved_ = store_->GetSavedText();
    ASSERT_FALSE(saved_.empty());

    // A port that refuses connections: bound, never listening.
    refusing_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(refusing_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(refusing_, reinterpret_cast<sockaddr*>(&address), &length);
    refused_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }

  void TearDown() override {
    for (auto& service : services_) service->Stop();
    if (refusing_ >= 0) close(refusing_);
    g_SspiInterface.Release();
    g_CryptoEngine.Stop();
    SetLaunchIdentityReader(nullptr);
    platform::capi::SetContainerRootForTesting("");
    std::error_code back;  // the working folder the test found comes back first
    std::filesystem::current_path(previous_folder_, back);
    std::system(("rm -rf '" + home_ + "'").c_str());
  }

  // A service with the test certificate; its "127.0.0.1:port".
  std::string StartService(ServerOptions options, RvcsServer** out = nullptr) {
    options.cert_file = pki_.cert_file;
    options.key_file = pki_.key_file;
    options.io_timeout_ms = 3000;
    services_.push_back(std::make_unique<RvcsServer>(options));
    std::string error;
    EXPECT_TRUE(services_.back()->Start(&error)) << error;
    if (out) *out = services_.back().get();
    return "127.0.0.1:" + std::to_string(services_.back()->port());
  }

  // The client of a download; endpoints from the environment, as the server reads them.
  std::unique_ptr<CRvcsClient> MakeClient(const std::string& primary, const std::string& secondary,
                                          uint32_t budgetMs = kBudgetMs) {
    setenv("KVR_RVCS_PRIMARY", primary.c_str(), 1);
    setenv("KVR_RVCS_SECONDARY", secondary.c_str(), 1);
    auto client = std::make_unique<CRvcsClient>(g_SspiInterface.GetFunctionTable(), g_SspiInterface.GetCredentials(),
                                                store_.get());
    client->SetTimeoutsForTesting(kConnectMs, budgetMs);
    return client;
  }

  // The one session of a service once it has ended.
  SessionRecord EndedSession(RvcsServer* service) {
    EXPECT_TRUE(service->WaitForEnded(1, kSessionWaitMs));
    const std::vector<SessionRecord> sessions = service->Sessions();
    EXPECT_EQ(sessions.size(), 1u);
    return sessions.empty() ? SessionRecord() : sessions.front();
  }

  void ExpectStoreUnchanged() {
    EXPECT_EQ(store_->GetSavedText(), saved_);
    EXPECT_TRUE(store_->GetSettings().GetParams().IsEqual(Defaults().GetParams()));
  }

  std::string home_;
  elavon_sim::TestPkiFiles pki_;
  std::unique_ptr<platform::fs::Profile> profile_;
  std::unique_ptr<CParamStore> store_;
  std::string saved_;
  int refusing_ = -1;
  std::string refused_;
  std::vector<std::unique_ptr<RvcsServer>> services_;
  std::filesystem::path previous_folder_;
};

TEST_F(RvcsDownloadTest, AGoodDownloadStoresTheServedParameters) {
  SetLaunchIdentityReader([] { return CLaunchIdentity{true, "DEV-42"}; });
  ServerOptions options;
  options.values = {{2, "123456789012"}, {3, "3"}, {9, "N"}, {18, "ACME STORES"}, {21, "101;102"}};
  RvcsServer* service = nullptr;
  auto client = MakeClient(StartService(options, &service), refused_);

  ASSERT_TRUE(client->DownloadParameters()) << client->GetLastErrorText();
  EXPECT_EQ(client->GetConnectedEndpoint(), CRvcsClient::Endpoint::kPrimary);

  const CParamMap params = store_->GetSettings().GetParams();
  EXPECT_EQ(params.GetCount(), 22);
  EXPECT_EQ(params.GetParamValue(kParmMerchantTerminalId), "123456789012");
  EXPECT_EQ(params.GetParamValue(kParmMerchantCategory), "3");
  EXPECT_EQ(params.GetParamValue(kParmVerifySslCertificate), "N");
  EXPECT_EQ(params.GetParamValue(kParmPartnerName), "ACME STORES");
  EXPECT_EQ(params.GetParamValue(kParmLaneIds), "101,102");  // ';' arrives as ','
  EXPECT_EQ(params.GetParamValue(kParmAssignedBin), "000000");
  EXPECT_NE(store_->GetSavedText(), saved_);
  CParamStore restarted(profile_.get());  // the next run reads the same values back
  restarted.LoadAtStartup();
  EXPECT_TRUE(restarted.GetSettings().GetParams().IsEqual(params));

  const SessionRecord session = EndedSession(service);
  EXPECT_TRUE(session.response_valid) << "CR= " << session.fields.at("CR") << " for " << session.challenge;
  EXPECT_TRUE(session.got_final);
  EXPECT_EQ(session.final_message, "OK");
  EXPECT_EQ(session.field_order, (std::vector<std::string>{"REQ", "AVER", "CC", "CR", "DEVID", "PART_NO",
                                                           "MACHINE_ID", "PVER", "PHVER", "SDT"}));
  auto field = [&](const char* name) { return session.fields.count(name) ? session.fields.at(name) : "(missing)"; };
  EXPECT_EQ(field("REQ"), "CORV_PARAMETERS");
  EXPECT_EQ(field("AVER"), "5.18");
  EXPECT_EQ(field("CC").size(), 32u);
  EXPECT_EQ(field("CC").find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(field("CR").size(), 32u);
  EXPECT_EQ(field("DEVID"), "DEV-42");
  EXPECT_EQ(field("PART_NO"), "5307.42");
  EXPECT_EQ(field("MACHINE_ID"), GetMachineId());
  EXPECT_EQ(field("PVER"), "1");
  EXPECT_EQ(field("PHVER"), "1");
  CDateTime sent;
  ASSERT_TRUE(sent.ParseCompact(field("SDT"))) << field("SDT");
  EXPECT_LT(std::llabs((CDateTime() - sent).GetTotalMinutes()), 2);
}

// Keys are read as numbers, and a key that comes again replaces its earlier record:
// the download is stored whole.
TEST_F(RvcsDownloadTest, KeysAsNumbersAndRepeatedKeysStillStoreTheWholeSet) {
  struct Case {
    const char* name;
    Fault fault;
    int parm;
    const char* value;
  } cases[] = {
      {"\"01\" as the key of parameter 1", Fault::kLeadingZeroKey, kParmAssignedBin, "424242"},
      {"parameter 18 twice, the later one served", Fault::kRepeatedKey, kParmPartnerName, "LATER NAME"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(store_->ResetLocked());
    ServerOptions options;
    options.fault = c.fault;
    options.values = {{kParmAssignedBin, "424242"}, {kParmPartnerName, "LATER NAME"}};
    RvcsServer* service = nullptr;
    auto client = MakeClient(StartService(options, &service), refused_);
    ASSERT_TRUE(client->DownloadParameters()) << c.name << ": " << client->GetLastErrorText();
    const CParamMap params = store_->GetSettings().GetParams();
    EXPECT_EQ(params.GetCount(), 22) << c.name;
    EXPECT_EQ(params.GetParamValue(c.parm), c.value) << c.name;
    EXPECT_EQ(EndedSession(service).final_message, "OK") << c.name;
  }
}

TEST_F(RvcsDownloadTest, TheDeviceIdIsTheInstallationIdWhenTheLaunchersIsAbsent) {
  struct Case {
    const char* name;
    LaunchIdentityReader reader;
  } cases[] = {
      {"no application object", nullptr},
      {"not started by the launcher", [] { return CLaunchIdentity{false, "DEV-42"}; }},
      {"a control byte in the id", [] { return CLaunchIdentity{true, std::string("DEV\x1C" "42")}; }},
  };
  for (const Case& c : cases) {
    SetLaunchIdentityReader(c.reader);
    RvcsServer* service = nullptr;
    auto client = MakeClient(StartService(ServerOptions(), &service), refused_);
    EXPECT_TRUE(client->DownloadParameters()) << c.name << ": " << client->GetLastErrorText();
    const SessionRecord session = EndedSession(service);
    EXPECT_EQ(session.fields.count("DEVID") ? session.fields.at("DEVID") : "", GetInstallationId()) << c.name;
    EXPECT_EQ(GetInstallationId().size(), 32u);
  }
}

TEST_F(RvcsDownloadTest, TheSecondaryServesWhenThePrimaryFails) {
  ServerOptions closing;
  closing.fault = Fault::kCloseAtOnce;
  const std::string closingPrimary = StartService(closing);
  struct Case {
    const char* name;
    std::string primary;
  } cases[] = {{"primary refuses the connection", refused_}, {"primary closes before TLS", closingPrimary}};
  for (const Case& c : cases) {
    ASSERT_TRUE(store_->ResetLocked());
    RvcsServer* secondary = nullptr;
    auto client = MakeClient(c.primary, StartService(ServerOptions(), &secondary));
    EXPECT_TRUE(client->DownloadParameters()) << c.name << ": " << client->GetLastErrorText();
    EXPECT_EQ(client->GetConnectedEndpoint(), CRvcsClient::Endpoint::kSecondary) << c.name;
    EXPECT_EQ(EndedSession(secondary).final_message, "OK") << c.name;
  }
}

TEST_F(RvcsDownloadTest, NoEndpointAnswering) {
  ServerOptions closing;
  closing.fault = Fault::kCloseAtOnce;
  auto client = MakeClient(refused_, StartService(closing));
  EXPECT_FALSE(client->DownloadParameters());
  // The failure of the second attempt: the TLS handshake found the connection closed.
  EXPECT_EQ(client->GetLastErrorText(), "Server disconnected unexpectedly.");
  EXPECT_EQ(client->GetConnectedEndpoint(), CRvcsClient::Endpoint::kNone);
  ExpectStoreUnchanged();

  auto refusedTwice = MakeClient(refused_, refused_);
  EXPECT_FALSE(refusedTwice->DownloadParameters());
  EXPECT_EQ(refusedTwice->GetLastErrorCode(), kSocketConnectFailed);
  ExpectStoreUnchanged();
}

TEST_F(RvcsDownloadTest, ARefusedDownloadKeepsTheStoredParametersAndTellsTheService) {
  struct Case {
    const char* name;
    Fault fault;
    std::map<int, std::string> values;
    std::string text;  // the whole error text, or its start when prefix is set
    bool prefix = false;
  } cases[] = {
      {"510 error text", Fault::kServiceError, {}, "Error(RVCS): Device Not Registered"},
      {"wrong echo", Fault::kWrongEcho, {}, "Parms: Challenge Verification Failed!"},
      {"lower-case echo", Fault::kLowerCaseEcho, {}, "Parms: Challenge Verification Failed!"},
      {"21 records", Fault::kTooFewRecords, {}, "Parameter Parsing Error: Expected 22 Parms Got 21"},
      {"23 records", Fault::kTooManyRecords, {}, "Parameter Parsing Error: Expected 22 Parms Got 23"},
      {"wrong format", Fault::kWrongFormat, {},
       "Parameter Parsing Error: Parm#: 2 [MERCHANT/TERMINAL ID] Receive Data Type: [AN2] is incorrect "
       "expecting: [NS1]."},
      {"wrong length", Fault::kWrongLength, {}, "Parameter Parsing Error: Parm#: 2 MaxLen 17 is incorrect [16]."},
      {"value too short", Fault::kNone, {{1, "12345"}},
       "Parameter Parsing Error: Parm#: 1 failed to Validate (1) [ASSIGNED BIN|NS1|6|6|12345]"},
      {"\"2\" and \"02\" among 23 records", Fault::kLeadingZeroBeside, {},
       "Parameter Parsing Error: Expected 22 Parms Got 23"},
      {"\"2\" and \"02\" among 22 records, 21 missing", Fault::kLeadingZeroInPlace, {},
       "Parameter Parsing Error: Expected 22 Parms Got 21"},
      {"no header line", Fault::kNoHeader, {}, "Unable to Parse 2 - %0d%0a500%3dCHALLENGE%7cAN2", true},
      {"more than 64 KB", Fault::kOversize, {}, "Wait Message 2 Failed - Message from server too large", true},
      {"odd challenge: empty CR=", Fault::kOddChallenge, {}, "Error(RVCS): Challenge Response Failed"},
      {"challenge too long", Fault::kLongChallenge, {}, "Unable to Parse 1 - Challenge of 2048 characters is too long"},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    options.fault = c.fault;
    options.values = c.values;
    RvcsServer* service = nullptr;
    auto client = MakeClient(StartService(options, &service), refused_);
    EXPECT_FALSE(client->DownloadParameters()) << c.name;
    const std::string text = client->GetLastErrorText();
    if (c.prefix) {
      EXPECT_EQ(text.substr(0, c.text.size()), c.text) << c.name;
    } else {
      EXPECT_EQ(text, c.text) << c.name;
    }
    ExpectStoreUnchanged();

    // The service heard the reason: as the last message, or in place of the request
    // when the download ended before one was sent; a reason too long for one record
    // is cut to fit.
    const SessionRecord session = EndedSession(service);
    const std::string heard = session.got_final ? session.final_message : session.request;
    if (text.size() < 16000) {
      EXPECT_EQ(heard, text) << c.name;
    } else {
      EXPECT_GT(heard.size(), 16000u) << c.name;
      EXPECT_EQ(heard, text.substr(0, heard.size())) << c.name;
    }
    if (c.fault == Fault::kOddChallenge) {
      EXPECT_EQ(session.fields.count("CR"), 1u);
      EXPECT_EQ(session.fields.count("CR") ? session.fields.at("CR") : "?", "") << c.name;
    }
  }
}

TEST_F(RvcsDownloadTest, MessagesSplitAcrossRecordsOrArrivingWithTheHandshake) {
  struct Case {
    const char* name;
    size_t chunk;
    bool withHandshake;
  } cases[] = {
      {"16-byte records, 20 ms apart", 16, false},
      {"challenge in the handshake's last read", 0, true},
      {"both", 16, true},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(store_->ResetLocked());
    ServerOptions options;
    options.record_chunk = c.chunk;
    options.greeting_with_handshake = c.withHandshake;
    options.values = {{2, "4242"}};
    RvcsServer* service = nullptr;
    auto client = MakeClient(StartService(options, &service), refused_);
    EXPECT_TRUE(client->DownloadParameters()) << c.name << ": " << client->GetLastErrorText();
    EXPECT_EQ(store_->GetSettings().GetParams().GetParamValue(kParmMerchantTerminalId), "4242") << c.name;
    EXPECT_EQ(EndedSession(service).final_message, "OK") << c.name;
  }
}

// The service's own texts (its refusal, a record's value that fails its check) reach
// the log with their line breaks escaped: a CR LF in them starts no record of its own.
TEST_F(RvcsDownloadTest, TheServicesTextCannotForgeALogLine) {
  const struct {
    const char* name;
    Fault fault;
    std::string service_error;
    std::map<int, std::string> values;
    std::string logged;
  } cases[] = {
      {"510 error text", Fault::kServiceError, "Not Registered\r\n[23:59:59]FORGED refusal", {},
       "Parameter download failed: Error(RVCS): Not Registered|0d|0a[23:59:59]FORGED refusal"},
      {"a value that fails its check", Fault::kNone, "", {{1, "12\r\n[23:59:59]FORGED value"}},
       "Parameter download failed: Parameter Parsing Error: Parm#: 1 failed to Validate (1) "
       "[ASSIGNED BIN|NS1|6|6|12|0d|0a[23:59:59]FORGED value]"},
  };
  for (const auto& c : cases) {
    ServerOptions options;
    options.fault = c.fault;
    options.service_error = c.service_error;
    options.values = c.values;
    auto client = MakeClient(StartService(options), refused_);
    EXPECT_FALSE(client->DownloadParameters()) << c.name;
    // The text itself stays as the service sent it (the service hears it back).
    EXPECT_NE(client->GetLastErrorText().find("\r\n[23:59:59]FORGED"), std::string::npos) << c.name;
    ExpectStoreUnchanged();
  }
  ASSERT_TRUE(GetLogger().Flush(kSessionWaitMs));
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(home_ + "/QUILLON_LOGS")) {
    std::string text;
    platform::fs::ReadFile(entry.path().string(), &text);
    log += text;
  }
  for (const auto& c : cases) EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << "\n" << log;
  EXPECT_EQ(log.find("\n[23:59:59]"), std::string::npos) << log;
  EXPECT_EQ(log.find("\r[23:59:59]"), std::string::npos) << log;
}

// A service (or anyone on the path) that sends a message without end, each record's
// tail with the next record's head: the wait for the message ends at the message
// limit with its text, long before the budget, and holds no more than the limit.
TEST_F(RvcsDownloadTest, RecordsSplitAcrossSendsEndAtTheMessageLimit) {
  ServerOptions options;
  options.fault = Fault::kSplitRecords;
  auto client = MakeClient(StartService(options), refused_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client->DownloadParameters());
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(took, 2500);
  EXPECT_EQ(client->GetLastErrorText(),
            "Wait Message 1 Failed - Message from server too large (more than 65536 bytes) 9999");
  EXPECT_LE(client->GetReceivedMessage().size(), CRvcsClient::kMaxMessageBytes);
  EXPECT_GT(client->GetReceivedMessage().size(), CRvcsClient::kMaxMessageBytes / 2);
  ExpectStoreUnchanged();
}

TEST_F(RvcsDownloadTest, ASilentServiceTimesOutWithinTheBudgetAcrossATickWrap) {
  constexpr uint32_t kShortBudgetMs = 400;
  struct Case {
    const char* name;
    Fault fault;
    size_t chunk;
    std::string text;  // the start of the error text
  } cases[] = {
      {"no challenge", Fault::kSilent, 0,
       "Wait Message 1 Failed - Timeout Waiting for Verifiable Packet from server  (ReceiveAndDecrypt) 9999"},
      {"no parameters", Fault::kSilentAfterRequest, 0,
       "Wait Message 2 Failed - Timeout Waiting for Verifiable Packet from server  (ReceiveAndDecrypt) 9999"},
      // 16-byte records 20 ms apart: the parameters take longer than the budget, and
      // the part that came is never taken for the message.
      {"parameters trickling in", Fault::kNone, 16, "Wait Message 2 Failed - Timeout Waiting for "},
  };
  static WrappingClock clock;  // outlives every use by other threads
  for (const Case& c : cases) {
    ServerOptions options;
    options.fault = c.fault;
    options.record_chunk = c.chunk;
    auto client = MakeClient(StartService(options), refused_, kShortBudgetMs);
    clock.WrapAfter(150);  // the tick count wraps while the client waits
    platform::ScopedClockOverride useClock(&clock);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->DownloadParameters()) << c.name;
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, kShortBudgetMs - 50) << c.name;
    EXPECT_LT(took, kShortBudgetMs + 2000) << c.name;
    EXPECT_EQ(client->GetLastErrorText().substr(0, c.text.size()), c.text) << c.name;
    ExpectStoreUnchanged();
  }
}

TEST_F(RvcsDownloadTest, ACryptoFailureFailsTheDownload) {
  struct Case {
    const char* name;
    Fault fault;
    std::string text;
  } cases[] = {
      {"the client challenge cannot be drawn", Fault::kOddChallenge, "Unable to Generate the Client Challenge!"},
      {"the challenge cannot be answered", Fault::kNone, "Unable to Encrypt the Challenge Response!"},
  };
  g_CryptoEngine.Stop();  // nothing of the engine works now
  for (const Case& c : cases) {
    ServerOptions options;
    options.fault = c.fault;
    RvcsServer* service = nullptr;
    auto client = MakeClient(StartService(options, &service), refused_);
    EXPECT_FALSE(client->DownloadParameters()) << c.name;
    EXPECT_EQ(client->GetLastErrorText(), c.text) << c.name;
    ExpectStoreUnchanged();
    const SessionRecord session = EndedSession(service);
    EXPECT_TRUE(session.fields.empty()) << c.name << ": no request went out";
    EXPECT_EQ(session.request, c.text) << c.name;
  }
}

TEST_F(RvcsDownloadTest, AStoreThatCannotSaveKeepsItsParameters) {
  // The store's folder becomes a file: the next save cannot be written.
  std::system(("rm -rf '" + home_ + "/params' && touch '" + home_ + "/params'").c_str());
  ServerOptions options;
  options.values = {{2, "777"}};
  RvcsServer* service = nullptr;
  auto client = MakeClient(StartService(options, &service), refused_);
  EXPECT_FALSE(client->DownloadParameters());
  EXPECT_EQ(client->GetLastErrorText(), "Unable to Store Param Settings!");
  EXPECT_TRUE(store_->GetSettings().GetParams().IsEqual(Defaults().GetParams()));
  EXPECT_EQ(EndedSession(service).final_message, "Unable to Store Param Settings!");
}

}  // namespace
