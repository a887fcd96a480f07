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
  // The path of a file in the directory, as a string.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::vector<unsigned char> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// The folder of real tables written by other programs, or empty when it is absent.
std::filesystem::path CorpusDir();
// Whether a file of the corpus is named as a table (extension .dbf in any case).
bool IsTableName(const std::filesystem::path& path);

}  // namespace vx::test
