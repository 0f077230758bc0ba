// Shared pieces of the client connection server's tests: a scratch home for the
// process (working folder, key container, profile, logs) with the crypto engine
// started, merchant parameters put into g_ParamStore, a listener on an ephemeral
// loopback port with short time constants, pos-client connections, the stand-in for
// the Elavon processing thread, and bounded waits.
#pragma once

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/server/client_listener.h"
#include "app/lanes/lanes.h"
#include "core/crypto/crypto_engine.h"
#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "core/queue/duplicate_cache.h"
#include "core/queue/process_events.h"
#include "core/queue/transaction_queue.h"
#include "core/tran/tran_journal.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/pos-client/session_client.h"

namespace server_test {

using pos_client::LinkStatus;
using pos_client::LoginOptions;
using pos_client::LoginResult;
using pos_client::Notice;
using pos_client::Reply;
using pos_client::Request;
using pos_client::RequestOptions;
using pos_client::SessionClient;
using pos_client::TStreamItem;

// The process's scratch home, made once before the first test and removed after the
// last: every test case of this binary runs in a process of its own under ctest.
class ServerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char folder[] = "/tmp/kvr_server_XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    home_ = folder;
    char previous[PATH_MAX];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    previous_ = previous;
    ASSERT_EQ(::chdir(home_.c_str()), 0);
    ::setenv("KVR_HOME", home_.c_str(), 1);
    platform::capi::SetContainerRootForTesting(home_ + "/keys");
    platform::fs::CreateFolder("QUILLON_LOGS");
    ASSERT_TRUE(g_CryptoEngine.Start());
  }
  void TearDown() override {
    g_CryptoEngine.Stop();
    platform::capi::SetContainerRootForTesting("");
    GetLogger().Flush(5000);
    // Back to the folder the process started in, before the home goes.
    if (::chdir(previous_.c_str()) == 0) std::system(("rm -rf '" + home_ + "'").c_str());
  }

 private:
  std::string previous_;
  std::string home_;
};

inline ::testing::Environment* const g_Environment =
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

// The defaults with the given values stored in g_ParamStore (each must pass its
// format, as downloaded parameters do).
inline void SetParams(std::initializer_list<std::pair<int, std::string>> values) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  params.SetParamValue(kParmAssignedBin, "123456");
  params.SetParamValue(kParmMerchantTerminalId, "5678");
  params.SetParamValue(kParmMerchantCategory, "1");
  params.SetParamValue(kParmNumberOfLanes, "10");
  for (const auto& [number, value] : values) {
    EXPECT_TRUE(params.SetParamValue(number, value)) << number << " " << value;
  }
  settings.SetParams(params);
  ASSERT_TRUE(g_ParamStore.Replace(settings));
}

// Waits up to ms for condition, checking every 10 ms.
inline bool WaitFor(const std::function<bool()>& condition, uint32_t ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Everything logged so far, every day's file joined.
inline std::string LogText() {
  EXPECT_TRUE(GetLogger().Flush(5000));
  std::string all;
  if (DIR* dir = ::opendir("QUILLON_LOGS")) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream in(std::string("QUILLON_LOGS/") + entry->d_name, std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      all += text.str();
    }
    ::closedir(dir);
  }
  return all;
}

// Short time constants; each test may change them.
inline CClientTimings FastTimings() {
  CClientTimings timings;
  timings.m_LoginMs = 3000;
  timings.m_DrainMs = 3000;
  timings.m_IdleMs = 60000;
  timings.m_PollMs = 50;
  return timings;
}

// The items of requests the tests send.
inline std::vector<TStreamItem> ServerVersionItems() {
  return {{"TStream", "Admin"}, {"TranCode", "ServerVersion"}, {"MerchantID", "1234"}, {"ClientID", "0005"}};
}

inline std::vector<TStreamItem> CreditSaleItems(const std::string& purchase = "10.00",
                                                const std::string& clientId = "0005") {
  return {{"TStream", "Transaction"}, {"ClientID", clientId},   {"MerchantID", "1234"},
          {"InvoiceNo", "INV1"},      {"RefNo", "REF1"},         {"TranType", "Credit"},
          {"TranCode", "Sale"},       {"AcctNo", "4111111111111111"}, {"ExpDate", "1225"},
          {"Purchase", purchase}};
}

// A listener on an ephemeral port, and clients for it.
class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetParams({});
    g_LaneRegistry.SetMaximum(1000);
    g_AbortEvent.Reset();
    g_DuplicateCache.Clear();
  }
  void TearDown() override {
    listener_.reset();
    g_TransactionQueue.RemoveAll();
    g_AbortEvent.Reset();
    g_DuplicateCache.Clear();
  }

  void Start(int maxConnections = 200, const CClientTimings& timings = FastTimings()) {
    listener_ = std::make_unique<CClientListener>(ProcessSessionContext());
    listener_->SetPortForTesting(0);
    listener_->SetTimingsForTesting(timings);
    ASSERT_EQ(listener_->SetMaxConnections(maxConnections), maxConnections);
    ASSERT_EQ(listener_->Start(), 0);
  }
  uint16_t Port() const { return static_cast<uint16_t>(listener_->GetPort()); }

  std::unique_ptr<SessionClient> Connect() {
    auto client = std::make_unique<SessionClient>();
    EXPECT_EQ(client->Connect("127.0.0.1", Port(), 5000), LinkStatus::kOk);
    return client;
  }
  // A client that has logged in (2000 with its check bytes).
  std::unique_ptr<SessionClient> LoggedIn(const LoginOptions& options = LoginOptions()) {
    auto client = Connect();
    LoginResult result;
    EXPECT_EQ(client->Login(options, 5000, &result), LinkStatus::kOk);
    EXPECT_TRUE(result.verified) << result.result.return_code << " " << result.result.text;
    return client;
  }

  std::unique_ptr<CClientListener> listener_;
};

// Stands in for the Elavon processing thread: every queued record (state 1) that is
// not a cancel request gets its Elavon request built, the simulator's answer parsed
// (which builds its client reply) and state 8. Returns how many were answered.
inline int AnswerQueued(elavon_sim::ElavonHostSim& host) {
  CTranList records;
  g_TransactionQueue.Snapshot(records);
  int answered = 0;
  for (CElavonTran& record : records) {
    if (record.m_State != kTranStateQueued || record.m_RequestKind != kRequestKindEncrypted) continue;
    if (!record.BuildElavonRequest()) continue;
    record.m_HostResponse = host.Answer(record.m_HostRequest);
    record.ParseElavonResponse();
    record.MarkAnsweredOverIp();
    g_TransactionQueue.Update(record.m_Id, record);
    ++answered;
  }
  return answered;
}

// The one queued record, once there is exactly one.
inline bool OnlyQueued(CElavonTran* out, uint32_t ms = 5000) {
  return WaitFor(
      [out] {
        CTranList records;
        g_TransactionQueue.Snapshot(records);
        if (records.size() != 1) return false;
        *out = records.front();
        return true;
      },
      ms);
}

// The thread count of the process.
inline int ThreadCount() {
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return n;
}

// A tick source that runs with the system's but can be moved ahead.
class OffsetClock : public platform::Clock {
 public:
  uint32_t TickCount() override { return platform::SystemClock().TickCount() + offset_.load(); }
  time_t Now() override { return platform::SystemClock().Now(); }
  void Advance(uint32_t ms) { offset_ += ms; }

 private:
  std::atomic<uint32_t> offset_{0};
};

}  // namespace server_test
