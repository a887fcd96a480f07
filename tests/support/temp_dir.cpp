#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/os/file.h"
#include "platform/os/path_text.h"

namespace vx::test {

TempDir::TempDir() {
#ifdef _WIN32
  std::string made;
  if (os::CreatePrivateDirectory(made) != os::kIoOk)
    throw std::runtime_error("no temporary folder");
  made.pop_back();  // the final "/"
  path_ = os::PathOfText(made);
#else
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/vxtest-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path CorpusDir() {
  if (const char* env = std::getenv("VX_CORPUS_DIR"); env && *env) return env;
  // The shared folder sits beside the repository.
  const std::filesystem::path beside =
      std::filesystem::path(VX_SOURCE_DIR) / ".." / "shared" / "corpus";
  std::error_code ec;
  if (std::filesystem::is_directory(beside, ec)) return beside;
  return {};
}

bool IsTableName(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".dbf";
}

std::vector<CorpusIndex> CorpusIndexes() {
  namespace fs = std::filesystem;
  std::vector<CorpusIndex> found;
  const fs::path corpus = CorpusDir();
  if (corpus.empty()) return found;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    std::string ext = entry.path().extension().string();
    for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    fs::path table = entry.path();
    table.replace_extension(".DBF");
    if (entry.is_regular_file() && ext == ".MDX" && fs::exists(table)) {
      found.push_back({entry.path(), table});
    }
  }
  return found;
}

void CopyWritable(const std::filesystem::path& from, const std::filesystem::path& to) {
  namespace fs = std::filesystem;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

std::string CopyTableFiles(const std::filesystem::path& table, const std::filesystem::path& to) {
  namespace fs = std::filesystem;
  fs::create_directories(to);
  for (const auto& sibling : fs::directory_iterator(table.parent_path())) {
    if (sibling.path().stem() == table.stem()) CopyWritable(sibling.path(), to / sibling.path().filename());
  }
  return (to / table.filename()).generic_string();
}

}  // namespace vx::test
