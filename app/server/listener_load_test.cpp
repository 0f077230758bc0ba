// The listener under load and at its maximum.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/server/server_test_support.h"
#include "platform/sync/event.h"

namespace {

using namespace server_test;

class ListenerLoadTest : public ListenerTest {};

TEST_F(ListenerLoadTest, TwoHundredClientsAreServedAndThe201stIsRefused) {
  const int threadsBefore = ThreadCount();
  Start(kClientListenerMaxConnections);
  constexpr int kClients = 200;
  std::atomic<int> finished{0}, served{0};
  std::mutex failuresLock;
  std::vector<std::string> failures;
  platform::Event leave(platform::Event::Mode::kManualReset);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      SessionClient client;
      LoginResult login;
      Request request;
      Reply interim, version;
      RequestOptions options;
      options.user_trace_data = "client " + std::to_string(i);
      // The first step that went wrong, or nothing.
      const char* failed = nullptr;
      if (client.Connect("127.0.0.1", Port(), 30000) != LinkStatus::kOk) {
        failed = "connect";
      } else if (client.Login(LoginOptions(), 30000, &login) != LinkStatus::kOk || !login.verified) {
        failed = "login";
      } else if (client.SendRequest(ServerVersionItems(), options, &request) != LinkStatus::kOk ||
                 client.ReadReply(request.session, 30000, &interim) != LinkStatus::kOk ||
                 client.ReadReply(request.session, 30000, &version) != LinkStatus::kOk) {
        failed = "ServerVersion";
      } else if (interim.notice.text.rfind("Queued:045:", 0) != 0 || version.notice.code != 500000 ||
                 version.notice.user_trace_data != options.user_trace_data) {
        failed = "replies";
      }
      if (failed == nullptr) {
        ++served;
      } else {
        std::lock_guard<std::mutex> lock(failuresLock);
        failures.push_back("client " + std::to_string(i) + ": " + failed);
      }
      ++finished;
      leave.Wait(60000);  // stay connected until the 201st has been refused
    });
  }
  const bool allFinished = WaitFor([&] { return finished.load() == kClients; }, 90000);
  EXPECT_TRUE(allFinished);
  EXPECT_EQ(served.load(), kClients);
  {
    std::lock_guard<std::mutex> lock(failuresLock);
    for (size_t n = 0; n < failures.size() && n < 5; ++n) ADD_FAILURE() << failures[n];
  }
  EXPECT_EQ(listener_->GetConnectionCount(), kClients);

  auto extra = Connect();
  LoginResult refused;
  EXPECT_EQ(extra->Login(LoginOptions(), 10000, &refused), LinkStatus::kOk);
  EXPECT_FALSE(refused.verified);
  EXPECT_EQ(refused.result.code, 2006);
  EXPECT_EQ(refused.result.text, "REFUSED - Max Connections (Failed)");
  EXPECT_TRUE(extra->WaitClosed(5000));

  leave.Set();
  for (std::thread& thread : clients) thread.join();
  EXPECT_TRUE(WaitFor([&] { return listener_->GetConnectionCount() == 0; }, 10000));
  listener_.reset();
  EXPECT_EQ(ThreadCount(), threadsBefore);
  EXPECT_EQ(g_TransactionQueue.GetCount(), 0);
}

TEST_F(ListenerLoadTest, OneLaneServesOneSessionAtATime) {
  SetParams({{kParmNumberOfLanes, "1"}});
  Start(1);  // the maximum the interfaces set for one lane
  SessionClient first, second;
  ASSERT_EQ(first.Connect("127.0.0.1", Port(), 5000), LinkStatus::kOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(second.Connect("127.0.0.1", Port(), 5000), LinkStatus::kOk);
  LoginResult firstLogin, secondLogin;
  std::thread secondThread([&] { second.Login(LoginOptions(), 10000, &secondLogin); });
  ASSERT_EQ(first.Login(LoginOptions(), 10000, &firstLogin), LinkStatus::kOk);
  secondThread.join();
  EXPECT_TRUE(firstLogin.verified);
  EXPECT_FALSE(secondLogin.verified);
  EXPECT_EQ(secondLogin.result.code, 2006);
  EXPECT_TRUE(second.WaitClosed(5000));
  // The refused connection unregisters itself just after closing its socket.
  EXPECT_TRUE(WaitFor([&] { return listener_->GetConnectionCount() == 1; }));
}

}  // namespace
