// CElavonTran: the host transaction record that carries one client request through
// the server, from intake through the queue and the Elavon exchange to the reply.
//
// The record is a value. It is copied whole at every hand-over between threads (queue
// add, snapshot, update, duplicate cache, the Elavon worker's copy) and has no lock:
// no two threads ever share one record object. A copy shares nothing with its source,
// the EMV parameter tables included.
//
// Copying copies every member except m_LogTag, which belongs to the intake of the one
// object it was set on: a copy-constructed (or move-constructed) record starts with an
// empty log tag, and a record assigned over keeps its own. Every other member lives in
// one of the member groups below, which copy member by member, so a member added to a
// group is copied without further code.
//
// This file declares all of the record's methods; they are defined in two rooms:
//   core/tran (core_tran):
//     elavon_tran.cpp       construction, copying (AssignGroups), the EMV defaults and
//                           parameter list, FormatDispatchTime
//     tran_journal.cpp      the journal transitions (Mark...)
//     request_envelope.cpp  the request intake: SetRequest, DecodeRequestEnvelope,
//                           ExtractKeyBlock, DecryptPayload, EncryptResponse
//     tstream_parser.cpp    ParseRequest, ParseTStream, ReadAmountField, GetTranCodeName
//     family_parsers.cpp    the family parsers (Parse...Request), ParseEMVFields,
//                           ParseLineItems
//     card_brand.cpp        GetCardTypeFromAcctNo, IsValidCheckDigit
//     tran_reply.cpp        the reply of a host answer and of a duplicate: BuildResponse,
//                           BuildDuplicateResponse, BuildRStream, BuildTranResponseXml,
//                           ReplyCouldNotBeEncrypted
//     admin_reply.cpp       BuildAdminResponseXml
//     error_reply.cpp       BuildErrorResponse, UnparseableAnswerText
//     emv_report.cpp        WriteEMVParamReport
//   host/message (host_message):
//     elavon_request.cpp    BuildElavonRequest, GetElavonTranCode, GetSequenceAndTerminal,
//                           GetTranFamilyName
//     elavon_fields.cpp     the field builders (AppendFid...), GetPosEntryCodes,
//                           GetCvv2Indicator
//     reversal_echo.cpp     BuildReversalRequest, BuildEchoRequest, ReversalToKeep
//     elavon_response.cpp   ParseElavonResponse and its field readers (ParseFid...),
//                           AnswerHasResultField, EchoAnswerConfirms,
//                           ReportUnparseableResponse
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <string>
#include <string_view>

#include "core/tran/client_error_codes.h"
#include "core/tran/emv_params.h"
#include "core/tran/tran_journal.h"

// Values of CElavonTran::m_State, which changes only through the record's Mark...
// transitions (below).
enum TranState : int {
  kTranStateNew = 0,
  kTranStateQueued = 1,               // waiting for the Elavon interface
  kTranStateInProcess = 2,            // at the Elavon interface
  kTranStateCancelled = 3,            // cancelled by the client
  kTranStateNoHostAnswer = 4,
  kTranStateHostFailure = 5,          // host or transport failure
  kTranStateFailed = 6,               // failed with its own error code
  kTranStateFinished = 7,             // to be removed
  kTranStateAnsweredIp = 8,
  kTranStateHandedToDial = 9,
  kTranStateAnsweredDial = 10,
  kTranStateDialModemError = 11,
  kTranStateDialAnswerReceived = 12,
  kTranStateDialFailed = 13,
};

// Values of CElavonTran::m_RequestKind.
enum RequestKind : int {
  kRequestKindEncrypted = 0,  // accepted encrypted request; the reply is encrypted ("2")
  kRequestKindCancel = 1,     // cancels the client's queued requests; no reply of its own
  kRequestKindClear = 2,      // reply in clear ("0"): rejected at intake or failed at the host
};

