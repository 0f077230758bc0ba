#include "tools/elavon-sim/codes.h"

namespace elavon_sim {

namespace {

struct Row {
  std::string_view code;
  CodeInfo info;
};

using K = RequestKind;
using F = CardFamily;
using S = BatchSlot;

constexpr Row kRows[] = {
    {"000", {K::kMoney, F::kCredit, S::kCreditPurchase, false, true}},
    {"005", {K::kMoney, F::kCredit, S::kCreditReturn, false, true}},
    {"001", {K::kMoney, F::kCredit, S::kNone, false, true}},
    {"002", {K::kMoney, F::kCredit, S::kNone, false, true}},
    {"006", {K::kCapture, F::kCredit, S::kCreditPurchase, false, true}},
    {"004", {K::kBalance, F::kCredit, S::kNone, false, true}},
    {"810", {K::kToken, F::kCredit, S::kNone, false, true}},
    {"098", {K::kVoid, F::kCredit, S::kNone, false, true}},
    {"099", {K::kReversal, F::kCredit, S::kNone, false, true}},
    {"100", {K::kMoney, F::kDebit, S::kDebitPurchase, true, false}},
    {"102", {K::kMoney, F::kDebit, S::kDebitReturn, true, false}},
    {"198", {K::kVoid, F::kDebit, S::kNone, false, false}},
    {"199", {K::kReversal, F::kDebit, S::kNone, false, false}},
    {"197", {K::kEcho, F::kDebit, S::kNone, false, false}},
    {"120", {K::kMoney, F::kEbt, S::kDebitPurchase, true, false}},
    {"122", {K::kMoney, F::kEbt, S::kDebitReturn, true, false}},
    {"140", {K::kMoney, F::kEbt, S::kDebitPurchase, true, false}},
    {"121", {K::kMoney, F::kEbt, S::kDebitPurchase, false, false}},
    {"123", {K::kMoney, F::kEbt, S::kDebitReturn, false, false}},
    {"124", {K::kBalance, F::kEbt, S::kNone, false, false}},
    {"141", {K::kBalance, F::kEbt, S::kNone, false, false}},
    {"300", {K::kMoney, F::kECheck, S::kNone, true, false}},
    {"301", {K::kMoney, F::kECheck, S::kNone, true, false}},
    {"302", {K::kMoney, F::kECheck, S::kNone, true, false}},
    {"398", {K::kVoid, F::kECheck, S::kNone, false, true}},
    {"399", {K::kReversal, F::kECheck, S::kNone, false, false}},
    {"397", {K::kEcho, F::kECheck, S::kNone, false, false}},
    {"998", {K::kBatchSummary, F::kNone, S::kNone, false, false}},
    {"900", {K::kBatchClose, F::kNone, S::kNone, false, false}},
    {"803", {K::kEmvKey, F::kNone, S::kNone, false, false}},
};

}  // namespace

CodeInfo LookUpCode(std::string_view code) {
  for (const Row& row : kRows) {
    if (row.code == code) return row.info;
  }
  return CodeInfo();
}

}  // namespace elavon_sim
