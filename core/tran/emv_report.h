// The EMV parameter report: after a successful EMV parameter download, a text record
// for people of the CA keys received and the scheme parameter records handed out,
// grouped by card association, kept as "PARAM_LOADS/EMVParam_<MerchantID>_<TerminalID>.log"
// (CElavonTran::WriteEMVParamReport, declared with the record). Nothing reads it back.
//
// The file is written in text mode as the program always stored it: the report's
// "\r\n" line ends reach the file as CR CR LF. Each write replaces the previous file
// of that merchant and terminal whole (temporary file and rename), so a reader sees
// the old report or the new one, never a mixture.
//
// The ids in the file name come from the client's request, so they are reduced to
// letters, digits, '-' and '_' (every other byte becomes '_') and cut to
// kEmvReportIdMaxLength characters: no id can name a file outside the folder or an
// invalid name. Ordinary ids are unchanged.
//
// The functions here are stateless and safe on any thread. The writer runs on the
// thread that builds the download reply; the Elavon interface runs one exchange at a
// time, so two reports are never written at once, and the file is not locked.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

class CEmvParamTables;

// The report folder, beside the working folder's other folders.
inline constexpr char kEmvReportFolder[] = "PARAM_LOADS";
// The longest id (merchant or terminal) a report file name carries.
inline constexpr size_t kEmvReportIdMaxLength = 64;

// text centred in exactly width characters: (width - length) / 2 blanks before it,
// rounded up, the rest after it; a text as long as width or longer is cut to width.
// Then "\r\n" when lineEnd is set.
std::string CenterText(const std::string& text, int width, bool lineEnd);

// text with a blank after every second character and the trailing blanks removed
// ("A000000003" gives "A0 00 00 00 03", "ABC" gives "AB C"), then "\r\n" when lineEnd
// is set.
std::string SpaceHexPairs(const std::string& text, bool lineEnd);

// id as a report file name carries it: every byte outside 'A'-'Z', 'a'-'z', '0'-'9',
// '-' and '_' replaced by '_', cut to kEmvReportIdMaxLength characters.
std::string EmvReportFileId(const std::string& id);
// "EMVParam_" + merchant id + "_" + terminal id + ".log", both through
// EmvReportFileId (an empty terminal id leaves "_" right before ".log").
std::string EmvReportFileName(const std::string& merchantId, const std::string& terminalId);

// The report text, every line ended by "\r\n": the heading, the ids as given (the
// terminal line only for a terminal id), the local date and time of now, and per card
// association (Visa, MasterCard, American Express, Discover, JCB) its title, the key
// section of each CA key of its RID and the parameter section of each AID record of
// its RID. Keys and records of any other RID are left out.
std::string FormatEmvParamReport(const std::string& merchantId, const std::string& terminalId,
                                 const CEmvParamTables& tables, time_t now);
