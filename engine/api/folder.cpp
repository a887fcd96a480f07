// Folders of tables.

#include <vexel/folder.hpp>
#include <vexel/vexel.hpp>

#include "platform/os/file.h"
#include "platform/os/path_text.h"

namespace vexel {

std::optional<std::vector<std::string>> table_files(const std::filesystem::path& folder) {
  if (folder.empty()) return std::nullopt;  // no path names no folder, not the current one
  std::vector<vx::os::DirEntry> entries;
  const int found = vx::os::FindFiles(vx::os::PathText(folder), "*.dbf", false, entries);
  if (found != vx::os::kIoOk && found != vx::os::kIoFileNotFound) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (const vx::os::DirEntry& entry : entries) names.push_back(entry.name);
  return names;
}

PendingFile::PendingFile(const std::filesystem::path& target,
                         std::vector<std::string> companion_suffixes)
    : target_(target), companions_(std::move(companion_suffixes)) {
  std::string folder = vx::os::PathText(target.parent_path());
  if (folder.empty()) folder = ".";
  std::string created;
  if (const int io = vx::os::UniqueTempFile(folder, "VXP", created); io != vx::os::kIoOk) {
    throw DataError(io, "cannot create a new file in " + folder + " for " +
                            vx::os::PathText(target) + " (error " + std::to_string(io) + ")");
  }
  path_ = created;
}

PendingFile::~PendingFile() {
  if (committed_) return;
  vx::os::DeleteFile(vx::os::PathText(path_));
  for (const std::string& suffix : companions_)
    vx::os::DeleteFile(vx::os::PathText(path_) + suffix);
}

void PendingFile::commit() {
  if (committed_) return;
  if (const int io = vx::os::RenameFile(vx::os::PathText(path_), vx::os::PathText(target_));
      io != vx::os::kIoOk) {
    throw DataError(io, "cannot name " + vx::os::PathText(path_) + " " + vx::os::PathText(target_) +
                            " (error " + std::to_string(io) + ")");
  }
  committed_ = true;
  vx::os::SyncDirectoryOf(vx::os::PathText(target_));
}

}  // namespace vexel
