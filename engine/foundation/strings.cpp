#include "engine/foundation/strings.h"

#include <cctype>

#include "platform/os/codepage.h"
#include "platform/os/system.h"

namespace vx {

std::string OemToAnsiText(std::string_view text) { return os::OemToAnsi(text); }
std::string AnsiToOemText(std::string_view text) { return os::AnsiToOem(text); }

namespace {
bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }
}  // namespace

std::string TrimRight(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0 && IsTrimmed(text[end - 1])) --end;
  return std::string(text.substr(0, end));
}

std::string TrimLeft(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size() && IsTrimmed(text[start])) ++start;
  return std::string(text.substr(start));
}

std::string TrimText(std::string_view text) { return TrimLeft(TrimRight(text)); }

PathParts SplitPath(std::string_view path) {
  PathParts parts;
  std::size_t name_start = path.size();
  while (name_start > 0 && !IsSeparator(path[name_start - 1])) --name_start;
  parts.dir.assign(path.substr(0, name_start));
  std::string_view file = path.substr(name_start);
  const std::size_t dot = file.rfind('.');
  if (dot != std::string_view::npos) {
    parts.name.assign(file.substr(0, dot));
    parts.ext.assign(file.substr(dot));
  } else {
    parts.name.assign(file);
  }
  if (parts.name.size() > 64) parts.name.resize(64);
  if (parts.ext.size() > 64) parts.ext.resize(64);
  return parts;
}

std::string DefaultExtension(std::string_view path, std::string_view ext) {
  const PathParts parts = SplitPath(path);
  if (!parts.ext.empty()) return std::string(path);
  std::string name = parts.name;
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return parts.dir + name + "." + std::string(ext);
}

bool HasExtension(std::string_view path, std::string_view ext) {
  const std::string have = SplitPath(path).ext;
  if (have.size() != ext.size() + 1) return false;
  for (std::size_t i = 0; i < ext.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(have[i + 1])) !=
        std::toupper(static_cast<unsigned char>(ext[i]))) {
      return false;
    }
  }
  return true;
}

std::string PathBeside(std::string_view other_file, std::string_view name, std::string_view ext) {
  std::string path = DefaultExtension(name, ext);
  if (SplitPath(path).dir.empty()) path = SplitPath(other_file).dir + path;
  return path;
}

std::string ReplaceExtension(std::string_view path, std::string_view ext) {
  const PathParts parts = SplitPath(path);
  return parts.dir + parts.name + "." + std::string(ext);
}

std::string FullPath(std::string_view path) {
  std::string slashed(path);
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  return os::AbsolutePath(slashed);
}

std::string NameOnly(std::string_view path) {
  const PathParts parts = SplitPath(path);
  return parts.name + parts.ext;
}

}  // namespace vx
