// The family parsers of CElavonTran: admin and batch, credit (and EMV credit), debit
// (and EMV debit), EBT, electronic checks, the EMV items and the purchase-card line
// items. Each runs its checks in a fixed order, and the first that fails decides the
// error code of the request, so the order below is part of the client protocol.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>

#include "core/params/param_settings.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "core/tran/tstream_parser.h"
#include "core/tran/tstream_text.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"

using tstream_text::DigitsValue;
using tstream_text::FirstChars;
using tstream_text::IsAllDigits;
using tstream_text::LastChars;

namespace {

// The one CVVData value that the shared vocabulary does not hold.
constexpr std::string_view kCVVDataBypass = "Bypass";

constexpr std::size_t kMaxTrack2Length = 37;
constexpr std::size_t kMinCardTextLength = 8;
constexpr std::size_t kExpDateLength = 4;
constexpr std::size_t kZipLength = 9;
constexpr std::size_t kAddressLength = 20;
constexpr std::size_t kCustomerCodeLength = 17;
constexpr std::size_t kAuthCodeLength = 6;
constexpr std::size_t kPINBlockLength = 16;
constexpr std::size_t kMinDervdKeyLength = 16;
constexpr std::size_t kMaxDervdKeyLength = 20;
constexpr std::size_t kMaxRawTOADLength = 80;
constexpr std::size_t kStateCodeLength = 2;
constexpr std::size_t kMaxDriversLicenseLength = 16;
constexpr std::size_t kMaxPhoneNoLength = 10;
constexpr std::size_t kCheckRefNoLength = 16;
constexpr std::size_t kItemCodeLength = 3;
constexpr int kECheckNeedsIdentity = 2;  // ECHECK value that makes the identity items required

bool IsOneOf(std::string_view value, std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    if (value == name) return true;
  }
  return false;
}

bool IsOneOf(int code, std::initializer_list<int> codes) {
  for (int c : codes) {
    if (code == c) return true;
  }
  return false;
}

// The pre-authorisation TranCodes that the merchant category, or the family, may forbid.
bool IsPreAuthTranCode(std::string_view tranCode) {
  return IsOneOf(tranCode, {kTranCodePreAuth, kTranCodePreAuthByRecordNo, kTranCodePreAuthCapture,
                            kTranCodePreAuthCaptureByRecordNo});
}

std::string Trimmed(const std::string& text) {
  constexpr std::string_view kWhite = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kWhite);
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(kWhite);
  return text.substr(first, last - first + 1);
}

// The four characters after the first '=' of a track, read as YYMM and returned as
// MMYY; "" when fewer than five characters follow the '='.
std::string TrackExpDate(const std::string& track) {
  const std::size_t eq = track.find('=');
  if (eq == std::string::npos || track.size() - eq - 1 <= kExpDateLength) return std::string();
  const std::string yymm = track.substr(eq + 1, kExpDateLength);
  return SafeMid(yymm, 2, 2) + SafeMid(yymm, 0, 2);
}

// *account := the text before the first '=' of a track; false (and *account left as
// it was) when the track has none.
bool TrackAccount(const std::string& track, std::string* account) {
  const std::size_t eq = track.find('=');
  if (eq == std::string::npos) return false;
  *account = track.substr(0, eq);
  return true;
}

// The decimal sum of digit texts (an empty text counts 0).
std::string DigitsSum(std::initializer_list<const std::string*> amounts) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t sum = 0;
  for (const std::string* amount : amounts) {
    const int64_t value = DigitsValue(*amount);
    sum = value > kMax - sum ? kMax : sum + value;
  }
  return std::to_string(sum);
}

bool IsAboveZero(const std::string& digits) { return DigitsValue(digits) > 0; }

