#include "core/tran/emv_report.h"

#include <exception>
#include <string_view>

#include "core/log/logger.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/emv_params.h"
#include "core/tran/tran_reply.h"
#include "core/vocab/text_helpers.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

constexpr unsigned kEmvReportMode = 0600;

constexpr int kReportWidth = 40;
constexpr char kLineEnd[] = "\r\n";

struct CardAssociation {
  std::string_view title;
  std::string_view rid;
};

constexpr CardAssociation kAssociations[] = {
    {"CARD ASSOCIATION: VISA", RID_VISA},
    {"CARD ASSOCIATION: MASTERCARD", RID_MASTERCARD},
    {"CARD ASSOCIATION: AMERICAN EXPRESS", RID_AMEX},
    {"CARD ASSOCIATION: DISCOVER", RID_DISCOVER},
    {"CARD ASSOCIATION: JCB", RID_JCB},
};

void AddLine(std::string& out, const std::string& text) {
  out += text;
  out += kLineEnd;
}

// The first 32 and the last 16 hex characters of the modulus, not the whole key.
void AddKeySection(std::string& out, const CEmvCaKey& key) {
  out += "RID: " + SpaceHexPairs(key.m_RID, true);
  out += "KEY INDEX: " + SpaceHexPairs(key.m_Index, true);
  AddLine(out, "KEY MODULUS");
  out += SpaceHexPairs(SafeMid(key.m_Modulus, 0, 16), true);
  out += SpaceHexPairs(SafeMid(key.m_Modulus, 16, 16), true);
  AddLine(out, "---");
  const int size = static_cast<int>(key.m_Modulus.size());
  out += SpaceHexPairs(SafeMid(key.m_Modulus, size > 16 ? size - 16 : 0), true);
  out += "KEY EXPONENT: " + SpaceHexPairs(key.m_Exponent, true);
  out += "HASH VALUE: " + SpaceHexPairs(key.m_Check, true);
  AddLine(out, "");
}

void AddParameterSection(std::string& out, const CEmvAidEntry& aid) {
  AddLine(out, "Terminal Capabilities: " + aid.m_TerminalCapabilities);
  AddLine(out, "Additional Capabilities: " + aid.m_AdditionalCapabilities);
  AddLine(out, "Threshold Value RS: " + NormalizeAmountText(aid.m_RSThreshold));
  AddLine(out, "Target Percent RS: " + aid.m_TargetRSPercent);
  AddLine(out, "Maximum Target Percent RS: " + aid.m_MaxTargetRSPercent);
  AddLine(out, "Default DDOL: " + aid.m_DefaultDDOL);
  AddLine(out, "Default TDOL: " + aid.m_DefaultTDOL);
  AddLine(out, "Application ID: " + aid.m_AidList);
  AddLine(out, "Chip Offline Floor Limit: " + NormalizeAmountText(aid.m_FloorLimit));
  AddLine(out, "Fallback Indicator: " + aid.m_FallBackIndicator);
  AddLine(out, "TAC Denial: " + aid.m_TACDenial);
  AddLine(out, "TAC Online: " + aid.m_TACOnline);
  AddLine(out, "TAC Default: " + aid.m_TACDefault);
  AddLine(out, "Ctls Terminal Capabilities: " + aid.m_CtlsTerminalCapabilities);
  AddLine(out, "Ctls Additional Capabilities: " + aid.m_CtlsAdditionalCapabilities);
  AddLine(out, "Ctls Application ID: " + aid.m_CtlsAidList);
  AddLine(out, "Ctls Chip Offline Floor Limit: " + NormalizeAmountText(aid.m_CtlsFloorLimit));
  AddLine(out, "CtlsTranLimit: " + NormalizeAmountText(aid.m_CtlsTranLimit));
  AddLine(out, "CtlsCVMLimit: " + NormalizeAmountText(aid.m_CtlsCVMLimit));
  AddLine(out, "Ctls TAC Denial: " + aid.m_CtlsTACDenial);
  AddLine(out, "Ctls TAC Online: " + aid.m_CtlsTACOnline);
  AddLine(out, "Ctls TAC Default: " + aid.m_CtlsTACDefault);
  AddLine(out, "");
}

