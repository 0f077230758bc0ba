// Helpers of the message tests: visible control bytes, byte-for-byte comparison,
// merchant settings with raw values, and a sequence file of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "core/params/param_settings.h"
#include "host/seq/sequence_file.h"

namespace message_test {

// text with its control bytes named: <STX>, <ETX>, <FS>, <GS>, <NUL>, or <xNN>.
inline std::string Visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case 0x00: out += "<NUL>"; break;
      case 0x02: out += "<STX>"; break;
      case 0x03: out += "<ETX>"; break;
      case 0x1C: out += "<FS>"; break;
      case 0x1D: out += "<GS>"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "<x%02X>", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// Byte-for-byte equality, both texts shown with visible control bytes on failure.
inline ::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure()
         << "first difference at byte " << at << " (sizes " << actual.size() << " and "
         << expected.size() << ")\n  actual:   " << Visible(actual)
         << "\n  expected: " << Visible(expected);
}

// The XOR of the bytes from position 1 on, worked out here on its own.
inline char XorFromMarker(const std::string& text) {
  unsigned char x = 0;
  for (std::size_t i = 1; i < text.size(); ++i) x ^= static_cast<unsigned char>(text[i]);
  return static_cast<char>(x);
}

// body (STX through the last field) with ETX and its checksum.
inline std::string Framed(const std::string& body) {
  std::string message = body + '\x03';
  message += XorFromMarker(message);
  return message;
}

// The defaults with the given values stored as they are (no format check), so that
// tests can give values the store itself would refuse.
inline CParamSettings Settings(std::initializer_list<std::pair<int, std::string>> values = {}) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  for (const auto& [number, value] : values) {
    CParamEntry entry;
    params.Lookup(number, &entry);
    params.SetAt(number, CParamEntry(entry.GetFormat(), entry.GetName(), value));
  }
  settings.SetParams(params);
  return settings;
}

// settings without parameter number.
inline CParamSettings Without(CParamSettings settings, int number) {
  CParamMap params = settings.GetParams();
  params.RemoveKey(number);
  settings.SetParams(params);
  return settings;
}

// The settings most tests use: BIN 1234, merchant/terminal id 5678, category 0.
inline CParamSettings StandardSettings() {
  return Settings({{kParmAssignedBin, "1234"}, {kParmMerchantTerminalId, "5678"},
                   {kParmMerchantCategory, "0"}, {kParmEmvSupport, "0"}});
}

// The header of StandardSettings for an Elavon code, with 'A' or 'M'.
inline std::string StandardHeader(const std::string& code, char kind = 'A') {
  return std::string("\x02*00E4029") + kind + code + "JX4807GC0012340000000000005678zovade";
}

// A name for a file of the running test alone: test cases of one binary may run at
// the same time in the same working folder.
inline std::string TestFileName(const std::string& stem) {
  static int counter = 0;
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                     : std::string("none");
  return stem + "_" + name + "_" + std::to_string(++counter) + ".dat";
}

// A sequence file in the test's working folder holding number.
class ScopedSequenceFile {
 public:
  explicit ScopedSequenceFile(int number) : m_Path(TestFileName("sequence")) {
    std::remove(m_Path.c_str());
    m_File = std::make_unique<CSequenceFile>(m_Path);
    std::string messages;
    m_File->Write(std::to_string(number), &messages);
  }
  ~ScopedSequenceFile() { std::remove(m_Path.c_str()); }
  CSequenceFile& File() { return *m_File; }

 private:
  std::string m_Path;
  std::unique_ptr<CSequenceFile> m_File;
};

}  // namespace message_test
