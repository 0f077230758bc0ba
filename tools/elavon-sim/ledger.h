// The approvals the host simulator has given in the open batch, so that voids,
// captures, reversals and echoes that refer to one can be matched, and the batch
// totals that follow from them. No lock of its own: its owner serialises access.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/elavon-sim/amount_rules.h"
#include "tools/elavon-sim/codes.h"

namespace elavon_sim {

enum class ApprovalState {
  kAwaitingEcho,  // approved, not final until its echo is approved
  kFinal,         // approved and final
  kLost,          // approved but the answer was withheld (rule .54)
  kUnconfirmed,   // its echo was declined or never came
  kVoided,
  kReversed,
  kCaptured,      // an authorisation that a capture has used
};

const char* ApprovalStateName(ApprovalState state);

struct Approval {
  int id = 0;
  std::string code;
  CodeInfo info;
  AmountRule rule = AmountRule::kApprove;
  std::string auth_code;         // 6 characters, field 02 subfield 2
  std::string echo_ref1;         // 6 characters, field 02 subfield 2
  std::string echo_ref2;         // 6 characters, field 02 subfield 2
  std::string approval_ref;      // field 02 subfield 4 (AcqRefData items 2 and 3)
  std::string transaction_ref;   // field 02 subfield 5 (AcqRefData item 7)
  std::string network_ref;       // FID 80 from its sixth character (AcqRefData item 1)
  std::string request_sequence;  // FID 01 sequence of the request
  std::string answer_sequence;   // the host sequence number in the answer
  int answer_sequence_number = 0;
  int64_t requested_cents = 0;
  int64_t approved_cents = 0;
  ApprovalState state = ApprovalState::kFinal;
};

struct BatchTotals {
  int64_t credit_purchase_cents = 0;
  int64_t credit_purchase_count = 0;
  int64_t credit_return_cents = 0;
  int64_t credit_return_count = 0;
  int64_t debit_purchase_cents = 0;
  int64_t debit_purchase_count = 0;
  int64_t debit_return_cents = 0;
  int64_t debit_return_count = 0;

  int64_t ItemCount() const {
    return credit_purchase_count + credit_return_count + debit_purchase_count + debit_return_count;
  }
  // Purchases minus returns.
  int64_t NetCents() const {
    return credit_purchase_cents - credit_return_cents + debit_purchase_cents - debit_return_cents;
  }
};

// What the host holds of one card family's approvals in the open batch. Counted
// are approvals that move money (sales, returns, authorisations, captures, debit,
// EBT and ECheck money requests), not balance inquiries or token requests.
struct FamilyCounts {
  int approvals = 0;  // approvals given, whatever became of them since
  int reversed = 0;   // cancelled by a reversal
  int voided = 0;     // cancelled by a void
  // Approvals the host may still hold: final, awaiting its echo, lost (answer
  // withheld), unconfirmed (echo declined or never came) or captured; that is,
  // every approval neither reversed nor voided.
  int held = 0;
  int64_t held_cents = 0;  // their approved amounts
};

struct LedgerCounts {
  FamilyCounts credit;
  FamilyCounts debit;
  FamilyCounts ebt;
  FamilyCounts echeck;

  // The counts of a family; kNone reads as all zero.
  const FamilyCounts& Of(CardFamily family) const;
  // The four families summed.
  FamilyCounts Total() const;
};

// The approval moves money (see FamilyCounts) and is neither reversed nor voided.
bool HeldByHost(const Approval& approval);

class ApprovalLedger {
 public:
  // Stores the approval with the next id (from 1) and returns that stored copy.
  Approval& Add(Approval approval);
  Approval* FindById(int id);
  // The newest approval with these references in one of `states`, or nullptr.
  Approval* FindByTransactionRef(const std::string& ref, std::initializer_list<ApprovalState> states);
  Approval* FindByAuth(const std::string& auth_code, const std::string& approval_ref,
                       std::initializer_list<ApprovalState> states);
  // The newest lost approval of this code, amount and request sequence number.
  Approval* FindLost(const std::string& code, int64_t cents, const std::string& sequence);
  // The newest approval of this code, amount and request sequence number in one of
  // `states`.
  Approval* FindBySequence(const std::string& code, int64_t cents, const std::string& sequence,
                           std::initializer_list<ApprovalState> states);
  // The newest approval waiting for its echo.
  Approval* AwaitingEcho();
  // Every approval waiting for an echo becomes unconfirmed.
  void DropAwaitingEcho();

  BatchTotals Totals() const;
  // Per card family, over the approvals of the open batch.
  LedgerCounts Counts() const;
  // Forgets every approval: the batch is closed and nothing in it can be referred to.
  void Clear() { approvals_.clear(); }
  const std::vector<Approval>& All() const { return approvals_; }
  int NextId() const { return next_id_; }

 private:
  std::vector<Approval> approvals_;
  int next_id_ = 1;
};

}  // namespace elavon_sim
