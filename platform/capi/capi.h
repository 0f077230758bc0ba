// A CryptoAPI-style interface over OpenSSL libcrypto: a persistent RSA key-exchange
// container, PUBLICKEYBLOB export and SIMPLEBLOB import in the CryptoAPI byte layout,
// MD5 hashes, CryptDeriveKey's derivation rule, RC4 / Triple-DES / AES session keys
// and random bytes. Callers use it exactly as they would the Windows functions of the
// same names: every call returns true on success, and on failure returns false and
// leaves a Windows error code in platform::GetLastError() (the NTE_... values below,
// ERROR_MORE_DATA for a buffer that is too small, ERROR_INVALID_PARAMETER for null
// out-pointers); success leaves the last error as it was.
//
// Handles are pointer-sized values that are 0 when unset. Each one names an object
// owned by this layer until the matching CryptReleaseContext / CryptDestroyKey /
// CryptDestroyHash; a handle that is unknown (never issued, or already released)
// fails with NTE_BAD_UID (provider), NTE_BAD_KEY (key) or NTE_BAD_HASH (hash).
// A key stays usable after its provider is released.
//
// Cipher calls always work on one whole message: the final flag must be true (false
// fails with NTE_BAD_FLAGS), no hash may be given (NTE_BAD_HASH), the
// RC4 key stream starts afresh on every call, and the block ciphers run CBC with a
// zero IV that restarts on every call, adding PKCS #5 padding on encryption and
// checking it on decryption.
//
// Key containers live in one folder per container name under ContainerRoot(); the
// exchange key pair is a PEM file of mode 0600 in that folder, replaced atomically.
//
// Thread safety: every function may be called from any thread. The handle tables
// each own a mutex; a provider object owns a mutex over its cached exchange key and
// a hash object owns a mutex over its digest state. Keys are immutable once made.
// No lock is held while another module is called.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::capi {

using BYTE = uint8_t;
using DWORD = uint32_t;
using ALG_ID = uint32_t;
using HCRYPTPROV = uintptr_t;
using HCRYPTKEY = uintptr_t;
using HCRYPTHASH = uintptr_t;

// Provider.
inline constexpr DWORD PROV_RSA_AES = 24;
inline constexpr char MS_ENH_RSA_AES_PROV[] = "Microsoft Enhanced RSA and AES Cryptographic Provider";
inline constexpr char MS_ENH_RSA_AES_PROV_XP[] =
    "Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)";

// CryptAcquireContext flags.
inline constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
inline constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
inline constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
inline constexpr DWORD CRYPT_SILENT = 0x00000040;
inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;

// Key flags (CryptGenKey, CryptDeriveKey, CryptImportKey); the key length in bits
// goes in the upper 16 bits.
inline constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;
inline constexpr DWORD CRYPT_CREATE_SALT = 0x00000004;
inline constexpr DWORD CRYPT_NO_SALT = 0x00000010;

// Key specs.
inline constexpr DWORD AT_KEYEXCHANGE = 1;
inline constexpr DWORD AT_SIGNATURE = 2;

// Algorithm ids.
inline constexpr ALG_ID CALG_MD5 = 0x00008003;
inline constexpr ALG_ID CALG_SHA1 = 0x00008004;
inline constexpr ALG_ID CALG_RC2 = 0x00006602;
inline constexpr ALG_ID CALG_RC4 = 0x00006801;
inline constexpr ALG_ID CALG_3DES = 0x00006603;
inline constexpr ALG_ID CALG_3DES_112 = 0x00006609;
inline constexpr ALG_ID CALG_AES_128 = 0x0000660E;
inline constexpr ALG_ID CALG_AES_192 = 0x0000660F;
inline constexpr ALG_ID CALG_AES_256 = 0x00006610;
inline constexpr ALG_ID CALG_RSA_KEYX = 0x0000A400;
inline constexpr ALG_ID CALG_RSA_SIGN = 0x00002400;

// Key blob types and version.
inline constexpr DWORD SIMPLEBLOB = 0x1;
inline constexpr DWORD PUBLICKEYBLOB = 0x6;
inline constexpr DWORD PRIVATEKEYBLOB = 0x7;
inline constexpr DWORD PLAINTEXTKEYBLOB = 0x8;
inline constexpr BYTE CUR_BLOB_VERSION = 2;

