#include "core/params/param_store.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "platform/fs/files.h"
#include "platform/fs/profile.h"

namespace {

const std::string kDefaultText =
    std::string("1;21;000000;0;0;0;0;N;;N;Y;N;0;1;;") + kDefaultAuthorizationPhone + ";3;0;0; ;1;00;0;";

CParamSettings Defaults() {
  CParamSettings s;
  s.ResetToDefaults();
  return s;
}

// The defaults with some values changed through the entries' own validation.
CParamSettings Configured(const std::string& merchantId) {
  CParamSettings s = Defaults();
  CParamMap m = s.GetParams();
  EXPECT_TRUE(m.SetParamValue(kParmMerchantTerminalId, merchantId));
  EXPECT_TRUE(m.SetParamValue(kParmDuplicateCheck, "Y"));
  EXPECT_TRUE(m.SetParamValue(kParmLaneIds, "1,2"));
  s.SetParams(m);
  return s;
}

// The defaults with one entry set as given, unvalidated.
CParamSettings WithRawValue(int n, const std::string& value) {
  CParamSettings s = Defaults();
  CParamMap m = s.GetParams();
  CParamEntry e;
  EXPECT_TRUE(m.Lookup(n, &e));
  m.SetAt(n, CParamEntry(e.GetFormat(), e.GetName(), value));
  s.SetParams(m);
  return s;
}

struct ShownMessage {
  std::string text;
  bool log, silent;
  int timeoutMs;
};
std::vector<ShownMessage> g_Shown;
void RecordMessage(const std::string& text, bool log, bool silent, int timeoutMs) {
  g_Shown.push_back({text, log, silent, timeoutMs});
}

// A private profile and logger under a temporary folder, and a store on them. Restart
// builds a new store (and profile object) on the same file, as the next process would.
class ParamStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_params_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_TRUE(platform::fs::CreateFolder(dir_ + "/logs"));
    logger_ = std::make_unique<CLogger>(dir_ + "/logs", nullptr);
    Restart();
    g_Shown.clear();
  }
  void TearDown() override {
    store_.reset();
    logger_.reset();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  std::string ProfileFolder() const { return dir_ + "/home"; }
  void Restart() {
    store_.reset();
    profile_ = std::make_unique<platform::fs::Profile>(ProfileFolder() + "/profile");
    store_ = std::make_unique<CParamStore>(profile_.get(), logger_.get());
  }
  // Everything logged so far, with the file's CR LF turned back into LF.
  std::string LogText() {
    EXPECT_TRUE(logger_->Flush(5000));
    std::string all;
    for (const auto& f : std::filesystem::directory_iterator(dir_ + "/logs")) {
      std::string bytes;
      EXPECT_TRUE(platform::fs::ReadFile(f.path().string(), &bytes));
      all += platform::fs::FromTextMode(bytes);
    }
    return all;
  }

  std::string dir_;
  std::unique_ptr<CLogger> logger_;
  std::unique_ptr<platform::fs::Profile> profile_;
  std::unique_ptr<CParamStore> store_;
};

TEST_F(ParamStoreTest, FirstStartSavesAndLogsTheDefaultsAndIsNotConfigured) {
  EXPECT_EQ(store_->GetSavedText(), "");
  EXPECT_TRUE(store_->LoadAtStartup());
  const CParamSettings current = store_->GetSettings();
  EXPECT_TRUE(current.GetParams().IsEqual(Defaults().GetParams()));
  EXPECT_EQ(store_->GetSavedText(), kDefaultText);
  EXPECT_EQ(store_->GetSavedText().size(), 61u);
  EXPECT_EQ(store_->GetLastError().GetCode(), 0);

  // The dump is one record, verbatim.
  EXPECT_NE(LogText().find("]" + Defaults().Dump() + "\n----------\n"), std::string::npos) << LogText();

  EXPECT_FALSE(CheckConfiguration(*store_, true, RecordMessage));
  ASSERT_EQ(g_Shown.size(), 1u);
  EXPECT_EQ(g_Shown[0].text, "Configuration not Set! - Use Setup | Merchant Parameters");
  EXPECT_TRUE(g_Shown[0].log);
  EXPECT_TRUE(g_Shown[0].silent);
  EXPECT_EQ(g_Shown[0].timeoutMs, 0);
}

