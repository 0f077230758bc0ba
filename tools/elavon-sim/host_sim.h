// ElavonHostSim: the message side of a stand-in Elavon host for tests. It takes
// one request message (bytes as the terminal sends them: STX .. ETX checksum)
// and gives the answer message, by the rules below, keeping the state a host
// keeps between requests. It knows nothing of transport: the TLS/HTTP gateway
// and the dial-up line sit on top and only move bytes.
//
// Thread safety: every public member takes the simulator's one mutex, so several
// connections may share one simulator; requests are then answered one at a time.
//
// Amount table (the cents of the FID 01 amount of a sale, return, authorisation,
// capture, token request or debit/EBT/ECheck money request):
//   .51    decline: field 02 "ND", text "DECLINED"
//   .52    partial approval: field 02 "AP", FID 87 with half the amount (cents
//          rounded down), text "PARTIAL APPROVAL". Counts as an approval only
//          when the request allows it (FID 01 flag '1', or FSA field 17), else
//          as a decline, as the terminal reads it. ECheck: a plain approval
//   .53    bare text "HOST SYSTEM ERROR" (17 bytes, no frame): a host error text
//   .54    no answer (Outcome::kNoAnswer); the transaction stays at the host as
//          lost, and counts in the batch, until a reversal cancels it
//   .55    approval whose echo is not answered (codes without an echo: a
//          plain approval)
//   .56    approval whose echo is declined ("ND", "ECHO DECLINED"; likewise)
//   .57    bare text "ERROR" (5 bytes): an answer too short to read
//   .58    31 printable bytes without GS: an unreadable answer
//   .59    a framed answer without field 02
//   .60    approval whose echo is taken (the approval becomes final, C moves
//          on) but answered without field 02 (codes without an echo: a plain
//          approval); a reversal then finds it by code, amount and sequence
//   other  approval: "AA", text "APPROVAL " + authorisation code
// Balance inquiries approve with the configured balances.
//
// Other rules:
// - Frame: a request with a wrong checksum (XOR of byte 1 through ETX) is
//   refused with the bare text "INVALID CHECKSUM"; one that is not a well-formed
//   request (frame, header, 'M' only for "998"/"803", field layouts) with
//   "MESSAGE FORMAT ERROR". Outcome::kRefused: the gateway may send the text,
//   the dial line answers NAK instead.
// - Sequence numbers: the host keeps the confirmed number C (from
//   HostSimOptions::first_sequence). Every request with FID 01, except a
//   reversal, must carry C; a different number is counted in
//   Counters::sequence_errors and noted, and the request is answered all the
//   same. An answer with field 02 carries the number C+1 (sent as "9950" when C
//   is 9949; the number after it is 0) in positions 23 on of subfield 2. C moves
//   on to it at once for declines and for credit and ECheck-void approvals.
//   An approval of "100", "102", "120", "122", "140", "300", "301" or "302"
//   waits for its echo: C moves on only when the echo ("197" for debit and EBT,
//   "397" for ECheck) carries in FID 52 the two echo references, the number C+1
//   and the approved amount of that approval. A mismatching echo is declined
//   ("ECHO MISMATCH", Counters::echo_mismatches). Any other request but a
//   reversal leaves a waiting approval unconfirmed. Approvals of the other
//   debit and EBT codes ("121", "123", "124", "141", "198") do not move C,
//   because the terminal never takes their number. Reversal answers carry C
//   and do not move it. A closed batch sets C to 0.
// - Approvals are kept with their references: field 02 subfield 2 is "00",
//   auth code(6), echo ref 1(6), echo ref 2(6), "000", the number; subfield 4
//   the approval reference (12 characters); subfield 5 the transaction
//   reference "T" + 9 digits; credit answers add FID 80 ("80", '0', AVS, CVV,
//   the network reference "NT" + 10 digits), FID 87 (approved cents, balances),
//   FID 8E (a token); ECheck answers FID 85 (reference = the number, info).
//   FID 86 (issuer data) answers a request with FID 16.
// - Voids ("098", "198", "398") approve when FID 04's transaction reference (or
//   FID 59's auth code and approval reference) names a final approval of the
//   same family in the open batch, which leaves the batch; else "NO MATCH".
// - Captures ("006") with an approval reference in FID 19 must name a final
//   authorisation ("001"), else "NO MATCH"; without one (a voice
//   authorisation) the amount table decides.
// - Reversals ("099", "199", "399") are always approved ("REVERSED"). They
//   cancel the approval named by FID 59 or FID 19, else the approval waiting
//   for its echo with FID 04's code, else the newest lost, final or
//   unconfirmed approval of FID 04's code with FID 01's amount and sequence
//   number (a time-out reversal of an answer that never reached the terminal,
//   cut or too late, or of an approval whose echo failed).
//   ReceivedRequest::reference tells whether one was found and cancelled.
//   When none was, ReceivedRequest::reversal says what the reversal named: an
//   approval already reversed or voided, found the same ways
//   (Counters::repeated_reversals); a money request of that code, amount and
//   sequence number that the host received in the open batch but did not
//   approve, such as a decline or a request answered with an error text
//   (Counters::reversals_of_unapproved: harmless, the host received it); or
//   nothing the host received (Counters::unmatched_reversals).
// - Repeated requests: a money request (sale, return, authorisation, capture,
//   token request, void; not a balance inquiry, reversal, echo, batch or EMV
//   request) with the same code, FID 01 amount, card data and sequence number as
//   an earlier one in the open batch is the same request received twice. It is
//   answered as usual, marked (ReceivedRequest::repeated and repeat_of, and the
//   note unless a sequence error already fills it) and counted
//   (Counters::repeated_requests). A till that rings the same card for
//   the same amount again after an answer that did not move C sends such a
//   request too, so tests give each sale an amount of its own.
// - Incidents(): one line per repeated request, repeated reversal and unmatched
//   reversal, kept for the simulator's whole life (history_size does not cut
//   it, a batch close does not clear it).
// - Batch: "998" answers FID 89 with the open batch's totals and "APPROVAL".
//   "900" compares FID 90's item count and signed total with the open batch:
//   equal gives "GB CLOSED", the batch is closed (approvals forgotten, batch
//   number + 1, C := 0); different gives "RB OUT OF BALANCE" and nothing
//   changes. SetBatchCloseMode can force "RB UPLOAD TIPS" (closes) or
//   "RB OUT OF BALANCE". Credit sales and captures count as credit purchases,
//   "005" as credit returns, debit and EBT sales and vouchers as debit
//   purchases, their returns as debit returns (debit and EBT once their echo is
//   approved); "001", "002", balances, tokens and ECheck not at all. A lost
//   transaction counts unless it needed an echo. Batch and EMV answers carry
//   no field 02.
// - EMV key download ("803"): FID 77 asks for key index i (0 starts a download);
//   the answer's FID 78 carries "78", the next index (4 digits), FS, the
//   more-keys flag ('1' while keys follow), "00", RID(10), index(2), modulus
//   length in bytes(4), modulus, FS, exponent, FS, check value(40), "00",
//   expiry DDMMYY. An index past the last key is declined ("INVALID KEY
//   INDEX"); an index other than 0 or the one last given is counted in
//   Counters::emv_order_errors.
// - Any other code: declined, "INVALID TRAN CODE".
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/elavon-sim/emv_keys.h"
#include "tools/elavon-sim/ledger.h"
#include "tools/elavon-sim/request_fields.h"
#include "tools/elavon-sim/wire.h"

