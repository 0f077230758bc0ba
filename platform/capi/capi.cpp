#include "platform/capi/capi.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/capi/handle_table.h"
#include "platform/capi/key_blob.h"
#include "platform/capi/key_container.h"
#include "platform/capi/rsa_key.h"
#include "platform/capi/session_key.h"
#include "platform/sync/mutex.h"
#include "platform/text/format.h"

namespace platform::capi {
namespace {

constexpr unsigned kDefaultRsaBits = 1024;
// The largest message a cipher call takes, leaving room for padding in an int.
constexpr DWORD kMaxCipherBytes = static_cast<DWORD>(INT_MAX - 64);
constexpr DWORD kMd5Bytes = 16;
constexpr DWORD kMinRejectionSecretBytes = 16;

// An open key container (or a container-less verify context). Owns a mutex over its
// cached exchange key pair; the other fields never change.
class Provider {
 public:
  Provider(bool verify_context, std::string folder, std::shared_ptr<const RsaKeyPair> exchange)
      : verify_context_(verify_context), folder_(std::move(folder)), exchange_(std::move(exchange)) {}
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  std::shared_ptr<const RsaKeyPair> exchange() const EXCLUDES(mu_) {
    platform::MutexLock lock(mu_);
    return exchange_;
  }

  // Makes pair the container's exchange key, on disk first unless this is a verify
  // context. Returns 0 or the error code.
  DWORD ReplaceExchange(std::shared_ptr<const RsaKeyPair> pair) EXCLUDES(mu_) {
    platform::MutexLock lock(mu_);
    if (!verify_context_) {
      if (const DWORD err = container::SaveExchangeKey(folder_, *pair); err != 0) return err;
    }
    exchange_ = std::move(pair);
    return 0;
  }

 private:
  const bool verify_context_;
  const std::string folder_;
  mutable platform::Mutex mu_;
  std::shared_ptr<const RsaKeyPair> exchange_ GUARDED_BY(mu_);
};

// A key handle's object: either an RSA key pair or a session key. Immutable.
struct Key {
  std::shared_ptr<const RsaKeyPair> rsa;
  std::unique_ptr<const SessionKey> session;
};

// An MD5 hash in progress, finished when its value is first read. Owns a mutex over
// its digest state.
class Hash {
 public:
  Hash() : ctx_(EVP_MD_CTX_new()) {}
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  ~Hash() {
    EVP_MD_CTX_free(ctx_);
    OPENSSL_cleanse(value_.data(), value_.size());
  }

  bool Init() { return ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr) == 1; }

  DWORD Add(const BYTE* data, DWORD len) EXCLUDES(mu_) {
    platform::MutexLock lock(mu_);
    if (finished_) return NTE_BAD_HASH_STATE;
    if (len > 0 && EVP_DigestUpdate(ctx_, data, len) != 1) return NTE_FAIL;
    return 0;
  }

  DWORD Value(std::string* out) EXCLUDES(mu_) {
    platform::MutexLock lock(mu_);
    if (!finished_) {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int n = 0;
      if (EVP_DigestFinal_ex(ctx_, md, &n) != 1) return NTE_FAIL;
      value_.assign(reinterpret_cast<const char*>(md), n);
      OPENSSL_cleanse(md, sizeof md);
      finished_ = true;
    }
    *out = value_;
    return 0;
  }

