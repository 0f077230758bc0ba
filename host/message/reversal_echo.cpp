// The two requests derived from the message last built: the reversal, which cancels a
// transaction whose outcome went astray, and the echo, which confirms an approval.
#include <string>
#include <string_view>

#include "core/log/logger.h"
#include "core/params/param_settings.h"
#include "core/params/param_store.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/tran/tran_params.h"
#include "core/vocab/text_helpers.h"
#include "core/vocab/vocabulary.h"
#include "host/message/elavon_request.h"

namespace {

// A reversal needs this many bytes after its reference position (see below).
constexpr std::size_t kReversalMinTail = 10;

// AcqRefData items of the approval that FID 59 of a reversal carries.
constexpr int kAcqApprovalPart = 2;
constexpr int kAcqApprovalRest = 3;

// True when code, the Elavon transaction code of a message, is that of an echo
// ("197" debit and EBT, "397" ECheck).
bool IsEchoMessageCode(const std::string& code) {
  return code == kElavonCode197 || code == kElavonCode397;
}

// The reversal code for a record of family whose previous message had code
// previousCode; "" when nothing is to be reversed.
std::string_view ReversalCodeFor(int family, const std::string& previousCode) {
  if (family == kTranFamilyCredit) return kElavonCode099;
  if (family == kTranFamilyDebit) return kElavonCode199;
  if (previousCode == kElavonCode197) return kElavonCode199;
  if (family == kTranFamilyEBT) return kElavonCode199;
  if (family == kTranFamilyECheck) return kElavonCode399;
  if (previousCode == kElavonCode397) return kElavonCode399;
  return {};
}

std::string PreviousCode(const std::string& message) {
  return SafeMid(message, static_cast<int>(kElavonCodePos), static_cast<int>(kElavonCodeLength));
}

}  // namespace

bool CElavonTran::BuildReversalRequest() { return BuildReversalRequest(g_ParamStore.GetSettings()); }

bool CElavonTran::BuildReversalRequest(const CParamSettings& settings) {
  const std::string& previous = m_HostRequest;
  auto refuse = [this, &previous](const char* reason) {
    GetLogger().LogLine("Reversal Request not built for %s (family %d, Elavon code [%s]): %s",
                        m_ClientAddress.c_str(), m_Family, PreviousCode(previous).c_str(),
                        reason);
    return false;
  };

  const std::size_t firstGs = previous.find(kGS);
  if (firstGs == std::string::npos) return refuse("the previous message has no field");
  std::size_t next = previous.find(kGS, firstGs + 1);
  if (next == std::string::npos) next = previous.find(kETX, firstGs + 1);
  if (next == std::string::npos) return refuse("the previous message has no end");
  // An echo is measured from its only field, any other message from its second.
  const bool previousIsEcho = SafeMid(previous, static_cast<int>(firstGs) + 1, 2) == "52";
  const std::size_t reference = previousIsEcho ? firstGs : next;
  if (previous.size() < reference + kReversalMinTail) {
    return refuse("the previous message is too short");
  }
  const std::string previousCode = PreviousCode(previous);
  const std::string code(ReversalCodeFor(m_Family, previousCode));
  if (code.empty()) return refuse("no reversal applies");

  const CParamMap params = settings.GetParams();
  std::string message;
  message += kSTX;
  message += kElavonMarkerBuilt;
  message += "00";
  message += "E";
  message += "4029";
  message += "A";
  message += code;
  message += TerminalIdentifier(true, params);
  message += RightAligned(params.GetParamValue(kParmAssignedBin), 6, '0');
  message += RightAligned(params.GetParamValue(kParmMerchantTerminalId), 16, '0');
  message += "zovade";

  // FID 01: the capability of the message being reversed, then the entry mode as it
  // stands now (which also refreshes the capability kept for the answer).
  message += kGS;
  message += "01";
  message += m_TerminalCapability;
  std::string entryMode;
  GetPosEntryCodes(m_TerminalCapability, entryMode,
                   ParamTextToInt(params.GetParamValue(kParmMerchantCategory)),
                   ParamTextToInt(params.GetParamValue(kParmEmvSupport)));
  message += entryMode;
  message += '0';
  message += m_Track2Given ? TrackWithExpiryAsMMYY(m_HostCardData) : m_HostCardData;
  message += kFS;
  message += m_Authorize;
  message += kFS;
  message += m_RequestSeqNo;
  if (code != kElavonCode399) {
    message += kFS;
    message += kFS;
    message += "1";
    message += "00";
    message += "00";
    message += m_RecordNoGiven ? '1' : '0';
    message += '0';
    message += '0';
  }

  message += kGS;
  message += "04";
  message += RightAligned(m_ElavonCode, 3, ' ');
  message += "  ";

  AppendFid06(message);

  if (!IsEchoMessageCode(previousCode)) {
    message += kGS;
    message += "59";
    message += m_HostAuthCode;
    message += AcqRefDataItem(m_HostAcqRefData, kAcqApprovalPart);
    message += AcqRefDataItem(m_HostAcqRefData, kAcqApprovalRest);
  }

  AppendFidE1(message);
  AppendElavonTrailer(message);
  m_HostRequest = message;
  m_Family = kTranFamilyReversal;
  return true;
}

std::string CElavonTran::BuildEchoRequest() {
  const std::size_t firstGs = m_HostRequest.find(kGS);
  // The Elavon code is replaced in place, so the header must reach past it.
  if (firstGs == std::string::npos || firstGs < kElavonCodePos + kElavonCodeLength) {
    GetLogger().LogLine("Echo Request not built for %s: the previous message has no header",
                        m_ClientAddress.c_str());
    return std::string();
  }

  std::string message = m_HostRequest.substr(0, firstGs + 1);
  message[kElavonMarkerPos] = kElavonMarkerBuilt;
  message.replace(kElavonCodePos, kElavonCodeLength,
                  m_Family == kTranFamilyECheck ? kElavonCode397 : kElavonCode197);
  message += "52";
  message += SafeMid(m_EchoRef1, 0, 6);
  message += SafeMid(m_EchoRef2, 0, 6);
  message += m_HostRefNo;
  message += kFS;
  message += m_Authorize;
  AppendElavonTrailer(message);

  m_HostRequest = message;
  m_Family = kTranFamilyEcho;
  return message;
}

std::string CElavonTran::ReversalToKeep(const CParamSettings& settings) const {
  if (m_Family == kTranFamilyReversal || !IsReversibleCode(m_TranCode)) return std::string();
  CElavonTran copy = *this;
  return copy.BuildReversalRequest(settings) ? copy.m_HostRequest : std::string();
}
