#include "platform/tls/trust_store.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdlib>

namespace platform::tls {
namespace {

std::string Location(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr ? value : fallback;
}

// What identifies one loading of the anchors.
std::string CurrentKey(std::string* file, std::string* dir) {
  *file = Location(X509_get_default_cert_file_env(), X509_get_default_cert_file());
  *dir = Location(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
  std::string key = *file + '\n' + *dir + '\n';
  struct stat st {};
  if (::stat(file->c_str(), &st) == 0) {
    key += std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' + std::to_string(st.st_size) + ':' +
           std::to_string(st.st_mtim.tv_sec) + '.' + std::to_string(st.st_mtim.tv_nsec);
  }
  return key;
}

X509_STORE* Load(const std::string& file, const std::string& dir) {
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr) return nullptr;
  // Either location may be missing; what is there is used.
  X509_STORE_load_file(store, file.c_str());
  X509_STORE_load_path(store, dir.c_str());
  ERR_clear_error();
  return store;
}

}  // namespace

TrustStore::~TrustStore() { X509_STORE_free(store_); }

TrustStore& TrustStore::Instance() {
  // Never destroyed: chains may be checked by threads still running at exit.
  static TrustStore* instance = new TrustStore();
  return *instance;
}

X509_STORE* TrustStore::Current() {
  std::string file, dir;
  const std::string key = CurrentKey(&file, &dir);
  platform::MutexLock lock(mu_);
  if (store_ == nullptr || key != key_) {
    X509_STORE* fresh = Load(file, dir);
    if (fresh == nullptr) return nullptr;
    X509_STORE_free(store_);
    store_ = fresh;
    key_ = key;
  }
  X509_STORE_up_ref(store_);
  return store_;
}

}  // namespace platform::tls
