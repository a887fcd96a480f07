#include "platform/os/system.h"

#ifdef _WIN32
#include "platform/os/win32.h"
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

namespace vx::os {
namespace {

constexpr int kEnglishUs = 9 | (1 << 10);

// Win32 primary language numbers by ISO 639 language code.
struct Language {
  const char* code;
  int primary;
};
constexpr Language kLanguages[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06},
    {"de", 0x07}, {"el", 0x08}, {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C},
    {"he", 0x0D}, {"hu", 0x0E}, {"is", 0x0F}, {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12},
    {"nl", 0x13}, {"no", 0x14}, {"nb", 0x14}, {"nn", 0x14}, {"pl", 0x15}, {"pt", 0x16},
    {"rm", 0x17}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1A}, {"sr", 0x1A}, {"bs", 0x1A},
    {"sk", 0x1B}, {"sq", 0x1C}, {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F}, {"ur", 0x20},
    {"id", 0x21}, {"uk", 0x22}, {"be", 0x23}, {"sl", 0x24}, {"et", 0x25}, {"lv", 0x26},
    {"lt", 0x27}, {"fa", 0x29}, {"vi", 0x2A}, {"hy", 0x2B}, {"az", 0x2C}, {"eu", 0x2D},
    {"mk", 0x2F}, {"af", 0x36}, {"ka", 0x37}, {"fo", 0x38}, {"hi", 0x39}, {"ga", 0x3C},
    {"ms", 0x3E}, {"kk", 0x3F}, {"sw", 0x41}, {"gl", 0x56},
};

// Win32 sublanguage numbers by language and country; a language's other countries get 1, the
// sublanguage of its home country.
struct SubLanguageEntry {
  const char* language;
  const char* country;
  int sub;
};
constexpr SubLanguageEntry kSubLanguages[] = {
    {"en", "US", 1},  {"en", "GB", 2},  {"en", "AU", 3},  {"en", "CA", 4},  {"en", "NZ", 5},
    {"en", "IE", 6},  {"en", "ZA", 7},  {"en", "JM", 8},  {"en", "BZ", 10}, {"en", "TT", 11},
    {"en", "ZW", 12}, {"en", "PH", 13}, {"en", "IN", 16}, {"en", "MY", 17}, {"en", "SG", 18},
    {"fr", "FR", 1},  {"fr", "BE", 2},  {"fr", "CA", 3},  {"fr", "CH", 4},  {"fr", "LU", 5},
    {"fr", "MC", 6},  {"de", "DE", 1},  {"de", "CH", 2},  {"de", "AT", 3},  {"de", "LU", 4},
    {"de", "LI", 5},  {"es", "ES", 1},  {"es", "MX", 2},  {"es", "GT", 4},  {"es", "CR", 5},
    {"es", "PA", 6},  {"es", "DO", 7},  {"es", "VE", 8},  {"es", "CO", 9},  {"es", "PE", 10},
    {"es", "AR", 11}, {"es", "EC", 12}, {"es", "CL", 13}, {"es", "UY", 14}, {"es", "PY", 15},
    {"es", "BO", 16}, {"es", "SV", 17}, {"es", "HN", 18}, {"es", "NI", 19}, {"es", "PR", 20},
    {"es", "US", 21}, {"it", "IT", 1},  {"it", "CH", 2},  {"pt", "BR", 1},  {"pt", "PT", 2},
    {"nl", "NL", 1},  {"nl", "BE", 2},  {"sv", "SE", 1},  {"sv", "FI", 2},  {"zh", "TW", 1},
    {"zh", "CN", 2},  {"zh", "HK", 3},  {"zh", "SG", 4},  {"zh", "MO", 5},  {"nb", "NO", 1},
    {"nn", "NO", 2},  {"hr", "HR", 1},  {"sr", "RS", 3},  {"bs", "BA", 5},  {"ar", "SA", 1},
    {"ar", "IQ", 2},  {"ar", "EG", 3},  {"ru", "RU", 1},  {"ru", "MD", 2},
};

// A Portuguese locale without a country is Portugal's; every other language defaults to 1.
int DefaultSubLanguage(std::string_view language) { return language == "pt" ? 2 : 1; }

std::function<void()>& MessagesHook() {
  static std::function<void()> hook;
  return hook;
}

std::function<void(const std::string&, const std::string&)>& FatalHook() {
  static std::function<void(const std::string&, const std::string&)> hook;
  return hook;
}

std::mutex& HookMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

int UserDefaultLangId() {
  std::string_view locale;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') {
      locale = value;
      break;
    }
  }
  // "language[_COUNTRY][.codeset][@modifier]"
  const std::size_t modifier_at = locale.find('@');
  const std::string_view modifier =
      modifier_at == std::string_view::npos ? std::string_view() : locale.substr(modifier_at + 1);
  const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
  const std::size_t underscore = name.find('_');
  const std::string_view language = name.substr(0, underscore);
  const std::string_view country =
      underscore == std::string_view::npos ? std::string_view() : name.substr(underscore + 1);

#ifdef _WIN32
  if (locale.empty()) return ::GetUserDefaultLangID();
#endif
  int primary = 0;
  for (const Language& entry : kLanguages) {
    if (language == entry.code) primary = entry.primary;
  }
  if (primary == 0) return kEnglishUs;  // "C", "POSIX", unset and unknown languages

  int sub = DefaultSubLanguage(language);
  for (const SubLanguageEntry& entry : kSubLanguages) {
    if (language == entry.language && country == entry.country) sub = entry.sub;
  }
  if (language == "sr" && modifier == "latin") sub = 2;  // Serbian in Latin letters
  return primary | (sub << 10);
}

void SleepMs(int ms) {
  if (ms <= 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetProcessMessagesHook(std::function<void()> hook) {
  std::lock_guard lock(HookMutex());
  MessagesHook() = std::move(hook);
}

void ProcessPendingMessages() {
  std::function<void()> hook;
  {
    std::lock_guard lock(HookMutex());
    hook = MessagesHook();
  }
  // Called outside the lock: the hook may itself install or clear hooks.
  if (hook) hook();
}

void SetFatalMessageHook(
    std::function<void(const std::string& caption, const std::string& text)> hook) {
  std::lock_guard lock(HookMutex());
  FatalHook() = std::move(hook);
}

void FatalExit(const std::string& caption, const std::string& text, int exit_code) {
  std::function<void(const std::string&, const std::string&)> hook;
  {
    std::lock_guard lock(HookMutex());
    hook = FatalHook();
  }
  if (hook) {
    hook(caption, text);
  } else {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
  }
  // std::exit rather than _exit, so that open streams are flushed and static objects closed.
  std::exit(exit_code);
}

std::string AbsolutePath(const std::string& path) {
#ifdef _WIN32
  // A path from the root of the current drive ("/data/T.DBF") is absolute enough for every call
  // and stays as the user wrote it in what is printed, without the drive letter.
  const bool from_root = !path.empty() && (path[0] == '/' || path[0] == '\\') &&
                         !(path.size() > 1 && (path[1] == '/' || path[1] == '\\'));
  if (from_root) return std::filesystem::path(path).lexically_normal().generic_string();
#endif
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return path;
  // With "/" separators on Windows too, as ResolvePath writes them: callers split at "/".
  return absolute.lexically_normal().generic_string();
}

}  // namespace vx::os
