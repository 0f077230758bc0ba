#include "core/queue/reversal_journal.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

#include "core/log/logger.h"
#include "core/tran/tran_codes.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

constexpr char kHeader[] = "KVR reversal journal 2";
constexpr char kHeaderV1[] = "KVR reversal journal 1";  // lines without the sequence number
// Lines that cannot be read are described one by one up to this many, then counted.
constexpr size_t kDescribedProblems = 20;
constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr unsigned kFileMode = 0600;
// A due tick at most this far behind the clock counts as passed (wrap-aware).
constexpr uint32_t kHalfRange = 0x80000000u;

std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool FromHex(const std::string& hex, std::string* out) {
  out->clear();
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    *out += static_cast<char>(high * 16 + low);
  }
  return true;
}

// A text field of a line: its hex, or "-" for the empty text.
std::string TextField(const std::string& text) { return text.empty() ? "-" : ToHex(text); }
bool ReadTextField(const std::string& field, std::string* text) {
  if (field == "-") {
    text->clear();
    return true;
  }
  return !field.empty() && FromHex(field, text);
}

bool ReadNumber(const std::string& field, int64_t low, int64_t high, int64_t* value) {
  if (field.empty() || field.size() > 19) return false;
  int64_t v = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (start <= line.size()) {
    const size_t space = line.find(' ', start);
    if (space == std::string::npos) {
      fields.push_back(line.substr(start));
      break;
    }
    fields.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  return fields;
}

struct CipherContext {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
};

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

bool Seal(const std::string& key, const std::string& nonce, const std::string& aad, const std::string& plain,
          std::string* cipher, std::string* tag) {
  CipherContext c;
  int len = 0;
  cipher->assign(plain.size(), '\0');
  tag->assign(kTagBytes, '\0');
  if (c.ctx == nullptr || EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes), nullptr) != 1 ||
      EVP_EncryptInit_ex(c.ctx, nullptr, nullptr, Bytes(key), Bytes(nonce)) != 1 ||
      EVP_EncryptUpdate(c.ctx, nullptr, &len, Bytes(aad), static_cast<int>(aad.size())) != 1) {
    return false;
  }
  if (!plain.empty() && EVP_EncryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(cipher->data()), &len,
                                          Bytes(plain), static_cast<int>(plain.size())) != 1) {
    return false;
  }
  unsigned char rest[16];
  return EVP_EncryptFinal_ex(c.ctx, rest, &len) == 1 &&
         EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), tag->data()) == 1;
}

bool Unseal(const std::string& key, const std::string& nonce, const std::string& aad, const std::string& cipher,
          const std::string& tag, std::string* plain) {
  CipherContext c;
  int len = 0;
  plain->assign(cipher.size(), '\0');
  std::string expected = tag;
  if (c.ctx == nullptr || EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes), nullptr) != 1 ||
      EVP_DecryptInit_ex(c.ctx, nullptr, nullptr, Bytes(key), Bytes(nonce)) != 1 ||
      EVP_DecryptUpdate(c.ctx, nullptr, &len, Bytes(aad), static_cast<int>(aad.size())) != 1) {
    return false;
  }
  if (!cipher.empty() && EVP_DecryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(plain->data()), &len,
                                           Bytes(cipher), static_cast<int>(cipher.size())) != 1) {
    return false;
  }
  unsigned char rest[16];
  return EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes), expected.data()) == 1 &&
         EVP_DecryptFinal_ex(c.ctx, rest, &len) == 1;
}

std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) return {};
  return bytes;
}

// The part of an entry's line that its tag authenticates, the trailing blank
// included. The earlier format has no sequence number.
std::string LinePrefix(const CJournalEntry& e, bool with_seq = true) {
  std::string prefix = platform::Format("E %016llX %d %lld %d ", static_cast<unsigned long long>(e.m_Key), e.m_Tries,
                                        static_cast<long long>(e.m_Created), e.m_TranCode) +
                       TextField(e.m_Amount) + " " + TextField(e.m_AcctLast4) + " " + TextField(e.m_ClientAddress) +
                       " ";
  if (with_seq) prefix += TextField(e.m_SeqNo) + " ";
  return prefix;
}

