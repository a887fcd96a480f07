#pragma once
// Folders of tables.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vexel {

// The file names of the tables in a folder (regular files named *.dbf, the extension in any
// case), sorted by name; an empty list for a folder without tables, and none when `folder` is no
// folder that can be read (an empty path among them: it does not stand for the current folder).
std::optional<std::vector<std::string>> table_files(const std::filesystem::path& folder);

}  // namespace vexel
