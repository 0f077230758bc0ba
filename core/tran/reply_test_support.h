// Test fixtures shared by the reply tests: a logger that records its lines instead of
// writing them, a scratch folder removed at the end of the test, and merchant
// parameters with a chosen MERCHANT/TERMINAL ID, EMV SUPPORT and EMV CVM.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log/logger.h"
#include "core/params/param_settings.h"

// Keeps every line offered, without its "[HH:MM:SS]" stamp; writes nothing.
class RecordingLogger : public CLogger {
 public:
  RecordingLogger() : CLogger("unused-log-folder", nullptr) {}
  ~RecordingLogger() override { Shutdown(); }

  bool AddLine(const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_LinesLock);
    m_Lines.push_back(text.size() >= kStampLength ? text.substr(kStampLength) : text);
    return true;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(m_LinesLock);
    return m_Lines;
  }

 private:
  static constexpr size_t kStampLength = 10;  // "[HH:MM:SS]"
  mutable std::mutex m_LinesLock;
  std::vector<std::string> m_Lines;
};

// A fresh folder under /tmp, removed with everything in it when the object goes.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/kvr_reply_XXXXXX";
    if (mkdtemp(pattern) != nullptr) m_Path = pattern;
    EXPECT_FALSE(m_Path.empty());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    if (!m_Path.empty()) std::system(("rm -rf '" + m_Path + "'").c_str());
  }
  const std::string& Path() const { return m_Path; }

 private:
  std::string m_Path;
};

// The defaults, with the merchant/terminal id and the two EMV parameters given.
inline CParamSettings ReplySettings(const std::string& merchantTerminalId,
                                    const std::string& emvSupport = "1",
                                    const std::string& emvCvm = "0") {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  EXPECT_TRUE(params.SetParamValue(kParmMerchantTerminalId, merchantTerminalId));
  EXPECT_TRUE(params.SetParamValue(kParmEmvSupport, emvSupport));
  EXPECT_TRUE(params.SetParamValue(kParmEmvCvm, emvCvm));
  settings.SetParams(params);
  return settings;
}