// The journal and its key are their owner's only, whatever mode an older file had.
bool WritePrivateFile(const std::string& path, const std::string& bytes, std::string* error) {
  if (!platform::fs::ReplacePrivateFile(path, bytes)) {
    *error = platform::Format("%s could not be written (%s)", path.c_str(), std::strerror(errno));
    return false;
  }
  error->clear();
  return true;
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A name beside path that no file has yet: path + "." + tag + "-YYYYMMDD-HHMMSS",
// with "-2", "-3", ... when that is taken.
std::string NameAside(const std::string& path, const char* tag) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = path + "." + tag + "-" + stamp;
  std::string name = base;
  for (int n = 2; platform::fs::FileExists(name) || platform::fs::FolderExists(name); ++n) {
    name = base + "-" + std::to_string(n);
  }
  return name;
}

// Moves path to a name of its own (NameAside); "" when it could not be moved.
std::string KeepAside(const std::string& path, const char* tag) {
  const std::string aside = NameAside(path, tag);
  return platform::fs::MoveToNewName(path, aside) ? aside : std::string();
}

bool IsReversalMessage(const CElavonTran& tran) { return tran.m_Family == kTranFamilyReversal; }

std::string LastFour(const std::string& acct) { return acct.size() > 4 ? acct.substr(acct.size() - 4) : acct; }

std::string Describe(const CJournalEntry& e) {
  char when[32] = "?";
  const std::time_t created = static_cast<std::time_t>(e.m_Created);
  std::tm local{};
  if (e.m_Created > 0 && localtime_r(&created, &local)) std::strftime(when, sizeof when, "%m/%d/%Y %H:%M:%S", &local);
  return platform::Format("Acct:XXX...%s AMT:%s Seq:%s code %d of %s at %s", e.m_AcctLast4.c_str(),
                          e.m_Amount.c_str(), e.m_SeqNo.empty() ? "?" : e.m_SeqNo.c_str(), e.m_TranCode,
                          e.m_ClientAddress.c_str(), when);
}

// Reads one line of the file into *e. False with *why set when it is not an entry.
bool ReadLine(const std::string& line, const std::string& key, CJournalEntry* e, const char** why) {
  const std::vector<std::string> f = SplitFields(line);
  const bool with_seq = f.size() == 12;
  if ((f.size() != 11 && !with_seq) || f[0] != "E" || f[1].size() != 16) {
    *why = "not an entry";
    return false;
  }
  const size_t n = with_seq ? 9 : 8;  // the nonce's field
  std::string key_bytes, nonce, cipher, tag;
  int64_t tries = 0, created = 0, code = 0;
  if (!FromHex(f[1], &key_bytes) || !ReadNumber(f[2], 0, 1000000, &tries) ||
      !ReadNumber(f[3], 0, INT64_MAX / 2, &created) || !ReadNumber(f[4], 0, 1000000, &code) ||
      !ReadTextField(f[5], &e->m_Amount) || !ReadTextField(f[6], &e->m_AcctLast4) ||
      !ReadTextField(f[7], &e->m_ClientAddress) || (with_seq && !ReadTextField(f[8], &e->m_SeqNo)) ||
      !FromHex(f[n], &nonce) || nonce.size() != kNonceBytes || !FromHex(f[n + 1], &cipher) ||
      !FromHex(f[n + 2], &tag) || tag.size() != kTagBytes) {
    *why = "a field cannot be read";
    return false;
  }
  for (unsigned char c : key_bytes) e->m_Key = (e->m_Key << 8) | c;
  e->m_Tries = static_cast<int>(tries);
  e->m_Created = created;
  e->m_TranCode = static_cast<int>(code);
  const std::string prefix = LinePrefix(*e, with_seq);
  if (e->m_Key == 0 || prefix + f[n] + " " + f[n + 1] + " " + f[n + 2] != line) {
    *why = "not an entry";
    return false;
  }
  if (key.empty() || !Unseal(key, nonce, prefix, cipher, tag, &e->m_Reversal)) {
    *why = "fails its check (damaged, or written under another key)";
    return false;
  }
  return true;
}

