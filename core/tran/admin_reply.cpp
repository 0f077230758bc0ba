// The admin block of a host answer: batch summary, batch close and the EMV parameter
// download, whose successful answer also leaves the EMV parameter report.
#include <string>

#include "core/params/param_settings.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/emv_params.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_reply.h"

namespace {

constexpr int kBlockIndent = 2;
// The EMV download elements stand on one line, one tab before each.
constexpr int kEmvElementIndent = 1;

void AddElement(std::string& out, const char* name, const std::string& value) {
  out += XmlElement(name, value, kBlockIndent, true);
}

void AddEmvElement(std::string& out, const char* name, int number, const std::string& value) {
  out += XmlElement(name + std::to_string(number), value, kEmvElementIndent, false);
}

std::string BatchLines(const CTranBatchResponse& batch) {
  std::string out;
  AddElement(out, "BatchNo", batch.m_BatchNo);
  AddElement(out, "BatchItemCount", batch.m_BatchItemCount);
  AddElement(out, "NetBatchTotal", batch.m_NetBatchTotal);
  AddElement(out, "CreditPurchaseCount", batch.m_CreditPurchaseCount);
  AddElement(out, "CreditPurchaseAmount", batch.m_CreditPurchaseAmount);
  AddElement(out, "CreditReturnCount", batch.m_CreditReturnCount);
  AddElement(out, "CreditReturnAmount", batch.m_CreditReturnAmount);
  AddElement(out, "DebitPurchaseCount", batch.m_DebitPurchaseCount);
  AddElement(out, "DebitPurchaseAmount", batch.m_DebitPurchaseAmount);
  AddElement(out, "DebitReturnCount", batch.m_DebitReturnCount);
  AddElement(out, "DebitReturnAmount", batch.m_DebitReturnAmount);
  return out;
}

// The CA keys, numbered from 1, then the AID records, numbered from 1 again. The
// records' Merchant field is not sent.
std::string EmvDownloadElements(const CEmvParamTables& tables) {
  std::string out;
  int n = 0;
  for (const CEmvCaKey& key : tables.m_CaKeys) {
    ++n;
    AddEmvElement(out, "PKeyRID", n, key.m_RID);
    AddEmvElement(out, "PKeyINDEX", n, key.m_Index);
    AddEmvElement(out, "PKeyEXPONENT", n, key.m_Exponent);
    AddEmvElement(out, "PKeyCHECK", n, key.m_Check);
    AddEmvElement(out, "PKeyEXPDATE", n, key.m_ExpDate);
    AddEmvElement(out, "PKeyMOD", n, key.m_Modulus);
  }
  n = 0;
  for (const CEmvAidEntry& aid : tables.m_AidEntries) {
    ++n;
    AddEmvElement(out, "EMVParamsRid", n, aid.m_RID);
    AddEmvElement(out, "AidList", n, aid.m_AidList);
    AddEmvElement(out, "FloorLimit", n, aid.m_FloorLimit);
    AddEmvElement(out, "RSThreshold", n, aid.m_RSThreshold);
    AddEmvElement(out, "TargetRSPercent", n, aid.m_TargetRSPercent);
    AddEmvElement(out, "MaxTargetRSPercent", n, aid.m_MaxTargetRSPercent);
    AddEmvElement(out, "FallBackIndicator", n, aid.m_FallBackIndicator);
    AddEmvElement(out, "TACDefault", n, aid.m_TACDefault);
    AddEmvElement(out, "TACDenial", n, aid.m_TACDenial);
    AddEmvElement(out, "TACOnline", n, aid.m_TACOnline);
    AddEmvElement(out, "DefaultDDOL", n, aid.m_DefaultDDOL);
    AddEmvElement(out, "DefaultTDOL", n, aid.m_DefaultTDOL);
    AddEmvElement(out, "TerminalCapabilities", n, aid.m_TerminalCapabilities);
    AddEmvElement(out, "AdditionalCapabilities", n, aid.m_AdditionalCapabilities);
    AddEmvElement(out, "CtlsAidList", n, aid.m_CtlsAidList);
    AddEmvElement(out, "CtlsFloorLimit", n, aid.m_CtlsFloorLimit);
    AddEmvElement(out, "CtlsTranLimit", n, aid.m_CtlsTranLimit);
    AddEmvElement(out, "CtlsCVMLimit", n, aid.m_CtlsCVMLimit);
    AddEmvElement(out, "CtlsTACDefault", n, aid.m_CtlsTACDefault);
    AddEmvElement(out, "CtlsTACDenial", n, aid.m_CtlsTACDenial);
    AddEmvElement(out, "CtlsTACOnline", n, aid.m_CtlsTACOnline);
    AddEmvElement(out, "CtlsTerminalCapabilities", n, aid.m_CtlsTerminalCapabilities);
    AddEmvElement(out, "CtlsAdditionalCapabilities", n, aid.m_CtlsAdditionalCapabilities);
  }
  return out;
}

}  // namespace

std::string CElavonTran::BuildAdminResponseXml() { return BuildAdminResponseXml(CReplyContext()); }

std::string CElavonTran::BuildAdminResponseXml(const CReplyContext& context) {
  // One copy of the settings serves the MerchantID and the EMV defaults alike.
  const CParamSettings settings = context.Settings();
  std::string common;
  AddElement(common, "MerchantID", settings.GetParams().GetParamValue(kParmMerchantTerminalId));
  AddElement(common, "TerminalID", m_TerminalID);
  AddElement(common, "OperatorID", m_OperatorID);

  if (m_TranCode == kCodeBatchSummary) {
    return "\t<BatchSummary>\r\n" + common + BatchLines(m_BatchResponse) + "\t</BatchSummary>\r\n";
  }
  if (m_TranCode == kCodeBatchClose) {
    return "\t<BatchClose>\r\n" + common + BatchLines(m_BatchResponse) + "\t</BatchClose>\r\n";
  }
  if (m_Family != kTranFamilyEmvKeyDownload) return common;

  std::string body;
  if (m_AdminSuccess) {
    BuildEMVParamList(CEmvOptions::FromSettings(settings));
    body = EmvDownloadElements(m_EMVParamTables);
    // The report is a record for people; the client's reply does not depend on it.
    WriteEMVParamReport(context);
  }
  return "\t<EMVParamDownload>\r\n" + common + body + "\t</EMVParamDownload>\r\n";
}
