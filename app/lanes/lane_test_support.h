// Small helpers shared by the lane tests and the tests of the rooms that use lanes
// (the dialogs, the management pipe): a logger that keeps its lines in memory and
// a scratch folder removed at the end of the test.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log/logger.h"

// Keeps every line offered, without its "[HH:MM:SS]" stamp; writes nothing.
class CapturedLog : public CLogger {
 public:
  CapturedLog() : CLogger("unused-log-folder", nullptr) {}
  ~CapturedLog() override { Shutdown(); }

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
  static constexpr size_t kStampLength = 10;
  mutable std::mutex m_LinesLock;
  std::vector<std::string> m_Lines;
};

// A fresh folder under the test's working folder, named after the running test.
class ScratchFolder {
 public:
  ScratchFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::string("scratch_") + info->test_suite_name() + "_" + info->name();
    for (char& c : path_) {
      if (c == '/') c = '_';
    }
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
