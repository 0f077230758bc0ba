// Feeds arbitrary bytes to the request intake. Half the inputs go in raw; the other
// half become the TStream of a well-formed encrypted request, so the parsers behind
// the envelope are reached too.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/crypto/crypto_engine.h"
#include "core/log/logger.h"
#include "core/tran/elavon_tran.h"
#include "platform/capi/capi.h"
#include "tools/pos-client/request_envelope.h"

namespace {
pos_client::ServerPublicKey* g_Server = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/kvr_fuzz_XXXXXX";
  if (!mkdtemp(folder) || chdir(folder) != 0) abort();
  platform::capi::SetContainerRootForTesting(std::string(folder) + "/keys");
  if (!g_CryptoEngine.Start()) abort();
  ShutdownLogger();  // nothing to learn from the log lines; keep the disk out of the loop
  const std::string text = g_CryptoEngine.GetPublicKeyText();
  g_Server = new pos_client::ServerPublicKey;
  if (pos_client::ServerPublicKey::FromHex(text.substr(1, text.size() - 2), g_Server) != pos_client::Status::kOk) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string text = body;
  if (data[0] & 1) {
    pos_client::RequestOptions options;
    options.session_key = std::string(16, '\x5A');
    options.random = [](unsigned char* out, size_t n) {
      for (size_t i = 0; i < n; ++i) out[i] = 0x33;
      return true;
    };
    pos_client::Request request;
    if (pos_client::BuildRequest(*g_Server, body, options, &request) != pos_client::Status::kOk) return 0;
    text = request.envelope;
  }
  CElavonTran tran;
  tran.SetRequest(text);
  return 0;
}
