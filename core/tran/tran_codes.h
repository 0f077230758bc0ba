// The internal transaction codes of CElavonTran::m_TranCode: one table that gives each
// code its TranCode name, its family, the TStream TranCode that a family parser maps
// to it, and its membership of the two code sets (new authorisations and reversible
// transactions).
//
// The table is constant data built at compile time; every function here only reads
// it, takes no lock and is safe on any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

// The internal transaction codes. Codes without a parser are set by the host side
// (50 reversal; 64 and 65 the later steps of an EMV key download, 64 meaning that more
// keys are to come) or only named (35, 40, 62).
enum InternalTranCode : int {
  kCodeNone = 0,
  kCodeCreditSale = 1,
  kCodeCreditReturn = 2,
  kCodeCreditVoidSale = 3,
  kCodeCreditVoidReturn = 4,
  kCodeCreditVoiceAuth = 5,
  kCodeCreditPreAuth = 6,
  kCodeCreditAuthOnly = 7,
  kCodeCreditZeroAuth = 8,
  kCodeCreditPreAuthCapture = 9,
  kCodeCreditFSASale = 10,
  kCodeCreditReverseFSASale = 11,
  kCodeCreditBalance = 12,
  kCodeDebitSale = 14,
  kCodeDebitReturn = 15,
  kCodeBatchSummary = 18,
  kCodeBatchClose = 20,
  kCodeEBTFoodstampSale = 30,
  kCodeEBTFoodstampReturn = 31,
  kCodeEBTCashSale = 32,
  kCodeEBTVoucher = 34,
  kCodeEBTVoucherReturn = 35,
  kCodeEBTFoodstampBalance = 36,
  kCodeEBTCashBalance = 37,
  kCodeUnmappedSale = 40,
  kCodeECheckSale = 44,
  kCodeECheckVoidSale = 45,
  kCodeReversal = 50,
  kCodeSaleByRecordNo = 51,
  kCodeReturnByRecordNo = 52,
  kCodeVoiceAuthByRecordNo = 53,
  kCodePreAuthByRecordNo = 54,
  kCodeAuthOnlyByRecordNo = 55,
  kCodePreAuthCaptureByRecordNo = 56,
  kCodeFSASaleByRecordNo = 57,
  kCodeVoidSaleByRecordNo = 58,
  kCodeVoidReturnByRecordNo = 59,
  kCodeReverseFSASaleByRecordNo = 60,
  kCodeBalanceByRecordNo = 61,
  kCodeTokenOnly = 62,
  kCodeEMVParamDownload = 63,
  kCodeEMVKeyDownloadNext = 64,
  kCodeEMVKeyDownloadStep65 = 65,
  kCodeEMVCreditSale = 66,
  kCodeEMVCreditReturn = 67,
  kCodeEMVCreditVoidSale = 68,
  kCodeEMVCreditVoidReturn = 69,
  kCodeEMVCreditVoiceAuth = 70,
  kCodeEMVCreditZeroAuth = 71,
  kCodeEMVOfflineDeclinedSale = 72,
  kCodeEMVCreditChipOverrideSale = 73,
  kCodeEMVDebitChipOverrideSale = 74,
  kCodeEMVCreditTimeoutReversal = 75,
  kCodeEMVDebitTimeoutReversal = 76,
  kCodeEMVDebitSale = 78,
  kCodeEMVDebitReturn = 79,
  kCodeServerVersion = 900,
  kCodeGetCorvaneParms = 901,
};

// The family parser that maps a TStream TranCode to a code of the table.
enum class TranCodeParser : int {
  kNone,          // no parser sets the code
  kCredit,        // TranTypes Credit and EMVCredit
  kDebit,         // TranTypes Debit and EMVDebit
  kEBTFoodstamp,  // TranType EBT, CardType Foodstamp
  kEBTCash,       // TranType EBT, CardType Cash
  kECheck,        // TranType ECheck
  kAdmin,         // TStream Admin
};

// One row of the table. A code that two parsers set (72, by credit and by debit) has
// one row per parser; the rows of one code agree on name and sets.
struct CTranCodeInfo {
  int m_Code;
  TranCodeParser m_Parser;
  std::string_view m_TStreamTranCode;  // the TranCode item value; empty when none
  std::string_view m_Name;             // what GetTranCodeName returns
  int m_Family;                        // TranFamily the parser sets; 10 when none
  bool m_NewAuthorization;             // lane check, single-lane hold, queue tick
  bool m_Reversible;                   // reversed when it cannot be completed or delivered
};

// The whole table, in code order.
std::span<const CTranCodeInfo> GetTranCodeTable();

// The first row of code, or nullptr when the code has none.
const CTranCodeInfo* FindTranCode(int code);
// The row that parser maps tranCode (a TStream TranCode value, compared exactly) to,
// or nullptr when the parser knows no such TranCode.
const CTranCodeInfo* FindTranCodeForParser(TranCodeParser parser, std::string_view tranCode);

// The TranCode name of code; "INVALID" for 0 and every code without a name.
std::string GetTranCodeName(int code);
// Codes of new authorisations.
bool IsNewAuthorizationCode(int code);
// Codes that are reversed when their answer cannot be completed or delivered.
bool IsReversibleCode(int code);
// Codes whose approval needs an echo: debit and EMV debit Sale and Return, EBT food
// stamp Sale and Return, EBT cash Sale and ECheck Sale. Request routing marks their
// request with '#' over IP and, after an approving answer, sends the echo that
// confirms it to the host.
bool NeedsEchoAfterApproval(int code);
// Families whose host sequence number is held back from an approval until its echo
// is answered (and stored at once from a decline): debit, EBT and ECheck. The
// answer parser reads it; it is keyed by family, so it also covers the codes of
// these families that send no echo of their own.
bool HoldsSequenceUntilEcho(int family);
// The credit codes that work on a stored record number (51 to 61).
bool IsStoredRecordCode(int code);
