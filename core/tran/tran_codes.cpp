#include "core/tran/tran_codes.h"

#include <array>

#include "core/tran/elavon_tran.h"
#include "core/vocab/vocabulary.h"

namespace {

using P = TranCodeParser;
constexpr bool Y = true;
constexpr bool N = false;
constexpr int kCredit = kTranFamilyCredit;
constexpr int kDebit = kTranFamilyDebit;
constexpr int kEBT = kTranFamilyEBT;
constexpr int kAdmin = kTranFamilyAdmin;
constexpr int kECheck = kTranFamilyECheck;
constexpr int kNone = kTranFamilyNone;
constexpr std::string_view kNoTranCode;
constexpr std::string_view kNameVoucherReturn = kTranCodeVoucherReturn;

// code, parser, TStream TranCode, name, family, new authorisation, reversible.
constexpr std::array kTable = {
    CTranCodeInfo{kCodeCreditSale, P::kCredit, kTranCodeSale, kTranCodeSale, kCredit, Y, Y},
    CTranCodeInfo{kCodeCreditReturn, P::kCredit, kTranCodeReturn, kTranCodeReturn, kCredit, N, Y},
    CTranCodeInfo{kCodeCreditVoidSale, P::kCredit, kTranCodeVoidSale, kTranCodeVoidSale, kCredit, N, N},
    CTranCodeInfo{kCodeCreditVoidReturn, P::kCredit, kTranCodeVoidReturn, kTranCodeVoidReturn, kCredit, N, N},
    CTranCodeInfo{kCodeCreditVoiceAuth, P::kCredit, kTranCodeVoiceAuth, kTranCodeVoiceAuth, kCredit, N, Y},
    CTranCodeInfo{kCodeCreditPreAuth, P::kCredit, kTranCodePreAuth, kTranCodePreAuth, kCredit, Y, Y},
    CTranCodeInfo{kCodeCreditAuthOnly, P::kCredit, kTranCodeAuthOnly, kTranCodeAuthOnly, kCredit, Y, Y},
    CTranCodeInfo{kCodeCreditZeroAuth, P::kCredit, kTranCodeZeroAuth, kTranCodeZeroAuth, kCredit, Y, N},
    CTranCodeInfo{kCodeCreditPreAuthCapture, P::kCredit, kTranCodePreAuthCapture, kTranCodePreAuthCapture, kCredit, N, Y},
    CTranCodeInfo{kCodeCreditFSASale, P::kCredit, kTranCodeFSASale, kTranCodeFSASale, kCredit, Y, Y},
    CTranCodeInfo{kCodeCreditReverseFSASale, P::kCredit, kTranCodeReverseFSASale, kTranCodeReverseFSASale, kCredit, N, N},
    CTranCodeInfo{kCodeCreditBalance, P::kCredit, kTranCodeBalance, kTranCodeBalance, kCredit, N, N},
    CTranCodeInfo{kCodeDebitSale, P::kDebit, kTranCodeSale, kTranCodeSale, kDebit, Y, Y},
    CTranCodeInfo{kCodeDebitReturn, P::kDebit, kTranCodeReturn, kTranCodeReturn, kDebit, N, Y},
    CTranCodeInfo{kCodeBatchSummary, P::kAdmin, kTranCodeBatchSummary, kTranCodeBatchSummary, kAdmin, N, N},
    CTranCodeInfo{kCodeBatchClose, P::kAdmin, kTranCodeBatchClose, kTranCodeBatchClose, kAdmin, N, N},
    CTranCodeInfo{kCodeEBTFoodstampSale, P::kEBTFoodstamp, kTranCodeSale, kTranCodeSale, kEBT, Y, Y},
    CTranCodeInfo{kCodeEBTFoodstampReturn, P::kEBTFoodstamp, kTranCodeReturn, kTranCodeReturn, kEBT, N, Y},
    CTranCodeInfo{kCodeEBTCashSale, P::kEBTCash, kTranCodeSale, kTranCodeSale, kEBT, Y, Y},
    CTranCodeInfo{kCodeEBTVoucher, P::kEBTFoodstamp, kTranCodeVoucher, kTranCodeVoucher, kEBT, Y, Y},
    CTranCodeInfo{kCodeEBTVoucherReturn, P::kNone, kNoTranCode, kNameVoucherReturn, kNone, N, N},
    CTranCodeInfo{kCodeEBTFoodstampBalance, P::kEBTFoodstamp, kTranCodeBalance, kTranCodeBalance, kEBT, N, N},
    CTranCodeInfo{kCodeEBTCashBalance, P::kEBTCash, kTranCodeBalance, kTranCodeBalance, kEBT, N, N},
    CTranCodeInfo{kCodeUnmappedSale, P::kNone, kNoTranCode, kTranCodeSale, kNone, N, N},
    CTranCodeInfo{kCodeECheckSale, P::kECheck, kTranCodeSale, kTranCodeSale, kECheck, N, Y},
    CTranCodeInfo{kCodeECheckVoidSale, P::kECheck, kTranCodeVoidSale, kTranCodeVoidSale, kECheck, N, N},
    CTranCodeInfo{kCodeReversal, P::kNone, kNoTranCode, kTranCodeNameInvalid, kNone, N, N},
    CTranCodeInfo{kCodeSaleByRecordNo, P::kCredit, kTranCodeSaleByRecordNo, kTranCodeSaleByRecordNo, kCredit, Y, Y},
    CTranCodeInfo{kCodeReturnByRecordNo, P::kCredit, kTranCodeReturnByRecordNo, kTranCodeReturnByRecordNo, kCredit, N, Y},
    CTranCodeInfo{kCodeVoiceAuthByRecordNo, P::kCredit, kTranCodeVoiceAuthByRecordNo, kTranCodeVoiceAuthByRecordNo, kCredit, N, Y},
    CTranCodeInfo{kCodePreAuthByRecordNo, P::kCredit, kTranCodePreAuthByRecordNo, kTranCodePreAuthByRecordNo, kCredit, Y, Y},
    CTranCodeInfo{kCodeAuthOnlyByRecordNo, P::kCredit, kTranCodeAuthOnlyByRecordNo, kTranCodeAuthOnlyByRecordNo, kCredit, Y, Y},
    CTranCodeInfo{kCodePreAuthCaptureByRecordNo, P::kCredit, kTranCodePreAuthCaptureByRecordNo, kTranCodePreAuthCaptureByRecordNo, kCredit, N, Y},
    CTranCodeInfo{kCodeFSASaleByRecordNo, P::kCredit, kTranCodeFSASaleByRecordNo, kTranCodeFSASaleByRecordNo, kCredit, Y, Y},
    CTranCodeInfo{kCodeVoidSaleByRecordNo, P::kCredit, kTranCodeVoidSaleByRecordNo, kTranCodeVoidSaleByRecordNo, kCredit, N, N},
    CTranCodeInfo{kCodeVoidReturnByRecordNo, P::kCredit, kTranCodeVoidReturnByRecordNo, kTranCodeVoidReturnByRecordNo, kCredit, N, N},
    CTranCodeInfo{kCodeReverseFSASaleByRecordNo, P::kCredit, kTranCodeReverseFSASaleByRecordNo, kTranCodeReverseFSASaleByRecordNo, kCredit, N, N},
    CTranCodeInfo{kCodeBalanceByRecordNo, P::kCredit, kTranCodeBalanceByRecordNo, kTranCodeBalanceByRecordNo, kCredit, N, N},
    CTranCodeInfo{kCodeTokenOnly, P::kNone, kNoTranCode, kTranCodeTokenOnly, kNone, N, N},
    CTranCodeInfo{kCodeEMVParamDownload, P::kAdmin, kTranCodeEMVParamDownload, kTranCodeEMVParamDownload, kTranFamilyEmvKeyDownload, N, N},
    CTranCodeInfo{kCodeEMVKeyDownloadNext, P::kNone, kNoTranCode, kTranCodeNameInvalid, kNone, N, N},
    CTranCodeInfo{kCodeEMVKeyDownloadStep65, P::kNone, kNoTranCode, kTranCodeNameInvalid, kNone, N, N},
    CTranCodeInfo{kCodeEMVCreditSale, P::kCredit, kTranCodeEMVSale, kTranCodeEMVSale, kCredit, Y, Y},
    CTranCodeInfo{kCodeEMVCreditReturn, P::kCredit, kTranCodeEMVReturn, kTranCodeEMVReturn, kCredit, N, Y},
    CTranCodeInfo{kCodeEMVCreditVoidSale, P::kCredit, kTranCodeEMVVoidSale, kTranCodeEMVVoidSale, kCredit, N, N},
    CTranCodeInfo{kCodeEMVCreditVoidReturn, P::kCredit, kTranCodeEMVVoidReturn, kTranCodeEMVVoidReturn, kCredit, N, N},
    CTranCodeInfo{kCodeEMVCreditVoiceAuth, P::kCredit, kTranCodeEMVVoiceAuth, kTranCodeEMVVoiceAuth, kCredit, N, Y},
    CTranCodeInfo{kCodeEMVCreditZeroAuth, P::kCredit, kTranCodeEMVZeroAuth, kTranCodeEMVZeroAuth, kCredit, Y, N},
    CTranCodeInfo{kCodeEMVOfflineDeclinedSale, P::kCredit, kTranCodeEMVOfflineDeclinedSale, kTranCodeEMVOfflineDeclinedSale, kCredit, N, N},
    CTranCodeInfo{kCodeEMVOfflineDeclinedSale, P::kDebit, kTranCodeEMVOfflineDeclinedSale, kTranCodeEMVOfflineDeclinedSale, kDebit, N, N},
    CTranCodeInfo{kCodeEMVCreditChipOverrideSale, P::kCredit, kTranCodeEMVChipOverrideSale, kTranCodeEMVChipOverrideSale, kCredit, N, N},
    CTranCodeInfo{kCodeEMVDebitChipOverrideSale, P::kDebit, kTranCodeEMVChipOverrideSale, kTranCodeEMVChipOverrideSale, kDebit, N, N},
    CTranCodeInfo{kCodeEMVCreditTimeoutReversal, P::kCredit, kTranCodeEMVTimeoutReversal, kTranCodeEMVTimeoutReversal, kCredit, N, N},
    CTranCodeInfo{kCodeEMVDebitTimeoutReversal, P::kDebit, kTranCodeEMVTimeoutReversal, kTranCodeEMVTimeoutReversal, kDebit, N, N},
    CTranCodeInfo{kCodeEMVDebitSale, P::kDebit, kTranCodeEMVSale, kTranCodeEMVSale, kDebit, Y, N},
    CTranCodeInfo{kCodeEMVDebitReturn, P::kDebit, kTranCodeEMVReturn, kTranCodeEMVReturn, kDebit, N, N},
    CTranCodeInfo{kCodeServerVersion, P::kAdmin, kTranCodeServerVersion, kTranCodeServerVersion, kAdmin, N, N},
    CTranCodeInfo{kCodeGetCorvaneParms, P::kAdmin, kTranCodeGetCorvaneParms, kTranCodeGetCorvaneParms, kAdmin, N, N},
};

}  // namespace

