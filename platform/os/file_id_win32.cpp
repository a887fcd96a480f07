// File identity on Win32: the volume serial number and the file index.
#include <cstdio>

#include "platform/os/file_id.h"
#include "platform/os/win32.h"

namespace vx::os {

namespace {

std::string KeyOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return {};
  char key[64];
  std::snprintf(key, sizeof key, "%lx:%lx%08lx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  return key;
}

}  // namespace

std::string FileIdentity(const File& file) {
  if (!file.IsOpen()) return {};
  return KeyOf(file.handle());
}

std::string PathIdentity(const std::string& path) {
  // The name itself, not what a link leads to; empty unless it is a regular file.
  HANDLE h =
      ::CreateFileW(WideFromUtf8(ResolvePath(path)).c_str(), 0,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  BY_HANDLE_FILE_INFORMATION info{};
  std::string key;
  if (::GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
    key = KeyOf(h);
  }
  ::CloseHandle(h);
  return key;
}

bool NamesOpenFile(const std::string& path, const File& file) {
  const std::string identity = FileIdentity(file);
  return !identity.empty() && PathIdentity(path) == identity;
}

}  // namespace vx::os
