#include "app/pipe/pipe_commands.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string kCommand = std::string("COMMAND") + '\x1E';
const std::string kError = std::string("ERROR") + '\x1E';

// Answers from fixed values and records what it was asked.
class FakeSource : public CPipeCommandSource {
 public:
  std::string MainWindowText() override { return caption; }
  std::vector<std::string> TrafficLines() override { return lines; }
  SettingsFormResult SaveSettingsForm(const std::string& path) override {
    saved_paths.push_back(path);
    return form_result;
  }
  std::string CommonDocumentsFolder() override { return folder; }
  std::string NewGuidText() override { return guid; }

  std::string caption = "  Corvane (Elavon Host)  Req-> 0 Socks-> 0  10:11:12";
  std::vector<std::string> lines;
  SettingsFormResult form_result = SettingsFormResult::kSaved;
  std::string folder = "/srv/public";
  std::string guid = "0f8fad5b-d9cb-469f-a165-70867728950e";
  std::vector<std::string> saved_paths;
};

TEST(PipeCommandsTest, CommandsAreComparedExactly) {
  FakeSource source;
  source.lines = {"[12/10/26 09:00:02] Auth Response Received (IP) from Elavon.",
                  "[12/10/26 09:00:01] Sending Auth Request (IP) to Elavon."};
  struct Case {
    std::string request;
    std::string reply;
  } cases[] = {
      {kCommand + "APP NAME", "Corvane 5.06 for Elavon"},
      {kCommand + "APP CAPTION", source.caption},
      {kCommand + "APP VIEW", source.lines[0] + '\x1F' + source.lines[1]},
      {kCommand + "app name", ""},
      {kCommand + "APP NAME ", ""},
      {kCommand + " APP NAME", ""},
      {"APP NAME", ""},
      {"COMMAND APP NAME", ""},
      {"command" + std::string(1, '\x1E') + "APP NAME", ""},
      {kCommand, ""},
      {"", ""},
      {kCommand + "APP NAMES", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(BuildPipeReply(source, c.request), c.reply) << c.request;
  EXPECT_TRUE(source.saved_paths.empty());
}

TEST(PipeCommandsTest, RepliesAreCutTo4095Characters) {
  FakeSource source;
  source.caption = std::string(5000, 'c');
  EXPECT_EQ(BuildPipeReply(source, kCommand + "APP CAPTION"), std::string(4095, 'c'));
  source.caption = std::string(4095, 'c');
  EXPECT_EQ(BuildPipeReply(source, kCommand + "APP CAPTION").size(), 4095u);
}

TEST(PipeCommandsTest, TrafficLinesPackWholeLinesOnly) {
  const std::string a2000(2000, 'a');
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    std::string packed;
  } cases[] = {
      {"no lines", {}, ""},
      {"two", {"one", "two"}, "one\x1Ftwo"},
      {"one line of 4095", {std::string(4095, 'x')}, std::string(4095, 'x')},
      {"one line of 4096", {std::string(4096, 'x')}, ""},
      {"4095 in all", {a2000, std::string(2094, 'b')}, a2000 + '\x1F' + std::string(2094, 'b')},
      {"4096 in all", {a2000, std::string(2095, 'b'), "c"}, a2000},
      {"separator reaches 4096", {std::string(4095, 'x'), "y"}, std::string(4095, 'x')},
      {"next line reaches 4096", {std::string(4094, 'x'), "y"}, std::string(4094, 'x')},
      {"three short after a long one", {std::string(4090, 'x'), "1", "2", "3"}, std::string(4090, 'x') + "\x1F" "1\x1F" "2"},
  };
  for (const Case& c : cases) {
    const std::string packed = PackTrafficLines(c.lines);
    EXPECT_EQ(packed, c.packed) << c.what;
    EXPECT_LE(packed.size(), 4095u) << c.what;
  }
}

TEST(PipeCommandsTest, SettingsFormRepliesThePathOrTheFailingStep) {
  const std::string path = "/srv/public/0f8fad5b-d9cb-469f-a165-70867728950e.tmp";
  struct Case {
    SettingsFormResult result;
    std::string reply;
  } cases[] = {
      {SettingsFormResult::kSaved, path},
      {SettingsFormResult::kNoDialog, kError + "Failed to create dialog window."},
      {SettingsFormResult::kNotFlattened, kError + "Failed to prepare dialog for conversion to BMP file."},
      {SettingsFormResult::kNotCaptured, kError + "Failed to create BMP file: \"" + path + "\""},
  };
  for (const Case& c : cases) {
    FakeSource source;
    source.form_result = c.result;
    EXPECT_EQ(BuildPipeReply(source, kCommand + "APP SETTINGS FORM"), c.reply);
    EXPECT_EQ(source.saved_paths, std::vector<std::string>{path});
  }

  FakeSource slash;
  slash.folder = "/srv/public/";
  EXPECT_EQ(BuildPipeReply(slash, kCommand + "APP SETTINGS FORM"), path);

  FakeSource no_folder;
  no_folder.folder.clear();
  EXPECT_EQ(BuildPipeReply(no_folder, kCommand + "APP SETTINGS FORM"),
            kError + "Cannot determine common documents folder for BMP file.");
  EXPECT_TRUE(no_folder.saved_paths.empty());

  FakeSource no_guid;
  no_guid.guid.clear();
  EXPECT_EQ(BuildPipeReply(no_guid, kCommand + "APP SETTINGS FORM"),
            kError + "Failed to create BMP file: \"/srv/public/.tmp\"");
  EXPECT_TRUE(no_guid.saved_paths.empty());
}

TEST(PipeCommandsTest, DefaultFoldersAndGuids) {
  FakeSource fake;
  CPipeCommandSource& source = fake;
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(source.CPipeCommandSource::LogFolder(), std::string(cwd) + "/QUILLON_LOGS");
  EXPECT_EQ(BuildPipeReply(source, kCommand + "APP LOG LOCATION"), std::string(cwd) + "/QUILLON_LOGS");

  ::setenv("XDG_PUBLICSHARE_DIR", "/srv/shared docs", 1);
  EXPECT_EQ(source.CPipeCommandSource::CommonDocumentsFolder(), "/srv/shared docs");
  ::unsetenv("XDG_PUBLICSHARE_DIR");

  const std::string guid = source.CPipeCommandSource::NewGuidText();
  ASSERT_EQ(guid.size(), 36u);
  for (size_t i = 0; i < guid.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    EXPECT_TRUE(dash ? guid[i] == '-' : std::strchr("0123456789abcdef", guid[i]) != nullptr) << guid;
  }
  EXPECT_NE(source.CPipeCommandSource::NewGuidText(), guid);
}

TEST(PipeCommandsTest, CallbackWritesATextIntoTheBuffer) {
  FakeSource source;
  char reply[4096];
  const std::string request = kCommand + "APP NAME";

  std::memset(reply, 'z', sizeof reply);
  OnPipeCommand(&source, request.c_str(), reply, sizeof reply);
  EXPECT_STREQ(reply, "Corvane 5.06 for Elavon");

  std::memset(reply, 'z', sizeof reply);
  OnPipeCommand(&source, request.c_str(), reply, 8);
  EXPECT_STREQ(reply, "Corvane");  // cut to the buffer, NUL included

  std::memset(reply, 'z', sizeof reply);
  OnPipeCommand(nullptr, request.c_str(), reply, sizeof reply);
  EXPECT_STREQ(reply, "");

  reply[0] = 'z';
  OnPipeCommand(&source, nullptr, reply, sizeof reply);
  EXPECT_EQ(reply[0], 'z');  // nothing to answer
  OnPipeCommand(&source, request.c_str(), nullptr, sizeof reply);
}

}  // namespace