// CryptGetHashParam parameters.
inline constexpr DWORD HP_ALGID = 0x0001;
inline constexpr DWORD HP_HASHVAL = 0x0002;
inline constexpr DWORD HP_HASHSIZE = 0x0004;

// CryptGetKeyParam parameters.
inline constexpr DWORD KP_ALGID = 7;
inline constexpr DWORD KP_BLOCKLEN = 8;
inline constexpr DWORD KP_KEYLEN = 9;

// Error codes left in platform::GetLastError().
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD NTE_BAD_UID = 0x80090001;
inline constexpr DWORD NTE_BAD_HASH = 0x80090002;
inline constexpr DWORD NTE_BAD_KEY = 0x80090003;
inline constexpr DWORD NTE_BAD_LEN = 0x80090004;
inline constexpr DWORD NTE_BAD_DATA = 0x80090005;
inline constexpr DWORD NTE_BAD_ALGID = 0x80090008;
inline constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
inline constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
inline constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000B;
inline constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000C;
inline constexpr DWORD NTE_NO_KEY = 0x8009000D;
inline constexpr DWORD NTE_NO_MEMORY = 0x8009000E;
inline constexpr DWORD NTE_EXISTS = 0x8009000F;
inline constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014;
inline constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
inline constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;
inline constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;
inline constexpr DWORD NTE_FAIL = 0x80090020;

// Opens a provider handle.
//   flags 0: opens the existing container `container`; NTE_BAD_KEYSET when it does not
//     exist or its key file cannot be read as an RSA private key.
//   CRYPT_NEWKEYSET: creates the container (with no key); NTE_EXISTS when it exists.
//   CRYPT_DELETEKEYSET: removes the container and its key pair; *prov is set to 0 and
//     no handle is issued; NTE_BAD_KEYSET when it does not exist.
//   CRYPT_VERIFYCONTEXT: a handle with no container (container must be null or
//     empty); a key pair made with CryptGenKey lives in memory only.
// CRYPT_SILENT is accepted and ignored; CRYPT_MACHINE_KEYSET and other bits fail with
// NTE_BAD_FLAGS. provider must be null or one of the names above (else
// NTE_KEYSET_NOT_DEF), prov_type PROV_RSA_AES (else NTE_BAD_PROV_TYPE). A container
// name must be a non-empty folder name: no '/', '\', ".", ".." (NTE_BAD_KEYSET_PARAM).
bool CryptAcquireContext(HCRYPTPROV* prov, const char* container, const char* provider, DWORD prov_type,
                         DWORD flags);
// Releases the handle; flags must be 0 (NTE_BAD_FLAGS, but the handle is released all
// the same, as on the original platform).
bool CryptReleaseContext(HCRYPTPROV prov, DWORD flags);

// The container's key pair for key_spec (only AT_KEYEXCHANGE is kept); NTE_NO_KEY when
// the container has none.
bool CryptGetUserKey(HCRYPTPROV prov, DWORD key_spec, HCRYPTKEY* key);
// Generates the exchange key pair (alg AT_KEYEXCHANGE or CALG_RSA_KEYX), replacing the
// container's pair and writing it to the key file before it returns. The length in
// bits is flags >> 16 (0 means 1024; otherwise 512..4096, a multiple of 64); e = 65537.
// Other algorithms fail with NTE_BAD_ALGID.
bool CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key);

// Exports an RSA key as a PUBLICKEYBLOB (exp_key 0, flags 0): 06 02 00 00, the key's
// ALG_ID, "RSA1", bit length, public exponent, modulus (all little-endian).
// data null: *data_len := size needed, true. *data_len too small: false,
// ERROR_MORE_DATA, *data_len := size needed. Other blob types: NTE_BAD_TYPE.
bool CryptExportKey(HCRYPTKEY key, HCRYPTKEY exp_key, DWORD blob_type, DWORD flags, BYTE* data,
                    DWORD* data_len);
