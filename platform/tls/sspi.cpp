#include "platform/tls/sspi.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/tls/cert_internal.h"
#include "platform/tls/client_credentials.h"
#include "platform/tls/handle_registry.h"
#include "platform/tls/security_context.h"

namespace platform::tls {
namespace {

constexpr uintptr_t kCredentialTag = 0x4b565243;  // "KVRC"
constexpr uintptr_t kContextTag = 0x4b565258;     // "KVRX"

// The registries are never destroyed: the process-wide SSPI object may free its
// credentials from a static destructor at exit, after function-local statics are gone.
HandleRegistry<ClientCredentials>& Credentials() {
  static HandleRegistry<ClientCredentials>* registry = new HandleRegistry<ClientCredentials>(kCredentialTag);
  return *registry;
}

HandleRegistry<SecurityContext>& Contexts() {
  static HandleRegistry<SecurityContext>* registry = new HandleRegistry<SecurityContext>(kContextTag);
  return *registry;
}

void SetNeverExpires(PTimeStamp expiry) {
  if (expiry != nullptr) *expiry = TimeStamp{0xFFFFFFFFu, 0x7FFFFFFF};
}

bool IsNullHandle(const SecHandle* handle) {
  return handle == nullptr || (handle->dwLower == 0 && handle->dwUpper == 0);
}

// The first buffer of `type` in desc at or after index `from`; null when none.
SecBuffer* FindBuffer(PSecBufferDesc desc, ULONG type, ULONG from = 0) {
  if (desc == nullptr || desc->pBuffers == nullptr) return nullptr;
  for (ULONG i = from; i < desc->cBuffers; ++i) {
    if (desc->pBuffers[i].BufferType == type) return &desc->pBuffers[i];
  }
  return nullptr;
}

// The buffer after the input token that receives SECBUFFER_EXTRA / _MISSING.
SecBuffer* ResultBuffer(PSecBufferDesc input, const SecBuffer* token) {
  if (token == nullptr) return nullptr;
  for (ULONG i = static_cast<ULONG>(token - input->pBuffers) + 1; i < input->cBuffers; ++i) {
    SecBuffer& b = input->pBuffers[i];
    if (b.BufferType == SECBUFFER_EMPTY || b.BufferType == SECBUFFER_EXTRA || b.BufferType == SECBUFFER_MISSING) {
      return &b;
    }
  }
  return nullptr;
}

// Hands bytes to the caller in a block they free with FreeContextBuffer.
SECURITY_STATUS DeliverToken(const std::string& bytes, SecBuffer* token) {
  token->pvBuffer = nullptr;
  token->cbBuffer = 0;
  if (bytes.empty()) return SEC_E_OK;
  void* block = std::malloc(bytes.size());
  if (block == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  std::memcpy(block, bytes.data(), bytes.size());
  token->pvBuffer = block;
  token->cbBuffer = static_cast<ULONG>(bytes.size());
  return SEC_E_OK;
}

}  // namespace

SECURITY_STATUS AcquireCredentialsHandleA(const char* /*principal*/, const char* package, ULONG credential_use,
                                          void* /*logon_id*/, void* auth_data, SEC_GET_KEY_FN /*get_key_fn*/,
                                          void* /*get_key_argument*/, PCredHandle credential, PTimeStamp expiry) {
  if (credential == nullptr) return SEC_E_INVALID_PARAMETER;
  if (package == nullptr || (std::strcmp(package, UNISP_NAME_A) != 0 && std::strcmp(package, "Schannel") != 0)) {
    return SEC_E_SECPKG_NOT_FOUND;
  }
  if (credential_use != SECPKG_CRED_OUTBOUND) return SEC_E_NO_CREDENTIALS;
  const auto* cred = static_cast<const SCHANNEL_CRED*>(auth_data);
  if (cred == nullptr || cred->dwVersion != SCHANNEL_CRED_VERSION || cred->cCreds != 0 ||
      !(cred->dwFlags & SCH_CRED_MANUAL_CRED_VALIDATION)) {
    return SEC_E_UNKNOWN_CREDENTIALS;
  }
  if (cred->grbitEnabledProtocols != 0 && !(cred->grbitEnabledProtocols & SP_PROT_TLS1_2_CLIENT)) {
    return SEC_E_ALGORITHM_MISMATCH;
  }
  std::shared_ptr<ClientCredentials> made = ClientCredentials::Create();
  if (!made) return SEC_E_INTERNAL_ERROR;
  *credential = Credentials().Add(std::move(made));
  SetNeverExpires(expiry);
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentialsHandle(PCredHandle credential) {
  return Credentials().Remove(credential) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS InitializeSecurityContextA(PCredHandle credential, PCtxtHandle context, const char* target_name,
                                           ULONG context_req, ULONG /*reserved1*/, ULONG /*target_data_rep*/,
                                           PSecBufferDesc input, ULONG /*reserved2*/, PCtxtHandle new_context,
                                           PSecBufferDesc output, ULONG* context_attr, PTimeStamp expiry) {
  if (!(context_req & ISC_REQ_ALLOCATE_MEMORY)) return SEC_E_UNSUPPORTED_FUNCTION;
  SecBuffer* out_token = FindBuffer(output, SECBUFFER_TOKEN);
  if (out_token == nullptr) return SEC_E_INVALID_TOKEN;
  out_token->pvBuffer = nullptr;
  out_token->cbBuffer = 0;
  const ULONG echoed = ISC_REQ_REPLAY_DETECT | ISC_REQ_SEQUENCE_DETECT | ISC_REQ_CONFIDENTIALITY |
                       ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
  if (context_attr != nullptr) *context_attr = (context_req & echoed) | ISC_RET_ALLOCATED_MEMORY;
  SetNeverExpires(expiry);

  SecurityContext::HandshakeStep step;
  SecBuffer* in_token = nullptr;
  if (IsNullHandle(context)) {
    std::shared_ptr<ClientCredentials> creds = Credentials().Find(credential);
    if (!creds) return SEC_E_INVALID_HANDLE;
    if (new_context == nullptr) return SEC_E_INVALID_PARAMETER;
    std::shared_ptr<SecurityContext> made = SecurityContext::Create(creds, target_name ? target_name : "");
    if (!made) return SEC_E_INTERNAL_ERROR;
    step = made->Handshake(nullptr, 0);
    if (FAILED(step.status)) return step.status;
    *new_context = Contexts().Add(std::move(made));
  } else {
    std::shared_ptr<SecurityContext> live = Contexts().Find(context);
    if (!live) return SEC_E_INVALID_HANDLE;
    in_token = FindBuffer(input, SECBUFFER_TOKEN);
    if (in_token != nullptr && in_token->cbBuffer > 0 && in_token->pvBuffer == nullptr) return SEC_E_INVALID_TOKEN;
    const auto* bytes = in_token ? static_cast<const uint8_t*>(in_token->pvBuffer) : nullptr;
    step = live->Handshake(bytes, in_token ? in_token->cbBuffer : 0);
    if (new_context != nullptr) *new_context = *context;
  }

  const SECURITY_STATUS delivered = DeliverToken(step.output, out_token);
  if (delivered != SEC_E_OK) return delivered;
  SecBuffer* result = ResultBuffer(input, in_token);
  if (result != nullptr) {
    const size_t length = in_token->cbBuffer;
    if (step.status == SEC_E_INCOMPLETE_MESSAGE) {
      *result = SecBuffer{static_cast<ULONG>(step.missing), SECBUFFER_MISSING, nullptr};
    } else if (!FAILED(step.status) && step.consumed < length) {
      *result = SecBuffer{static_cast<ULONG>(length - step.consumed), SECBUFFER_EXTRA,
                          static_cast<uint8_t*>(in_token->pvBuffer) + step.consumed};
    } else {
      *result = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    }
  }
  return step.status;
}

SECURITY_STATUS DeleteSecurityContext(PCtxtHandle context) {
  return Contexts().Remove(context) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS ApplyControlToken(PCtxtHandle context, PSecBufferDesc input) {
  std::shared_ptr<SecurityContext> live = Contexts().Find(context);
  if (!live) return SEC_E_INVALID_HANDLE;
  const SecBuffer* token = FindBuffer(input, SECBUFFER_TOKEN);
  if (token == nullptr || token->pvBuffer == nullptr || token->cbBuffer < sizeof(DWORD)) return SEC_E_INVALID_TOKEN;
  DWORD control;
  std::memcpy(&control, token->pvBuffer, sizeof control);
  if (control != SCHANNEL_SHUTDOWN) return SEC_E_UNSUPPORTED_FUNCTION;
  live->RequestShutdown();
  return SEC_E_OK;
}

SECURITY_STATUS QueryContextAttributesA(PCtxtHandle context, ULONG attribute, void* buffer) {
  std::shared_ptr<SecurityContext> live = Contexts().Find(context);
  if (!live) return SEC_E_INVALID_HANDLE;
  if (buffer == nullptr) return SEC_E_INVALID_PARAMETER;
  switch (attribute) {
    case SECPKG_ATTR_STREAM_SIZES:
      return live->StreamSizes(static_cast<SecPkgContext_StreamSizes*>(buffer));
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
      std::vector<X509*> chain;
      const SECURITY_STATUS status = live->PeerCertificates(&chain);
      if (status != SEC_E_OK) return status;
      PCCERT_CONTEXT made = MakeCertContext(std::move(chain));
      if (made == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
      *static_cast<PCCERT_CONTEXT*>(buffer) = made;
      return SEC_E_OK;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

SECURITY_STATUS FreeContextBuffer(void* buffer) {
  std::free(buffer);
  return SEC_E_OK;
}

SECURITY_STATUS EncryptMessage(PCtxtHandle context, ULONG qop, PSecBufferDesc message, ULONG sequence) {
  std::shared_ptr<SecurityContext> live = Contexts().Find(context);
  if (!live) return SEC_E_INVALID_HANDLE;
  if (qop != 0 || sequence != 0) return SEC_E_INVALID_PARAMETER;
  SecBuffer* header = FindBuffer(message, SECBUFFER_STREAM_HEADER);
  SecBuffer* data = FindBuffer(message, SECBUFFER_DATA);
  SecBuffer* trailer = FindBuffer(message, SECBUFFER_STREAM_TRAILER);
  if (header == nullptr || data == nullptr || trailer == nullptr || header->pvBuffer == nullptr ||
      data->pvBuffer == nullptr || trailer->pvBuffer == nullptr) {
    return SEC_E_INVALID_TOKEN;
  }
  SecPkgContext_StreamSizes sizes;
  const SECURITY_STATUS sized = live->StreamSizes(&sizes);
  if (sized != SEC_E_OK) return sized;
  if (header->cbBuffer < sizes.cbHeader || trailer->cbBuffer < sizes.cbTrailer) return SEC_E_BUFFER_TOO_SMALL;
  std::string record;
  const SECURITY_STATUS status = live->Encrypt(static_cast<const uint8_t*>(data->pvBuffer), data->cbBuffer, &record);
  if (status != SEC_E_OK) return status;
  const size_t trailer_size = record.size() - sizes.cbHeader - data->cbBuffer;
  std::memcpy(header->pvBuffer, record.data(), sizes.cbHeader);
  std::memcpy(data->pvBuffer, record.data() + sizes.cbHeader, data->cbBuffer);
  std::memcpy(trailer->pvBuffer, record.data() + sizes.cbHeader + data->cbBuffer, trailer_size);
  header->cbBuffer = sizes.cbHeader;
  trailer->cbBuffer = static_cast<ULONG>(trailer_size);
  return SEC_E_OK;
}

SECURITY_STATUS DecryptMessage(PCtxtHandle context, PSecBufferDesc message, ULONG /*sequence*/, ULONG* qop) {
  std::shared_ptr<SecurityContext> live = Contexts().Find(context);
  if (!live) return SEC_E_INVALID_HANDLE;
  if (message == nullptr || message->pBuffers == nullptr || message->cBuffers < 4) return SEC_E_INVALID_TOKEN;
  SecBuffer* b = message->pBuffers;
  if (b[0].BufferType != SECBUFFER_DATA || (b[0].pvBuffer == nullptr && b[0].cbBuffer != 0)) {
    return SEC_E_INVALID_TOKEN;
  }
  if (qop != nullptr) *qop = 0;
  auto* bytes = static_cast<uint8_t*>(b[0].pvBuffer);
  const size_t length = b[0].cbBuffer;
  const SecurityContext::DecryptStep step = live->Decrypt(bytes, length);
  if (step.status == SEC_E_INCOMPLETE_MESSAGE) {
    b[1] = SecBuffer{static_cast<ULONG>(step.missing), SECBUFFER_MISSING, nullptr};
    return step.status;
  }
  if (FAILED(step.status)) return step.status;
  const size_t after_plain = step.plain_offset + step.plain_size;
  b[0] = SecBuffer{static_cast<ULONG>(step.plain_offset), SECBUFFER_STREAM_HEADER, bytes};
  b[1] = SecBuffer{static_cast<ULONG>(step.plain_size), SECBUFFER_DATA, bytes + step.plain_offset};
  b[2] = SecBuffer{static_cast<ULONG>(step.record_size - after_plain), SECBUFFER_STREAM_TRAILER, bytes + after_plain};
  if (step.record_size < length) {
    b[3] = SecBuffer{static_cast<ULONG>(length - step.record_size), SECBUFFER_EXTRA, bytes + step.record_size};
  } else {
    b[3] = SecBuffer{0, SECBUFFER_EMPTY, nullptr};
  }
  return step.status;
}

PSecurityFunctionTableA InitSecurityInterfaceA() {
  static SecurityFunctionTableA table = {
      1,
      &AcquireCredentialsHandleA,
      &FreeCredentialsHandle,
      &InitializeSecurityContextA,
      &DeleteSecurityContext,
      &ApplyControlToken,
      &QueryContextAttributesA,
      &FreeContextBuffer,
      &EncryptMessage,
      &DecryptMessage,
  };
  return &table;
}

INIT_SECURITY_INTERFACE_A ChooseSecurityInterface() { return &InitSecurityInterfaceA; }

}  // namespace platform::tls