 private:
  platform::Mutex mu_;
  EVP_MD_CTX* const ctx_ PT_GUARDED_BY(mu_);  // Init runs before the hash is shared
  bool finished_ GUARDED_BY(mu_) = false;
  std::string value_ GUARDED_BY(mu_);
};

// The process-wide handle tables. Never destroyed, so a handle released by another
// global's destructor at exit still finds its table.
HandleTable<Provider>& Providers() {
  static auto* table = new HandleTable<Provider>;
  return *table;
}
HandleTable<Key>& Keys() {
  static auto* table = new HandleTable<Key>;
  return *table;
}
HandleTable<Hash>& Hashes() {
  static auto* table = new HandleTable<Hash>;
  return *table;
}

// Leaves the OpenSSL error queue of the thread as the call found it, so that errors of
// this layer never show up in another module's error checks.
class OpenSslErrorScope {
 public:
  OpenSslErrorScope() { ERR_set_mark(); }
  ~OpenSslErrorScope() { ERR_pop_to_mark(); }
  OpenSslErrorScope(const OpenSslErrorScope&) = delete;
  OpenSslErrorScope& operator=(const OpenSslErrorScope&) = delete;
};

bool Fail(DWORD code) {
  SetLastError(code);
  return false;
}

// Success leaves the last error alone, as the original platform does.
bool Succeed() { return true; }

// The size contract of the export and query calls.
bool CopyOut(const void* bytes, size_t size, BYTE* data, DWORD* data_len) {
  if (size > UINT32_MAX) return Fail(NTE_FAIL);
  const DWORD room = *data_len;
  *data_len = static_cast<DWORD>(size);
  if (data == nullptr) return Succeed();
  if (room < size) return Fail(ERROR_MORE_DATA);
  if (size > 0) std::memcpy(data, bytes, size);
  return Succeed();
}

bool CopyOutDword(DWORD value, BYTE* data, DWORD* data_len) { return CopyOut(&value, sizeof value, data, data_len); }

bool KnownProvider(const char* provider) {
  return provider == nullptr || std::strcmp(provider, MS_ENH_RSA_AES_PROV) == 0 ||
         std::strcmp(provider, MS_ENH_RSA_AES_PROV_XP) == 0;
}

HCRYPTKEY AddKey(std::shared_ptr<const RsaKeyPair> rsa, std::unique_ptr<const SessionKey> session) {
  auto key = std::make_shared<Key>();
  key->rsa = std::move(rsa);
  key->session = std::move(session);
  return Keys().Add(std::move(key));
}

}  // namespace

