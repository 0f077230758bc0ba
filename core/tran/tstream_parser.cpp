#include "core/tran/tstream_parser.h"

#include <climits>

#include "core/params/param_settings.h"
#include "core/params/param_store.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "core/tran/tstream_text.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"

using tstream_text::FirstChars;
using tstream_text::IsAllDigits;
using tstream_text::LastChars;

namespace {

// The one item name of the request that the shared vocabulary does not hold.
constexpr std::string_view kItemFallBackReason = "FallBackReason";

constexpr std::size_t kMaxLaneIdLength = 8;
constexpr std::size_t kLaneNumberLength = 4;
constexpr std::size_t kMaxMerchantIdLength = 16;
constexpr std::size_t kNameLength = 30;
constexpr std::size_t kOperatorTextLength = 20;  // OperatorID, ShiftID, TerminalName
constexpr std::size_t kMemoLength = 40;
constexpr std::size_t kInvoiceNoLength = 25;
constexpr std::size_t kRefNoLength = 16;
constexpr std::size_t kRecordExpDateLength = 4;

std::string WithoutChars(const std::string& text, std::string_view drop) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (drop.find(c) == std::string_view::npos) kept += c;
  }
  return kept;
}

std::string Replaced(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
  return text;
}

// The '-' of an amount or quantity, when it has one, is its first character.
bool MinusOnlyFirst(const std::string& text) { return text.find('-', 1) == std::string::npos; }

}  // namespace

// ---- CTStreamItems ----

CTStreamItems::CTStreamItems(const std::string& text) {
  FieldMap fields;
  SplitToMap(kTStreamItemSeparator, text, fields);
  for (const auto& [number, item] : fields) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    m_Items.insert_or_assign(item.substr(0, eq), item.substr(eq + 1));
  }
}

std::string CTStreamItems::Get(std::string_view key) const {
  const std::string* value = Find(key);
  return value != nullptr ? *value : std::string();
}

const std::string* CTStreamItems::Find(std::string_view key) const {
  const auto it = m_Items.find(key);
  return it != m_Items.end() ? &it->second : nullptr;
}

bool CTStreamItems::HasControlByteInValue() const {
  for (const auto& [key, value] : m_Items) {
    for (char c : value) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) return true;
    }
  }
  return false;
}

// ---- Text conversions ----

std::string AmountToDigits(const std::string& text) {
  return text.empty() ? std::string("00") : WithoutChars(text, ".-+");
}

std::string QuantityToDigits(const std::string& text) {
  return text.empty() ? std::string("000") : WithoutChars(text, ".-+");
}

std::string UnderscoresToSpaces(const std::string& text) { return Replaced(text, '_', ' '); }

std::string SpacesToUnderscores(const std::string& text) { return Replaced(text, ' ', '_'); }

