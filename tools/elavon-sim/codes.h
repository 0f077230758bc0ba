// What the host simulator knows about each three-digit Elavon transaction code:
// what kind of request it is, which card family it belongs to, whether an
// approval must be confirmed by an echo, and where an approval counts in the
// batch. Constant table; no lock.
#pragma once

#include <string_view>

namespace elavon_sim {

enum class RequestKind {
  kMoney,         // sale, return, authorisation: answered by the amount rules
  kCapture,       // "006": amount rules, after the referenced authorisation is found
  kBalance,       // balance inquiry: approved with the configured balances
  kToken,         // "810": amount rules, answer carries a token
  kVoid,          // "098", "198", "398": approved when the referenced approval is found
  kReversal,      // "099", "199", "399": always accepted
  kEcho,          // "197", "397": confirms the approval waiting for it
  kBatchSummary,  // "998"
  kBatchClose,    // "900"
  kEmvKey,        // "803"
  kUnknown,       // any other code, the empty one included: declined
};

enum class CardFamily { kCredit, kDebit, kEbt, kECheck, kNone };

// Where an approval of the code counts in the batch totals.
enum class BatchSlot { kNone, kCreditPurchase, kCreditReturn, kDebitPurchase, kDebitReturn };

struct CodeInfo {
  RequestKind kind = RequestKind::kUnknown;
  CardFamily family = CardFamily::kNone;
  BatchSlot slot = BatchSlot::kNone;
  bool needs_echo = false;  // approval final only after a good echo
  // The terminal takes the sequence number of an approval at once. Debit, EBT
  // and ECheck approvals are held until an echo instead (never taken when no
  // echo follows), except an ECheck void.
  bool approval_takes_sequence = false;
};

CodeInfo LookUpCode(std::string_view code);

}  // namespace elavon_sim
