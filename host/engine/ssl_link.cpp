#include "host/engine/ssl_link.h"

#include "core/queue/process_events.h"

#include "host/ip/elavon_ssl_client.h"
#include "host/ip/sspi_interface.h"

namespace {

class CElavonSslLink final : public CHostLink {
 public:
  CElavonSslLink() : m_Client(g_SspiInterface.GetFunctionTable(), g_SspiInterface.GetCredentials()) {}
  bool Connect(const std::string& host, int port, uint32_t timeoutMs) override {
    return m_Client.Connect(host, port, static_cast<int>(timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeoutMs));
  }
  bool BuildHttpRequest(const CElavonTran& tran) override { return m_Client.BuildHttpRequest(tran); }
  void SetAbortable(bool abortable) override { m_Client.SetAbortEvent(abortable ? &g_AbortEvent : nullptr); }
  bool Transact() override { return m_Client.Transact(); }
  std::string AnswerBody() const override { return m_Client.GetResponse().GetBody(); }
  std::string GetLastErrorText() const override { return m_Client.GetLastErrorText(); }
  void Disconnect() override { m_Client.Disconnect(); }

 private:
  CElavonSslClient m_Client;
};

}  // namespace

std::unique_ptr<CHostLink> MakeElavonSslLink() { return std::make_unique<CElavonSslLink>(); }
