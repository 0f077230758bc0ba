#include "core/queue/reversal_journal.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/tran/tran_codes.h"
#include "platform/capi/capi.h"
#include "platform/fs/files.h"
#include "platform/sync/tick.h"
#include "platform/text/format.h"

namespace {

constexpr char kHeader[] = "KVR reversal journal 1";
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

// The part of an entry's line that its tag authenticates, the trailing blank included.
std::string LinePrefix(const CJournalEntry& e) {
  return platform::Format("E %016llX %d %lld %d ", static_cast<unsigned long long>(e.m_Key), e.m_Tries,
                          static_cast<long long>(e.m_Created), e.m_TranCode) +
         TextField(e.m_Amount) + " " + TextField(e.m_AcctLast4) + " " + TextField(e.m_ClientAddress) + " ";
}

bool ReplacePrivateFile(const std::string& path, const std::string& bytes, std::string* error) {
  if (!platform::fs::ReplaceFile(path, bytes, kFileMode)) {
    *error = platform::Format("%s could not be written (%s)", path.c_str(), std::strerror(errno));
    return false;
  }
  // An older file may have been given a wider mode: the journal is its owner's only.
  if (::chmod(platform::fs::NativePath(path).c_str(), kFileMode) != 0) {
    *error = platform::Format("%s mode could not be set (%s)", path.c_str(), std::strerror(errno));
    return false;
  }
  error->clear();
  return true;
}

std::string ParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
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
                                                    std::vector<std::string>* problems) {
  std::vector<CJournalEntry> entries;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const bool whole = end != std::string::npos;
    const std::string line = text.substr(start, whole ? end - start : std::string::npos);
    start = whole ? end + 1 : text.size();
    ++number;
    const auto bad = [&](const char* why) { problems->push_back(platform::Format("line %d: %s", number, why)); };
    if (number == 1) {
      if (line != kHeader || !whole) bad("the header is damaged");
      continue;
    }
    if (line.empty() && whole) continue;
    const std::vector<std::string> f = SplitFields(line);
    if (!whole) {
      bad("cut short");
      continue;
    }
    if (f.size() != 11 || f[0] != "E" || f[1].size() != 16) {
      bad("not an entry");
      continue;
    }
    CJournalEntry e;
    std::string key_bytes, nonce, cipher, tag;
    int64_t tries = 0, created = 0, code = 0;
    if (!FromHex(f[1], &key_bytes) || !ReadNumber(f[2], 0, 1000000, &tries) ||
        !ReadNumber(f[3], 0, INT64_MAX / 2, &created) || !ReadNumber(f[4], 0, 1000000, &code) ||
        !ReadTextField(f[5], &e.m_Amount) || !ReadTextField(f[6], &e.m_AcctLast4) ||
        !ReadTextField(f[7], &e.m_ClientAddress) || !FromHex(f[8], &nonce) || nonce.size() != kNonceBytes ||
        !FromHex(f[9], &cipher) || !FromHex(f[10], &tag) || tag.size() != kTagBytes) {
      bad("a field cannot be read");
      continue;
    }
    for (unsigned char c : key_bytes) e.m_Key = (e.m_Key << 8) | c;
    e.m_Tries = static_cast<int>(tries);
    e.m_Created = created;
    e.m_TranCode = static_cast<int>(code);
    if (e.m_Key == 0 || LinePrefix(e) + f[8] + " " + f[9] + " " + f[10] != line) {
      bad("not an entry");
      continue;
    }
    if (!Unseal(key, nonce, LinePrefix(e), cipher, tag, &e.m_Reversal)) {
      bad("fails its check (damaged, or written under another key)");
      continue;
    }
    if (std::any_of(entries.begin(), entries.end(), [&](const CJournalEntry& o) { return o.m_Key == e.m_Key; })) {
      bad("repeats an entry");
      continue;
    }
    entries.push_back(std::move(e));
  }
  return entries;
}

bool CReversalJournal::Open(const std::string& path, const std::string& key_path,
                            std::vector<std::string>* messages) {
  platform::MutexLock lock(m_Lock);
  messages->clear();
  m_Open = false;
  m_Entries.clear();
  m_Path = path;

  // The key.
  if (key_path.empty()) {
    messages->push_back("Reversal journal closed: no folder for its key");
    return false;
  }
  std::string key;
  if (platform::fs::FileExists(key_path)) {
    if (!platform::fs::ReadFile(key_path, &key) || key.size() != kKeyBytes) {
      messages->push_back("Reversal journal closed: its key " + key_path + " cannot be used");
      return false;
    }
  } else {
    const std::string folder = ParentFolder(key_path);
    if (!folder.empty() && !platform::fs::FolderExists(folder)) {
      if (!platform::fs::CreatePrivateFolder(folder)) {
        messages->push_back("Reversal journal closed: the folder of its key cannot be made: " + folder);
        return false;
      }
    }
    key = RandomBytes(kKeyBytes);
    std::string error;
    if (key.size() != kKeyBytes || !ReplacePrivateFile(key_path, key, &error)) {
      messages->push_back("Reversal journal closed: its key cannot be made: " + error);
      return false;
    }
    messages->push_back("Reversal journal key made: " + key_path);
  }

  // The entries of an earlier run: all owed, due now.
  std::vector<std::string> problems;
  m_BadCopy.clear();
  if (platform::fs::FileExists(path)) {
    std::string text;
    if (!platform::fs::ReadFile(path, &text)) {
      messages->push_back("Reversal journal closed: " + path + " cannot be read");
      return false;
    }
    m_Entries = Decode(text, key, &problems);
    if (!problems.empty()) m_BadCopy = text;
  }
  const uint32_t now = platform::TickCount();
  for (CJournalEntry& e : m_Entries) {
    e.m_Owed = true;
    e.m_DueTick = now;
  }
  for (const std::string& problem : problems) {
    messages->push_back("Reversal journal " + path + ": " + problem + " - left out");
  }
  if (!m_BadCopy.empty()) {
    const std::string copy = path + ".bad";
    std::string error;
    if (ReplacePrivateFile(copy, m_BadCopy, &error)) {
      messages->push_back("Reversal journal: the file as read is kept as " + copy);
    } else {
      messages->push_back("Reversal journal: " + error);
    }
    m_BadCopy.clear();
  }
  m_Key = key;
  if (!WriteLocked()) {
    messages->push_back("Reversal journal closed: " + m_WriteError);
    m_Entries.clear();
    return false;
  }
  messages->push_back(platform::Format("Reversal journal %s open: %zu owed reversal(s) from an earlier run",
                                       path.c_str(), m_Entries.size()));
  m_Open = true;
  return true;
}

