#include "tools/elavon-sim/amount_rules.h"

namespace elavon_sim {

AmountRule RuleForAmount(int64_t cents) {
  switch (cents % 100) {
    case 51: return AmountRule::kDecline;
    case 52: return AmountRule::kPartial;
    case 53: return AmountRule::kHostErrorText;
    case 54: return AmountRule::kNoAnswer;
    case 55: return AmountRule::kApproveEchoUnanswered;
    case 56: return AmountRule::kApproveEchoDeclined;
    case 57: return AmountRule::kShortAnswer;
    case 58: return AmountRule::kUnreadableAnswer;
    case 59: return AmountRule::kNoResultField;
    case 60: return AmountRule::kApproveEchoNoResult;
    default: return AmountRule::kApprove;
  }
}

const char* AmountRuleName(AmountRule rule) {
  switch (rule) {
    case AmountRule::kApprove: return "approve";
    case AmountRule::kDecline: return "decline";
    case AmountRule::kPartial: return "partial";
    case AmountRule::kHostErrorText: return "host error text";
    case AmountRule::kNoAnswer: return "no answer";
    case AmountRule::kApproveEchoUnanswered: return "approve, echo unanswered";
    case AmountRule::kApproveEchoDeclined: return "approve, echo declined";
    case AmountRule::kShortAnswer: return "short answer";
    case AmountRule::kUnreadableAnswer: return "unreadable answer";
    case AmountRule::kNoResultField: return "no result field";
    case AmountRule::kApproveEchoNoResult: return "approve, echo answered without result";
  }
  return "unknown";
}

}  // namespace elavon_sim
