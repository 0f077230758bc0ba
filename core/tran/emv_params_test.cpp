#include "core/tran/emv_params.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"

namespace {

// The 24 fields of an AID record, in record order.
std::vector<std::string> Fields(const CEmvAidEntry& e) {
  return {e.m_RID,
          e.m_AidList,
          e.m_FloorLimit,
          e.m_RSThreshold,
          e.m_TargetRSPercent,
          e.m_MaxTargetRSPercent,
          e.m_FallBackIndicator,
          e.m_TACDefault,
          e.m_TACDenial,
          e.m_TACOnline,
          e.m_DefaultDDOL,
          e.m_DefaultTDOL,
          e.m_TerminalCapabilities,
          e.m_AdditionalCapabilities,
          e.m_Merchant,
          e.m_CtlsAidList,
          e.m_CtlsFloorLimit,
          e.m_CtlsTranLimit,
          e.m_CtlsCVMLimit,
          e.m_CtlsTACDefault,
          e.m_CtlsTACDenial,
          e.m_CtlsTACOnline,
          e.m_CtlsTerminalCapabilities,
          e.m_CtlsAdditionalCapabilities};
}

// A record with a different non-empty text in every field.
CEmvAidEntry FilledEntry() {
  CEmvAidEntry e;
  std::string* fields[] = {
      &e.m_RID,           &e.m_AidList,          &e.m_FloorLimit,
      &e.m_RSThreshold,   &e.m_TargetRSPercent,  &e.m_MaxTargetRSPercent,
      &e.m_FallBackIndicator, &e.m_TACDefault,   &e.m_TACDenial,
      &e.m_TACOnline,     &e.m_DefaultDDOL,      &e.m_DefaultTDOL,
      &e.m_TerminalCapabilities, &e.m_AdditionalCapabilities, &e.m_Merchant,
      &e.m_CtlsAidList,   &e.m_CtlsFloorLimit,   &e.m_CtlsTranLimit,
      &e.m_CtlsCVMLimit,  &e.m_CtlsTACDefault,   &e.m_CtlsTACDenial,
      &e.m_CtlsTACOnline, &e.m_CtlsTerminalCapabilities, &e.m_CtlsAdditionalCapabilities};
  int n = 0;
  for (std::string* f : fields) *f = "old" + std::to_string(++n);
  return e;
}

// Defaults with EMV SUPPORT and EMV CVM set to the raw texts given (nullopt: absent).
CParamSettings EmvSettings(std::optional<std::string> support, std::optional<std::string> cvm) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  const struct {
    int number;
    const std::optional<std::string>& value;
  } wanted[] = {{kParmEmvSupport, support}, {kParmEmvCvm, cvm}};
  for (const auto& w : wanted) {
    CParamEntry entry;
    EXPECT_TRUE(params.Lookup(w.number, &entry));
    if (w.value) {
      params.SetAt(w.number, CParamEntry(entry.GetFormat(), entry.GetName(), *w.value));
    } else {
      params.RemoveKey(w.number);
    }
  }
  settings.SetParams(params);
  return settings;
}

TEST(EmvAidEntryTest, ResetEmptiesEveryField) {
  CEmvAidEntry entry = FilledEntry();
  entry.Reset();
  EXPECT_EQ(Fields(entry), std::vector<std::string>(24));
}

