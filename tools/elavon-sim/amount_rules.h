// The amount table of the Elavon host simulator: the cents of a request's amount
// (FID 01) choose the answer. Sales, returns, authorisations, captures, token
// requests and the debit, EBT and ECheck money requests follow it; balance
// inquiries (amount 0), voids, reversals, echoes, batch and EMV requests do not.
//
//   cents  answer
//   .51    decline: field 02 code "ND", text "DECLINED"
//   .52    partial approval: code "AP", FID 87 approving half the amount (cents
//          rounded down), text "PARTIAL APPROVAL"; counts as an approval only
//          when the request allows it (FID 01 flag '1', or FSA field 17 present),
//          else as a decline; an ECheck request gets a plain approval
//   .53    host error text: the bare 17-byte text "HOST SYSTEM ERROR", no frame
//   .54    no answer: nothing is sent (the transport drops the exchange); the
//          host keeps the transaction as lost until a reversal cancels it
//   .55    approval; the echo that confirms it gets no answer
//   .56    approval; the echo that confirms it is declined
//          (.55 and .56 approve plainly where no echo follows)
//   .57    an answer too short to read: the bare 5-byte text "ERROR"
//   .58    an unreadable answer: 31 printable bytes without any field separator
//   .59    a framed answer without field 02
//   .60    approval; the echo that confirms it is taken (the approval is final)
//          but answered with a framed answer without field 02 (likewise)
//   other  approval: code "AA", text "APPROVAL " and the authorisation code
// Stateless; no lock.
#pragma once

#include <cstdint>

namespace elavon_sim {

enum class AmountRule {
  kApprove,
  kDecline,
  kPartial,
  kHostErrorText,
  kNoAnswer,
  kApproveEchoUnanswered,
  kApproveEchoDeclined,
  kShortAnswer,
  kUnreadableAnswer,
  kNoResultField,
  kApproveEchoNoResult,
};

AmountRule RuleForAmount(int64_t cents);
const char* AmountRuleName(AmountRule rule);

inline constexpr char kHostErrorText[] = "HOST SYSTEM ERROR";
inline constexpr char kShortAnswerText[] = "ERROR";
inline constexpr char kUnreadableAnswerText[] = "UNREADABLE ANSWER FROM THE HOST";

}  // namespace elavon_sim
