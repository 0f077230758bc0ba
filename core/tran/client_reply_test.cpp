#include "core/tran/client_reply.h"

#include <string>

#include <gtest/gtest.h>

#include "core/tran/reply_test_text.h"

namespace {

// FS, STX and ETX stand alone as literals, so that no following digit is read as
// part of a hex escape.
#define FS "\x1C"
#define STX "\x02"
#define ETX "\x03"

TEST(ClientReplyFrameTest, WrapsPayloadByMode) {
  const struct {
    std::string payload;
    bool encrypted;
    std::string expected;
  } rows[] = {
      {"", false, FS "0" "00" STX ETX},
      {"", true, FS "2" "00" STX ETX},
      {"0123456789ABCDEF", true, FS "2" "00" STX "0123456789ABCDEF" ETX},
      {"<?xml version=\"1.0\"?>\r\n<RStream>\r\n</RStream>\r\n", false,
       FS "0" "00" STX "<?xml version=\"1.0\"?>\r\n<RStream>\r\n</RStream>\r\n" ETX},
      // Other control bytes are not the frame's business.
      {std::string("a" FS "b\0c", 5), false, std::string(FS "0" "00" STX "a" FS "b\0c" ETX, 11)},
  };
  int row = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(row++);
    const std::string frame = ClientReplyFrame(r.payload, r.encrypted);
    EXPECT_SAME_BYTES(frame, r.expected);
    EXPECT_EQ(frame.size(), r.payload.size() + 6);
  }
}

// A payload holding ETX is a fault of the document writer: a debug build stops on it,
// a release build drops the ETX so that the frame still ends only at its own ETX.
TEST(ClientReplyFrameTest, PayloadWithEtxNeverEndsTheFrameEarly) {
  std::string frame;
  EXPECT_DEBUG_DEATH(frame = ClientReplyFrame("AB" ETX "CD" ETX, false), "ETX");
#ifdef NDEBUG
  EXPECT_SAME_BYTES(frame, FS "0" "00" STX "ABCD" ETX);
#endif
}

TEST(StripETXTest, RemovesOnlyEtx) {
  EXPECT_SAME_BYTES(StripETX(""), "");
  EXPECT_SAME_BYTES(StripETX(ETX ETX), "");
  EXPECT_SAME_BYTES(StripETX("a" ETX "b" STX "c" FS "\t\r\n"), "a" "b" STX "c" FS "\t\r\n");
}

TEST(CCmdResponseTest, FreshResponseRendersDefaults) {
  const CCmdResponse response;
  EXPECT_SAME_BYTES(response.RenderRStream(""),
                    "<?xml version=\"1.0\"?>\r\n"
                    "<RStream>\r\n"
                    "\t<CmdResponse>\r\n"
                    "\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n"
                    "\t\t<KVRXReturnCode>999999</KVRXReturnCode>\r\n"
                    "\t\t<CmdStatus>Error</CmdStatus>\r\n"
                    "\t\t<TextResponse>Unknown Error</TextResponse>\r\n"
                    "\t\t<UserTraceData></UserTraceData>\r\n"
                    "\t</CmdResponse>\r\n"
                    "</RStream>\r\n");
  EXPECT_SAME_BYTES(response.RenderCmdResponse(),
                    "\t<CmdResponse>\r\n"
                    "\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n"
                    "\t\t<KVRXReturnCode>999999</KVRXReturnCode>\r\n"
                    "\t\t<CmdStatus>Error</CmdStatus>\r\n"
                    "\t\t<TextResponse>Unknown Error</TextResponse>\r\n"
                    "\t\t<UserTraceData></UserTraceData>\r\n"
                    "\t</CmdResponse>\r\n");
}

TEST(CCmdResponseTest, FormatRStreamWritesAndKeepsTheValues) {
  CCmdResponse response;
  response.m_ResponseOrigin = "Processor";
  EXPECT_SAME_BYTES(response.FormatRStream(0, "A", "APPROVED", "T1", ""),
                    "<?xml version=\"1.0\"?>\r\n"
                    "<RStream>\r\n"
                    "\t<CmdResponse>\r\n"
                    "\t\t<ResponseOrigin>Processor</ResponseOrigin>\r\n"
                    "\t\t<KVRXReturnCode>000000</KVRXReturnCode>\r\n"
                    "\t\t<CmdStatus>Approved</CmdStatus>\r\n"
                    "\t\t<TextResponse>APPROVED</TextResponse>\r\n"
                    "\t\t<UserTraceData>T1</UserTraceData>\r\n"
                    "\t</CmdResponse>\r\n"
                    "</RStream>\r\n");
  EXPECT_EQ(response.m_ResponseOrigin, "Processor");
  EXPECT_EQ(response.m_ReturnCode, "000000");
  EXPECT_EQ(response.m_CmdStatus, "Approved");
  EXPECT_EQ(response.m_TextResponse, "APPROVED");
  EXPECT_EQ(response.m_UserTraceData, "T1");
}

