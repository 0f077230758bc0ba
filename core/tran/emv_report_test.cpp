#include "core/tran/emv_report.h"

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tran/elavon_tran.h"
#include "core/tran/reply_test_support.h"
#include "core/tran/reply_test_text.h"
#include "core/tran/tran_reply.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"

namespace {

using Lines = std::vector<std::string>;

// What the file holds: each line ended as the text-mode write stored it.
std::string FileBytes(const Lines& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\r\n";
  return out;
}

std::string Blanks(int n) { return std::string(static_cast<size_t>(n), ' '); }

void Append(Lines& to, const Lines& lines) { to.insert(to.end(), lines.begin(), lines.end()); }

// The parameter section of one scheme with the fixed defaults (thresholds, limits,
// percentages, DDOL, fallback) that every scheme shares.
Lines ParameterSection(const std::string& terminalCaps, const std::string& tdol,
                       const std::string& aids, const std::string& tacDenial,
                       const std::string& tacOnline, const std::string& tacDefault,
                       const std::string& ctlsCaps, const std::string& ctlsAids,
                       const std::string& ctlsDenial, const std::string& ctlsOnline,
                       const std::string& ctlsDefault) {
  return {"Terminal Capabilities: " + terminalCaps,
          "Additional Capabilities: F000F0A001",
          "Threshold Value RS: 0.00",
          "Target Percent RS: 20",
          "Maximum Target Percent RS: 60",
          "Default DDOL: 9F3704",
          "Default TDOL: " + tdol,
          "Application ID: " + aids,
          "Chip Offline Floor Limit: 0.00",
          "Fallback Indicator: Y",
          "TAC Denial: " + tacDenial,
          "TAC Online: " + tacOnline,
          "TAC Default: " + tacDefault,
          "Ctls Terminal Capabilities: " + ctlsCaps,
          "Ctls Additional Capabilities: F000F0A001",
          "Ctls Application ID: " + ctlsAids,
          "Ctls Chip Offline Floor Limit: 0.00",
          "CtlsTranLimit: 0.00",
          "CtlsCVMLimit: 25.00",
          "Ctls TAC Denial: " + ctlsDenial,
          "Ctls TAC Online: " + ctlsOnline,
          "Ctls TAC Default: " + ctlsDefault,
          ""};
}

class FixedClock : public platform::Clock {
 public:
  explicit FixedClock(time_t now) : m_Now(now) {}
  uint32_t TickCount() override { return 0; }
  time_t Now() override { return m_Now; }

