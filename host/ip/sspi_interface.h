// CSspiInterface: the security-support provider interface of the process, loaded
// once, with one set of outbound TLS 1.2 credentials (no client certificate, the
// server's certificate checked by hand by the clients). Its one instance,
// g_SspiInterface, lives for the whole process: the application's start-up calls
// Initialize before any TLS client exists and its shut-down calls Release. Every TLS
// client is built with GetFunctionTable() and GetCredentials(); they never own or free
// either.
//
// Promises: credentials are acquired at most once per Initialize/Release cycle (a
// second Initialize while they are held changes nothing and answers true); Release
// frees them once, however often it is called.
//
// Lock: the object's own mutex, taken by every member. Between Initialize and Release
// the table and the credential handle are read by any number of clients at once;
// SSPI credentials may be shared by several contexts.
#pragma once


#include "core/vocab/bool_value.h"
#include "platform/sync/mutex.h"
#include "platform/tls/sspi.h"

class CSspiInterface {
 public:
  // The provider's entry chooser: stands in for choosing the security library and
  // looking up its "InitSecurityInterfaceA" export. Null: no library.
  using ChooseInterfaceFn = platform::tls::INIT_SECURITY_INTERFACE_A (*)();

  CSspiInterface();
  // For tests: another provider.
  explicit CSspiInterface(ChooseInterfaceFn choose);
  CSspiInterface(const CSspiInterface&) = delete;
  CSspiInterface& operator=(const CSspiInterface&) = delete;
  virtual ~CSspiInterface();  // Release

  // LoadInterface, then AcquireCredentials. False when either fails (after a failed
  // acquisition Release has run).
  bool Initialize() EXCLUDES(m_Lock);
  // Frees the credentials when held, then the library. Always true.
  bool Release() EXCLUDES(m_Lock);
  // Chooses the provider and takes its function table. False when there is none.
  bool LoadInterface() EXCLUDES(m_Lock);
  void FreeLibrary() EXCLUDES(m_Lock);
  // Outbound credentials for TLS 1.2 with manual validation of the server.
  bool AcquireCredentials() EXCLUDES(m_Lock);

  // Null until loaded.
  platform::tls::PSecurityFunctionTableA GetFunctionTable() const EXCLUDES(m_Lock);
  // The address of the credential handle (valid for the object's life; the handle
  // it holds is usable only while CredentialsAcquired()).
  platform::tls::CredHandle* GetCredentials();
  bool CredentialsAcquired() const EXCLUDES(m_Lock);

 private:
  bool LoadInterfaceLocked() REQUIRES(m_Lock);
  bool AcquireCredentialsLocked() REQUIRES(m_Lock);
  void ReleaseLocked() REQUIRES(m_Lock);
  void FreeLibraryLocked() REQUIRES(m_Lock);

  const ChooseInterfaceFn m_Choose;
  mutable platform::Mutex m_Lock;
  platform::tls::INIT_SECURITY_INTERFACE_A m_Library GUARDED_BY(m_Lock) = nullptr;  // the loaded provider's entry
  platform::tls::PSecurityFunctionTableA m_FunctionTable GUARDED_BY(m_Lock) = nullptr;
  platform::tls::CredHandle m_Credentials GUARDED_BY(m_Lock){};
  CBoolValue m_CredentialsAcquired GUARDED_BY(m_Lock);
};

extern CSspiInterface g_SspiInterface;