bool CReversalJournal::IsOpen() const {
  platform::MutexLock lock(m_Lock);
  return m_Open;
}

void CReversalJournal::Close() {
  platform::MutexLock lock(m_Lock);
  m_Open = false;
  m_Entries.clear();
  m_Key.clear();
}

bool CReversalJournal::WriteLocked() {
  return ReplacePrivateFile(m_Path, Encode(m_Entries, m_Key), &m_WriteError);
}

CJournalEntry* CReversalJournal::FindLocked(uint64_t key) {
  for (CJournalEntry& e : m_Entries) {
    if (e.m_Key == key) return &e;
  }
  return nullptr;
}

bool CReversalJournal::Record(const CJournalEntry& entry, uint64_t* key) {
  platform::MutexLock lock(m_Lock);
  if (!m_Open) return false;
  CJournalEntry* existing = *key != 0 ? FindLocked(*key) : nullptr;
  if (existing == nullptr) {
    CJournalEntry fresh = entry;
    do {
      const std::string bytes = RandomBytes(8);
      fresh.m_Key = 0;
      for (unsigned char c : bytes) fresh.m_Key = (fresh.m_Key << 8) | c;
    } while (fresh.m_Key == 0 || FindLocked(fresh.m_Key) != nullptr);
    fresh.m_Tries = 0;
    fresh.m_Created = static_cast<int64_t>(std::time(nullptr));
    fresh.m_Owed = false;
    m_Entries.push_back(fresh);
    *key = fresh.m_Key;
  } else {
    const int tries = existing->m_Tries;
    const int64_t created = existing->m_Created;
    *existing = entry;
    existing->m_Key = *key;
    existing->m_Tries = tries;
    existing->m_Created = created;
    existing->m_Owed = false;
  }
  return WriteLocked();
}

bool CReversalJournal::RecordReversal(CElavonTran& tran, const std::string& reversal) {
  if (reversal.empty()) return true;
  CJournalEntry entry;
  if (tran.m_JournalKey == 0 || !Find(tran.m_JournalKey, &entry)) tran.m_JournalKey = 0;
  entry.m_Reversal = reversal;
  if (tran.m_TranCode != kCodeReversal || entry.m_TranCode == 0) entry.m_TranCode = tran.m_TranCode;
  if (!tran.m_Authorize.empty()) entry.m_Amount = tran.m_Authorize;
  if (!tran.m_AcctNo.empty()) {
    entry.m_AcctLast4 = tran.m_AcctNo.size() > 4 ? tran.m_AcctNo.substr(tran.m_AcctNo.size() - 4) : tran.m_AcctNo;
  }
  if (entry.m_ClientAddress.empty()) entry.m_ClientAddress = tran.m_ClientAddress;
  return Record(entry, &tran.m_JournalKey);
}

bool CReversalJournal::MarkOwed(uint64_t key, uint32_t* pause_ms) {
  platform::MutexLock lock(m_Lock);
  CJournalEntry* e = m_Open ? FindLocked(key) : nullptr;
  if (e == nullptr) return false;
  if (!e->m_Owed) {
    e->m_Owed = true;
    ++e->m_Tries;
    e->m_DueTick = platform::TickCount() + PauseAfterLocked(e->m_Tries);
    WriteLocked();  // only the count of tries changes on disk; a failure is kept for LastWriteError
  }
  if (pause_ms) *pause_ms = platform::TickDiff(e->m_DueTick, platform::TickCount());
  return true;
}

bool CReversalJournal::Clear(uint64_t key) {
  platform::MutexLock lock(m_Lock);
  if (!m_Open) return false;
  const auto it = std::find_if(m_Entries.begin(), m_Entries.end(), [key](const CJournalEntry& e) { return e.m_Key == key; });
  if (it == m_Entries.end()) return false;
  m_Entries.erase(it);
  WriteLocked();
  return true;
}

std::vector<CJournalEntry> CReversalJournal::TakeDue() {
  platform::MutexLock lock(m_Lock);
  std::vector<CJournalEntry> due;
  if (!m_Open) return due;
  const uint32_t now = platform::TickCount();
  for (CJournalEntry& e : m_Entries) {
    if (!e.m_Owed || platform::TickDiff(now, e.m_DueTick) >= kHalfRange) continue;
    e.m_Owed = false;
    due.push_back(e);
  }
  return due;
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