// The PIN rule: PINBlock of exactly 16 characters, then a DervdKey whose value without
// its leading 'F's has 16 to 20 characters. 0 and both texts set, or the error code.
int ReadPin(const CTStreamItems& items, std::string* pinBlock, std::string* dervdKey) {
  const std::string pin = items.Get(kItemPINBlock);
  if (pin.size() != kPINBlockLength) return kParseErrPINBlock;
  const std::string* key = items.Find(kItemDervdKey);
  if (key == nullptr) return kParseErrDervdKey;
  const std::size_t firstNotF = key->find_first_not_of('F');
  const std::string trimmed = firstNotF == std::string::npos ? std::string() : key->substr(firstNotF);
  if (trimmed.size() < kMinDervdKeyLength || trimmed.size() > kMaxDervdKeyLength) {
    return kParseErrDervdKey;
  }
  *pinBlock = pin;
  *dervdKey = trimmed;
  return 0;
}

// The code of an OriginalTranCode that parser accepts among allowed, or 0.
int OriginalTranCode(const CTStreamItems& items, TranCodeParser parser,
                     std::initializer_list<std::string_view> allowed) {
  const std::string* original = items.Find(kItemOriginalTranCode);
  if (original == nullptr || !IsOneOf(*original, allowed)) return kCodeNone;
  const CTranCodeInfo* row = FindTranCodeForParser(parser, *original);
  return row != nullptr ? row->m_Code : kCodeNone;
}

// The item names of purchase-card line i (index 0 is line 1).
struct LineItemKeys {
  std::string_view code, quantity, unitCost, total;
};
constexpr std::array<LineItemKeys, 5> kLineItemKeys = {{
    {kItemItemCode1, kItemItemQuantity1, kItemItemUnitCost1, kItemItemTotal1},
    {kItemItemCode2, kItemItemQuantity2, kItemItemUnitCost2, kItemItemTotal2},
    {kItemItemCode3, kItemItemQuantity3, kItemItemUnitCost3, kItemItemTotal3},
    {kItemItemCode4, kItemItemQuantity4, kItemItemUnitCost4, kItemItemTotal4},
    {kItemItemCode5, kItemItemQuantity5, kItemItemUnitCost5, kItemItemTotal5},
}};

}  // namespace

// ---- Admin and batch ----

bool CElavonTran::ParseAdminRequest(const CTStreamItems& items) {
  const std::string* tranCode = items.Find(kItemTranCode);
  if (tranCode == nullptr) {
    m_ErrorCode = kParseErrTranCode;
    return false;
  }
  m_Family = kTranFamilyAdmin;

  const CTranCodeInfo* row = FindTranCodeForParser(TranCodeParser::kAdmin, *tranCode);
  if (row == nullptr) {
    m_ErrorCode = kParseErrTranCode;
    return false;
  }
  if (row->m_Code == kCodeEMVParamDownload) {
    m_EMVKeyIndex = "0";
    m_Family = kTranFamilyEmvKeyDownload;
  } else if (row->m_Code == kCodeBatchClose) {
    m_BatchNo = items.Get(kItemBatchNo);
    if (m_BatchNo.empty()) {
      m_ErrorCode = kParseErrBatchNo;
      return false;
    }
    m_BatchItemCount = items.Get(kItemBatchItemCount);
    if (m_BatchItemCount.empty()) {
      m_ErrorCode = kParseErrBatchItemCount;
      return false;
    }
    if (const std::string* total = items.Find(kItemNetBatchTotal)) {
      m_NetBatchTotal = *total;
      m_SignedBatchTotal = (total->find('-') != std::string::npos ? "-" : "") + AmountToDigits(*total);
    }
  }
  m_TranCode = row->m_Code;
  m_TranCodeName = GetTranCodeName(m_TranCode);
  return true;
}

// ---- Credit and EMV credit ----

