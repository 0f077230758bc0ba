// Test helpers: environment variables and the time zone set for one scope and
// restored afterwards, and a scratch folder removed with its contents.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace qx_test {

// Sets (or, with a null value, removes) one environment variable for the life of
// the object. Tests run on one thread, so nothing reads the environment meanwhile.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = std::string(old);
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// TZ set to a POSIX rule (no zone data needed), restored and re-read at the end.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* rule) : env_("TZ", rule) { tzset(); }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  struct TzsetOnExit {
    ~TzsetOnExit() { tzset(); }
  };
  TzsetOnExit tzsetOnExit_;  // destroyed after env_, so it reads the restored TZ
  ScopedEnv env_;
};

// A fresh folder below the working folder, removed with its contents at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::current_path() / "scratch-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace qx_test
