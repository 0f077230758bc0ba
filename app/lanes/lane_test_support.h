// Small helpers shared by the lane tests and the tests of the rooms that use lanes
// (the dialogs, the management pipe): a logger that keeps its lines in memory and
// a scratch folder removed at the end of the test.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log/recording_logger.h"

// The lane tests' name for the recording logger.
using CapturedLog = CRecordingLogger;

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
