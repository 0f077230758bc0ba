#include "app/config/rvcs_identity.h"

#include <atomic>
#include <cstdint>

#include "platform/fs/profile.h"
#include "platform/sync/mutex.h"
#include "platform/system/system.h"
#include "platform/text/format.h"

namespace {

constexpr char kIdentitySection[] = "Settings";
constexpr char kInstallationIdEntry[] = "InstallationId";

std::atomic<LaunchIdentityReader> g_LaunchIdentityReader{nullptr};
platform::Mutex g_InstallationIdLock;

bool IsUsableDeviceId(const std::string& id) {
  if (id.empty()) return false;
  for (const char c : id) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

// A random id of 32 upper-case hex digits; empty when the kernel gives no bytes.
std::string NewInstallationId() {
  uint8_t bytes[16];
  if (!platform::RandomBytes(bytes, sizeof bytes)) return std::string();
  std::string id;
  for (const uint8_t b : bytes) id += platform::Format("%02X", b);
  return id;
}

}  // namespace

void SetLaunchIdentityReader(LaunchIdentityReader reader) { g_LaunchIdentityReader.store(reader); }

std::string ChooseDeviceId(const CLaunchIdentity& launch, const std::string& installationId) {
  if (launch.startedByLauncher && IsUsableDeviceId(launch.deviceId)) return launch.deviceId;
  return installationId;
}

std::string GetDeviceId() {
  const LaunchIdentityReader reader = g_LaunchIdentityReader.load();
  const CLaunchIdentity launch = reader ? reader() : CLaunchIdentity();
  if (launch.startedByLauncher && IsUsableDeviceId(launch.deviceId)) return launch.deviceId;
  return GetInstallationId();
}

std::string GetInstallationId() { return GetInstallationId(platform::fs::ProcessProfile()); }

std::string GetInstallationId(platform::fs::Profile& profile) {
  platform::MutexLock lock(g_InstallationIdLock);
  std::string id;
  if (profile.Read(kIdentitySection, kInstallationIdEntry, &id) && !id.empty()) return id;
  id = NewInstallationId();
  // When the profile cannot be written the id still serves this download; the next
  // call makes another.
  if (!id.empty()) profile.WriteString(kIdentitySection, kInstallationIdEntry, id);
  return id;
}

std::string GetMachineId() {
  std::string name;
  std::string id;
  if (platform::GetHostName(&name)) {
    for (const char* p = name.c_str(); *p; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      if (c > 0x20 && c < 0x7F) id += *p;
    }
  }
  return id.empty() ? "UNKNOWN" : id;
}
