#include "core/tran/client_reply.h"

#include <cassert>

#include "core/log/log_text.h"
#include "core/vocab/control_chars.h"

#include "platform/text/format.h"

namespace {

constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\"?>\r\n";
constexpr std::string_view kLineEnd = "\r\n";

// One element line: indent and opening tag, the value without ETX, closing tag, line end.
void AppendElement(std::string& out, std::string_view open, std::string_view value,
                   std::string_view close) {
  out.append(open);
  out.append(XmlEscape(value));
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

std::string XmlEscape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case kETX: break;
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

namespace {

bool IsLayoutWhitespace(char c) { return c == '\r' || c == '\n' || c == '\t'; }

// document with the CR and LF bytes that stand outside its layout escaped: the text is
// taken run by run between the markup characters '<' and '>'; a run of layout
// whitespace alone that follows a '>' and ends at a '<' or the end of the text is
// layout, every other run has its line breaks escaped.
std::string EscapeValueLineBreaks(std::string_view document) {
  std::string out;
  out.reserve(document.size());
  size_t start = 0;
  while (start < document.size()) {
    if (document[start] == '<' || document[start] == '>') {
      out.push_back(document[start++]);
      continue;
    }
    size_t end = document.find_first_of("<>", start);
    if (end == std::string_view::npos) end = document.size();
    const std::string_view run = document.substr(start, end - start);
    const bool afterTag = start > 0 && document[start - 1] == '>';
    const bool beforeTag = end == document.size() || document[end] == '<';
    bool whitespace = true;
    for (char c : run) whitespace = whitespace && IsLayoutWhitespace(c);
    if (afterTag && beforeTag && whitespace) {
      out.append(run);
    } else {
      out.append(EscapeLineBreaks(run));
    }
    start = end;
  }
  return out;
}

}  // namespace

std::string ReplyLogCopy(const std::string& reply) {
  const std::string cut = CutForLog(MaskCardNumbers(reply));
  // A frame: FS, the mode, "00", STX, the payload, ETX. Only the payload is a document.
  constexpr size_t kHead = 5;
  if (cut.size() >= kHead && cut[0] == kFS && cut[kHead - 1] == kSTX) {
    const bool closed = cut.back() == kETX && cut.size() > kHead;
    const size_t payloadEnd = closed ? cut.size() - 1 : cut.size();
    return cut.substr(0, kHead) + EscapeValueLineBreaks(std::string_view(cut).substr(kHead, payloadEnd - kHead)) +
           (closed ? std::string(1, kETX) : std::string());
  }
  return EscapeValueLineBreaks(cut);
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
