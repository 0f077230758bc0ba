#include "app/server/request_mask.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string Items(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) text += (i ? "\x1C" : "") + items[i];
  return text;
}

TEST(RequestMaskTest, CardDataIsMaskedInEveryOccurrence) {
  const struct {
    std::vector<std::string> items;
    std::vector<std::string> masked;
  } cases[] = {
      // Keyed: all but the last four of the account, the whole expiry date.
      {{"TranCode=Sale", "AcctNo=4111111111111111", "ExpDate=1225", "Purchase=1.00"},
       {"TranCode=Sale", "AcctNo=XXXXXXXXXXXX1111", "ExpDate=XXXX", "Purchase=1.00"}},
      // Swiped: the account's last four and the '=' stay; an AcctNo and ExpDate sent
      // beside the track are masked all the same.
      {{"Track2=4111111111111111=2512101", "AcctNo=5500000000000004", "ExpDate=0101"},
       {"Track2=XXXXXXXXXXXX1111=XXXXXXX", "AcctNo=XXXXXXXXXXXX0004", "ExpDate=XXXX"}},
      {{"AcctNo=5500000000000004", "Track2=4111111111111111=2512101"},
       {"AcctNo=XXXXXXXXXXXX0004", "Track2=XXXXXXXXXXXX1111=XXXXXXX"}},
      // A memo that names a card item masks by its own name only: the account is
      // still masked, the memo is left as it is.
      {{"Memo=Track2=see slip", "AcctNo=4111111111111111", "ExpDate=1225"},
       {"Memo=Track2=see slip", "AcctNo=XXXXXXXXXXXX1111", "ExpDate=XXXX"}},
      {{"Memo=paid AcctNo=1234", "CVVData=123"}, {"Memo=paid AcctNo=1234", "CVVData=XXX"}},
      // The name must be the item's whole name.
      {{"XAcctNo=4111111111111111", "AcctNos=4111111111111111"},
       {"XAcctNo=4111111111111111", "AcctNos=4111111111111111"}},
      // Track 1: the name and everything after the first '^' but the '^' go.
      {{"Track1=B4111111111111111^DOE/JOHN^2512101"}, {"Track1=XXXXXXXXXXXXX1111^XXXXXXXX^XXXXXXX"}},
      // The other card items: every character.
      {{"DervdKey=FFFF9876543210E00001", "EMVData=5A084111111111111111", "EncryptedBlock=AB12",
        "EncryptedKey=CD34", "RawTOAD=T011000015T12345678O1001", "FleetPINBlock=12", "FleetDervdKey=34"},
       {"DervdKey=XXXXXXXXXXXXXXXXXXXX", "EMVData=XXXXXXXXXXXXXXXXXXXX", "EncryptedBlock=XXXX",
        "EncryptedKey=XXXX", "RawTOAD=XXXXXXXXXXXXXXXXXXXXXXXX", "FleetPINBlock=XX", "FleetDervdKey=XX"}},
      // The items of a clear envelope: the first one stands right after the STX.
      {{"e2e", "000\x02" "AcctNo=4111111111111111", "ExpDate=1225"},
       {"e2e", "000\x02" "AcctNo=XXXXXXXXXXXX1111", "ExpDate=XXXX"}},
      // An item without '=' and empty items are passed over.
      {{"", "AcctNo", "", "AcctNo=4111111111111111", ""}, {"", "AcctNo", "", "AcctNo=XXXXXXXXXXXX1111", ""}},
      // A track without '=' keeps its last four.
      {{"Track2=12345678", "Memo=x"}, {"Track2=XXXX5678", "Memo=x"}},
      // The last item without an FS after it.
      {{"Memo=m", "AcctNo=4111111111111111"}, {"Memo=m", "AcctNo=XXXXXXXXXXXX1111"}},
      // CVV data and PIN blocks in either case; an expiry date alone too.
      {{"CVVData=123", "PINBlock=ABCDEF", "ExpDate=1225"}, {"CVVData=XXX", "PINBlock=XXXXXX", "ExpDate=XXXX"}},
      {{"Track2=4111=99", "CVVData=9"}, {"Track2=4111=XX", "CVVData=X"}},
      // Every occurrence, not only the first.
      {{"AcctNo=4111111111111111", "ExpDate=1225", "AcctNo=5500000000000004", "ExpDate=0101"},
       {"AcctNo=XXXXXXXXXXXX1111", "ExpDate=XXXX", "AcctNo=XXXXXXXXXXXX0004", "ExpDate=XXXX"}},
      {{"Track2=4111111111111111=2512", "Track2=5500000000000004=01"},
       {"Track2=XXXXXXXXXXXX1111=XXXX", "Track2=XXXXXXXXXXXX0004=XX"}},
      // Short values: four characters or fewer stay.
      {{"AcctNo=123", "CVVData="}, {"AcctNo=123", "CVVData="}},
      // Nothing to mask.
      {{"TStream=Admin", "TranCode=ServerVersion"}, {"TStream=Admin", "TranCode=ServerVersion"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MaskRequestForLog(Items(c.items)), Items(c.masked)) << Items(c.items);
  }
}

// A name that differs from a card item's only in case or in blanks around it is
// masked as that item; one with other letters is not (the log copy's card-number
// scan sees to what such items hold).
TEST(RequestMaskTest, NamesThatLookLikeACardItemAreMaskedAsIt) {
  const struct {
    std::vector<std::string> items;
    std::vector<std::string> masked;
  } cases[] = {
      {{"track2=4111111111111111=2512101"}, {"track2=XXXXXXXXXXXX1111=XXXXXXX"}},
      {{"TRACK2=4111111111111111=2512101", "acctno=5500000000000004"},
       {"TRACK2=XXXXXXXXXXXX1111=XXXXXXX", "acctno=XXXXXXXXXXXX0004"}},
      {{"Track2 =4111111111111111=2512101", " AcctNo = 5500000000000004", "\tExpDate\t=1225"},
       {"Track2 =XXXXXXXXXXXX1111=XXXXXXX", " AcctNo =XXXXXXXXXXXXX0004", "\tExpDate\t=XXXX"}},
      {{"cvvdata=123", "PinBlock =ABCD", "track1=B4111111111111111^DOE/JOHN^25"},
       {"cvvdata=XXX", "PinBlock =XXXX", "track1=XXXXXXXXXXXXX1111^XXXXXXXX^XX"}},
      {{"e2e", "000\x02" "acctno =4111111111111111"}, {"e2e", "000\x02" "acctno =XXXXXXXXXXXX1111"}},
      {{"Track 2=4111111111111111=2512101", "Acct_No=5500000000000004"},
       {"Track 2=4111111111111111=2512101", "Acct_No=5500000000000004"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MaskRequestForLog(Items(c.items)), Items(c.masked)) << Items(c.items);
  }
}

// The log copy masks a card number in any item, keeping its last four, and leaves
// what only looks like digits of one (short runs, runs that fail the Luhn check).
TEST(RequestMaskTest, LogCopyMasksCardNumbersInEveryItem) {
  const struct {
    std::vector<std::string> items;
    std::vector<std::string> copy;
  } cases[] = {
      {{"Memo=card 5500005555555559 end", "Purchase=10.00"}, {"Memo=card XXXXXXXXXXXX5559 end", "Purchase=10.00"}},
      {{"InvoiceNo=378282246310005", "RefNo=1234"}, {"InvoiceNo=XXXXXXXXXXX0005", "RefNo=1234"}},
      {{"Unknown=6011000990139424"}, {"Unknown=XXXXXXXXXXXX9424"}},
      {{"XAcctNo=4111111111111111", "AcctNos=4111111111111111"},
       {"XAcctNo=XXXXXXXXXXXX1111", "AcctNos=XXXXXXXXXXXX1111"}},
      {{"Memo=Track2=4111111111111111=2512101"}, {"Memo=Track2=XXXXXXXXXXXX1111=2512101"}},
      {{"AcctNo=4111111111111111", "ExpDate=1225"}, {"AcctNo=XXXXXXXXXXXX1111", "ExpDate=XXXX"}},
      {{"InvoiceNo=4111111111111112", "SeqNo=000123", "Date=20261211"},
       {"InvoiceNo=4111111111111112", "SeqNo=000123", "Date=20261211"}},
  };
  for (const auto& c : cases) EXPECT_EQ(RequestLogCopy(Items(c.items)), Items(c.copy)) << Items(c.items);
  // A number that stands across the 4 KB cut is masked before the cut.
  const std::string request = Items({"Memo=" + std::string(4080, 'm') + " 5500005555555559"});
  EXPECT_EQ(RequestLogCopy(request).find("550000555"), std::string::npos);
}

TEST(RequestMaskTest, LogCopyIsMaskedCutAndCannotBreakTheLine) {
  EXPECT_EQ(RequestLogCopy(Items({"Memo=a\r\n[10:00:00]forged", "AcctNo=4111111111111111"})),
            Items({"Memo=a|0d|0a[10:00:00]forged", "AcctNo=XXXXXXXXXXXX1111"}));
  // A long request shows its first 4 KB, masked before the cut.
  const std::string request = Items({"Memo=" + std::string(5000, 'm'), "AcctNo=4111111111111111"});
  const std::string copy = RequestLogCopy(request);
  EXPECT_EQ(copy, "Memo=" + std::string(4091, 'm') + "...[cut: " + std::to_string(request.size()) + " bytes]");
  const std::string tail = Items({std::string(4090, 'm'), "AcctNo=4111111111111111"});
  EXPECT_EQ(RequestLogCopy(tail).find("411111"), std::string::npos);
}

TEST(RefusedRequestLogTest, LogsTheFirstInFullThenCounts) {
  CRefusedRequestLog log;
  for (int i = 0; i < CRefusedRequestLog::kLoggedInFull; ++i) {
    EXPECT_TRUE(log.Admit()) << i;
    EXPECT_FALSE(log.FirstLeftOut());
  }
  EXPECT_FALSE(log.Admit());
  EXPECT_TRUE(log.FirstLeftOut());
  EXPECT_FALSE(log.Admit());
  EXPECT_FALSE(log.FirstLeftOut());
  EXPECT_EQ(log.LeftOut(), 2);
}

}  // namespace