namespace elavon_sim {

struct HostSimOptions {
  int first_sequence = 0;             // C at start, 0 to 9949
  int first_batch_number = 1;
  size_t history_size = 32;           // received requests kept for Received()
  int64_t balance_cents = 12345;      // credit balance inquiry
  int64_t food_stamp_balance_cents = 5000;
  int64_t cash_benefit_balance_cents = 2500;
  std::vector<EmvKey> emv_keys = DefaultEmvKeys();
};

enum class BatchCloseMode { kCheckTotals, kUploadTips, kOutOfBalance };

enum class Outcome {
  kAnswer,    // send `bytes`
  kNoAnswer,  // send nothing
  kRefused,   // the request was unusable; `bytes` holds a short error text
};

// What the simulator made of a request.
enum class Action {
  kRefusedChecksum,
  kRefusedFormat,
  kApproved,
  kPartiallyApproved,
  kDeclined,
  kHostErrorText,
  kWithheld,          // rule .54
  kShortAnswer,
  kUnreadableAnswer,
  kNoResultField,
  kEchoApproved,
  kEchoDeclined,
  kEchoUnanswered,
  kEchoTakenNoResult,  // rule .60
  kReversed,
  kVoided,
  kBatchSummary,
  kBatchClosed,
  kBatchNotClosed,
  kEmvKey,
  kEmvKeyRefused,
};
const char* ActionName(Action action);

enum class ReferenceMatch { kNotApplicable, kMatched, kUnmatched };

// What a reversal named (see the reversal rules above).
enum class ReversalTarget {
  kNotApplicable,     // not a reversal
  kApproval,          // an open approval, which it cancelled
  kAlreadyCancelled,  // an approval already reversed or voided: a repeated reversal
  kUnapproved,        // a request the host received and did not approve
  kNothing,           // nothing the host received
};
const char* ReversalTargetName(ReversalTarget target);

// The request's header, as the simulator reads it, names a reversal code ("099",
// "199", "399"). False for a message it cannot read (checksum, frame, header).
bool IsReversalRequest(std::string_view request);

struct Reply {
  Outcome outcome = Outcome::kAnswer;
  Action action = Action::kDeclined;
  std::string bytes;
};

struct ReceivedRequest {
  std::string bytes;                 // as received
  FrameStatus frame = FrameStatus::kOk;
  RequestMessage message;            // header and fields, as far as they were read
  Reply reply;
  bool sequence_checked = false;     // the request carried a sequence number to check
  bool sequence_ok = false;
  std::string expected_sequence;     // C as four digits when checked
  ReferenceMatch reference = ReferenceMatch::kNotApplicable;
  int approval_id = 0;               // the approval made or referred to, 0 for none
  std::string note;                  // why a check failed, empty when none did
  int number = 0;                    // 1 for the first request handled, and so on
  ReversalTarget reversal = ReversalTarget::kNotApplicable;
  bool repeated = false;             // a money request received before (see above)
  int repeat_of = 0;                 // then the number of its first receipt
};

struct Counters {
  int requests = 0;
  int refused = 0;
  int sequence_errors = 0;
  int echo_mismatches = 0;
  int emv_rounds = 0;               // key download requests answered with a key
  int emv_downloads_completed = 0;  // downloads that reached the last key
  int emv_order_errors = 0;
  int batches_closed = 0;
  int reversals = 0;                // reversal requests read (refused ones not counted)
  int repeated_requests = 0;        // money requests received a second time
  int repeated_reversals = 0;       // reversals of an approval already reversed or voided
  int reversals_of_unapproved = 0;  // reversals of a request received but not approved
  int unmatched_reversals = 0;      // reversals of nothing the host received
};

class ElavonHostSim {
 public:
  explicit ElavonHostSim(HostSimOptions options = HostSimOptions());

