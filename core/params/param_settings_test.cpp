#include "core/params/param_settings.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/vocab/vocabulary.h"

namespace {

const std::string kDefaultText =
    std::string("1;21;000000;0;0;0;0;N;;N;Y;N;0;1;;") + kDefaultAuthorizationPhone + ";3;0;0; ;1;00;0;";

CParamSettings Defaults() {
  CParamSettings s;
  s.ResetToDefaults();
  return s;
}

TEST(ParamSettingsTest, DefaultsSerialiseToTheKnownText) {
  const CParamSettings s = Defaults();
  EXPECT_EQ(s.Serialize(), kDefaultText);
  EXPECT_EQ(s.Serialize().size(), 61u);
  EXPECT_EQ(s.GetVersion(), "1");
  EXPECT_EQ(s.GetParams().GetCount(), 22);
  EXPECT_EQ(std::string(kDefaultAuthorizationPhone).find_first_not_of("0123456789"), std::string::npos);
}

TEST(ParamSettingsTest, DumpOfTheDefaultsNamesEveryParameterAndFormat) {
  const std::string want = std::string(
      "Param Settings:\n"
      "Ver=1\n"
      "No.0 NUMPARMS.NS1.1.2.21\n"
      "No.1 ASSIGNED BIN.NS1.6.6.000000\n"
      "No.2 MERCHANT/TERMINAL ID.NS1.1.16.0\n"
      "No.3 MERCHANT CATEGORY.NS1.1.2.0\n"
      "No.4 ECHECK.NS1.1.2.0\n"
      "No.5 DUPLICATE CHECK.YN1.0.0.0\n"
      "No.6 USE CORV CLIENT/SERVER PASSWORD.YN1.0.0.N\n"
      "No.7 CORV CLIENT/SERVER PASSWORD.AN2.0.12.\n"
      "No.8 DO NOT CONNECT TO HOST ON STARTUP.YN1.0.0.N\n"
      "No.9 VERIFY SSL CERTIFICATE.YN1.0.0.Y\n"
      "No.10 GO TO SYSTEM TRAY WHEN MINIMIZED.YN1.0.0.N\n"
      "No.11 TRANSPORT METHOD.NS1.1.2.0\n"
      "No.12 MODEM COM PORT.NS1.1.3.1\n"
      "No.13 DIAL PREFIX.AN2.0.24.\n"
      "No.14 AUTHORIZATION PHONE NUMBER.NS1.1.11.") + kDefaultAuthorizationPhone + "\n"
      "No.15 IP CONNECT TIMEOUT.NS1.1.2.3\n"
      "No.16 EMV SUPPORT.NS1.1.1.0\n"
      "No.17 EMV CVM.NS1.1.1.0\n"
      "No.18 PARTNER NAME.AN2.1.40. \n"
      "No.19 NUMBER OF LANES.NS1.1.2.1\n"
      "No.20 LANE SPECIAL.AN1.2.6.00\n"
      "No.21 LANE IDS.AN2.1.300.0\n";
  EXPECT_EQ(Defaults().Dump(), want);
}

TEST(ParamSettingsTest, DumpMasksThePasswordAndKeepsOtherValues) {
  CParamSettings s = Defaults();
  CParamMap m = s.GetParams();
  ASSERT_TRUE(m.SetParamValue(kParmCorvPassword, "s3cr%t pw"));
  ASSERT_TRUE(m.SetParamValue(kParmDialPrefix, "9,%d"));
  s.SetParams(m);
  const std::string dump = s.Dump();
  EXPECT_NE(dump.find("No.7 CORV CLIENT/SERVER PASSWORD.AN2.0.12.XXXXXXXXX\n"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("s3cr"), std::string::npos);
  EXPECT_NE(dump.find("No.13 DIAL PREFIX.AN2.0.24.9,%d\n"), std::string::npos);
  EXPECT_EQ(s.GetParams().GetParamValue(kParmCorvPassword), "s3cr%t pw");  // only the dump is masked
}

TEST(ParamFormatTest, ValidateFollowsEachCodesRules) {
  struct Case {
    const char* code;
    int min, max;
    std::string text;
    bool valid;
  };
  const std::vector<Case> cases = {
      // Digits with a tested length.
      {"NS1", 6, 6, "123456", true},
      {"NS1", 6, 6, "12345", false},
      {"NS1", 6, 6, "1234567", false},
      {"NS1", 6, 6, "12345a", false},
      {"NS1", 1, 16, "1234567890123456", true},
      {"NS1", 1, 16, "12345678901234567", false},
      {"NS1", 1, 2, "", false},
      {"NS1", 1, 2, "-1", false},
      {"NS1", 0, 2, "", true},  // the empty text passes the character test
      // Exactly "Y" or "N"; min and max play no part.
      {"YN1", 0, 0, "Y", true},
      {"YN1", 0, 0, "N", true},
      {"YN1", 0, 0, "y", false},
      {"YN1", 0, 0, "0", false},
      {"YN1", 0, 0, "", false},
      {"YN1", 0, 0, "YN", false},
      {"YN1", 5, 9, "Y", true},
      // Letters and digits.
      {"AN1", 2, 6, "00", true},
      {"AN1", 2, 6, "aZ09", true},
      {"AN1", 2, 6, "A 1", false},
      {"AN1", 2, 6, "ab-1", false},
      {"AN1", 2, 6, "A", false},
      {"AN1", 2, 6, "abcdefg", false},
      {"AN1", 2, 6, "ab\xC3\xA9", false},
      // Bytes blank to DEL.
      {"AN2", 0, 12, "", true},
      {"AN2", 0, 12, " ~!%;=", true},
      {"AN2", 0, 12, "\x7F", true},
      {"AN2", 0, 12, "a\tb", false},
      {"AN2", 0, 12, "caf\xE9", false},
      {"AN2", 0, 12, std::string("a\0b", 3), false},
      {"AN2", 0, 12, "1234567890123", false},
      {"AN2", 1, 300, "", false},
      {"AN2", 1, 300, std::string(300, 'x'), true},
      {"AN2", 1, 300, std::string(301, 'x'), false},
      // Any other code accepts nothing.
      {"XX1", 0, 10, "1", false},
      {"", 0, 10, "", false},
      {"ns1", 0, 10, "1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CParamFormat(c.code, c.min, c.max).Validate(c.text), c.valid)
        << c.code << " " << c.min << ".." << c.max << " '" << c.text << "'";
  }
}

TEST(ParamFormatTest, DefaultValueAndLengthTestByCode) {
  struct Case {
    const char* code;
    int min, max;
    const char* value;
    bool lengthTested;
  };
  const std::vector<Case> cases = {
      {"NS1", 6, 6, "000000", true}, {"NS1", 0, 5, "0", true},  {"AN1", 2, 6, "00", true},
      {"AN2", 1, 300, "0", true},    {"AN2", 0, 12, "", true},  {"YN1", 0, 0, "N", false},
      {"XX1", 3, 3, "", false},
  };
  for (const Case& c : cases) {
    const CParamFormat f(c.code, c.min, c.max);
    EXPECT_EQ(f.DefaultValue(), c.value) << c.code;
    EXPECT_EQ(f.IsLengthTested(), c.lengthTested) << c.code;
  }
}

TEST(ParamEntryTest, SetValueStoresOnlyWhatTheFormatAccepts) {
  CParamEntry e(CParamFormat("NS1", 6, 6), "ASSIGNED BIN", "bad");  // stored unvalidated
  EXPECT_EQ(e.GetValue(), "bad");
  EXPECT_TRUE(e.SetValue("123456"));
  EXPECT_FALSE(e.SetValue("12345"));
  EXPECT_EQ(e.GetValue(), "123456");
}

// Each case: the text to parse, the result, and the parameters that differ from the
// defaults afterwards.
TEST(ParamSettingsTest, ParseTable) {
  const std::string tail = std::string(kDefaultAuthorizationPhone) + ";3;0;0; ;1;00;0;";
  struct Case {
    const char* what;
    std::string text;
    bool ok;
    std::map<int, std::string> changed;
  };
  const std::vector<Case> cases = {
      {"empty text", "", false, {}},
      {"other version", "2;21;123456;0;0;0;Y;N;;N;Y;N;0;1;;" + tail, false, {}},
      {"version only", "1;", true, {}},
      {"blank version", ";21;123456;", false, {}},
      {"duplicate check on", "1;21;000000;0;0;0;Y;", true, {{kParmDuplicateCheck, "Y"}}},
      {"duplicate check 0", "1;21;000000;0;0;0;0;", true, {}},
      {"duplicate check y", "1;21;000000;0;0;0;y;", true, {}},
      {"bin of 5 digits", "1;21;12345;77;", true, {{kParmMerchantTerminalId, "77"}}},
      {"17-digit merchant id", "1;21;123456;12345678901234567;", true, {{kParmAssignedBin, "123456"}}},
      {"lane special with a blank", "1;21;000000;0;0;0;0;N;;N;Y;N;0;1;;" + std::string(kDefaultAuthorizationPhone) +
                                        ";3;0;0; ;1;A B;7;",
       true, {{kParmLaneIds, "7"}}},
      {"tab in dial prefix", "1;21;000000;0;0;0;0;N;pw;N;Y;N;0;1;9\t1;", true, {{kParmCorvPassword, "pw"}}},
      {"fields after the 23rd", "1;21;000000;0;0;0;0;N;;N;Y;N;0;1;;" + tail + "extra;more;", true, {}},
      {"every value changed",
       "1;5;123456;1234567890123456;3;1;Y;Y;secret;Y;N;Y;2;12;9,;15551234567;30;1;1;Partner Co;4;AB12;1,2,3;",
       true,
       {{kParmNumParms, "5"}, {kParmAssignedBin, "123456"}, {kParmMerchantTerminalId, "1234567890123456"},
        {kParmMerchantCategory, "3"}, {kParmECheck, "1"}, {kParmDuplicateCheck, "Y"},
        {kParmUseCorvPassword, "Y"}, {kParmCorvPassword, "secret"}, {kParmDoNotConnectOnStartup, "Y"},
        {kParmVerifySslCertificate, "N"}, {kParmGoToTrayWhenMinimized, "Y"}, {kParmTransportMethod, "2"},
        {kParmModemComPort, "12"}, {kParmDialPrefix, "9,"}, {kParmAuthorizationPhone, "15551234567"},
        {kParmIpConnectTimeout, "30"}, {kParmEmvSupport, "1"}, {kParmEmvCvm, "1"},
        {kParmPartnerName, "Partner Co"}, {kParmNumberOfLanes, "4"}, {kParmLaneSpecial, "AB12"},
        {kParmLaneIds, "1,2,3"}}},
  };
  const CParamMap defaults = Defaults().GetParams();
  for (const Case& c : cases) {
    CParamSettings s;
    // Start from something else, to see that Parse resets first.
    s.ResetToDefaults();
    CParamMap before = s.GetParams();
    before.SetParamValue(kParmEmvSupport, "1");
    s.SetParams(before);

    EXPECT_EQ(s.Parse(c.text), c.ok) << c.what;
    EXPECT_EQ(s.GetVersion(), "1") << c.what;
    const CParamMap got = s.GetParams();
    EXPECT_EQ(got.GetCount(), 22) << c.what;
    for (int n = FIRST_PARM; n <= LAST_PARM; ++n) {
      const auto it = c.changed.find(n);
      const std::string want = it != c.changed.end() ? it->second : defaults.GetParamValue(n);
      EXPECT_EQ(got.GetParamValue(n), want) << c.what << ", parameter " << n;
    }
  }
}

TEST(ParamSettingsTest, SerializeReadsBackWhatParseTook) {
  const std::string text =
      "1;5;123456;1234567890123456;3;1;Y;Y;p w~;Y;N;Y;2;12;9,*70;15551234567;30;1;1;Partner Co;4;AB12;1,2,3;";
  CParamSettings s;
  ASSERT_TRUE(s.Parse(text));
  EXPECT_EQ(s.Serialize(), text);
}

TEST(ParamMapTest, GetParamValueOfAnAbsentNumberIsEmpty) {
  const CParamMap m = Defaults().GetParams();
  EXPECT_EQ(m.GetParamValue(22), "");
  EXPECT_EQ(m.GetParamValue(-1), "");
  EXPECT_EQ(CParamMap().GetParamValue(0), "");
}

TEST(ParamMapTest, IsEqualComparesEveryFieldOfEveryEntry) {
  const CParamMap base = Defaults().GetParams();
  EXPECT_TRUE(base.IsEqual(Defaults().GetParams()));

  CParamMap lacking = base;
  ASSERT_TRUE(lacking.RemoveKey(kParmLaneIds));
  EXPECT_FALSE(base.IsEqual(lacking));
  EXPECT_FALSE(lacking.IsEqual(base));

  CParamMap renumbered = lacking;  // same count, one entry under another number
  CParamEntry e;
  ASSERT_TRUE(base.Lookup(kParmLaneIds, &e));
  renumbered.SetAt(99, e);
  EXPECT_FALSE(base.IsEqual(renumbered));

  struct Change {
    const char* what;
    CParamEntry entry;
  };
  const std::vector<Change> changes = {
      {"min", CParamEntry(CParamFormat("AN2", 2, 300), "LANE IDS", "0")},
      {"max", CParamEntry(CParamFormat("AN2", 1, 299), "LANE IDS", "0")},
      {"code", CParamEntry(CParamFormat("AN1", 1, 300), "LANE IDS", "0")},
      {"name", CParamEntry(CParamFormat("AN2", 1, 300), "Lane Ids", "0")},
      {"value", CParamEntry(CParamFormat("AN2", 1, 300), "LANE IDS", "1")},
  };
  for (const Change& c : changes) {
    CParamMap other = base;
    other.SetAt(kParmLaneIds, c.entry);
    EXPECT_FALSE(base.IsEqual(other)) << c.what;
  }
  CParamMap same = base;
  same.SetAt(kParmLaneIds, CParamEntry(CParamFormat("AN2", 1, 300), "LANE IDS", "0"));
  EXPECT_TRUE(base.IsEqual(same));
}

}  // namespace