bool CElavonTran::ParseCreditRequest(const CTStreamItems& items, const CParamSettings& settings) {
  const auto fail = [this](int code) {
    m_ErrorCode = code;
    return false;
  };

  // 1. TranCode.
  m_TaxGiven = false;
  m_ZipGiven = false;
  m_Track2Given = false;
  const std::string* tranCode = items.Find(kItemTranCode);
  if (tranCode == nullptr) return fail(kParseErrTranCode);

  // 2. Pre-authorisations need a merchant category.
  if (IsPreAuthTranCode(*tranCode) && ReadIntParam(settings, kParmMerchantCategory) == 0) {
    return fail(kParseErrMerchantCategory);
  }

  // 3. The code, and the original of an EMV time-out reversal.
  const CTranCodeInfo* row = FindTranCodeForParser(TranCodeParser::kCredit, *tranCode);
  if (row == nullptr) return fail(kParseErrTranCode);
  const int code = row->m_Code;
  if (code == kCodeEMVCreditTimeoutReversal) {
    m_OrigTranCode = OriginalTranCode(
        items, TranCodeParser::kCredit,
        {kTranCodeEMVSale, kTranCodeEMVReturn, kTranCodeEMVVoidSale, kTranCodeEMVVoidReturn,
         kTranCodeEMVVoiceAuth, kTranCodeEMVChipOverrideSale});
    if (m_OrigTranCode == kCodeNone) return fail(kParseErrOriginalTranCode);
  }

  // 4. PIN.
  if (items.Has(kItemPINBlock)) {
    if (const int error = ReadPin(items, &m_PINBlock, &m_DervdKey)) return fail(error);
  }

  // 5. The card text.
  const bool stored = IsStoredRecordCode(code);
  const std::string* track2 = items.Find(kItemTrack2);
  std::string card;
  if (stored) {
    if (track2 != nullptr) return fail(kParseErrTrack2);
    if (items.Has(kItemAcctNo)) return fail(kParseErrAcctNo);
    if (items.Has(kItemExpDate)) return fail(kParseErrExpDate);
    if (!m_RecordNoGiven) return fail(kParseErrRecordNo);
  } else if (track2 != nullptr) {
    card = *track2;
    m_Track2Given = true;
    m_RecordNoGiven = false;
    if (track2->size() > kMaxTrack2Length) return fail(kParseErrTrack2);
  } else {
    const std::string* acctNo = items.Find(kItemAcctNo);
    if (acctNo == nullptr) return fail(kParseErrAcctNo);
    card = *acctNo;
    m_RecordNoGiven = false;
  }

  // 6. Trimmed card text and expiry date.
  card = Trimmed(card);
  std::string expDate;
  if (m_Track2Given) {
    expDate = TrackExpDate(card);
  } else if (!stored) {
    const std::string* given = items.Find(kItemExpDate);
    if (given == nullptr || given->size() != kExpDateLength) return fail(kParseErrExpDate);
    expDate = *given;
  }

  // 7. Address verification.
  if (const std::string* zip = items.Find(kItemZip)) {
    m_Zip = FirstChars(*zip, kZipLength);
    m_ZipGiven = !m_Zip.empty();
    m_Address = FirstChars(items.Get(kItemAddress), kAddressLength);
  }

  // 8. FSA amounts.
  const struct {
    std::string_view key;
    std::string* member;
    int error;
  } fsaAmounts[] = {
      {kItemFSAPrescription, &m_FSAPrescription, kParseErrFSAPrescription},
      {kItemFSAVision, &m_FSAVision, kParseErrFSAVision},
      {kItemFSADental, &m_FSADental, kParseErrFSADental},
      {kItemFSAClinical, &m_FSAClinical, kParseErrFSAClinical},
  };
  for (const auto& fsa : fsaAmounts) {
    if (items.Has(fsa.key) && !ReadAmountField(items, fsa.key, *fsa.member, fsa.error, false)) {
      return false;
    }
  }

  // 9. A card number of some length.
  if (!stored && card.size() < kMinCardTextLength) return fail(kParseErrAcctNo);

  // 10. Tax, and the customer code that goes with it.
  if (items.Has(kItemTax)) {
    if (!ReadAmountField(items, kItemTax, m_Tax, kParseErrTax, false)) return false;
    m_TaxGiven = true;
    if (const std::string* customer = items.Find(kItemCustomerCode)) {
      m_CustomerCode = LastChars(*customer, kCustomerCodeLength);
    }
  }

  // 11. No cash back on credit.
  if (const std::string* cashBack = items.Find(kItemCashBack)) {
    return fail(IsTStreamAmount(*cashBack) ? kParseErrCashBackNotAllowed : kParseErrCashBack);
  }

  // 12. The client's own authorise amount.
  if (const std::string* authorize = items.Find(kItemAuthorize)) {
    if (IsTStreamAmount(*authorize)) m_RequestedAuthorize = AmountToDigits(*authorize);
  }

  // 13. Amounts by code.
  const bool balance = code == kCodeCreditBalance || code == kCodeBalanceByRecordNo;
  const auto setZeroAmounts = [this] {
    m_Authorize = "0";
    m_Purchase = "0";
    m_Gratuity.clear();
    m_CashBack.clear();
  };
  if (IsOneOf(code, {kCodeCreditPreAuth, kCodeCreditAuthOnly, kCodePreAuthByRecordNo,
                     kCodeAuthOnlyByRecordNo})) {
    if (!ReadAmountField(items, kItemAuthorize, m_Authorize, kParseErrAuthorize, false)) return false;
    if (!ReadAmountField(items, kItemPurchase, m_Purchase, kParseErrPurchase, false)) return false;
    if (items.Has(kItemGratuity) &&
        !ReadAmountField(items, kItemGratuity, m_Gratuity, kParseErrGratuity, false)) {
      return false;
    }
  } else if (code == kCodeCreditZeroAuth) {
    setZeroAmounts();
  } else {
    if (!items.Has(kItemPurchase)) return fail(kParseErrPurchase);
    if (!balance && !ReadAmountField(items, kItemPurchase, m_Purchase, kParseErrPurchase, false)) {
      return false;
    }
    if (items.Has(kItemGratuity) &&
        !ReadAmountField(items, kItemGratuity, m_Gratuity, kParseErrGratuity, false)) {
      return false;
    }
    m_Authorize = DigitsSum({&m_CashBack, &m_Purchase, &m_Gratuity});
    if (balance) setZeroAmounts();
  }
  if (code != kCodeCreditZeroAuth && !balance && !IsAboveZero(m_Authorize)) {
    return fail(kParseErrAuthorize);
  }

  // 14. Account and expiry date.
  m_AcctNo = card;
  if (!expDate.empty()) m_ExpDate = expDate;

  // 15. The card data of the host message.
  if (stored && m_RecordNoGiven) {
    m_HostCardData = m_RecordNo;
  } else if (m_Encrypted) {
    m_HostCardData = m_EncryptedBlock;
  } else if (m_Track2Given) {
    m_HostCardData = card;
  } else {
    m_HostCardData = m_AcctNo + "=" + m_ExpDate;
  }

  // 16. The account of a track.
  if (m_Track2Given) TrackAccount(card, &m_AcctNo);

  // 17. Brand and check digit.
  const std::string brand = GetCardTypeFromAcctNo(m_AcctNo);
  if (brand != kCardTypeOther) {
    if (!IsValidCheckDigit(m_AcctNo)) return fail(kParseErrCheckDigit);
  } else if (!stored) {
    return fail(kParseErrCardNotAccepted);
  }

  // 18. Approval code of the follow-up transactions.
  if (IsOneOf(code, {kCodeCreditVoidSale, kCodeCreditVoiceAuth, kCodeCreditPreAuthCapture,
                     kCodeCreditReverseFSASale, kCodeVoiceAuthByRecordNo,
                     kCodePreAuthCaptureByRecordNo, kCodeVoidSaleByRecordNo,
                     kCodeReverseFSASaleByRecordNo, kCodeEMVCreditChipOverrideSale})) {
    const std::string* authCode = items.Find(kItemAuthCode);
    if (authCode == nullptr) return fail(kParseErrAuthCode);
    m_AuthCode = FirstChars(*authCode, kAuthCodeLength);
  }

  // 19. A void names what it voids.
  if (IsOneOf(code, {kCodeCreditVoidSale, kCodeCreditVoidReturn, kCodeVoidSaleByRecordNo,
                     kCodeVoidReturnByRecordNo}) &&
      m_RefNo.empty()) {
    return fail(kParseErrRefNo);
  }

  // 20. Card verification value; an invalid one is dropped, not refused.
  if (const std::string* cvv = items.Find(kItemCVVData)) {
    const std::size_t wanted = brand == kCardTypeAmex ? 4 : 3;
    m_CVVValid = IsOneOf(*cvv, {kCVVDataNone, kCVVDataIllegible, kCVVDataBypass}) ||
                 (cvv->size() == wanted && IsAllDigits(*cvv));
    if (m_CVVValid) m_CVVData = *cvv;
  }

  // 21. Results the client already holds.
  if (const std::string* v = items.Find(kItemCVVResult)) m_CVVResult = *v;
  if (const std::string* v = items.Find(kItemAVSResult)) m_AVSResult = *v;

  // 22. Accepted.
  m_TranCode = code;
  m_TranCodeName = GetTranCodeName(code);
  m_CardType = brand;
  m_Family = kTranFamilyCredit;
  return true;
}

