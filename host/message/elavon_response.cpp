// The reader of Elavon's answers: CElavonTran::ParseElavonResponse and its field
// readers (declared with the record in core/tran/elavon_tran.h).
//
// An answer has the frame of a request: a header, fields of GS + two-character FID +
// data with FS between subfields, ETX and a checksum byte. Only the fields are read;
// the header and the checksum are not examined. Every position is read with SafeMid,
// so a field or subfield shorter than the layout it should have reads as empty texts
// where it ends: nothing is read past the end of any text.
//
// The parse runs on the thread that owns the record. The shared objects it touches are
// the sequence file and the logger, each behind its own lock; the sequence file's lock
// is released before its messages are logged.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <string_view>

#include "core/log/logger.h"
#include "core/tran/client_error_codes.h"
#include "core/tran/elavon_tran.h"
#include "core/tran/tran_codes.h"
#include "core/vocab/text_helpers.h"
#include "host/message/elavon_request.h"
#include "host/seq/sequence_file.h"

namespace {

// Answers shorter than this (echo answers aside) cannot hold a result field.
constexpr size_t kShortestAnswer = 25;
// Answers of at most this many characters are reported by their length alone.
constexpr size_t kLongestBareAnswer = 10;

// The host sequence number is the rest of subfield 2 of field 02 from here.
constexpr int kSequenceNumberPos = 23;

// An EMV key download gets at most this many answers; one that still asks for more
// keys after them ends with an error reply.
constexpr size_t kMaxEmvKeyRounds = 100;

constexpr std::string_view kFid02 = "02";
constexpr std::string_view kFid78 = "78";
constexpr std::string_view kFid80 = "80";
constexpr std::string_view kFid83 = "83";
constexpr std::string_view kFid85 = "85";
constexpr std::string_view kFid86 = "86";
constexpr std::string_view kFid87 = "87";
constexpr std::string_view kFid89 = "89";
constexpr std::string_view kFid8E = "8E";

// The characters the C library's isprint accepts in the "C" locale (blank to '~'),
// whatever locale the process has set.
std::string PrintableText(const std::string& text) {
  std::string printable;
  for (char c : text) {
    if (c >= 0x20 && c <= 0x7E) printable += c;
  }
  return printable;
}

// The fields of an answer, from its first GS (at firstGs) on: each text between two
// separators (GS or ETX) that is longer than its FID is stored under its first two
// characters, a later field replacing an earlier one of the same FID. The walk stops
// at the first ETX; a field that no separator closes is dropped.
void SplitResponseFields(const std::string& answer, size_t firstGs, TextMap& fields) {
  std::string field;
  for (size_t i = firstGs + 1; i < answer.size(); ++i) {
    const char c = answer[i];
    if (c != kGS && c != kETX) {
      field += c;
      continue;
    }
    if (field.size() > 2) fields[field.substr(0, 2)] = field;
    field.clear();
    if (c == kETX) break;
  }
}

const std::string* FindField(const TextMap& fields, std::string_view fid) {
  const auto found = fields.find(std::string(fid));
  return found == fields.end() ? nullptr : &found->second;
}

bool HasSubfield(const FieldMap& subfields, int number) { return subfields.count(number) != 0; }

// The integer value of text as a number of cents, 64 bits wide: blanks, an optional
// sign, then digits up to the first other character (no digits: 0). A value beyond
// the 64-bit range is held at its limit.
int64_t LeadingCents(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated as a negative number, which reaches one further than a positive one.
  constexpr int64_t kLowest = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (value < (kLowest + digit) / 10) {
      value = kLowest;
    } else {
      value = value * 10 - digit;
    }
  }
  if (negative) return value;
  return value == kLowest ? std::numeric_limits<int64_t>::max() : -value;
}

// The amount text ("12.34") of a text read as an integer number of cents.
std::string CentsText(const std::string& text) {
  return NormalizeAmountText(std::to_string(LeadingCents(text)));
}

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