std::span<const CTranCodeInfo> GetTranCodeTable() { return kTable; }

const CTranCodeInfo* FindTranCode(int code) {
  for (const CTranCodeInfo& row : kTable) {
    if (row.m_Code == code) return &row;
  }
  return nullptr;
}

const CTranCodeInfo* FindTranCodeForParser(TranCodeParser parser, std::string_view tranCode) {
  if (parser == TranCodeParser::kNone) return nullptr;
  for (const CTranCodeInfo& row : kTable) {
    if (row.m_Parser == parser && row.m_TStreamTranCode == tranCode) return &row;
  }
  return nullptr;
}

std::string GetTranCodeName(int code) {
  const CTranCodeInfo* row = FindTranCode(code);
  return std::string(row != nullptr ? row->m_Name : kTranCodeNameInvalid);
}

bool IsNewAuthorizationCode(int code) {
  const CTranCodeInfo* row = FindTranCode(code);
  return row != nullptr && row->m_NewAuthorization;
}

bool IsReversibleCode(int code) {
  const CTranCodeInfo* row = FindTranCode(code);
  return row != nullptr && row->m_Reversible;
}

bool NeedsEchoAfterApproval(int code) {
  switch (code) {
    case kCodeDebitSale:
    case kCodeDebitReturn:
    case kCodeEMVDebitSale:
    case kCodeEMVDebitReturn:
    case kCodeEBTFoodstampSale:
    case kCodeEBTFoodstampReturn:
    case kCodeEBTCashSale:
    case kCodeECheckSale:
      return true;
    default:
      return false;
  }
}

bool HoldsSequenceUntilEcho(int family) {
  return family == kTranFamilyDebit || family == kTranFamilyEBT || family == kTranFamilyECheck;
}

bool IsStoredRecordCode(int code) {
  return code >= kCodeSaleByRecordNo && code <= kCodeBalanceByRecordNo;
}