std::string LocalTimeText(time_t now, const char* format) {
  const struct tm local = platform::LocalTime(now);
  char text[32];
  if (strftime(text, sizeof text, format, &local) == 0) text[0] = '\0';
  return text;
}

bool IsFileIdChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

}  // namespace

std::string CenterText(const std::string& text, int width, bool lineEnd) {
  const int size = static_cast<int>(text.size());
  const int pad = size < width ? (width - size + 1) / 2 : 0;
  std::string out;
  if (width > 0) {
    out.assign(static_cast<size_t>(pad), ' ');
    out += text;
    out.resize(static_cast<size_t>(width), ' ');
  }
  if (lineEnd) out += kLineEnd;
  return out;
}

std::string SpaceHexPairs(const std::string& text, bool lineEnd) {
  std::string out;
  out.reserve(text.size() + text.size() / 2 + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (i % 2 == 1) out += ' ';
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (lineEnd) out += kLineEnd;
  return out;
}

std::string EmvReportFileId(const std::string& id) {
  std::string out = id.substr(0, kEmvReportIdMaxLength);
  for (char& c : out) {
    if (!IsFileIdChar(static_cast<unsigned char>(c))) c = '_';
  }
  return out;
}

std::string EmvReportFileName(const std::string& merchantId, const std::string& terminalId) {
  return "EMVParam_" + EmvReportFileId(merchantId) + "_" + EmvReportFileId(terminalId) + ".log";
}

std::string FormatEmvParamReport(const std::string& merchantId, const std::string& terminalId,
                                 const CEmvParamTables& tables, time_t now) {
  std::string out = CenterText("EMV PARAMETERS", kReportWidth, true);
  AddLine(out, "");
  AddLine(out, "MERCHANT ID: " + merchantId);
  if (!terminalId.empty()) AddLine(out, "TERM ID: " + terminalId);
  AddLine(out, "DATE: " + LocalTimeText(now, "%m/%d/%Y") + "  TIME: " +
                   LocalTimeText(now, "%H:%M:%S"));
  for (const CardAssociation& association : kAssociations) {
    AddLine(out, "");
    out += CenterText(std::string(association.title), kReportWidth, true);
    AddLine(out, "");
    for (const CEmvCaKey& key : tables.m_CaKeys) {
      if (key.m_RID == association.rid) AddKeySection(out, key);
    }
    for (const CEmvAidEntry& aid : tables.m_AidEntries) {
      if (aid.m_RID == association.rid) AddParameterSection(out, aid);
    }
  }
  return out;
}

bool CElavonTran::WriteEMVParamReport() { return WriteEMVParamReport(CReplyContext()); }

bool CElavonTran::WriteEMVParamReport(const CReplyContext& context) {
  const std::string folder = context.m_ReportFolder.empty()
                                 ? std::string(kEmvReportFolder)
                                 : context.m_ReportFolder + "/" + kEmvReportFolder;
  std::string path;
  try {
    path = folder + "/" + EmvReportFileName(m_MerchantID, m_TerminalID);
    const std::string text =
        FormatEmvParamReport(m_MerchantID, m_TerminalID, m_EMVParamTables, platform::Now());
    if (!platform::fs::CreateFolder(folder)) {
      context.Logger().LogLine("error at CreateVirureday: %d(%s)\n",
                               static_cast<int>(platform::GetLastError()), kEmvReportFolder);
      return false;
    }
    // Opening, writing and closing are one step here; a failure of any of them is
    // logged, and the previous report, if any, stays whole.
    // The report is the merchant's configuration: readable by the owner only.
    if (!platform::fs::ReplaceFile(path, platform::fs::ToTextMode(text), kEmvReportMode)) {
      context.Logger().LogLine("Exception Writing File %d(%s)",
                               static_cast<int>(platform::GetLastError()), path.c_str());
      return false;
    }
  } catch (const std::exception&) {
    context.Logger().LogLine("Exception Writing (%s) File - Unknown", path.c_str());
    return false;
  }
  return true;
}
