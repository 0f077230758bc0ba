// A security-support-provider interface for TLS clients in the shape of SChannel's:
// the function table, handles, buffer descriptors and status codes that a client
// uses to run a TLS 1.2 handshake loop and to encrypt and decrypt records over a
// socket of its own. Underneath, each security context is an OpenSSL client held
// between two memory BIOs; the layer never touches a socket.
//
// What a caller can rely on (the SChannel contract, kept here):
// - InitializeSecurityContextA without a context starts one and returns the first
//   token (SEC_I_CONTINUE_NEEDED). With a context and an input SECBUFFER_TOKEN it
//   consumes only whole TLS records (5-byte header and its length); when the input
//   holds no whole record it answers SEC_E_INCOMPLETE_MESSAGE, consumes nothing and
//   marks the next empty input buffer SECBUFFER_MISSING with the bytes still needed.
//   Bytes after the last record it consumed come back as SECBUFFER_EXTRA in the next
//   input buffer (on SEC_I_CONTINUE_NEEDED and on SEC_E_OK). Output tokens are
//   allocated here (ISC_REQ_ALLOCATE_MEMORY is required) and freed with
//   FreeContextBuffer; an empty token has a null pointer and size 0. A failed
//   handshake that produced an alert for the peer returns it as the output token
//   with ISC_RET_EXTENDED_ERROR.
// - EncryptMessage makes exactly one record of 1..cbMaximumMessage bytes in the
//   caller's STREAM_HEADER, DATA and STREAM_TRAILER buffers (the trailer's size is
//   set to what this record used), so header + data + trailer are the record.
// - DecryptMessage decrypts one record in place: buffers become STREAM_HEADER, DATA
//   (the plain bytes), STREAM_TRAILER and, when bytes follow the record, EXTRA.
//   Statuses: SEC_E_OK; SEC_E_INCOMPLETE_MESSAGE (nothing consumed);
//   SEC_I_RENEGOTIATE when the server asked for a new handshake (run the handshake
//   loop with the context again; the first call may have an empty input token);
//   SEC_I_CONTEXT_EXPIRED when the server sent close_notify.
// - ApplyControlToken(SCHANNEL_SHUTDOWN) followed by InitializeSecurityContextA
//   with no input returns the close_notify record as the token (SEC_E_OK).
// - TLS 1.2 only; no client certificate; the server's certificate is not checked
//   during the handshake (manual validation: see cert.h); legacy servers without
//   secure renegotiation are accepted, as SChannel clients accept them.
//
// Thread safety: every function may be called from any thread. Credentials may be
// shared by any number of contexts at once. The handle tables each own a mutex and
// each context owns a mutex taken for the length of a call on it; one context is
// meant for one thread at a time. No lock is held while another module is called.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::tls {

using ULONG = uint32_t;
using DWORD = uint32_t;
using SECURITY_STATUS = int32_t;

// Security handles: two pointer-sized words; both 0 when unset.
struct SecHandle {
  uintptr_t dwLower;
  uintptr_t dwUpper;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;
using PCredHandle = CredHandle*;
using PCtxtHandle = CtxtHandle*;

struct SECURITY_INTEGER {
  ULONG LowPart;
  int32_t HighPart;
};
using TimeStamp = SECURITY_INTEGER;
using PTimeStamp = TimeStamp*;

struct SecBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
};
using PSecBuffer = SecBuffer*;

struct SecBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  PSecBuffer pBuffers;
};
using PSecBufferDesc = SecBufferDesc*;

struct SecPkgContext_StreamSizes {
  ULONG cbHeader;
  ULONG cbTrailer;
  ULONG cbMaximumMessage;
  ULONG cBuffers;
  ULONG cbBlockSize;
};

// The authentication data of AcquireCredentialsHandleA.
struct SCHANNEL_CRED {
  DWORD dwVersion;
  DWORD cCreds;
  const void** paCred;
  void* hRootStore;
  DWORD cMappers;
  void** aphMappers;
  DWORD cSupportedAlgs;
  uint32_t* palgSupportedAlgs;
  DWORD grbitEnabledProtocols;
  DWORD dwMinimumCipherStrength;
  DWORD dwMaximumCipherStrength;
  DWORD dwSessionLifespan;
  DWORD dwFlags;
  DWORD dwCredFormat;
};

inline constexpr SECURITY_STATUS SecurityStatus(uint32_t value) { return static_cast<SECURITY_STATUS>(value); }