TEST(CCmdResponseTest, ExtraBodyLiesInsideTheElement) {
  CCmdResponse response;
  EXPECT_SAME_BYTES(
      response.FormatRStream(4101, "S", "Done", "", "\t\t<ServerVersion>ZW 5.18</ServerVersion>\r\n"
                                                    "\t\t<Lanes>2</Lanes>\r\n"),
      "<?xml version=\"1.0\"?>\r\n"
      "<RStream>\r\n"
      "\t<CmdResponse>\r\n"
      "\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n"
      "\t\t<KVRXReturnCode>004101</KVRXReturnCode>\r\n"
      "\t\t<CmdStatus>Success</CmdStatus>\r\n"
      "\t\t<TextResponse>Done</TextResponse>\r\n"
      "\t\t<UserTraceData></UserTraceData>\r\n"
      "\t\t<ServerVersion>ZW 5.18</ServerVersion>\r\n"
      "\t\t<Lanes>2</Lanes>\r\n"
      "\t</CmdResponse>\r\n"
      "</RStream>\r\n");
}

TEST(CCmdResponseTest, FormatCmdResponseWritesTheElementAlone) {
  CCmdResponse response;
  response.m_ResponseOrigin = "Processor";
  EXPECT_SAME_BYTES(response.FormatCmdResponse(4003, "D", "CALL CENTER", "Lane 3"),
                    "\t<CmdResponse>\r\n"
                    "\t\t<ResponseOrigin>Processor</ResponseOrigin>\r\n"
                    "\t\t<KVRXReturnCode>004003</KVRXReturnCode>\r\n"
                    "\t\t<CmdStatus>Declined</CmdStatus>\r\n"
                    "\t\t<TextResponse>CALL CENTER</TextResponse>\r\n"
                    "\t\t<UserTraceData>Lane 3</UserTraceData>\r\n"
                    "\t</CmdResponse>\r\n");
  EXPECT_EQ(response.m_ReturnCode, "004003");
  EXPECT_EQ(response.m_CmdStatus, "Declined");
  EXPECT_EQ(response.m_TextResponse, "CALL CENTER");
  EXPECT_EQ(response.m_UserTraceData, "Lane 3");
}

TEST(CCmdResponseTest, StatusLetterIsComparedWhole) {
  const struct {
    const char* letter;
    const char* status;
  } rows[] = {
      {"A", "Approved"}, {"D", "Declined"}, {"S", "Success"}, {"E", "Error"},
      {"e", "Error"},    {"a", "Error"},    {"X", "Error"},   {"", "Error"},
      {"AD", "Error"},   {"A ", "Error"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.letter);
    CCmdResponse response;
    const std::string element = response.FormatCmdResponse(1, r.letter, "t", "u");
    EXPECT_EQ(response.m_CmdStatus, r.status);
    EXPECT_NE(element.find(std::string("\t\t<CmdStatus>") + r.status + "</CmdStatus>\r\n"),
              std::string::npos);
  }
}

