// Test helpers for reply texts: the RStream head and the processor's CmdResponse as the
// client reads them, written out independently of the writer; and for comparing reply
// documents and frames byte for byte: Visible turns every tab, CR, LF, backslash and
// other control byte into an escape, so a failing comparison shows exactly which byte
// differs. The escaping is one-to-one, so two texts compare equal exactly when their
// visible forms do.
#pragma once

#include <cstdio>
#include <string>

// The start of every RStream document.
inline constexpr char kRStreamHead[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<RStream>\r\n";

// The CmdResponse of a host answer as the client reads it (the processor's status
// and text, return code 000000).
inline std::string ProcessorCmdResponse(const std::string& status, const std::string& text,
                                        const std::string& trace) {
  return "\t<CmdResponse>\r\n"
         "\t\t<ResponseOrigin>Processor</ResponseOrigin>\r\n"
         "\t\t<KVRXReturnCode>000000</KVRXReturnCode>\r\n"
         "\t\t<CmdStatus>" + status + "</CmdStatus>\r\n"
         "\t\t<TextResponse>" + text + "</TextResponse>\r\n"
         "\t\t<UserTraceData>" + trace + "</UserTraceData>\r\n"
         "\t</CmdResponse>\r\n";
}

inline std::string Visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// Byte-exact comparison with the difference shown in visible form.
#define EXPECT_SAME_BYTES(actual, expected) EXPECT_EQ(Visible(actual), Visible(expected))