// Takes the file's lines one by one: the entries, the number of lines that are not,
// and the first few of those described (with what their clear fields say when
// describe is set).
class CLineReader {
 public:
  CLineReader(const std::string& key, std::vector<CJournalEntry>* entries, size_t* bad,
              std::vector<std::string>* problems, bool describe)
      : m_Key(key), m_Entries(entries), m_Bad(bad), m_Problems(problems), m_Describe(describe) {}

  // whole: the line ended with its line end.
  void Take(const std::string& line, bool whole) {
    ++m_Number;
    if (m_Number == 1) {
      if ((line != kHeader && line != kHeaderV1) || !whole) Note("the header is damaged", std::string());
      return;
    }
    if (line.empty() && whole) return;
    CJournalEntry e;
    const char* why = "cut short";
    if (!whole || !ReadLine(line, m_Key, &e, &why)) {
      Note(why, m_Describe ? CReversalJournal::DescribeLine(line) : std::string());
      return;
    }
    if (std::any_of(m_Entries->begin(), m_Entries->end(), [&](const CJournalEntry& o) { return o.m_Key == e.m_Key; })) {
      Note("repeats an entry", std::string());
      return;
    }
    m_Entries->push_back(std::move(e));
  }

 private:
  void Note(const char* why, const std::string& known) {
    ++*m_Bad;
    if (m_Problems->size() >= kDescribedProblems) return;
    m_Problems->push_back(platform::Format("line %zu: %s", m_Number, why) + (known.empty() ? "" : " (" + known + ")"));
  }

  const std::string& m_Key;
  std::vector<CJournalEntry>* m_Entries;
  size_t* m_Bad;
  std::vector<std::string>* m_Problems;
  bool m_Describe;
  size_t m_Number = 0;
};

// Reads the file line by line (its size does not matter). False when it cannot be
// read at all.
bool ReadJournalFile(const std::string& path, const std::string& key, std::vector<CJournalEntry>* entries,
                     size_t* bad, std::vector<std::string>* problems) {
  std::ifstream in(platform::fs::NativePath(path), std::ios::binary);
  if (!in) return false;
  CLineReader reader(key, entries, bad, problems, /*describe=*/true);
  std::string line;
  while (std::getline(in, line)) reader.Take(line, !in.eof());
  return !in.bad();
}

// How many lines after the header the file holds (0 when it cannot be read).
size_t CountEntryLines(const std::string& path) {
  std::ifstream in(platform::fs::NativePath(path), std::ios::binary);
  std::string line;
  size_t count = 0;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (number > 1 && !line.empty()) ++count;
  }
  return count;
}

}  // namespace

CReversalJournal g_ReversalJournal;

std::string CReversalJournal::DefaultPath() { return kReversalJournalFile; }

std::string CReversalJournal::DefaultKeyPath() {
  const std::string root = platform::capi::ContainerRoot();
  return root.empty() ? std::string() : root + "/" + kReversalJournalKeyFile;
}

std::string CReversalJournal::Encode(const std::vector<CJournalEntry>& entries, const std::string& key) {
  std::string text = std::string(kHeader) + "\n";
  for (const CJournalEntry& e : entries) {
    const std::string nonce = RandomBytes(kNonceBytes);
    const std::string prefix = LinePrefix(e);
    std::string cipher, tag;
    if (nonce.size() != kNonceBytes || !Seal(key, nonce, prefix, e.m_Reversal, &cipher, &tag)) continue;
    text += prefix + ToHex(nonce) + " " + ToHex(cipher) + " " + ToHex(tag) + "\n";
  }
  return text;
}

