#include "platform/os/file_id.h"

#include <sys/stat.h>

#include <cstdio>

namespace vx::os {

namespace {

std::string KeyOf(const struct stat& st) {
  char key[64];
  std::snprintf(key, sizeof key, "%llx:%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  return key;
}

}  // namespace

std::string FileIdentity(const File& file) {
  struct stat st {};
  if (!file.IsOpen() || fstat(file.fd(), &st) != 0) return {};
  return KeyOf(st);
}

std::string PathIdentity(const std::string& path) {
  struct stat st {};
  if (lstat(ResolvePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return KeyOf(st);
}

bool NamesOpenFile(const std::string& path, const File& file) {
  const std::string identity = FileIdentity(file);
  return !identity.empty() && PathIdentity(path) == identity;
}

}  // namespace vx::os