// Imports a SIMPLEBLOB: 01 02 00 00, the session key's ALG_ID, CALG_RSA_KEYX, then the
// RSA PKCS #1 v1.5 encryption of the key bytes to pub_key (0: the provider's exchange
// key), byte-reversed. Session algorithms: CALG_RC4 (5 to 16 bytes), CALG_3DES (24),
// CALG_3DES_112 (16), CALG_AES_128/192/256 (16/24/32). An unknown algorithm fails with
// NTE_BAD_ALGID; any other fault of the blob (type, version, size, encrypting
// algorithm, padding, key length, a blob made for another key) with NTE_BAD_DATA.
// No exchange key: NTE_NO_KEY. flags may hold CRYPT_EXPORTABLE and CRYPT_NO_SALT.
bool CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD data_len, HCRYPTKEY pub_key, DWORD flags,
                    HCRYPTKEY* key);
// Not a CryptoAPI call: imports a SIMPLEBLOB to the provider's exchange key with
// implicit rejection, so that a caller who answers a peer cannot become a padding
// oracle. The blob's header, algorithms and size are checked as CryptImportKey does,
// with the same errors (and NTE_NO_KEY, NTE_BAD_UID alike). Past those checks the call
// always makes a key: the session key the RSA part carries when it decrypts to a
// PKCS #1 v1.5 block holding a key of the algorithm's full length (RC4 16 bytes,
// CALG_3DES 24, CALG_3DES_112 16, AES its size), and otherwise a key of that length
// taken from HMAC-SHA256 under secret of the whole blob. The same blob and secret
// always give the same key; the choice between the two is made without a branch on
// the decrypted bytes. secret must hold at least 16 bytes (else
// ERROR_INVALID_PARAMETER). NTE_FAIL when the library fails for want of resources.
bool ImportSimpleBlobImplicitRejection(HCRYPTPROV prov, const BYTE* data, DWORD data_len, const BYTE* secret,
                                       DWORD secret_len, HCRYPTKEY* key);

// Hashes: CALG_MD5 only (key 0, flags 0).
bool CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
// Adds bytes (flags 0). After the value was read (CryptGetHashParam HP_HASHVAL or
// CryptDeriveKey) the hash is finished: NTE_BAD_HASH_STATE.
bool CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD data_len, DWORD flags);
// HP_ALGID, HP_HASHSIZE (4-byte values) or HP_HASHVAL; size contract as CryptExportKey.
bool CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* data_len, DWORD flags);
bool CryptDestroyHash(HCRYPTHASH hash);

// Derives a session key from a hash value. Key length in bits = flags >> 16 (0: the
// algorithm's default: RC4 128, 3DES 192, 3DES_112 128, AES by its id); other flag
// bits allowed: CRYPT_EXPORTABLE, CRYPT_NO_SALT (no salt is ever added).
// RC4 takes the first bytes of the hash value. Triple-DES and AES take the first bytes
// of MD5(64 x 0x36 XOR value) || MD5(64 x 0x5C XOR value).
bool CryptDeriveKey(HCRYPTPROV prov, ALG_ID alg, HCRYPTHASH base_data, DWORD flags, HCRYPTKEY* key);
bool CryptDestroyKey(HCRYPTKEY key);
// KP_ALGID, KP_KEYLEN (bits), KP_BLOCKLEN (bits; 0 for RC4); size contract as
// CryptExportKey.
bool CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* data_len, DWORD flags);

// Encrypts *data_len bytes in place (session keys only; hash 0, final true, flags 0).
// data null: *data_len := the size of the result, true. A result longer than buf_len:
// false, ERROR_MORE_DATA, *data_len := the size of the result, the buffer untouched.
// Success: *data_len := the size of the result.
bool CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, bool final, DWORD flags, BYTE* data, DWORD* data_len,
                  DWORD buf_len);
// Decrypts *data_len bytes in place and sets *data_len to the plaintext size. A block
// cipher input that is empty or not whole blocks, or bad padding: NTE_BAD_DATA.
bool CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, bool final, DWORD flags, BYTE* data, DWORD* data_len);

// len random bytes from OpenSSL's RAND_bytes.
bool CryptGenRandom(HCRYPTPROV prov, DWORD len, BYTE* buffer);

// The folder that holds the containers: the test override when set, else
// $KVR_HOME/keys, else $XDG_DATA_HOME/Quillon Applications/keys, else
// $HOME/.local/share/Quillon Applications/keys. Empty when none can be found.
std::string ContainerRoot();
// Makes ContainerRoot() return root (the empty text restores the normal search).
void SetContainerRootForTesting(const std::string& root);
// The number of provider, key and hash handles issued and not yet released.
size_t OpenHandleCountForTesting();

}  // namespace platform::capi