std::vector<CJournalEntry> CReversalJournal::Decode(const std::string& text, const std::string& key,
                                                    std::vector<std::string>* problems, size_t* bad) {
  std::vector<CJournalEntry> entries;
  size_t count = 0;
  CLineReader reader(key, &entries, &count, problems, /*describe=*/false);
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const bool whole = end != std::string::npos;
    reader.Take(text.substr(start, whole ? end - start : std::string::npos), whole);
    start = whole ? end + 1 : text.size();
  }
  if (bad) *bad = count;
  return entries;
}

std::string CReversalJournal::DescribeLine(const std::string& line) {
  const std::vector<std::string> f = SplitFields(line);
  if ((f.size() != 11 && f.size() != 12) || f[0] != "E") return std::string();
  CJournalEntry e;
  int64_t created = 0, code = 0;
  if (!ReadNumber(f[3], 0, INT64_MAX / 2, &created) || !ReadNumber(f[4], 0, 1000000, &code) ||
      !ReadTextField(f[5], &e.m_Amount) || !ReadTextField(f[6], &e.m_AcctLast4) ||
      !ReadTextField(f[7], &e.m_ClientAddress) || (f.size() == 12 && !ReadTextField(f[8], &e.m_SeqNo))) {
    return std::string();
  }
  // The card's last four digits at most: never more of the line than that.
  e.m_AcctLast4 = LastFour(e.m_AcctLast4);
  e.m_Created = created;
  e.m_TranCode = static_cast<int>(code);
  return Describe(e);
}

