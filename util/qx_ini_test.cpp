#include "util/qx_ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/qx_test_env.h"

namespace {

using qx_test::ScratchFolder;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Joined(const std::vector<std::string>& lines, const std::string& end) {
  std::string out;
  for (const std::string& line : lines) out += line + end;
  return out;
}

template <typename F>
std::string ThrownBy(F f) {
  try {
    f();
  } catch (const qxException& e) {
    return e.GetMessage().str();
  }
  return "(nothing thrown)";
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs Texts(const std::vector<qxStringPair>& pairs) {
  Pairs out;
  for (const qxStringPair& p : pairs) out.emplace_back(p.first.str(), p.second.str());
  return out;
}

const std::vector<std::string> kSample = {
    "; settings",
    "[Main] ; the main section",
    "PortName=COM1",
    "  Port = 9000",
    "Name=first",
    "Name=second",
    "Empty=",
    "JustText",
    "# comment",
    "Path=[Other]",
    "Key=wrong",
    "Text=\"first line",
    "; comment line",
    "",
    "second /* note */line\" trailing",
    "[Other]",
    "Key=other",
    "[]",
    "[Broken]",
    "Before=1",
    "Open=\"never closed",
    "After=2",
};

class QxIniTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  std::string Path(const char* name = "settings.ini") const { return dir_ / name; }
  qxIniFile Ini(const char* name = "settings.ini") const { return qxIniFile(qxString(Path(name))); }
  ScratchFolder dir_;
};

// The same file with CR LF and with LF line ends reads the same, apart from the
// line end kept inside a value of several lines.
TEST_F(QxIniTest, ReadsCrLfAndLfFiles) {
  for (const std::string end : {"\r\n", "\n"}) {
    SCOPED_TRACE(end == "\n" ? "LF" : "CR LF");
    WriteFile(Path(), Joined(kSample, end));
    const qxIniFile ini = Ini();
    auto value = [&](const char* section, const char* key, const char* delimiter = "") {
      return ini.GetValue(qxString(section), qxString(key), qxString("dflt"), qxString(delimiter))
          .str();
    };
    EXPECT_EQ(value("Main", "PortName"), "COM1");
    EXPECT_EQ(value("Main", "Port"), " 9000");  // never PortName's value
    EXPECT_EQ(value("Main", "Name"), "first");
    EXPECT_EQ(value("Main", "Empty"), "dflt");
    EXPECT_EQ(value("Main", "JustText"), "dflt");
    EXPECT_EQ(value("Main", "Missing"), "dflt");
    EXPECT_EQ(value("Main", "Text", "\""), "first line" + end + "second line");
    EXPECT_EQ(value("Other", "Key"), "other");  // not from the line Path=[Other]
    EXPECT_EQ(value("Broken", "Open", "\""), "dflt");
    EXPECT_EQ(value("Broken", "After"), "2");
    EXPECT_EQ(value("Nowhere", "Key"), "dflt");
    EXPECT_EQ(value("main", "Name"), "dflt");  // case-sensitive

    std::vector<qxStringPair> list;
    ini.ReadSection(qxString("Main"), list);
    EXPECT_EQ(Texts(list), (Pairs{{"PortName", "COM1"},
                                  {"Port ", " 9000"},
                                  {"Name", "first"},
                                  {"Name", "second"},
                                  {"Path", "[Other]"},
                                  {"Key", "wrong"},
                                  {"Text", "\"first line"}}));
    qxStringMap map;
    ini.ReadSection(qxString("Main"), map);
    EXPECT_EQ(map.size(), 6u);
    EXPECT_EQ(map[qxString("Name")].str(), "first");
    ini.ReadSection(qxString("Broken"), list, qxString("\""));
    EXPECT_TRUE(list.empty());
    ini.ReadSection(qxString("Broken"), list);
    EXPECT_EQ(Texts(list), (Pairs{{"Before", "1"}, {"Open", "\"never closed"}, {"After", "2"}}));

    std::vector<qxString> names = {qxString("stale")};
    ini.GetSectionNames(names);
    std::vector<std::string> texts;
    for (const qxString& n : names) texts.push_back(n.str());
    EXPECT_EQ(texts, (std::vector<std::string>{"Main", "Other", "Broken"}));
  }
}

TEST_F(QxIniTest, DelimitedValues) {
  WriteFile(Path(), Joined({"[S]", "One=\"single\" rest", "Opened=\"", "a", "b\"",
                            "Comment=/* x */ \"in /* y", "still comment */ out\"",
                            "Plain=no quotes", "Later=\"later\"", "Angle=<<inside<< after"},
                           "\r\n"));
  const qxIniFile ini = Ini();
  auto value = [&](const char* key, const char* delimiter = "\"") {
    return ini.GetValue(qxString("S"), qxString(key), qxString("dflt"), qxString(delimiter)).str();
  };
  EXPECT_EQ(value("One"), "single");
  EXPECT_EQ(value("Opened"), "\r\na\r\nb");  // the opening delimiter ends its line
  EXPECT_EQ(value("Comment"), "in  out");
  // A value without an opening delimiter is none: no later line lends it one.
  EXPECT_EQ(value("Plain"), "dflt");
  EXPECT_EQ(value("Angle", "<<"), "inside");
}

// After a delimited value that runs to the end of the file, the section ends: the
// reading does not start again at the top of the file.
TEST_F(QxIniTest, UnclosedValueEndsTheSection) {
  WriteFile(Path(), "Early=1\n[Last]\nk=\"unterminated\n");
  std::vector<qxStringPair> list;
  Ini().ReadSection(qxString("Last"), list, qxString("\""));
  EXPECT_TRUE(list.empty());
}

TEST_F(QxIniTest, ArgumentChecks) {
  const qxString s("S");
  const qxString k("k");
  EXPECT_EQ(ThrownBy([&] { qxIniFile().GetValue(s, k); }), "Filename cannot be empty.");
  EXPECT_EQ(ThrownBy([&] { Ini().GetValue(qxString(), k); }), "Section name cannot be empty.");
  EXPECT_EQ(ThrownBy([&] { Ini().GetValue(s, qxString()); }), "Key name cannot be empty.");
  EXPECT_EQ(ThrownBy([&] { Ini().GetValue(s, k); }), "Cannot find INI file: (" + Path() + ")");
  std::vector<qxString> names;
  EXPECT_EQ(ThrownBy([&] { Ini().GetSectionNames(names); }),
            "Cannot find INI file: (" + Path() + ")");
  qxStringMap map;
  EXPECT_EQ(ThrownBy([&] { Ini().ReadSection(qxString(), map); }), "Section name cannot be empty.");
  EXPECT_EQ(ThrownBy([&] { Ini().WriteValue(qxString(), k, s); }), "Section name cannot be empty.");
}

TEST_F(QxIniTest, WriteValueRoundTrip) {
  const qxIniFile ini = Ini();
  ini.WriteValue(qxString("S"), qxString("k"), qxString("v"));
  EXPECT_EQ(ReadFile(Path()), "[S]\r\nk=v\r\n");
  ini.WriteValue(qxString("S"), qxString("k"), qxString("changed"));
  ini.WriteValue(qxString("S"), qxString("k2"), qxString(" spaced = text"));
  ini.WriteValue(qxString("T"), qxString("k"), qxString(""));
  EXPECT_EQ(ReadFile(Path()), "[S]\r\nk=changed\r\nk2= spaced = text\r\n[T]\r\nk=\r\n");
  EXPECT_EQ(ini.GetValue(qxString("S"), qxString("k")).str(), "changed");
  EXPECT_EQ(ini.GetValue(qxString("S"), qxString("k2")).str(), " spaced = text");
}

// Writing into a file with LF line ends changes only the line written; every line
// is then ended by CR LF.
TEST_F(QxIniTest, WriteValueIntoAnLfFile) {
  WriteFile(Path(), Joined(kSample, "\n"));
  ASSERT_EQ(chmod(Path().c_str(), 0600), 0);
  const qxIniFile ini = Ini();
  ini.WriteValue(qxString("Main"), qxString("Port"), qxString("9100"));
  std::vector<std::string> expected = kSample;
  expected[3] = "Port=9100";
  EXPECT_EQ(ReadFile(Path()), Joined(expected, "\r\n"));
  // A new key goes after the section's last value line.
  ini.WriteValue(qxString("Other"), qxString("New"), qxString("n"));
  expected.insert(expected.begin() + 17, "New=n");
  EXPECT_EQ(ReadFile(Path()), Joined(expected, "\r\n"));
  EXPECT_EQ(ini.GetValue(qxString("Main"), qxString("Text"), qxString(), qxString("\"")).str(),
            "first line\r\nsecond line");

  struct stat st {};
  ASSERT_EQ(stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the file keeps its permission bits
  // Nothing but the file is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(QxIniTest, WriteSection) {
  WriteFile(Path(), "[A] ; first\r\na=1\r\n; inside\r\nb=2\r\n\r\n; about B\r\n[B]\r\nc=3\r\n");
  const qxIniFile ini = Ini();
  ini.WriteSection(qxString("A"), {{qxString("x"), qxString("9")}, {qxString(), qxString("skip")}});
  EXPECT_EQ(ReadFile(Path()), "[A] ; first\r\nx=9\r\n\r\n; about B\r\n[B]\r\nc=3\r\n");
  ini.WriteSection(qxString("B"), {});
  EXPECT_EQ(ReadFile(Path()), "[A] ; first\r\nx=9\r\n\r\n; about B\r\n[B]\r\n");
  ini.WriteSection(qxString("C"), {{qxString("n"), qxString("1")}, {qxString("m"), qxString("2")}});
  EXPECT_EQ(ReadFile(Path()),
            "[A] ; first\r\nx=9\r\n\r\n; about B\r\n[B]\r\n[C]\r\nn=1\r\nm=2\r\n");
  std::vector<qxStringPair> list;
  ini.ReadSection(qxString("C"), list);
  EXPECT_EQ(Texts(list), (Pairs{{"n", "1"}, {"m", "2"}}));
}

TEST_F(QxIniTest, WritesThatCouldNotReadBackAreRefused) {
  WriteFile(Path(), "[S]\r\nk=v\r\n");
  const qxIniFile ini = Ini();
  struct Case {
    std::string section, key, value;
  } cases[] = {
      {"S", "k", "two\r\nlines"},
      {"S", "k", "line\nfeed"},
      {"S", "k", std::string("nul\0", 4)},
      {"S", "k\r", "v"},
      {"S", std::string("k\0", 2), "v"},
      {"S", "a=b", "v"},
      {"S", ";k", "v"},
      {"S", "[k", "v"},
      {"S", " k", "v"},
      {"S]", "k", "v"},
      {"S\n", "k", "v"},
  };
  for (const Case& c : cases) {
    const std::string message =
        ThrownBy([&] { ini.WriteValue(qxString(c.section), qxString(c.key), qxString(c.value)); });
    // The message holds the value as a C text (up to a NUL).
    EXPECT_EQ(message,
              "Failed to write: " + std::string(c.value.c_str()) + ", into INI file: " + Path())
        << c.key;
  }
  EXPECT_EQ(ThrownBy([&] {
              ini.WriteSection(qxString("S"), {{qxString("ok"), qxString("v")},
                                               {qxString("bad"), qxString("x\ny")}});
            }),
            "Failed to write section: S, into INI file: " + Path());
  EXPECT_EQ(ThrownBy([&] { ini.WriteSection(qxString("a]b"), {}); }),
            "Failed to write section: a]b, into INI file: " + Path());
  EXPECT_EQ(ReadFile(Path()), "[S]\r\nk=v\r\n");
}

TEST_F(QxIniTest, WriteFailuresAreReported) {
  WriteFile(dir_ / "file", "not a folder");
  const qxIniFile inFile(qxString(dir_ / "file/x.ini"));
  EXPECT_EQ(ThrownBy([&] { inFile.WriteValue(qxString("S"), qxString("k"), qxString("v")); }),
            "Failed to write: v, into INI file: " + dir_ / "file/x.ini");
  ASSERT_EQ(mkdir((dir_ / "folder.ini").c_str(), 0755), 0);
  const qxIniFile folder(qxString(dir_ / "folder.ini"));
  EXPECT_EQ(ThrownBy([&] { folder.WriteSection(qxString("S"), {}); }),
            "Failed to write section: S, into INI file: " + dir_ / "folder.ini");
}

}  // namespace