// Values of CElavonTran::m_Family.
enum TranFamily : int {
  kTranFamilyCredit = 0,  // credit and EMV credit
  kTranFamilyDebit = 1,   // debit and EMV debit
  kTranFamilyEcho = 2,
  kTranFamilyCheck = 3,   // a name only: no parser sets it
  kTranFamilyEBT = 4,
  kTranFamilyAdmin = 5,   // admin and batch
  kTranFamilyECheck = 8,
  kTranFamilyReversal = 9,
  kTranFamilyNone = 10,   // a new record
  kTranFamilyEmvKeyDownload = 11,
};

// The TranCode name of internal code 0 and of every code without a name.
inline constexpr std::string_view kTranCodeNameInvalid = "INVALID";

// Amount texts below are digit texts in cents, without point or sign.

// Card data.
struct CTranCardData {
  int m_CheckKeyed = 0;  // 0 check read by a reader, 1 keyed check
  std::string m_AcctNo;
  std::string m_ExpDate;  // MMYY
  std::string m_HostCardData;  // the card data the host message carries
  std::string m_CardType;
  std::string m_StateCode;
  std::string m_RoutingNo;
  std::string m_RawTOAD;
  std::string m_CheckSequenceNo;
  std::string m_DriversLicense;
  std::string m_PhoneNo;
  std::string m_PINBlock;
  std::string m_DervdKey;
  std::string m_Name;
  std::string m_Address;
  std::string m_Zip;
  std::string m_CustomerCode;
  std::string m_AcqRefData;
  std::string m_CVVData;
  std::string m_EMVAppID;
  std::string m_EMVPANSeqNo;
};

// Amounts and entry data.
struct CTranAmountData {
  std::string m_Authorize;
  std::string m_CashBack;
  std::string m_Gratuity;
  std::string m_Purchase;
  std::string m_Tax;
  std::string m_RequestedAuthorize;
  std::string m_AccountType;  // "1" checking, "2" savings, "0" none, "3" food stamp, "4" cash
  std::string m_FallBackReason;
  std::string m_EncryptedBlock;
  std::string m_EncryptedKey;
  std::string m_EMVData;
  std::string m_EMVEntrySource;
  std::string m_EMVTSCounter;
  std::string m_FSAPrescription;
  std::string m_FSAVision;
  std::string m_FSADental;
  std::string m_FSAClinical;
  bool m_Track2Given = false;  // for checks: read by a reader
  bool m_ZipGiven = false;
  bool m_DuplicateOverride = false;
  bool m_CVVValid = false;
  bool m_TaxGiven = false;
  bool m_PartialAuth = false;
  bool m_Contactless = false;
  bool m_RecordNoRequested = false;
  bool m_RecordNoGiven = false;
  bool m_Encrypted = false;
  bool m_Keyed = false;
  std::string m_RecordNo;  // '|' turned into '='
};

// Terminal data.
struct CTranTerminalData {
  std::string m_OperatorID;
  std::string m_Memo;
  std::string m_MerchantID;
  std::string m_TerminalID;
  std::string m_PinPadSerialNo;
  std::string m_ShiftID;
  std::string m_TerminalName;
  std::string m_LaneNumber;
};

// The texts of a batch answer, named after the reply elements they feed.
struct CTranBatchResponse {
  std::string m_TextResponse;
  std::string m_TranDate;
  std::string m_TranTime;
  std::string m_RefNo;
  std::string m_BatchNo;
  std::string m_BatchItemCount;
  std::string m_NetBatchTotal;
  std::string m_CreditPurchaseCount;
  std::string m_CreditPurchaseAmount;
  std::string m_CreditReturnCount;
  std::string m_CreditReturnAmount;
  std::string m_DebitPurchaseCount;
  std::string m_DebitPurchaseAmount;
  std::string m_DebitReturnCount;
  std::string m_DebitReturnAmount;
  std::string m_ControlNo;
};

