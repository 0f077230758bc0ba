// Feeds arbitrary bytes to the lanes file reader. The bytes are decoded as a file's
// contents; when the first byte is odd they are also written as the lanes file of a
// scratch folder of this process's own and read back through CLanesFile, which must
// give the same lanes. The lanes then go through the writer and must read back as
// they were, unless an id or a description holds a CR (the writer makes it a blank).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "app/lanes/lanes.h"
#include "core/log/logger.h"
#include "platform/fs/files.h"

namespace {

std::string* g_FuzzFolder = nullptr;

void RemoveFuzzFolder() {
  std::error_code ignored;
  if (g_FuzzFolder != nullptr) std::filesystem::remove_all(*g_FuzzFolder, ignored);
}

void Require(bool condition) {
  if (!condition) abort();
}

bool HoldsCarriageReturn(const TextMap& lanes) {
  for (const auto& [id, description] : lanes) {
    if (id.find('\r') != std::string::npos || description.find('\r') != std::string::npos) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Memory-backed storage when there is some; the working folder is left to
  // libFuzzer's artifacts.
  char shm[] = "/dev/shm/kvr_lanes_fuzz_XXXXXX";
  char tmp[] = "/tmp/kvr_lanes_fuzz_XXXXXX";
  const char* folder = mkdtemp(shm);
  if (folder == nullptr) folder = mkdtemp(tmp);
  if (folder == nullptr) abort();
  g_FuzzFolder = new std::string(folder);
  atexit(RemoveFuzzFolder);
  // A failure would be logged: the process logger refuses lines from here on.
  ShutdownLogger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool throughFile = data[0] & 1;

  TextMap lanes;
  CLanesFile::Decode(bytes, lanes);
  for (const auto& [id, description] : lanes) {
    Require(id.find_first_of("\n\x1C") == std::string::npos && description.find('\n') == std::string::npos);
  }

  const CLanesFile file(*g_FuzzFolder + "/" + kLanesFileName);
  if (throughFile) {
    Require(platform::fs::ReplaceFile(file.Path(), bytes));
    TextMap read;
    Require(file.Read(read));
    Require(read == lanes);
  }

  if (HoldsCarriageReturn(lanes)) return 0;
  TextMap again;
  CLanesFile::Decode(CLanesFile::Encode(lanes), again);
  Require(again == lanes);
  if (throughFile) {
    Require(file.Write(lanes));
    Require(file.Read(again));
    Require(again == lanes);
  }
  return 0;
}