int LeadingDigitsToInt(const std::string& text) {
  const int64_t value = tstream_text::DigitsValue(text);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

bool IsTStreamAmount(const std::string& text) { return IsAmountText(text) && MinusOnlyFirst(text); }

bool IsTStreamQuantity(const std::string& text) {
  return IsQuantityText(text) && MinusOnlyFirst(text);
}

// ---- CElavonTran: the request and its common items ----

void CElavonTran::ParseRequest() { ParseRequest(g_ParamStore.GetSettings()); }

void CElavonTran::ParseRequest(const CParamSettings& settings) {
  if (m_RequestKind != kRequestKindEncrypted) return;
  ParseTStream(settings);
  if (m_TranCode == kCodeNone) m_RequestKind = kRequestKindClear;
}

bool CElavonTran::ParseTStream() { return ParseTStream(g_ParamStore.GetSettings()); }

bool CElavonTran::ParseTStream(const CParamSettings& settings) {
  const auto stop = [this](int code) {
    m_ErrorCode = code;
    return false;
  };

  // 1. The items; no value may carry a control byte into the host message.
  m_ErrorCode = kParseErrInvalidCommandFormat;
  const CTStreamItems items(m_Request);
  if (items.HasControlByteInValue()) return stop(kParseErrInvalidCommandFormat);

  // 2. Partial authorisation.
  m_PartialAuth = items.Get(kItemPartialAuth) == kPartialAuthAllow;

  // 3. ClientID and the lane it implies.
  const std::string* clientId = items.Find(kItemClientID);
  if (clientId == nullptr) {
    m_LaneNumber.clear();
    m_ClientID.clear();
    return stop(kParseErrClientIdMissing);
  }
  if (IsAllDigits(*clientId)) {
    m_ClientID = *clientId;
    m_LaneNumber = LastChars(*clientId, kLaneNumberLength);
  } else {
    m_ClientID = "1";
    m_LaneNumber = "1";
  }

  // 4. LaneID.
  if (const std::string* laneId = items.Find(kItemLaneID)) {
    if (!IsAllDigits(*laneId) || laneId->size() > kMaxLaneIdLength) {
      return stop(kParseErrLaneId);
    }
    m_LaneNumber = *laneId;
  }

  // 5. Fall-back reason and acquirer data.
  if (const std::string* reason = items.Find(kItemFallBackReason)) m_FallBackReason = *reason;
  if (const std::string* acq = items.Find(kItemAcqRefData)) m_AcqRefData = UnderscoresToSpaces(*acq);

  // 6. TStream type.
  const std::string* streamType = items.Find(kItemTStream);
  if (streamType == nullptr) return stop(kParseErrTStreamMissing);
  if (*streamType != kTStreamTransaction && *streamType != kTStreamAdmin) {
    return stop(kParseErrTStreamType);
  }
  m_TStreamType = *streamType;
  const bool admin = m_TStreamType == kTStreamAdmin;

  // 7. Terminal and card-holder name.
  if (const std::string* terminal = items.Find(kItemTerminalID)) m_TerminalID = *terminal;
  if (const std::string* name = items.Find(kItemName)) m_Name = FirstChars(*name, kNameLength);

  // 8. MerchantID.
  const std::string* merchant = items.Find(kItemMerchantID);
  if (merchant == nullptr) return stop(kParseErrMerchantIdMissing);
  if (merchant->size() > kMaxMerchantIdLength) return stop(kParseErrMerchantId);
  m_MerchantID = *merchant;

  // 9. Operator texts.
  if (const std::string* v = items.Find(kItemOperatorID)) m_OperatorID = FirstChars(*v, kOperatorTextLength);
  if (const std::string* v = items.Find(kItemShiftID)) m_ShiftID = FirstChars(*v, kOperatorTextLength);
  if (const std::string* v = items.Find(kItemTerminalName)) m_TerminalName = FirstChars(*v, kOperatorTextLength);
  if (const std::string* v = items.Find(kItemMemo)) m_Memo = FirstChars(*v, kMemoLength);

  // 10. Duplicate override and account source.
  m_DuplicateOverride = items.Get(kItemDuplicate) == kDuplicateOverride;
  m_Contactless = false;
  const std::string source = items.Get(kItemAccountSource);
  if (source == kAccountSourceContactless) m_Contactless = true;
  if (source == kAccountSourceKeyed) m_Keyed = true;

  // 11. A transaction names its TranType.
  const std::string* tranType = items.Find(kItemTranType);
  if (!admin && tranType == nullptr) return stop(kParseErrTranType);

  // 12. Stored records.
  const std::string* recordNo = items.Find(kItemRecordNo);
  const std::string* frequency = items.Find(kItemFrequency);
  if (recordNo != nullptr && frequency == nullptr) return stop(kParseErrFrequency);
  if (frequency != nullptr && recordNo == nullptr) return stop(kParseErrRecordNo);
  if (recordNo != nullptr) {
    if (*frequency != kFrequencyOneTime && *frequency != kFrequencyRecurring) {
      return stop(kParseErrRecordNo);
    }
    if (*recordNo == kItemRecordNumberRequested) {
      m_RecordNoRequested = true;
    } else {
      m_RecordNoGiven = true;
      const std::string record = Replaced(*recordNo, '|', '=');
      const std::size_t eq = record.find('=');
      m_ExpDate = eq == std::string::npos ? FirstChars(record, kRecordExpDateLength)
                                          : FirstChars(record.substr(eq + 1), kRecordExpDateLength);
      m_RecordNo = record;
    }
  }

  // 13. Admin requests need nothing more.
  if (admin) return ParseAdminRequest(items);

  // 14. Invoice and reference numbers.
  const std::string* invoice = items.Find(kItemInvoiceNo);
  if (invoice == nullptr) return stop(kParseErrInvoiceNoMissing);
  m_InvoiceNo = LastChars(*invoice, kInvoiceNoLength);
  const std::string* refNo = items.Find(kItemRefNo);
  if (refNo == nullptr) return stop(kParseErrRefNoMissing);
  m_RefNo = UnderscoresToSpaces(LastChars(*refNo, kRefNoLength));

  // 15. Encrypted card data.
  if (const std::string* format = items.Find(kItemEncryptedFormat)) {
    if (*format != kEncryptedFormatElavon3DES) return stop(kParseErrEncryptedFormat);
    const std::string* block = items.Find(kItemEncryptedBlock);
    if (block == nullptr) return stop(kParseErrEncryptedBlock);
    const std::string* key = items.Find(kItemEncryptedKey);
    if (key == nullptr) return stop(kParseErrEncryptedKey);
    m_EncryptedBlock = *block;
    m_EncryptedKey = *key;
    m_Encrypted = true;
  }

  // 16. The family.
  if (*tranType == kTranTypeCredit) return ParseCreditRequest(items, settings);
  if (*tranType == kTranTypeDebit) return ParseDebitRequest(items);
  if (*tranType == kTranTypeECheck) return ParseCheckRequest(items, settings);
  if (*tranType == kTranTypeEBT) return ParseEBTRequest(items);
  if (*tranType != kTranTypeEMVCredit && *tranType != kTranTypeEMVDebit) {
    return stop(kParseErrTranType);
  }

  // 17. EMV, when the merchant supports it.
  if (ReadIntParam(settings, kParmEmvSupport) == 0) return stop(kParseErrEmvNotEnabled);
  if (!ParseEMVFields(items)) return false;
  if (*tranType == kTranTypeEMVCredit) return ParseCreditRequest(items, settings);
  return ParseDebitRequest(items);
}

std::string CElavonTran::GetTranCodeName(int code) { return ::GetTranCodeName(code); }

bool CElavonTran::ReadAmountField(const CTStreamItems& items, std::string_view key,
                                  std::string& output, int errorCode, bool quantity) {
  const std::string value = items.Get(key);
  const bool valid = quantity ? IsTStreamQuantity(value) : IsTStreamAmount(value);
  if (!valid) {
    m_ErrorCode = errorCode;
    return false;
  }
  output = quantity ? QuantityToDigits(value) : AmountToDigits(value);
  return true;
}
