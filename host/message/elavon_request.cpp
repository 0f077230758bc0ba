// The Elavon request: frame, header, the Elavon code of each internal code and the
// fields each Elavon code carries.
#include "host/message/elavon_request.h"

#include <string_view>
#include <vector>

#include "core/log/logger.h"
#include "core/params/param_settings.h"
#include "core/params/param_store.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"
#include "host/seq/sequence_file.h"

namespace {

// One step of a message body.
enum class Field {
  k01,          // FID 01, transaction form
  k01Void,      // FID 01, void form
  k01Reversal,  // FID 01, reversal form
  k04,
  k10,
  k11,
  k12,
  k17Fsa,  // FID 17, only for the FSA sales
  k19,
  k40,
  k50Credit,
  k50Debit,
  k51,
  k52,
  k55,
  k59,
  k77,
  k8D,
  k90,
};

struct FieldPlan {
  std::vector<std::string_view> m_Codes;
  std::vector<Field> m_Fields;
};

using F = Field;

// The fields after the header, in order, by Elavon code. A code not listed gets F01.
const std::vector<Field>& FieldsOf(const std::string& elavonCode) {
  static const std::vector<FieldPlan> kPlans = {
      {{kElavonCode000}, {F::k01, F::k10, F::k11, F::k12, F::k17Fsa, F::k50Credit, F::k51}},
      {{kElavonCode005}, {F::k01, F::k11, F::k12, F::k50Credit, F::k51}},
      {{kElavonCode098, kElavonCode198}, {F::k01Void, F::k04, F::k50Credit, F::k51}},
      {{kElavonCode099}, {F::k01Reversal, F::k04, F::k19, F::k50Credit, F::k51}},
      {{kElavonCode199}, {F::k01Reversal, F::k04, F::k50Credit, F::k51, F::k59}},
      {{kElavonCode006}, {F::k01, F::k11, F::k12, F::k19, F::k50Credit, F::k51}},
      {{kElavonCode001, kElavonCode002}, {F::k01, F::k10, F::k11, F::k50Credit, F::k51}},
      {{kElavonCode004}, {F::k01, F::k51}},
      {{kElavonCode100, kElavonCode120, kElavonCode124, kElavonCode140, kElavonCode141},
       {F::k01, F::k50Debit, F::k51}},
      {{kElavonCode102, kElavonCode122}, {F::k01, F::k50Debit, F::k51, F::k52}},
      {{kElavonCode121, kElavonCode123}, {F::k01, F::k55}},
      {{kElavonCode300, kElavonCode301, kElavonCode302}, {F::k01, F::k40}},
      {{kElavonCode398}, {F::k01Void, F::k59, F::k04}},
      {{kElavonCode399}, {F::k01Reversal, F::k59, F::k04}},
      {{kElavonCode900}, {F::k90}},
      {{kElavonCode998}, {}},
      {{kElavonCode810}, {F::k01, F::k8D}},
      {{kElavonCode803}, {F::k77}},
  };
  static const std::vector<Field> kDefault = {F::k01};
  for (const FieldPlan& plan : kPlans) {
    for (std::string_view code : plan.m_Codes) {
      if (code == elavonCode) return plan.m_Fields;
    }
  }
  return kDefault;
}

bool IsReversalCode(const std::string& code) {
  return code == kElavonCode099 || code == kElavonCode199 || code == kElavonCode399;
}

}  // namespace

char ElavonChecksum(std::string_view messageThroughEtx) {
  unsigned char sum = 0;
  for (std::size_t i = kElavonMarkerPos; i < messageThroughEtx.size(); ++i) {
    sum ^= static_cast<unsigned char>(messageThroughEtx[i]);
  }
  return static_cast<char>(sum);
}

void AppendElavonTrailer(std::string& message) {
  message += kETX;
  message += ElavonChecksum(message);
}

void ReplaceElavonChecksum(std::string& message) {
  if (message.size() < 2) return;
  message.pop_back();
  message += ElavonChecksum(message);
}

std::string TerminalIdentifier(bool withSuffix) {
  return TerminalIdentifier(withSuffix, g_ParamStore.GetSettings().GetParams());
}

std::string TerminalIdentifier(bool withSuffix, const CParamMap& params) {
  std::string id = "JX4807";
  switch (ParamTextToInt(params.GetParamValue(kParmMerchantCategory))) {
    case 3:
      id += 'M';
      break;
    case 4:
      id += 'I';
      break;
    default:
      id += 'G';
      break;
  }
  id += withSuffix ? 'C' : ' ';
  return id;
}