 private:
  time_t m_Now;
};

// 5 March 2024, 14:07:09 local time.
time_t ReportTime() {
  struct tm local {};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 5;
  local.tm_hour = 14;
  local.tm_min = 7;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  return mktime(&local);
}

constexpr char kModulus[] = "996AF56F569187D09293C14810450ED8EE3357397B18A2458EFAA92DA3B6DF65";
constexpr char kCheck[] = "429C954A3859CEF91295F663C963E582ED6EB253";

CEmvCaKey Key(const std::string& rid, const std::string& index, const std::string& modulus) {
  CEmvCaKey key;
  key.m_RID = rid;
  key.m_Index = index;
  key.m_Modulus = modulus;
  key.m_Exponent = "03";
  key.m_Check = kCheck;
  key.m_ExpDate = "1231";
  return key;
}

std::set<std::string> FolderEntries(const std::string& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class EmvReportTest : public ::testing::Test {
 protected:
  EmvReportTest() {
    m_Context.m_Settings = &m_Settings;
    m_Context.m_Logger = &m_Logger;
    m_Context.m_ReportFolder = m_Folder.Path();
  }

  // A download with a Visa key, a key of a foreign RID and the five default AIDs.
  CElavonTran Download(const std::string& merchantId, const std::string& terminalId) {
    CElavonTran tran;
    tran.m_MerchantID = merchantId;
    tran.m_TerminalID = terminalId;
    tran.m_EMVParamTables.m_CaKeys = {Key("A000000003", "92", kModulus),
                                      Key("A000000999", "01", kModulus)};
    tran.BuildEMVParamList(CEmvOptions(1, 0));
    return tran;
  }

  std::string ReportFolder() const { return m_Folder.Path() + "/PARAM_LOADS"; }
  std::string Read(const std::string& name) const {
    std::string bytes;
    EXPECT_TRUE(platform::fs::ReadFile(ReportFolder() + "/" + name, &bytes)) << name;
    return bytes;
  }

  FixedClock m_Clock{ReportTime()};
  platform::ScopedClockOverride m_ClockOverride{&m_Clock};
  ScratchFolder m_Folder;
  CParamSettings m_Settings = ReplySettings("4445551234");
  CRecordingLogger m_Logger;
  CReplyContext m_Context;
};

TEST(CenterTextTest, CentresInExactlyTheWidth) {
  const struct {
    std::string text;
    int width;
    bool lineEnd;
    std::string expected;
  } rows[] = {
      {"EMV PARAMETERS", 40, true, Blanks(13) + "EMV PARAMETERS" + Blanks(13) + "\r\n"},
      {"CARD ASSOCIATION: JCB", 40, false, Blanks(10) + "CARD ASSOCIATION: JCB" + Blanks(9)},
      {"", 4, false, Blanks(4)},
      {"abcd", 4, true, "abcd\r\n"},
      {"abcdef", 4, false, "abcd"},  // cut
      {"ab", 0, true, "\r\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_SAME_BYTES(CenterText(r.text, r.width, r.lineEnd), r.expected);
  }
}

TEST(SpaceHexPairsTest, BlankAfterEverySecondCharacter) {
  const struct {
    std::string text;
    bool lineEnd;
    std::string expected;
  } rows[] = {
      {"A000000003", false, "A0 00 00 00 03"},
      {"ABC", false, "AB C"},
      {"AB", true, "AB\r\n"},
      {"", true, "\r\n"},
      {"A ", false, "A"},    // trailing blanks go
      {"AB  ", false, "AB"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_SAME_BYTES(SpaceHexPairs(r.text, r.lineEnd), r.expected);
  }
}

TEST(EmvReportFileNameTest, IdsStayInsideTheFolder) {
  const std::string longId(100, '7');
  const struct {
    std::string merchant, terminal, expected;
  } rows[] = {
      {"4445551234", "001", "EMVParam_4445551234_001.log"},
      {"M-1_a", "Term-2_b", "EMVParam_M-1_a_Term-2_b.log"},
      {"4445551234", "", "EMVParam_4445551234_.log"},
      {"4445551234", "../x", "EMVParam_4445551234_" "___x" ".log"},
      {"..\\..", "a/b", "EMVParam_" "_____" "_" "a_b" ".log"},
      {std::string("n\0l", 3), "sp ace\xFF", "EMVParam_n_l_sp_ace_.log"},
      {longId, longId, "EMVParam_" + std::string(64, '7') + "_" + std::string(64, '7') + ".log"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(Visible(r.merchant + "|" + r.terminal));
    EXPECT_EQ(EmvReportFileName(r.merchant, r.terminal), r.expected);
  }
}

// The whole file, byte for byte: heading, ids, date and time, then the five card
// associations with the Visa key under Visa, the foreign key nowhere, and each
// scheme's defaults; every line ends in CR CR LF.
TEST_F(EmvReportTest, GoldenReport) {
  CElavonTran tran = Download("4445551234", "001");
  ASSERT_TRUE(tran.WriteEMVParamReport(m_Context));

  Lines expected = {Blanks(13) + "EMV PARAMETERS" + Blanks(13),
                    "",
                    "MERCHANT ID: 4445551234",
                    "TERM ID: 001",
                    "DATE: 03/05/2024  TIME: 14:07:09",
                    "",
                    Blanks(9) + "CARD ASSOCIATION: VISA" + Blanks(9),
                    "",
                    "RID: A0 00 00 00 03",
                    "KEY INDEX: 92",
                    "KEY MODULUS",
                    "99 6A F5 6F 56 91 87 D0",
                    "92 93 C1 48 10 45 0E D8",
                    "---",
                    "8E FA A9 2D A3 B6 DF 65",
                    "KEY EXPONENT: 03",
                    "HASH VALUE: 42 9C 95 4A 38 59 CE F9 12 95 F6 63 C9 63 E5 82 ED 6E B2 53",
                    ""};
  const std::string tdol = "9F02065F2A029A039C0195059F3704";
  Append(expected, ParameterSection(
                       "E0F8C8", "NotUsed",
                       "A0000000031010.2.008C.0096.VISA,A0000000032010.2.008C.0096.VISA ELECTRON",
                       "0010000000", "DC4004F800", "DC4000A800", "E02888", "A0000000031010.6.192",
                       "0010000000", "DC4004F800", "DC4000A800"));
  Append(expected, {"", Blanks(6) + "CARD ASSOCIATION: MASTERCARD" + Blanks(6), ""});
  Append(expected, ParameterSection("E0F8C8", tdol, "A0000000041010.2.0002.0002.MASTERCARD",
                                    "0000000000", "FC50B8F800", "FC50B8A000", "E02888",
                                    "A0000000041010.1.193", "0000000000", "FC50808800",
                                    "FC50808800"));
  Append(expected, {"", Blanks(3) + "CARD ASSOCIATION: AMERICAN EXPRESS" + Blanks(3), ""});
  Append(expected, ParameterSection("E0B8C8", tdol, "A00000002501.2.0001.0001.AMEX",
                                    "0000000000", "C800000000", "C800000000", "E0F8C8",
                                    "A00000002501.2.194", "0000000000", "C400000000",
                                    "DC50840000"));
  Append(expected, {"", Blanks(7) + "CARD ASSOCIATION: DISCOVER" + Blanks(7), ""});
  Append(expected, ParameterSection("E0F8C8", tdol, "A0000001523010.2.0001.0001.DISCOVER",
                                    "0010000000", "FCE09CF800", "DC00002000", "E02888",
                                    "A0000001523010.13.128,A0000003241010.13.128", "0000000000",
                                    "0000000000", "0000000000"));
  Append(expected, {"", Blanks(10) + "CARD ASSOCIATION: JCB" + Blanks(9), ""});
  Append(expected, ParameterSection("E0F8C8", tdol, "A0000000651010.2.0200.0120.JCB",
                                    "0010000000", "FC60ACF800", "FC6024A800", "E0F8C8",
                                    "A0000000651010.6.192", "0000000000", "0000000000",
                                    "0000000000"));

  EXPECT_SAME_BYTES(Read("EMVParam_4445551234_001.log"), FileBytes(expected));
  EXPECT_EQ(FolderEntries(ReportFolder()), std::set<std::string>{"EMVParam_4445551234_001.log"});
  EXPECT_TRUE(m_Logger.Lines().empty());
}

// The key section shows the first 32 and the last 16 characters of the modulus,
// however long it is.
TEST_F(EmvReportTest, KeySectionOfShortModuli) {
  const struct {
    std::string modulus;
    Lines lines;
  } rows[] = {
      {"0123456789ABCDEF0123",
       {"01 23 45 67 89 AB CD EF", "01 23", "---", "45 67 89 AB CD EF 01 23"}},
      {"0123456789", {"01 23 45 67 89", "", "---", "01 23 45 67 89"}},
      {"", {"", "", "---", ""}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.modulus);
    CEmvParamTables tables;
    tables.m_CaKeys = {Key("A000000065", "0F", r.modulus)};
    const std::string text = FormatEmvParamReport("M", "T", tables, ReportTime());
    std::string section = "KEY MODULUS\r\n";
    for (const std::string& line : r.lines) section += line + "\r\n";
    section += "KEY EXPONENT: 03\r\n";
    EXPECT_NE(text.find(section), std::string::npos) << Visible(text);
  }
}

TEST_F(EmvReportTest, EmptyTerminalIdHasNoTermLine) {
  CElavonTran tran = Download("4445551234", "");
  ASSERT_TRUE(tran.WriteEMVParamReport(m_Context));
  const std::string bytes = Read("EMVParam_4445551234_.log");
  EXPECT_EQ(bytes.find("TERM ID"), std::string::npos);
  EXPECT_NE(bytes.find("MERCHANT ID: 4445551234\r\r\nDATE: 03/05/2024  TIME: 14:07:09\r\r\n"),
            std::string::npos);
}

TEST_F(EmvReportTest, ReportIsReadableByItsOwnerOnly) {
  CElavonTran tran = Download("4445551234", "001");
  ASSERT_TRUE(tran.WriteEMVParamReport(m_Context));
  struct stat st {};
  ASSERT_EQ(::stat((ReportFolder() + "/EMVParam_4445551234_001.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Written again, it stays so.
  ASSERT_TRUE(tran.WriteEMVParamReport(m_Context));
  ASSERT_EQ(::stat((ReportFolder() + "/EMVParam_4445551234_001.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(EmvReportTest, SecondDownloadReplacesTheFile) {
  CElavonTran first = Download("4445551234", "001");
  ASSERT_TRUE(first.WriteEMVParamReport(m_Context));
  CElavonTran second = Download("4445551234", "001");
  second.m_EMVParamTables.m_CaKeys.clear();
  ASSERT_TRUE(second.WriteEMVParamReport(m_Context));

  const std::string expected = platform::fs::ToTextMode(
      FormatEmvParamReport("4445551234", "001", second.m_EMVParamTables, ReportTime()));
  EXPECT_SAME_BYTES(Read("EMVParam_4445551234_001.log"), expected);
  EXPECT_EQ(expected.find("KEY MODULUS"), std::string::npos);

  // Another terminal has a file of its own; nothing else is left in the folder.
  CElavonTran other = Download("4445551234", "002");
  ASSERT_TRUE(other.WriteEMVParamReport(m_Context));
  EXPECT_EQ(FolderEntries(ReportFolder()),
            (std::set<std::string>{"EMVParam_4445551234_001.log", "EMVParam_4445551234_002.log"}));
}

TEST_F(EmvReportTest, IdOfDotDotStaysInsideTheFolder) {
  CElavonTran tran = Download("4445551234", "../x");
  ASSERT_TRUE(tran.WriteEMVParamReport(m_Context));
  EXPECT_EQ(FolderEntries(ReportFolder()), std::set<std::string>{"EMVParam_4445551234_" "___x" ".log"});
  EXPECT_EQ(FolderEntries(m_Folder.Path()), std::set<std::string>{"PARAM_LOADS"});
  // The report itself shows the id as the client sent it.
  EXPECT_NE(Read("EMVParam_4445551234_" "___x" ".log").find("TERM ID: ../x\r\r\n"), std::string::npos);
}

TEST_F(EmvReportTest, FolderThatCannotBeMadeIsLogged) {
  ASSERT_TRUE(platform::fs::ReplaceFile(ReportFolder(), "not a folder"));
  CElavonTran tran = Download("4445551234", "001");
  EXPECT_FALSE(tran.WriteEMVParamReport(m_Context));
  const Lines lines = m_Logger.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("error at CreateVirureday: ", 0), 0u) << lines[0];
  const std::string tail = "(PARAM_LOADS)\n";
  ASSERT_GE(lines[0].size(), tail.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail);
}

// A file that cannot be written is a failure, logged with its name; the previous
// state of the folder stays.
TEST_F(EmvReportTest, FileThatCannotBeWrittenIsLogged) {
  const std::string path = ReportFolder() + "/EMVParam_4445551234_001.log";
  ASSERT_TRUE(platform::fs::CreateFolders(path));  // a folder where the file would go
  CElavonTran tran = Download("4445551234", "001");
  EXPECT_FALSE(tran.WriteEMVParamReport(m_Context));
  const Lines lines = m_Logger.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Exception Writing File ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("(" + path + ")"), std::string::npos) << lines[0];
  EXPECT_EQ(FolderEntries(ReportFolder()), std::set<std::string>{"EMVParam_4445551234_001.log"});
  EXPECT_TRUE(platform::fs::FolderExists(path));
}

}  // namespace
