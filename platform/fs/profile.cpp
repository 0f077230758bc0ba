#include "platform/fs/profile.h"

#include <cerrno>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/fs/files.h"
#include "platform/text/format.h"

namespace platform::fs {
namespace {

constexpr char kHeader[] = "# Quillon Applications profile\n";

bool NeedsEscape(unsigned char c) {
  if (c < 0x20 || c > 0x7E) return true;
  switch (c) {
    case '%': case '=': case ';': case '[': case ']': case '#':
      return true;
    default:
      return false;
  }
}

std::string Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (NeedsEscape(c)) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reverses Escape. False for a text that Escape cannot have produced.
bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int hi = HexDigit(text[i + 1]);
      const int lo = HexDigit(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out->push_back(static_cast<char>((hi << 4) | lo));
      i += 2;
    } else if (NeedsEscape(c)) {
      return false;
    } else {
      out->push_back(text[i]);
    }
  }
  return true;
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  std::vector<char> buf(16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return ".";
}

}  // namespace

Profile::Profile(std::string path) : path_(NativePath(path)) {}

std::string Profile::Encode(const Sections& sections) {
  std::string out = kHeader;
  for (const auto& [section, entries] : sections) {
    if (entries.empty()) continue;
    out += "[" + Escape(section) + "]\n";
    for (const auto& [entry, value] : entries) out += Escape(entry) + "=" + Escape(value) + "\n";
  }
  return out;
}

Profile::Sections Profile::Decode(const std::string& text) {
  Sections sections;
  std::map<std::string, std::string>* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      std::string name;
      if (line.size() >= 2 && line.back() == ']' &&
          Unescape(line.substr(1, line.size() - 2), &name)) {
        current = &sections[name];
      } else {
        current = nullptr;  // entries under an unreadable header belong nowhere
      }
      continue;
    }
    const size_t eq = line.find('=');
    std::string entry, value;
    if (current == nullptr || eq == std::string::npos || !Unescape(line.substr(0, eq), &entry) ||
        !Unescape(line.substr(eq + 1), &value)) {
      continue;
    }
    (*current)[entry] = value;
  }
  return sections;
}

bool Profile::Load(Sections* sections) const {
  sections->clear();
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;  // nothing written yet
    SetLastError(ErrorCodeFromErrno(errno));
    return false;
  }
  std::string text;
  if (!ReadFile(path_, &text)) return false;
  *sections = Decode(text);
  return true;
}

bool Profile::Store(const Sections& sections) {
  const std::string folder = ParentFolder(path_);
  if (!folder.empty() && !FolderExists(folder) && !CreateFolders(folder)) return false;
  return ReplaceFile(path_, Encode(sections), 0600);
}

bool Profile::Read(const std::string& section, const std::string& entry,
                   std::string* value) const {
  value->clear();
  platform::MutexLock lock(mu_);
  Sections sections;
  if (!Load(&sections)) return false;
  const auto s = sections.find(section);
  if (s == sections.end()) return false;
  const auto e = s->second.find(entry);
  if (e == s->second.end()) return false;
  *value = e->second;
  return true;
}

std::string Profile::GetString(const std::string& section, const std::string& entry,
                               const std::string& fallback) const {
  std::string value;
  return Read(section, entry, &value) ? value : fallback;
}

int Profile::GetInt(const std::string& section, const std::string& entry, int fallback) const {
  std::string value;
  if (!Read(section, entry, &value) || value.empty()) return fallback;
  errno = 0;
  char* end = nullptr;
  const long n = std::strtol(value.c_str(), &end, 10);
  if (errno != 0 || end != value.c_str() + value.size() || n < INT32_MIN || n > INT32_MAX) {
    return fallback;
  }
  return static_cast<int>(n);
}

bool Profile::WriteString(const std::string& section, const std::string& entry,
                          const std::string& value) {
  platform::MutexLock lock(mu_);
  Sections sections;
  if (!Load(&sections)) return false;
  sections[section][entry] = value;
  return Store(sections);
}

bool Profile::WriteInt(const std::string& section, const std::string& entry, int value) {
  return WriteString(section, entry, std::to_string(value));
}

bool Profile::DeleteEntry(const std::string& section, const std::string& entry) {
  platform::MutexLock lock(mu_);
  Sections sections;
  if (!Load(&sections)) return false;
  const auto s = sections.find(section);
  if (s == sections.end() || s->second.erase(entry) == 0) return true;
  if (s->second.empty()) sections.erase(s);
  return Store(sections);
}

std::string ProfileFolder() {
  const char* home = std::getenv("KVR_HOME");
  if (home != nullptr && *home != '\0') return NativePath(home);
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string config =
      (xdg != nullptr && *xdg != '\0') ? std::string(xdg) : HomeFolder() + "/.config";
  return config + "/Quillon Applications";
}

Profile& ProcessProfile() {
  // Deliberately never freed: destructors of other process-wide objects may still
  // read or write settings during exit.
  static Profile* const profile = new Profile(ProfileFolder() + "/profile");
  return *profile;
}

}  // namespace platform::fs