bool CReversalJournal::Open(const std::string& path, const std::string& key_path, CJournalOpenReport* report) {
  Lines log;
  bool result = false;
  {
    platform::MutexLock lock(m_Lock);
    std::vector<std::string>& messages = report->m_Messages;
    std::vector<std::string>& alerts = report->m_Alerts;
    messages.clear();
    alerts.clear();
    m_Open = false;
    m_Writable = false;
    m_Entries.clear();
    m_Key.clear();
    m_Path = path;
    const auto refuse = [&](const std::string& why) {
      messages.push_back("Reversal journal closed: " + why);
      alerts.push_back("The reversal journal cannot be used (" + why +
                       "). Sales that may need a reversal are refused until it can.");
      return false;
    };

    // The key. One that is missing or cannot be used is never replaced over entries
    // it alone can read: those are kept aside first, and named.
    if (key_path.empty()) return refuse("no folder for its key");
    std::string key;
    const bool key_file = platform::fs::FileExists(key_path);
    if (key_file && (!platform::fs::ReadFile(key_path, &key) || key.size() != kKeyBytes)) {
      const std::string aside = KeepAside(key_path, "unusable");
      if (aside.empty()) return refuse("its key " + key_path + " cannot be used and cannot be moved aside");
      messages.push_back("Reversal journal key " + key_path + " cannot be used: kept as " + aside);
      key.clear();
    }
    if (key.empty()) {
      if (platform::fs::FileExists(path)) {
        const size_t lines = CountEntryLines(path);
        std::vector<CJournalEntry> none;
        size_t unreadable = 0;
        std::vector<std::string> problems;
        if (!ReadJournalFile(path, std::string(), &none, &unreadable, &problems)) {
          return refuse(path + " cannot be read");
        }
        if (lines > 0) {
          const std::string aside = KeepAside(path, "unreadable");
          if (aside.empty()) return refuse(path + " holds entries that its missing key alone can read");
          messages.push_back(platform::Format(
              "Reversal journal %s: %zu entr%s cannot be read without the key that is gone; the file is kept as %s",
              path.c_str(), lines, lines == 1 ? "y" : "ies", aside.c_str()));
          for (const std::string& problem : problems) messages.push_back("Reversal journal lost " + problem);
          if (lines > problems.size()) {
            messages.push_back(platform::Format("Reversal journal lost %zu more line(s) not listed",
                                                lines - problems.size()));
          }
          alerts.push_back(platform::Format(
              "%zu reversal(s) the server may owe the host could not be read (the key of the reversal journal is "
              "missing). Check these transactions with the processor; the log lists them and the file is kept as %s.",
              lines, aside.c_str()));
        }
      }
      const std::string folder = ParentFolder(key_path);
      if (!folder.empty() && !platform::fs::FolderExists(folder)) {
        if (!platform::fs::CreatePrivateFolder(folder)) return refuse("the folder of its key cannot be made: " + folder);
      }
      key = RandomBytes(kKeyBytes);
      std::string error;
      if (key.size() != kKeyBytes || !WritePrivateFile(key_path, key, &error)) {
        return refuse("its key cannot be made: " + error);
      }
      messages.push_back("Reversal journal key made: " + key_path);
    }

    // The entries of an earlier run: all owed, due now. Lines that cannot be read
    // are named, and the file as it was is kept under a name of its own.
    if (platform::fs::FileExists(path) || platform::fs::FolderExists(path)) {
      size_t bad = 0;
      std::vector<std::string> problems;
      if (platform::fs::FolderExists(path) || !ReadJournalFile(path, key, &m_Entries, &bad, &problems)) {
        m_Entries.clear();
        return refuse(path + " cannot be read");
      }
      if (bad > 0) {
        for (const std::string& problem : problems) {
          messages.push_back("Reversal journal " + path + ": " + problem + " - left out");
        }
        if (bad > problems.size()) {
          messages.push_back(platform::Format("Reversal journal %s: %zu more line(s) left out, not listed",
                                              path.c_str(), bad - problems.size()));
        }
        // A second name for the file as read; the rewrite below gives the journal's
        // name a new file and leaves this one as it was.
        std::string copy = NameAside(path, "bad");
        if (!platform::fs::KeepAsNewName(path, copy, kFileMode)) {
          copy = platform::Format("(not kept: %s)", std::strerror(errno));
        }
        messages.push_back("Reversal journal: the file as read is kept as " + copy);
        alerts.push_back(platform::Format(
            "%zu line(s) of the reversal journal could not be read. Check the transactions the log lists with the "
            "processor; the file as read is kept as %s.",
            bad, copy.c_str()));
      }
    }
    const uint32_t now = platform::TickCount();
    for (CJournalEntry& e : m_Entries) {
      e.m_Phase = JournalPhase::kOwed;
      e.m_InExchange = false;
      e.m_DueTick = now;
      TouchLocked(e);
    }
    m_Key = key;
    m_Open = true;
    if (!WriteLocked(&log)) {
      messages.push_back("Reversal journal cannot be written: " + m_WriteError);
      alerts.push_back("The reversal journal cannot be written (" + m_WriteError +
                       "). Sales that may need a reversal are refused until it can.");
    } else {
      result = true;
    }
    messages.push_back(platform::Format("Reversal journal %s open: %zu owed reversal(s) from an earlier run",
                                        path.c_str(), m_Entries.size()));
  }
  Log(log);
  return result;
}

bool CReversalJournal::IsOpen() const {
  platform::MutexLock lock(m_Lock);
  return m_Open;
}

void CReversalJournal::Close() {
  platform::MutexLock lock(m_Lock);
  m_Open = false;
  m_Writable = false;
  m_Entries.clear();
  m_Key.clear();
}

void CReversalJournal::Log(const Lines& lines) {
  if (lines.empty()) return;
  CLogger& logger = m_Logger ? *m_Logger : GetLogger();
  for (const std::string& line : lines) logger.LogText(line);
}

bool CReversalJournal::WriteLocked(Lines* log) {
  const bool was_writable = m_Writable;
  m_Writable = WritePrivateFile(m_Path, Encode(m_Entries, m_Key), &m_WriteError);
  if (!m_Writable && was_writable) {
    log->push_back("Reversal journal could not be written: " + m_WriteError + " - it is written again at the next change");
  } else if (m_Writable && !was_writable && m_ChangeCount > 0 && !m_Entries.empty()) {
    log->push_back("Reversal journal written again: " + m_Path);
  }
  return m_Writable;
}

CJournalEntry* CReversalJournal::FindLocked(uint64_t key) {
  if (key == 0) return nullptr;
  for (CJournalEntry& e : m_Entries) {
    if (e.m_Key == key) return &e;
  }
  return nullptr;
}

