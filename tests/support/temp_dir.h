#pragma once
// Test support: a fresh temporary directory per test, removed afterwards, and small helpers
// to write and read whole files as bytes.

#include <filesystem>
#include <string>
#include <vector>

namespace vx::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of a file in the directory, as a string with '/' between its parts on every
  // system (as the library spells the paths it gives back).
  std::string File(const std::string& name) const { return (path_ / name).generic_string(); }

 private:
  std::filesystem::path path_;
};

std::vector<unsigned char> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// The folder of real tables written by other programs, or empty when it is absent.
std::filesystem::path CorpusDir();
// Whether a file of the corpus is named as a table (extension .dbf in any case).
bool IsTableName(const std::filesystem::path& path);

// A corpus index (extension .mdx in any case) and the table of its name beside it.
struct CorpusIndex {
  std::filesystem::path index;
  std::filesystem::path table;
};
// Every corpus index that has its table, in the folder walk's order; empty without the corpus.
std::vector<CorpusIndex> CorpusIndexes();
// Copies a file over any earlier copy, the copy writable: corpus files may be read-only, and on
// Windows a read-only file can be neither replaced nor deleted.
void CopyWritable(const std::filesystem::path& from, const std::filesystem::path& to);
// Copies `table` and every file of its stem (memo file, index) into the new folder `to`, and
// answers the copied table's path.
std::string CopyTableFiles(const std::filesystem::path& table, const std::filesystem::path& to);

}  // namespace vx::test
