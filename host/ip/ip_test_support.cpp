#include "host/ip/ip_test_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "core/params/param_store.h"
#include "host/ip/sspi_interface.h"
#include "platform/fs/files.h"

namespace host_ip_testing {

namespace {

// Everything a test process makes goes into a folder of its own (test processes run
// side by side in one working folder), removed when the process ends.
const std::string& ProcessFolder() {
  static const std::string folder = std::filesystem::absolute("ip_test_" + std::to_string(::getpid())).string();
  return folder;
}

void RemoveProcessFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(ProcessFolder(), ignored);
}

}  // namespace

void PrepareProcess() {
  static std::once_flag once;
  std::call_once(once, [] {
    ASSERT_TRUE(std::filesystem::create_directories(ProcessFolder() + "/home"));
    std::atexit(&RemoveProcessFolder);
    ::setenv("KVR_HOME", (ProcessFolder() + "/home").c_str(), 1);
    // The process's logger writes into this folder of the working folder.
    ASSERT_TRUE(platform::fs::CreateFolder("QUILLON_LOGS") || platform::fs::FolderExists("QUILLON_LOGS"));
    ASSERT_TRUE(g_SspiInterface.Initialize());
  });
}

void SetVerifySslCertificate(const std::string& value) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  CParamEntry entry;
  ASSERT_TRUE(params.Lookup(kParmVerifySslCertificate, &entry));
  params.SetAt(kParmVerifySslCertificate, CParamEntry(entry.GetFormat(), entry.GetName(), value));
  settings.SetParams(params);
  ASSERT_TRUE(g_ParamStore.Replace(settings));
  ASSERT_EQ(g_ParamStore.GetSettings().GetParams().GetParamValue(kParmVerifySslCertificate), value);
}

elavon_sim::TestPkiFiles MakePki(const std::string& name, const elavon_sim::TestPkiOptions& options) {
  elavon_sim::TestPkiFiles files;
  std::string error;
  const std::string folder = ProcessFolder() + "/pki_" + name;
  EXPECT_TRUE(elavon_sim::MakeTestPki(folder, options, &files, &error)) << error;
  return files;
}

namespace {
void Restore(const char* name, bool had, const std::string& value) {
  if (had) {
    ::setenv(name, value.c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}
}  // namespace

ScopedTrust::ScopedTrust(const std::string& ca_file) {
  const char* file = ::getenv("SSL_CERT_FILE");
  const char* dir = ::getenv("SSL_CERT_DIR");
  m_HadFile = file != nullptr;
  m_HadDir = dir != nullptr;
  if (file) m_PreviousFile = file;
  if (dir) m_PreviousDir = dir;
  const std::string empty = ProcessFolder() + "/empty_cert_dir";
  ::mkdir(empty.c_str(), 0700);
  ::setenv("SSL_CERT_FILE", ca_file.c_str(), 1);
  ::setenv("SSL_CERT_DIR", empty.c_str(), 1);
}

ScopedTrust::~ScopedTrust() {
  Restore("SSL_CERT_FILE", m_HadFile, m_PreviousFile);
  Restore("SSL_CERT_DIR", m_HadDir, m_PreviousDir);
}

std::unique_ptr<CElavonSslClient> NewClient() {
  return std::make_unique<CElavonSslClient>(g_SspiInterface.GetFunctionTable(), g_SspiInterface.GetCredentials());
}

CElavonTran TranWithMessage(const std::string& message) {
  CElavonTran tran;
  tran.m_HostRequest = message;
  return tran;
}

std::string LogText() {
  EXPECT_TRUE(GetLogger().Flush(5000));
  std::string text;
  if (DIR* dir = ::opendir("QUILLON_LOGS")) {
    while (dirent* entry = ::readdir(dir)) {
      std::string content;
      if (entry->d_name[0] != '.' && platform::fs::ReadFile(std::string("QUILLON_LOGS/") + entry->d_name, &content)) {
        text += content;
      }
    }
    ::closedir(dir);
  }
  return text;
}

}  // namespace host_ip_testing
