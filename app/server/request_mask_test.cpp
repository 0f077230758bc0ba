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
      // Swiped: the account's last four and the '=' stay; AcctNo and ExpDate are left.
      {{"Track2=4111111111111111=2512101", "AcctNo=5500000000000004", "ExpDate=0101"},
       {"Track2=XXXXXXXXXXXX1111=XXXXXXX", "AcctNo=5500000000000004", "ExpDate=0101"}},
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

}  // namespace
