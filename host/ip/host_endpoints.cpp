#include "host/ip/host_endpoints.h"

#include <cstdlib>

namespace {
// The processor's IP gateway.
constexpr char kDefaultGatewayHost[] = "gateway.elavon.com";
constexpr char kDefaultGatewayPort[] = "443";
}  // namespace

CHostEndpoints g_HostEndpoints;

CHostAddress DefaultGatewayAddress() {
  const char* value = std::getenv("KVR_ELAVON_GATEWAY");
  if (value && *value) {
    const std::string text(value);
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos && colon > 0 && colon + 1 < text.size()) {
      return CHostAddress(text.substr(0, colon), text.substr(colon + 1));
    }
    return CHostAddress(text, kDefaultGatewayPort);
  }
  return CHostAddress(kDefaultGatewayHost, kDefaultGatewayPort);
}

CHostEndpoints::CHostEndpoints() { Reset(); }

CHostEndpoints::~CHostEndpoints() = default;

void CHostEndpoints::Reset() {
  m_Primary = DefaultGatewayAddress();
  m_Secondary = DefaultGatewayAddress();
  m_PrimaryActive = true;
  m_SecondaryActive = false;
}

void CHostEndpoints::ResetLocked() {
  std::lock_guard<std::mutex> lock(m_Lock);
  Reset();
}

CActiveHost CHostEndpoints::Current() const {
  if (m_PrimaryActive) return CActiveHost(m_Primary);
  if (m_SecondaryActive) return CActiveHost(m_Secondary);
  return CActiveHost(CHostAddress("0.0.0.0", "0"));
}

CActiveHost CHostEndpoints::GetCurrent() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return Current();
}

CActiveHost CHostEndpoints::GetCurrentAndCount() {
  std::lock_guard<std::mutex> lock(m_Lock);
  ++m_Count;
  return Current();
}

CActiveHost CHostEndpoints::Switch(const std::string& failed_host, const std::string& failed_port) {
  std::lock_guard<std::mutex> lock(m_Lock);
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