void ReplaceAll(std::string& text, std::string_view what, std::string_view with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

// Two key indexes name the same key when they agree once their leading zeros are
// dropped ("0" and "0000" ask for the same key).
bool SameKeyIndex(const std::string& a, const std::string& b) {
  const auto significant = [](const std::string& s) { return s.substr(std::min(s.find_first_not_of('0'), s.size())); };
  return significant(a) == significant(b);
}

// The hex text of a byte count, at least two digits ("%02X").
std::string HexLength(size_t characters) {
  return FormatString("%02zX", characters / 2);
}

// Stores number in the sequence file as the number of tran's answer, then logs line
// and, after it, the file's messages when there are any (the file's lock is released
// by then).
void StoreSequenceNumber(CElavonTran& tran, const std::string& number, const std::string& line,
                         CSequenceFile& sequenceFile, CLogger& logger) {
  std::string messages;
  sequenceFile.Write(number, &messages);
  tran.m_SeqNo = number;
  logger.LogLine("%s", line.c_str());
  if (!messages.empty()) logger.LogLine("%s", messages.c_str());
}

// Whether the last CA key of keys (the one just received) repeats an earlier one: the
// same RID and key index.
bool RepeatsEarlierCaKey(const CEmvCaKeyList& keys) {
  if (keys.empty()) return false;
  const CEmvCaKey& last = keys.back();
  for (auto key = keys.begin(); key != std::prev(keys.end()); ++key) {
    if (key->m_RID == last.m_RID && key->m_Index == last.m_Index) return true;
  }
  return false;
}

}  // namespace

void CElavonTran::ParseElavonResponse() { ParseElavonResponse(g_SequenceFile, GetLogger()); }

