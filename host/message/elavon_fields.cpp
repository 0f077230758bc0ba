// The fields of an Elavon request: one builder per FID, and the two computed parts of
// FID 01 and FID 10.
#include <map>
#include <string>
#include <string_view>

#include "core/log/logger.h"
#include "core/params/param_settings.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"
#include "host/message/elavon_request.h"
#include "platform/text/format.h"

namespace {

// A batch count or total as the host wants it: an optional sign and the leading
// digits, in 64 bits (a day's totals may pass the 32-bit range), saturating.
std::string BatchNumberText(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  constexpr long long kMax = 999999999999999999LL;  // 18 digits: never overflows below
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kMax) value = kMax;
  }
  return platform::Format("%lld", negative ? -value : value);
}

constexpr std::string_view kCVVDataBypass = "Bypass";
constexpr std::string_view kFallBackEmptyCandidateList = "EmptyCandidateList";

// AcqRefData items the fields read.
constexpr int kAcqResponseText = 1;
constexpr int kAcqApprovalPart = 2;
constexpr int kAcqApprovalRest = 3;
constexpr int kAcqTerminalCapability = 4;
constexpr int kAcqElavonCode = 5;
constexpr int kAcqResponseCode = 6;
constexpr int kAcqApprovalSubfield5 = 7;
constexpr int kAcqSequenceNo = 8;

void AppendFieldStart(std::string& message, std::string_view fid) {
  message += kGS;
  message += fid;
}

bool IsBalanceInquiry(int code) {
  return code == kCodeCreditBalance || code == kCodeEBTFoodstampBalance ||
         code == kCodeEBTCashBalance || code == kCodeBalanceByRecordNo;
}

bool IsECheckCode(int code) { return code == kCodeECheckSale || code == kCodeECheckVoidSale; }

// A cash-back digit text read as a number is above 0.
bool HasCashBack(const std::string& cashBack) { return ParamTextToInt(cashBack) > 0; }

// EMV data "tag:value|tag:value..." as tag to value; items without ':' are skipped and
// a later item replaces an earlier one of the same tag.
std::map<std::string, std::string> SplitEmvTags(const std::string& emvData) {
  std::map<std::string, std::string> tags;
  std::size_t start = 0;
  while (start <= emvData.size()) {
    std::size_t end = emvData.find('|', start);
    if (end == std::string::npos) end = emvData.size();
    const std::string item = emvData.substr(start, end - start);
    const std::size_t colon = item.find(':');
    if (colon != std::string::npos) tags[item.substr(0, colon)] = item.substr(colon + 1);
    start = end + 1;
  }
  return tags;
}

std::string TagValue(const std::map<std::string, std::string>& tags, const std::string& tag) {
  auto it = tags.find(tag);
  return it == tags.end() ? std::string() : it->second;
}

}  // namespace

std::string TrackWithExpiryAsMMYY(const std::string& cardData) {
  const std::size_t eq = cardData.find('=');
  if (eq == std::string::npos) return cardData;
  const int at = static_cast<int>(eq);
  return cardData.substr(0, eq + 1) + SafeMid(cardData, at + 3, 2) + SafeMid(cardData, at + 1, 2);
}

bool LookupAcqRefDataItem(const std::string& acqRefData, int item, std::string* value) {
  value->clear();
  FieldMap items;
  SplitToMap('|', acqRefData, items);
  auto it = items.find(item);
  if (it == items.end()) return false;
  *value = it->second;
  return true;
}

std::string AcqRefDataItem(const std::string& acqRefData, int item) {
  std::string value;
  LookupAcqRefDataItem(acqRefData, item, &value);
  return value;
}