// ---- Debit and EMV debit ----

bool CElavonTran::ParseDebitRequest(const CTStreamItems& items) {
  const auto fail = [this](int code) {
    m_ErrorCode = code;
    return false;
  };

  // 1. TranCode; debit has no pre-authorisations.
  const std::string* tranCode = items.Find(kItemTranCode);
  if (tranCode == nullptr) return fail(kParseErrTranCode);
  if (IsPreAuthTranCode(*tranCode)) return fail(kParseErrMerchantCategory);

  // 2. The code, and the original of an EMV time-out reversal.
  const CTranCodeInfo* row = FindTranCodeForParser(TranCodeParser::kDebit, *tranCode);
  if (row == nullptr) return fail(kParseErrTranCode);
  const int code = row->m_Code;
  if (code == kCodeEMVDebitTimeoutReversal) {
    m_OrigTranCode = OriginalTranCode(items, TranCodeParser::kDebit,
                                      {kTranCodeEMVSale, kTranCodeEMVReturn,
                                       kTranCodeEMVChipOverrideSale});
    if (m_OrigTranCode == kCodeNone) return fail(kParseErrOriginalTranCode);
  }

  // 3. The track.
  const std::string* track = items.Find(kItemTrack2);
  if (track == nullptr || track->size() < kMinCardTextLength || track->size() > kMaxTrack2Length) {
    return fail(kParseErrTrack2);
  }
  m_Track2Given = true;

  // 4. The client's own authorise amount.
  if (const std::string* authorize = items.Find(kItemAuthorize)) {
    if (IsTStreamAmount(*authorize)) m_RequestedAuthorize = AmountToDigits(*authorize);
  }

  // 5. Amounts.
  if (!ReadAmountField(items, kItemPurchase, m_Purchase, kParseErrPurchase, false)) return false;
  if (items.Has(kItemGratuity) &&
      !ReadAmountField(items, kItemGratuity, m_Gratuity, kParseErrGratuity, false)) {
    return false;
  }
  if (items.Has(kItemCashBack) &&
      !ReadAmountField(items, kItemCashBack, m_CashBack, kParseErrCashBack, false)) {
    return false;
  }

  // 6. The amount to authorise.
  m_Authorize = DigitsSum({&m_Purchase, &m_Gratuity, &m_CashBack});
  if (!IsAboveZero(m_Authorize)) return fail(kParseErrAuthorize);

  // 7. PIN: required for magnetic-stripe debit, optional on a chip.
  std::string pinBlock;
  std::string dervdKey;
  const bool emv = items.Get(kItemTranType) == kTranTypeEMVDebit;
  if (!emv && !items.Has(kItemPINBlock)) return fail(kParseErrPINBlock);
  if (items.Has(kItemPINBlock)) {
    if (const int error = ReadPin(items, &pinBlock, &dervdKey)) return fail(error);
  }

  // 8. Approval code of a chip override.
  if (code == kCodeEMVDebitChipOverrideSale) {
    const std::string* authCode = items.Find(kItemAuthCode);
    if (authCode == nullptr) return fail(kParseErrAuthCode);
    m_AuthCode = FirstChars(*authCode, kAuthCodeLength);
  }

  // 9. Account type.
  const std::string selection = items.Get(kItemSelection);
  if (selection == kSelectionSavings) {
    m_AccountType = kAcctType2;
  } else if (selection == kSelectionChecking) {
    m_AccountType = kAcctType1;
  } else {
    m_AccountType = kAcctType0;
  }

  // 10. - 11. Account and host card data.
  TrackAccount(*track, &m_AcctNo);
  m_HostCardData = m_Encrypted ? m_EncryptedBlock : *track;
  m_PINBlock = pinBlock;
  m_DervdKey = dervdKey;

  // 12. Accepted; a return is never partial.
  m_TranCode = code;
  m_TranCodeName = GetTranCodeName(code);
  m_CardType = kCardTypeDebit;
  if (code == kCodeDebitReturn) m_PartialAuth = false;
  m_Family = kTranFamilyDebit;
  return true;
}