// The complete default record of every scheme with EMV SUPPORT and EMV CVM 0, loaded
// over a record whose every field held something else.
TEST(EmvDefaultsTest, FullRecordOfEachScheme) {
  const std::string tdol = "9F02065F2A029A039C0195059F3704";
  const std::vector<std::vector<std::string>> expected = {
      {"A000000003", "A0000000031010.2.008C.0096.VISA,A0000000032010.2.008C.0096.VISA ELECTRON",
       "0", "0", "20", "60", "Y", "DC4000A800", "0010000000", "DC4004F800", "9F3704", "NotUsed",
       "E0F8C8", "F000F0A001", "Merchant", "A0000000031010.6.192", "000", "000", "2500",
       "DC4000A800", "0010000000", "DC4004F800", "E02888", "F000F0A001"},
      {"A000000004", "A0000000041010.2.0002.0002.MASTERCARD", "0", "0", "20", "60", "Y",
       "FC50B8A000", "0000000000", "FC50B8F800", "9F3704", tdol, "E0F8C8", "F000F0A001",
       "Merchant", "A0000000041010.1.193", "000", "000", "2500", "FC50808800", "0000000000",
       "FC50808800", "E02888", "F000F0A001"},
      {"A000000025", "A00000002501.2.0001.0001.AMEX", "0", "0", "20", "60", "Y", "C800000000",
       "0000000000", "C800000000", "9F3704", tdol, "E0B8C8", "F000F0A001", "Merchant",
       "A00000002501.2.194", "000", "000", "2500", "DC50840000", "0000000000", "C400000000",
       "E0F8C8", "F000F0A001"},
      {"A000000152", "A0000001523010.2.0001.0001.DISCOVER", "0", "0", "20", "60", "Y",
       "DC00002000", "0010000000", "FCE09CF800", "9F3704", tdol, "E0F8C8", "F000F0A001",
       "Merchant", "A0000001523010.13.128,A0000003241010.13.128", "000", "000", "2500",
       "0000000000", "0000000000", "0000000000", "E02888", "F000F0A001"},
      {"A000000065", "A0000000651010.2.0200.0120.JCB", "0", "0", "20", "60", "Y", "FC6024A800",
       "0010000000", "FC60ACF800", "9F3704", tdol, "E0F8C8", "F000F0A001", "Merchant",
       "A0000000651010.6.192", "000", "000", "2500", "0000000000", "0000000000", "0000000000",
       "E0F8C8", "F000F0A001"},
  };
  for (const auto& want : expected) {
    CEmvAidEntry entry = FilledEntry();
    EXPECT_TRUE(LoadEmvAidDefaults(CEmvOptions(0, 0), want[0], entry));
    EXPECT_EQ(Fields(entry), want) << "RID " << want[0];
  }
}

// The fields that depend on EMV SUPPORT and EMV CVM, over a table of both parameters
// as the settings hold them.
TEST(EmvDefaultsTest, DerivedFieldsFollowEmvSupportAndCvm) {
  const struct {
    std::optional<std::string> support, cvm;
    bool debit;
    const char* capsA;
    const char* capsB;
  } rows[] = {
      {"2", "0", true, "E0F8C8", "E0B8C8"},
      {"2", std::nullopt, true, "E0F8C8", "E0B8C8"},
      {"1", "0", false, "E0F8C8", "E0B8C8"},
      {"0", "0", false, "E0F8C8", "E0B8C8"},
      {std::nullopt, std::nullopt, false, "E0F8C8", "E0B8C8"},
      {"", "", false, "E0F8C8", "E0B8C8"},
      {"x", "0", false, "E0F8C8", "E0B8C8"},
      {"2", "1", false, "E028C8", "E028C8"},
      {"1", "1", false, "E028C8", "E028C8"},
      {"2", "2", false, "E008C8", "E008C8"},
      {"0", "2", false, "E008C8", "E008C8"},
      {"2", "3", false, "E0F8C8", "E0B8C8"},
  };
  const char* const ctls = "E02888";
  for (const auto& row : rows) {
    const CEmvOptions options = CEmvOptions::FromSettings(EmvSettings(row.support, row.cvm));
    const std::string label = "EMV SUPPORT '" + row.support.value_or("<absent>") +
                              "', EMV CVM '" + row.cvm.value_or("<absent>") + "'";
    // Per scheme: the contact AID list without and with the debit entries, then the
    // contact and the contactless terminal capabilities.
    const struct {
      std::string_view rid;
      std::string aids, debitAids, caps, ctlsCaps;
    } schemes[] = {
        {RID_VISA, "A0000000031010.2.008C.0096.VISA,A0000000032010.2.008C.0096.VISA ELECTRON",
         "A0000000031010.2.008C.0096.VISA,A0000000032010.2.008C.0096.VISA ELECTRON,"
         "A0000000980840.2.008C.0096.DEBIT VISA",
         row.capsA, ctls},
        {RID_MASTERCARD, "A0000000041010.2.0002.0002.MASTERCARD",
         "A0000000041010.2.0002.0002.MASTERCARD,A0000000042203.2.0002.0002.DEBIT MASTERCARD",
         row.capsA, ctls},
        {RID_AMEX, "A00000002501.2.0001.0001.AMEX", "A00000002501.2.0001.0001.AMEX", row.capsB,
         row.capsA},
        {RID_DISCOVER, "A0000001523010.2.0001.0001.DISCOVER",
         "A0000001523010.2.0001.0001.DISCOVER,A0000001524010.2.0001.0001.DEBIT DISCOVER",
         row.capsA, ctls},
        {RID_JCB, "A0000000651010.2.0200.0120.JCB", "A0000000651010.2.0200.0120.JCB", row.capsA,
         row.capsA},
    };
    for (const auto& s : schemes) {
      CEmvAidEntry entry;
      LoadEmvAidDefaults(options, std::string(s.rid), entry);
      EXPECT_EQ(entry.m_AidList, row.debit ? s.debitAids : s.aids) << label << ", " << s.rid;
      EXPECT_EQ(entry.m_TerminalCapabilities, s.caps) << label << ", " << s.rid;
      EXPECT_EQ(entry.m_CtlsTerminalCapabilities, s.ctlsCaps) << label << ", " << s.rid;
      EXPECT_EQ(entry.m_AdditionalCapabilities, "F000F0A001") << label << ", " << s.rid;
    }
  }
}

