#include "util/qx_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/qx_path.h"
#include "util/qx_test_env.h"

namespace {

using qx_test::ScopedEnv;
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

template <typename F>
std::string ThrownBy(F f) {
  try {
    f();
  } catch (const qxException& e) {
    return e.GetMessage().str();
  }
  return "(nothing thrown)";
}

// The lines of bytes as the reader gives them: each up to and including the
// first end-of-line text from its start, the rest as the last line.
std::vector<std::string> ExpectedLines(const std::string& bytes, const std::string& eol) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < bytes.size()) {
    const size_t at = bytes.find(eol, from);
    const size_t end = at == std::string::npos ? bytes.size() : at + eol.size();
    lines.push_back(bytes.substr(from, end - from));
    from = end;
  }
  return lines;
}

std::vector<std::string> ReadLines(qxFile& file, const std::string& eol,
                                   size_t maximum = qxFile::kNoMaximum) {
  std::vector<std::string> lines;
  qxString line;
  // Bounded: a reader that never reports the end fails instead of hanging.
  for (int i = 0; i < 100000; ++i) {
    const size_t n = file.ReadLine(line, qxString(eol), maximum);
    if (n == 0) return lines;
    EXPECT_EQ(n, line.GetLength());
    lines.push_back(line.str());
  }
  ADD_FAILURE() << "no end of file";
  return lines;
}

class QxFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
  qxString P(const std::string& name) const { return qxString(dir_ / name); }
  ScratchFolder dir_;
};

// ---- Line reading -----------------------------------------------------------

TEST_F(QxFileTest, ReadLineGivesLinesThenEndThenStartsAgain) {
  WriteFile(dir_ / "f", "ab\r\ncd");
  qxFile file(P("f"));
  qxString line;
  const qxString crlf("\r\n");
  EXPECT_EQ(file.ReadLine(line, crlf), 4u);
  EXPECT_EQ(line.str(), "ab\r\n");
  EXPECT_EQ(file.ReadLine(line, crlf), 2u);
  EXPECT_EQ(line.str(), "cd");
  EXPECT_EQ(file.ReadLine(line, crlf), 0u);
  EXPECT_EQ(line.str(), "");
  EXPECT_EQ(file.ReadLine(line, crlf), 4u);
  EXPECT_EQ(line.str(), "ab\r\n");
}

// Lines placed so that the end of line, or the file, meets the 4096-byte loads of
// the reader's buffer in every way.
TEST_F(QxFileTest, ReadLineAcrossBufferLoads) {
  const size_t k = qxFile::kBufferSize;
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"CR last of a load, LF first of the next", std::string(k - 1, 'a') + "\r\nnext\r\n"},
      {"CR LF last two of a load", std::string(k - 2, 'a') + "\r\nnext"},
      {"CR LF first of a load", std::string(k, 'a') + "\r\nnext"},
      {"file of exactly one load", std::string(k - 2, 'a') + "\r\n"},
      {"file of exactly two loads", std::string(k, 'a') + std::string(k - 2, 'b') + "\r\n"},
      {"line longer than two loads", std::string(2 * k + 7, 'x') + "\r\nend\r\n"},
      {"many short lines",
       [] {
         std::string s;
         for (int i = 0; i < 3000; ++i) s += std::to_string(i) + "\r\n";
         return s;
       }()},
      {"CR alone near the edge", std::string(k - 1, 'a') + "\rb\r\n"},
      {"embedded NUL", std::string("ab\0cd\r\n\0\0\r\nz", 12)},
      {"NUL at a load's end", std::string(k - 1, 'a') + std::string("\0\r\nq", 4)},
  };
  for (const Case& c : cases) {
    WriteFile(dir_ / "f", c.bytes);
    qxFile file(P("f"));
    const std::vector<std::string> lines = ReadLines(file, "\r\n");
    EXPECT_EQ(lines, ExpectedLines(c.bytes, "\r\n")) << c.name;
    std::string joined;
    for (const std::string& l : lines) joined += l;
    EXPECT_EQ(joined, c.bytes) << c.name;
  }
}

