// The simulated TLS gateway that the in-process road and money-path tests put in
// front of their simulated host. Header-only: the tests that include it link the TLS
// client (host_ip) and the gateway simulator with its PKI, as they already call them.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "host/ip/host_endpoints.h"
#include "host/ip/sspi_interface.h"
#include "tools/elavon-sim/host_sim.h"
#include "tools/elavon-sim/https_server.h"
#include "tools/elavon-sim/test_pki.h"

namespace server_test {

// Makes a test PKI in pki_folder (into *pki), trusts its CA (SSL_CERT_FILE),
// initialises g_SspiInterface and starts a gateway in front of host with the PKI's
// certificate (into *gateway); KVR_ELAVON_GATEWAY names it and g_HostEndpoints reads
// it again. Use it with ASSERT_NO_FATAL_FAILURE.
inline void StartTestGateway(const std::string& pki_folder, elavon_sim::ElavonHostSim* host,
                             elavon_sim::TestPkiFiles* pki, std::unique_ptr<elavon_sim::GatewayServer>* gateway) {
  std::string error;
  ASSERT_TRUE(elavon_sim::MakeTestPki(pki_folder, elavon_sim::TestPkiOptions(), pki, &error)) << error;
  ::setenv("SSL_CERT_FILE", pki->ca_file.c_str(), 1);
  ASSERT_TRUE(g_SspiInterface.Initialize());
  elavon_sim::GatewayServerOptions options;
  options.cert_file = pki->cert_file;
  options.key_file = pki->key_file;
  *gateway = std::make_unique<elavon_sim::GatewayServer>(host, options);
  ASSERT_TRUE((*gateway)->Start(&error)) << error;
  ::setenv("KVR_ELAVON_GATEWAY", ("127.0.0.1:" + std::to_string((*gateway)->Port())).c_str(), 1);
  g_HostEndpoints.ResetLocked();
}

}  // namespace server_test
