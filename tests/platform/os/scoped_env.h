#pragma once
// Test helper: sets or clears environment variables for the life of a scope and restores their
// earlier values afterwards. Used by the locale tests of code pages and language numbers.

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vx::os::test_support {

#ifdef _WIN32
// The C runtime's environment, which getenv reads.
inline void setenv(const char* name, const char* value, int) { ::_putenv_s(name, value); }
inline void unsetenv(const char* name) { ::_putenv_s(name, ""); }
#else
using ::setenv;
using ::unsetenv;
#endif

class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
  }

  // Sets `name` to `value`; a null value unsets it.
  void Set(const std::string& name, const char* value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      setenv(name.c_str(), value, 1);
    } else {
      unsetenv(name.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace vx::os::test_support
