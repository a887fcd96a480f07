// Folders of tables.

#include <vexel/folder.hpp>

#include <vexel/vexel.hpp>

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

PendingFile::PendingFile(const std::filesystem::path& target,
                         std::vector<std::string> companion_suffixes)
    : target_(target), companions_(std::move(companion_suffixes)) {
  std::string folder = target.parent_path().string();
  if (folder.empty()) folder = ".";
  std::string created;
  if (const int io = vx::os::UniqueTempFile(folder, "VXP", created); io != vx::os::kIoOk) {
    throw DataError(io, "cannot create a new file in " + folder + " for " + target.string() +
                            " (error " + std::to_string(io) + ")");
  }
  path_ = created;
}

PendingFile::~PendingFile() {
  if (committed_) return;
  vx::os::DeleteFile(path_.string());
  for (const std::string& suffix : companions_) vx::os::DeleteFile(path_.string() + suffix);
}

void PendingFile::commit() {
  if (committed_) return;
  if (const int io = vx::os::RenameFile(path_.string(), target_.string()); io != vx::os::kIoOk) {
    throw DataError(io, "cannot name " + path_.string() + " " + target_.string() + " (error " +
                            std::to_string(io) + ")");
  }
  committed_ = true;
  vx::os::SyncDirectoryOf(target_.string());
}

}  // namespace vexel
