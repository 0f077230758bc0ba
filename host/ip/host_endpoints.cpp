#include "host/ip/host_endpoints.h"

#include <cstdlib>

namespace {
// The processor's IP gateway.
constexpr char kDefaultGatewayHost[] = "gateway.elavon.com";
constexpr char kDefaultGatewayPort[] = "443";
}  // namespace

CHostEndpoints g_HostEndpoints;

namespace {

// "host:port" or "host" (port 443) from the variable; false when it is unset or empty.
bool AddressFromEnvironment(const char* name, CHostAddress* address) {
  const char* value = std::getenv(name);
  if (!value || !*value) return false;
  const std::string text(value);
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos && colon > 0 && colon + 1 < text.size()) {
    *address = CHostAddress(text.substr(0, colon), text.substr(colon + 1));
  } else {
    *address = CHostAddress(text, kDefaultGatewayPort);
  }
  return true;
}

}  // namespace

CHostAddress DefaultGatewayAddress() {
  CHostAddress address(kDefaultGatewayHost, kDefaultGatewayPort);
  AddressFromEnvironment("KVR_ELAVON_GATEWAY", &address);
  return address;
}

CHostAddress SecondaryGatewayAddress() {
  CHostAddress address = DefaultGatewayAddress();
  AddressFromEnvironment("KVR_ELAVON_GATEWAY_SECONDARY", &address);
  return address;
}

CHostEndpoints::CHostEndpoints() { Reset(); }

CHostEndpoints::~CHostEndpoints() = default;

void CHostEndpoints::Reset() {
  m_Primary = DefaultGatewayAddress();
  m_Secondary = SecondaryGatewayAddress();
  m_PrimaryActive = true;
  m_SecondaryActive = false;
}

void CHostEndpoints::ResetLocked() {
  platform::MutexLock lock(m_Lock);
  Reset();
}

CActiveHost CHostEndpoints::Current() const {
  if (m_PrimaryActive) return CActiveHost(m_Primary);
  if (m_SecondaryActive) return CActiveHost(m_Secondary);
  return CActiveHost(CHostAddress("0.0.0.0", "0"));
}

CActiveHost CHostEndpoints::GetCurrent() const {
  platform::MutexLock lock(m_Lock);
  return Current();
}

CActiveHost CHostEndpoints::GetCurrentAndCount() {
  platform::MutexLock lock(m_Lock);
  ++m_Count;
  return Current();
}

CActiveHost CHostEndpoints::Switch(const std::string& failed_host, const std::string& failed_port) {
  platform::MutexLock lock(m_Lock);
  if (m_PrimaryActive) {
    if (failed_host == m_Primary.GetHost() && failed_port == m_Primary.GetPort()) {
      m_PrimaryActive = false;
      m_SecondaryActive = true;
    }
  } else if (failed_host == m_Secondary.GetHost() && failed_port == m_Secondary.GetPort()) {
    m_PrimaryActive = true;
    m_SecondaryActive = false;
  }
  return Current();
}
