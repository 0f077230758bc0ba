#include "platform/capi/key_container.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <openssl/crypto.h>

#include "platform/fs/files.h"
#include "platform/sync/mutex.h"
#include "platform/text/format.h"

namespace platform::capi {
namespace {

// A key file is a few kilobytes at most; anything much larger is not one.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;

platform::Mutex g_root_mu;
std::string g_root_override GUARDED_BY(g_root_mu);

std::string EnvFolder(const char* name) {
  const char* value = std::getenv(name);
  // XDG folders must be absolute; a relative or empty value is ignored.
  if (value == nullptr || value[0] != '/') return {};
  std::string folder(value);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string FolderOf(const std::string& name) {
  const std::string root = ContainerRoot();
  return root.empty() ? std::string() : root + "/" + name;
}

DWORD LastErrorOr(DWORD fallback) {
  const DWORD code = GetLastError();
  return code != 0 ? code : fallback;
}

}  // namespace

std::string ContainerRoot() {
  {
    platform::MutexLock lock(g_root_mu);
    if (!g_root_override.empty()) return g_root_override;
  }
  if (std::string home = EnvFolder("KVR_HOME"); !home.empty()) return home + "/keys";
  if (std::string data = EnvFolder("XDG_DATA_HOME"); !data.empty()) return data + "/Quillon Applications/keys";
  if (std::string home = EnvFolder("HOME"); !home.empty()) return home + "/.local/share/Quillon Applications/keys";
  return {};
}

void SetContainerRootForTesting(const std::string& root) {
  platform::MutexLock lock(g_root_mu);
  g_root_override = root;
}

namespace container {

bool IsValidName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

DWORD Open(const std::string& name, std::string* folder, std::shared_ptr<const RsaKeyPair>* exchange) {
  exchange->reset();
  *folder = FolderOf(name);
  if (folder->empty() || !fs::FolderExists(*folder)) return NTE_BAD_KEYSET;
  // The folder of the keys is its owner's only, also where an older version left it
  // open to others.
  fs::CreatePrivateFolder(ContainerRoot());
  const std::string path = *folder + "/" + kExchangeKeyFile;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : NTE_BAD_KEYSET;
  if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxKeyFileBytes) return NTE_BAD_KEYSET;
  std::string pem;
  if (!fs::ReadFile(path, &pem)) return NTE_BAD_KEYSET;
  *exchange = RsaKeyPair::FromPem(pem);
  OPENSSL_cleanse(pem.data(), pem.size());
  return *exchange ? 0 : NTE_BAD_KEYSET;
}

DWORD Create(const std::string& name, std::string* folder) {
  *folder = FolderOf(name);
  if (folder->empty()) return NTE_FAIL;
  if (fs::FolderExists(*folder)) return NTE_EXISTS;
  SetLastError(0);
  // A folder that is there but cannot be tightened (another owner's) still serves.
  if (!fs::CreatePrivateFolder(ContainerRoot()) && !fs::FolderExists(ContainerRoot())) return LastErrorOr(NTE_FAIL);
  if (::mkdir(folder->c_str(), 0700) != 0) {
    return errno == EEXIST ? NTE_EXISTS : ErrorCodeFromErrno(errno);
  }
  return 0;
}

DWORD Delete(const std::string& name) {
  const std::string folder = FolderOf(name);
  if (folder.empty() || !fs::FolderExists(folder)) return NTE_BAD_KEYSET;
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  if (ec) return ErrorCodeFromErrno(ec.value());
  return 0;
}

DWORD SaveExchangeKey(const std::string& folder, const RsaKeyPair& key) {
  std::string pem = key.ToPem();
  if (pem.empty()) return NTE_FAIL;
  const std::string path = folder + "/" + kExchangeKeyFile;
  // A replacement keeps the mode of the file it replaces, so a key file that someone
  // opened up is closed again before the new key goes into it.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 07777) != 0600) ::chmod(path.c_str(), 0600);
  SetLastError(0);
  const bool ok = fs::ReplaceFile(path, pem, 0600);
  OPENSSL_cleanse(pem.data(), pem.size());
  return ok ? 0 : LastErrorOr(NTE_FAIL);
}

}  // namespace container
}  // namespace platform::capi
