// The greeting and the login over the wire, with the POS client as the peer.
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/server/client_session.h"
#include "app/server/server_test_support.h"
#include "tools/pos-client/hex.h"
#include "tools/pos-client/login.h"
#include "tools/pos-client/session_cipher.h"

namespace {

using namespace server_test;
using pos_client::Greeting;
using pos_client::LoginMessage;

// One login, step by step: the greeting, the message (options adjusted once the
// greeting is known), the server's answer.
struct Exchange {
  Notice greetingNotice;
  Greeting greeting;
  LoginMessage message;
  Notice answer;
};

using Adjust = std::function<void(const Greeting&, LoginOptions&)>;

Exchange LogInBy(SessionClient& client, LoginOptions options, const Adjust& adjust = nullptr) {
  Exchange exchange;
  EXPECT_EQ(client.ReadNotice(5000, &exchange.greetingNotice), LinkStatus::kOk);
  EXPECT_EQ(pos_client::ParseGreeting(exchange.greetingNotice.text, &exchange.greeting), pos_client::Status::kOk);
  if (adjust) adjust(exchange.greeting, options);
  EXPECT_EQ(pos_client::BuildLogin(exchange.greeting, options, &exchange.message), pos_client::Status::kOk);
  EXPECT_EQ(client.SendBytes(exchange.message.wire), LinkStatus::kOk);
  EXPECT_EQ(client.ReadNotice(5000, &exchange.answer), LinkStatus::kOk);
  return exchange;
}

std::string AnswerHex(const Greeting& greeting, const std::string& marker) {
  std::string answer;
  pos_client::Rc4Apply(pos_client::LoginKey(marker), greeting.challenge, &answer);
  return pos_client::ToHex(answer);
}

class ClientLoginTest : public ListenerTest {};

TEST_F(ClientLoginTest, TheGreetingCarriesTheServerKeyAndAFreshChallenge) {
  Start();
  Greeting first, second;
  for (Greeting* greeting : {&first, &second}) {
    auto client = Connect();
    Notice notice;
    ASSERT_EQ(client->ReadNotice(5000, &notice), LinkStatus::kOk);
    EXPECT_EQ(notice.code, 0);
    EXPECT_EQ(notice.return_code, "000000");
    EXPECT_EQ(notice.status, "Success");
    EXPECT_EQ(notice.user_trace_data, "");
    ASSERT_EQ(pos_client::ParseGreeting(notice.text, greeting), pos_client::Status::kOk);
    const std::string keyText = g_CryptoEngine.GetPublicKeyText();
    EXPECT_EQ(greeting->public_key_hex, keyText.substr(1, keyText.size() - 2));
  }
  EXPECT_NE(first.challenge, second.challenge);
}

TEST_F(ClientLoginTest, ResultCodesOfTheLogin) {
  const struct {
    const char* name;
    const char* usePassword;
    const char* password;
    std::optional<std::string> marker;
    bool checkBlock;
    std::string sentPassword;
    Adjust adjust;
    int code;
    const char* text;
  } cases[] = {
      {"verified", "N", "", std::nullopt, true, "", nullptr, 2000, nullptr},
      {"marker M", "N", "", "M", true, "", nullptr, 2000, nullptr},
      {"longer marker takes key 2", "N", "", "MX", true, "", nullptr, 2000, nullptr},
      {"other marker", "N", "", "Z", true, "", nullptr, 2000, nullptr},
      {"longer marker with key 4", "N", "", "MX", true, "", 
       [](const Greeting& g, LoginOptions& o) { o.answer_hex = AnswerHex(g, "M"); }, 2010,
       "Password Failed!(Challenge/Response) -- Disconnecting."},
      {"no marker with key 4", "N", "", std::nullopt, true, "",
       [](const Greeting& g, LoginOptions& o) { o.answer_hex = AnswerHex(g, "M"); }, 2010, nullptr},
      {"no check block", "N", "", std::nullopt, false, "", nullptr, 2020,
       "Requires Tessary Upgrade to 3.xx or Above. - Failed! -- Disconnecting."},
      {"wrong answer beats missing check block", "N", "", std::nullopt, false, "",
       [](const Greeting&, LoginOptions& o) { o.wrong_answer = true; }, 2010, nullptr},
      {"odd-length answer", "N", "", std::nullopt, true, "",
       [](const Greeting& g, LoginOptions& o) { o.answer_hex = AnswerHex(g, "").substr(1); }, 2010, nullptr},
      {"answer of 258 digits", "N", "", std::nullopt, true, "",
       [](const Greeting& g, LoginOptions& o) { o.answer_hex = AnswerHex(g, "") + std::string(226, '0'); }, 2010,
       nullptr},
      {"password checked", "Y", "Secret1", std::nullopt, true, "Secret1", nullptr, 2000, nullptr},
      {"password in another case", "Y", "Secret1", std::nullopt, true, "secret1", nullptr, 2009,
       "Password Failed!(Client/Server) -- Disconnecting."},
      {"password and one more character", "Y", "Secret1", std::nullopt, true, "Secret1x", nullptr, 2009, nullptr},
      {"password with marker M", "Y", "Secret1", "M", true, "Secret1", nullptr, 2000, nullptr},
      {"empty password passes", "Y", "", std::nullopt, true, "anything", nullptr, 2000, nullptr},
      {"password not asked for", "N", "Secret1", std::nullopt, true, "wrong", nullptr, 2000, nullptr},
      {"wrong answer beats wrong password", "Y", "Secret1", std::nullopt, true, "wrong",
       [](const Greeting&, LoginOptions& o) { o.wrong_answer = true; }, 2010, nullptr},
      {"wrong password beats missing check block", "Y", "Secret1", std::nullopt, false, "wrong", nullptr, 2009,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetParams({{kParmUseCorvPassword, c.usePassword}, {kParmCorvPassword, c.password}});
    Start();
    auto client = Connect();
    LoginOptions options;
    options.marker = c.marker;
    options.check_block = c.checkBlock;
    options.password = c.sentPassword;
    const Exchange exchange = LogInBy(*client, options, c.adjust);
    EXPECT_EQ(exchange.answer.code, c.code);
    EXPECT_EQ(exchange.answer.user_trace_data, "");
    if (c.code == 2000) {
      EXPECT_TRUE(pos_client::IsLoginVerified(exchange.answer, exchange.message.check_bytes))
          << exchange.answer.text;
      client->Close();
    } else {
      EXPECT_EQ(exchange.answer.status, "Error");
      if (c.text != nullptr) {
        EXPECT_EQ(exchange.answer.text, c.text);
      }
      EXPECT_TRUE(client->WaitClosed(5000));
    }
    listener_.reset();
  }
}

TEST_F(ClientLoginTest, ASilentClientGets2002AfterTheLoginTime) {
  CClientTimings timings = FastTimings();
  timings.m_LoginMs = 300;
  Start(200, timings);
  auto client = Connect();
  Notice greeting, answer;
  ASSERT_EQ(client->ReadNotice(5000, &greeting), LinkStatus::kOk);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(client->SendBytes("\x1E" "0011"), LinkStatus::kOk);  // no ETX ever comes
  ASSERT_EQ(client->ReadNotice(5000, &answer), LinkStatus::kOk);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(answer.code, 2002);
  EXPECT_EQ(answer.status, "Error");  // the log calls it a warning; the client reads it unchanged
  EXPECT_EQ(answer.text, "Login Failed! -- Disconnecting.");
  EXPECT_TRUE(client->WaitClosed(5000));
  EXPECT_NE(LogText().find("<CmdStatus>Warning</CmdStatus>"), std::string::npos);
}

TEST_F(ClientLoginTest, ALoginMessageBeyondTheRequestSizeEndsTheLogin) {
  CClientTimings timings = FastTimings();
  timings.m_LoginMs = 20000;
  Start(200, timings);
  auto client = Connect();
  Notice greeting, answer;
  ASSERT_EQ(client->ReadNotice(5000, &greeting), LinkStatus::kOk);
  ASSERT_EQ(client->SendBytes(std::string(33000, 'a')), LinkStatus::kOk);
  ASSERT_EQ(client->ReadNotice(5000, &answer), LinkStatus::kOk);  // well before the login time
  EXPECT_EQ(answer.code, 2002);
}

TEST_F(ClientLoginTest, GoingOffLineAtConnectAndDuringTheLogin) {
  Start();
  {
    auto client = Connect();
    Notice greeting, answer;
    ASSERT_EQ(client->ReadNotice(5000, &greeting), LinkStatus::kOk);
    EXPECT_EQ(greeting.code, 0);
    listener_->m_ShuttingDown = 1;
    ASSERT_EQ(client->ReadNotice(5000, &answer), LinkStatus::kOk);
    EXPECT_EQ(answer.code, 2003);
    EXPECT_EQ(answer.text, "System going off line - please try again later...");
    EXPECT_TRUE(client->WaitClosed(5000));
  }
  {
    auto client = Connect();  // still accepted, but told at once
    Notice notice;
    ASSERT_EQ(client->ReadNotice(5000, &notice), LinkStatus::kOk);
    EXPECT_EQ(notice.code, 2003);
    EXPECT_TRUE(client->WaitClosed(5000));
  }
}

TEST_F(ClientLoginTest, BytesAfterTheLoginsEtxAreTheFirstRequest) {
  Start();
  auto client = Connect();
  Request request;
  const Exchange exchange = LogInBy(*client, LoginOptions(), [&](const Greeting& greeting, LoginOptions& options) {
    pos_client::ServerPublicKey key;
    ASSERT_EQ(pos_client::ServerPublicKey::FromHex(greeting.public_key_hex, &key), pos_client::Status::kOk);
    std::string tstream;
    ASSERT_EQ(pos_client::JoinTStream(ServerVersionItems(), &tstream), pos_client::Status::kOk);
    RequestOptions requestOptions;
    requestOptions.user_trace_data = "early";
    ASSERT_EQ(pos_client::BuildRequest(key, tstream, requestOptions, &request), pos_client::Status::kOk);
    options.trailing = request.WireText();
  });
  EXPECT_TRUE(pos_client::IsLoginVerified(exchange.answer, exchange.message.check_bytes));
  Reply interim, version;
  ASSERT_EQ(client->ReadReply(request.session, 5000, &interim), LinkStatus::kOk);
  EXPECT_EQ(interim.notice.text, "Queued:045:000");
  EXPECT_EQ(interim.notice.user_trace_data, "early");
  ASSERT_EQ(client->ReadReply(request.session, 5000, &version), LinkStatus::kOk);
  EXPECT_TRUE(version.encrypted);
  EXPECT_EQ(version.notice.code, 500000);
}

// The items of the login message, without the wire: where each separator rule
// decides what the session sees.
TEST(LoginFrameTest, ItemsOfTheLoginMessage) {
  const std::string hex32 = "00112233445566778899AABBCCDDEEFF";
  const struct {
    const char* name;
    std::string message;
    bool answer;
    std::string answerHex;
    std::string marker;
    bool checkBlock;
    bool decoded;
    size_t bytes;
  } cases[] = {
      {"whole frame", "\x1CM\x1E" + hex32 + "\x1F\x11" + "0A0B" + "\x12pw", true, hex32, "M", true, true, 2},
      {"no FS, no marker", "\x1E" "AB\x1F\x11\x12", true, "AB", "", true, true, 0},
      {"FS after RS is no marker", "\x1E" "AB\x1F\x1CM\x11\x12", true, "AB", "", true, true, 0},
      {"US before RS: no answer", "\x1F" "AB\x1E\x11\x12", false, "", "", false, false, 0},
      {"RS without US: no answer", "\x1C" "M\x1E" "AB", false, "", "", false, false, 0},
      {"DC2 before DC1: no check block", "\x1E\x1F\x12" "AB\x11", true, "", "", false, false, 0},
      {"odd check block is not decoded", "\x1E\x1F\x11" "ABC\x12", true, "", "", true, false, 0},
      {"510 digits fill 255 bytes", "\x1E\x1F\x11" + std::string(510, 'A') + "\x12", true, "", "", true, true, 255},
      {"512 digits are refused", "\x1E\x1F\x11" + std::string(512, 'A') + "\x12", true, "", "", true, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CLoginFrame frame;
    EXPECT_EQ(CClientSession::ParseLoginFrame(c.message, &frame), c.answer);
    EXPECT_EQ(frame.hasAnswer, c.answer);
    EXPECT_EQ(frame.answerHex, c.answerHex);
    EXPECT_EQ(frame.marker, c.marker);
    EXPECT_EQ(frame.hasCheckBlock, c.checkBlock);
    EXPECT_EQ(frame.checkBlockDecoded, c.decoded);
    EXPECT_EQ(frame.checkBlockBytes.size(), c.bytes);
  }
  CLoginFrame frame;
  ASSERT_TRUE(CClientSession::ParseLoginFrame("\x1E\x1F\x11" "0AFF\x12", &frame));
  EXPECT_EQ(frame.checkBlockBytes, std::string("\x0A\xFF"));

  EXPECT_TRUE(CClientSession::EndsWithPassword("x" "Secret1", "Secret1"));
  EXPECT_FALSE(CClientSession::EndsWithPassword("Secret1", "Secret1"));  // nothing before it
  EXPECT_FALSE(CClientSession::EndsWithPassword("xSecret", "Secret1"));
  EXPECT_TRUE(CClientSession::EndsWithPassword("x", ""));
  EXPECT_FALSE(CClientSession::EndsWithPassword("", ""));
}

TEST(ClientListenerPortTest, ThePortComesFromKvrClientPort) {
  const struct {
    const char* value;
    int port;
  } cases[] = {{nullptr, 9000}, {"", 9000}, {"9123", 9123}, {"65535", 65535}, {"0", 9000},
               {"65536", 9000}, {"90x", 9000}};
  for (const auto& c : cases) {
    if (c.value == nullptr) {
      ::unsetenv("KVR_CLIENT_PORT");
    } else {
      ::setenv("KVR_CLIENT_PORT", c.value, 1);
    }
    EXPECT_EQ(ClientListenerPort(), c.port) << (c.value ? c.value : "unset");
  }
  ::unsetenv("KVR_CLIENT_PORT");
}

}  // namespace
