#include "core/tran/tran_params.h"

#include <climits>
#include <cstddef>
#include <cstdint>

#include "core/params/param_settings.h"
#include "core/vocab/text_helpers.h"

int ParamTextToInt(const std::string& text) { return LeadingIntClamped(text); }

int ReadIntParam(const CParamSettings& settings, int number) {
  return ParamTextToInt(settings.GetParams().GetParamValue(number));
}