TEST(EmvDefaultsTest, OtherRidLeavesTheRecordAsItWas) {
  for (const char* rid : {"A00000000", "A000000999", "a000000003", "A0000000031", ""}) {
    CEmvAidEntry fresh;
    EXPECT_TRUE(LoadEmvAidDefaults(CEmvOptions(2, 0), rid, fresh));
    EXPECT_EQ(Fields(fresh), std::vector<std::string>(24)) << "RID '" << rid << "'";

    CEmvAidEntry filled = FilledEntry();
    EXPECT_TRUE(LoadEmvAidDefaults(CEmvOptions(2, 0), rid, filled));
    EXPECT_EQ(Fields(filled), Fields(FilledEntry())) << "RID '" << rid << "'";
  }
}

TEST(EmvDefaultsTest, BuildListHoldsTheFiveSchemesInOrder) {
  CEmvAidList list;
  list.push_back(FilledEntry());
  list.push_back(FilledEntry());
  for (int round = 0; round < 2; ++round) {
    BuildEmvAidList(CEmvOptions(2, 0), list);
    ASSERT_EQ(list.size(), 5u);
    auto it = list.begin();
    for (std::string_view rid : {RID_VISA, RID_MASTERCARD, RID_AMEX, RID_DISCOVER, RID_JCB}) {
      CEmvAidEntry expected;
      LoadEmvAidDefaults(CEmvOptions(2, 0), std::string(rid), expected);
      EXPECT_EQ(Fields(*it), Fields(expected)) << "round " << round << ", " << rid;
      ++it;
    }
  }
}

CEmvCaKey Key(const std::string& rid, const std::string& index) {
  CEmvCaKey key;
  key.m_RID = rid;
  key.m_Index = index;
  return key;
}

TEST(EmvParamTablesTest, CopiesAreDeepAndReplaceTheTarget) {
  CEmvParamTables source;
  source.m_CaKeys = {Key("A000000003", "92"), Key("A000000004", "05")};
  BuildEmvAidList(CEmvOptions(0, 0), source.m_AidEntries);

  CEmvParamTables target;
  target.m_CaKeys = {Key("X", "1"), Key("Y", "2"), Key("Z", "3")};
  target.m_AidEntries = {FilledEntry()};
  target = source;
  ASSERT_EQ(target.m_CaKeys.size(), 2u);
  EXPECT_EQ(target.m_CaKeys.front().m_RID, "A000000003");
  EXPECT_EQ(target.m_CaKeys.back().m_Index, "05");
  ASSERT_EQ(target.m_AidEntries.size(), 5u);
  EXPECT_EQ(target.m_AidEntries.front().m_RID, "A000000003");

  // Changing either side leaves the other alone.
  target.m_CaKeys.front().m_Modulus = "CHANGED";
  target.m_AidEntries.pop_back();
  source.m_AidEntries.front().m_AidList = "CHANGED";
  EXPECT_EQ(source.m_CaKeys.front().m_Modulus, "");
  EXPECT_EQ(source.m_AidEntries.size(), 5u);
  EXPECT_NE(target.m_AidEntries.front().m_AidList, "CHANGED");

  CEmvParamTables copy(source);
  copy.m_CaKeys.clear();
  EXPECT_EQ(source.m_CaKeys.size(), 2u);

  CEmvParamTables& self = source;
  source = self;
  EXPECT_EQ(source.m_CaKeys.size(), 2u);
  EXPECT_EQ(source.m_AidEntries.size(), 5u);
  EXPECT_EQ(source.m_AidEntries.front().m_AidList, "CHANGED");
}

