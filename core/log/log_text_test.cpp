#include "core/log/log_text.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace {

// Control characters of the client protocol, spelled out so the tables read easily.
#define FS "\x1C"
#define STX "\x02"
#define ETX "\x03"
#define DC1 "\x11"
#define DC2 "\x12"
#define RS "\x1E"
#define US "\x1F"

struct TextCase {
  const char* name;
  std::string in;
  std::string out;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class MaskEncryptedLogTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(MaskEncryptedLogTextTest, RewritesLine) {
  std::string line = GetParam().in;
  MaskEncryptedLogText(line);
  EXPECT_EQ(line, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MaskEncryptedLogTextTest,
    ::testing::Values(
        TextCase{"Mode2AtTenReceivedFrom", "[14:03:09]" FS "200" STX "A1B2" DC1 "KEY" DC2 ETX " received from 10.0.0.7",
                 "[14:03:09] Encrypted Msg ] received from 10.0.0.7"},
        TextCase{"Mode1SentTo", "[[14:03:09]trace" FS "1" STX "C0FFEE" DC1 "KB" DC2 "] sent to 10.0.0.7:4100",
                 "[[14:03:09]trace Encrypted Msg ] sent to 10.0.0.7:4100"},
        TextCase{"FrameAtStart", FS "2" STX "AB sent to x", " Encrypted Msg ] sent to x"},
        // "sent to" wins over an earlier "received from".
        TextCase{"SentToPreferred", "t" FS "1AB received from P sent to Q", "t Encrypted Msg ] sent to Q"},
        TextCase{"ReceivedFromThenNoSentTo", "t" FS "2AB received from P", "t Encrypted Msg ] received from P"},
        // Words before the marker belong to the caller's text and do not count.
        TextCase{"WordsBeforeMarkerIgnored", "sent to host " FS "1" STX "AB" DC1 "KEY" DC2 "CD",
                 "sent to host " FS "1" STX "ABCD"},
        TextCase{"WordBeforeAndAfterMarker", "sent to A " FS "1x received from B",
                 "sent to A  Encrypted Msg ] received from B"},
        // A frame without either word still loses its key block and challenge.
        TextCase{"FrameWithoutWordsStripped", "u" FS "1" STX "AB" DC1 "KEY" DC2 "CD" RS "CHAL" US "EF",
                 "u" FS "1" STX "ABCDEF"},
        TextCase{"Mode2WithoutWordsStripped", "u" FS "2" STX "AB" DC1 "KEY" DC2, "u" FS "2" STX "AB"},
        // A clear reply frame (mode "0") is no client frame.
        TextCase{"ClearFrameUnchanged", FS "000" STX "<RStream/>" ETX " sent to A", FS "000" STX "<RStream/>" ETX " sent to A"},
        TextCase{"FsAtEndUnchanged", "abc" FS, "abc" FS}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Spans, MaskEncryptedLogTextTest,
    ::testing::Values(
        TextCase{"BothSpansRemoved", "a" DC1 "key" DC2 "b" RS "chal" US "c", "abc"},
        TextCase{"OnlyFirstSpanOfEachKind", "a" DC1 "k" DC2 "b" DC1 "m" DC2 "c" RS "x" US "d" RS "y" US,
                 "ab" DC1 "m" DC2 "cd" RS "y" US},
        TextCase{"Dc1WithoutDc2LeftAlone", "a" DC1 "bc", "a" DC1 "bc"},
        TextCase{"Dc2BeforeDc1LeftAlone", "a" DC2 "b" DC1 "c", "a" DC2 "b" DC1 "c"},
        TextCase{"RsWithoutUsLeftAlone", "a" DC1 "k" DC2 "b" RS "c", "ab" RS "c"},
        TextCase{"EmptySpan", "a" DC1 DC2 "b", "ab"},
        TextCase{"Empty", "", ""},
        TextCase{"PlainText", "Interfaces initialized successfully.", "Interfaces initialized successfully."}),
    [](const auto& info) { return std::string(info.param.name); });

class StripAdministrativeTranTypeTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(StripAdministrativeTranTypeTest, RewritesLine) {
  std::string line = GetParam().in;
  StripAdministrativeTranType(line);
  EXPECT_EQ(line, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Items, StripAdministrativeTranTypeTest,
    ::testing::Values(
        TextCase{"ItemAndFsRemoved", "TranType=Administrative" FS "TranCode=BatchClose" FS,
                 "TranCode=BatchClose" FS},
        TextCase{"InTheMiddle", "[10:00:00]A=1" FS "TranType=Administrative" FS "B=2", "[10:00:00]A=1" FS "B=2"},
        TextCase{"AtTheEnd", "A=1" FS "TranType=Administrative", "A=1" FS},
        TextCase{"OnlyFirstOccurrence", "TranType=Administrative" FS "TranType=Administrative" FS,
                 "TranType=Administrative" FS},
        TextCase{"OtherTranTypeKept", "TranType=Credit" FS "TranType=Admin" FS, "TranType=Credit" FS "TranType=Admin" FS}),
    [](const auto& info) { return std::string(info.param.name); });

class EscapeControlBytesTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(EscapeControlBytesTest, RewritesLine) {
  std::string line = GetParam().in;
  EscapeControlBytes(line);
  EXPECT_EQ(line, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, EscapeControlBytesTest,
    ::testing::Values(
        TextCase{"PlainTextUnchanged", "Server Startup ZW 5.18", "Server Startup ZW 5.18"},
        TextCase{"OwnLineBreaksAndTabsKept", "Param Settings:\nNo.1\tA\r\n", "Param Settings:\nNo.1\tA\r\n"},
        TextCase{"FrameBytes", "[" FS "000" STX "<RStream/>" ETX "] sent to A", "[|1c000|02<RStream/>|03] sent to A"},
        TextCase{"NulEscAndDel", std::string("a\0b\x1B" "c\x7F", 6), "a|00b|1bc|7f"},
        TextCase{"HighBytesKept", "caf\xC3\xA9", "caf\xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EscapeLineBreaksTest, OutsideTextCannotBreakTheLine) {
  EXPECT_EQ(EscapeLineBreaks("x\r\n[12:00:00]Approved\n----------\r"), "x|0d|0a[12:00:00]Approved|0a----------|0d");
  EXPECT_EQ(EscapeLineBreaks("a\tb" FS "c"), "a\tb" FS "c");  // the writer escapes the rest
  EXPECT_EQ(EscapeLineBreaks(""), "");
}

TEST(MaskCardNumbersTest, HidesEveryCardNumberButItsLastFour) {
  const struct {
    const char* name;
    std::string in;
    std::string out;
  } cases[] = {
      {"in a memo", "Memo=card 5500005555555559 end", "Memo=card XXXXXXXXXXXX5559 end"},
      {"a whole value", "InvoiceNo=378282246310005", "InvoiceNo=XXXXXXXXXXX0005"},
      {"13 digits", "x4222222222222y", "xXXXXXXXXX2222y"},
      {"19 digits", "4444444444444444442", "XXXXXXXXXXXXXXX4442"},
      {"every one in the text", "a 4111111111111111=2512 b " FS "6011000990139424",
       "a XXXXXXXXXXXX1111=2512 b " FS "XXXXXXXXXXXX9424"},
      {"fails the Luhn check", "AcctNo=4111111111111112", "AcctNo=4111111111111112"},
      {"12 digits", "444444444442", "444444444442"},
      {"20 digits", "44444444444444444444", "44444444444444444444"},
      {"amounts and dates", "Purchase=1234.56 Date=121126 Seq=0042", "Purchase=1234.56 Date=121126 Seq=0042"},
      {"already masked", "AcctNo=XXXXXXXXXXXX1111", "AcctNo=XXXXXXXXXXXX1111"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskCardNumbers(c.in), c.out) << c.name;
}

TEST(CutForLogTest, CutsLongTextsAndStatesTheirLength) {
  const struct {
    const char* name;
    std::string in;
    size_t limit;
    std::string out;
  } cases[] = {
      {"at the limit", std::string(8, 'a'), 8, std::string(8, 'a')},
      {"one over", std::string(9, 'a'), 8, std::string(8, 'a') + "...[cut: 9 bytes]"},
      {"open key block cut away", "abc" DC1 "KEYKEY" DC2 "z", 6, "abc...[cut: 12 bytes]"},
      {"closed key block kept", "a" DC1 "K" DC2 "bcdefgh", 6, "a" DC1 "K" DC2 "bc...[cut: 11 bytes]"},
      {"open challenge cut away", "ab" RS "CHALLENGE" US, 6, "ab...[cut: 13 bytes]"},
      {"challenge inside an open key block", "a" DC1 "b" RS "c" US "dddd" DC2, 7, "a...[cut: 11 bytes]"},
  };
  for (const auto& c : cases) EXPECT_EQ(CutForLog(c.in, c.limit), c.out) << c.name;
  const std::string big(50 * 1024 * 1024, 'G');
  const std::string cut = CutForLog(big);
  EXPECT_EQ(cut, std::string(kLogTextLimit, 'G') + "...[cut: 52428800 bytes]");
}

}  // namespace