void CElavonTran::ParseElavonResponse(CSequenceFile& sequenceFile, CLogger& logger) {
  const bool echo = m_Family == kTranFamilyEcho;
  if (!echo) {
    m_HostAuthCode.clear();
    m_HostRefNo.clear();
    m_HeldSeqNo.clear();
    m_Approved = false;
    m_Captured = false;
    m_AdminSuccess = false;
  }
  if (m_Family == kTranFamilyReversal) {
    BuildErrorResponse();
    return;
  }
  // A key download goes round again only when this answer asks for more keys: every
  // other way out of the parse leaves the last step's code.
  const std::string askedKeyIndex = m_EMVKeyIndex;
  if (m_Family == kTranFamilyEmvKeyDownload) m_TranCode = kCodeEMVKeyDownloadStep65;

  const std::string& answer = m_HostResponse;
  if (!echo && answer.size() < kShortestAnswer) {
    if (answer.size() <= kLongestBareAnswer) {
      m_ErrorCode = kErrorAnswerTooShort;
    } else {
      m_HostErrorText = PrintableText(answer);
      m_ErrorCode = m_HostErrorText.empty() ? kErrorAnswerTooShort : kErrorHostText;
    }
    BuildErrorResponse();
    return;
  }

  // An echo answer without fields is read as one without field 02: a decline of the
  // echo, answered below.
  TextMap fields;
  const size_t firstGs = answer.find(kGS);
  if (firstGs != std::string::npos) {
    SplitResponseFields(answer, firstGs, fields);
  } else if (!echo) {
    ReportUnparseableResponse();
    return;
  }

  FieldMap subfields;
  const bool hasResult = FindField(fields, kFid02) != nullptr;
  switch (m_Family) {
    case kTranFamilyCredit:
      if (ParseFid02(fields, subfields, sequenceFile, logger)) {
        ParseFid80(fields, subfields);
        ParseFid87(fields, subfields);
        ParseFid8E(fields, subfields);
        ParseFid86(fields, subfields);
      } else {
        if (!hasResult) return;  // the unparseable answer's error reply stands
        ParseFid80(fields, subfields);
        ParseFid86(fields, subfields);
      }
      break;

    case kTranFamilyDebit:
      if (ParseFid02(fields, subfields, sequenceFile, logger)) {
        ParseFid83(fields, subfields);
        ParseFid87(fields, subfields);
        ParseFid86(fields, subfields);
      } else {
        if (!hasResult) return;
        ParseFid86(fields, subfields);
      }
      break;

    case kTranFamilyEBT:
      if (ParseFid02(fields, subfields, sequenceFile, logger)) {
        ParseFid83(fields, subfields);
        ParseFid87(fields, subfields);
      } else if (!hasResult) {
        return;
      }
      break;

    case kTranFamilyEcho:
      if (ParseFid02(fields, subfields, sequenceFile, logger)) {
        StoreSequenceNumber(*this, m_HeldSeqNo,
                            FormatString("Storing Previously Held Temp Seq No %s on GOOD Echo",
                                         m_HeldSeqNo.c_str()),
                            sequenceFile, logger);
        m_HostRefNo = m_HeldSeqNo;
      } else {
        // The host has not confirmed the approval: the client is told so, and nothing
        // of the approval is left to look like one.
        m_HostAcqRefData.clear();
        m_HostRefNo.clear();
        m_EchoRef2.clear();
        m_EchoRef1.clear();
        m_HostAuthCode.clear();
        m_HostRecordNo.clear();
        m_EMVResult.clear();
        m_Balance.clear();
        m_EBTBalance.clear();
        m_ECheckInfo.clear();
        m_Approved = false;
        m_Captured = false;
        if (!hasResult) {
          // An answer without a result is a decline that says why: the text of an
          // unreadable answer, never the approval's.
          m_HostErrorText = PrintableText(answer);
          m_ErrorCode = kErrorUnparseable;
          m_TextResponse = UnparseableAnswerText();
        }
      }
      break;

    case kTranFamilyECheck: {
      const bool approved = ParseFid02(fields, subfields, sequenceFile, logger);
      if (!approved && !hasResult) return;
      ParseFid85(fields, subfields);
      if (approved && m_TranCode == kCodeECheckVoidSale) {
        StoreSequenceNumber(*this, m_HeldSeqNo,
                            FormatString("Storing Seq No %s on ECS Reversal", m_HeldSeqNo.c_str()),
                            sequenceFile, logger);
        m_HostRefNo = m_HeldSeqNo;
      }
      break;
    }

    case kTranFamilyAdmin:
      if (!ParseFid89(fields, subfields, sequenceFile, logger)) {
        ReportUnparseableResponse();
        return;
      }
      break;

    case kTranFamilyEmvKeyDownload:
      if (!ParseFid78(fields, subfields)) {
        m_AdminSuccess = false;
        m_BatchResponse.m_TextResponse = "ERROR PARSING ELAVON EMV KEY RESPONSE";
        break;
      }
      if (m_TranCode == kCodeEMVKeyDownloadNext) {
        std::string stop;
        const CEmvCaKeyList& keys = m_EMVParamTables.m_CaKeys;
        if (SameKeyIndex(m_EMVKeyIndex, askedKeyIndex)) {
          stop = "EMV Key Download Stopped: Key Index " + PrintableText(m_EMVKeyIndex) + " Repeated";
        } else if (RepeatsEarlierCaKey(keys)) {
          stop = "EMV Key Download Stopped: Key " + PrintableText(keys.back().m_RID) + " " +
                 PrintableText(keys.back().m_Index) + " Repeated";
        } else if (keys.size() >= kMaxEmvKeyRounds) {
          stop = FormatString("EMV Key Download Stopped after %zu Keys", kMaxEmvKeyRounds);
        }
        if (!stop.empty()) {
          m_TranCode = kCodeEMVKeyDownloadStep65;
          m_HostErrorText = stop;
          m_ErrorCode = kErrorHostText;
          logger.LogLine("%s", stop.c_str());
          BuildErrorResponse();
          return;
        }
      }
      m_Approved = true;
      m_Captured = true;
      m_AdminSuccess = true;
      m_BatchResponse.m_TextResponse = "SUCCESS";
      if (m_TranCode == kCodeEMVKeyDownloadNext) return;  // queued again for the next key
      break;

    default:
      m_ErrorCode = kErrorNoParser;
      BuildErrorResponse();
      return;
  }
  // A reply that could not be encrypted at an earlier parse (its 4020 in clear) stays:
  // there is nothing to frame in clear in its place.
  if (ReplyCouldNotBeEncrypted()) return;
  BuildResponse("");
}