// The host's answer.
struct CTranHostResponse {
  bool m_Approved = false;
  bool m_Captured = false;
  bool m_AdminSuccess = false;
  std::string m_HostRequest;    // the last Elavon request sent
  std::string m_HostResponse;   // the Elavon answer received
  std::string m_HostAuthCode;
  std::string m_HostRefNo;
  std::string m_HostErrorText;  // reported with error 4003
  std::string m_TextResponse;
  std::string m_CVVResult;
  std::string m_AVSResult;
  std::string m_EBTBalance;
  std::string m_Balance;
  std::string m_HostAcqRefData;
  std::string m_HostRecordNo;
  std::string m_EMVResult;
  std::string m_EMVKeyIndex;
  std::string m_EchoRef1;  // sent back by the echo request
  std::string m_EchoRef2;
  std::string m_ECheckInfo;
  std::string m_SeqNo;      // host sequence number stored for this answer
  std::string m_HeldSeqNo;  // held back until an echo confirms it
  CTranBatchResponse m_BatchResponse;
  CEmvParamTables m_EMVParamTables;  // CA keys and AID records of an EMV download
};

// The batch request.
struct CTranBatchRequest {
  std::string m_BatchNo;
  std::string m_BatchItemCount;
  std::string m_NetBatchTotal;     // as given
  std::string m_SignedBatchTotal;  // "-" when the total holds one, then its digits
};

// One purchase-card line item.
struct CTranLineItem {
  std::string m_Code;
  std::string m_Quantity;
  std::string m_UnitCost;
  std::string m_Total;
};

// The purchase-card line items 1 to 5 (index 0 is line 1).
struct CTranLineItems {
  std::array<CTranLineItem, 5> m_LineItems;
};

// The record's own members, apart from the log tag.
struct CTranRecordData {
  std::string m_KeyBlock;            // hex key block of the request; decrypts it, encrypts the reply
  std::string m_TerminalCapability;  // two-character code of the last Elavon request
  std::string m_RequestSeqNo;        // four-character sequence number of the last Elavon request
  std::string m_TStreamType;         // "Transaction" or "Admin"
  std::string m_UserTraceData;       // echoed in every reply
  std::string m_Request;             // raw request, then the decrypted TStream text
  std::string m_Reply;               // the framed reply to the client
  int m_ErrorCode = kErrorInitial;
  std::string m_ErrorText;
  int m_TranCode = 0;  // internal transaction code; 0 none
  int m_OrigTranCode = 0;
  std::string m_TranCodeName{kTranCodeNameInvalid};
  int m_Family = kTranFamilyNone;
  int m_State = kTranStateNew;
  int m_RequestKind = kRequestKindClear;
  std::string m_AuthCode;
  std::string m_RefNo;
  std::string m_InvoiceNo;
  std::string m_VoucherNo;
  std::string m_ClientAddress;  // "%s:%04d" of the client's address and socket
};

// The record's members that follow the groups.
struct CTranQueueData {
  time_t m_DispatchTime = 0;  // when the Elavon interface dispatched the request
  int m_Id = -1;              // queue id 1..999999; -1 until queued
  int m_LinkId = -1;
  int m_ReversalRetries = 0;
  int m_RetryOnNewLine = 0;
  std::string m_ClientID;
  std::string m_ElavonCode;  // three-digit code of the last host request
  uint64_t m_JournalKey = 0;  // its entry in the reversal journal; 0 none
  // Written by the queue at every Add and Update: a copy made before the queued
  // record last changed carries an older one (CTransactionQueue::UpdateIfCurrent).
  uint32_t m_Revision = 0;
  // Set by the dial-backup worker while it carries the record's exchange on the line.
  bool m_OnDialLine = false;
};

