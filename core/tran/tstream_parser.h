// The TStream: the plain text of a client request, a list of key=value items separated
// by FS. CTStreamItems holds the items of one request while CElavonTran's parsers read
// them; the free functions are the text conversions that the parsers and the replies
// share.
//
// CTStreamItems is a value with no lock; it is built and read on one thread. The free
// functions keep no state and are safe on any thread. Nothing here reads outside its
// text.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "core/vocab/control_chars.h"

// The separator of TStream items.
inline constexpr char kTStreamItemSeparator = kFS;

// The items of one TStream, by key. Keys and values compare exactly.
class CTStreamItems {
 public:
  CTStreamItems() = default;
  // Splits text at every FS; each item is split at its first '='; an item without '='
  // is ignored, and of two items with one key the later wins.
  explicit CTStreamItems(const std::string& text);

  bool Has(std::string_view key) const { return m_Items.find(key) != m_Items.end(); }
  // The value of key, or "" when it is absent.
  std::string Get(std::string_view key) const;
  // The value of key, or nullptr when it is absent; valid while this object lives.
  const std::string* Find(std::string_view key) const;
  // True when some value holds a byte below 0x20 or the byte 0x7F: such a byte would
  // forge or cut fields of the host message built from the value.
  bool HasControlByteInValue() const;
  int Count() const { return static_cast<int>(m_Items.size()); }

 private:
  std::map<std::string, std::string, std::less<>> m_Items;
};

// The text with every '.', '-' and '+' removed; "00" for the empty text.
std::string AmountToDigits(const std::string& text);
// The text with every '.', '-' and '+' removed; "000" for the empty text.
std::string QuantityToDigits(const std::string& text);
// The text with every '_' turned into a blank (request side).
std::string UnderscoresToSpaces(const std::string& text);
// The text with every blank turned into '_' (reply side).
std::string SpacesToUnderscores(const std::string& text);
// The value of the decimal digits at the start of text, up to the first other
// character; 0 when it starts with none; INT_MAX when the digits exceed the int range.
int LeadingDigitsToInt(const std::string& text);

// IsAmountText, and a '-' only as the first character: "-1.00" is an amount, "1.00-"
// and "1-.00" are not.
bool IsTStreamAmount(const std::string& text);
// IsQuantityText, with the same rule for '-'.
bool IsTStreamQuantity(const std::string& text);

// The codes a parse leaves in CElavonTran::m_ErrorCode when it refuses a request
// (their reply texts belong to the error replies).
enum TStreamParseError : int {
  kParseErrInvalidCommandFormat = 1003,  // also the code a successful parse leaves
  kParseErrCheckDigit = 4017,
  kParseErrMerchantIdMissing = 4018,
  kParseErrTStreamMissing = 4019,
  kParseErrInvoiceNoMissing = 4022,
  kParseErrRefNoMissing = 4023,
  kParseErrMicrMissing = 4028,
  kParseErrMerchantCategory = 4029,
  kParseErrCardNotAccepted = 4040,
  kParseErrCashBackNotAllowed = 4041,
  kParseErrClientIdMissing = 4201,
  kParseErrEmvNotEnabled = 4301,
  kParseErrTranType = 100201,
  kParseErrAcctNo = 100204,
  kParseErrExpDate = 100205,
  kParseErrAuthCode = 100206,
  kParseErrRefNo = 100207,
  kParseErrAuthorize = 100208,
  kParseErrCashBack = 100209,
  kParseErrGratuity = 100210,
  kParseErrPurchase = 100211,
  kParseErrTrack2 = 100212,
  kParseErrPINBlock = 100213,
  kParseErrDervdKey = 100214,
  kParseErrStateCode = 100215,
  kParseErrRoutingNo = 100218,
  kParseErrTranCode = 100219,
  kParseErrMerchantId = 100220,
  kParseErrTStreamType = 100221,
  kParseErrBatchNo = 100222,
  kParseErrBatchItemCount = 100223,
  kParseErrMicrType = 100224,
  kParseErrDriversLicense = 100225,
  kParseErrSequenceNo = 100226,
  kParseErrLaneId = 100227,
  kParseErrCardType = 100228,
  kParseErrVoucherNo = 100229,
  kParseErrTax = 100230,
  kParseErrItemCode = 100239,
  kParseErrItemQuantity = 100240,
  kParseErrItemUnitCost = 100241,
  kParseErrItemTotal = 100244,
  kParseErrPhoneNo = 100245,
  kParseErrRawTOAD = 100246,
  kParseErrFSAPrescription = 100248,
  kParseErrFSAVision = 100249,
  kParseErrFSADental = 100250,
  kParseErrFSAClinical = 100251,
  kParseErrEncryptedFormat = 100252,
  kParseErrEncryptedBlock = 100254,
  kParseErrEncryptedKey = 100255,
  kParseErrRecordNo = 100256,
  kParseErrFrequency = 100257,
  kParseErrEMVEntrySource = 100258,
  kParseErrOriginalTranCode = 100259,
};
