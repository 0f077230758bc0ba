#include "host/dial/dial_frame.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tran/elavon_tran.h"

namespace {

// The XOR of the bytes after the first, worked out here on its own.
char Xor(const std::string& text) {
  unsigned char x = 0;
  for (size_t i = 1; i < text.size(); ++i) x ^= static_cast<unsigned char>(text[i]);
  return static_cast<char>(x);
}

std::string Framed(const std::string& body) {
  std::string frame = "\x02" + body + "\x03";
  return frame + Xor(frame);
}

TEST(DialFrameTest, ReframingBlanksByteTwentyMarksTheRequestAndRecomputesTheLrc) {
  // 22 bytes through the ETX, so byte 20 is the eighth character of "JX4807GC".
  const std::string body = "*00E4029A000JX4807GC";
  struct Case {
    std::string message;
    int family;
    std::string expected_through_etx;
  };
  const std::vector<Case> cases = {
      {Framed(body), kTranFamilyCredit, "\x02#00E4029A000JX4807G \x03"},
      {Framed(body), kTranFamilyDebit, "\x02#00E4029A000JX4807G \x03"},
      {Framed(body), kTranFamilyEcho, "\x02*00E4029A000JX4807G \x03"},
      {Framed(body), kTranFamilyReversal, "\x02*00E4029A000JX4807G \x03"},
      // 22 bytes: index 20 holds the ETX, and is blanked all the same.
      {Framed("*00E4029A000JX4807G"), kTranFamilyCredit, "\x02#00E4029A000JX4807G "},
      // 21 bytes: index 20 was the checksum itself; nothing is blanked.
      {Framed("*00E4029A000JX4807"), kTranFamilyCredit, "\x02#00E4029A000JX4807\x03"},
      {Framed("*0"), kTranFamilyCredit, "\x02#0\x03"},
  };
  for (const Case& c : cases) {
    std::string message = c.message;
    ReframeForDial(message, c.family);
    EXPECT_EQ(message, c.expected_through_etx + Xor(c.expected_through_etx)) << c.family << " " << c.message.size();
  }
  std::string empty;
  ReframeForDial(empty, kTranFamilyCredit);
  EXPECT_TRUE(empty.empty());
}

TEST(DialFrameTest, LrcCoversEveryByteAfterTheStxThroughTheEtx) {
  const std::string frame = "\x02" "ABC\x03";
  EXPECT_EQ(ComputeLrc(frame), static_cast<char>('A' ^ 'B' ^ 'C' ^ 0x03));
  EXPECT_TRUE(CheckLrc(frame, ComputeLrc(frame)));
  EXPECT_FALSE(CheckLrc(frame, static_cast<char>(ComputeLrc(frame) ^ 1)));
  EXPECT_EQ(ComputeLrc("\x02"), '\0');
}

using Result = CDialAnswerReader::Result;

std::vector<Result> FeedAll(CDialAnswerReader& reader, const std::string& bytes) {
  std::vector<Result> results;
  for (char c : bytes) {
    const Result r = reader.Feed(c);
    if (r != Result::kNone) results.push_back(r);
  }
  return results;
}

TEST(DialAnswerReaderTest, PicksFramesOutOfTheLineAndReportsRefusals) {
  CDialAnswerReader reader;
  // Noise, an ENQ and an ACK before the frame are ignored; a NAK is reported.
  EXPECT_EQ(FeedAll(reader, "\r\nxx\x05\x06\x15"), std::vector<Result>{Result::kNak});
  const std::string answer = Framed("ANSWER\x1c" "1");
  EXPECT_EQ(FeedAll(reader, answer), std::vector<Result>{Result::kFrame});
  EXPECT_EQ(reader.Frame(), answer.substr(0, answer.size() - 1));

  std::string bad = answer;
  bad.back() = static_cast<char>(bad.back() ^ 0x40);
  EXPECT_EQ(FeedAll(reader, bad), std::vector<Result>{Result::kBadLrc});
  // A NAK inside a frame is data.
  const std::string with_nak = Framed("A\x15" "B");
  EXPECT_EQ(FeedAll(reader, with_nak), std::vector<Result>{Result::kFrame});
}

TEST(DialAnswerReaderTest, RefusesFramesLongerThanTheLimit) {
  CDialAnswerReader reader(16);
  const std::string exact = Framed(std::string(14, 'a'));  // 16 bytes STX through ETX
  EXPECT_EQ(FeedAll(reader, exact), std::vector<Result>{Result::kFrame});
  const std::string longer = Framed(std::string(15, 'a'));
  EXPECT_EQ(FeedAll(reader, longer), std::vector<Result>{Result::kTooLong});
  EXPECT_TRUE(reader.Frame().empty());
  // A frame far past the limit is skipped to its end; the next one is read.
  EXPECT_EQ(FeedAll(reader, Framed(std::string(5000, 'b')) + exact),
            (std::vector<Result>{Result::kTooLong, Result::kFrame}));
  CDialAnswerReader standard;
  EXPECT_EQ(FeedAll(standard, Framed(std::string(kMaxDialAnswerFrame, 'c'))), std::vector<Result>{Result::kTooLong});
}

}  // namespace