void CReversalJournal::EraseLocked(uint64_t key, Lines* log) {
  const auto it = std::find_if(m_Entries.begin(), m_Entries.end(), [key](const CJournalEntry& e) { return e.m_Key == key; });
  if (it == m_Entries.end()) return;
  m_Entries.erase(it);
  ++m_ChangeCount;
  WriteLocked(log);
}

void CReversalJournal::OweLocked(CJournalEntry& e, bool failed_try, const char* why, Lines* log) {
  const bool was_owed = e.Owed();
  e.m_Phase = JournalPhase::kOwed;
  e.m_InExchange = false;
  TouchLocked(e);
  if (failed_try) ++e.m_Tries;
  const uint32_t pause = failed_try ? PauseAfterLocked(e.m_Tries) : 0;
  e.m_DueTick = platform::TickCount() + pause;
  if (!was_owed) {
    log->push_back(platform::Format("Reversal owed to the host for %s AMT:%s kept in the reversal journal - "
                                    "next try in %u s (%s)",
                                    e.m_ClientAddress.c_str(), e.m_Amount.c_str(), (pause + 999) / 1000, why));
  }
  if (failed_try) WriteLocked(log);  // the count of tries is on disk
}

bool CReversalJournal::Record(const CJournalEntry& entry, uint64_t* key) {
  Lines log;
  bool written = false;
  {
    platform::MutexLock lock(m_Lock);
    if (!m_Open) return false;
    CJournalEntry* existing = FindLocked(*key);
    if (existing == nullptr) {
      CJournalEntry fresh = entry;
      do {
        const std::string bytes = RandomBytes(8);
        fresh.m_Key = 0;
        for (unsigned char c : bytes) fresh.m_Key = (fresh.m_Key << 8) | c;
      } while (fresh.m_Key == 0 || FindLocked(fresh.m_Key) != nullptr);
      fresh.m_Tries = 0;
      fresh.m_Created = static_cast<int64_t>(std::time(nullptr));
      TouchLocked(fresh);
      m_Entries.push_back(fresh);
      *key = fresh.m_Key;
    } else {
      const CJournalEntry kept = *existing;
      *existing = entry;
      existing->m_Key = kept.m_Key;
      existing->m_Tries = kept.m_Tries;
      existing->m_Created = kept.m_Created;
      TouchLocked(*existing);
    }
    written = WriteLocked(&log);
  }
  Log(log);
  return written;
}