// Statuses.
inline constexpr SECURITY_STATUS SEC_E_OK = 0;
inline constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = SecurityStatus(0x00090312);
inline constexpr SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = SecurityStatus(0x00090317);
inline constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = SecurityStatus(0x00090320);
inline constexpr SECURITY_STATUS SEC_I_RENEGOTIATE = SecurityStatus(0x00090321);
inline constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = SecurityStatus(0x80090300);
inline constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = SecurityStatus(0x80090301);
inline constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = SecurityStatus(0x80090302);
inline constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = SecurityStatus(0x80090304);
inline constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = SecurityStatus(0x80090305);
inline constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = SecurityStatus(0x80090308);
inline constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = SecurityStatus(0x8009030D);
inline constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = SecurityStatus(0x8009030E);
inline constexpr SECURITY_STATUS SEC_E_MESSAGE_ALTERED = SecurityStatus(0x8009030F);
inline constexpr SECURITY_STATUS SEC_E_CONTEXT_EXPIRED = SecurityStatus(0x80090317);
inline constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = SecurityStatus(0x80090318);
inline constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = SecurityStatus(0x80090321);
inline constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = SecurityStatus(0x80090326);
inline constexpr SECURITY_STATUS SEC_E_DECRYPT_FAILURE = SecurityStatus(0x80090330);
inline constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = SecurityStatus(0x80090331);
inline constexpr SECURITY_STATUS SEC_E_INVALID_PARAMETER = SecurityStatus(0x8009035D);

inline constexpr bool FAILED(SECURITY_STATUS status) { return status < 0; }

// Buffer types.
inline constexpr ULONG SECBUFFER_VERSION = 0;
inline constexpr ULONG SECBUFFER_EMPTY = 0;
inline constexpr ULONG SECBUFFER_DATA = 1;
inline constexpr ULONG SECBUFFER_TOKEN = 2;
inline constexpr ULONG SECBUFFER_MISSING = 4;
inline constexpr ULONG SECBUFFER_EXTRA = 5;
inline constexpr ULONG SECBUFFER_STREAM_TRAILER = 6;
inline constexpr ULONG SECBUFFER_STREAM_HEADER = 7;

// Context requirements (ISC_REQ_...) and the attributes returned (ISC_RET_...).
inline constexpr ULONG ISC_REQ_REPLAY_DETECT = 0x00000004;
inline constexpr ULONG ISC_REQ_SEQUENCE_DETECT = 0x00000008;
inline constexpr ULONG ISC_REQ_CONFIDENTIALITY = 0x00000010;
inline constexpr ULONG ISC_REQ_ALLOCATE_MEMORY = 0x00000100;
inline constexpr ULONG ISC_REQ_EXTENDED_ERROR = 0x00004000;
inline constexpr ULONG ISC_REQ_STREAM = 0x00008000;
inline constexpr ULONG ISC_REQ_MANUAL_CRED_VALIDATION = 0x00080000;
inline constexpr ULONG ISC_RET_REPLAY_DETECT = 0x00000004;
inline constexpr ULONG ISC_RET_SEQUENCE_DETECT = 0x00000008;
inline constexpr ULONG ISC_RET_CONFIDENTIALITY = 0x00000010;
inline constexpr ULONG ISC_RET_ALLOCATED_MEMORY = 0x00000100;
inline constexpr ULONG ISC_RET_EXTENDED_ERROR = 0x00004000;
inline constexpr ULONG ISC_RET_STREAM = 0x00008000;
inline constexpr ULONG ISC_RET_MANUAL_CRED_VALIDATION = 0x00080000;

inline constexpr ULONG SECURITY_NATIVE_DREP = 0x00000010;

// Credentials.
inline constexpr char UNISP_NAME_A[] = "Microsoft Unified Security Protocol Provider";
inline constexpr ULONG SECPKG_CRED_INBOUND = 0x00000001;
inline constexpr ULONG SECPKG_CRED_OUTBOUND = 0x00000002;
inline constexpr DWORD SCHANNEL_CRED_VERSION = 4;
inline constexpr DWORD SP_PROT_TLS1_2_SERVER = 0x00000400;
inline constexpr DWORD SP_PROT_TLS1_2_CLIENT = 0x00000800;
inline constexpr DWORD SP_PROT_TLS1_2 = SP_PROT_TLS1_2_SERVER | SP_PROT_TLS1_2_CLIENT;
inline constexpr DWORD SCH_CRED_MANUAL_CRED_VALIDATION = 0x00000008;
inline constexpr DWORD SCH_CRED_NO_DEFAULT_CREDS = 0x00000010;

// Context attributes (QueryContextAttributesA).
inline constexpr ULONG SECPKG_ATTR_STREAM_SIZES = 4;
inline constexpr ULONG SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;

// ApplyControlToken: the token is one DWORD.
inline constexpr DWORD SCHANNEL_SHUTDOWN = 1;

using SEC_GET_KEY_FN = void (*)(void* arg, void* principal, ULONG key_ver, void** key, SECURITY_STATUS* status);

