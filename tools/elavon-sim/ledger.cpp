#include "tools/elavon-sim/ledger.h"

#include <algorithm>

namespace elavon_sim {

namespace {

bool In(ApprovalState state, std::initializer_list<ApprovalState> states) {
  return std::find(states.begin(), states.end(), state) != states.end();
}

bool CountsInBatch(const Approval& approval) {
  if (approval.state == ApprovalState::kFinal) return true;
  // A lost answer still leaves the transaction at the host, unless it needed an
  // echo that the terminal could never send.
  return approval.state == ApprovalState::kLost && !approval.info.needs_echo;
}

// An approval whose money the host holds until a void or reversal cancels it.
bool MovesMoney(const Approval& approval) {
  return approval.info.kind == RequestKind::kMoney || approval.info.kind == RequestKind::kCapture;
}

FamilyCounts* CountsOf(LedgerCounts* counts, CardFamily family) {
  switch (family) {
    case CardFamily::kCredit: return &counts->credit;
    case CardFamily::kDebit: return &counts->debit;
    case CardFamily::kEbt: return &counts->ebt;
    case CardFamily::kECheck: return &counts->echeck;
    case CardFamily::kNone: break;
  }
  return nullptr;
}

}  // namespace

bool HeldByHost(const Approval& approval) {
  return MovesMoney(approval) && approval.state != ApprovalState::kReversed &&
         approval.state != ApprovalState::kVoided;
}

const FamilyCounts& LedgerCounts::Of(CardFamily family) const {
  static const FamilyCounts kNone;
  switch (family) {
    case CardFamily::kCredit: return credit;
    case CardFamily::kDebit: return debit;
    case CardFamily::kEbt: return ebt;
    case CardFamily::kECheck: return echeck;
    case CardFamily::kNone: break;
  }
  return kNone;
}

FamilyCounts LedgerCounts::Total() const {
  FamilyCounts total;
  for (const FamilyCounts* f : {&credit, &debit, &ebt, &echeck}) {
    total.approvals += f->approvals;
    total.reversed += f->reversed;
    total.voided += f->voided;
    total.held += f->held;
    total.held_cents += f->held_cents;
  }
  return total;
}

const char* ApprovalStateName(ApprovalState state) {
  switch (state) {
    case ApprovalState::kAwaitingEcho: return "awaiting echo";
    case ApprovalState::kFinal: return "final";
    case ApprovalState::kLost: return "lost";
    case ApprovalState::kUnconfirmed: return "unconfirmed";
    case ApprovalState::kVoided: return "voided";
    case ApprovalState::kReversed: return "reversed";
    case ApprovalState::kCaptured: return "captured";
  }
  return "unknown";
}

Approval& ApprovalLedger::Add(Approval approval) {
  approval.id = next_id_++;
  approvals_.push_back(std::move(approval));
  return approvals_.back();
}

Approval* ApprovalLedger::FindById(int id) {
  for (Approval& approval : approvals_) {
    if (approval.id == id) return &approval;
  }
  return nullptr;
}

Approval* ApprovalLedger::FindByTransactionRef(const std::string& ref,
                                               std::initializer_list<ApprovalState> states) {
  if (ref.empty()) return nullptr;
  for (auto it = approvals_.rbegin(); it != approvals_.rend(); ++it) {
    if (it->transaction_ref == ref && In(it->state, states)) return &*it;
  }
  return nullptr;
}

Approval* ApprovalLedger::FindByAuth(const std::string& auth_code, const std::string& approval_ref,
                                     std::initializer_list<ApprovalState> states) {
  if (auth_code.empty() || approval_ref.empty()) return nullptr;
  for (auto it = approvals_.rbegin(); it != approvals_.rend(); ++it) {
    if (it->auth_code == auth_code && it->approval_ref == approval_ref && In(it->state, states)) {
      return &*it;
    }
  }
  return nullptr;
}

Approval* ApprovalLedger::FindLost(const std::string& code, int64_t cents, const std::string& sequence) {
  return FindBySequence(code, cents, sequence, {ApprovalState::kLost});
}

Approval* ApprovalLedger::FindBySequence(const std::string& code, int64_t cents, const std::string& sequence,
                                         std::initializer_list<ApprovalState> states) {
  for (auto it = approvals_.rbegin(); it != approvals_.rend(); ++it) {
    bool wanted = false;
    for (ApprovalState state : states) wanted = wanted || it->state == state;
    if (wanted && it->code == code && it->requested_cents == cents && it->request_sequence == sequence) {
      return &*it;
    }
  }
  return nullptr;
}

Approval* ApprovalLedger::AwaitingEcho() {
  for (auto it = approvals_.rbegin(); it != approvals_.rend(); ++it) {
    if (it->state == ApprovalState::kAwaitingEcho) return &*it;
  }
  return nullptr;
}

void ApprovalLedger::DropAwaitingEcho() {
  for (Approval& approval : approvals_) {
    if (approval.state == ApprovalState::kAwaitingEcho) approval.state = ApprovalState::kUnconfirmed;
  }
}

LedgerCounts ApprovalLedger::Counts() const {
  LedgerCounts counts;
  for (const Approval& approval : approvals_) {
    FamilyCounts* family = CountsOf(&counts, approval.info.family);
    if (family == nullptr || !MovesMoney(approval)) continue;
    ++family->approvals;
    if (approval.state == ApprovalState::kReversed) {
      ++family->reversed;
    } else if (approval.state == ApprovalState::kVoided) {
      ++family->voided;
    } else {
      ++family->held;
      family->held_cents += approval.approved_cents;
    }
  }
  return counts;
}

BatchTotals ApprovalLedger::Totals() const {
  BatchTotals totals;
  for (const Approval& approval : approvals_) {
    if (!CountsInBatch(approval)) continue;
    int64_t cents = approval.approved_cents;
    switch (approval.info.slot) {
      case BatchSlot::kNone: break;
      case BatchSlot::kCreditPurchase:
        totals.credit_purchase_cents += cents;
        ++totals.credit_purchase_count;
        break;
      case BatchSlot::kCreditReturn:
        totals.credit_return_cents += cents;
        ++totals.credit_return_count;
        break;
      case BatchSlot::kDebitPurchase:
        totals.debit_purchase_cents += cents;
        ++totals.debit_purchase_count;
        break;
      case BatchSlot::kDebitReturn:
        totals.debit_return_cents += cents;
        ++totals.debit_return_count;
        break;
    }
  }
  return totals;
}

}  // namespace elavon_sim
