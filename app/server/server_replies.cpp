// The replies to the server's own commands: ServerVersion, GetCorvaneParms and the EMV
// offline-declined sale.
#include <string>

#include "app/server/client_session.h"
#include "core/params/param_store.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/client_reply.h"
#include "core/tran/emv_params.h"
#include "core/tran/tran_params.h"
#include "core/tran/tran_reply.h"
#include "core/vocab/text_helpers.h"

namespace {

constexpr char kDocumentHead[] = "<?xml version=\"1.0\"?>\r\n<RStream>\r\n";
constexpr char kDocumentTail[] = "</RStream>\r\n";
constexpr int kServerReplyCode = 500000;
constexpr int kParamsReplyCode = 500001;
constexpr size_t kRidLength = 10;

std::string Document(const CElavonTran& tran, int code, const std::string& text, const std::string& block) {
  CCmdResponse response;  // ResponseOrigin "Server"
  return kDocumentHead + response.FormatCmdResponse(code, "S", text, tran.m_UserTraceData) + block +
         kDocumentTail;
}

// The document encrypted with the request's key block and framed; 4020 in clear (and
// request kind 2) when that fails.
std::string EncryptedReply(CElavonTran& tran, const std::string& document) {
  std::string hex;
  if (tran.EncryptResponse(&hex, document)) return ClientReplyFrame(hex, true);
  tran.m_RequestKind = kRequestKindClear;
  CCmdResponse response;
  return ClientReplyFrame(
      response.FormatRStream(kErrorCannotEncrypt, "E",
                             "Internal Server Error! Could Not Encrypt Response CALL PROVIDER.",
                             tran.m_UserTraceData, ""),
      false);
}

}  // namespace

std::string CClientSession::ServerVersion(CElavonTran& tran) {
  const std::string tag = kServerVersionTag;
  const std::string version = tag.size() > 7 ? tag.substr(tag.size() - 7) : tag;
  const std::string block =
      "\t<ServerVersion>\r\n"
      "\t\t<ProductName>Corvane</ProductName>\r\n"
      "\t\t<ProductClass>Host Based</ProductClass>\r\n"
      "\t\t<Provider>Elavon</Provider>\r\n"
      "\t\t<ProductVersion>" +
      version +
      "</ProductVersion>\r\n"
      "\t</ServerVersion>\r\n";
  return EncryptedReply(tran, Document(tran, kServerReplyCode, kServerVersionTag, block));
}

std::string CClientSession::GetCorvaneParams(CElavonTran& tran) {
  return GetCorvaneParams(tran, g_ParamStore.GetSettings());
}

std::string CClientSession::GetCorvaneParams(CElavonTran& tran, const CParamSettings& settings) {
  std::string block = "\t<GetCorvaneParams>\r\n\t<Contactless>MSDONLY</Contactless>\r\n";
  switch (ReadIntParam(settings, kParmEmvSupport)) {
    case 1:
      block += "\t<PaymentTypes>Credit</PaymentTypes>\r\n";
      break;
    case 2:
      block += "\t<PaymentTypes>Credit,Debit</PaymentTypes>\r\n";
      break;
    default:
      block += "\t<PaymentTypes>None</PaymentTypes>\r\n";
      break;
  }
  block += "\t</GetCorvaneParams>\r\n";
  return EncryptedReply(tran, Document(tran, kParamsReplyCode, "Success", block));
}

std::string CClientSession::OfflineDecline(CElavonTran& tran) {
  CEmvAidEntry entry;
  CElavonTran::LoadEMVDefaults(entry, SafeMid(tran.m_EMVAppID, 0, static_cast<int>(kRidLength)));
  const std::pair<const char*, const std::string*> fields[] = {
      {"EMVParamsRid1", &entry.m_RID},
      {"AidList1", &entry.m_AidList},
      {"FloorLimit1", &entry.m_FloorLimit},
      {"RSThreshold1", &entry.m_RSThreshold},
      {"TargetRSPercent1", &entry.m_TargetRSPercent},
      {"MaxTargetRSPercent1", &entry.m_MaxTargetRSPercent},
      {"FallBackIndicator1", &entry.m_FallBackIndicator},
      {"TACDefault1", &entry.m_TACDefault},
      {"TACDenial1", &entry.m_TACDenial},
      {"TACOnline1", &entry.m_TACOnline},
      {"DefaultDDOL1", &entry.m_DefaultDDOL},
      {"DefaultTDOL1", &entry.m_DefaultTDOL},
      {"TerminalCapabilities1", &entry.m_TerminalCapabilities},
      {"AdditionalCapabilities1", &entry.m_AdditionalCapabilities},
      {"CtlsAidList1", &entry.m_CtlsAidList},
      {"CtlsFloorLimit1", &entry.m_CtlsFloorLimit},
      {"CtlsTranLimit1", &entry.m_CtlsTranLimit},
      {"CtlsCVMLimit1", &entry.m_CtlsCVMLimit},
      {"CtlsTACDefault1", &entry.m_CtlsTACDefault},
      {"CtlsTACDenial1", &entry.m_CtlsTACDenial},
      {"CtlsTACOnline1", &entry.m_CtlsTACOnline},
      {"CtlsTerminalCapabilities1", &entry.m_CtlsTerminalCapabilities},
      {"CtlsAdditionalCapabilities1", &entry.m_CtlsAdditionalCapabilities},
  };
  std::string block = "\t<OfflineDecline>\r\n";
  for (const auto& [name, value] : fields) block += XmlElement(name, *value, 1, false);
  block += "\t</OfflineDecline>\r\n";
  return EncryptedReply(tran, Document(tran, kServerReplyCode, kServerVersionTag, block));
}
