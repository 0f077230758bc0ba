// The configuration-service client as the download of the Setup dialog and the view.
#include "app/config/rvcs_client.h"
#include "app/shell/setup_dialog.h"
#include "host/ip/sspi_interface.h"

namespace {

// CRvcsClient behind CParameterDownload; its own result flag follows ours.
class CRvcsParameterDownload : public CParameterDownload {
 public:
  CRvcsParameterDownload(platform::tls::PSecurityFunctionTableA functionTable, platform::tls::PCredHandle credentials,
                         CParamStore* store)
      : m_Client(functionTable, credentials, store) {}

  bool DownloadParameters() override {
    m_Client.m_DownloadSucceeded.m_Value = false;
    const bool ok = m_Client.DownloadParameters();
    m_Client.m_DownloadSucceeded.m_Value = ok;
    return ok;
  }
  std::string GetLastErrorText() const override { return m_Client.GetLastErrorText(); }
  void Disconnect() override { m_Client.Disconnect(); }

 private:
  CRvcsClient m_Client;
};

}  // namespace

std::unique_ptr<CParameterDownload> MakeRvcsParameterDownload(platform::tls::PSecurityFunctionTableA functionTable,
                                                             platform::tls::PCredHandle credentials,
                                                             CParamStore* store) {
  return std::make_unique<CRvcsParameterDownload>(functionTable, credentials, store);
}

std::unique_ptr<CParameterDownload> MakeDefaultParameterDownload() {
  return MakeRvcsParameterDownload(g_SspiInterface.GetFunctionTable(), g_SspiInterface.GetCredentials());
}