bool CryptAcquireContext(HCRYPTPROV* prov, const char* container, const char* provider, DWORD prov_type,
                         DWORD flags) {
  OpenSslErrorScope errors;
  if (prov == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *prov = 0;
  const DWORD verify_bits = flags & CRYPT_VERIFYCONTEXT;
  if (verify_bits != 0 && verify_bits != CRYPT_VERIFYCONTEXT) return Fail(NTE_BAD_FLAGS);
  const bool verify = verify_bits != 0;
  const DWORD action = flags & ~(CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
  if (action != 0 && action != CRYPT_NEWKEYSET && action != CRYPT_DELETEKEYSET) return Fail(NTE_BAD_FLAGS);
  if (verify && action != 0) return Fail(NTE_BAD_FLAGS);
  if (!KnownProvider(provider)) return Fail(NTE_KEYSET_NOT_DEF);
  if (prov_type != PROV_RSA_AES) return Fail(NTE_BAD_PROV_TYPE);

  const std::string name = container ? container : "";
  if (verify) {
    if (!name.empty()) return Fail(NTE_BAD_KEYSET_PARAM);
    *prov = Providers().Add(std::make_shared<Provider>(true, std::string(), nullptr));
    return Succeed();
  }
  if (!container::IsValidName(name)) return Fail(NTE_BAD_KEYSET_PARAM);

  std::string folder;
  std::shared_ptr<const RsaKeyPair> exchange;
  DWORD err = 0;
  if (action == CRYPT_DELETEKEYSET) {
    err = container::Delete(name);
    return err == 0 ? Succeed() : Fail(err);
  }
  err = action == CRYPT_NEWKEYSET ? container::Create(name, &folder) : container::Open(name, &folder, &exchange);
  if (err != 0) return Fail(err);
  *prov = Providers().Add(std::make_shared<Provider>(false, std::move(folder), std::move(exchange)));
  return Succeed();
}

bool CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
  if (!Providers().Remove(prov)) return Fail(NTE_BAD_UID);
  // As on the original platform, the handle is released even when the flags are wrong.
  return flags == 0 ? Succeed() : Fail(NTE_BAD_FLAGS);
}

bool CryptGetUserKey(HCRYPTPROV prov, DWORD key_spec, HCRYPTKEY* key) {
  if (key == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *key = 0;
  const auto provider = Providers().Find(prov);
  if (!provider) return Fail(NTE_BAD_UID);
  if (key_spec != AT_KEYEXCHANGE && key_spec != AT_SIGNATURE) return Fail(NTE_BAD_KEY);
  auto exchange = key_spec == AT_KEYEXCHANGE ? provider->exchange() : nullptr;
  if (!exchange) return Fail(NTE_NO_KEY);
  *key = AddKey(std::move(exchange), nullptr);
  return Succeed();
}

bool CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
  OpenSslErrorScope errors;
  if (key == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *key = 0;
  const auto provider = Providers().Find(prov);
  if (!provider) return Fail(NTE_BAD_UID);
  if (alg != AT_KEYEXCHANGE && alg != CALG_RSA_KEYX) return Fail(NTE_BAD_ALGID);
  if ((flags & 0xFFFF & ~CRYPT_EXPORTABLE) != 0) return Fail(NTE_BAD_FLAGS);
  unsigned bits = flags >> 16;
  if (bits == 0) bits = kDefaultRsaBits;
  if (bits < 512 || bits > 4096 || bits % 64 != 0) return Fail(NTE_BAD_FLAGS);
  auto pair = RsaKeyPair::Generate(bits);
  if (!pair) return Fail(NTE_FAIL);
  if (const DWORD err = provider->ReplaceExchange(pair); err != 0) return Fail(err);
  *key = AddKey(std::move(pair), nullptr);
  return Succeed();
}

bool CryptExportKey(HCRYPTKEY key, HCRYPTKEY exp_key, DWORD blob_type, DWORD flags, BYTE* data,
                    DWORD* data_len) {
  OpenSslErrorScope errors;
  if (data_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto object = Keys().Find(key);
  if (!object) return Fail(NTE_BAD_KEY);
  if (blob_type != PUBLICKEYBLOB) return Fail(NTE_BAD_TYPE);
  if (exp_key != 0 || !object->rsa) return Fail(NTE_BAD_KEY);
  if (flags != 0) return Fail(NTE_BAD_FLAGS);
  const std::string blob = EncodePublicKeyBlob(*object->rsa);
  if (blob.empty()) return Fail(NTE_BAD_KEY);
  return CopyOut(blob.data(), blob.size(), data, data_len);
}

bool CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD data_len, HCRYPTKEY pub_key, DWORD flags,
                    HCRYPTKEY* key) {
  OpenSslErrorScope errors;
  if (key == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *key = 0;
  const auto provider = Providers().Find(prov);
  if (!provider) return Fail(NTE_BAD_UID);
  if ((flags & ~(CRYPT_EXPORTABLE | CRYPT_NO_SALT)) != 0) return Fail(NTE_BAD_FLAGS);
  std::shared_ptr<const RsaKeyPair> exchange;
  if (pub_key != 0) {
    const auto object = Keys().Find(pub_key);
    if (!object || !object->rsa) return Fail(NTE_BAD_KEY);
    exchange = object->rsa;
  } else {
    exchange = provider->exchange();
    if (!exchange) return Fail(NTE_NO_KEY);
  }
  ALG_ID alg = 0;
  std::string key_bytes;
  if (const DWORD err = DecodeSimpleBlob(*exchange, data, data_len, &alg, &key_bytes); err != 0) return Fail(err);
  *key = AddKey(nullptr, std::make_unique<const SessionKey>(alg, std::move(key_bytes)));
  return Succeed();
}

bool ImportSimpleBlobImplicitRejection(HCRYPTPROV prov, const BYTE* data, DWORD data_len, const BYTE* secret,
                                       DWORD secret_len, HCRYPTKEY* key) {
  OpenSslErrorScope errors;
  if (key == nullptr || secret == nullptr || secret_len < kMinRejectionSecretBytes) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *key = 0;
  const auto provider = Providers().Find(prov);
  if (!provider) return Fail(NTE_BAD_UID);
  const std::shared_ptr<const RsaKeyPair> exchange = provider->exchange();
  if (!exchange) return Fail(NTE_NO_KEY);
  ALG_ID alg = 0;
  std::string key_bytes;
  const std::string_view secret_text(reinterpret_cast<const char*>(secret), secret_len);
  if (const DWORD err = DecodeSimpleBlobImplicitRejection(*exchange, data, data_len, secret_text, &alg, &key_bytes);
      err != 0) {
    return Fail(err);
  }
  *key = AddKey(nullptr, std::make_unique<const SessionKey>(alg, std::move(key_bytes)));
  return Succeed();
}

bool CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
  OpenSslErrorScope errors;
  if (hash == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *hash = 0;
  if (!Providers().Find(prov)) return Fail(NTE_BAD_UID);
  if (alg != CALG_MD5) return Fail(NTE_BAD_ALGID);
  if (key != 0) return Fail(NTE_BAD_KEY);
  if (flags != 0) return Fail(NTE_BAD_FLAGS);
  auto object = std::make_shared<Hash>();
  if (!object->Init()) return Fail(NTE_FAIL);
  *hash = Hashes().Add(std::move(object));
  return Succeed();
}

bool CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD data_len, DWORD flags) {
  OpenSslErrorScope errors;
  const auto object = Hashes().Find(hash);
  if (!object) return Fail(NTE_BAD_HASH);
  if (flags != 0) return Fail(NTE_BAD_FLAGS);
  if (data == nullptr && data_len > 0) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD err = object->Add(data, data_len);
  return err == 0 ? Succeed() : Fail(err);
}

bool CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* data_len, DWORD flags) {
  OpenSslErrorScope errors;
  if (data_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto object = Hashes().Find(hash);
  if (!object) return Fail(NTE_BAD_HASH);
  if (flags != 0) return Fail(NTE_BAD_FLAGS);
  switch (param) {
    case HP_ALGID: return CopyOutDword(CALG_MD5, data, data_len);
    case HP_HASHSIZE: return CopyOutDword(kMd5Bytes, data, data_len);
    case HP_HASHVAL: {
      // A size query leaves the hash open.
      if (data == nullptr || *data_len < kMd5Bytes) return CopyOut(nullptr, kMd5Bytes, data, data_len);
      std::string value;
      if (const DWORD err = object->Value(&value); err != 0) return Fail(err);
      return CopyOut(value.data(), value.size(), data, data_len);
    }
    default: return Fail(NTE_BAD_TYPE);
  }
}

bool CryptDestroyHash(HCRYPTHASH hash) { return Hashes().Remove(hash) ? Succeed() : Fail(NTE_BAD_HASH); }

bool CryptDeriveKey(HCRYPTPROV prov, ALG_ID alg, HCRYPTHASH base_data, DWORD flags, HCRYPTKEY* key) {
  OpenSslErrorScope errors;
  if (key == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *key = 0;
  if (!Providers().Find(prov)) return Fail(NTE_BAD_UID);
  const auto hash = Hashes().Find(base_data);
  if (!hash) return Fail(NTE_BAD_HASH);
  if (!SessionKey::IsSupported(alg)) return Fail(NTE_BAD_ALGID);
  if ((flags & 0xFFFF & ~(CRYPT_EXPORTABLE | CRYPT_NO_SALT)) != 0) return Fail(NTE_BAD_FLAGS);
  const DWORD bits = flags >> 16;
  if (bits % 8 != 0) return Fail(NTE_BAD_FLAGS);
  const size_t bytes = bits == 0 ? SessionKey::DefaultKeyBytes(alg) : bits / 8;
  if (!SessionKey::IsValidKeyLength(alg, bytes)) return Fail(NTE_BAD_FLAGS);
  std::string value;
  if (const DWORD err = hash->Value(&value); err != 0) return Fail(err);
  std::string key_bytes = SessionKey::DeriveKeyBytes(alg, value, bytes);
  OPENSSL_cleanse(value.data(), value.size());
  if (key_bytes.size() != bytes) return Fail(NTE_FAIL);
  *key = AddKey(nullptr, std::make_unique<const SessionKey>(alg, std::move(key_bytes)));
  return Succeed();
}

bool CryptDestroyKey(HCRYPTKEY key) { return Keys().Remove(key) ? Succeed() : Fail(NTE_BAD_KEY); }

bool CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* data_len, DWORD flags) {
  if (data_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto object = Keys().Find(key);
  if (!object) return Fail(NTE_BAD_KEY);
  if (flags != 0) return Fail(NTE_BAD_FLAGS);
  const SessionKey* session = object->session.get();
  const DWORD key_bits = session ? static_cast<DWORD>(session->KeyBits()) : object->rsa->Bits();
  switch (param) {
    case KP_ALGID: return CopyOutDword(session ? session->alg() : CALG_RSA_KEYX, data, data_len);
    case KP_KEYLEN: return CopyOutDword(key_bits, data, data_len);
    case KP_BLOCKLEN:
      return CopyOutDword(session ? static_cast<DWORD>(session->BlockBytes() * 8) : key_bits, data, data_len);
    default: return Fail(NTE_BAD_TYPE);
  }
}

bool CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, bool final, DWORD flags, BYTE* data, DWORD* data_len,
                  DWORD buf_len) {
  OpenSslErrorScope errors;
  if (data_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto object = Keys().Find(key);
  if (!object || !object->session) return Fail(NTE_BAD_KEY);
  if (hash != 0) return Fail(NTE_BAD_HASH);
  if (!final || flags != 0) return Fail(NTE_BAD_FLAGS);
  const DWORD len = *data_len;
  if (len > kMaxCipherBytes) return Fail(NTE_BAD_LEN);
  const SessionKey& session = *object->session;
  const size_t needed = session.EncryptedSize(len);
  *data_len = static_cast<DWORD>(needed);
  if (data == nullptr) return Succeed();
  if (needed > buf_len) return Fail(ERROR_MORE_DATA);
  std::vector<BYTE> out(needed);
  const bool ok = session.Encrypt(data, len, out.data());
  if (ok && needed > 0) std::memcpy(data, out.data(), needed);
  OPENSSL_cleanse(out.data(), out.size());
  if (!ok) {
    *data_len = len;
    return Fail(NTE_FAIL);
  }
  return Succeed();
}

bool CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, bool final, DWORD flags, BYTE* data, DWORD* data_len) {
  OpenSslErrorScope errors;
  if (data_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto object = Keys().Find(key);
  if (!object || !object->session) return Fail(NTE_BAD_KEY);
  if (hash != 0) return Fail(NTE_BAD_HASH);
  if (!final || flags != 0) return Fail(NTE_BAD_FLAGS);
  const DWORD len = *data_len;
  if (data == nullptr && len > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (len > kMaxCipherBytes) return Fail(NTE_BAD_LEN);
  std::vector<BYTE> in(data, data + len);
  size_t plain = 0;
  const bool ok = object->session->Decrypt(in.data(), len, data, &plain);
  OPENSSL_cleanse(in.data(), in.size());
  if (!ok) return Fail(NTE_BAD_DATA);
  *data_len = static_cast<DWORD>(plain);
  return Succeed();
}

bool CryptGenRandom(HCRYPTPROV prov, DWORD len, BYTE* buffer) {
  OpenSslErrorScope errors;
  if (!Providers().Find(prov)) return Fail(NTE_BAD_UID);
  if (buffer == nullptr && len > 0) return Fail(ERROR_INVALID_PARAMETER);
  constexpr DWORD kChunk = 1u << 30;
  for (DWORD done = 0; done < len;) {
    const DWORD n = len - done < kChunk ? len - done : kChunk;
    if (RAND_bytes(buffer + done, static_cast<int>(n)) != 1) return Fail(NTE_FAIL);
    done += n;
  }
  return Succeed();
}

size_t OpenHandleCountForTesting() { return Providers().Size() + Keys().Size() + Hashes().Size(); }

}  // namespace platform::capi