TEST_F(ParamStoreTest, ReplacedSettingsAreCurrentAndSurviveARestart) {
  ASSERT_TRUE(store_->LoadAtStartup());
  const CParamSettings before = store_->GetSettings();
  const CParamSettings configured = Configured("4012");
  ASSERT_TRUE(store_->Replace(configured));

  EXPECT_TRUE(store_->GetSettings().GetParams().IsEqual(configured.GetParams()));
  EXPECT_EQ(store_->GetSavedText(), configured.Serialize());
  EXPECT_TRUE(before.GetParams().IsEqual(Defaults().GetParams()));  // an old copy stays as it was
  EXPECT_TRUE(CheckConfiguration(*store_, false, RecordMessage));
  EXPECT_TRUE(g_Shown.empty());

  Restart();
  ASSERT_TRUE(store_->LoadAtStartup());
  const CParamMap reloaded = store_->GetSettings().GetParams();
  EXPECT_TRUE(reloaded.IsEqual(configured.GetParams()));
  EXPECT_EQ(reloaded.GetParamValue(kParmMerchantTerminalId), "4012");
  EXPECT_EQ(store_->GetSavedText(), configured.Serialize());
  EXPECT_TRUE(CheckConfiguration(*store_, false, RecordMessage));
}

TEST_F(ParamStoreTest, SavedFormsUpTo500CharactersAreAcceptedAndLongerOnesRefused) {
  ASSERT_TRUE(store_->LoadAtStartup());
  // With LANE IDS at 300 characters the saved form is 360; PARTNER NAME (one blank
  // by default) brings it to the length wanted.
  const CParamSettings laneIds = WithRawValue(kParmLaneIds, std::string(300, '7'));
  ASSERT_EQ(laneIds.Serialize().size(), 360u);
  ASSERT_TRUE(store_->Replace(laneIds));

  auto ofLength = [&](size_t length) {
    CParamSettings s = laneIds;
    CParamMap m = s.GetParams();
    CParamEntry e;
    EXPECT_TRUE(m.Lookup(kParmPartnerName, &e));
    m.SetAt(kParmPartnerName, CParamEntry(e.GetFormat(), e.GetName(), std::string(length - 359, 'p')));
    s.SetParams(m);
    EXPECT_EQ(s.Serialize().size(), length);
    return s;
  };
  const CParamSettings at500 = ofLength(500);
  ASSERT_TRUE(store_->Replace(at500));
  EXPECT_EQ(store_->GetSavedText(), at500.Serialize());

  EXPECT_FALSE(store_->Replace(ofLength(501)));
  EXPECT_EQ(store_->GetLastError().GetCode(), 10002);
  EXPECT_EQ(store_->GetLastError().GetText(), "Param Settings would overflow");
  EXPECT_TRUE(store_->GetSettings().GetParams().IsEqual(at500.GetParams()));
  EXPECT_EQ(store_->GetSavedText(), at500.Serialize());
}

