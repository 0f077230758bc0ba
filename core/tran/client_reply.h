// The two building blocks of every reply the server sends to a point-of-sale client:
// ClientReplyFrame, which wraps one payload for the wire, and CCmdResponse, which
// writes the CmdResponse element that opens every RStream document, alone or as a
// whole minimal document.
//
// Documents are written byte for byte as the clients read them: tab indents, "\r\n"
// line ends, elements in a fixed order. A value is text of the client, the host or the
// server, never markup: it goes into its element with '&', '<' and '>' written
// "&amp;", "&lt;" and "&gt;" (XmlEscape), so that no value can add or close an
// element; every other byte stays as it is (a NUL byte stays a NUL byte), but for ETX
// (0x03), which ends a frame on the wire: every value written into a document loses
// its ETX bytes, and builders of further elements use StripETX for the same reason. A
// frame is therefore always its payload plus six bytes.
//
// Everything here is a value or a stateless function: no lock, no shared state, safe
// on any thread.
#pragma once

#include <string>
#include <string_view>

// value with every ETX byte removed; any other byte is kept as it is.
std::string StripETX(std::string_view value);

// value as the text of an element: every ETX removed, '&' written "&amp;", '<'
// "&lt;" and '>' "&gt;"; any other byte kept.
std::string XmlEscape(std::string_view value);

// The copy of a reply (a reply frame or an RStream document) that goes to the log:
// every card number in it masked but its last four digits, wherever it stands (an
// echoed UserTraceData, a host's text; MaskCardNumbers), cut to its first 4 KB with
// its full length stated (CutForLog), and the CR and LF
// bytes that stand inside values escaped, so that no text of the client or the host
// can start a line of the log. Line breaks of the document's own layout, the runs of
// nothing but CR, LF and TAB between one element's '>' and the next '<' (or the end of
// the document), stay; since values carry no '<' or '>' (XmlEscape), no value can
// make one.
std::string ReplyLogCopy(const std::string& reply);

// The reply frame of payload: FS, "2" when encrypted (payload is the upper-case hex
// text of the ciphertext) or "0" when the payload is the document in clear, "00",
// STX, the payload, ETX. A payload must not hold ETX (the document writers see to
// that): a debug build asserts; a release build drops the ETX bytes, so the frame
// never ends before its own ETX.
std::string ClientReplyFrame(const std::string& payload, bool encrypted);

// The CmdResponse element of an RStream document. A plain value: copying copies the
// five texts. The members are public; callers set m_ResponseOrigin to "Processor" for
// answers from the host before formatting, and may set the others directly.
class CCmdResponse {
 public:
  CCmdResponse() = default;
  CCmdResponse(const CCmdResponse&) = default;
  CCmdResponse& operator=(const CCmdResponse&) = default;
  virtual ~CCmdResponse() = default;

  // Sets m_ReturnCode ("%06d" of returnCode: 4003 gives "004003", a seven-digit code
  // is written in full), m_CmdStatus (statusLetter "A" Approved, "D" Declined,
  // "S" Success, any other text Error; compared whole and case-sensitively),
  // m_TextResponse and m_UserTraceData, then returns RenderRStream(extraBody).
  std::string FormatRStream(int returnCode, const std::string& statusLetter,
                            const std::string& textResponse, const std::string& userTraceData,
                            const std::string& extraBody);
  // Sets the same four members as FormatRStream and returns RenderCmdResponse().
  std::string FormatCmdResponse(int returnCode, const std::string& statusLetter,
                                const std::string& textResponse,
                                const std::string& userTraceData);

  // The whole document of the current members: the XML declaration, "<RStream>", the
  // CmdResponse element with extraBody inside it after the UserTraceData line, and
  // "</RStream>". extraBody is markup, not a value: it goes in unchanged but for ETX
  // (callers write its values with XmlElement); callers end each of its lines with
  // "\r\n" themselves.
  std::string RenderRStream(const std::string& extraBody) const;
  // The CmdResponse element of the current members alone, from "\t<CmdResponse>\r\n"
  // to "\t</CmdResponse>\r\n"; the caller writes the declaration, "<RStream>\r\n",
  // its own elements and "</RStream>\r\n" around it.
  std::string RenderCmdResponse() const;

  // m_ReturnCode := "%06d" of returnCode; m_TextResponse := textResponse unless it is
  // empty.
  void SetReturnCode(int returnCode, const std::string& textResponse);

  std::string m_ResponseOrigin = "Server";  // "Server", or "Processor" for host answers
  std::string m_ReturnCode = "999999";      // six or more decimal digits
  std::string m_CmdStatus = "Error";        // "Approved", "Declined", "Success" or "Error"
  std::string m_TextResponse = "Unknown Error";
  std::string m_UserTraceData;              // the client's trace text, echoed back

 private:
  void SetFields(int returnCode, const std::string& statusLetter,
                 const std::string& textResponse, const std::string& userTraceData);
  // The element's lines from the opening tag through the UserTraceData line.
  void AppendHead(std::string& out) const;
};