// ---- EBT ----

bool CElavonTran::ParseEBTRequest(const CTStreamItems& items) {
  const auto fail = [this](int code) {
    m_ErrorCode = code;
    return false;
  };

  // 1. TranCode and card type.
  const std::string* tranCode = items.Find(kItemTranCode);
  if (tranCode == nullptr) return fail(kParseErrTranCode);
  const std::string* cardType = items.Find(kItemCardType);
  if (cardType == nullptr || (*cardType != kCardTypeFoodstamp && *cardType != kCardTypeCash)) {
    return fail(kParseErrCardType);
  }

  // 2. The code by card type.
  const bool foodstamp = *cardType == kCardTypeFoodstamp;
  m_AccountType = foodstamp ? kAcctType3 : kAcctType4;
  const CTranCodeInfo* row = FindTranCodeForParser(
      foodstamp ? TranCodeParser::kEBTFoodstamp : TranCodeParser::kEBTCash, *tranCode);
  if (row == nullptr) return fail(kParseErrTranCode);
  const int code = row->m_Code;

  // 3. - 4. The card text.
  std::string card;
  if (const std::string* track2 = items.Find(kItemTrack2)) {
    if (track2->size() > kMaxTrack2Length) return fail(kParseErrTrack2);
    card = *track2;
    m_Track2Given = true;
  } else {
    const std::string* acctNo = items.Find(kItemAcctNo);
    if (acctNo == nullptr) return fail(kParseErrAcctNo);
    card = *acctNo;
    const std::string* expDate = items.Find(kItemExpDate);
    if (expDate != nullptr && expDate->size() != kExpDateLength) return fail(kParseErrExpDate);
  }
  if (card.size() < kMinCardTextLength) return fail(kParseErrAcctNo);

  // 5. Amounts, except for balance inquiries; cash back only on a cash sale.
  if (code != kCodeEBTFoodstampBalance && code != kCodeEBTCashBalance) {
    if (!ReadAmountField(items, kItemPurchase, m_Purchase, kParseErrPurchase, false)) return false;
    if (items.Has(kItemCashBack)) {
      if (code != kCodeEBTCashSale) return fail(kParseErrCashBack);
      if (!ReadAmountField(items, kItemCashBack, m_CashBack, kParseErrCashBack, false)) return false;
    }
    m_Authorize = DigitsSum({&m_Purchase, &m_CashBack});
    if (!IsAboveZero(m_Authorize)) return fail(kParseErrAuthorize);
  }

  // 6. A voucher carries its approval; everything else a PIN.
  std::string pinBlock;
  std::string dervdKey;
  if (code == kCodeEBTVoucher) {
    const std::string* authCode = items.Find(kItemAuthCode);
    if (authCode == nullptr) return fail(kParseErrAuthCode);
    m_AuthCode = FirstChars(*authCode, kAuthCodeLength);
    const std::string* voucherNo = items.Find(kItemVoucherNo);
    if (voucherNo == nullptr) return fail(kParseErrVoucherNo);
    m_VoucherNo = *voucherNo;
  } else {
    if (!items.Has(kItemPINBlock)) return fail(kParseErrPINBlock);
    if (const int error = ReadPin(items, &pinBlock, &dervdKey)) return fail(error);
  }

  // 7. - 9. Card data.
  m_PINBlock = pinBlock;
  m_DervdKey = dervdKey;
  m_AcctNo = card;
  m_ExpDate = items.Get(kItemExpDate);
  if (m_Encrypted) {
    m_HostCardData = m_EncryptedBlock;
  } else if (m_Track2Given) {
    m_HostCardData = card;
  } else {
    m_HostCardData = m_AcctNo + "=" + m_ExpDate;
  }
  if (m_Track2Given) {
    const std::string trackExpDate = TrackExpDate(card);
    if (!trackExpDate.empty()) m_ExpDate = trackExpDate;
    TrackAccount(card, &m_AcctNo);
  }

  // 10. Accepted; EBT is never partial.
  m_PartialAuth = false;
  m_TranCode = code;
  m_TranCodeName = GetTranCodeName(code);
  m_CardType = *cardType;
  m_Family = kTranFamilyEBT;
  return true;
}