bool CElavonTran::EchoAnswerConfirms(const std::string& answer) {
  const size_t firstGs = answer.find(kGS);
  if (firstGs == std::string::npos) return false;
  TextMap fields;
  SplitResponseFields(answer, firstGs, fields);
  const std::string* field = FindField(fields, kFid02);
  if (field == nullptr || field->empty()) return false;
  FieldMap subfields;
  SplitToMap(kFS, *field, subfields);
  return SafeMid(LookupField(subfields, 1), 2, 2) == "AA";
}

bool CElavonTran::AnswerHasResultField(const std::string& answer) {
  const size_t firstGs = answer.find(kGS);
  if (firstGs == std::string::npos) return false;
  TextMap fields;
  SplitResponseFields(answer, firstGs, fields);
  const std::string* field = FindField(fields, kFid02);
  return field != nullptr && !field->empty();
}

void CElavonTran::ReportUnparseableResponse() {
  if (m_Family == kTranFamilyEcho) return;
  m_HostErrorText = PrintableText(m_HostResponse);
  m_ErrorCode = kErrorUnparseable;
  BuildErrorResponse();
}

bool CElavonTran::ParseFid02(const TextMap& fields, FieldMap& subfields,
                             CSequenceFile& sequenceFile, CLogger& logger) {
  const std::string* field = FindField(fields, kFid02);
  if (field == nullptr || field->empty()) {
    ReportUnparseableResponse();
    return false;
  }
  SplitToMap(kFS, *field, subfields);
  const std::string s2 = LookupField(subfields, 2);
  const std::string sequenceNumber = SafeMid(s2, kSequenceNumberPos);

  const bool echo = m_Family == kTranFamilyEcho;
  if (!echo && !HoldsSequenceUntilEcho(m_Family)) {
    StoreSequenceNumber(*this, sequenceNumber,
                        FormatString("Storing Seq No %s on %s", sequenceNumber.c_str(),
                                     GetTranFamilyName().c_str()),
                        sequenceFile, logger);
  }

  const std::string responseCode = SafeMid(LookupField(subfields, 1), 2, 2);
  const bool approved =
      responseCode == "AA" ||
      (responseCode == "AP" && (m_TranCode == kCodeCreditFSASale ||
                                m_TranCode == kCodeFSASaleByRecordNo || m_PartialAuth));
  if (!approved) {
    if (HasSubfield(subfields, 3)) m_TextResponse = LookupField(subfields, 3);
    m_Approved = false;
    m_Captured = false;
    if (HoldsSequenceUntilEcho(m_Family)) {
      StoreSequenceNumber(*this, sequenceNumber,
                          FormatString("Storing Seq No %s on declined %s", sequenceNumber.c_str(),
                                       GetTranFamilyName().c_str()),
                          sequenceFile, logger);
    }
    return false;
  }
  if (echo) return true;

  m_Approved = true;
  m_Captured = true;
  m_HostAuthCode = SafeMid(s2, 2, 6);
  m_EchoRef1 = SafeMid(s2, 8, 6);
  m_EchoRef2 = SafeMid(s2, 14, 6);
  m_HostRefNo = sequenceNumber;
  if (HasSubfield(subfields, 3)) m_TextResponse = LookupField(subfields, 3);

  const std::string s4 = LookupField(subfields, 4);
  m_HostAcqRefData += "|" + SafeMid(s4, 0, 6) + "|" + SafeMid(s4, 6) + "|" +
                      m_TerminalCapability + "|" + GetElavonTranCode(m_TranCode) + "|" +
                      responseCode + "|" + LookupField(subfields, 5) + "|" + m_RequestSeqNo;

  if (HoldsSequenceUntilEcho(m_Family)) {
    m_HeldSeqNo = sequenceNumber;
    logger.LogLine("Holding Temp Seq No %s on Approved %s", m_HeldSeqNo.c_str(),
                   GetTranFamilyName().c_str());
  }
  return true;
}

