// Test helpers: environment variables and the time zone set for one scope and
// restored afterwards, and a scratch folder removed with its contents.
#pragma once

#include <locale.h>
#include <stdlib.h>
#include <time.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

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

// The process works in folder for the life of the object, then in the folder it
// worked in before.
class ScopedCurrentFolder {
 public:
  explicit ScopedCurrentFolder(const std::string& folder)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~ScopedCurrentFolder() {
    std::error_code ec;
    std::filesystem::current_path(saved_, ec);
  }
  ScopedCurrentFolder(const ScopedCurrentFolder&) = delete;
  ScopedCurrentFolder& operator=(const ScopedCurrentFolder&) = delete;

 private:
  std::filesystem::path saved_;
};

// The calling thread uses a locale whose decimal point is ',' (de_DE) for the life
// of the object. When the system has none installed, one is compiled with
// localedef into folder (about a second). ok() is false when neither works.
class ScopedCommaLocale {
 public:
  explicit ScopedCommaLocale(const std::string& folder) {
    locale_ = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(nullptr));
    if (locale_ == static_cast<locale_t>(nullptr) && !folder.empty()) {
      const std::string command = "localedef -i de_DE -f UTF-8 '" + folder +
                                  "/de_DE.UTF-8' >/dev/null 2>&1";
      if (std::system(command.c_str()) == 0) {
        ScopedEnv path("LOCPATH", folder);
#if defined(__SANITIZE_ADDRESS__)
        // The C library keeps a copy of LOCPATH that it never frees.
        __lsan_disable();
#endif
        locale_ = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(nullptr));
#if defined(__SANITIZE_ADDRESS__)
        __lsan_enable();
#endif
      }
    }
    if (locale_ != static_cast<locale_t>(nullptr)) previous_ = uselocale(locale_);
  }
  ~ScopedCommaLocale() {
    if (locale_ == static_cast<locale_t>(nullptr)) return;
    uselocale(previous_);
    freelocale(locale_);
  }
  ScopedCommaLocale(const ScopedCommaLocale&) = delete;
  ScopedCommaLocale& operator=(const ScopedCommaLocale&) = delete;

  bool ok() const { return locale_ != static_cast<locale_t>(nullptr); }

 private:
  locale_t locale_ = static_cast<locale_t>(nullptr);
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

}  // namespace qx_test
