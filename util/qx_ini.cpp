#include "util/qx_ini.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "util/qx_fs_internal.h"
#include "util/qx_path.h"
#include "util/qx_text.h"

namespace {

constexpr char kLineEnd[] = "\r\n";

// The lines of one open file, with the end of the file remembered: once the
// reader has answered 0 it would start again at the beginning.
class LineSource {
 public:
  explicit LineSource(qxFile& file) : m_File(file) {}
  // The next line, its line end kept; false at the end of the file.
  bool Next(qxString& raw) {
    if (atEnd_) return false;
    if (m_File.ReadLine(raw, qxString("\n")) == 0) {
      atEnd_ = true;
      return false;
    }
    return true;
  }

 private:
  qxFile& m_File;
  bool atEnd_ = false;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A trimmed value line of key: it begins with the key, and the first character
// after it other than blanks and TABs is '='.
bool IsKeyLine(const qxString& line, const qxString& key) {
  if (!line.StartsWith(key)) return false;
  const std::string& text = line.str();
  size_t i = key.GetLength();
  while (i < text.size() && IsBlank(text[i])) ++i;
  return i < text.size() && text[i] == '=';
}

qxString Header(const qxString& section) {
  qxString header("[");
  header += section;
  header += ']';
  return header;
}

// A content line (trimmed) that begins with the section's header.
bool IsHeaderOf(const qxString& trimmed, const qxString& header) {
  return trimmed.StartsWith(header);
}

// Moves past the header of section; false when there is none.
bool FindSection(LineSource& lines, const qxString& section) {
  const qxString header = Header(section);
  qxString raw;
  while (lines.Next(raw)) {
    qxString line = raw;
    if (qxIniFile::IsContentLine(line) && IsHeaderOf(line, header)) return true;
  }
  return false;
}

// ReadDelimited(lines, text, value, delimiter): the value starts after the first
// delimiter of text (its line end kept) and ends before the next one, in text or
// in a following line. Lines that are empty or comments are left out; /* */
// comments are removed, also over several lines. A text without an opening
// delimiter (outside a comment) is no delimited value.
bool ReadDelimited(LineSource& lines, const qxString& text, qxString& value,
                   const qxString& delimiter) {
  value.Empty();
  const std::string& d = delimiter.str();
  if (d.empty()) return false;
  bool started = false;
  bool inComment = false;
  std::string current = text.str();
  qxString raw;
  while (true) {
    qxString trimmed(current);
    if (qxIniFile::IsContentLine(trimmed)) {
      bool skip = false;
      if (inComment) {
        const size_t end = current.find("*/");
        if (end == std::string::npos) {
          skip = true;
        } else {
          current.erase(0, end + 2);
          inComment = false;
        }
      }
      while (!skip) {
        const size_t open = current.find("/*");
        if (open == std::string::npos) break;
        const size_t firstClose = current.find("*/");
        if (firstClose != std::string::npos && firstClose < open) break;
        const size_t close = current.find("*/", open + 2);
        if (close == std::string::npos) {
          current.erase(open);
          inComment = true;
          break;
        }
        current.erase(open, close + 2 - open);
      }
      if (!skip) {
        const size_t at = current.find(d);
        if (at != std::string::npos) {
          if (started) {
            value.Append(current.data(), at);
            return true;
          }
          started = true;
          const std::string rest = current.substr(at + d.size());
          const size_t closing = rest.find(d);
          if (closing != std::string::npos) {
            value.Assign(rest.data(), closing);
            return true;
          }
          value.Assign(rest.data(), rest.size());
        } else if (started) {
          value.Append(current.data(), current.size());
        }
      }
    }
    if (!started && !inComment) return false;
    if (!lines.Next(raw)) return false;
    current = raw.str();
  }
}

// For a trimmed value line holding '=' with text after it: the value, plain (the
// rest of the line) or delimited (from the untrimmed line, its line end kept).
bool ValueOf(LineSource& lines, const qxString& line, const qxString& raw,
             const qxString& delimiter, qxString& value) {
  const size_t equals = line.str().find('=');
  if (equals == std::string::npos || equals + 1 >= line.GetLength()) return false;
  if (delimiter.IsEmpty()) {
    value = line.Mid(equals + 1);
    return true;
  }
  const size_t rawEquals = raw.str().find('=');
  return ReadDelimited(lines, raw.Mid(rawEquals + 1), value, delimiter);
}

// Calls add(key, value) for every value line of the section.
template <typename Add>
void ReadSectionLines(const qxString& path, const qxString& section, const qxString& delimiter,
                      Add add) {
  qxFile file(path);
  LineSource lines(file);
  if (!FindSection(lines, section)) return;
  qxString raw;
  while (lines.Next(raw)) {
    qxString line = raw;
    if (!qxIniFile::IsContentLine(line)) continue;
    if (qxIniFile::IsSectionLine(line)) return;
    const size_t equals = line.str().find('=');
    if (equals == std::string::npos) continue;
    qxString value;
    if (ValueOf(lines, line, raw, delimiter, value)) add(line.Left(equals), value);
  }
}

// ---- The writer -------------------------------------------------------------

bool HasLineBreakOrNul(const qxString& text) {
  return text.str().find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool IsWritableSection(const qxString& section) {
  return !HasLineBreakOrNul(section) && section.str().find(']') == std::string::npos;
}

// A key the reader finds again: no line break, NUL or '=', and no first character
// that would make the line a comment or a header or be trimmed away.
bool IsWritableKey(const qxString& key) {
  if (key.IsEmpty() || HasLineBreakOrNul(key) || key.str().find('=') != std::string::npos) {
    return false;
  }
  const char first = key.GetAt(0);
  return first != ';' && first != '#' && first != '[' && !IsBlank(first) && first != '\v' &&
         first != '\f';
}

// The file's lines without their line ends (CR LF or LF); none for a missing
// file. False when the file exists but cannot be read.
bool LoadLines(const std::string& path, std::vector<std::string>* lines) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  std::string bytes;
  char buffer[16 * 1024];
  bool ok = true;
  while (true) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (!ok) return false;
  size_t from = 0;
  while (from < bytes.size()) {
    size_t end = bytes.find('\n', from);
    const size_t next = end == std::string::npos ? bytes.size() : end + 1;
    if (end == std::string::npos) end = bytes.size();
    size_t length = end - from;
    if (length > 0 && bytes[from + length - 1] == '\r' && end < bytes.size()) --length;
    lines->push_back(bytes.substr(from, length));
    from = next;
  }
  return true;
}

// Writes the lines, each ended by CR LF, in place of the file: a temporary file
// beside it, flushed, renamed over it. An existing file keeps its permission
// bits; a link is followed to the file it names.
bool SaveLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string target = path;
  struct stat st {};
  mode_t mode = 0644;
  if (lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      char resolved[PATH_MAX];
      if (realpath(path.c_str(), resolved) == nullptr) return false;
      target = resolved;
      if (::stat(target.c_str(), &st) != 0) return false;
    }
    if (!S_ISREG(st.st_mode)) return false;
    mode = st.st_mode & 07777;
  }
  std::string bytes;
  for (const std::string& line : lines) {
    bytes += line;
    bytes += kLineEnd;
  }
  qx::fs_internal::TempFileBeside temp;
  return temp.Create(target) && fchmod(temp.fd(), mode) == 0 && temp.Write(bytes) &&
         temp.SyncAndClose() && temp.ReplaceTarget();
}

