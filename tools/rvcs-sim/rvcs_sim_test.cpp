#include <gtest/gtest.h>

#include <string>

#include "tools/rvcs-sim/challenge_cipher.h"
#include "tools/rvcs-sim/framing.h"
#include "tools/rvcs-sim/rvcs_server.h"
#include "tools/rvcs-sim/service_messages.h"

namespace rvcs_sim {
namespace {

TEST(ChallengeCipherTest, Rc4MatchesThePublishedKeyStream) {
  // RFC 6229, key 0x0102030405, key stream bytes 0..15.
  std::string out;
  ASSERT_TRUE(Rc4Apply(std::string("\x01\x02\x03\x04\x05", 5), std::string(16, '\0'), &out));
  EXPECT_EQ(ToHex(out), "B2396305F03DC027CCC3524A0A1118A8");
  EXPECT_FALSE(Rc4Apply("", "x", &out));
  EXPECT_FALSE(Rc4Apply(std::string(257, 'k'), "x", &out));
}

TEST(ChallengeCipherTest, TheKeyIsTheMd5OfTheMaterialAndEveryMessageRestartsTheStream) {
  EXPECT_EQ(ToHex(ChallengeKey("abc")), "900150983CD24FB0D6963F7D28E17F72");  // RFC 1321
  const std::string bytes = "0123456789ABCDEF";
  const std::string once = EncryptChallenge(bytes);
  EXPECT_EQ(once.size(), 16u);
  EXPECT_NE(once, bytes);
  EXPECT_EQ(EncryptChallenge(bytes), once);
  std::string back;
  ASSERT_TRUE(Rc4Apply(ChallengeKey(), once, &back));
  EXPECT_EQ(back, bytes);
}

TEST(ChallengeCipherTest, HexIsStrictUpperCase) {
  std::string bytes;
  EXPECT_TRUE(FromHex("00FF9A", &bytes));
  EXPECT_EQ(bytes, std::string("\x00\xFF\x9A", 3));
  EXPECT_EQ(ToHex(bytes, true), "00ff9a");
  for (const char* bad : {"0", "0f", "0G", "ABC"}) {
    EXPECT_FALSE(FromHex(bad, &bytes)) << bad;
    EXPECT_TRUE(bytes.empty());
  }
}

TEST(FrameReaderTest, MessagesCompleteAtTheAnnouncedLength) {
  struct Case {
    const char* name;
    std::string bytes;
    FrameReader::State state;
    std::string body;
  } cases[] = {
      {"framed", Frame("hello"), FrameReader::State::kComplete, "hello"},
      {"body short", "Content-Length: 5\r\n\r\nhell", FrameReader::State::kIncomplete, ""},
      {"header case", "content-LENGTH: 2\r\nX-Other: 1\r\n\r\nab", FrameReader::State::kComplete, "ab"},
      {"no length", "X-Other: 1\n\nrest", FrameReader::State::kComplete, ""},
      {"no header", "\r\nbody", FrameReader::State::kNoHeader, ""},
      {"huge length", "Content-Length: 99999999\r\n\r\n", FrameReader::State::kTooLarge, ""},
      {"no blank line", "Content-Length: 2\r\n", FrameReader::State::kIncomplete, ""},
  };
  for (const Case& c : cases) {
    FrameReader reader;
    EXPECT_EQ(reader.Append(c.bytes), c.state) << c.name;
    EXPECT_EQ(reader.body(), c.body) << c.name;
  }
}

TEST(FrameReaderTest, BytesArrivingOneByOneAndWhatFollowsTheMessage) {
  const std::string bytes = Frame("OK") + "next";
  FrameReader reader;
  for (size_t i = 0; i + 1 < bytes.size() - 4; ++i) {
    ASSERT_EQ(reader.Append(bytes.substr(i, 1)), FrameReader::State::kIncomplete) << i;
  }
  EXPECT_EQ(reader.Append(bytes.substr(bytes.size() - 5)), FrameReader::State::kComplete);
  EXPECT_EQ(reader.body(), "OK");
  EXPECT_EQ(reader.rest(), "next");

  FrameReader endless;
  EXPECT_EQ(endless.Append("X-Pad: " + std::string(kMaxMessageBytes, 'p')), FrameReader::State::kTooLarge);
}

TEST(ServiceMessagesTest, PayloadCarriesTheEchoTheRefusalAndTheRecordsInOrder) {
  std::vector<ParamRecord> records = DefaultParamRecords();
  ASSERT_EQ(records.size(), 22u);
  EXPECT_EQ(RecordText(records[0]), "0=NUMPARMS|NS1|1|2|21");
  EXPECT_EQ(RecordText(records[21]), "21=LANE IDS|AN2|1|300|0");
  const std::string payload = BuildParamPayload("AB12", "", {records[1]});
  EXPECT_EQ(payload, "500=CHALLENGE|AN2|32|32|AB12\x1C" "510=ERROR|AN2|0|80|\x1C" "1=ASSIGNED BIN|NS1|6|6|000000\x1C");
}

TEST(ServiceMessagesTest, RequestFields) {
  std::map<std::string, std::string> fields;
  std::vector<std::string> order;
  ASSERT_TRUE(ParseRequestFields("REQ=CORV_PARAMETERS\x1C" "CR=\x1C" "SDT=20240305070809\x1C", &fields, &order));
  EXPECT_EQ(order, (std::vector<std::string>{"REQ", "CR", "SDT"}));
  EXPECT_EQ(fields["REQ"], "CORV_PARAMETERS");
  EXPECT_EQ(fields["CR"], "");
  for (const char* bad : {"", "REQ=X", "NOEQUALS\x1C", "=v\x1C"}) {
    EXPECT_FALSE(ParseRequestFields(bad, &fields)) << bad;
  }
}

TEST(FaultNamesTest, EveryFaultHasAName) {
  for (Fault f : AllFaults()) {
    Fault back = Fault::kNone;
    ASSERT_TRUE(FaultFromName(FaultName(f), &back)) << FaultName(f);
    EXPECT_EQ(back, f);
  }
  Fault f;
  EXPECT_FALSE(FaultFromName("no-such-fault", &f));
}

}  // namespace
}  // namespace rvcs_sim
