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

#include "core/log/recording_logger.h"
#include "core/params/param_settings.h"

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
