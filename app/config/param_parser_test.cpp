#include "app/config/param_parser.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "core/vocab/vocabulary.h"

namespace {

constexpr char kEcho[] = "9F3A00C1D2E3F40516273849ABCDEF01";

CParamMap Definitions() {
  CParamSettings settings;
  settings.ResetToDefaults();
  return settings.GetParams();
}

// The downloaded values of a good payload, by parameter number, as the service
// writes them (parameter 7 holds a ';', which arrives as ',').
const char* const kGoodValues[LAST_PARM + 1] = {
    "21", "412345", "1234567890123456", "3", "1", "Y", "Y", "pass word;1", "N", "Y", "Y",
    "2",  "3",      "9,",               "18005550100", "15", "1", "1", "Acme Partner", "4",
    "AB12", "1,2,3,4"};

// One record: its key and its '|'-separated fields.
struct Record {
  std::string key;
  std::vector<std::string> fields;
  std::string Text() const {
    std::string value;
    for (size_t i = 0; i < fields.size(); ++i) value += (i ? "|" : "") + fields[i];
    return key + "=" + value;
  }
};

// A good payload of the service (the echo record, the 22 parameter records), to
// which each test applies one fault.
class Payload {
 public:
  Payload() {
    m_Records.push_back({"500", {"CC", "x", "x", "x", kEcho}});
    const CParamMap defs = Definitions();
    for (int n = FIRST_PARM; n <= LAST_PARM; ++n) {
      CParamEntry e;
      defs.Lookup(n, &e);
      const CParamFormat& f = e.GetFormat();
      m_Records.push_back({std::to_string(n),
                           {e.GetName(), f.GetCode(), std::to_string(f.GetMin()),
                            std::to_string(f.GetMax()), kGoodValues[n]}});
    }
  }

  Record& At(const std::string& key) {
    for (Record& r : m_Records) {
      if (r.key == key) return r;
    }
    ADD_FAILURE() << "no record " << key;
    return m_Records.front();
  }
  Payload& SetField(int parm, int field, std::string text) {
    At(std::to_string(parm)).fields.at(field - 1) = std::move(text);
    return *this;
  }
  Payload& Remove(const std::string& key) {
    std::erase_if(m_Records, [&key](const Record& r) { return r.key == key; });
    return *this;
  }
  Payload& Add(Record record) {
    m_Records.push_back(std::move(record));
    return *this;
  }
  Payload& AddRaw(std::string text) {
    m_Raw.push_back(std::move(text));
    return *this;
  }

  // The records joined by FS, the last one too; raw texts go last.
  std::string Text() const {
    std::string text;
    for (const Record& r : m_Records) text += r.Text() + kParamRecordSeparator;
    for (const std::string& raw : m_Raw) text += raw + kParamRecordSeparator;
    return text;
  }