qxString TrimmedLine(const std::string& line) {
  qxString text(line);
  text.Trim();
  return text;
}

bool IsContentText(const std::string& line) {
  qxString text(line);
  return qxIniFile::IsContentLine(text);
}

// The index of the section's header line, or lines.size().
size_t FindHeaderLine(const std::vector<std::string>& lines, const qxString& section) {
  const qxString header = Header(section);
  for (size_t i = 0; i < lines.size(); ++i) {
    qxString text(lines[i]);
    if (qxIniFile::IsContentLine(text) && IsHeaderOf(text, header)) return i;
  }
  return lines.size();
}

// One past the section's last content line (the header's index + 1 when it has
// none); the lines after it up to the next header are blank or comments.
size_t EndOfSectionContent(const std::vector<std::string>& lines, size_t header) {
  size_t end = header + 1;
  for (size_t i = header + 1; i < lines.size(); ++i) {
    qxString text(lines[i]);
    if (!qxIniFile::IsContentLine(text)) continue;
    if (qxIniFile::IsSectionLine(text)) break;
    end = i + 1;
  }
  return end;
}

std::string ValueLine(const qxString& key, const qxString& value) {
  return key.str() + "=" + value.str();
}

}  // namespace

void qxIniFile::CheckArguments(bool mustExist, const qxString* section, const qxString* key) const {
  if (m_Path.IsEmpty()) throw qxException("Filename cannot be empty.");
  if (section != nullptr && section->IsEmpty()) throw qxException("Section name cannot be empty.");
  if (key != nullptr && key->IsEmpty()) throw qxException("Key name cannot be empty.");
  if (mustExist && !qx::IsFile(m_Path)) {
    throw qxException("Cannot find INI file: (%s)", m_Path.c_str());
  }
}

bool qxIniFile::IsContentLine(qxString& line) {
  line.Trim();
  if (line.IsEmpty()) return false;
  const char first = line.GetAt(0);
  return first != ';' && first != '#';
}

bool qxIniFile::IsSectionLine(const qxString& line) {
  return !line.IsEmpty() && line.GetAt(0) == '[';
}