TEST_F(QxFileTest, ReadLineOtherEndsAndMaximum) {
  WriteFile(dir_ / "f", "one\ntwo\nthree");
  qxFile file(P("f"));
  EXPECT_EQ(ReadLines(file, "\n"), (std::vector<std::string>{"one\n", "two\n", "three"}));
  // An end-of-line text whose start repeats is still found.
  WriteFile(dir_ / "g", "xaaab-y");
  qxFile g(P("g"));
  EXPECT_EQ(ReadLines(g, "aab"), (std::vector<std::string>{"xaaab", "-y"}));
  // At most maximum bytes per call; the rest follows in the next calls.
  qxFile h(P("f"));
  EXPECT_EQ(ReadLines(h, "\n", 3),
            (std::vector<std::string>{"one", "\n", "two", "\n", "thr", "ee"}));
  qxString line("stale");
  EXPECT_EQ(h.ReadLine(line, qxString("\n"), 0), 0u);
  EXPECT_EQ(line.str(), "");
}

TEST_F(QxFileTest, ReadLineFailuresAndEmptyFile) {
  WriteFile(dir_ / "empty", "");
  qxFile empty(P("empty"));
  qxString line;
  EXPECT_EQ(empty.ReadLine(line, qxString("\n")), 0u);
  EXPECT_EQ(ThrownBy([&] { empty.ReadLine(line, qxString()); }),
            "The end of line (EOL) parameter cannot be empty.");
  qxFile missing(P("missing"));
  EXPECT_EQ(ThrownBy([&] { missing.ReadLine(line, qxString("\n")); }),
            "Failed to open file: (" + dir_ / "missing" + ").");
}

// ---- Writing, reading whole, positioning --------------------------------------

TEST_F(QxFileTest, WriteCreatesAppendsOrReplaces) {
  {
    qxFile file(P("f"));
    EXPECT_EQ(file.Write("abc", 3, true), 3u);
    EXPECT_FALSE(file.IsOpen());  // standalone
  }
  {
    qxFile file(P("f"));
    EXPECT_EQ(file.Write("de", 2), 2u);  // appends to an existing file
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Write("f", 1), 1u);  // goes on at the position
  }
  EXPECT_EQ(ReadFile(dir_ / "f"), "abcdef");
  {
    qxFile file(P("f"));
    file.m_Truncate = true;
    file.Write("new", 3);
  }
  EXPECT_EQ(ReadFile(dir_ / "f"), "new");
  qxFile nowhere(P("no/such/folder/f"));
  EXPECT_EQ(ThrownBy([&] { nowhere.Write("x", 1); }),
            "Failed to create/open file: (" + dir_ / "no/such/folder/f" + ").");
}

TEST_F(QxFileTest, ReadAll) {
  WriteFile(dir_ / "f", std::string("bytes\0with NUL", 14));
  qxFile file(P("f"));
  qxString all("stale");
  EXPECT_EQ(file.ReadAll(all, qxFile::kNoMaximum, true), 14u);
  EXPECT_EQ(all.str(), std::string("bytes\0with NUL", 14));
  EXPECT_EQ(file.ReadAll(all, 5), 5u);
  EXPECT_EQ(all.str(), "bytes");
  // With the handle open, reading goes on from its position.
  EXPECT_EQ(file.ReadAll(all), 9u);
  EXPECT_EQ(all.str(), std::string("\0with NUL", 9));
  EXPECT_TRUE(file.IsAtEnd());
  qxFile missing(P("missing"));
  EXPECT_EQ(ThrownBy([&] { missing.ReadAll(all); }),
            "Failed to open file: (" + dir_ / "missing" + ").");
  EXPECT_EQ(all.str(), "");
}

TEST_F(QxFileTest, PositioningAndTruncation) {
  WriteFile(dir_ / "f", "line1\nline2\n");
  qxFile file(P("f"));
  EXPECT_TRUE(file.IsAtStart());  // nothing open yet
  EXPECT_FALSE(file.IsAtEnd());
  qxString line;
  file.ReadLine(line, qxString("\n"));
  EXPECT_FALSE(file.IsAtStart());
  file.Rewind();
  EXPECT_TRUE(file.IsAtStart());
  file.ReadLine(line, qxString("\n"));
  file.ReadLine(line, qxString("\n"));
  file.Rewind();
  EXPECT_EQ(file.ReadLine(line, qxString("\n")), 6u);
  EXPECT_EQ(line.str(), "line1\n");
  file.SeekEnd();
  EXPECT_TRUE(file.IsAtEnd());
  EXPECT_EQ(file.ReadLine(line, qxString("\n")), 0u);
  EXPECT_EQ(line.str(), "");
  // A handle opened for reading cannot cut the file; one opened for writing can.
  EXPECT_EQ(ThrownBy([&] { file.Truncate(); }), "Failed to truncate file: (" + dir_ / "f" + ").");
  file.Close();
  EXPECT_EQ(ReadFile(dir_ / "f"), "line1\nline2\n");
  qxFile writer(P("f"));
  writer.Truncate();  // nothing open: nothing happens
  writer.Write("+", 1);
  writer.Truncate();
  writer.Close();
  EXPECT_EQ(ReadFile(dir_ / "f"), "");
}