TEST(EmvParamTablesTest, ParseCaKeyRecord) {
  const std::string head = "A000000003" "92" "0008" "AABBCCDD" "02" "03" "04" "1234";
  const struct {
    std::string text;
    const char* rid;
    const char* index;
    const char* modulus;
    const char* exponent;
    const char* check;
    const char* expDate;
  } cases[] = {
      {head + "08" "20251231", "A000000003", "92", "AABBCCDD", "03", "1234", "311225"},
      {head, "A000000003", "92", "AABBCCDD", "03", "1234", ""},
      {head + "06" "251231", "A000000003", "92", "AABBCCDD", "03", "1234", ""},
      {head + "08" "2025", "A000000003", "92", "AABBCCDD", "03", "1234", "25"},
      // Cut short inside the modulus: the rest is empty.
      {"A000000004" "05" "0100" "ABCD", "A000000004", "05", "ABCD", "", "", ""},
      // A length that is not a number reads as 0.
      {"A000000025" "01" "00x1" "02" "03", "A000000025", "01", "", "03", "", ""},
      {"", "", "", "", "", "", ""},
  };
  for (const auto& c : cases) {
    CEmvParamTables tables;
    EXPECT_TRUE(tables.ParseCaKeyRecord(c.text));
    ASSERT_EQ(tables.m_CaKeys.size(), 1u) << c.text;
    const CEmvCaKey& key = tables.m_CaKeys.front();
    EXPECT_EQ(key.m_RID, c.rid) << c.text;
    EXPECT_EQ(key.m_Index, c.index) << c.text;
    EXPECT_EQ(key.m_Modulus, c.modulus) << c.text;
    EXPECT_EQ(key.m_Exponent, c.exponent) << c.text;
    EXPECT_EQ(key.m_Check, c.check) << c.text;
    EXPECT_EQ(key.m_ExpDate, c.expDate) << c.text;
  }
}

TEST(EmvParamTablesTest, SetAidLimitsAndFallBackFindTheRecordByRid) {
  CEmvParamTables tables;
  BuildEmvAidList(CEmvOptions(0, 0), tables.m_AidEntries);
  const CEmvParamTables before = tables;

  tables.SetAidLimits("A000000004" "000001000" "000002000");
  tables.SetAidFallBack("A000000025N");
  tables.SetAidLimits("A000000999" "111111111" "222222222");
  tables.SetAidFallBack("A000000999N");

  auto b = before.m_AidEntries.begin();
  for (const CEmvAidEntry& e : tables.m_AidEntries) {
    CEmvAidEntry expected = *b++;
    if (e.m_RID == "A000000004") {
      expected.m_FloorLimit = "000001000";
      expected.m_RSThreshold = "000002000";
    }
    if (e.m_RID == "A000000025") expected.m_FallBackIndicator = "N";
    EXPECT_EQ(Fields(e), Fields(expected)) << e.m_RID;
  }

  // A text that ends early gives what there is.
  tables.SetAidLimits("A000000003" "12");
  tables.SetAidFallBack("A000000065");
  EXPECT_EQ(tables.m_AidEntries.front().m_FloorLimit, "12");
  EXPECT_EQ(tables.m_AidEntries.front().m_RSThreshold, "");
  EXPECT_EQ(tables.m_AidEntries.back().m_FallBackIndicator, "");
}

}  // namespace