// ---- Electronic checks ----

bool CElavonTran::ParseCheckRequest(const CTStreamItems& items, const CParamSettings& settings) {
  const auto fail = [this](int code) {
    m_ErrorCode = code;
    return false;
  };

  // 1. TranCode.
  const CTranCodeInfo* row =
      FindTranCodeForParser(TranCodeParser::kECheck, items.Get(kItemTranCode));
  if (row == nullptr) return fail(kParseErrTranCode);
  const int code = row->m_Code;

  // 2. Card type.
  const std::string* cardType = items.Find(kItemCardType);
  if (cardType != nullptr && *cardType != kCardTypePersonalCheck) return fail(kParseErrCardType);
  m_CardType = kCardTypePersonalCheck;

  // 3. How the check was read.
  const std::string* micr = items.Find(kItemMICR);
  if (micr == nullptr) return fail(kParseErrMicrMissing);
  if (*micr == kMicrReader) {
    m_Track2Given = true;
    m_CheckKeyed = 0;
    const std::string* toad = items.Find(kItemRawTOAD);
    if (toad == nullptr || toad->size() > kMaxRawTOADLength) return fail(kParseErrRawTOAD);
    m_RawTOAD = *toad;
    m_HostCardData = *toad;
  } else if (*micr == kMicrKeyed) {
    m_Track2Given = false;
    m_CheckKeyed = 1;
    const std::string* routing = items.Find(kItemRoutingNo);
    if (routing == nullptr) return fail(kParseErrRoutingNo);
    m_RoutingNo = *routing;
    const std::string* acctNo = items.Find(kItemAcctNo);
    if (acctNo == nullptr) return fail(kParseErrAcctNo);
    m_AcctNo = *acctNo;
    const std::string* sequence = items.Find(kItemSequenceNo);
    if (sequence == nullptr) return fail(kParseErrSequenceNo);
    m_CheckSequenceNo = *sequence;
    m_HostCardData = "T" + m_RoutingNo + "T" + m_AcctNo + "O" + m_CheckSequenceNo;
  } else {
    return fail(kParseErrMicrType);
  }

  // 4. Identity items the merchant requires.
  if (ReadIntParam(settings, kParmECheck) == kECheckNeedsIdentity) {
    if (!items.Has(kItemDriversLicense)) return fail(kParseErrDriversLicense);
    if (!items.Has(kItemStateCode)) return fail(kParseErrStateCode);
    if (!items.Has(kItemPhoneNo)) return fail(kParseErrPhoneNo);
  }

  // 5. Their form.
  const std::string stateCode = items.Get(kItemStateCode);
  if (!stateCode.empty() && stateCode.size() != kStateCodeLength) return fail(kParseErrStateCode);
  m_StateCode = stateCode;
  const std::string license = items.Get(kItemDriversLicense);
  if (license.size() > kMaxDriversLicenseLength) return fail(kParseErrDriversLicense);
  m_DriversLicense = license;
  const std::string phone = items.Get(kItemPhoneNo);
  if (phone.size() > kMaxPhoneNoLength) return fail(kParseErrPhoneNo);
  m_PhoneNo = phone;

  // 6. Amount.
  if (!ReadAmountField(items, kItemPurchase, m_Purchase, kParseErrPurchase, false)) return false;
  m_Authorize = m_Purchase;
  if (!IsAboveZero(m_Authorize)) return fail(kParseErrAuthorize);

  // 7. A check keeps the first 16 characters of its RefNo.
  if (const std::string* refNo = items.Find(kItemRefNo)) {
    m_RefNo = UnderscoresToSpaces(FirstChars(*refNo, kCheckRefNoLength));
  }

  // 8. A void carries the approval it voids.
  if (code == kCodeECheckVoidSale) {
    const std::string* authCode = items.Find(kItemAuthCode);
    if (authCode == nullptr) return fail(kParseErrAuthCode);
    m_AuthCode = FirstChars(*authCode, kAuthCodeLength);
  }

  // 9. Accepted.
  m_TranCode = code;
  m_TranCodeName = GetTranCodeName(code);
  m_Family = kTranFamilyECheck;
  return true;
}

