#pragma once
// Helpers shared by the foundation tests: a guard that restores the engine's global settings
// and error switches, and a fresh temporary directory per test. Test code only.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "platform/os/file.h"

namespace vx::testing {

// Saves the date settings and the error state on construction and puts them back on
// destruction, so that a test may change any of them.
class SettingsGuard {
 public:
  SettingsGuard()
      : date_style_(DateStyle),
        century_on_(CenturyOn),
        century_base_(CenturyBase),
        decimal_(DecimalSeparator),
        thousands_(ThousandsSeparator),
        raise_(RaiseOnError),
        exceptions_(UseExceptions),
        handler_(ErrorHandlerProc),
        halting_(Halting) {}
  ~SettingsGuard() {
    DateStyle = date_style_;
    CenturyOn = century_on_;
    CenturyBase = century_base_;
    DecimalSeparator = decimal_;
    ThousandsSeparator = thousands_;
    RaiseOnError = raise_;
    UseExceptions = exceptions_;
    ErrorHandlerProc = handler_;
    Halting = halting_;
    EngineErrorCode = 0;
    LastErrorCode = 0;
    LastErrorMessage->clear();
  }
  SettingsGuard(const SettingsGuard&) = delete;
  SettingsGuard& operator=(const SettingsGuard&) = delete;

 private:
  int date_style_;
  bool century_on_;
  int century_base_;
  char decimal_;
  char thousands_;
  bool raise_;
  bool exceptions_;
  ErrorHandlerProcType handler_;
  bool halting_;
};

// A new empty directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    if (os::CreatePrivateDirectory(path_) == os::kIoOk) path_.pop_back();  // the final "/"
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "vxfnd-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
#endif
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace vx::testing
