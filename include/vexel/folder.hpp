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

// A file written under a temporary name in the folder of the one it becomes, so that a reader
// never sees it half written: the temporary file is created new (never an existing file, whoever
// owns the folder), and named `target` only by commit(). Not committed, it is removed when the
// object goes, together with the companions named `temporary name + suffix` (say "-journal").
class PendingFile {
 public:
  // vexel::DataError when the folder takes no new file.
  explicit PendingFile(const std::filesystem::path& target,
                       std::vector<std::string> companion_suffixes = {});
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }
  // Gives the file its name (replacing a file of that name) and writes the folder to the disk;
  // vexel::DataError when the rename fails (the temporary file is then removed).
  void commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path path_;
  std::vector<std::string> companions_;
  bool committed_ = false;
};

}  // namespace vexel