TEST_F(ParamStoreTest, ValuesThatWouldShiftTheSavedFieldsAreRefused) {
  ASSERT_TRUE(store_->LoadAtStartup());
  const CParamSettings configured = Configured("55");
  ASSERT_TRUE(store_->Replace(configured));

  ASSERT_FALSE(store_->Replace(WithRawValue(kParmCorvPassword, "pa;ss")));
  EXPECT_EQ(store_->GetLastError().GetCode(), kStoreErrorSemicolon);
  EXPECT_EQ(store_->GetLastError().GetText(), "Param Settings value contains ';'");
  EXPECT_TRUE(store_->GetSettings().GetParams().IsEqual(configured.GetParams()));
  EXPECT_EQ(store_->GetSavedText(), configured.Serialize());
  const std::string log = LogText();
  EXPECT_NE(log.find("Param Settings not saved: the value of parameter 7 (CORV CLIENT/SERVER PASSWORD) contains ';'"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("pa;ss"), std::string::npos);  // the password stays out of the log

  CParamSettings lacking = configured;
  CParamMap m = lacking.GetParams();
  ASSERT_TRUE(m.RemoveKey(kParmDuplicateCheck));
  lacking.SetParams(m);
  EXPECT_FALSE(store_->Replace(lacking));
  EXPECT_EQ(store_->GetLastError().GetCode(), kStoreErrorIncomplete);
  EXPECT_TRUE(store_->GetSettings().GetParams().IsEqual(configured.GetParams()));
  EXPECT_EQ(store_->GetSavedText(), configured.Serialize());
  EXPECT_NE(LogText().find("Param Settings not saved: parameter 5 is missing"), std::string::npos);
}

TEST_F(ParamStoreTest, AFailedWriteKeepsTheCurrentAndTheSavedSettings) {
  ASSERT_TRUE(store_->LoadAtStartup());
  const CParamSettings configured = Configured("777");
  ASSERT_TRUE(store_->Replace(configured));

  // Move the profile's folder aside and put a regular file in its place: no write can
  // reach the profile now, whoever runs the test.
  const std::string aside = dir_ + "/home.aside";
  ASSERT_EQ(std::rename(ProfileFolder().c_str(), aside.c_str()), 0);
  ASSERT_TRUE(platform::fs::ReplaceFile(ProfileFolder(), "in the way"));

  EXPECT_FALSE(store_->Replace(Configured("888")));
  EXPECT_EQ(store_->GetLastError().GetCode(), kStoreErrorWriteFailed);
  EXPECT_EQ(store_->GetLastError().GetText(), "Param Settings could not be saved");
  EXPECT_EQ(store_->GetSettings().GetParams().GetParamValue(kParmMerchantTerminalId), "777");
  EXPECT_FALSE(store_->ResetLocked());
  EXPECT_EQ(store_->GetSettings().GetParams().GetParamValue(kParmMerchantTerminalId), "777");
  EXPECT_NE(LogText().find("Param Settings could not be saved to \"" + ProfileFolder() + "/profile\""),
            std::string::npos);

  // Put the folder back: the next start finds the settings of the last good save.
  ASSERT_TRUE(platform::fs::RemoveFile(ProfileFolder()));
  ASSERT_EQ(std::rename(aside.c_str(), ProfileFolder().c_str()), 0);
  Restart();
  ASSERT_TRUE(store_->LoadAtStartup());
  EXPECT_TRUE(store_->GetSettings().GetParams().IsEqual(configured.GetParams()));
  EXPECT_EQ(store_->GetSavedText(), configured.Serialize());
}

TEST_F(ParamStoreTest, StartupLoadOfSavedTexts) {
  struct Case {
    const char* what;
    std::string saved;
    std::string bin;         // ASSIGNED BIN once loaded
    std::string merchantId;  // MERCHANT/TERMINAL ID once loaded
    std::string savedAfter;  // the saved text after the load
  };
  const std::string tail = std::string(";0;0;0;N;;N;Y;N;0;1;;") + kDefaultAuthorizationPhone + ";3;0;0; ;1;00;0;";
  const std::vector<Case> cases = {
      {"other version", "2;21;123456;99" + tail, "000000", "0", kDefaultText},
      {"empty text", "", "000000", "0", kDefaultText},
      {"rejected value", "1;21;12;99" + tail, "000000", "99", "1;21;12;99" + tail},
      {"short text", "1;21;123456;42;", "123456", "42", "1;21;123456;42;"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(profile_->WriteString(kParamProfileSection, kParamProfileEntry, c.saved)) << c.what;
    Restart();
    ASSERT_TRUE(store_->LoadAtStartup()) << c.what;
    const CParamMap m = store_->GetSettings().GetParams();
    EXPECT_EQ(m.GetCount(), 22) << c.what;
    EXPECT_EQ(m.GetParamValue(kParmMerchantTerminalId), c.merchantId) << c.what;
    EXPECT_EQ(m.GetParamValue(kParmAssignedBin), c.bin) << c.what;
    EXPECT_EQ(store_->GetSavedText(), c.savedAfter) << c.what;
  }
}

TEST_F(ParamStoreTest, ResetLockedBringsBackTheDefaults) {
  ASSERT_TRUE(store_->LoadAtStartup());
  ASSERT_TRUE(store_->Replace(Configured("31")));
  ASSERT_TRUE(store_->ResetLocked());
  EXPECT_TRUE(store_->GetSettings().GetParams().IsEqual(Defaults().GetParams()));
  EXPECT_EQ(store_->GetSavedText(), kDefaultText);
  EXPECT_FALSE(CheckConfiguration(*store_, false, RecordMessage));
  ASSERT_EQ(g_Shown.size(), 1u);
  EXPECT_FALSE(g_Shown[0].silent);
}

TEST_F(ParamStoreTest, ReadersSeeOneWholeSettingsOrTheOther) {
  ASSERT_TRUE(store_->LoadAtStartup());
  const CParamSettings a = Configured("1111");
  const CParamSettings b = Configured("2222");
  ASSERT_TRUE(store_->Replace(a));
  std::atomic<bool> stop{false};
  std::atomic<int> mixed{0};
  std::thread reader([&] {
    while (!stop.load()) {
      const CParamMap m = store_->GetSettings().GetParams();
      if (!m.IsEqual(a.GetParams()) && !m.IsEqual(b.GetParams())) ++mixed;
    }
  });
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(store_->Replace(i % 2 == 0 ? b : a));
  stop = true;
  reader.join();
  EXPECT_EQ(mixed.load(), 0);
}

TEST_F(ParamStoreTest, CheckConfigurationTellsDefaultsFromReceivedSettings) {
  // A format that differs from the default one counts as received, like a value.
  CParamSettings otherFormat = Defaults();
  CParamMap m = otherFormat.GetParams();
  m.SetAt(kParmLaneIds, CParamEntry(CParamFormat("AN2", 1, 200), "LANE IDS", "0"));
  otherFormat.SetParams(m);
  struct Case {
    const char* what;
    CParamSettings settings;
    bool silent;
    bool configured;
  };
  const std::vector<Case> cases = {
      {"defaults, silent", Defaults(), true, false},
      {"defaults, shown", Defaults(), false, false},
      {"one value changed", Configured("9"), false, true},
      {"one format changed", otherFormat, false, true},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(store_->Replace(c.settings)) << c.what;
    g_Shown.clear();
    EXPECT_EQ(CheckConfiguration(*store_, c.silent, RecordMessage), c.configured) << c.what;
    if (c.configured) {
      EXPECT_TRUE(g_Shown.empty()) << c.what;
    } else {
      ASSERT_EQ(g_Shown.size(), 1u) << c.what;
      EXPECT_EQ(g_Shown[0].text, "Configuration not Set! - Use Setup | Merchant Parameters");
      EXPECT_TRUE(g_Shown[0].log);
      EXPECT_EQ(g_Shown[0].silent, c.silent) << c.what;
      EXPECT_EQ(g_Shown[0].timeoutMs, 0);
    }
  }
}

// The process's store lives in the process's profile: $KVR_HOME when set.
TEST(ProcessParamStoreTest, UsesTheProfileUnderKvrHome) {
  char tmpl[] = "/tmp/kvr_home_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string home = tmpl;
  setenv("KVR_HOME", home.c_str(), 1);  // read once, by this first use of the process's profile
  ASSERT_EQ(platform::fs::ProcessProfile().Path(), home + "/profile");
  EXPECT_TRUE(g_ParamStore.LoadAtStartup());
  EXPECT_EQ(platform::fs::Profile(home + "/profile").GetString(kParamProfileSection, kParamProfileEntry),
            kDefaultText);
  unsetenv("KVR_HOME");
  std::system(("rm -rf '" + home + "'").c_str());
}

}  // namespace