class CElavonTran : public CTranRecordData,
                    public CTranCardData,
                    public CTranAmountData,
                    public CTranTerminalData,
                    public CTranHostResponse,
                    public CTranBatchRequest,
                    public CTranLineItems,
                    public CTranQueueData {
 public:
  // Code 0 "INVALID", error 1000, kind 2, family 10, state 0, id and link id -1,
  // every text empty, every flag false, empty EMV tables.
  CElavonTran() = default;
  // A copy of every member but the log tag, which starts empty.
  CElavonTran(const CElavonTran& other);
  // As the copy: other's members are moved, the log tag starts empty; other is left
  // valid but unspecified.
  CElavonTran(CElavonTran&& other) noexcept;
  // Copies every member but the log tag, which stays as it was. Assignment to
  // itself changes nothing.
  CElavonTran& operator=(const CElavonTran& other);
  CElavonTran& operator=(CElavonTran&& other) noexcept;
  virtual ~CElavonTran() = default;

  std::string GetRequestText() const { return m_Request; }
  std::string GetReply() const { return m_Reply; }
  std::string GetClientAddress() const { return m_ClientAddress; }
  std::string GetKeyBlock() const { return m_KeyBlock; }
  void SetKeyBlock(const std::string& keyBlock) { m_KeyBlock = keyBlock; }
  // m_DispatchTime as local "%H:%M:%S".
  std::string FormatDispatchTime() const;

  // ---- State transitions ----
  // The only writers of m_State outside this library's own tests. Each sets m_State
  // to its TranState and changes nothing else: the error code, error text, request
  // kind or reply that go with the new state are the caller's to set. None takes a
  // lock: a record is never shared, so each works on the caller's own copy (a
  // snapshot, a copy found by id, the worker's copy), and the caller publishes it
  // with CTransactionQueue::Update (or Add), which takes the queue's lock; the caller
  // holds no lock of the queue while it calls these.
  //
  // 1. Queued, waiting for the Elavon interface. The client connection, when it
  // accepts a request or a cancel request and when it queues a record again (the
  // next step of an EMV key download, the reversal of an approval it could not
  // deliver); the ReverseWorker for a reversal it takes from the journal.
  void MarkQueued() { m_State = kTranStateQueued; }
  // 2. In process: the Elavon processing thread, when it has built the host request
  // and allocated a job id, just before it starts the worker.
  void MarkInProcess() { m_State = kTranStateInProcess; }
  // 3. Cancelled by the client: the Elavon processing thread, for a queued record of
  // a client that sent a cancel request.
  void MarkCancelledByClient() { m_State = kTranStateCancelled; }
  // 4. No answer from the host: request routing (a reversal answered or not possible,
  // a dial exchange that failed without a retry).
  void MarkNoHostAnswer() { m_State = kTranStateNoHostAnswer; }
  // 5. Host or transport failure: request routing (no connection, no answer to a
  // reversal, a modem error, a dial hand-off that ended without an outcome).
  void MarkHostFailure() { m_State = kTranStateHostFailure; }
  // 6. Failed with its own error code, which the caller has set in m_ErrorCode: the
  // Elavon processing thread and request routing, when nothing could be sent.
  void MarkFailedWithOwnCode() { m_State = kTranStateFailed; }
  // 7. Finished, to be removed: the client connection once it has answered the
  // record, the Elavon processing thread for a cancel request it has carried out, the
  // ReverseWorker for the reversals it has seen through.
  void MarkFinished() { m_State = kTranStateFinished; }
  // 8. Answered over IP: request routing, when the host's answer (and the echo's, if
  // one was due) has been read.
  void MarkAnsweredOverIp() { m_State = kTranStateAnsweredIp; }
  // 9. Handed to the dial backup: request routing, when the record (or its reversal
  // or echo, or a retry on a new line) goes to the dial-backup worker.
  void MarkHandedToDialBackup() { m_State = kTranStateHandedToDial; }
  // 10. Answered over dial: request routing, when the dial exchange (and the echo's,
  // if one was due) has ended with the host's answer.
  void MarkAnsweredOverDial() { m_State = kTranStateAnsweredDial; }
  // 11. Dial backup: modem error (the line could not be set up or hung up). The
  // dial-backup worker; the caller sets m_HostErrorText.
  void MarkDialModemError() { m_State = kTranStateDialModemError; }
  // 12. Dial backup: the host's answer has been received. The dial-backup worker.
  void MarkDialAnswerReceived() { m_State = kTranStateDialAnswerReceived; }
  // 13. Dial backup: the exchange failed (no answer, refused). The dial-backup
  // worker; the caller sets m_HostErrorText.
  void MarkDialExchangeFailed() { m_State = kTranStateDialFailed; }

  // ---- What the reversal journal is told ----
  // Each is one event of the record's life (CTranJournal says what the journal does
  // with it) and, where the event ends a state, the transition that goes with it.
  // The callers never tell the journal anything themselves.
  //
  // An exchange (request, echo or reversal in m_HostRequest) is about to go to the
  // host; reversal is what would cancel it. False: nothing may be sent.
  [[nodiscard]] bool MarkSent(CTranJournal& journal, const std::string& reversal);
  // An exchange that was to go never left.
  void MarkNotSent(CTranJournal& journal);
  // The host answered the request, or the echo that confirms its approval.
  void MarkAnswered(CTranJournal& journal);
  void MarkConfirmed(CTranJournal& journal);
  // 7, finished: the final reply reached the POS.
  void MarkDelivered(CTranJournal& journal);
  // The reply could not be delivered; reversal_queued: the record has just been
  // turned into the reversal queued in its place.
  void MarkUndeliverable(CTranJournal& journal, bool reversal_queued);
  // 4, no host answer: the host answered the reversal.
  void MarkReversalAnswered(CTranJournal& journal);
  // The reversal (or the exchange it cancels) got no answer: owed. The state is the
  // caller's (4 or 5, by what the client is to hear).
  void MarkReversalFailed(CTranJournal& journal);
  // The worker that carried the exchanges has ended.
  void MarkExchangeEnded(CTranJournal& journal);

  // EMV defaults. LoadEMVDefaults fills entry with the defaults of rid (one of the
  // five RIDs; any other leaves entry as it was) and reads EMV SUPPORT and EMV CVM
  // from a copy of g_ParamStore's settings (taking the store's mutex for the copy)
  // unless options are given; it uses no member of a record. Always true.
  static bool LoadEMVDefaults(CEmvAidEntry& entry, const std::string& rid);
  static bool LoadEMVDefaults(CEmvAidEntry& entry, const std::string& rid,
                              const CEmvOptions& options);
  // Replaces the AID list of m_EMVParamTables with the five default records, Visa
  // first and JCB last; the CA keys stay. Both parameters are read once, so the five
  // records agree. Always true.
  bool BuildEMVParamList();
  bool BuildEMVParamList(const CEmvOptions& options);
  // m_Family := EMV key download. Always true.
  bool SetEmvDownloadFamily();

  // TStream parsing and the family parsers.
  // (CTStreamItems: core/tran/tstream_parser.h; CParamSettings: core/params.) Each
  // parse without settings reads a copy of g_ParamStore's, taking the store's mutex.
  //
  // For kind 0: ParseTStream, then kind 2 when no code was set. Other kinds: nothing.
  void ParseRequest();
  void ParseRequest(const class CParamSettings& settings);
  // Parses m_Request: the common items, then the family parser. True when a code was
  // set; otherwise m_ErrorCode holds the first fault and m_TranCode stays 0.
  bool ParseTStream();
  bool ParseTStream(const class CParamSettings& settings);
  // The TranCode name of code, or "INVALID".
  static std::string GetTranCodeName(int code);
  // "VISA", "M/C", "AMEX", "DCVR" or "OTHER", by leading digits and length.
  static std::string GetCardTypeFromAcctNo(const std::string& acctNo);
  // The mod-10 test; the empty text fails.
  static bool IsValidCheckDigit(const std::string& acctNo);
  // The item key (absent reads "") as a quantity or an amount: on success output :=
  // its digits and true; else m_ErrorCode := errorCode and false.
  bool ReadAmountField(const class CTStreamItems& items, std::string_view key,
                       std::string& output, int errorCode, bool quantity);
  // The family parsers: true and code, name and family set, or false with
  // m_ErrorCode set and the code left 0.
  bool ParseAdminRequest(const class CTStreamItems& items);
  bool ParseCreditRequest(const class CTStreamItems& items, const class CParamSettings& settings);
  bool ParseDebitRequest(const class CTStreamItems& items);
  bool ParseEBTRequest(const class CTStreamItems& items);
  bool ParseCheckRequest(const class CTStreamItems& items, const class CParamSettings& settings);
  // False only when EMVEntrySource is missing (100258).
  bool ParseEMVFields(const class CTStreamItems& items);
  // The purchase-card line items 1 to 5; no parser calls it.
  bool ParseLineItems(const class CTStreamItems& items);

  // The client request envelope: intake, decryption, reply encryption.
  // Stores text, takes the envelope apart and parses the TStream it carries.
  CElavonTran& SetRequest(const std::string& text);
  // Splits m_Request into UserTraceData, mode, key block and payload, and decrypts
  // the payload into m_Request; failures leave kind 2 with 4010 or 4011.
  void DecodeRequestEnvelope();
  // The first DC1..DC2 span of text at or after from: its inside becomes m_KeyBlock
  // and the span leaves text. False (m_KeyBlock empty) without such a span.
  bool ExtractKeyBlock(std::string& text, size_t from = 0);
  // The payload decrypted, or the reply encrypted, with the request's own key blob.
  bool DecryptPayload(const std::string& hex, std::string* plain);
  bool EncryptResponse(std::string* hex, const std::string& plain);

  // The client replies.
  // The error reply of m_ErrorCode: CmdStatus "Error" and the code's fixed text
  // ("Invalid Field - " before the texts of 100201 to 100259; m_HostErrorText for 4003,
  // after a fixed prefix for 4007). A code without a text becomes 8888 "Error to be
  // defined.", in the record too. Sets m_ErrorText (the text as the reply carries it,
  // without ETX), request kind 2 and m_Reply, the document framed in clear whatever
  // the key block; returns a copy of m_Reply. Never fails.
  std::string BuildErrorResponse();
  //
  // Transaction and admin replies (core/tran/tran_reply.h). Each builder without a
  // CReplyContext uses the process's own: g_ParamStore, GetLogger() and the working
  // folder.
  //
  // By m_RequestKind: kind 2 frames document in clear; kind 0 builds the record's own
  // document (document is not used), logs it ("Response Built [...] for <client>",
  // "(Echo) " before it for family 2), encrypts it with the request's key block and
  // frames it ("2"); should that fail, the reply is error 4020 in clear and the kind
  // becomes 2 (the error code stays). Kind 1 changes nothing. Stores the frame in
  // m_Reply and returns a copy of it.
  std::string BuildResponse(const std::string& document);
  std::string BuildResponse(const std::string& document, const class CReplyContext& context);
  // The reply is the error (4020, in clear) of a document that could not be encrypted
  // with the request's key block.
  bool ReplyCouldNotBeEncrypted() const;
  // The unencrypted document of a host answer: CmdResponse (origin "Processor", code
  // 0, "Success"/"Error" for m_TStreamType "Admin", else "Approved"/"Declined"), then
  // the admin block for "Admin" and the TranResponse block otherwise.
  std::string BuildRStream();
  std::string BuildRStream(const class CReplyContext& context);
  // The TranResponse block. Trims the trailing blanks of m_HostAuthCode and
  // m_AVSResult in the record, and fills a blank m_HostAuthCode from m_AuthCode for
  // voice authorisations, captures and vouchers.
  std::string BuildTranResponseXml();
  std::string BuildTranResponseXml(const class CReplyContext& context);
  // The admin block of a batch summary (18), batch close (20) or EMV download (family
  // 11). A successful download first rebuilds the AID records from the defaults and
  // afterwards writes the EMV parameter report, whose result does not matter here.
  std::string BuildAdminResponseXml();
  std::string BuildAdminResponseXml(const class CReplyContext& context);
  // For an approved record of kind 0 taken from the duplicate cache: empties
  // m_EMVResult, builds, logs ("Duplicate Response Built ..."), encrypts and frames as
  // BuildResponse does, and returns true. Otherwise false, the reply unchanged.
  bool BuildDuplicateResponse();
  bool BuildDuplicateResponse(const class CReplyContext& context);
  // Writes the EMV parameter report of this download (core/tran/emv_report.h) under
  // the context's folder, creating "PARAM_LOADS" when missing. False, with a log line,
  // when the folder cannot be made or the file cannot be written; true otherwise.
  bool WriteEMVParamReport();
  bool WriteEMVParamReport(const class CReplyContext& context);

  // Elavon host messages (defined in host/message).
  // Messages are byte strings (STX ... ETX, then the XOR checksum byte, which may be
  // NUL). The overloads without settings read a copy of g_ParamStore's (taking the
  // store's mutex) and use g_SequenceFile (taking its lock); none holds a lock while
  // logging.
  //
  // Builds the Elavon request of m_TranCode into m_HostRequest: the header, the fields
  // of its Elavon code, F16, F06 and FE1, ETX and the checksum; stores the Elavon code
  // in m_ElavonCode unless the family is Echo. Code 50 sends the reversal already built
  // (family Reversal) or builds it with BuildReversalRequest. False, with nothing sent
  // in its place, for: code 0 (record unchanged); a code without an Elavon code (e.g.
  // ECheck Sale with ECHECK outside 0 to 2: m_ErrorCode := 1001, m_HostRequest
  // unchanged, the refusal logged; the caller fails the record, state 6); code 50 whose
  // reversal is refused (the caller ends it as a failed reversal).
  [[nodiscard]] bool BuildElavonRequest();
  [[nodiscard]] bool BuildElavonRequest(const class CParamSettings& settings,
                                        class CSequenceFile& sequenceFile);
  // The reversal of the message in m_HostRequest; true when it replaced the message
  // and the family became Reversal. False, with the record unchanged and the refusal
  // logged, when the message is unusable or no reversal code applies: the caller must
  // then send nothing (never the reversed transaction).
  [[nodiscard]] bool BuildReversalRequest();
  [[nodiscard]] bool BuildReversalRequest(const class CParamSettings& settings);
  // What the reversal journal keeps for the exchange in m_HostRequest: its reversal,
  // built on a copy, or "" when the record is itself a reversal, its code cannot be
  // reversed or no reversal can be built. The record is unchanged.
  std::string ReversalToKeep(const class CParamSettings& settings) const;
  // The echo of the approved message in m_HostRequest, which it also replaces (family
  // Echo). The empty text, with the record unchanged and the refusal logged, when the
  // message has no complete header before its first GS. m_ElavonCode is kept.
  [[nodiscard]] std::string BuildEchoRequest();
  // The three-digit Elavon code of an internal code, or "" when it has none. Only
  // ECheck Sale (44) reads a parameter: ECHECK 0, 1, 2 (absent: 0) give "300" to "302".
  static std::string GetElavonTranCode(int code);
  static std::string GetElavonTranCode(int code, const class CParamMap& params);
  // terminal := MERCHANT/TERMINAL ID; sequence := the sequence file's number (its
  // messages, when any, are logged after the read).
  static void GetSequenceAndTerminal(const class CParamMap& params, std::string& terminal,
                                     int& sequence);
  static void GetSequenceAndTerminal(const class CParamMap& params, std::string& terminal,
                                     int& sequence, class CSequenceFile& sequenceFile);
  // "Credit", "Debit", "Echo", "Check", "EBT", "ECheck", or "" for any other family.
  std::string GetTranFamilyName() const;
  // The terminal capability and POS entry mode of FID 01, from the record's entry
  // data, MERCHANT CATEGORY and EMV SUPPORT.
  void GetPosEntryCodes(std::string& capability, std::string& entryMode,
                        int merchantCategory, int emvSupport) const;
  // The card-verification part of FID 10: "9", "2", "0" or "1" and the CVV data.
  std::string GetCvv2Indicator() const;
  // The field builders: each appends GS, its FID and its data to message when its
  // condition holds (the fields without a condition always) and returns true.
  // AppendFid01 also sets m_TerminalCapability and m_RequestSeqNo and logs the
  // sequence number it sends.
  bool AppendFid01(std::string& message, const class CParamMap& params, int sequence,
                   bool voidForm, bool reversalForm);
  bool AppendFid04(std::string& message) const;
  bool AppendFid06(std::string& message) const;
  bool AppendFid10(std::string& message) const;
  bool AppendFid11(std::string& message) const;
  bool AppendFid12(std::string& message) const;
  bool AppendFid16(std::string& message) const;
  bool AppendFid17(std::string& message) const;
  bool AppendFid19(std::string& message, const std::string& elavonCode) const;
  bool AppendFid40(std::string& message) const;
  bool AppendFid50(std::string& message) const;
  bool AppendFid50Debit(std::string& message) const;
  bool AppendFid51(std::string& message) const;
  bool AppendFid52(std::string& message) const;
  bool AppendFid55(std::string& message) const;
  bool AppendFid59(std::string& message) const;
  bool AppendFid77(std::string& message) const;
  bool AppendFid8D(std::string& message) const;
  bool AppendFid90(std::string& message, const class CParamMap& params) const;
  bool AppendFidE1(std::string& message) const;
  //
  // Reads the Elavon answer in m_HostResponse into the record (approval, codes, texts,
  // balances, EMV data, batch totals, CA keys), stores host sequence numbers in the
  // sequence file when the answer is final for the host, and ends with the client
  // reply (BuildResponse) or the error reply of an unusable answer (4001, 4002, 4003,
  // 4007). An EMV key answer that asks for more keys leaves m_TranCode 64 and no reply;
  // every other key-download parse leaves 65, and one that would repeat a key index or
  // go past 100 keys ends with error 4003. Takes the sequence file's lock and the
  // logger's, never together. Without arguments: g_SequenceFile and GetLogger().
  void ParseElavonResponse();
  void ParseElavonResponse(class CSequenceFile& sequenceFile, class CLogger& logger);
  // The field readers. fields maps each FID to its whole field text, FID included;
  // the reader splits its field at FS into subfields (replacing what they held). Each
  // returns false without any effect when its field is absent, else true; ParseFid02
  // returns whether the host approved (false, after ReportUnparseableResponse, when
  // field 02 is absent).
  bool ParseFid02(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields, class CSequenceFile& sequenceFile,
                  class CLogger& logger);
  bool ParseFid78(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields);
  bool ParseFid80(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields);
  bool ParseFid83(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields);
  bool ParseFid85(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields);
  bool ParseFid86(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields);
  bool ParseFid87(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields);
  bool ParseFid89(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields, class CSequenceFile& sequenceFile,
                  class CLogger& logger);
  bool ParseFid8E(const std::map<std::string, std::string>& fields,
                  std::map<int, std::string>& subfields);
  // Error 4007 with the printable characters of the answer as m_HostErrorText, and its
  // error reply; nothing for an echo answer.
  void ReportUnparseableResponse();
  // Whether an answer carries a result (a field 02 with data after the first GS). An
  // echo answer without one is read as a decline of the echo, with the text of an
  // unreadable answer; the approval it was to confirm may stand at the host.
  static bool AnswerHasResultField(const std::string& answer);
  // An echo's answer confirms its approval: field 02 with the response code "AA".
  static bool EchoAnswerConfirms(const std::string& answer);
  // The text of error 4007: the fixed prefix and m_HostErrorText.
  std::string UnparseableAnswerText() const;

  // "Request ->" or "Request +>", for the intake log line only; never copied.
  std::string m_LogTag;

 private:
  // Assigns every group of other.
  void AssignGroups(const CElavonTran& other);
};

// Records held by value, as the queue, caches and snapshots keep them.
using CTranList = std::list<CElavonTran>;
