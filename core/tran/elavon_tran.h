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
// The operations of the record are spread over the files of this library: this file
// declares construction, copying and the accessors, and the EMV defaults; the request
// intake, the TStream parsers, the replies and the host message code add theirs.
#pragma once

#include <array>
#include <ctime>
#include <list>
#include <string>
#include <string_view>

#include "core/tran/emv_params.h"

// Values of CElavonTran::m_State.
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
  int m_ErrorCode = 1000;
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

  // The client request envelope: intake, decryption, reply encryption.

  // The client replies.

  // "Request ->" or "Request +>", for the intake log line only; never copied.
  std::string m_LogTag;

 private:
  // Assigns every group of other.
  void AssignGroups(const CElavonTran& other);
};

// Records held by value, as the queue, caches and snapshots keep them.
using CTranList = std::list<CElavonTran>;
