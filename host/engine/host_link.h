// One IP connection to the Elavon gateway, as the routing uses it: connect, post a
// record's message, read Elavon's answer. CElavonSslClient (TLS and HTTP POST) is
// the real one; the routing makes a new link for every connection it needs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class CElavonTran;

class CHostLink {
 public:
  virtual ~CHostLink() = default;
  // Connects within timeoutMs. False: GetLastErrorText says why.
  virtual bool Connect(const std::string& host, int port, uint32_t timeoutMs) = 0;
  // Prepares the HTTP request that carries the record's m_HostRequest.
  virtual void BuildHttpRequest(const CElavonTran& tran) = 0;
  // Sends it and waits for the answer. True when an answer body is available.
  virtual bool Transact() = 0;
  virtual std::string AnswerBody() const = 0;
  virtual std::string GetLastErrorText() const = 0;
  virtual void Disconnect() = 0;
};

using HostLinkFactory = std::function<std::unique_ptr<CHostLink>()>;