TEST(CCmdResponseTest, ReturnCodeIsZeroFilledToSixDigits) {
  const struct {
    int code;
    const char* text;
  } rows[] = {
      {0, "000000"},        {4003, "004003"},       {8888, "008888"},
      {100219, "100219"},   {999999, "999999"},     {1234567, "1234567"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    CCmdResponse formatted;
    const std::string element = formatted.FormatCmdResponse(r.code, "E", "", "");
    EXPECT_EQ(formatted.m_ReturnCode, r.text);
    EXPECT_NE(element.find(std::string("<KVRXReturnCode>") + r.text + "</KVRXReturnCode>"),
              std::string::npos);
    CCmdResponse set;
    set.SetReturnCode(r.code, "");
    EXPECT_EQ(set.m_ReturnCode, r.text);
  }
}

TEST(CCmdResponseTest, SetReturnCodeKeepsTextWhenGivenNone) {
  CCmdResponse response;
  response.SetReturnCode(42, "");
  EXPECT_EQ(response.m_TextResponse, "Unknown Error");
  response.SetReturnCode(43, "Lane busy");
  EXPECT_EQ(response.m_ReturnCode, "000043");
  EXPECT_EQ(response.m_TextResponse, "Lane busy");
}

// Markup characters of values are escaped, so no value adds or closes an element;
// NUL bytes and quotes are written as given, and the extra body (markup) unchanged.
TEST(CCmdResponseTest, MarkupInValuesIsEscapedAndTheBodyIsNot) {
  CCmdResponse response;
  response.m_ResponseOrigin = "<Origin>";
  const std::string nul("x\0y", 3);
  EXPECT_SAME_BYTES(response.FormatRStream(7, "E", "a<b & c>\"'", nul, "<raw>&amp;</raw>"),
                    std::string("<?xml version=\"1.0\"?>\r\n"
                                "<RStream>\r\n"
                                "\t<CmdResponse>\r\n"
                                "\t\t<ResponseOrigin>&lt;Origin&gt;</ResponseOrigin>\r\n"
                                "\t\t<KVRXReturnCode>000007</KVRXReturnCode>\r\n"
                                "\t\t<CmdStatus>Error</CmdStatus>\r\n"
                                "\t\t<TextResponse>a&lt;b &amp; c&gt;\"'</TextResponse>\r\n"
                                "\t\t<UserTraceData>x") +
                        '\0' +
                        "y</UserTraceData>\r\n"
                        "<raw>&amp;</raw>"
                        "\t</CmdResponse>\r\n"
                        "</RStream>\r\n");
}

// ETX ends a frame on the wire, so no value may carry one into a document: wherever
// it stands, the document is the one of the same values without it.
TEST(CCmdResponseTest, EtxNeverReachesTheDocument) {
  const struct {
    const char* field;
    std::string origin, text, trace, body;
  } rows[] = {
      {"origin", "Ser" ETX "ver", "ok", "T1", "\t\t<X>1</X>\r\n"},
      {"text", "Server", ETX "o" ETX "k" ETX, "T1", "\t\t<X>1</X>\r\n"},
      {"trace", "Server", "ok", "T" ETX "1", "\t\t<X>1</X>\r\n"},
      {"body", "Server", "ok", "T1", "\t\t<X>1" ETX "</X>\r\n" ETX},
  };
  const std::string clean =
      "<?xml version=\"1.0\"?>\r\n"
      "<RStream>\r\n"
      "\t<CmdResponse>\r\n"
      "\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n"
      "\t\t<KVRXReturnCode>000000</KVRXReturnCode>\r\n"
      "\t\t<CmdStatus>Success</CmdStatus>\r\n"
      "\t\t<TextResponse>ok</TextResponse>\r\n"
      "\t\t<UserTraceData>T1</UserTraceData>\r\n"
      "\t\t<X>1</X>\r\n"
      "\t</CmdResponse>\r\n"
      "</RStream>\r\n";
  for (const auto& r : rows) {
    SCOPED_TRACE(r.field);
    CCmdResponse response;
    response.m_ResponseOrigin = r.origin;
    const std::string document = response.FormatRStream(0, "S", r.text, r.trace, r.body);
    EXPECT_SAME_BYTES(document, clean);
    // The element form and the frame of the document carry no ETX either.
    EXPECT_EQ(response.RenderCmdResponse().find('\x03'), std::string::npos);
    EXPECT_SAME_BYTES(ClientReplyFrame(document, false), FS "0" "00" STX + clean + ETX);
  }
}

// A declined reply whose trace text tries to add an approval: the document keeps one
// CmdStatus, and the trace text reads back whole.
TEST(CCmdResponseTest, TraceTextCannotAddAnElement) {
  const std::string trace = "T</UserTraceData><CmdStatus>Approved</CmdStatus><UserTraceData>";
  CCmdResponse response;
  const std::string document = response.FormatRStream(0, "D", "DECLINED & <held>", trace, "");
  size_t statuses = 0;
  for (size_t at = document.find("<CmdStatus>"); at != std::string::npos; at = document.find("<CmdStatus>", at + 1)) {
    ++statuses;
  }
  EXPECT_EQ(statuses, 1u) << document;
  EXPECT_NE(document.find("\t\t<CmdStatus>Declined</CmdStatus>\r\n"), std::string::npos);
  EXPECT_NE(document.find("<UserTraceData>T&lt;/UserTraceData&gt;&lt;CmdStatus&gt;Approved&lt;/CmdStatus&gt;"
                          "&lt;UserTraceData&gt;</UserTraceData>"),
            std::string::npos)
      << document;
  EXPECT_NE(document.find("<TextResponse>DECLINED &amp; &lt;held&gt;</TextResponse>"), std::string::npos);
  // Escaping is not done twice: an entity the client sent is escaped once more.
  EXPECT_EQ(XmlEscape("&amp;" ETX "<"), "&amp;amp;&lt;");
}

TEST(ReplyLogCopyTest, LineBreaksOfValuesAreEscapedAndTheLayoutKept) {
  CCmdResponse response;
  const std::string document =
      response.FormatRStream(1010, "E", "User Abort.", "T\r\n[12:00:00]forged\n----------", "");
  const std::string copy = ReplyLogCopy(document);
  EXPECT_SAME_BYTES(copy, "<?xml version=\"1.0\"?>\r\n"
                          "<RStream>\r\n"
                          "\t<CmdResponse>\r\n"
                          "\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n"
                          "\t\t<KVRXReturnCode>001010</KVRXReturnCode>\r\n"
                          "\t\t<CmdStatus>Error</CmdStatus>\r\n"
                          "\t\t<TextResponse>User Abort.</TextResponse>\r\n"
                          "\t\t<UserTraceData>T|0d|0a[12:00:00]forged|0a----------</UserTraceData>\r\n"
                          "\t</CmdResponse>\r\n"
                          "</RStream>\r\n");
  // In a frame only the payload counts as the document.
  EXPECT_SAME_BYTES(ReplyLogCopy(ClientReplyFrame(document, false)), FS "0" "00" STX + copy + ETX);
  // A value of nothing but a line break cannot carry text onto a line.
  const struct {
    std::string in, out;
  } rows[] = {
      {"<A>\r\n</A>", "<A>\r\n</A>"},
      {"<A>\r\nX</A>", "<A>|0d|0aX</A>"},
      {"x\r\n<A/>", "x|0d|0a<A/>"},            // text before the first tag
      {"<A\r\nB>", "<A|0d|0aB>"},              // inside a tag
      {"<A/>\r\n\t", "<A/>\r\n\t"},            // layout at the end
      {"<A/>\r\nrest", "<A/>|0d|0arest"},
  };
  for (const auto& r : rows) EXPECT_SAME_BYTES(ReplyLogCopy(r.in), r.out);
  // Long replies show their first 4 KB and their length.
  const std::string frame = ClientReplyFrame(std::string(10000, 'h'), true);
  EXPECT_EQ(ReplyLogCopy(frame), frame.substr(0, 4096) + "...[cut: 10006 bytes]");
}

// A card number in a reply (a trace text echoed, a host's text) leaves only its last
// four digits in the log copy; the reply itself is not touched.
TEST(ReplyLogCopyTest, CardNumbersAnywhereAreMasked) {
  CCmdResponse response;
  const std::string document =
      response.FormatRStream(4003, "E", "Host said 378282246310005", "trace 5500005555555559 x", "");
  const std::string copy = ReplyLogCopy(document);
  EXPECT_NE(copy.find("<TextResponse>Host said XXXXXXXXXXX0005</TextResponse>"), std::string::npos) << copy;
  EXPECT_NE(copy.find("<UserTraceData>trace XXXXXXXXXXXX5559 x</UserTraceData>"), std::string::npos) << copy;
  EXPECT_NE(copy.find("<KVRXReturnCode>004003</KVRXReturnCode>"), std::string::npos) << copy;
  EXPECT_NE(document.find("trace 5500005555555559 x"), std::string::npos);
  // Masked before the cut, so that no head of a number is left at the end of a copy.
  const std::string frame = ClientReplyFrame("<A>" + std::string(4078, 'h') + "5500005555555559</A>", false);
  EXPECT_EQ(ReplyLogCopy(frame).find("5500005555"), std::string::npos);
}

}  // namespace
