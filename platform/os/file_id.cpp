#include "platform/os/file_id.h"

#include <sys/stat.h>

#include <cstdio>

namespace vx::os {

std::string FileIdentity(const File& file) {
  struct stat st {};
  if (!file.IsOpen() || fstat(file.fd(), &st) != 0) return {};
  char key[64];
  std::snprintf(key, sizeof key, "%llx:%llx", static_cast<unsigned long long>(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  return key;
}

}  // namespace vx::os