bool CReversalJournal::Sent(CElavonTran& tran, const std::string& reversal) {
  const bool is_reversal = IsReversalMessage(tran);
  const std::string& message = is_reversal ? tran.m_HostRequest : reversal;
  Lines log;
  bool allowed = true;
  {
    platform::MutexLock lock(m_Lock);
    CJournalEntry* e = FindLocked(tran.m_JournalKey);
    if (e == nullptr) {
      tran.m_JournalKey = 0;
      if (message.empty()) return true;  // nothing could cancel it: no entry
      if (!m_Open) {
        // A reversal only ever cancels: it goes even when it cannot be kept.
        if (is_reversal) return true;
        log.push_back("Reversal journal not open: request of " + tran.m_ClientAddress + " not sent");
        allowed = false;
      } else {
        CJournalEntry fresh;
        fresh.m_TranCode = is_reversal ? kCodeReversal : tran.m_TranCode;
        fresh.m_Amount = tran.m_Authorize;
        fresh.m_AcctLast4 = LastFour(tran.m_AcctNo);
        fresh.m_ClientAddress = tran.m_ClientAddress;
        fresh.m_SeqNo = tran.m_RequestSeqNo;
        fresh.m_Reversal = message;
        fresh.m_Phase = is_reversal ? JournalPhase::kReversing : JournalPhase::kUnderWay;
        fresh.m_InExchange = true;
        do {
          const std::string bytes = RandomBytes(8);
          fresh.m_Key = 0;
          for (unsigned char c : bytes) fresh.m_Key = (fresh.m_Key << 8) | c;
        } while (fresh.m_Key == 0 || FindLocked(fresh.m_Key) != nullptr);
        fresh.m_Created = static_cast<int64_t>(std::time(nullptr));
        TouchLocked(fresh);
        m_Entries.push_back(fresh);
        if (WriteLocked(&log) || is_reversal) {
          tran.m_JournalKey = fresh.m_Key;
        } else {
          // Not on disk: the exchange is not sent, so nothing is owed for it.
          m_Entries.pop_back();
          log.push_back("Reversal journal could not be written (" + m_WriteError + "): request of " +
                        tran.m_ClientAddress + " not sent");
          allowed = false;
        }
      }
    } else if (is_reversal) {
      e->m_Phase = JournalPhase::kReversing;
      e->m_InExchange = true;
      TouchLocked(*e);
      if (!message.empty() && message != e->m_Reversal) {
        e->m_Reversal = message;
        WriteLocked(&log);
      }
    } else if (e->m_Phase == JournalPhase::kOwed || e->m_Phase == JournalPhase::kReversing) {
      e->m_InExchange = true;  // owed all the same: what goes out now cannot undo that
    } else {
      // The next exchange of the transaction (its echo): what would cancel it now.
      e->m_Phase = JournalPhase::kUnderWay;
      e->m_InExchange = true;
      TouchLocked(*e);
      if (!message.empty() && message != e->m_Reversal) {
        e->m_Reversal = message;
        if (!tran.m_RequestSeqNo.empty()) e->m_SeqNo = tran.m_RequestSeqNo;
        WriteLocked(&log);  // the entry is on disk already: what it held still cancels
      }
    }
  }
  Log(log);
  return allowed;
}

void CReversalJournal::NotSent(const CElavonTran& tran) {
  Lines log;
  {
    platform::MutexLock lock(m_Lock);
    CJournalEntry* e = FindLocked(tran.m_JournalKey);
    if (e == nullptr) return;
    // Something of the transaction left before (the entry was made when it did):
    // what was to follow it not going leaves its reversal owed.
    OweLocked(*e, IsReversalMessage(tran), IsReversalMessage(tran) ? "reversal not sent" : "not confirmed", &log);
  }
  Log(log);
}

void CReversalJournal::Answered(const CElavonTran& tran) {
  Lines log;
  {
    platform::MutexLock lock(m_Lock);
    CJournalEntry* e = FindLocked(tran.m_JournalKey);
    if (e == nullptr) return;
    if (IsReversalMessage(tran)) {
      EraseLocked(tran.m_JournalKey, &log);
    } else {
      if (e->m_Phase == JournalPhase::kUnderWay) {
        e->m_Phase = JournalPhase::kAnswered;
        TouchLocked(*e);
      }
    }
  }
  Log(log);
}

void CReversalJournal::Confirmed(const CElavonTran& tran) { Answered(tran); }

void CReversalJournal::Delivered(const CElavonTran& tran) {
  Lines log;
  {
    platform::MutexLock lock(m_Lock);
    CJournalEntry* e = FindLocked(tran.m_JournalKey);
    if (e == nullptr) return;
    if (e->m_Phase == JournalPhase::kAnswered) {
      EraseLocked(tran.m_JournalKey, &log);
    } else if (e->m_Phase == JournalPhase::kUnderWay) {
      // A reply went out while the exchange's outcome was never told: nobody knows
      // what the host holds.
      OweLocked(*e, false, "reply delivered without a host answer", &log);
    }
  }
  Log(log);
}

void CReversalJournal::Undeliverable(const CElavonTran& tran, bool reversal_queued) {
  Lines log;
  {
    platform::MutexLock lock(m_Lock);
    CJournalEntry* e = FindLocked(tran.m_JournalKey);
    if (e == nullptr || e->m_Phase == JournalPhase::kOwed || e->m_Phase == JournalPhase::kReversing) return;
    if (e->m_Phase == JournalPhase::kAnswered && !tran.m_Approved) {
      EraseLocked(tran.m_JournalKey, &log);  // a decline: the host holds nothing
    } else if (reversal_queued) {
      e->m_Phase = JournalPhase::kReversing;
      e->m_InExchange = false;
      TouchLocked(*e);
    } else {
      OweLocked(*e, false, "approval not delivered", &log);
    }
  }
  Log(log);
}