bool CElavonTran::ParseFid80(const TextMap& fields, FieldMap& subfields) {
  const std::string* field = FindField(fields, kFid80);
  if (field == nullptr) return false;
  SplitToMap(kFS, *field, subfields);
  const std::string s1 = LookupField(subfields, 1);
  if (m_ZipGiven) m_AVSResult = SafeMid(s1, 3, 1);
  if (m_CVVValid) m_CVVResult = SafeMid(s1, 4, 1);
  m_HostAcqRefData = SafeMid(s1, 5) + m_HostAcqRefData;
  return true;
}

bool CElavonTran::ParseFid83(const TextMap& fields, FieldMap& subfields) {
  const std::string* field = FindField(fields, kFid83);
  if (field == nullptr) return false;
  SplitToMap(kFS, *field, subfields);
  // The reference of an approval that an echo confirms.
  if (NeedsEchoAfterApproval(m_TranCode)) m_HostRefNo = SafeMid(LookupField(subfields, 1), 4);
  return true;
}

bool CElavonTran::ParseFid85(const TextMap& fields, FieldMap& subfields) {
  const std::string* field = FindField(fields, kFid85);
  if (field == nullptr) return false;
  SplitToMap(kFS, *field, subfields);
  if (HasSubfield(subfields, 3)) m_HostRefNo = LookupField(subfields, 3);
  if (HasSubfield(subfields, 6)) {
    std::string info = LookupField(subfields, 6);
    ReplaceAll(info, "%", " Percent");
    ReplaceAll(info, "&", "");
    m_ECheckInfo = info;
  }
  return true;
}

bool CElavonTran::ParseFid86(const TextMap& fields, FieldMap& subfields) {
  const std::string* field = FindField(fields, kFid86);
  if (field == nullptr) return false;
  SplitToMap(kFS, *field, subfields);
  if (HasSubfield(subfields, 1)) {
    const std::string s1 = LookupField(subfields, 1);
    m_EMVResult = "5F3401" + SafeMid(s1, 10, 2) + "9F3602" + SafeMid(s1, 12, 4);
    const std::string issuerData = SafeMid(s1, 16);
    if (!issuerData.empty()) m_EMVResult += "91" + HexLength(issuerData.size()) + issuerData;
  }
  if (HasSubfield(subfields, 2)) {
    // The tag, its length in bytes and its value; a subfield too short for a tag and
    // a length has no value (length 00).
    const std::string s2 = LookupField(subfields, 2);
    const size_t valueLength = s2.size() >= 4 ? s2.size() - 4 : 0;
    m_EMVResult += SafeMid(s2, 0, 2) + HexLength(valueLength) + SafeMid(s2, 4);
  }
  return true;
}

bool CElavonTran::ParseFid87(const TextMap& fields, FieldMap& subfields) {
  const std::string* field = FindField(fields, kFid87);
  if (field == nullptr) return false;
  SplitToMap(kFS, *field, subfields);
  if (HasSubfield(subfields, 1)) m_Authorize = SafeMid(LookupField(subfields, 1), 2);

  const bool ebt = m_Family == kTranFamilyEBT;
  std::string foodStampBalance;
  std::string cashBalance;
  const std::string s2 = LookupField(subfields, 2);
  if (!s2.empty()) {
    if (ebt) {
      foodStampBalance = CentsText(s2);
    } else {
      m_Balance = CentsText(s2);
    }
  }
  if (ebt) {
    if (HasSubfield(subfields, 3)) cashBalance = CentsText(LookupField(subfields, 3));
    if (m_AccountType == "3") {
      m_EBTBalance = foodStampBalance;
    } else if (m_AccountType == "4") {
      m_EBTBalance = cashBalance;
    }
  }
  return true;
}

bool CElavonTran::ParseFid8E(const TextMap& fields, FieldMap& subfields) {
  const std::string* field = FindField(fields, kFid8E);
  if (field == nullptr) return false;
  SplitToMap(kFS, *field, subfields);
  m_HostRecordNo = SafeMid(LookupField(subfields, 1), 2);
  return true;
}

