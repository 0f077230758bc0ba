#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "core/tran/elavon_tran.h"
#include "core/tran/reply_test_text.h"

namespace {

// text as an element holds it: '&', '<' and '>' as entities.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

// The error reply frame as a client receives it, written out here independently of
// the writer: in clear, origin "Server", status "Error", the texts escaped.
std::string ExpectedErrorFrame(const std::string& returnCode, const std::string& rawText,
                               const std::string& rawTrace) {
  const std::string text = Escaped(rawText);
  const std::string trace = Escaped(rawTrace);
  return std::string("\x1C" "0" "00" "\x02") +
         "<?xml version=\"1.0\"?>\r\n"
         "<RStream>\r\n"
         "\t<CmdResponse>\r\n"
         "\t\t<ResponseOrigin>Server</ResponseOrigin>\r\n"
         "\t\t<KVRXReturnCode>" + returnCode + "</KVRXReturnCode>\r\n"
         "\t\t<CmdStatus>Error</CmdStatus>\r\n"
         "\t\t<TextResponse>" + text + "</TextResponse>\r\n"
         "\t\t<UserTraceData>" + trace + "</UserTraceData>\r\n"
         "\t</CmdResponse>\r\n"
         "</RStream>\r\n"
         "\x03";
}

// One row for every kind of error text: fixed texts (first, last, with a trailing
// blank), the host error text (4003), the prefixed host error text (4007), the
// field-validation errors with their prefix, and codes without a row, which become
// 8888 (just outside the field range, inside its gap, the record's default 1000).
TEST(BuildErrorResponseTest, EveryKindOfErrorCode) {
  const struct {
    int code;
    std::string hostErrorText;
    int replyCode;
    std::string returnCode;
    std::string text;
  } rows[] = {
      {100, "", 100, "000100", "Card Type Not Accepted"},
      {1004, "", 1004, "001004", "Insufficient Fields "},
      {4011, "", 4011, "004011", "Error occured while decrypting request."},
      {4024, "", 4024, "004024",
       "Internal Server Error - Auth Thread Failed to Start Retry Trans/Restart Corvane!"},
      {4301, "ignored", 4301, "004301", "EMV is Not Enabled"},
      {4003, "Host Connect Failed", 4003, "004003", "Host Connect Failed"},
      {4003, "", 4003, "004003", ""},
      {4003, "<Fault> & more", 4003, "004003", "<Fault> & more"},  // escaped in the document
      {4003, "cut\x03" "off", 4003, "004003", "cutoff"},
      {4007, "bad length", 4007, "004007", "Unable to parse response from Elavon: bad length"},
      {4007, "", 4007, "004007", "Unable to parse response from Elavon: "},
      {100201, "", 100201, "100201", "Invalid Field - Transaction Type"},
      {100204, "", 100204, "100204", "Invalid Field - Account Number"},
      {100218, "", 100218, "100218", "Invalid Field - Routing #"},
      {100225, "", 100225, "100225", "Invalid Field - Driver's License"},
      {100226, "", 100226, "100226", "Invalid Field - Sequence Number"},
      {100233, "", 100233, "100233", "Invalid Field - Sequence Number"},
      {100242, "", 100242, "100242", "Invalid Field - Invalid Field TerminalID"},
      {100259, "", 100259, "100259", "Invalid Field - Invalid Original TranCode."},
      {4025, "", 8888, "008888", "Error to be defined."},
      {0, "", 8888, "008888", "Error to be defined."},
      {1000, "", 8888, "008888", "Error to be defined."},
      {-1, "", 8888, "008888", "Error to be defined."},
      {INT_MAX, "", 8888, "008888", "Error to be defined."},
      {100200, "", 8888, "008888", "Error to be defined."},
      {100234, "", 8888, "008888", "Error to be defined."},
      {100235, "", 8888, "008888", "Error to be defined."},
      {100238, "", 8888, "008888", "Error to be defined."},
      {100260, "", 8888, "008888", "Error to be defined."},
      {8888, "", 8888, "008888", "Error to be defined."},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    CElavonTran tran;
    tran.m_ErrorCode = r.code;
    tran.m_HostErrorText = r.hostErrorText;
    tran.m_UserTraceData = "Lane7";
    const std::string reply = tran.BuildErrorResponse();
    EXPECT_SAME_BYTES(reply, ExpectedErrorFrame(r.returnCode, r.text, "Lane7"));
    EXPECT_SAME_BYTES(tran.m_Reply, reply);
    EXPECT_EQ(tran.m_ErrorCode, r.replyCode);
    EXPECT_SAME_BYTES(tran.m_ErrorText, r.text);
    EXPECT_EQ(tran.m_RequestKind, kRequestKindClear);
  }
}

// An accepted encrypted request that fails still gets its error in clear, and the
// record is marked as a reply in clear.
TEST(BuildErrorResponseTest, ReplyIsInClearWhateverTheKeyBlock) {
  CElavonTran tran;
  tran.m_RequestKind = kRequestKindEncrypted;
  tran.SetKeyBlock("0102000001660000A1B2C3D4");
  tran.m_ErrorCode = 1007;
  const std::string reply = tran.BuildErrorResponse();
  EXPECT_SAME_BYTES(reply, ExpectedErrorFrame("001007", "Timeout on Response", ""));
  EXPECT_EQ(tran.m_RequestKind, kRequestKindClear);
  EXPECT_EQ(tran.GetKeyBlock(), "0102000001660000A1B2C3D4");
}

// A second call on the same record, as a later delivery may make, gives the same reply.
TEST(BuildErrorResponseTest, RepeatedCallGivesTheSameReply) {
  CElavonTran tran;
  tran.m_ErrorCode = 4025;
  tran.m_UserTraceData = "T<1>";
  const std::string first = tran.BuildErrorResponse();
  EXPECT_SAME_BYTES(tran.BuildErrorResponse(), first);
  EXPECT_SAME_BYTES(first, ExpectedErrorFrame("008888", "Error to be defined.", "T<1>"));
  EXPECT_NE(first.find("<UserTraceData>T&lt;1&gt;</UserTraceData>"), std::string::npos);
}

}  // namespace