// ---- EMV items and line items ----

bool CElavonTran::ParseEMVFields(const CTStreamItems& items) {
  const std::string* source = items.Find(kItemEMVEntrySource);
  if (source == nullptr) {
    m_ErrorCode = kParseErrEMVEntrySource;
    return false;
  }
  m_EMVEntrySource = *source;
  if (const std::string* v = items.Find(kItemEMVData)) m_EMVData = *v;
  if (const std::string* v = items.Find(kItemEMVAppID)) m_EMVAppID = *v;
  if (const std::string* v = items.Find(kItemEMVTSCounter)) m_EMVTSCounter = *v;
  if (const std::string* v = items.Find(kItemEMVPANSeqNo)) m_EMVPANSeqNo = *v;
  if (const std::string* v = items.Find(kItemPinPadSerialNo)) m_PinPadSerialNo = *v;
  return true;
}

bool CElavonTran::ParseLineItems(const CTStreamItems& items) {
  for (std::size_t i = 0; i < kLineItemKeys.size(); ++i) {
    const LineItemKeys& keys = kLineItemKeys[i];
    const std::string* itemCode = items.Find(keys.code);
    if (itemCode == nullptr) continue;
    CTranLineItem& line = m_LineItems[i];
    line.m_Code = itemCode->size() == kItemCodeLength - 1 ? "0" + *itemCode : *itemCode;
    if (line.m_Code.size() != kItemCodeLength) {
      m_ErrorCode = kParseErrItemCode;
      return false;
    }
    if (!ReadAmountField(items, keys.quantity, line.m_Quantity, kParseErrItemQuantity, true) ||
        !ReadAmountField(items, keys.unitCost, line.m_UnitCost, kParseErrItemUnitCost, true) ||
        !ReadAmountField(items, keys.total, line.m_Total, kParseErrItemTotal, false)) {
      return false;
    }
  }
  return true;
}