std::string RightAligned(const std::string& value, std::size_t width, char fill) {
  if (value.size() >= width) return value.substr(value.size() - width);
  return std::string(width - value.size(), fill) + value;
}

std::string LeftAligned(const std::string& value, std::size_t width, char fill) {
  if (value.size() >= width) return value.substr(0, width);
  return value + std::string(width - value.size(), fill);
}

std::string CElavonTran::GetElavonTranCode(int code) {
  // Only the ECheck Sale reads a parameter; spare the others the store's lock.
  if (code != kCodeECheckSale) return GetElavonTranCode(code, CParamMap());
  return GetElavonTranCode(code, g_ParamStore.GetSettings().GetParams());
}

std::string CElavonTran::GetElavonTranCode(int code, const CParamMap& params) {
  std::string_view elavon;
  switch (code) {
    case kCodeCreditSale:
    case kCodeCreditFSASale:
    case kCodeSaleByRecordNo:
    case kCodeFSASaleByRecordNo:
    case kCodeEMVCreditSale:
      elavon = kElavonCode000;
      break;
    case kCodeCreditReturn:
    case kCodeReturnByRecordNo:
    case kCodeEMVCreditReturn:
      elavon = kElavonCode005;
      break;
    case kCodeCreditVoidSale:
    case kCodeCreditVoidReturn:
    case kCodeVoidSaleByRecordNo:
    case kCodeVoidReturnByRecordNo:
    case kCodeEMVCreditVoidSale:
    case kCodeEMVCreditVoidReturn:
    case kCodeEMVCreditChipOverrideSale:
      elavon = kElavonCode098;
      break;
    case kCodeCreditVoiceAuth:
    case kCodeCreditPreAuthCapture:
    case kCodeVoiceAuthByRecordNo:
    case kCodePreAuthCaptureByRecordNo:
    case kCodeEMVCreditVoiceAuth:
      elavon = kElavonCode006;
      break;
    case kCodeCreditPreAuth:
    case kCodeCreditAuthOnly:
    case kCodePreAuthByRecordNo:
    case kCodeAuthOnlyByRecordNo:
      elavon = kElavonCode001;
      break;
    case kCodeCreditZeroAuth:
    case kCodeEMVCreditZeroAuth:
      elavon = kElavonCode002;
      break;
    case kCodeCreditReverseFSASale:
    case kCodeReverseFSASaleByRecordNo:
    case kCodeEMVCreditTimeoutReversal:
      elavon = kElavonCode099;
      break;
    case kCodeCreditBalance:
    case kCodeBalanceByRecordNo:
      elavon = kElavonCode004;
      break;
    case kCodeDebitSale:
    case kCodeEMVDebitSale:
      elavon = kElavonCode100;
      break;
    case kCodeDebitReturn:
    case kCodeEMVDebitReturn:
      elavon = kElavonCode102;
      break;
    case kCodeBatchSummary:
      elavon = kElavonCode998;
      break;
    case kCodeBatchClose:
      elavon = kElavonCode900;
      break;
    case kCodeEBTFoodstampSale:
      elavon = kElavonCode120;
      break;
    case kCodeEBTFoodstampReturn:
      elavon = kElavonCode122;
      break;
    case kCodeEBTCashSale:
      elavon = kElavonCode140;
      break;
    case kCodeEBTVoucher:
      elavon = kElavonCode121;
      break;
    case kCodeEBTVoucherReturn:
      elavon = kElavonCode123;
      break;
    case kCodeEBTFoodstampBalance:
      elavon = kElavonCode124;
      break;
    case kCodeEBTCashBalance:
      elavon = kElavonCode141;
      break;
    case kCodeECheckSale:
      switch (ParamTextToInt(params.GetParamValue(kParmECheck))) {
        case 0:
          elavon = kElavonCode300;
          break;
        case 1:
          elavon = kElavonCode301;
          break;
        case 2:
          elavon = kElavonCode302;
          break;
        default:
          break;
      }
      break;
    case kCodeECheckVoidSale:
      elavon = kElavonCode398;
      break;
    case kCodeTokenOnly:
      elavon = kElavonCode810;
      break;
    case kCodeEMVParamDownload:
    case kCodeEMVKeyDownloadNext:
    case 77:  // a further step of the key download, as the host tables list it
      elavon = kElavonCode803;
      break;
    case kCodeEMVDebitChipOverrideSale:
      elavon = kElavonCode198;
      break;
    case kCodeEMVDebitTimeoutReversal:
      elavon = kElavonCode199;
      break;
    default:
      break;
  }
  return std::string(elavon);
}

void CElavonTran::GetSequenceAndTerminal(const CParamMap& params, std::string& terminal,
                                         int& sequence) {
  GetSequenceAndTerminal(params, terminal, sequence, g_SequenceFile);
}