void CReversalJournal::ReversalAnswered(const CElavonTran& tran) {
  Lines log;
  {
    platform::MutexLock lock(m_Lock);
    EraseLocked(tran.m_JournalKey, &log);
  }
  Log(log);
}

void CReversalJournal::ReversalFailed(const CElavonTran& tran) {
  Lines log;
  {
    platform::MutexLock lock(m_Lock);
    CJournalEntry* e = FindLocked(tran.m_JournalKey);
    if (e == nullptr) return;
    OweLocked(*e, true, "no answer to its reversal", &log);
  }
  Log(log);
}

void CReversalJournal::ExchangeEnded(const CElavonTran& tran) {
  platform::MutexLock lock(m_Lock);
  CJournalEntry* e = FindLocked(tran.m_JournalKey);
  if (e == nullptr || !e->m_InExchange) return;
  e->m_InExchange = false;
  TouchLocked(*e);
}

std::vector<CJournalEntry> CReversalJournal::TakeDue() {
  platform::MutexLock lock(m_Lock);
  std::vector<CJournalEntry> due;
  if (!m_Open) return due;
  const uint32_t now = platform::TickCount();
  for (CJournalEntry& e : m_Entries) {
    if (!e.Owed() || platform::TickDiff(now, e.m_DueTick) >= kHalfRange) continue;
    e.m_Phase = JournalPhase::kReversing;
    e.m_InExchange = false;
    TouchLocked(e);
    due.push_back(e);
  }
  return due;
}

uint64_t CReversalJournal::ChangeCount() const {
  platform::MutexLock lock(m_Lock);
  return m_ChangeCount;
}

size_t CReversalJournal::OweUnheld(const std::set<uint64_t>& held, uint64_t before) {
  Lines log;
  size_t owed = 0;
  {
    platform::MutexLock lock(m_Lock);
    for (CJournalEntry& e : m_Entries) {
      if (e.Owed() || e.m_InExchange || e.m_Changed > before || held.count(e.m_Key) != 0) continue;
      OweLocked(e, false, "its record left the queue without a final outcome", &log);
      ++owed;
    }
  }
  Log(log);
  return owed;
}

bool CReversalJournal::Flush() {
  Lines log;
  bool written = true;
  {
    platform::MutexLock lock(m_Lock);
    if (m_Open && !m_Writable) written = WriteLocked(&log);
  }
  Log(log);
  return written;
}

bool CReversalJournal::Find(uint64_t key, CJournalEntry* entry) const {
  platform::MutexLock lock(m_Lock);
  for (const CJournalEntry& e : m_Entries) {
    if (e.m_Key == key) {
      *entry = e;
      return true;
    }
  }
  return false;
}

size_t CReversalJournal::Count() const {
  platform::MutexLock lock(m_Lock);
  return m_Entries.size();
}

std::string CReversalJournal::LastWriteError() const {
  platform::MutexLock lock(m_Lock);
  return m_WriteError;
}

void CReversalJournal::SetRetryPauses(uint32_t first_ms, uint32_t max_ms) {
  platform::MutexLock lock(m_Lock);
  m_FirstPauseMs = first_ms;
  m_MaxPauseMs = max_ms;
}

uint32_t CReversalJournal::PauseAfter(int tries) const {
  platform::MutexLock lock(m_Lock);
  return PauseAfterLocked(tries);
}

uint32_t CReversalJournal::PauseAfterLocked(int tries) const {
  uint64_t pause = m_FirstPauseMs;
  for (int i = 1; i < tries && pause < m_MaxPauseMs; ++i) pause *= 2;
  return static_cast<uint32_t>(std::min<uint64_t>(pause, m_MaxPauseMs));
}
