#include "tools/elavon-sim/host_sim.h"

#include <algorithm>
#include <cinttypes>

#include "platform/text/format.h"
#include "tools/elavon-sim/codes.h"

namespace elavon_sim {

using platform::Format;

namespace {

constexpr int kSequenceWrap = 9950;  // host numbers run 0 to 9949
constexpr char kChecksumRefusal[] = "INVALID CHECKSUM";
constexpr char kFormatRefusal[] = "MESSAGE FORMAT ERROR";

std::string AmountText(int64_t cents) {
  int64_t magnitude = cents < 0 ? -cents : cents;
  return Format("%s%" PRId64 ".%02" PRId64, cents < 0 ? "-" : "", magnitude / 100, magnitude % 100);
}

// `text` cut or filled with `fill` on the right to exactly `width` characters.
std::string Fit(const std::string& text, size_t width, char fill) {
  std::string fitted = text.substr(0, width);
  fitted.resize(width, fill);
  return fitted;
}

// A voice authorisation sends a reference of zero fill only.
bool IsReference(const std::string& ref) { return ref.find_first_not_of('0') != std::string::npos; }

bool SameFamily(CardFamily request, CardFamily approval) {
  if (request == CardFamily::kDebit) return approval == CardFamily::kDebit || approval == CardFamily::kEbt;
  return request == approval;
}

// What field 02 and its companions say.
struct Result {
  const char* response_code = "ND";
  std::string text;
  std::string sequence;
  const Approval* approval = nullptr;  // references of an approval, else zeros
};

std::vector<std::string> Field02(const Result& result) {
  const Approval* a = result.approval;
  std::string subfield2 = "00";
  subfield2 += a ? a->auth_code : "000000";
  subfield2 += a ? a->echo_ref1 : "000000";
  subfield2 += a ? a->echo_ref2 : "000000";
  subfield2 += "000";
  subfield2 += result.sequence;
  std::vector<std::string> subfields = {result.response_code, subfield2, result.text};
  if (a) {
    subfields.push_back(a->approval_ref);
    subfields.push_back(a->transaction_ref);
  }
  return subfields;
}

// FID 80: an unused character, the address result, the card-code result, the
// network reference.
std::string Fid80(const RequestMessage& request, const Approval* approval) {
  char avs = 'U';
  char cvv = 'P';
  if (const Field* fid10 = request.Find("10")) {
    avs = fid10->Subfield(0).empty() ? 'N' : 'Y';
    if (fid10->Subfield(2).starts_with("1")) cvv = 'M';
  }
  std::string text = "0";
  text += avs;
  text += cvv;
  if (approval) text += approval->network_ref;
  return text;
}

}  // namespace

struct ElavonHostSim::Exchange {
  ReceivedRequest record;
  CodeInfo info;
};

const char* ActionName(Action action) {
  switch (action) {
    case Action::kRefusedChecksum: return "refused: checksum";
    case Action::kRefusedFormat: return "refused: format";
    case Action::kApproved: return "approved";
    case Action::kPartiallyApproved: return "partially approved";
    case Action::kDeclined: return "declined";
    case Action::kHostErrorText: return "host error text";
    case Action::kWithheld: return "withheld";
    case Action::kShortAnswer: return "short answer";
    case Action::kUnreadableAnswer: return "unreadable answer";
    case Action::kNoResultField: return "no result field";
    case Action::kEchoApproved: return "echo approved";
    case Action::kEchoDeclined: return "echo declined";
    case Action::kEchoUnanswered: return "echo unanswered";
    case Action::kEchoTakenNoResult: return "echo taken, answered without result";
    case Action::kReversed: return "reversed";
    case Action::kVoided: return "voided";
    case Action::kBatchSummary: return "batch summary";
    case Action::kBatchClosed: return "batch closed";
    case Action::kBatchNotClosed: return "batch not closed";
    case Action::kEmvKey: return "EMV key";
    case Action::kEmvKeyRefused: return "EMV key refused";
  }
  return "unknown";
}

const char* ReversalTargetName(ReversalTarget target) {
  switch (target) {
    case ReversalTarget::kNotApplicable: return "not a reversal";
    case ReversalTarget::kApproval: return "open approval";
    case ReversalTarget::kAlreadyCancelled: return "approval already reversed or voided";
    case ReversalTarget::kUnapproved: return "request received, not approved";
    case ReversalTarget::kNothing: return "nothing received";
  }
  return "unknown";
}

bool IsReversalRequest(std::string_view request) {
  RequestMessage message;
  const FrameStatus status = ParseRequest(request, &message);
  const bool header_read = status == FrameStatus::kOk || status == FrameStatus::kBadField;
  return header_read && LookUpCode(message.code).kind == RequestKind::kReversal;
}

ElavonHostSim::ElavonHostSim(HostSimOptions options)
    : options_(std::move(options)),
      confirmed_sequence_(std::clamp(options_.first_sequence, 0, kSequenceWrap - 1)),
      batch_number_(options_.first_batch_number) {
  if (options_.history_size == 0) options_.history_size = 1;
}

Reply ElavonHostSim::Handle(std::string_view request) {
  std::lock_guard<std::mutex> lock(mutex_);
  Exchange exchange;
  exchange.record.bytes = std::string(request);
  ++counters_.requests;
  exchange.record.number = counters_.requests;
  HandleLocked(exchange);
  Reply reply = exchange.record.reply;
  received_.push_back(std::move(exchange.record));
  while (received_.size() > options_.history_size) received_.pop_front();
  return reply;
}

std::string ElavonHostSim::Answer(std::string_view request) {
  Reply reply = Handle(request);
  return reply.outcome == Outcome::kNoAnswer ? std::string() : reply.bytes;
}

void ElavonHostSim::HandleLocked(Exchange& exchange) {
  ReceivedRequest& record = exchange.record;
  record.frame = ParseRequest(record.bytes, &record.message);
  if (record.frame == FrameStatus::kBadChecksum) {
    Refuse(exchange, Action::kRefusedChecksum, "checksum does not match");
    return;
  }
  if (record.frame != FrameStatus::kOk) {
    Refuse(exchange, Action::kRefusedFormat, FrameStatusText(record.frame));
    return;
  }
  exchange.info = LookUpCode(record.message.code);
  bool admin = exchange.info.kind == RequestKind::kBatchSummary || exchange.info.kind == RequestKind::kEmvKey;
  if (record.message.mode != (admin ? 'M' : 'A')) {
    Refuse(exchange, Action::kRefusedFormat, "header mode letter does not fit the code");
    return;
  }
  switch (exchange.info.kind) {
    case RequestKind::kMoney:
    case RequestKind::kCapture:
    case RequestKind::kBalance:
    case RequestKind::kToken: HandleFinancial(exchange); return;
    case RequestKind::kVoid: HandleVoid(exchange); return;
    case RequestKind::kReversal: HandleReversal(exchange); return;
    case RequestKind::kEcho: HandleEcho(exchange); return;
    case RequestKind::kBatchSummary: HandleBatchSummary(exchange); return;
    case RequestKind::kBatchClose: HandleBatchClose(exchange); return;
    case RequestKind::kEmvKey: HandleEmvKey(exchange); return;
    case RequestKind::kUnknown: HandleUnknown(exchange); return;
  }
}

void ElavonHostSim::Refuse(Exchange& exchange, Action action, const std::string& note) {
  ++counters_.refused;
  exchange.record.note = note;
  exchange.record.reply = Reply{Outcome::kRefused, action,
                                action == Action::kRefusedChecksum ? kChecksumRefusal : kFormatRefusal};
}

bool ElavonHostSim::ReadSequencedFid01(Exchange& exchange, Fid01* fid01) {
  ReceivedRequest& record = exchange.record;
  const Field* field = record.message.Find("01");
  if (field == nullptr) {
    Refuse(exchange, Action::kRefusedFormat, "FID 01 missing");
    return false;
  }
  if (!ReadFid01(*field, fid01)) {
    Refuse(exchange, Action::kRefusedFormat, "FID 01 layout");
    return false;
  }
  if (exchange.info.kind == RequestKind::kReversal) return true;
  record.sequence_checked = true;
  record.expected_sequence = Format("%04d", confirmed_sequence_);
  record.sequence_ok = fid01->sequence_number == confirmed_sequence_;
  if (!record.sequence_ok) {
    ++counters_.sequence_errors;
    record.note = "sequence " + fid01->sequence + ", expected " + record.expected_sequence;
  }
  return true;
}

std::string ElavonHostSim::NextSequenceText() const { return Format("%04d", confirmed_sequence_ + 1); }

int ElavonHostSim::NextSequenceValue() const { return (confirmed_sequence_ + 1) % kSequenceWrap; }

void ElavonHostSim::TakeNextSequence() { confirmed_sequence_ = NextSequenceValue(); }

void ElavonHostSim::AddIncident(const ReceivedRequest& record, const std::string& text) {
  incidents_.push_back(Format("request %d (%s): %s", record.number, record.message.code.c_str(), text.c_str()));
}

void ElavonHostSim::NoteMoneyRequest(Exchange& exchange, const Fid01& fid01) {
  ReceivedRequest& record = exchange.record;
  for (const MoneyRequest& earlier : money_requests_) {
    if (earlier.code == record.message.code && earlier.cents == fid01.amount_cents && earlier.card == fid01.card &&
        earlier.sequence == fid01.sequence) {
      record.repeated = true;
      record.repeat_of = earlier.number;
      ++counters_.repeated_requests;
      const std::string text = Format("repeated request: amount %s, sequence %s, as request %d",
                                      fid01.amount.c_str(), fid01.sequence.c_str(), earlier.number);
      if (record.note.empty()) record.note = text;  // a sequence error, when there is one, stays the note
      AddIncident(record, text);
      break;
    }
  }
  money_requests_.push_back(MoneyRequest{record.message.code, fid01.amount_cents, fid01.card, fid01.sequence,
                                         record.number});
}

Approval ElavonHostSim::NewApproval(const std::string& code, int64_t requested, int64_t approved) const {
  int id = ledger_.NextId();
  Approval approval;
  approval.code = code;
  approval.info = LookUpCode(code);
  approval.auth_code = Format("A%05d", id % 100000);
  approval.echo_ref1 = Format("%06d", id % 1000000);
  approval.echo_ref2 = Format("%06d", static_cast<int>((static_cast<int64_t>(id) * 7919) % 1000000));
  approval.approval_ref = Format("%06d%06d", batch_number_ % 1000000, id % 1000000);
  approval.transaction_ref = Format("T%09d", id);
  approval.network_ref = Format("NT%010d", id);
  approval.requested_cents = requested;
  approval.approved_cents = approved;
  return approval;
}

void ElavonHostSim::HandleFinancial(Exchange& exchange) {
  Fid01 fid01;
  if (!ReadSequencedFid01(exchange, &fid01)) return;
  if (exchange.info.kind != RequestKind::kBalance) NoteMoneyRequest(exchange, fid01);
  ledger_.DropAwaitingEcho();
  ReceivedRequest& record = exchange.record;
  const RequestMessage& request = record.message;
  const CodeInfo& info = exchange.info;
  MessageWriter answer(request.header);
  Result result;

  auto finish_decline = [&](const std::string& text) {
    result.response_code = "ND";
    result.text = text;
    result.sequence = NextSequenceText();
    TakeNextSequence();
    answer.Add("02", Field02(result));
    if (info.family == CardFamily::kCredit) answer.Add("80", {Fid80(request, nullptr)});
    if (info.family == CardFamily::kECheck) answer.Add("85", {"00", "", result.sequence, "", "", "CHECK DECLINED"});
    if (request.Has("16") && (info.family == CardFamily::kCredit || info.family == CardFamily::kDebit)) {
      answer.Add("86", {"00000000" "01" "0001" "0000000000000000"});
    }
    record.reply = Reply{Outcome::kAnswer, Action::kDeclined, answer.Finish()};
  };

  int captured_auth_id = 0;
  if (info.kind == RequestKind::kCapture) {
    if (const Field* field = request.Find("19")) {
      ApprovalRef ref;
      if (!ReadFid19(*field, &ref)) {
        Refuse(exchange, Action::kRefusedFormat, "FID 19 layout");
        return;
      }
      if (IsReference(ref.approval_ref)) {
        Approval* auth = ledger_.FindByAuth(ref.auth_code, ref.approval_ref, {ApprovalState::kFinal});
        if (auth == nullptr || auth->code != "001") {
          record.reference = ReferenceMatch::kUnmatched;
          record.note = "no open authorisation " + ref.auth_code + " " + ref.approval_ref;
          finish_decline("NO MATCH");
          return;
        }
        record.reference = ReferenceMatch::kMatched;
        captured_auth_id = auth->id;
      }
    }
  }

  AmountRule rule = info.kind == RequestKind::kBalance ? AmountRule::kApprove : RuleForAmount(fid01.amount_cents);
  switch (rule) {
    case AmountRule::kHostErrorText:
      record.reply = Reply{Outcome::kAnswer, Action::kHostErrorText, kHostErrorText};
      return;
    case AmountRule::kShortAnswer:
      record.reply = Reply{Outcome::kAnswer, Action::kShortAnswer, kShortAnswerText};
      return;
    case AmountRule::kUnreadableAnswer:
      record.reply = Reply{Outcome::kAnswer, Action::kUnreadableAnswer, kUnreadableAnswerText};
      return;
    case AmountRule::kNoResultField:
      answer.Add("87", {fid01.amount});
      record.reply = Reply{Outcome::kAnswer, Action::kNoResultField, answer.Finish()};
      return;
    case AmountRule::kNoAnswer: {
      Approval lost = NewApproval(request.code, fid01.amount_cents, fid01.amount_cents);
      lost.rule = rule;
      lost.state = ApprovalState::kLost;
      lost.request_sequence = fid01.sequence;
      record.approval_id = ledger_.Add(std::move(lost)).id;
      record.reply = Reply{Outcome::kNoAnswer, Action::kWithheld, std::string()};
      return;
    }
    case AmountRule::kDecline:
      finish_decline("DECLINED");
      return;
    case AmountRule::kApprove:
    case AmountRule::kPartial:
    case AmountRule::kApproveEchoUnanswered:
    case AmountRule::kApproveEchoDeclined:
    case AmountRule::kApproveEchoNoResult:
      break;
  }

  // An ECheck answer has no amount field, so it cannot approve part of the amount.
  bool partial = rule == AmountRule::kPartial && info.family != CardFamily::kECheck;
  int64_t approved = partial ? fid01.amount_cents / 2 : fid01.amount_cents;
  Approval approval = NewApproval(request.code, fid01.amount_cents, approved);
  approval.rule = rule;
  approval.request_sequence = fid01.sequence;
  approval.answer_sequence = NextSequenceText();
  approval.answer_sequence_number = NextSequenceValue();
  result.response_code = partial ? "AP" : "AA";
  result.text = partial ? "PARTIAL APPROVAL" : "APPROVAL " + approval.auth_code;
  result.sequence = approval.answer_sequence;
  result.approval = &approval;

  // The terminal reads a partial approval that the request did not allow as a decline.
  bool counts = !partial || fid01.flag == '1' || request.Has("17");
  if (counts) {
    approval.state = info.needs_echo ? ApprovalState::kAwaitingEcho : ApprovalState::kFinal;
    if (info.approval_takes_sequence) TakeNextSequence();
    if (Approval* auth = ledger_.FindById(captured_auth_id)) auth->state = ApprovalState::kCaptured;
    const Approval& stored = ledger_.Add(approval);
    record.approval_id = stored.id;
    result.approval = &stored;
  } else {
    TakeNextSequence();
    record.note = "partial approval not allowed by the request";
  }

  answer.Add("02", Field02(result));
  std::string approved_text = Format("%" PRId64, approved);
  switch (info.family) {
    case CardFamily::kCredit:
      answer.Add("80", {Fid80(request, result.approval)});
      if (info.kind == RequestKind::kBalance) {
        answer.Add("87", {approved_text, Format("%" PRId64, options_.balance_cents)});
      } else {
        answer.Add("87", {approved_text});
        answer.Add("8E", {Format("TKN%013d", result.approval->id)});
      }
      break;
    case CardFamily::kDebit:
      answer.Add("87", {approved_text});
      break;
    case CardFamily::kEbt:
      answer.Add("87", {approved_text, Format("%" PRId64, options_.food_stamp_balance_cents),
                        Format("%" PRId64, options_.cash_benefit_balance_cents)});
      break;
    case CardFamily::kECheck:
      answer.Add("85", {"00", "", result.sequence, "", "", "CHECK APPROVED"});
      break;
    case CardFamily::kNone:
      break;
  }
  if (request.Has("16") && (info.family == CardFamily::kCredit || info.family == CardFamily::kDebit)) {
    // Subfield 1: 8 unused characters, PAN sequence 01, ATC 0001, issuer
    // authentication data of 8 bytes.
    answer.Add("86", {"00000000" "01" "0001" "A1B2C3D4E5F60718"});
  }
  record.reply = Reply{Outcome::kAnswer, partial ? Action::kPartiallyApproved : Action::kApproved, answer.Finish()};
}

void ElavonHostSim::HandleVoid(Exchange& exchange) {
  Fid01 fid01;
  if (!ReadSequencedFid01(exchange, &fid01)) return;
  NoteMoneyRequest(exchange, fid01);
  ledger_.DropAwaitingEcho();
  ReceivedRequest& record = exchange.record;
  const RequestMessage& request = record.message;
  Fid04 fid04;
  ApprovalRef fid59;
  const Field* field04 = request.Find("04");
  const Field* field59 = request.Find("59");
  if ((field04 && !ReadFid04(*field04, &fid04)) || (field59 && !ReadFid59(*field59, &fid59))) {
    Refuse(exchange, Action::kRefusedFormat, "FID 04 or 59 layout");
    return;
  }
  Approval* target = ledger_.FindByTransactionRef(fid04.transaction_ref, {ApprovalState::kFinal});
  if (target == nullptr && field59) target = ledger_.FindByAuth(fid59.auth_code, fid59.approval_ref, {ApprovalState::kFinal});
  if (target && !SameFamily(exchange.info.family, target->info.family)) target = nullptr;

  MessageWriter answer(request.header);
  Result result;
  result.sequence = NextSequenceText();
  if (target == nullptr) {
    record.reference = ReferenceMatch::kUnmatched;
    record.note = "no open approval for reference '" + fid04.transaction_ref + "'";
    result.text = "NO MATCH";
    TakeNextSequence();
    answer.Add("02", Field02(result));
    record.reply = Reply{Outcome::kAnswer, Action::kDeclined, answer.Finish()};
    return;
  }
  target->state = ApprovalState::kVoided;
  record.reference = ReferenceMatch::kMatched;
  record.approval_id = target->id;
  if (exchange.info.approval_takes_sequence) TakeNextSequence();
  result.response_code = "AA";
  result.text = "VOID APPROVED";
  result.approval = target;
  answer.Add("02", Field02(result));
  record.reply = Reply{Outcome::kAnswer, Action::kVoided, answer.Finish()};
}

void ElavonHostSim::HandleReversal(Exchange& exchange) {
  Fid01 fid01;
  if (!ReadSequencedFid01(exchange, &fid01)) return;
  ReceivedRequest& record = exchange.record;
  const RequestMessage& request = record.message;
  Fid04 fid04;
  const Field* field04 = request.Find("04");
  if (field04 == nullptr || !ReadFid04(*field04, &fid04)) {
    Refuse(exchange, Action::kRefusedFormat, "FID 04 missing or layout");
    return;
  }
  std::vector<ApprovalRef> refs;  // of FID 59, then FID 19
  for (const char* fid : {"59", "19"}) {
    const Field* field = request.Find(fid);
    if (field == nullptr) continue;
    ApprovalRef ref;
    bool read = fid[0] == '5' ? ReadFid59(*field, &ref) : ReadFid19(*field, &ref);
    if (!read) {
      Refuse(exchange, Action::kRefusedFormat, std::string("FID ") + fid + " layout");
      return;
    }
    refs.push_back(ref);
  }
  ++counters_.reversals;
  // The approval in one of `states` that the reversal names by its references, else
  // by code, amount and sequence number: a time-out reversal names the request it
  // cancels so (a withheld answer, an approval whose answer the terminal never
  // read, one whose echo failed).
  const auto named = [&](std::initializer_list<ApprovalState> states, bool waiting_for_echo) -> Approval* {
    Approval* found = nullptr;
    for (const ApprovalRef& ref : refs) {
      if (found == nullptr) found = ledger_.FindByAuth(ref.auth_code, ref.approval_ref, states);
    }
    if (found == nullptr && waiting_for_echo) {
      Approval* waiting = ledger_.AwaitingEcho();
      if (waiting && waiting->code == fid04.code && waiting->approved_cents == fid01.amount_cents) found = waiting;
    }
    if (found == nullptr) found = ledger_.FindBySequence(fid04.code, fid01.amount_cents, fid01.sequence, states);
    if (found && !SameFamily(exchange.info.family, found->info.family)) found = nullptr;
    return found;
  };
  Approval* target = named({ApprovalState::kFinal, ApprovalState::kAwaitingEcho, ApprovalState::kLost,
                            ApprovalState::kUnconfirmed},
                           true);

  if (target) {
    target->state = ApprovalState::kReversed;
    record.reference = ReferenceMatch::kMatched;
    record.reversal = ReversalTarget::kApproval;
    record.approval_id = target->id;
  } else {
    record.reference = ReferenceMatch::kUnmatched;
    record.note = "no approval of code " + fid04.code + " to reverse";
    if (const Approval* cancelled = named({ApprovalState::kReversed, ApprovalState::kVoided}, false)) {
      record.reversal = ReversalTarget::kAlreadyCancelled;
      record.approval_id = cancelled->id;
      ++counters_.repeated_reversals;
      const std::string text = Format("repeated reversal: approval %d (code %s, amount %" PRId64 ") is already %s",
                                      cancelled->id, cancelled->code.c_str(), cancelled->requested_cents,
                                      ApprovalStateName(cancelled->state));
      record.note += "; " + text;
      AddIncident(record, text);
    } else {
      const bool received = std::any_of(money_requests_.begin(), money_requests_.end(), [&](const MoneyRequest& m) {
        return m.code == fid04.code && m.cents == fid01.amount_cents && m.sequence == fid01.sequence;
      });
      if (received) {
        record.reversal = ReversalTarget::kUnapproved;
        ++counters_.reversals_of_unapproved;
        record.note += "; the request was received but not approved";
      } else {
        record.reversal = ReversalTarget::kNothing;
        ++counters_.unmatched_reversals;
        const std::string text = Format("unmatched reversal: no request of code %s, amount %s, sequence %s was received",
                                        fid04.code.c_str(), fid01.amount.c_str(), fid01.sequence.c_str());
        AddIncident(record, text);
      }
    }
  }
  MessageWriter answer(request.header);
  Result result;
  result.response_code = "AA";
  result.text = "REVERSED";
  result.sequence = Format("%04d", confirmed_sequence_);
  result.approval = target;
  answer.Add("02", Field02(result));
  record.reply = Reply{Outcome::kAnswer, Action::kReversed, answer.Finish()};
}

void ElavonHostSim::HandleEcho(Exchange& exchange) {
  ReceivedRequest& record = exchange.record;
  const RequestMessage& request = record.message;
  const Field* field = request.Find("52");
  Fid52 echo;
  if (field == nullptr || !ReadFid52(*field, &echo)) {
    Refuse(exchange, Action::kRefusedFormat, "FID 52 missing or layout");
    return;
  }
  Approval* waiting = ledger_.AwaitingEcho();
  std::string mismatch;
  if (waiting == nullptr) {
    mismatch = "no approval waits for an echo";
  } else if (request.code != (waiting->info.family == CardFamily::kECheck ? "397" : "197")) {
    mismatch = "echo code " + request.code + " does not fit approval code " + waiting->code;
  } else if (echo.echo_ref1 != waiting->echo_ref1 || echo.echo_ref2 != waiting->echo_ref2) {
    mismatch = "echo references " + echo.echo_ref1 + echo.echo_ref2 + ", expected " + waiting->echo_ref1 +
               waiting->echo_ref2;
  } else if (echo.reference != waiting->answer_sequence ||
             waiting->answer_sequence_number != NextSequenceValue()) {
    mismatch = "echo sequence " + echo.reference + ", expected " + NextSequenceText();
  } else if (echo.amount_cents != waiting->approved_cents) {
    mismatch = "echo amount " + echo.amount + ", expected " + Format("%" PRId64, waiting->approved_cents);
  }

  MessageWriter answer(request.header);
  Result result;
  result.sequence = waiting ? waiting->answer_sequence : NextSequenceText();
  result.approval = waiting;
  if (waiting) record.approval_id = waiting->id;
  if (!mismatch.empty() || waiting->rule == AmountRule::kApproveEchoDeclined) {
    if (!mismatch.empty()) {
      ++counters_.echo_mismatches;
      record.note = mismatch;
    }
    if (waiting) waiting->state = ApprovalState::kUnconfirmed;
    result.text = mismatch.empty() ? "ECHO DECLINED" : "ECHO MISMATCH";
    answer.Add("02", Field02(result));
    record.reply = Reply{Outcome::kAnswer, Action::kEchoDeclined, answer.Finish()};
    return;
  }
  if (waiting->rule == AmountRule::kApproveEchoUnanswered) {
    record.reply = Reply{Outcome::kNoAnswer, Action::kEchoUnanswered, std::string()};
    return;
  }
  waiting->state = ApprovalState::kFinal;
  confirmed_sequence_ = waiting->answer_sequence_number;
  if (waiting->rule == AmountRule::kApproveEchoNoResult) {
    answer.Add("87", {Format("%" PRId64, waiting->approved_cents)});
    record.reply = Reply{Outcome::kAnswer, Action::kEchoTakenNoResult, answer.Finish()};
    return;
  }
  result.response_code = "AA";
  result.text = "APPROVAL";
  answer.Add("02", Field02(result));
  record.reply = Reply{Outcome::kAnswer, Action::kEchoApproved, answer.Finish()};
}

namespace {

// FID 89: batch number and text, signed net total, item count, then amount and
// count of credit purchases, credit returns, debit purchases, debit returns.
std::vector<std::string> Fid89(const std::string& batch_number, const std::string& text, const BatchTotals& t) {
  int64_t net = t.NetCents();
  return {batch_number + text,
          (net < 0 ? "-" : "+") + AmountText(net < 0 ? -net : net),
          Format("%" PRId64, t.ItemCount()),
          AmountText(t.credit_purchase_cents),
          Format("%" PRId64, t.credit_purchase_count),
          AmountText(t.credit_return_cents),
          Format("%" PRId64, t.credit_return_count),
          AmountText(t.debit_purchase_cents),
          Format("%" PRId64, t.debit_purchase_count),
          AmountText(t.debit_return_cents),
          Format("%" PRId64, t.debit_return_count)};
}

}  // namespace

void ElavonHostSim::HandleBatchSummary(Exchange& exchange) {
  ledger_.DropAwaitingEcho();
  ReceivedRequest& record = exchange.record;
  MessageWriter answer(record.message.header);
  answer.Add("89", Fid89(Format("%03d", batch_number_ % 1000), "APPROVAL", ledger_.Totals()));
  record.reply = Reply{Outcome::kAnswer, Action::kBatchSummary, answer.Finish()};
}

void ElavonHostSim::HandleBatchClose(Exchange& exchange) {
  ReceivedRequest& record = exchange.record;
  const Field* field = record.message.Find("90");
  Fid90 close;
  if (field == nullptr || !ReadFid90(*field, &close)) {
    Refuse(exchange, Action::kRefusedFormat, "FID 90 missing or layout");
    return;
  }
  ledger_.DropAwaitingEcho();
  BatchTotals totals = ledger_.Totals();
  bool balanced = close.item_count == totals.ItemCount() && close.total_cents == totals.NetCents();
  if (!balanced) {
    record.note = Format("batch %" PRId64 " items %" PRId64 " cents, host %" PRId64 " items %" PRId64 " cents",
                         close.item_count, close.total_cents, totals.ItemCount(), totals.NetCents());
  }
  const char* text = "RB OUT OF BALANCE";
  bool closes = false;
  switch (close_mode_) {
    case BatchCloseMode::kCheckTotals:
      closes = balanced;
      if (balanced) text = "GB CLOSED";
      break;
    case BatchCloseMode::kUploadTips:
      closes = true;
      text = "RB UPLOAD TIPS";
      break;
    case BatchCloseMode::kOutOfBalance:
      break;
  }
  MessageWriter answer(record.message.header);
  answer.Add("89", Fid89(close.batch_number, text, totals));
  if (closes) {
    ledger_.Clear();
    money_requests_.clear();
    confirmed_sequence_ = 0;
    batch_number_ = batch_number_ % 999 + 1;
    ++counters_.batches_closed;
  }
  record.reply = Reply{Outcome::kAnswer, closes ? Action::kBatchClosed : Action::kBatchNotClosed, answer.Finish()};
}

void ElavonHostSim::HandleEmvKey(Exchange& exchange) {
  ReceivedRequest& record = exchange.record;
  const Field* field = record.message.Find("77");
  int index = 0;
  if (field == nullptr || !ReadFid77(*field, &index)) {
    Refuse(exchange, Action::kRefusedFormat, "FID 77 missing or layout");
    return;
  }
  ledger_.DropAwaitingEcho();
  if (index != 0 && index != emv_next_index_) {
    ++counters_.emv_order_errors;
    record.note = Format("key index %d, expected 0 or %d", index, emv_next_index_);
  }
  MessageWriter answer(record.message.header);
  if (index >= static_cast<int>(options_.emv_keys.size())) {
    Result result;
    result.text = "INVALID KEY INDEX";
    result.sequence = Format("%04d", confirmed_sequence_);
    answer.Add("02", Field02(result));
    emv_next_index_ = 0;
    record.reply = Reply{Outcome::kAnswer, Action::kEmvKeyRefused, answer.Finish()};
    return;
  }
  const EmvKey& key = options_.emv_keys[static_cast<size_t>(index)];
  int next = index + 1;
  bool more = next < static_cast<int>(options_.emv_keys.size());
  ++counters_.emv_rounds;
  if (more) {
    emv_next_index_ = next;
  } else {
    emv_next_index_ = 0;
    ++counters_.emv_downloads_completed;
  }
  std::string expiry = Fit(key.expiry, 6, '0');
  std::string key_part = more ? "1" : "0";
  key_part += "00" + Fit(key.rid, 10, '0') + Fit(key.index, 2, '0') +
              Format("%04zu", key.modulus.size() / 2) + key.modulus;
  answer.Add("78", {Format("%04d", next), key_part, key.exponent,
                    Fit(key.check, 40, '0') + "00" + expiry.substr(4, 2) + expiry.substr(2, 2) + expiry.substr(0, 2)});
  record.reply = Reply{Outcome::kAnswer, Action::kEmvKey, answer.Finish()};
}

void ElavonHostSim::HandleUnknown(Exchange& exchange) {
  ReceivedRequest& record = exchange.record;
  if (record.message.Has("01")) {
    Fid01 fid01;
    if (!ReadSequencedFid01(exchange, &fid01)) return;
  }
  ledger_.DropAwaitingEcho();
  record.note = "unknown transaction code '" + record.message.code + "'";
  MessageWriter answer(record.message.header);
  Result result;
  result.text = "INVALID TRAN CODE";
  result.sequence = NextSequenceText();
  TakeNextSequence();
  answer.Add("02", Field02(result));
  record.reply = Reply{Outcome::kAnswer, Action::kDeclined, answer.Finish()};
}

int ElavonHostSim::ConfirmedSequence() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return confirmed_sequence_;
}

void ElavonHostSim::SetConfirmedSequence(int sequence) {
  std::lock_guard<std::mutex> lock(mutex_);
  confirmed_sequence_ = std::clamp(sequence, 0, kSequenceWrap - 1);
}

void ElavonHostSim::SetBatchCloseMode(BatchCloseMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  close_mode_ = mode;
}

int ElavonHostSim::BatchNumber() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return batch_number_;
}

std::vector<ReceivedRequest> ElavonHostSim::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<ReceivedRequest>(received_.begin(), received_.end());
}

std::optional<ReceivedRequest> ElavonHostSim::LastReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (received_.empty()) return std::nullopt;
  return received_.back();
}

std::vector<Approval> ElavonHostSim::Approvals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ledger_.All();
}

BatchTotals ElavonHostSim::Totals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ledger_.Totals();
}

LedgerCounts ElavonHostSim::GetLedgerCounts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ledger_.Counts();
}

std::vector<std::string> ElavonHostSim::Incidents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return incidents_;
}

Counters ElavonHostSim::GetCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

}  // namespace elavon_sim