void CElavonTran::GetPosEntryCodes(std::string& capability, std::string& entryMode,
                                   int merchantCategory, int emvSupport) const {
  capability = std::string(emvSupport != 0 ? kTermCap04 : kTermCap03);
  entryMode.clear();
  if (!m_EMVEntrySource.empty()) {
    if (m_Contactless) {
      capability = std::string(kTermCap05);
      entryMode = std::string(kPosEntry06);
    } else if (m_EMVEntrySource == kEMVEntrySourceChipRead) {
      entryMode = std::string(kPosEntry05);
    } else if (m_EMVEntrySource == kEMVEntrySourceChipFallBackMag) {
      const bool emptyList =
          m_CardType == kCardTypeDcvr && m_FallBackReason == kFallBackEmptyCandidateList;
      entryMode = std::string(emptyList ? kPosEntry03 : kPosEntry08);
    } else if (m_EMVEntrySource == kEMVEntrySourceMagStripe) {
      entryMode = std::string(kPosEntry03);
    } else if (m_EMVEntrySource == kEMVEntrySourceChipFallBackMagStripeFallBackMan ||
               m_EMVEntrySource == kEMVEntrySourceMagStripeFallBackMan) {
      entryMode = std::string(kPosEntry02);
    }
  } else if (m_Track2Given) {
    if (m_Contactless) {
      entryMode = std::string(kPosEntry04);
    } else if (IsECheckCode(m_TranCode)) {
      capability = std::string(kTermCap10);
      entryMode = std::string(kPosEntry10);
    } else {
      entryMode = std::string(kPosEntry03);
    }
  } else if (m_RecordNoGiven) {
    entryMode = std::string(kPosEntry01);
  } else if (IsECheckCode(m_TranCode)) {
    capability = std::string(kTermCap10);
    entryMode = std::string(kPosEntry11);
  } else {
    entryMode = std::string(merchantCategory == 0 || merchantCategory == 1 ? kPosEntry02
                                                                           : kPosEntry01);
  }

  // The reversal codes of the record's own transaction send the card as keyed,
  // unless it travels encrypted. (Their Elavon codes read no parameter.)
  const std::string own = GetElavonTranCode(m_TranCode, CParamMap());
  if ((own == kElavonCode099 || own == kElavonCode199) && !m_Encrypted) {
    entryMode = std::string(kPosEntry01);
  }
}

std::string CElavonTran::GetCvv2Indicator() const {
  if (!m_CVVValid || m_CVVData == kCVVDataNone) return "9";
  if (m_CVVData == kCVVDataIllegible) return "2";
  if (m_CVVData == kCVVDataBypass) return "0";
  return "1" + m_CVVData;
}

bool CElavonTran::AppendFid01(std::string& message, const CParamMap& params, int sequence,
                              bool voidForm, bool reversalForm) {
  const int category = ParamTextToInt(params.GetParamValue(kParmMerchantCategory));
  const int emvSupport = ParamTextToInt(params.GetParamValue(kParmEmvSupport));
  std::string entryMode;
  GetPosEntryCodes(m_TerminalCapability, entryMode, category, emvSupport);

  AppendFieldStart(message, "01");
  message += m_TerminalCapability;
  message += entryMode;

  if (reversalForm) {
    message += '0';
    message += (!m_Encrypted && m_Track2Given) ? TrackWithExpiryAsMMYY(m_HostCardData)
                                               : m_HostCardData;
  } else {
    message += m_PartialAuth ? '1' : '0';
    message += m_HostCardData;
  }

  message += kFS;
  message += IsBalanceInquiry(m_TranCode) ? std::string("0") : m_Authorize;
  message += kFS;

  std::string sequenceText = IntToStr(sequence);
  std::string given;
  if (reversalForm && LookupAcqRefDataItem(m_AcqRefData, kAcqSequenceNo, &given)) {
    sequenceText = given;
  }
  m_RequestSeqNo = RightAligned(sequenceText, 4, '0');
  message += m_RequestSeqNo;
  GetLogger().LogLine("Using Seq No %s Building %s", m_RequestSeqNo.c_str(),
                      GetTranFamilyName().c_str());

  if (m_TranCode == kCodeECheckSale) return true;
  message += kFS;
  if (voidForm) message += RightAligned(m_RefNo, 4, '0');
  if (m_TranCode == kCodeECheckVoidSale) return true;

  message += kFS;
  message += "1";
  message += "00";
  message += "00";
  message += m_RecordNoGiven ? '1' : '0';
  message += '0';
  return true;
}

