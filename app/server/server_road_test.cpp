// The whole road of a request in one process: POS clients on the listener, the Elavon
// processing thread and its workers over the real TLS link to the simulated gateway
// on 127.0.0.1, and the replies back to the clients. Several lanes at once, so that
// the thread sanitizer build sees every thread and lock that the road has.
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "app/server/gateway_test_support.h"
#include "app/server/server_test_support.h"
#include "host/engine/elavon_interface.h"
#include "host/engine/ssl_link.h"
#include "host/ip/host_endpoints.h"
#include "host/ip/sspi_interface.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"

namespace server_test {
namespace {

class ServerRoadTest : public ListenerTest {
 protected:
  void SetUp() override {
    ListenerTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartTestGateway("road-certs", &host_, &pki_, &gateway_));
    SetParams({{kParmVerifySslCertificate, "Y"}, {kParmIpConnectTimeout, "5"}});

    CRoutingContext context;
    context.m_MakeLink = MakeElavonSslLink;
    elavon_ = std::make_unique<CElavonInterface>(context);
    ASSERT_TRUE(elavon_->Start()) << elavon_->GetStartFailureText();
    CClientTimings timings = FastTimings();
    timings.m_PollMs = 200;
    Start(200, timings);
  }
  void TearDown() override {
    if (listener_) listener_->m_ShuttingDown = 1;
    EXPECT_TRUE(WaitFor([this] { return !listener_ || listener_->GetConnectionCount() == 0; }, 20000));
    ListenerTest::TearDown();
    if (elavon_) elavon_->Stop();
    if (gateway_) gateway_->Stop();
    g_SspiInterface.Release();
    ::unsetenv("KVR_ELAVON_GATEWAY");
    ::unsetenv("SSL_CERT_FILE");
    g_HostEndpoints.ResetLocked();
  }

  elavon_sim::TestPkiFiles pki_;
  elavon_sim::ElavonHostSim host_;
  std::unique_ptr<elavon_sim::GatewayServer> gateway_;
  std::unique_ptr<CElavonInterface> elavon_;
};

TEST_F(ServerRoadTest, LanesAtOnceAreAnsweredOverTlsAndEveryApprovalIsDelivered) {
  constexpr int kLanes = 6;
  constexpr int kSalesPerLane = 3;
  std::mutex mutex;
  std::multiset<std::string> statuses;  // guarded by mutex
  std::set<int64_t> delivered;          // approved cents that reached a client
  std::vector<std::thread> lanes;
  for (int lane = 0; lane < kLanes; ++lane) {
    lanes.emplace_back([&, lane] {
      const auto fail = [](const std::string& what) { ADD_FAILURE() << what; };
      SessionClient client;
      if (client.Connect("127.0.0.1", Port(), 5000) != LinkStatus::kOk) return fail("connect");
      LoginResult login;
      if (client.Login(LoginOptions(), 10000, &login) != LinkStatus::kOk || !login.verified) return fail("login");
      for (int sale = 0; sale < kSalesPerLane; ++sale) {
        // The last sale of lane 0 is declined by the host (cents .51).
        const int cents = lane == 0 && sale == kSalesPerLane - 1 ? 51 : kSalesPerLane * lane + sale;
        const std::string amount = std::to_string(10 + lane) + "." + (cents < 10 ? "0" : "") + std::to_string(cents);
        Request request;
        if (client.SendRequest(CreditSaleItems(amount, "000" + std::to_string(lane)), RequestOptions(), &request) !=
            LinkStatus::kOk) {
          return fail("send " + amount);
        }
        Reply reply;
        do {
          if (client.ReadReply(request.session, 60000, &reply) != LinkStatus::kOk) return fail("no reply: " + amount);
        } while (!reply.encrypted && reply.notice.text.rfind("Queued:", 0) == 0);
        std::lock_guard<std::mutex> lock(mutex);
        statuses.insert(reply.notice.status);
        if (reply.notice.status == "Approved") delivered.insert((10 + lane) * 100 + cents);
      }
    });
  }
  for (std::thread& lane : lanes) lane.join();

  EXPECT_EQ(statuses.count("Approved"), static_cast<size_t>(kLanes * kSalesPerLane - 1));
  EXPECT_EQ(statuses.count("Declined"), 1u);
  for (const elavon_sim::Approval& approval : host_.Approvals()) {
    EXPECT_EQ(delivered.count(approval.requested_cents), 1u) << approval.requested_cents << " not delivered";
  }
  // Finished records leave the queue on their connection's next pass.
  EXPECT_TRUE(WaitFor([] { return g_TransactionQueue.GetCount() == 0; }));
}

}  // namespace
}  // namespace server_test