void CElavonTran::GetSequenceAndTerminal(const CParamMap& params, std::string& terminal,
                                         int& sequence, CSequenceFile& sequenceFile) {
  terminal = params.GetParamValue(kParmMerchantTerminalId);
  std::string messages;
  sequence = sequenceFile.Read(&messages);
  // Logged once the file's lock is released.
  if (!messages.empty()) GetLogger().LogText(messages);
}

std::string CElavonTran::GetTranFamilyName() const {
  switch (m_Family) {
    case kTranFamilyCredit:
      return "Credit";
    case kTranFamilyDebit:
      return "Debit";
    case kTranFamilyEcho:
      return "Echo";
    case kTranFamilyCheck:
      return "Check";
    case kTranFamilyEBT:
      return "EBT";
    case kTranFamilyECheck:
      return "ECheck";
    default:
      return std::string();
  }
}

bool CElavonTran::BuildElavonRequest() {
  return BuildElavonRequest(g_ParamStore.GetSettings(), g_SequenceFile);
}

bool CElavonTran::BuildElavonRequest(const CParamSettings& settings, CSequenceFile& sequenceFile) {
  if (m_TranCode == kCodeNone) return false;

  if (m_TranCode == kCodeReversal) {
    // The client session builds the reversal of an undelivered approval before it
    // queues it: that message is the one to send. Otherwise build it now; a refusal
    // sends nothing.
    if (m_Family == kTranFamilyReversal && !m_HostRequest.empty() &&
        m_HostRequest[0] == kSTX &&
        IsReversalCode(SafeMid(m_HostRequest, static_cast<int>(kElavonCodePos),
                               static_cast<int>(kElavonCodeLength)))) {
      return true;
    }
    return BuildReversalRequest(settings);
  }

  const CParamMap params = settings.GetParams();
  const std::string elavonCode = GetElavonTranCode(m_TranCode, params);
  if (elavonCode.empty()) {
    // Never sent with a short header: the record fails with its own code.
    m_ErrorCode = kErrorGeneralFailure;
    GetLogger().LogLine("Elavon Request not built for %s: TranCode %d (%s) has no Elavon code",
                        m_ClientAddress.c_str(), m_TranCode, m_TranCodeName.c_str());
    return false;
  }

  std::string terminal;
  int sequence = 0;
  GetSequenceAndTerminal(params, terminal, sequence, sequenceFile);

  std::string message;
  message += kSTX;
  message += kElavonMarkerBuilt;
  message += "00";
  message += "E";
  message += "4029";
  message += (elavonCode == kElavonCode998 || elavonCode == kElavonCode803) ? 'M' : 'A';
  message += elavonCode;
  if (m_Family != kTranFamilyEcho) m_ElavonCode = elavonCode;
  message += TerminalIdentifier(true, params);
  message += RightAligned(params.GetParamValue(kParmAssignedBin), 6, '0');
  message += RightAligned(terminal, 16, '0');
  message += "zovade";

  for (Field field : FieldsOf(elavonCode)) {
    switch (field) {
      case F::k01:
        AppendFid01(message, params, sequence, false, false);
        break;
      case F::k01Void:
        AppendFid01(message, params, sequence, true, false);
        break;
      case F::k01Reversal:
        AppendFid01(message, params, sequence, false, true);
        break;
      case F::k04:
        AppendFid04(message);
        break;
      case F::k10:
        AppendFid10(message);
        break;
      case F::k11:
        AppendFid11(message);
        break;
      case F::k12:
        AppendFid12(message);
        break;
      case F::k17Fsa:
        if (m_TranCode == kCodeCreditFSASale || m_TranCode == kCodeFSASaleByRecordNo) {
          AppendFid17(message);
        }
        break;
      case F::k19:
        AppendFid19(message, elavonCode);
        break;
      case F::k40:
        AppendFid40(message);
        break;
      case F::k50Credit:
        AppendFid50(message);
        break;
      case F::k50Debit:
        AppendFid50Debit(message);
        break;
      case F::k51:
        AppendFid51(message);
        break;
      case F::k52:
        AppendFid52(message);
        break;
      case F::k55:
        AppendFid55(message);
        break;
      case F::k59:
        AppendFid59(message);
        break;
      case F::k77:
        AppendFid77(message);
        break;
      case F::k8D:
        AppendFid8D(message);
        break;
      case F::k90:
        AppendFid90(message, params);
        break;
    }
  }
  AppendFid16(message);
  AppendFid06(message);
  AppendFidE1(message);
  AppendElavonTrailer(message);
  m_HostRequest = message;
  return true;
}
