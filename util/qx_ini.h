// qxIniFile: values and sections of an INI-style text file, read with a reader of
// the library's own and written with a writer of its own.
//
// The reader takes lines ending in CR LF or in LF alone and works on each line
// with its leading and trailing whitespace removed. Lines that are empty or begin
// with ';' or '#' are comments. A section begins at a line that begins with
// "[" + name + "]" (anything may follow, a comment for example) and ends at the
// next line that begins with '['. A value line is "key=value": the key is the text
// before the first '=' (GetValue matches it exactly and case-sensitively, blanks
// before the '=' allowed; ReadSection gives it as it stands), the value all after
// it. With a delimiter text the value is the
// text between the delimiter and its next occurrence, possibly lines later (the
// line ends between included, comment and empty lines left out, /* */ comments
// removed). A missing section, key or closing delimiter gives the default. As the
// lines are trimmed, a plain value keeps its leading blanks but not its trailing
// ones.
//
// The writer replaces the file atomically (a temporary file beside it, flushed to
// the disk, renamed over it) and writes every line with CR LF. It refuses keys and
// values holding CR, LF or NUL, keys holding '=' or beginning with ';', '#', '['
// or whitespace, and section names holding ']', CR, LF or NUL, so that what it
// writes reads back the same. Nothing is locked:
// two writers of one file at the same time keep only one of their changes.
#pragma once

#include <map>
#include <vector>

#include "util/qx_file.h"
#include "util/qx_string.h"

class qxIniFile {
 public:
  qxIniFile() = default;
  explicit qxIniFile(const qxString& path) : m_Path(path) {}

  void SetPath(const qxString& path) { m_Path = path; }
  const qxString& GetPath() const { return m_Path; }

  // Throws qxException: "Filename cannot be empty.", "Section name cannot be
  // empty." (a given but empty section), "Key name cannot be empty." (a given but
  // empty key), and with mustExist "Cannot find INI file: (%s)".
  void CheckArguments(bool mustExist, const qxString* section = nullptr,
                      const qxString* key = nullptr) const;
  // Trims line in place; false when it is then empty or begins with ';' or '#'.
  static bool IsContentLine(qxString& line);
  // True when line is not empty and begins with '['.
  static bool IsSectionLine(const qxString& line);

  // The value of key in section, or defaultValue. The file must exist.
  qxString GetValue(const qxString& section, const qxString& key,
                    const qxString& defaultValue = qxString(),
                    const qxString& delimiter = qxString()) const;
  // Empties target, then adds the section's values (a map keeps a key's first
  // value; a list keeps every pair in file order). The file must exist.
  void ReadSection(const qxString& section, qxStringMap& target,
                   const qxString& delimiter = qxString()) const;
  void ReadSection(const qxString& section, std::vector<qxStringPair>& target,
                   const qxString& delimiter = qxString()) const;
  // Empties names, then adds the name of every section header in file order.
  void GetSectionNames(std::vector<qxString>& names) const;

  // Sets key in section to value (the file and the section are made when
  // missing). Throws qxException("Failed to write: %s, into INI file: %s").
  void WriteValue(const qxString& section, const qxString& key, const qxString& value) const;
  // Replaces the section's lines by one line per pair with a key (no pairs: the
  // section stays, empty). Throws
  // qxException("Failed to write section: %s, into INI file: %s").
  void WriteSection(const qxString& section, const std::vector<qxStringPair>& pairs) const;

  // The delimited value that starts in text (the part after '=', its line end
  // kept) and may go on in the following lines of file. True when the closing
  // delimiter was found.
  static bool ReadDelimitedValue(qxFile& file, const qxString& text, qxString& value,
                                 const qxString& delimiter);

 private:
  qxString m_Path;
};
