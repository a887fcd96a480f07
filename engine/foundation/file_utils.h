#pragma once
// File routines shared by the engine: deleting one file or every file matching a mask with a
// record of the failures, existence and date tests, unique temporary files, flushing and free
// disk space. Failures go through SetEngineError.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/foundation/engine_state.h"
#include "platform/os/file.h"

namespace vx {

// Platform result of the last directory search step or file-date query (0 = success).
inline constexpr EngineField<&FoundationState::last_search_result> LastSearchResult;
// The directory entries that the last EraseFiles call failed to delete.
inline constexpr EngineField<&FoundationState::failed_erases> FailedErases;
// Prefix of temporary file names.
inline constexpr const char* TempFilePrefix = "VXP";

// Opens the file read-only with deny-all sharing (so a file that anyone has open is not
// deleted), closes it and deletes it; answers the I/O result (0 = deleted).
int EraseFile(const std::string& name);
// Deletes one file, or every file matching a mask ("*", "?"). A failure on a single name records
// its code with "Error erasing " + mask; failures under a mask record code 5 with
// "Could not erase <n> files like <mask>", and the failed entries stay in FailedErases->
void EraseFiles(const std::string& mask);
bool FileExists(const std::string& name);
// True when the file exists and was last written today (local date).
bool FileDateIsToday(const std::string& name);
// The date stamp of an open file as DOS packs it ((year-1980)<<9 | month<<5 | day); 0 on
// failure with the error in LastSearchResult.
std::uint32_t FileDate(const os::File& file);
// Creates a new empty file named "VXP..." in the temporary directory and answers its path; on
// failure records the error with "Error requesting unique file name [UniqueFilename]" and
// answers an empty string.
std::string UniqueFilename();
// Writes the file's buffers to disk; a failure records its code with
// "Unable to flush file [FlushFile]".
void FlushFile(os::File& file);
// A temporary file for one operation: Create makes a new empty file (prefix, six random letters
// and digits, ".TMP" in `dir`) exclusively and keeps it open (TakeFile hands the open file on:
// it is never opened again by name, and its sharing lock marks it live while the creator runs);
// the end of the scope deletes it, however the operation ends, unless Keep says it took another
// file's place. Whoever holds the file closes it before the scope ends (declared after this
// object, an os::File member or local is).
class TempFile {
 public:
  TempFile() = default;
  ~TempFile() { Remove(); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Answers the I/O code of the creation (0 = created).
  int Create(const std::string& dir, const std::string& prefix);
  const std::string& path() const { return path_; }
  // The file Create opened (once: afterwards this holds none).
  os::File TakeFile() { return std::move(file_); }
  bool created() const { return !path_.empty(); }
  void Keep() { path_.clear(); }
  void Remove();

 private:
  std::string path_;
  os::File file_;
};

// Free bytes on the drive (0 = current, 1 = A, ...); on POSIX every drive is the file system of
// the working directory. -1 when unknown.
std::int64_t DiskFree(int drive);

}  // namespace vx