bool CElavonTran::ParseFid89(const TextMap& fields, FieldMap& subfields,
                             CSequenceFile& sequenceFile, CLogger& logger) {
  const std::string* field = FindField(fields, kFid89);
  if (field == nullptr) return false;
  SplitToMap(kFS, *field, subfields);
  CTranBatchResponse& batch = m_BatchResponse;

  const std::string s1 = LookupField(subfields, 1);
  batch.m_BatchNo = SafeMid(s1, 2, 3);
  batch.m_TextResponse = SafeMid(s1, 5);

  // An absent net total reads as the empty text, so the reply always carries one
  // ("0.00" then).
  const std::string s2 = LookupField(subfields, 2);
  const std::string digits = SafeMid(s2, 1);
  batch.m_NetBatchTotal = NormalizeAmountText(SafeMid(s2, 0, 1) == "-" ? "-" + digits : digits);

  const std::string count = LookupField(subfields, 3);
  batch.m_BatchItemCount = count.empty() ? "0" : count;

  struct {
    int subfield;
    std::string* text;
    bool amount;
  } const totals[] = {
      {4, &batch.m_CreditPurchaseAmount, true}, {5, &batch.m_CreditPurchaseCount, false},
      {6, &batch.m_CreditReturnAmount, true},   {7, &batch.m_CreditReturnCount, false},
      {8, &batch.m_DebitPurchaseAmount, true},  {9, &batch.m_DebitPurchaseCount, false},
      {10, &batch.m_DebitReturnAmount, true},   {11, &batch.m_DebitReturnCount, false},
  };
  for (const auto& total : totals) {
    if (!HasSubfield(subfields, total.subfield)) continue;
    const std::string value = LookupField(subfields, total.subfield);
    *total.text = total.amount ? NormalizeAmountText(value) : value;
  }

  if (m_TranCode == kCodeBatchClose) {
    if (Contains(batch.m_TextResponse, "GB")) {
      batch.m_TextResponse = "Success";
      StoreSequenceNumber(*this, "0000", "Storing Seq No 0000 on Batch Close", sequenceFile, logger);
      m_AdminSuccess = true;
    } else if (Contains(batch.m_TextResponse, "RB UPLOAD TIPS")) {
      StoreSequenceNumber(*this, "0000", "RB UPLOAD TIPS - Storing Seq No 0000 on Batch Close",
                          sequenceFile, logger);
      m_AdminSuccess = true;
    } else {
      m_AdminSuccess = false;
    }
  } else if (Contains(batch.m_TextResponse, "APPROVAL") || Contains(batch.m_TextResponse, "GB")) {
    batch.m_TextResponse = "Success";
    m_AdminSuccess = true;
  } else {
    m_AdminSuccess = false;
  }
  return true;
}

bool CElavonTran::ParseFid78(const TextMap& fields, FieldMap& subfields) {
  const std::string* field = FindField(fields, kFid78);
  if (field == nullptr) return false;
  SplitToMap(kFS, *field, subfields);
  m_EMVKeyIndex = SafeMid(LookupField(subfields, 1), 2, 4);

  const std::string s2 = LookupField(subfields, 2);
  const std::string s4 = LookupField(subfields, 4);
  const std::string date = SafeMid(s4, 42, 6);  // YYMMDD
  CEmvCaKey key;
  key.m_RID = SafeMid(s2, 3, 10);
  key.m_Index = SafeMid(s2, 13, 2);
  key.m_Modulus = SafeMid(s2, 19);
  key.m_Exponent = LookupField(subfields, 3);
  key.m_Check = SafeMid(s4, 0, 40);
  key.m_ExpDate = SafeMid(date, 4, 2) + SafeMid(date, 2, 2) + SafeMid(date, 0, 2);
  m_EMVParamTables.m_CaKeys.push_back(key);

  m_TranCode = SafeMid(s2, 0, 1) == "1" ? kCodeEMVKeyDownloadNext : kCodeEMVKeyDownloadStep65;
  return true;
}
