#include "engine/foundation/file_utils.h"

#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "platform/os/system.h"

namespace vx {

int EraseFile(const std::string& name) {
  const std::string path = os::ResolvePath(name);
  os::File file;
  const int open_result = os::File::Open(path, os::kOpenDenyAll, file);
  if (open_result != os::kIoOk) return open_result;
  file.Close();
  // DeleteFile holds the exclusive sharing lock itself across the deletion, so an open that
  // slips in after this close still keeps the file.
  return os::DeleteFile(path);
}

int TempFile::Create(const std::string& dir, const std::string& prefix) {
  Remove();
  std::string path;
  const int code = os::CreateUniqueFile(dir, prefix, "TMP", path, file_);
  if (code == 0) path_ = std::move(path);
  return code;
}

void TempFile::Remove() {
  if (file_.IsOpen()) file_.Close();
  if (path_.empty()) return;
  os::DeleteFile(path_);
  path_.clear();
}

void EraseFiles(const std::string& mask) {
  FailedErases->clear();
  EngineErrorCode = 0;
  if (mask.find_first_of("*?") == std::string::npos) {
    const int result = EraseFile(mask);
    if (result != os::kIoOk)
      SetEngineError(static_cast<std::uint16_t>(result), "Error erasing " + mask);
    return;
  }

  const PathParts parts = SplitPath(FullPath(mask));
  const std::string directory = os::ResolvePath(parts.dir);
  std::vector<os::DirEntry> found;
  LastSearchResult = os::FindFiles(directory, parts.name + parts.ext, false, found);
  int failures = 0;
  for (const os::DirEntry& entry : found) {
    std::string path = directory;
    if (!path.empty() && path.back() != '/') path += '/';
    path += entry.name;
    if (EraseFile(path) != os::kIoOk) {
      ++failures;
      FailedErases->push_back(entry);
    }
  }
  if (failures > 0) {
    SetEngineError(5, "Could not erase " + std::to_string(failures) + " files like " + mask);
  }
}

bool FileExists(const std::string& name) { return os::FileExists(name); }

bool FileDateIsToday(const std::string& name) {
  os::File file;
  if (os::File::Open(name, os::kOpenReadOnlyDenyNone, file) != os::kIoOk) return false;
  int year = 0;
  int month = 0;
  int day = 0;
  LastSearchResult = file.LastWriteDate(year, month, day);
  if (LastSearchResult != os::kIoOk) return false;
  const os::LocalTime today = os::Now();
  return year == today.year && month == today.month && day == today.day;
}

std::uint32_t FileDate(const os::File& file) {
  int year = 0;
  int month = 0;
  int day = 0;
  LastSearchResult = file.LastWriteDate(year, month, day);
  if (LastSearchResult != os::kIoOk) return 0;
  // DOS date stamps start in 1980; an older file answers 1 January 1980 rather than a stamp
  // built from a negative year.
  if (year < 1980) return (1u << 5) | 1u;
  return (static_cast<std::uint32_t>(year - 1980) << 9) | (static_cast<std::uint32_t>(month) << 5) |
         static_cast<std::uint32_t>(day);
}

std::string UniqueFilename() {
  std::string path;
  const int result = os::UniqueTempFile(os::TempDirectory(), TempFilePrefix, path);
  if (result != os::kIoOk) {
    SetEngineError(static_cast<std::uint16_t>(result),
                   "Error requesting unique file name [UniqueFilename]");
    return {};
  }
  return path;
}

void FlushFile(os::File& file) {
  const int result = file.Flush();
  if (result != os::kIoOk) {
    SetEngineError(static_cast<std::uint16_t>(result), "Unable to flush file [FlushFile]");
  }
}

std::int64_t DiskFree(int drive) {
  // POSIX has no drive letters: every drive number names the file system of the working
  // directory.
  return os::DiskFreeBytes(".");
}

}  // namespace vx
