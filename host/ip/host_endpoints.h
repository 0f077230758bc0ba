// The two addresses of the Elavon IP gateway, primary and secondary, and which one
// is in use. Every operation but Reset and Current takes the object's own lock; the
// request worker switches to the other endpoint after a failed connection.
#pragma once

#include <string>

#include "platform/sync/mutex.h"

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

  // Both endpoints := the default gateway; the primary is in use. Reset runs with the
  // lock held by the caller; ResetLocked takes it.
  void Reset() REQUIRES(m_Lock);
  void ResetLocked() EXCLUDES(m_Lock);
  // The endpoint in use (the placeholder "0.0.0.0":"0" when none). Current runs with
  // the lock held by the caller; GetCurrent and GetCurrentAndCount take it.
  CActiveHost Current() const REQUIRES(m_Lock);
  CActiveHost GetCurrent() const EXCLUDES(m_Lock);
  CActiveHost GetCurrentAndCount() EXCLUDES(m_Lock);
  // After a failed connection to host:port: when that is the endpoint in use, the
  // other one becomes the endpoint in use. Returns the endpoint now in use.
  CActiveHost Switch(const std::string& failed_host, const std::string& failed_port) EXCLUDES(m_Lock);
  // Which entry is in use (both may hold the same address).
  bool IsPrimaryActive() const EXCLUDES(m_Lock) {
    platform::MutexLock lock(m_Lock);
    return m_PrimaryActive;
  }

 private:
  mutable platform::Mutex m_Lock;
  CHostAddress m_Primary GUARDED_BY(m_Lock){"0.0.0.0", "0"};
  CHostAddress m_Secondary GUARDED_BY(m_Lock){"0.0.0.0", "0"};
  bool m_PrimaryActive GUARDED_BY(m_Lock) = false;
  bool m_SecondaryActive GUARDED_BY(m_Lock) = false;
  unsigned m_Count GUARDED_BY(m_Lock) = 0;
};

extern CHostEndpoints g_HostEndpoints;