  // Answers one request message and records it.
  Reply Handle(std::string_view request);
  // The bytes to send back: the answer, the refusal text, or empty for no answer.
  std::string Answer(std::string_view request);

  int ConfirmedSequence() const;
  void SetConfirmedSequence(int sequence);
  void SetBatchCloseMode(BatchCloseMode mode);
  int BatchNumber() const;

  // The last HostSimOptions::history_size requests, oldest first.
  std::vector<ReceivedRequest> Received() const;
  std::optional<ReceivedRequest> LastReceived() const;
  // The approvals of the open batch, in the order given, whatever their state.
  std::vector<Approval> Approvals() const;
  BatchTotals Totals() const;
  // Approvals given, reversed, voided and still held, per card family, over the
  // open batch (a batch close starts them again from zero).
  LedgerCounts GetLedgerCounts() const;
  Counters GetCounters() const;
  // The repeated requests, repeated reversals and unmatched reversals, one line
  // each, oldest first.
  std::vector<std::string> Incidents() const;

 private:
  struct Exchange;
  // A money request of the open batch, for finding repeats and what a reversal names.
  struct MoneyRequest {
    std::string code;
    int64_t cents = 0;
    std::string card;
    std::string sequence;
    int number = 0;
  };

  void HandleLocked(Exchange& exchange);
  void HandleFinancial(Exchange& exchange);
  void HandleVoid(Exchange& exchange);
  void HandleReversal(Exchange& exchange);
  void HandleEcho(Exchange& exchange);
  void HandleBatchSummary(Exchange& exchange);
  void HandleBatchClose(Exchange& exchange);
  void HandleEmvKey(Exchange& exchange);
  void HandleUnknown(Exchange& exchange);

  void Refuse(Exchange& exchange, Action action, const std::string& note);
  // Reads FID 01 and, unless the request is a reversal, checks its sequence
  // number against C. Refuses the request and returns false when FID 01 is
  // missing or malformed.
  bool ReadSequencedFid01(Exchange& exchange, Fid01* fid01);
  // The number an answer carries now (C+1 as sent) and its value once taken.
  std::string NextSequenceText() const;
  int NextSequenceValue() const;
  void TakeNextSequence();
  Approval NewApproval(const std::string& code, int64_t requested, int64_t approved) const;
  // Remembers a money request of the open batch; marks and counts it when the
  // same one came before.
  void NoteMoneyRequest(Exchange& exchange, const Fid01& fid01);
  void AddIncident(const ReceivedRequest& record, const std::string& text);

  mutable std::mutex mutex_;
  HostSimOptions options_;
  BatchCloseMode close_mode_ = BatchCloseMode::kCheckTotals;
  int confirmed_sequence_;
  int batch_number_;
  int emv_next_index_ = 0;
  ApprovalLedger ledger_;
  std::vector<MoneyRequest> money_requests_;  // of the open batch
  std::deque<ReceivedRequest> received_;
  Counters counters_;
  std::vector<std::string> incidents_;
};

}  // namespace elavon_sim