 private:
  std::vector<Record> m_Records;
  std::vector<std::string> m_Raw;
};

TEST(ParamParserTest, GoodPayloadYieldsEveryParameterUnderItsOwnName) {
  Payload payload;
  payload.SetField(kParmPartnerName, 1, "SOME OTHER NAME");  // names are not compared
  payload.AddRaw("NOTARECORD").AddRaw("");                  // no '=': ignored

  CParamParser parser;
  CParamMap params;
  ASSERT_TRUE(parser.Parse(payload.Text(), Definitions(), params)) << parser.GetLastError();
  EXPECT_EQ(parser.GetChallengeEcho(), kEcho);
  EXPECT_EQ(parser.GetServiceError(), "");
  EXPECT_EQ(parser.GetLastError(), "");

  const CParamMap defs = Definitions();
  ASSERT_EQ(params.GetCount(), LAST_PARM + 1);
  for (int n = FIRST_PARM; n <= LAST_PARM; ++n) {
    SCOPED_TRACE(n);
    CParamEntry got, def;
    ASSERT_TRUE(params.Lookup(n, &got));
    ASSERT_TRUE(defs.Lookup(n, &def));
    EXPECT_EQ(got.GetName(), def.GetName());
    EXPECT_EQ(got.GetFormat().GetCode(), def.GetFormat().GetCode());
    EXPECT_EQ(got.GetFormat().GetMin(), def.GetFormat().GetMin());
    EXPECT_EQ(got.GetFormat().GetMax(), def.GetFormat().GetMax());
  }
  EXPECT_EQ(params.GetParamValue(kParmCorvPassword), "pass word,1");

  // The saved form carries each value in its own place.
  CParamSettings settings;
  settings.SetParams(params);
  EXPECT_EQ(settings.Serialize(),
            "1;21;412345;1234567890123456;3;1;Y;Y;pass word,1;N;Y;Y;2;3;9,;18005550100;15;1;1;"
            "Acme Partner;4;AB12;1,2,3,4;");
}

TEST(ParamParserTest, ChallengeEchoIsHandedOutAsSent) {
  struct Case {
    const char* echoRecord;  // nullptr: no "500" record
    const char* echo;
    bool matchesExpected;
  };
  const Case cases[] = {
      {"500=CC|x|x|x|9F3A00C1D2E3F40516273849ABCDEF01", kEcho, true},
      // Lower case is not normalised, so it cannot match the expected upper-case echo.
      {"500=CC|x|x|x|9f3a00c1d2e3f40516273849abcdef01", "9f3a00c1d2e3f40516273849abcdef01", false},
      {"500=CC|x|x|x|9F3A00C1D2E3F40516273849ABCDEF02", "9F3A00C1D2E3F40516273849ABCDEF02", false},
      {"500=CC|x", "", false},  // no field 5: removed, empty echo
      {nullptr, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.echoRecord ? c.echoRecord : "(none)");
    Payload payload;
    payload.Remove("500");
    if (c.echoRecord) payload.AddRaw(c.echoRecord);
    CParamParser parser;
    CParamMap params;
    EXPECT_TRUE(parser.Parse(payload.Text(), Definitions(), params)) << parser.GetLastError();
    EXPECT_EQ(parser.GetChallengeEcho(), c.echo);
    EXPECT_EQ(parser.GetChallengeEcho() == kEcho, c.matchesExpected);
  }

  // The echo is there for the caller's check even when the parse fails afterwards.
  Payload broken;
  broken.Remove("21");
  CParamParser parser;
  CParamMap params;
  EXPECT_FALSE(parser.Parse(broken.Text(), Definitions(), params));
  EXPECT_EQ(parser.GetChallengeEcho(), kEcho);
}

TEST(ParamParserTest, ServiceErrorRefusesTheDownload) {
  Payload payload;
  payload.AddRaw("510=E|x|x|x|Device not registered");
  CParamParser parser;
  CParamMap params;
  EXPECT_FALSE(parser.Parse(payload.Text(), Definitions(), params));
  EXPECT_EQ(parser.GetServiceError(), "Device not registered");
  EXPECT_EQ(parser.GetLastError(), "");
  EXPECT_EQ(params.GetCount(), 0);
  EXPECT_EQ(parser.GetChallengeEcho(), kEcho);

  // A "510" record without an error text is dropped and the parse goes on.
  Payload quiet;
  quiet.AddRaw("510=E|x");
  EXPECT_TRUE(parser.Parse(quiet.Text(), Definitions(), params)) << parser.GetLastError();
  EXPECT_EQ(parser.GetServiceError(), "");
  EXPECT_EQ(params.GetCount(), LAST_PARM + 1);
}

// One fault per payload, and the text that names it.
TEST(ParamParserTest, EachFaultIsRefusedWithItsText) {
  struct Case {
    const char* what;
    std::function<void(Payload&)> fault;
    const char* error;
  };
  const Case cases[] = {
      {"21 records", [](Payload& p) { p.Remove("21"); }, "Expected 22 Parms Got 21"},
      {"23 records", [](Payload& p) { p.Add({"22", {"EXTRA", "AN2", "0", "5", "a"}}); },
       "Expected 22 Parms Got 23"},
      {"parameter 22", [](Payload& p) { p.At("21").key = "22"; }, "Parm#: 22 is out of bounds."},
      {"key -1", [](Payload& p) { p.At("1").key = "-1"; }, "Parm#: -1 is out of bounds."},
      {"key 022", [](Payload& p) { p.At("21").key = "022"; }, "Parm#: 22 is out of bounds."},
      {"empty 500 record counts as one",
       [](Payload& p) { p.Remove("500").Remove("21").AddRaw("500="); },
       "Parm#: 500 is out of bounds."},
      // Two keys for one number: 22 records, but parameter 21 has none.
      {"02 beside 2 among 22", [](Payload& p) { p.Remove("21").Add(Record(p.At("2"))).At("2").key = "02"; },
       "Expected 22 Parms Got 21"},
      {"02 beside 2 among 23", [](Payload& p) { p.Add(Record(p.At("2"))).At("2").key = "02"; },
       "Expected 22 Parms Got 23"},
      {"empty key beside 0", [](Payload& p) { p.Remove("21").Add(Record(p.At("0"))).At("0").key = ""; },
       "Expected 22 Parms Got 21"},
      {"key 1 and key 1 with a blank", [](Payload& p) { p.Remove("21").Add(Record(p.At("1"))).At("1").key = "1 "; },
       "Expected 22 Parms Got 21"},
      // A repeated key is one record: 21 distinct keys stay.
      {"repeated key among 22", [](Payload& p) { p.Remove("21").Add(Record(p.At("3"))); },
       "Expected 22 Parms Got 21"},
      {"wrong format code", [](Payload& p) { p.SetField(5, 2, "NS1"); },
       "Parm#: 5 [DUPLICATE CHECK] Receive Data Type: [NS1] is incorrect expecting: [YN1]."},
      {"format code in lower case", [](Payload& p) { p.SetField(20, 2, "an1"); },
       "Parm#: 20 [LANE SPECIAL] Receive Data Type: [an1] is incorrect expecting: [AN1]."},
      {"wrong minimum length", [](Payload& p) { p.SetField(1, 3, "5"); },
       "Parm#: 1 MinLen 5 is incorrect [6]."},
      {"wrong maximum length", [](Payload& p) { p.SetField(21, 4, "299"); },
       "Parm#: 21 MaxLen 299 is incorrect [300]."},
      {"value too short", [](Payload& p) { p.SetField(1, 5, "41234"); },
       "Parm#: 1 failed to Validate (1) [ASSIGNED BIN|NS1|6|6|41234]"},
      {"value not Y or N", [](Payload& p) { p.SetField(9, 5, "y"); },
       "Parm#: 9 failed to Validate (1) [VERIFY SSL CERTIFICATE|YN1|0|0|y]"},
      {"value with a '|'", [](Payload& p) { p.SetField(7, 5, "ab|cd"); },
       "Parm#: 7 failed to Validate (1) [CORV CLIENT/SERVER PASSWORD|AN2|0|12|ab|cd]"},
      {"value field missing", [](Payload& p) { p.At("7").fields.pop_back(); },
       "Parm#: 7 failed to Validate (1) [CORV CLIENT/SERVER PASSWORD|AN2|0|12]"},
      {"merchant category 5", [](Payload& p) { p.SetField(3, 5, "5"); },
       "Parm#: 3 failed to Validate (2) [MERCHANT CATEGORY|NS1|1|2|5]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Payload payload;
    c.fault(payload);
    CParamParser parser;
    CParamMap params;
    params.SetAt(99, CParamEntry());  // must be emptied
    EXPECT_FALSE(parser.Parse(payload.Text(), Definitions(), params));
    EXPECT_EQ(parser.GetLastError(), c.error);
    EXPECT_EQ(parser.GetServiceError(), "");
    EXPECT_EQ(params.GetCount(), 0);
  }
}

// Keys are numbers as atoi reads them, and a later record with a key already seen
// replaces the earlier one.
TEST(ParamParserTest, KeysAreReadAsNumbersAndALaterRecordReplacesAnEarlierOne) {
  struct Case {
    const char* what;
    std::function<void(Payload&)> change;
    int parm;           // the parameter to look at
    const char* value;  // its value after the parse
    const char* echo;   // the challenge echo after the parse
  };
  const Case cases[] = {
      {"key 01", [](Payload& p) { p.At("1").key = "01"; }, 1, "412345", kEcho},
      {"key 02", [](Payload& p) { p.At("2").key = "02"; }, 2, "1234567890123456", kEcho},
      {"key +1", [](Payload& p) { p.At("1").key = "+1"; }, 1, "412345", kEcho},
      {"key with a blank after it", [](Payload& p) { p.At("1").key = "1 "; }, 1, "412345", kEcho},
      {"key with a blank before it", [](Payload& p) { p.At("1").key = " 1"; }, 1, "412345", kEcho},
      {"empty key is parameter 0", [](Payload& p) { p.At("0").key = ""; }, 0, "21", kEcho},
      {"repeated key, later value kept",
       [](Payload& p) {
         Record later = p.At("18");
         later.fields.at(4) = "Later Partner";
         p.Add(later);
       },
       kParmPartnerName, "Later Partner", kEcho},
      {"repeated key among 23 records",
       [](Payload& p) {
         Record later = p.At("5");
         later.fields.at(4) = "N";
         p.Add(later);
       },
       5, "N", kEcho},
      {"repeated 02, later value kept",
       [](Payload& p) {
         p.At("2").key = "02";
         Record later = p.At("02");
         later.fields.at(4) = "6543210987654321";
         p.Add(later);
       },
       2, "6543210987654321", kEcho},
      {"repeated echo record, later one read", [](Payload& p) { p.AddRaw("500=CC|x|x|x|00"); },
       1, "412345", "00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Payload payload;
    c.change(payload);
    CParamParser parser;
    CParamMap params;
    ASSERT_TRUE(parser.Parse(payload.Text(), Definitions(), params)) << parser.GetLastError();
    EXPECT_EQ(params.GetCount(), LAST_PARM + 1);
    EXPECT_EQ(params.GetParamValue(c.parm), c.value);
    EXPECT_EQ(parser.GetChallengeEcho(), c.echo);
    CParamEntry entry, held;
    ASSERT_TRUE(params.Lookup(c.parm, &entry));
    ASSERT_TRUE(Definitions().Lookup(c.parm, &held));
    EXPECT_EQ(entry.GetName(), held.GetName());
  }
}

TEST(ParamParserTest, FormatAndLengthsAreComparedWithTheHeldDefinitions) {
  // The held definitions, not the table of defaults, decide: a store whose
  // "DIAL PREFIX" allows 30 characters refuses a record that says 24.
  CParamMap defs = Definitions();
  CParamEntry prefix;
  ASSERT_TRUE(defs.Lookup(kParmDialPrefix, &prefix));
  defs.SetAt(kParmDialPrefix,
             CParamEntry(CParamFormat("AN2", 0, 30), prefix.GetName(), prefix.GetValue()));

  CParamParser parser;
  CParamMap params;
  EXPECT_FALSE(parser.Parse(Payload().Text(), defs, params));
  EXPECT_EQ(parser.GetLastError(), "Parm#: 13 MaxLen 24 is incorrect [30].");

  // Lengths are read as numbers, so "06" is the same minimum as 6.
  EXPECT_TRUE(parser.Parse(Payload().SetField(1, 3, "06").Text(), Definitions(), params))
      << parser.GetLastError();
  EXPECT_EQ(parser.GetLastError(), "");  // cleared by the new parse
}

TEST(ParamParserTest, WithoutHeldParametersEveryRecordIsOutOfBounds) {
  // The one-argument form reads g_ParamStore, which holds nothing before the start-up
  // load.
  CParamParser parser;
  CParamMap params;
  EXPECT_FALSE(parser.Parse(Payload().Text(), params));
  EXPECT_EQ(parser.GetLastError(), "Parm#: 0 is out of bounds.");
}

}  // namespace
