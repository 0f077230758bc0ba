#include "core/tran/client_reply.h"

#include <cassert>

#include "platform/text/format.h"

namespace {

constexpr char kFS = '\x1C';
constexpr char kSTX = '\x02';
constexpr char kETX = '\x03';

constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\"?>\r\n";
constexpr std::string_view kLineEnd = "\r\n";

// One element line: indent and opening tag, the value without ETX, closing tag, line end.
void AppendElement(std::string& out, std::string_view open, std::string_view value,
                   std::string_view close) {
  out.append(open);
  out.append(StripETX(value));
  out.append(close);
  out.append(kLineEnd);
}

std::string CmdStatusOfLetter(const std::string& letter) {
  if (letter == "A") return "Approved";
  if (letter == "D") return "Declined";
  if (letter == "S") return "Success";
  return "Error";
}

}  // namespace

std::string StripETX(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c != kETX) out.push_back(c);
  }
  return out;
}

std::string ClientReplyFrame(const std::string& payload, bool encrypted) {
  assert(payload.find(kETX) == std::string::npos && "reply payload holds ETX");
  std::string frame;
  frame.reserve(payload.size() + 6);
  frame.push_back(kFS);
  frame.push_back(encrypted ? '2' : '0');
  frame.append("00");
  frame.push_back(kSTX);
  frame.append(StripETX(payload));
  frame.push_back(kETX);
  return frame;
}

void CCmdResponse::SetFields(int returnCode, const std::string& statusLetter,
                             const std::string& textResponse, const std::string& userTraceData) {
  m_ReturnCode = platform::Format("%06d", returnCode);
  m_TextResponse = textResponse;
  m_CmdStatus = CmdStatusOfLetter(statusLetter);
  m_UserTraceData = userTraceData;
}

std::string CCmdResponse::FormatRStream(int returnCode, const std::string& statusLetter,
                                        const std::string& textResponse,
                                        const std::string& userTraceData,
                                        const std::string& extraBody) {
  SetFields(returnCode, statusLetter, textResponse, userTraceData);
  return RenderRStream(extraBody);
}

std::string CCmdResponse::FormatCmdResponse(int returnCode, const std::string& statusLetter,
                                            const std::string& textResponse,
                                            const std::string& userTraceData) {
  SetFields(returnCode, statusLetter, textResponse, userTraceData);
  return RenderCmdResponse();
}

void CCmdResponse::AppendHead(std::string& out) const {
  out.append("\t<CmdResponse>\r\n");
  AppendElement(out, "\t\t<ResponseOrigin>", m_ResponseOrigin, "</ResponseOrigin>");
  AppendElement(out, "\t\t<KVRXReturnCode>", m_ReturnCode, "</KVRXReturnCode>");
  AppendElement(out, "\t\t<CmdStatus>", m_CmdStatus, "</CmdStatus>");
  AppendElement(out, "\t\t<TextResponse>", m_TextResponse, "</TextResponse>");
  AppendElement(out, "\t\t<UserTraceData>", m_UserTraceData, "</UserTraceData>");
}

std::string CCmdResponse::RenderRStream(const std::string& extraBody) const {
  std::string out(kXmlDeclaration);
  out.append("<RStream>\r\n");
  AppendHead(out);
  out.append(StripETX(extraBody));
  out.append("\t</CmdResponse>\r\n");
  out.append("</RStream>\r\n");
  return out;
}

std::string CCmdResponse::RenderCmdResponse() const {
  std::string out;
  AppendHead(out);
  out.append("\t</CmdResponse>\r\n");
  return out;
}

void CCmdResponse::SetReturnCode(int returnCode, const std::string& textResponse) {
  m_ReturnCode = platform::Format("%06d", returnCode);
  if (!textResponse.empty()) m_TextResponse = textResponse;
}