TEST_F(QxFileTest, CloseDeletesOnRequestAndResets) {
  WriteFile(dir_ / "f", "x");
  qxFile file(P("f"));
  file.m_DeleteOnClose = true;
  file.m_Truncate = true;
  qxString all;
  file.ReadAll(all);
  file.Close();
  EXPECT_FALSE(qx::IsFile(P("f")));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.m_DeleteOnClose);
  EXPECT_FALSE(file.m_Truncate);
  EXPECT_EQ(file.m_Path.str(), "");
}

// ---- Temporary files ----------------------------------------------------------

class QxTempFileTest : public QxFileTest {
 protected:
  // The temporary folder is the test's own.
  ScopedEnv tmpdir_{"TMPDIR", dir_.path()};
};

TEST_F(QxTempFileTest, CreateWithExtensions) {
  struct Case {
    const char* extension;
    const char* ending;
  } cases[] = {
      {"", ".tmp"},     {"tmp", ".tmp"},     {"TMP", ".tmp"},
      {".tmp", ".tmp"}, {"txt", ".tmp.txt"}, {".log", ".tmp.log"},
  };
  for (const Case& c : cases) {
    qxTempFile temp;
    const std::string path = temp.Create(qxString(c.extension)).str();
    EXPECT_EQ(path.rfind(dir_.path() + "/qx", 0), 0u) << path;
    EXPECT_TRUE(path.size() > strlen(c.ending) &&
                path.compare(path.size() - strlen(c.ending), strlen(c.ending), c.ending) == 0)
        << c.extension << " gave " << path;
    EXPECT_TRUE(qx::IsFile(qxString(path)));
    EXPECT_EQ(temp.GetName(true).str(), path);
    EXPECT_EQ(temp.GetName(false).str(), qx::GetFileName(qxString(path)).str());
    temp.Delete();
    EXPECT_FALSE(qx::IsFile(qxString(path)));
    EXPECT_EQ(temp.GetName(true).str(), "");
  }
  // Nothing is left behind.
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(QxTempFileTest, WriteAndReadContent) {
  qxTempFile temp;
  EXPECT_EQ(ThrownBy([&] { temp.ReadContent(); }), "Filename variable \"m_FileName\" is empty.");
  const std::string bytes("temp\0bytes", 10);
  const qxString path = temp.WriteContent(bytes.data(), bytes.size(), qxString("dat"));
  EXPECT_EQ(ReadFile(path.str()), bytes);
  EXPECT_EQ(temp.ReadContent(), 10);
  EXPECT_EQ(temp.GetContentSize(), 10);
  EXPECT_EQ(std::string(temp.GetContent(), 10), bytes);
  // A second write replaces the first file.
  const qxString second = temp.WriteContent("", 0, qxString());
  EXPECT_NE(second, path);
  EXPECT_FALSE(qx::IsFile(path));
  EXPECT_EQ(temp.ReadContent(), 0);
  ASSERT_EQ(unlink(second.c_str()), 0);
  EXPECT_EQ(ThrownBy([&] { temp.ReadContent(); }), "Cannot find file: (" + second.str() + ")");
  temp.Delete();
}

// ---- Current folder -----------------------------------------------------------

TEST_F(QxFileTest, CurrentFolder) {
  const std::string start = std::filesystem::current_path();
  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  {
    qxCurrentFolder folder(P("sub"));
    EXPECT_TRUE(folder.IsChanged());
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(dir_ / "sub"));
    EXPECT_TRUE(folder.Set(qxString()));  // changes nothing
    EXPECT_FALSE(folder.Set(P("missing")));
    EXPECT_FALSE(folder.IsChanged());
    EXPECT_TRUE(folder.Restore());
  }
  EXPECT_EQ(std::filesystem::current_path().string(), start);
  qxCurrentFolder unchanged;
  EXPECT_FALSE(unchanged.IsChanged());
  EXPECT_EQ(unchanged.GetSaved().str(), start);
}

}  // namespace
