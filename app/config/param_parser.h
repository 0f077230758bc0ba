// CParamParser: reads the parameter message of the configuration service into a
// complete parameter map, checked against the parameter definitions the server
// already holds, so that the service can change values but never names, formats or
// lengths. It also hands out the service's echo of the client challenge and the
// service's own error text.
//
// Payload: records separated by FS (0x1C), each a key, '=' and a value (the first '='
// separates them; a record without '=' is ignored). Every ';' becomes ',' first, so
// no value can break the saved form of the settings.
//   "500"      field 5 (fields split at '|', numbered from 1): the challenge echo
//   "510"      field 5: an error text of the service; non-empty means it refuses
//   "0".."21"  "name|format code|min length|max length|value": one parameter
// A later record with the same key replaces the earlier one. A parameter key is read
// as atoi reads it ("07" is parameter 7); each of the 22 numbers must be given by
// exactly one key, so a successful parse always yields the whole set.
//
// One object serves one download; it has no lock and must be used on one thread at
// a time. Parse(payload, map) reads the current definitions from g_ParamStore, which
// takes the store's own lock for that copy.
#pragma once

#include <string>

#include "core/params/param_settings.h"
#include "core/vocab/control_chars.h"

// The record separator of the payload.
inline constexpr char kParamRecordSeparator = kFS;

class CParamParser {
 public:
  CParamParser() = default;
  CParamParser(const CParamParser&) = default;
  CParamParser& operator=(const CParamParser&) = default;
  virtual ~CParamParser() = default;

  // Parses payload against the current parameters of g_ParamStore. On true, params
  // holds the 22 parameters (each under its existing name and format, with the
  // downloaded value); on false it is empty and GetServiceError (when not empty) or
  // else GetLastError tells why. The three texts are cleared first; the challenge
  // echo is filled whenever a non-empty "500" record is present, also when the parse
  // fails afterwards.
  bool Parse(const std::string& payload, CParamMap& params);
  // The same against the given definitions.
  bool Parse(const std::string& payload, const CParamMap& current, CParamMap& params);

  std::string GetChallengeEcho() const { return m_ChallengeEcho; }
  std::string GetServiceError() const { return m_ServiceError; }
  std::string GetLastError() const { return m_LastError; }

 private:
  bool Fail(std::string text);

  std::string m_ChallengeEcho;  // field 5 of the "500" record
  std::string m_ServiceError;   // field 5 of the "510" record
  std::string m_LastError;      // why the parse failed
};
