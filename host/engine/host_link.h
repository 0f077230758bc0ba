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
  // Destroying a link disconnects it, as Disconnect does.
  virtual ~CHostLink() = default;
  // Connects within timeoutMs. False: GetLastErrorText says why.
  virtual bool Connect(const std::string& host, int port, uint32_t timeoutMs) = 0;
  // Prepares the HTTP request that carries the record's m_HostRequest. False when
  // none can be made: nothing may then be sent.
  [[nodiscard]] virtual bool BuildHttpRequest(const CElavonTran& tran) = 0;
  // Sends it and waits for the answer. True when an answer body is available. The
  // wait for the answer is never ended by the abort event: the request is at the host.
  virtual bool Transact() = 0;
  // Whether the abort event ends the waits of Connect (true until told otherwise).
  // A connection that carries what is owed to the host (a reversal) does not watch it.
  virtual void SetAbortable(bool /*abortable*/) {}
  virtual std::string AnswerBody() const = 0;
  virtual std::string GetLastErrorText() const = 0;
  virtual void Disconnect() = 0;
};

using HostLinkFactory = std::function<std::unique_ptr<CHostLink>()>;
