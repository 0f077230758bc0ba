// The reply of a host answer (and of a duplicate answered from the cache): the
// RStream document with its TranResponse block, encrypted with the request's own key
// block and framed; and the framing of ready documents in clear.
#include "core/tran/tran_reply.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/log/logger.h"
#include "core/params/param_settings.h"
#include "core/params/param_store.h"
#include "core/tran/client_reply.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"

namespace {

constexpr char kCannotEncryptText[] =
    "Internal Server Error! Could Not Encrypt Response CALL PROVIDER.";

constexpr char kXmlHead[] = "<?xml version=\"1.0\"?>\r\n<RStream>\r\n";
constexpr char kXmlTail[] = "</RStream>\r\n";

// Element lines of the TranResponse block, and those inside its Amount element.
constexpr int kBlockIndent = 2;
constexpr int kAmountIndent = 3;

bool IsOneOf(int code, std::initializer_list<int> codes) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

std::string TrimTrailingBlanks(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string BlanksToUnderscores(std::string text) {
  std::replace(text.begin(), text.end(), ' ', '_');
  return text;
}

void AddElement(std::string& out, const char* name, const std::string& value,
                int indent = kBlockIndent) {
  out += XmlElement(name, value, indent, true);
}

// Stores the encrypted frame of document in the record's reply, or, when the
// document cannot be encrypted with the request's key block, the 4020 error reply in
// clear with request kind 2. The record's error code stays as it was.
void StoreEncryptedReply(CElavonTran& tran, const std::string& document) {
  std::string hex;
  if (tran.EncryptResponse(&hex, document)) {
    tran.m_Reply = ClientReplyFrame(StripETX(hex), true);
    return;
  }
  tran.m_RequestKind = kRequestKindClear;
  CCmdResponse response;
  tran.m_Reply = ClientReplyFrame(
      response.FormatRStream(kErrorCannotEncrypt, "E", kCannotEncryptText, tran.m_UserTraceData, ""),
      false);
}

}  // namespace

CParamSettings CReplyContext::Settings() const {
  return m_Settings != nullptr ? *m_Settings : g_ParamStore.GetSettings();
}

CLogger& CReplyContext::Logger() const { return m_Logger != nullptr ? *m_Logger : ::GetLogger(); }

std::string XmlElement(const std::string& name, const std::string& value, int indent,
                       bool lineEnd) {
  const std::string clean = StripETX(value);
  if (clean.empty()) return std::string();
  std::string out(static_cast<size_t>(std::max(indent, 0)), '\t');
  const std::string tag = StripETX(name);
  out += '<';
  out += tag;
  out += '>';
  out += XmlEscape(clean);
  out += "</";
  out += tag;
  out += '>';
  if (lineEnd) out += "\r\n";
  return out;
}

std::string MaskAllChars(const std::string& text) { return std::string(text.size(), 'X'); }

std::string CElavonTran::BuildResponse(const std::string& document) {
  return BuildResponse(document, CReplyContext());
}

std::string CElavonTran::BuildResponse(const std::string& document,
                                       const CReplyContext& context) {
  if (m_RequestKind == kRequestKindClear) {
    m_Reply = ClientReplyFrame(StripETX(document), false);
  } else if (m_RequestKind == kRequestKindEncrypted) {
    const std::string rstream = BuildRStream(context);
    context.Logger().LogLine(m_Family == kTranFamilyEcho ? "(Echo) Response Built [%s] for %s"
                                                         : "Response Built [%s] for %s",
                             ReplyLogCopy(rstream).c_str(), m_ClientAddress.c_str());
    StoreEncryptedReply(*this, rstream);
  }
  // A cancel request (kind 1) gets no reply of its own.
  return m_Reply;
}

bool CElavonTran::ReplyCouldNotBeEncrypted() const {
  return m_RequestKind == kRequestKindClear && m_Reply.find(kCannotEncryptText) != std::string::npos;
}

std::string CElavonTran::BuildRStream() { return BuildRStream(CReplyContext()); }

std::string CElavonTran::BuildRStream(const CReplyContext& context) {
  std::string out = kXmlHead;
  CCmdResponse response;
  response.m_ResponseOrigin = "Processor";
  // Anything but exactly "Admin" is answered as a transaction.
  const bool admin = m_TStreamType == kTStreamAdmin;
  if (admin) {
    out += response.FormatCmdResponse(0, m_AdminSuccess ? "S" : "E",
                                      m_BatchResponse.m_TextResponse, m_UserTraceData);
    out += BuildAdminResponseXml(context);
  } else {
    out += response.FormatCmdResponse(0, m_Approved ? "A" : "D", m_TextResponse,
                                      m_UserTraceData);
    out += BuildTranResponseXml(context);
  }
  out += kXmlTail;
  return out;
}

std::string CElavonTran::BuildTranResponseXml() { return BuildTranResponseXml(CReplyContext()); }

std::string CElavonTran::BuildTranResponseXml(const CReplyContext& context) {
  const CParamSettings settings = context.Settings();
  std::string out = "\t<TranResponse>\r\n";
  AddElement(out, "MerchantID", settings.GetParams().GetParamValue(kParmMerchantTerminalId));
  AddElement(out, "TerminalID", m_TerminalID);
  if (!m_AcctNo.empty()) AddElement(out, "AcctNo", MaskAccountNumber(m_AcctNo));
  if (!m_ExpDate.empty()) AddElement(out, "ExpDate", MaskAllChars(m_ExpDate));
  AddElement(out, "CardType", m_CardType);
  AddElement(out, "TranCode", m_TranCodeName);

  // Voice authorisations, captures and vouchers carry the approval code the client
  // sent when the host sent none back.
  if (IsOneOf(m_TranCode, {kCodeCreditVoiceAuth, kCodeCreditPreAuthCapture, kCodeEBTVoucher,
                           kCodeEBTVoucherReturn, kCodeVoiceAuthByRecordNo,
                           kCodePreAuthCaptureByRecordNo}) &&
      TrimTrailingBlanks(m_HostAuthCode).empty()) {
    m_HostAuthCode = m_AuthCode;
  }
  m_HostAuthCode = TrimTrailingBlanks(m_HostAuthCode);
  AddElement(out, "AuthCode", m_HostAuthCode);

  if (IsOneOf(m_TranCode, {kCodeEBTVoucher, kCodeEBTVoucherReturn})) {
    AddElement(out, "VoucherNo", m_VoucherNo);
  }
  // Authorisations that only reserve the amount, and balance requests, are never
  // captured, so they carry no capture status.
  if (m_Approved &&
      !IsOneOf(m_TranCode, {kCodeCreditPreAuth, kCodeCreditAuthOnly, kCodeCreditZeroAuth,
                            kCodeCreditBalance, kCodePreAuthByRecordNo,
                            kCodeAuthOnlyByRecordNo, kCodeBalanceByRecordNo})) {
    AddElement(out, "CaptureStatus", m_Captured ? "Captured" : "NotCaptured");
  }
  AddElement(out, "RefNo", BlanksToUnderscores(m_HostRefNo));
  AddElement(out, "InvoiceNo", m_InvoiceNo);
  m_AVSResult = TrimTrailingBlanks(m_AVSResult);
  AddElement(out, "AVSResult", m_AVSResult);
  AddElement(out, "CVVResult", m_CVVResult);
  AddElement(out, "EMVResult", m_EMVResult);
  AddElement(out, "OperatorID", m_OperatorID);
  AddElement(out, "Memo", m_Memo);

  // The amounts are written in normal form, which is never empty: an absent amount
  // reads "0.00".
  out += "\t\t<Amount>\r\n";
  AddElement(out, "Purchase", NormalizeAmountText(m_Purchase), kAmountIndent);
  AddElement(out, "Authorize", NormalizeAmountText(m_Authorize), kAmountIndent);
  if (m_Family == kTranFamilyCredit) {
    AddElement(out, "Gratuity", NormalizeAmountText(m_Gratuity), kAmountIndent);
  }
  AddElement(out, "CashBack", NormalizeAmountText(m_CashBack), kAmountIndent);
  AddElement(out, "Balance", m_EBTBalance, kAmountIndent);
  if (m_PartialAuth || IsOneOf(m_TranCode, {kCodeCreditFSASale, kCodeCreditBalance,
                                            kCodeFSASaleByRecordNo, kCodeBalanceByRecordNo})) {
    AddElement(out, "Balance", m_Balance, kAmountIndent);
  }
  out += "\t\t</Amount>\r\n";

  AddElement(out, "AcqRefData", BlanksToUnderscores(m_HostAcqRefData));
  AddElement(out, "ECheckInfo", m_ECheckInfo);
  // The stored record number goes back with the expiry date in clear: the client
  // needs both to use the record again.
  if (!m_HostRecordNo.empty()) AddElement(out, "RecordNo", m_HostRecordNo + "|" + m_ExpDate);
  out += "\t</TranResponse>\r\n";
  return out;
}

bool CElavonTran::BuildDuplicateResponse() { return BuildDuplicateResponse(CReplyContext()); }

bool CElavonTran::BuildDuplicateResponse(const CReplyContext& context) {
  if (!m_Approved || m_RequestKind != kRequestKindEncrypted) return false;
  m_EMVResult.clear();  // a duplicate reply carries no EMV result
  const std::string rstream = BuildRStream(context);
  context.Logger().LogLine("Duplicate Response Built [%s] for %s", ReplyLogCopy(rstream).c_str(),
                           m_ClientAddress.c_str());
  StoreEncryptedReply(*this, rstream);
  return true;
}