bool CElavonTran::AppendFid04(std::string& message) const {
  AppendFieldStart(message, "04");
  message += RightAligned(AcqRefDataItem(m_AcqRefData, kAcqElavonCode), 3, '0');
  message += RightAligned(AcqRefDataItem(m_AcqRefData, kAcqResponseCode), 2, ' ');
  message += AcqRefDataItem(m_AcqRefData, kAcqApprovalSubfield5);
  return true;
}

bool CElavonTran::AppendFid06(std::string& message) const {
  if (m_LaneNumber.empty()) return true;
  AppendFieldStart(message, "06");
  message += m_LaneNumber;
  return true;
}

bool CElavonTran::AppendFid10(std::string& message) const {
  if (!m_ZipGiven && !m_CVVValid) return true;
  AppendFieldStart(message, "10");
  message += SafeMid(m_Zip, 0, 9);
  message += kFS;
  message += SafeMid(m_Address, 0, 20);
  message += kFS;
  message += GetCvv2Indicator();
  return true;
}

bool CElavonTran::AppendFid11(std::string& message) const {
  if (!m_TaxGiven) return true;
  AppendFieldStart(message, "11");
  message += m_Tax;
  message += kFS;
  message += SafeMid(m_CustomerCode, 0, 17);
  return true;
}

bool CElavonTran::AppendFid12(std::string& message) const {
  if (m_InvoiceNo.empty()) return true;
  AppendFieldStart(message, "12");
  message += m_InvoiceNo;
  message += kFS;
  return true;
}

bool CElavonTran::AppendFid16(std::string& message) const {
  if (m_EMVData.empty()) return true;
  const std::map<std::string, std::string> tags = SplitEmvTags(m_EMVData);
  auto zeroFilled = [&tags](const std::string& tag, std::size_t width) {
    return RightAligned(TagValue(tags, tag), width, '0');
  };

  AppendFieldStart(message, "16");
  message += zeroFilled("9F26", 16);
  message += zeroFilled("9F27", 2);
  message += zeroFilled("9F37", 8);
  message += zeroFilled("9F36", 4);
  message += zeroFilled("95", 10);
  message += zeroFilled("9C", 2);
  message += zeroFilled("82", 4);
  message += zeroFilled("9F33", 6);
  message += zeroFilled("9F34", 6);
  message += zeroFilled("9A", 6);
  message += zeroFilled("5F2A", 3);
  message += zeroFilled("9F02", 12);
  std::string otherAmount = zeroFilled("9F03", 12);
  // Without an other amount of its own, the cash back is sent in its place.
  if (HasCashBack(m_CashBack) && otherAmount == std::string(12, '0')) {
    otherAmount = RightAligned(m_CashBack, 12, '0');
  }
  message += otherAmount;
  message += zeroFilled("9F35", 2);
  message += RightAligned(TagValue(tags, "5F34"), 2, ' ');
  message += zeroFilled("5F24", 6);

  message += TagValue(tags, "9F10");
  message += kFS;
  message += zeroFilled("8A", 2);
  message += zeroFilled("9F6E", 8);
  message += TagValue(tags, "9F7C");
  message += kFS;
  message += zeroFilled("9F1A", 3);
  message += TagValue(tags, "9F6E");
  message += kFS;
  message += TagValue(tags, "84");
  message += kFS;
  message += TagValue(tags, "9F0B");
  return true;
}

bool CElavonTran::AppendFid17(std::string& message) const {
  AppendFieldStart(message, "17");
  for (const std::string* amount :
       {&m_Authorize, &m_FSAPrescription, &m_FSAVision, &m_FSAClinical, &m_FSADental}) {
    message += *amount;
    message += kFS;
  }
  return true;
}

