#include "host/ip/sspi_interface.h"

#include <gtest/gtest.h>

namespace tls = platform::tls;

namespace {

// A provider whose table counts credential acquisitions and releases, and can be
// told to refuse the acquisition; everything else is the real provider's.
struct CountingProvider {
  static inline int acquired = 0;
  static inline int freed = 0;
  static inline bool refuse = false;
  static inline tls::SCHANNEL_CRED last_cred{};
  static inline std::string last_package;
  static inline tls::ULONG last_use = 0;

  static void Clear() {
    acquired = freed = 0;
    refuse = false;
    last_cred = {};
    last_package.clear();
    last_use = 0;
  }

  static tls::SECURITY_STATUS Acquire(const char* principal, const char* package, tls::ULONG use, void* logon,
                                      void* auth, tls::SEC_GET_KEY_FN fn, void* arg, tls::PCredHandle credential,
                                      tls::PTimeStamp expiry) {
    last_package = package ? package : "";
    last_use = use;
    if (auth != nullptr) last_cred = *static_cast<tls::SCHANNEL_CRED*>(auth);
    if (refuse) return tls::SEC_E_NO_CREDENTIALS;
    const tls::SECURITY_STATUS status =
        tls::AcquireCredentialsHandleA(principal, package, use, logon, auth, fn, arg, credential, expiry);
    if (status == tls::SEC_E_OK) ++acquired;
    return status;
  }
  static tls::SECURITY_STATUS Free(tls::PCredHandle credential) {
    ++freed;
    return tls::FreeCredentialsHandle(credential);
  }
  static tls::PSecurityFunctionTableA Table() {
    static tls::SecurityFunctionTableA table = [] {
      tls::SecurityFunctionTableA t = *tls::InitSecurityInterfaceA();
      t.AcquireCredentialsHandleA = &Acquire;
      t.FreeCredentialsHandle = &Free;
      return t;
    }();
    return &table;
  }
  static tls::INIT_SECURITY_INTERFACE_A Choose() { return &Table; }
};

tls::PSecurityFunctionTableA NoTable() { return nullptr; }
tls::INIT_SECURITY_INTERFACE_A ChooseNoTable() { return &NoTable; }
tls::INIT_SECURITY_INTERFACE_A ChooseNothing() { return nullptr; }

class SspiInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override { CountingProvider::Clear(); }
};

TEST_F(SspiInterfaceTest, InitializeAcquiresOutboundTls12CredentialsOnce) {
  CSspiInterface sspi(&CountingProvider::Choose);
  EXPECT_EQ(sspi.GetFunctionTable(), nullptr);
  EXPECT_FALSE(sspi.CredentialsAcquired());

  ASSERT_TRUE(sspi.Initialize());
  EXPECT_EQ(sspi.GetFunctionTable(), CountingProvider::Table());
  EXPECT_TRUE(sspi.CredentialsAcquired());
  EXPECT_EQ(CountingProvider::last_package, "Microsoft Unified Security Protocol Provider");
  EXPECT_EQ(CountingProvider::last_use, tls::SECPKG_CRED_OUTBOUND);
  EXPECT_EQ(CountingProvider::last_cred.dwVersion, 4u);
  EXPECT_EQ(CountingProvider::last_cred.grbitEnabledProtocols, 0xC00u);
  EXPECT_EQ(CountingProvider::last_cred.dwFlags, 0x18u);
  EXPECT_EQ(CountingProvider::last_cred.cCreds, 0u);

  // A second start-up call, or a direct acquisition, keeps the one set.
  EXPECT_TRUE(sspi.Initialize());
  EXPECT_TRUE(sspi.AcquireCredentials());
  EXPECT_EQ(CountingProvider::acquired, 1);
}

TEST_F(SspiInterfaceTest, ReleaseFreesTheCredentialsOnceHoweverOftenItRuns) {
  {
    CSspiInterface sspi(&CountingProvider::Choose);
    ASSERT_TRUE(sspi.Initialize());
    EXPECT_TRUE(sspi.Release());
    EXPECT_TRUE(sspi.Release());
    EXPECT_FALSE(sspi.CredentialsAcquired());
    EXPECT_EQ(sspi.GetFunctionTable(), nullptr) << "the table went with the library";
  }  // and the destructor releases again
  EXPECT_EQ(CountingProvider::acquired, 1);
  EXPECT_EQ(CountingProvider::freed, 1);
}

TEST_F(SspiInterfaceTest, TheDestructorReleasesHeldCredentials) {
  { CSspiInterface sspi(&CountingProvider::Choose); ASSERT_TRUE(sspi.Initialize()); }
  EXPECT_EQ(CountingProvider::freed, 1);
}

TEST_F(SspiInterfaceTest, FailuresLeaveNothingHeld) {
  struct Case {
    const char* what;
    CSspiInterface::ChooseInterfaceFn choose;
    bool refuse;
  };
  const Case cases[] = {
      {"no provider", &ChooseNothing, false},
      {"the provider returns no table", &ChooseNoTable, false},
      {"the credentials are refused", &CountingProvider::Choose, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CountingProvider::Clear();
    CountingProvider::refuse = c.refuse;
    CSspiInterface sspi(c.choose);
    EXPECT_FALSE(sspi.Initialize());
    EXPECT_FALSE(sspi.CredentialsAcquired());
    // As the start-up does after a failure, and the shut-down again.
    EXPECT_TRUE(sspi.Release());
    EXPECT_TRUE(sspi.Release());
    EXPECT_EQ(CountingProvider::freed, 0);
  }
}

TEST_F(SspiInterfaceTest, ThePlatformProviderIsTheDefault) {
  CSspiInterface sspi;
  ASSERT_TRUE(sspi.Initialize());
  EXPECT_EQ(sspi.GetFunctionTable(), tls::InitSecurityInterfaceA());
  const tls::CredHandle* handle = sspi.GetCredentials();
  EXPECT_TRUE(handle->dwLower != 0 || handle->dwUpper != 0);
}

}  // namespace
