// The error reply of a host transaction record: the RStream document of its error
// code, framed in clear.
#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "core/tran/client_error_codes.h"
#include "core/tran/client_reply.h"
#include "core/tran/elavon_tran.h"

namespace {

constexpr std::string_view kUndefinedErrorText = "Error to be defined.";
constexpr std::string_view kUnparsableHostAnswerPrefix = "Unable to parse response from Elavon: ";

// The field-validation errors of request intake lie strictly between these two; their
// texts name the item that failed and read after this prefix.
constexpr int kFieldErrorAbove = 100200;
constexpr int kFieldErrorBelow = 100260;
constexpr std::string_view kFieldErrorPrefix = "Invalid Field - ";

struct ErrorRow {
  int code;
  std::string_view text;
};

// Every code with a fixed text, in ascending order. Clients show these texts and
// branch on the codes, so both are part of the client protocol.
constexpr ErrorRow kErrorTable[] = {
    {100, "Card Type Not Accepted"},
    {kErrorGeneralFailure, "General Failure."},
    {1003, "Invalid Command Format."},
    {1004, "Insufficient Fields "},
    {1006, "Elavon API Not Initialized."},
    {kErrorResponseTimeout, "Timeout on Response"},
    {kErrorUserAbort, "User Abort."},
    {1011, "Empty command string."},
    {kErrorAnswerTooShort, "Elavon Response Length Error(too short)."},
    {kErrorNoParser, "Unable to parse response from Elavon(Tran Type not distinguishable)."},
    {kErrorWeakEncryption, "Weak Encryption Request NOT supported."},
    {kErrorClearTextRequest, "Clear Text Request NOT supported."},
    {kErrorOldClient, "Old Client NOT Supported"},
    {kErrorEnvelopeUndecodable, "Unrecognized Request Format."},
    {kErrorNoKeyOrUndecryptable, "Error occured while decrypting request."},
    {4017, "Invalid Check Digit. Check Acct Number."},
    {4018, "Merchant ID Missing."},
    {4019, "TStream Type Missing."},
    {kErrorCannotEncrypt, "Internal Server Error! Could Not Encrypt Response CALL PROVIDER."},
    {4021, "Data MUST BE Magnetically Entered."},
    {4022, "Invoice Number Missing."},
    {4023, "Reference Number Missing."},
    {kErrorAuthThreadFailed, "Internal Server Error - Auth Thread Failed to Start Retry Trans/Restart Corvane!"},
    {kErrorShuttingDown, "Corvane is Being Requested to ShutDown Restart Corvane!"},
    {4028, "Data MUST BE MICR ID."},
    {4029, "Merchant Category does not support this Transaction!"},
    {4030, "Pin Pad Serial Number Missing"},
    {4040, "Only Major Credit Cards Accepted."},
    {4041, "Cash Back not Allowed."},
    {4101, "This TranType MUST BE sent to Port 9000."},
    {4102, "This TranType MUST BE sent to Port 9100."},
    {4201, "Tessary Upgrade Required"},
    {4301, "EMV is Not Enabled"},
    {100201, "Transaction Type"},
    {100202, "Operator Id"},
    {100203, "Memo"},
    {100204, "Account Number"},
    {100205, "Expiration Date"},
    {100206, "Auth Code"},
    {100207, "Reference Number"},
    {100208, "Auth Amount"},
    {100209, "Cash Back Amount"},
    {100210, "Gratuity Amount"},
    {100211, "Purchase Amount"},
    {100212, "Mag Stripe"},
    {100213, "Pin Block"},
    {100214, "DervdKey"},
    {100215, "State Code"},
    {100216, "Date of Birth"},
    {100217, "CheckType"},
    {100218, "Routing #"},
    {100219, "Invalid TranCode."},
    {100220, "Merchant ID."},
    {100221, "TStream Type."},
    {100222, "Batch Number"},
    {100223, "Batch Item Count."},
    {100224, "MICR Input Type"},
    {100225, "Driver's License"},
    {100226, "Sequence Number"},
    {100227, "Lane ID"},
    {100228, "Card Type"},
    {100229, "Voucher No"},
    {100230, "Tax Amount"},
    {100231, "MAC Value"},
    {100232, "Account Selection"},
    {100233, "Sequence Number"},
    {100239, "Item Code"},
    {100240, "Item Quantity"},
    {100241, "Unit Cost"},
    {100242, "Invalid Field TerminalID"},
    {100243, "Pin Pad Serial Number"},
    {100244, "Total Item Cost"},
    {100245, "Phone Number."},
    {100246, "Raw TOAD."},
    {100247, "STAN."},
    {100248, "Prescription Amount"},
    {100249, "Vision Amount"},
    {100250, "Dental Amount"},
    {100251, "Clinical/Other Amount"},
    {100252, "Encrypted Format"},
    {100253, "Account Source"},
    {100254, "Encrypted Block"},
    {100255, "Encrypted Key"},
    {100256, "Record Number"},
    {100257, "Frequency"},
    {100258, "EMV Entry Data Source"},
    {100259, "Invalid Original TranCode."},
};

static_assert(std::is_sorted(std::begin(kErrorTable), std::end(kErrorTable),
                             [](const ErrorRow& a, const ErrorRow& b) { return a.code < b.code; }));

// The fixed text of code, or false when the table has no row for it.
bool FixedErrorText(int code, std::string_view* text) {
  const auto row = std::lower_bound(std::begin(kErrorTable), std::end(kErrorTable), code,
                                    [](const ErrorRow& r, int c) { return r.code < c; });
  if (row == std::end(kErrorTable) || row->code != code) return false;
  *text = row->text;
  return true;
}

}  // namespace

std::string CElavonTran::UnparseableAnswerText() const {
  return std::string(kUnparsableHostAnswerPrefix) + m_HostErrorText;
}

std::string CElavonTran::BuildErrorResponse() {
  std::string text;
  std::string_view fixed;
  if (m_ErrorCode == kErrorHostText) {
    text = m_HostErrorText;
  } else if (m_ErrorCode == kErrorUnparseable) {
    text = UnparseableAnswerText();
  } else if (FixedErrorText(m_ErrorCode, &fixed)) {
    text = std::string(fixed);
  } else {
    m_ErrorCode = kErrorUndefined;
    text = std::string(kUndefinedErrorText);
  }
  if (m_ErrorCode > kFieldErrorAbove && m_ErrorCode < kFieldErrorBelow) {
    text.insert(0, kFieldErrorPrefix);
  }
  // The record keeps the text exactly as the reply carries it.
  m_ErrorText = StripETX(text);
  m_RequestKind = kRequestKindClear;

  // A fresh CmdResponse: the origin stays "Server". An error reply is always in
  // clear, whatever key block the request carried: with kind 2, BuildResponse frames
  // the document in clear and stores the frame as the reply.
  CCmdResponse response;
  const std::string document = response.FormatRStream(m_ErrorCode, "E", text, m_UserTraceData, "");
  return BuildResponse(document);
}
