// The two addresses of the Elavon IP gateway, primary and secondary, and which one
// is in use. Every operation but Reset and Current takes the object's own lock; the
// request worker switches to the other endpoint after a failed connection.
#pragma once

#include <mutex>
#include <string>

// A host name and a port as decimal text.
class CHostAddress {
 public:
  CHostAddress() = default;
  CHostAddress(std::string host, std::string port) : m_Host(std::move(host)), m_Port(std::move(port)) {}
  virtual ~CHostAddress() = default;
  CHostAddress(const CHostAddress&) = default;
  CHostAddress& operator=(const CHostAddress&) = default;

  std::string GetHost() const { return m_Host; }
  std::string GetPort() const { return m_Port; }

 private:
  std::string m_Host;
  std::string m_Port;
};

// The endpoint handed out: a copy, never a reference into the holder.
class CActiveHost {
 public:
  CActiveHost() = default;
  explicit CActiveHost(CHostAddress address) : m_Address(std::move(address)) {}
  virtual ~CActiveHost() = default;
  std::string GetHost() const { return m_Address.GetHost(); }
  std::string GetPort() const { return m_Address.GetPort(); }

 private:
  CHostAddress m_Address;
};

// The processor's gateway, port 443, unless KVR_ELAVON_GATEWAY gives "host:port".
CHostAddress DefaultGatewayAddress();
// The secondary endpoint: the default gateway, unless KVR_ELAVON_GATEWAY_SECONDARY
// gives "host:port" of its own (a test seam for the failover).
CHostAddress SecondaryGatewayAddress();

class CHostEndpoints {
 public:
  CHostEndpoints();
  CHostEndpoints(const CHostEndpoints&) = delete;
  CHostEndpoints& operator=(const CHostEndpoints&) = delete;
  virtual ~CHostEndpoints();

  // Both endpoints := the default gateway; the primary is in use. No lock.
  void Reset();
  void ResetLocked();
  // The endpoint in use (the placeholder "0.0.0.0":"0" when none). Current takes no lock.
  CActiveHost Current() const;
  CActiveHost GetCurrent() const;
  CActiveHost GetCurrentAndCount();
  // After a failed connection to host:port: when that is the endpoint in use, the
  // other one becomes the endpoint in use. Returns the endpoint now in use.
  CActiveHost Switch(const std::string& failed_host, const std::string& failed_port);
  // Which entry is in use (both may hold the same address).
  bool IsPrimaryActive() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_PrimaryActive;
  }

 private:
  mutable std::mutex m_Lock;
  CHostAddress m_Primary{"0.0.0.0", "0"};
  CHostAddress m_Secondary{"0.0.0.0", "0"};
  bool m_PrimaryActive = false;
  bool m_SecondaryActive = false;
  unsigned m_Count = 0;
};

extern CHostEndpoints g_HostEndpoints;
