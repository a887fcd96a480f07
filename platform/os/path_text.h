#pragma once
// A std::filesystem::path as the UTF-8 text the file services take, and back. On Windows a
// path's narrow form is not UTF-8 (the C runtime's page), so the conversion goes through the
// path's UTF-8 form; on POSIX the narrow form is the name's bytes as they are.

#include <filesystem>
#include <string>

namespace vx::os {

inline std::string PathText(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
#else
  return path.string();
#endif
}

inline std::filesystem::path PathOfText(const std::string& utf8) {
#ifdef _WIN32
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#else
  return std::filesystem::path(utf8);
#endif
}

}  // namespace vx::os