bool CElavonTran::AppendFid19(std::string& message, const std::string& elavonCode) const {
  AppendFieldStart(message, "19");
  message += RightAligned(m_AuthCode, 6, '0');
  message += AcqRefDataItem(m_AcqRefData, kAcqResponseText);
  message += kFS;
  message += RightAligned(AcqRefDataItem(m_AcqRefData, kAcqApprovalPart), 6, '0');
  message += AcqRefDataItem(m_AcqRefData, kAcqApprovalRest);
  if (elavonCode == kElavonCode006) {
    message += kFS;
    message += RightAligned(AcqRefDataItem(m_AcqRefData, kAcqTerminalCapability), 2, '0');
    message += '@';
  }
  return true;
}

bool CElavonTran::AppendFid40(std::string& message) const {
  if (m_PhoneNo.empty() || m_DriversLicense.empty() || m_StateCode.empty()) return true;
  AppendFieldStart(message, "40");
  message += m_PhoneNo;
  message += kFS;
  message += m_DriversLicense;
  message += '=';
  message += m_StateCode;
  return true;
}

bool CElavonTran::AppendFid50(std::string& message) const {
  if (!HasCashBack(m_CashBack)) return true;
  AppendFieldStart(message, "50");
  message += "0";
  message += "0000";
  message += kFS;
  message += m_CashBack;
  message += kFS;
  message += "  ";
  return true;
}

bool CElavonTran::AppendFid50Debit(std::string& message) const {
  AppendFieldStart(message, "50");
  message += m_AccountType.empty() ? '0' : m_AccountType.back();
  message += "0000";
  message += kFS;
  message += m_CashBack;
  message += kFS;
  message += "  ";
  return true;
}

bool CElavonTran::AppendFid51(std::string& message) const {
  if (m_PINBlock.empty()) return true;
  AppendFieldStart(message, "51");
  message += "T";
  message += RightAligned(m_PINBlock, 16, '0');
  message += m_DervdKey;
  return true;
}

bool CElavonTran::AppendFid52(std::string& message) const {
  AppendFieldStart(message, "52");
  message += "000000";
  message += "000000";
  message += "00000000";
  return true;
}

bool CElavonTran::AppendFid55(std::string& message) const {
  AppendFieldStart(message, "55");
  message += LeftAligned(m_AuthCode, 6, ' ');
  message += SafeMid(m_VoucherNo, 0, 15);
  return true;
}

bool CElavonTran::AppendFid59(std::string& message) const {
  AppendFieldStart(message, "59");
  message += RightAligned(m_AuthCode, 6, ' ');
  message += RightAligned(AcqRefDataItem(m_AcqRefData, kAcqApprovalPart), 6, '0');
  message += AcqRefDataItem(m_AcqRefData, kAcqApprovalRest);
  return true;
}

bool CElavonTran::AppendFid77(std::string& message) const {
  AppendFieldStart(message, "77");
  message += m_EMVKeyIndex;
  return true;
}

bool CElavonTran::AppendFid8D(std::string& message) const {
  if (m_HostCardData.empty()) return true;
  AppendFieldStart(message, "8D");
  message += m_HostCardData;
  return true;
}

bool CElavonTran::AppendFid90(std::string& message, const CParamMap& params) const {
  AppendFieldStart(message, "90");
  message += RightAligned(m_BatchNo, 3, '0');
  message += BatchNumberText(m_BatchItemCount);
  message += kFS;
  message += BatchNumberText(m_SignedBatchTotal);
  message += kFS;
  if (ParamTextToInt(params.GetParamValue(kParmMerchantCategory)) == 0) message += "0";
  return true;
}

bool CElavonTran::AppendFidE1(std::string& message) const {
  if (!m_Encrypted) return true;
  AppendFieldStart(message, "E1");
  message += "E3";
  message += m_EncryptedKey;
  return true;
}
