#include "core/tran/tran_params.h"

#include <climits>
#include <cstddef>
#include <cstdint>

#include "core/params/param_settings.h"

int ParamTextToInt(const std::string& text) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = value * 10 + (text[pos] - '0');
    if (value > static_cast<int64_t>(INT_MAX) + 1) break;  // clamped below
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int ReadIntParam(const CParamSettings& settings, int number) {
  return ParamTextToInt(settings.GetParams().GetParamValue(number));
}
