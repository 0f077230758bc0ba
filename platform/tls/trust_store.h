// The trust anchors for certificate chains: OpenSSL's default locations (the system
// bundle and folder), or the file and folder named by SSL_CERT_FILE / SSL_CERT_DIR.
// Loading the system bundle takes milliseconds, so the store is kept and loaded
// again only when the variables name other locations or the bundle file changed
// (another file, size or modification time). Certificates added to the folder are
// found at the next lookup without a reload.
// Thread-safe: Current takes the object's own mutex; OpenSSL stores may be used by
// several verifications at once.
#pragma once

#include <string>

#include "platform/sync/mutex.h"

typedef struct x509_store_st X509_STORE;

namespace platform::tls {

class TrustStore {
 public:
  TrustStore() = default;
  TrustStore(const TrustStore&) = delete;
  TrustStore& operator=(const TrustStore&) = delete;
  ~TrustStore();

  // A reference to the store for the current locations, which the caller frees
  // (X509_STORE_free); null when out of memory. A missing bundle gives an empty
  // store: nothing is trusted.
  X509_STORE* Current() EXCLUDES(mu_);

  // The process's instance.
  static TrustStore& Instance();

 private:
  platform::Mutex mu_;
  std::string key_ GUARDED_BY(mu_);
  X509_STORE* store_ GUARDED_BY(mu_) = nullptr;
};

}  // namespace platform::tls