// GetValue(section, key, default, delimiter):
// 1. Check the arguments; read the file line by line.
// 2. Find the section's header; none: the default.
// 3. Skip comments; a header ends the section (the default); the first value
//    line of the key decides: its value, or the default when nothing follows '='
//    or the delimited value is incomplete.
qxString qxIniFile::GetValue(const qxString& section, const qxString& key,
                             const qxString& defaultValue, const qxString& delimiter) const {
  CheckArguments(true, &section, &key);
  qxFile file(m_Path);
  LineSource lines(file);
  if (!FindSection(lines, section)) return defaultValue;
  qxString raw;
  while (lines.Next(raw)) {
    qxString line = raw;
    if (!IsContentLine(line)) continue;
    if (IsSectionLine(line)) return defaultValue;
    if (!IsKeyLine(line, key)) continue;
    qxString value;
    return ValueOf(lines, line, raw, delimiter, value) ? value : defaultValue;
  }
  return defaultValue;
}

void qxIniFile::ReadSection(const qxString& section, qxStringMap& target,
                            const qxString& delimiter) const {
  CheckArguments(true, &section);
  target.clear();
  ReadSectionLines(m_Path, section, delimiter,
                   [&](const qxString& key, const qxString& value) { target.emplace(key, value); });
}

void qxIniFile::ReadSection(const qxString& section, std::vector<qxStringPair>& target,
                            const qxString& delimiter) const {
  CheckArguments(true, &section);
  target.clear();
  ReadSectionLines(m_Path, section, delimiter, [&](const qxString& key, const qxString& value) {
    target.emplace_back(key, value);
  });
}

void qxIniFile::GetSectionNames(std::vector<qxString>& names) const {
  CheckArguments(true);
  names.clear();
  qxFile file(m_Path);
  LineSource lines(file);
  qxString raw;
  while (lines.Next(raw)) {
    qxString line = raw;
    if (!IsContentLine(line) || !IsSectionLine(line) || line.GetLength() < 2) continue;
    const size_t close = line.str().find(']');
    if (close == std::string::npos || close < 2) continue;
    names.push_back(line.Mid(1, close - 1));
  }
}

bool qxIniFile::ReadDelimitedValue(qxFile& file, const qxString& text, qxString& value,
                                   const qxString& delimiter) {
  LineSource lines(file);
  return ReadDelimited(lines, text, value, delimiter);
}

// WriteValue(section, key, value): the first value line of the key in the
// section is replaced; without one the line goes after the section's last
// content line; without the section, the header and the line go at the end.
void qxIniFile::WriteValue(const qxString& section, const qxString& key,
                           const qxString& value) const {
  CheckArguments(false, &section, &key);
  auto fail = [&]() {
    return qxException("Failed to write: %s, into INI file: %s", value.c_str(), m_Path.c_str());
  };
  if (!IsWritableSection(section) || !IsWritableKey(key) || HasLineBreakOrNul(value)) throw fail();
  std::vector<std::string> lines;
  if (!LoadLines(m_Path.str(), &lines)) throw fail();
  const size_t header = FindHeaderLine(lines, section);
  if (header == lines.size()) {
    lines.push_back(Header(section).str());
    lines.push_back(ValueLine(key, value));
  } else {
    const size_t end = EndOfSectionContent(lines, header);
    bool replaced = false;
    for (size_t i = header + 1; i < end; ++i) {
      const qxString text = TrimmedLine(lines[i]);
      if (IsContentText(lines[i]) && IsKeyLine(text, key)) {
        lines[i] = ValueLine(key, value);
        replaced = true;
        break;
      }
    }
    if (!replaced) lines.insert(lines.begin() + static_cast<long>(end), ValueLine(key, value));
  }
  if (!SaveLines(m_Path.str(), lines)) throw fail();
}

// WriteSection(section, pairs): the lines after the header up to the section's
// last content line give way to one line per pair with a key; without the
// section, the header and the lines go at the end.
void qxIniFile::WriteSection(const qxString& section,
                             const std::vector<qxStringPair>& pairs) const {
  CheckArguments(false, &section);
  auto fail = [&]() {
    return qxException("Failed to write section: %s, into INI file: %s", section.c_str(),
                       m_Path.c_str());
  };
  if (!IsWritableSection(section)) throw fail();
  std::vector<std::string> block;
  for (const qxStringPair& pair : pairs) {
    if (pair.first.IsEmpty()) continue;
    if (!IsWritableKey(pair.first) || HasLineBreakOrNul(pair.second)) throw fail();
    block.push_back(ValueLine(pair.first, pair.second));
  }
  std::vector<std::string> lines;
  if (!LoadLines(m_Path.str(), &lines)) throw fail();
  const size_t header = FindHeaderLine(lines, section);
  if (header == lines.size()) {
    lines.push_back(Header(section).str());
    lines.insert(lines.end(), block.begin(), block.end());
  } else {
    const size_t end = EndOfSectionContent(lines, header);
    lines.erase(lines.begin() + static_cast<long>(header) + 1,
                lines.begin() + static_cast<long>(end));
    lines.insert(lines.begin() + static_cast<long>(header) + 1, block.begin(), block.end());
  }
  if (!SaveLines(m_Path.str(), lines)) throw fail();
}