// In place of AcquireCredentialsHandleA. Package UNISP_NAME_A (else
// SEC_E_SECPKG_NOT_FOUND), use SECPKG_CRED_OUTBOUND (else SEC_E_NO_CREDENTIALS: no
// server side here), authentication data an SCHANNEL_CRED of SCHANNEL_CRED_VERSION
// with no certificates and SCH_CRED_MANUAL_CRED_VALIDATION (else
// SEC_E_UNKNOWN_CREDENTIALS: this layer offers no automatic validation), and enabled
// protocols 0 or including SP_PROT_TLS1_2_CLIENT (else SEC_E_ALGORITHM_MISMATCH).
// The cipher and lifespan fields are not used, nor are the principal, the logon id
// and the get-key function.
SECURITY_STATUS AcquireCredentialsHandleA(const char* principal, const char* package, ULONG credential_use,
                                          void* logon_id, void* auth_data, SEC_GET_KEY_FN get_key_fn,
                                          void* get_key_argument, PCredHandle credential, PTimeStamp expiry);
// Releases credentials; contexts made from them keep working until deleted.
SECURITY_STATUS FreeCredentialsHandle(PCredHandle credential);

// In place of InitializeSecurityContextA (see the contract above). Target data
// representation and the reserved words are not used. The target name is sent as the
// server name (SNI) unless it is empty or an IP address.
SECURITY_STATUS InitializeSecurityContextA(PCredHandle credential, PCtxtHandle context, const char* target_name,
                                           ULONG context_req, ULONG reserved1, ULONG target_data_rep,
                                           PSecBufferDesc input, ULONG reserved2, PCtxtHandle new_context,
                                           PSecBufferDesc output, ULONG* context_attr, PTimeStamp expiry);
SECURITY_STATUS DeleteSecurityContext(PCtxtHandle context);
// SCHANNEL_SHUTDOWN only (else SEC_E_UNSUPPORTED_FUNCTION); the token buffer must
// hold the DWORD (else SEC_E_INVALID_TOKEN).
SECURITY_STATUS ApplyControlToken(PCtxtHandle context, PSecBufferDesc input);
// SECPKG_ATTR_STREAM_SIZES into a SecPkgContext_StreamSizes, once the handshake is
// done; SECPKG_ATTR_REMOTE_CERT_CONTEXT into a PCCERT_CONTEXT (cert.h) that the
// caller frees with CertFreeCertificateContext; its hCertStore holds the chain the
// server sent. Others: SEC_E_UNSUPPORTED_FUNCTION. Before the handshake is done:
// SEC_E_INVALID_HANDLE.
SECURITY_STATUS QueryContextAttributesA(PCtxtHandle context, ULONG attribute, void* buffer);
SECURITY_STATUS FreeContextBuffer(void* buffer);
// One record out. Buffers: SECBUFFER_STREAM_HEADER of at least cbHeader bytes,
// SECBUFFER_DATA of 1..cbMaximumMessage bytes, SECBUFFER_STREAM_TRAILER of at least
// cbTrailer bytes (in any order; others are ignored). Quality and sequence must be 0.
SECURITY_STATUS EncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG sequence);
// One record in: buffer 0 SECBUFFER_DATA over the received bytes, at least three
// more buffers (SECBUFFER_EMPTY) for the results.
SECURITY_STATUS DecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG sequence, ULONG* qop);

// The entries of the function table that clients call.
using ACQUIRE_CREDENTIALS_HANDLE_FN_A = decltype(&AcquireCredentialsHandleA);
using FREE_CREDENTIALS_HANDLE_FN = decltype(&FreeCredentialsHandle);
using INITIALIZE_SECURITY_CONTEXT_FN_A = decltype(&InitializeSecurityContextA);
using DELETE_SECURITY_CONTEXT_FN = decltype(&DeleteSecurityContext);
using APPLY_CONTROL_TOKEN_FN = decltype(&ApplyControlToken);
using QUERY_CONTEXT_ATTRIBUTES_FN_A = decltype(&QueryContextAttributesA);
using FREE_CONTEXT_BUFFER_FN = decltype(&FreeContextBuffer);
using ENCRYPT_MESSAGE_FN = decltype(&EncryptMessage);
using DECRYPT_MESSAGE_FN = decltype(&DecryptMessage);

struct SecurityFunctionTableA {
  ULONG dwVersion;
  ACQUIRE_CREDENTIALS_HANDLE_FN_A AcquireCredentialsHandleA;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  INITIALIZE_SECURITY_CONTEXT_FN_A InitializeSecurityContextA;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  APPLY_CONTROL_TOKEN_FN ApplyControlToken;
  QUERY_CONTEXT_ATTRIBUTES_FN_A QueryContextAttributesA;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
  ENCRYPT_MESSAGE_FN EncryptMessage;
  DECRYPT_MESSAGE_FN DecryptMessage;
};
using PSecurityFunctionTableA = SecurityFunctionTableA*;

// The process's table of the functions above (never null).
PSecurityFunctionTableA InitSecurityInterfaceA();

using INIT_SECURITY_INTERFACE_A = PSecurityFunctionTableA (*)();
// Stands in for choosing the security library by platform version, loading it and
// looking up its "InitSecurityInterfaceA" entry: this system has one built-in
// provider, so the choice always answers InitSecurityInterfaceA.
INIT_SECURITY_INTERFACE_A ChooseSecurityInterface();

}  // namespace platform::tls
