// Feeds arbitrary bytes to the reading side of the configuration-service exchange,
// as the download reads message 2: the completeness test, the framing, the escape of
// a message that does not parse, then the parameter parser on the body, checked
// against the default parameter definitions. When the first byte is odd the rest
// goes to the parameter parser as a body of its own, so that the parser is reached
// without a frame too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/config/param_parser.h"
#include "app/config/rvcs_client.h"
#include "core/params/param_settings.h"
#include "core/vocab/vocabulary.h"

namespace {

const CParamMap* g_Definitions = nullptr;

void Require(bool condition) {
  if (!condition) abort();
}

void ParseParameters(const std::string& body) {
  CParamParser parser;
  CParamMap params;
  const bool parsed = parser.Parse(body, *g_Definitions, params);
  Require(!parsed || (parser.GetServiceError().empty() && parser.GetLastError().empty()));
  Require(parsed || (!parser.GetServiceError().empty() || !parser.GetLastError().empty()));
  if (!parsed) return;
  // A successful parse always yields the whole set, under the names and formats
  // already held.
  for (int n = FIRST_PARM; n <= LAST_PARM; ++n) {
    CParamEntry got;
    CParamEntry held;
    Require(params.Lookup(n, &got) && g_Definitions->Lookup(n, &held));
    Require(got.GetName() == held.GetName() && got.GetFormat().GetCode() == held.GetFormat().GetCode());
    Require(got.GetValue().find(';') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CParamSettings settings;
  settings.ResetToDefaults();
  g_Definitions = new CParamMap(settings.GetParams());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string raw(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    ParseParameters(raw);
    return 0;
  }

  CRvcsClient::IsMessageComplete(raw);
  CRvcsResponse response;
  if (!response.Parse(raw)) {
    EscapeForLog(raw);
    return 0;
  }
  Require(response.GetStatusCode() == 200 && !response.GetBody().empty());
  ParseParameters(response.GetBody());
  return 0;
}
