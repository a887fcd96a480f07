// Folders of tables.

#include <vexel/folder.hpp>

#include "platform/os/file.h"

namespace vexel {

std::optional<std::vector<std::string>> table_files(const std::filesystem::path& folder) {
  if (folder.empty()) return std::nullopt;  // no path names no folder, not the current one
  std::vector<vx::os::DirEntry> entries;
  const int found = vx::os::FindFiles(folder.string(), "*.dbf", false, entries);
  if (found != vx::os::kIoOk && found != vx::os::kIoFileNotFound) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const vx::os::DirEntry& entry : entries) names.push_back(entry.name);
  return names;
}

}  // namespace vexel
