#include "tools/elavon-sim/wire.h"

#include <gtest/gtest.h>

#include "tools/elavon-sim/request_fields.h"

namespace elavon_sim {
namespace {

using namespace std::string_literals;

// A keyed credit sale of 10.00 with address data, an invoice number and lane 7,
// written out byte by byte. Its checksum, worked out by hand, is 0x43 ('C').
const std::string kHandBuiltSale =
    "\x02"                                              // STX
    "*" "00" "E" "4029" "A" "000"                       // marker .. code
    "JX4807GC" "001234" "0000000000005678" "zovade"     // terminal, BIN, MID
    "\x1d" "01" "03" "02" "0" "4111111111111111"        // capability, mode, flag, card
    "\x1c" "1000" "\x1c" "0000" "\x1c" "\x1c" "1000000"  // amount, sequence, -, trailer
    "\x1d" "10" "12345" "\x1c" "1 Main St" "\x1c" "1123"
    "\x1d" "12" "INV001" "\x1c"
    "\x1d" "06" "7"
    "\x03" "C"s;

TEST(WireTest, ParsesHandBuiltSale) {
  RequestMessage message;
  ASSERT_EQ(ParseRequest(kHandBuiltSale, &message), FrameStatus::kOk);
  EXPECT_EQ(message.marker, '*');
  EXPECT_EQ(message.mode, 'A');
  EXPECT_EQ(message.code, "000");
  EXPECT_EQ(message.terminal_id, "JX4807GC");
  EXPECT_EQ(message.bin, "001234");
  EXPECT_EQ(message.merchant_id, "0000000000005678");
  EXPECT_EQ(message.header, kHandBuiltSale.substr(0, 49));
  EXPECT_EQ(message.Fids(), (std::vector<std::string>{"01", "10", "12", "06"}));
  EXPECT_EQ(message.Find("12")->Subfields(), (std::vector<std::string>{"INV001", ""}));
  EXPECT_EQ(message.Find("10")->Subfield(1), "1 Main St");
  EXPECT_EQ(message.Find("10")->Subfield(7), "");
  EXPECT_EQ(message.Find("06")->data, "7");
  EXPECT_EQ(message.Find("77"), nullptr);

  Fid01 fid01;
  ASSERT_TRUE(ReadFid01(*message.Find("01"), &fid01));
  EXPECT_EQ(fid01.capability, "03");
  EXPECT_EQ(fid01.entry_mode, "02");
  EXPECT_EQ(fid01.flag, '0');
  EXPECT_EQ(fid01.card, "4111111111111111");
  EXPECT_EQ(fid01.amount_cents, 1000);
  EXPECT_EQ(fid01.sequence, "0000");
  EXPECT_EQ(fid01.reference, "");
  EXPECT_EQ(fid01.trailer, "1000000");

  EXPECT_EQ(Checksum(kHandBuiltSale.substr(0, kHandBuiltSale.size() - 1)), 0x43);
}

TEST(WireTest, ChecksumCoversMarkerThroughEtxAndMayBeZero) {
  // The bytes after STX of this batch summary XOR to 0, so it ends in NUL.
  const std::string zero_sum =
      "\x02*00E4029M998JX4807GC0012340000000000005678zovade\x1d" "06AZ\x03\x00"s;
  RequestMessage message;
  EXPECT_EQ(ParseRequest(zero_sum, &message), FrameStatus::kOk);
  EXPECT_EQ(message.code, "998");

  std::string remarked = kHandBuiltSale;
  remarked[1] = '#';
  EXPECT_EQ(ParseRequest(remarked, &message), FrameStatus::kBadChecksum);
  remarked.pop_back();
  remarked.push_back(static_cast<char>('C' ^ '*' ^ '#'));
  EXPECT_EQ(ParseRequest(remarked, &message), FrameStatus::kOk);
  EXPECT_EQ(message.marker, '#');

  // The STX is outside the sum: CloseMessage gives the same byte for any first byte.
  std::string a = "\x02" "AB", b = "\x7f" "AB";
  CloseMessage(&a);
  CloseMessage(&b);
  EXPECT_EQ(a.back(), b.back());
  EXPECT_EQ(static_cast<uint8_t>(a.back()), 'A' ^ 'B' ^ 0x03);
}

TEST(WireTest, RefusesMalformedMessages) {
  auto close = [](std::string text) {
    CloseMessage(&text);
    return text;
  };
  const std::string header = kHandBuiltSale.substr(0, 49);
  struct Case {
    const char* name;
    std::string bytes;
    FrameStatus expected;
  } cases[] = {
      {"too short", "\x02\x03"s, FrameStatus::kBadFrame},
      {"no STX", "X" + kHandBuiltSale.substr(1), FrameStatus::kBadFrame},
      {"no ETX before checksum", kHandBuiltSale + "Z", FrameStatus::kBadFrame},
      {"stray ETX", close(header + "\x1d" "06\x03" "7"), FrameStatus::kBadFrame},
      {"stray STX", close(header + "\x1d" "06\x02" "7"), FrameStatus::kBadFrame},
      {"wrong checksum", header + "\x03" "Z", FrameStatus::kBadChecksum},
      {"short header", close(header.substr(0, 48)), FrameStatus::kBadHeader},
      {"no zovade", close(header.substr(0, 43) + "zovadX"), FrameStatus::kBadHeader},
      {"bad marker", close("\x02" "+" + header.substr(2)), FrameStatus::kBadHeader},
      {"bad constant", close(header.substr(0, 5) + "4030" + header.substr(9)), FrameStatus::kBadHeader},
      {"field without FID", close(header + "\x1d" "0"), FrameStatus::kBadField},
      {"empty field", close(header + "\x1d" "06" "7" "\x1d"), FrameStatus::kBadField},
  };
  for (const Case& c : cases) {
    RequestMessage message;
    EXPECT_EQ(ParseRequest(c.bytes, &message), c.expected) << c.name;
  }
}

TEST(WireTest, HeaderWithEmptyCodeAndWriterRoundTrip) {
  std::string header = "\x02*00E4029AJX4807GC0012340000000000005678zovade";
  ASSERT_EQ(header.size(), 46u);
  std::string bytes = MessageWriter(header).Add("01", {"0302012", "5", "0042"}).Add("06", {"3"}).Finish();
  RequestMessage message;
  ASSERT_EQ(ParseRequest(bytes, &message), FrameStatus::kOk);
  EXPECT_EQ(message.code, "");
  EXPECT_EQ(message.terminal_id, "JX4807GC");
  EXPECT_EQ(message.merchant_id, "0000000000005678");
  EXPECT_EQ(message.Find("01")->data, "0302012\x1c" "5\x1c" "0042");
  EXPECT_EQ(message.Find("06")->data, "3");
}

TEST(WireTest, FieldReadersRefuseWrongLayouts) {
  auto field = [](const char* fid, std::string data) { return Field{fid, std::move(data)}; };
  Fid01 fid01;
  EXPECT_FALSE(ReadFid01(field("01", "0302"), &fid01));                          // no card part
  EXPECT_FALSE(ReadFid01(field("01", "03020x\x1c" "100"), &fid01));              // no sequence
  EXPECT_FALSE(ReadFid01(field("01", "03020x\x1c" "1.00\x1c" "0000"), &fid01));  // amount not digits
  EXPECT_FALSE(ReadFid01(field("01", "03020x\x1c" "100\x1c" "00001"), &fid01));  // sequence of 5
  EXPECT_TRUE(ReadFid01(field("01", "03020x\x1c\x1c" "0007"), &fid01));          // empty amount is 0
  EXPECT_EQ(fid01.amount_cents, 0);
  EXPECT_EQ(fid01.sequence_number, 7);

  Fid04 fid04;
  ASSERT_TRUE(ReadFid04(field("04", "  0  "), &fid04));
  EXPECT_EQ(fid04.code, "0");
  EXPECT_EQ(fid04.transaction_ref, "");
  EXPECT_FALSE(ReadFid04(field("04", "000A"), &fid04));

  ApprovalRef ref;
  ASSERT_TRUE(ReadFid59(field("59", " A1234000001000002"), &ref));
  EXPECT_EQ(ref.auth_code, "A1234");
  EXPECT_EQ(ref.approval_ref, "000001000002");
  EXPECT_TRUE(ReadFid59(field("59", ""), &ref));
  EXPECT_EQ(ref.auth_code, "");
  ASSERT_TRUE(ReadFid19(field("19", "A00001NT01\x1c" "000001000001\x1c" "03@"), &ref));
  EXPECT_EQ(ref.auth_code, "A00001");
  EXPECT_EQ(ref.network_ref, "NT01");
  EXPECT_EQ(ref.approval_ref, "000001000001");

  Fid52 fid52;
  EXPECT_FALSE(ReadFid52(field("52", "0000010000020001"), &fid52));  // no amount
  Fid90 fid90;
  ASSERT_TRUE(ReadFid90(field("90", "0077\x1c-1250\x1c" "0"), &fid90));
  EXPECT_EQ(fid90.batch_number, "007");
  EXPECT_EQ(fid90.item_count, 7);
  EXPECT_EQ(fid90.total_cents, -1250);
  int index = 0;
  EXPECT_FALSE(ReadFid77(field("77", ""), &index));
  EXPECT_TRUE(ReadFid77(field("77", "0002"), &index));
  EXPECT_EQ(index, 2);
}

}  // namespace
}  // namespace elavon_sim
