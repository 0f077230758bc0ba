#include "host/ip/sspi_interface.h"

namespace tls = platform::tls;

CSspiInterface g_SspiInterface;

CSspiInterface::CSspiInterface() : CSspiInterface(&tls::ChooseSecurityInterface) {}

CSspiInterface::CSspiInterface(ChooseInterfaceFn choose) : m_Choose(choose) {}

CSspiInterface::~CSspiInterface() { Release(); }

bool CSspiInterface::Initialize() {
  platform::MutexLock lock(m_Lock);
  if (m_CredentialsAcquired.m_Value) return true;  // one set of credentials per process
  if (!LoadInterfaceLocked()) return false;
  if (!AcquireCredentialsLocked()) {
    ReleaseLocked();
    return false;
  }
  return true;
}

bool CSspiInterface::Release() {
  platform::MutexLock lock(m_Lock);
  ReleaseLocked();
  return true;
}

void CSspiInterface::ReleaseLocked() {
  if (m_CredentialsAcquired.m_Value && m_FunctionTable != nullptr) {
    m_FunctionTable->FreeCredentialsHandle(&m_Credentials);
    m_Credentials = tls::CredHandle{};
  }
  m_CredentialsAcquired.m_Value = false;
  FreeLibraryLocked();
}

bool CSspiInterface::LoadInterface() {
  platform::MutexLock lock(m_Lock);
  return LoadInterfaceLocked();
}

bool CSspiInterface::LoadInterfaceLocked() {
  if (m_FunctionTable != nullptr) return true;
  m_Library = m_Choose != nullptr ? m_Choose() : nullptr;
  if (m_Library == nullptr) return false;
  m_FunctionTable = m_Library();
  return m_FunctionTable != nullptr;
}

void CSspiInterface::FreeLibrary() {
  platform::MutexLock lock(m_Lock);
  FreeLibraryLocked();
}

void CSspiInterface::FreeLibraryLocked() {
  // The table belongs to the library: it goes with it.
  m_Library = nullptr;
  m_FunctionTable = nullptr;
}

bool CSspiInterface::AcquireCredentials() {
  platform::MutexLock lock(m_Lock);
  return AcquireCredentialsLocked();
}

bool CSspiInterface::AcquireCredentialsLocked() {
  if (m_CredentialsAcquired.m_Value) return true;  // never a second handle over the first
  if (m_FunctionTable == nullptr) return false;
  tls::SCHANNEL_CRED cred{};
  cred.dwVersion = tls::SCHANNEL_CRED_VERSION;
  cred.grbitEnabledProtocols = tls::SP_PROT_TLS1_2;
  cred.dwFlags = tls::SCH_CRED_NO_DEFAULT_CREDS | tls::SCH_CRED_MANUAL_CRED_VALIDATION;
  tls::TimeStamp expiry{};
  const tls::SECURITY_STATUS status = m_FunctionTable->AcquireCredentialsHandleA(
      nullptr, tls::UNISP_NAME_A, tls::SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr, &m_Credentials,
      &expiry);
  m_CredentialsAcquired.m_Value = status == tls::SEC_E_OK;
  return m_CredentialsAcquired.m_Value;
}

tls::PSecurityFunctionTableA CSspiInterface::GetFunctionTable() const {
  platform::MutexLock lock(m_Lock);
  return m_FunctionTable;
}

tls::CredHandle* CSspiInterface::GetCredentials() { return &m_Credentials; }

bool CSspiInterface::CredentialsAcquired() const {
  platform::MutexLock lock(m_Lock);
  return m_CredentialsAcquired.m_Value;
}
