// How the transaction record reads a merchant parameter as a number. Stateless, no
// lock; safe on any thread.
#pragma once

#include <string>

class CParamSettings;

// The value of a parameter text as an integer: an optional sign, then the leading
// decimal digits up to the first other character; 0 when there are none (the empty
// text, "x"). A value beyond the int range is clamped to INT_MIN or INT_MAX.
int ParamTextToInt(const std::string& text);

// Parameter number of settings through ParamTextToInt (an absent parameter reads 0).
int ReadIntParam(const CParamSettings& settings, int number);
