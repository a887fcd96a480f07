#pragma once
// The one door to the operating system's file services: opening with a DOS/Win32 access and
// sharing mode, positioned reads and writes, sizes, flushes, byte-range locks, deletion, dates,
// case-insensitive name resolution, temporary names, disk space and directory search.
// Nothing here knows about tables; results are the engine's numeric I/O codes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/os/read_mapping.h"

namespace vx::os {

// Access and sharing modes as DOS and Win32 number them: the low nibble is the access
// (0 read, 2 read and write), the high nibble the sharing (0x10 deny all, 0x40 deny nothing).
inline constexpr int kOpenDenyAll = 16;            // read only, deny all
inline constexpr int kOpenReadWriteDenyAll = 18;   // read and write, deny all
inline constexpr int kOpenReadOnlyDenyNone = 64;   // read only, deny nothing
inline constexpr int kOpenReadWriteDenyNone = 66;  // read and write, deny nothing

// I/O result codes, the numbering the engine's error table describes.
inline constexpr int kIoOk = 0;
inline constexpr int kIoFileNotFound = 2;
inline constexpr int kIoPathNotFound = 3;
inline constexpr int kIoTooManyOpenFiles = 4;
inline constexpr int kIoAccessDenied = 5;
inline constexpr int kIoInvalidHandle = 6;
inline constexpr int kIoInvalidAccessCode = 12;
inline constexpr int kIoSharingViolation = 32;
inline constexpr int kIoLockViolation = 33;
inline constexpr int kIoDiskReadError = 100;
inline constexpr int kIoDiskWriteError = 101;
inline constexpr int kIoFileNotOpen = 103;

// On POSIX, sharing modes are emulated with open-file-description locks on one byte far above any
// offset the file protocols use (their highest range starts at 1 GiB and stays below 4 GiB):
// every open holds a shared lock on it, a deny-all open an exclusive one. Other programs that
// follow the same protocol see a conflicting open as a sharing violation, as on a Windows share.
// On Windows the system's own sharing modes do it and the byte is never locked.
inline constexpr std::uint64_t kShareLockOffset = 0x4000000000000000ULL;  // 2^62
inline constexpr std::uint64_t kShareLockLength = 1;

// An open file. Move-only; the destructor closes it (and so drops its locks). Close() early to
// see the close result.
//
// Locks belong to this open of the file and conflict with another open in the same process. On
// POSIX they are open-file-description locks, which survive the closing of other descriptors of
// the file; on Windows LockFileEx locks, of which this open keeps a list (see LockRange).
// Whether an open follows a symbolic link in the last component of its path.
enum class Links { kFollow, kRefuse };

class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens an existing file with an access and sharing mode (the constants above; any other value
  // gives kIoInvalidAccessCode). The path is resolved case-insensitively (ResolvePath). Answers
  // the I/O code: kIoSharingViolation when the sharing modes conflict with another open,
  // kIoAccessDenied for a directory or any other file that is not a regular one. `out` is
  // closed first and holds the file only on success. A deny-all read-only open of a file that
  // we may not write keeps writers out but admits other readers (it can only take a shared lock).
  // With Links::kRefuse a link in the last component is refused (kIoAccessDenied): files named
  // by a journal or made by this program as temporary files are never reached through one.
  static int Open(const std::string& path, int open_mode, File& out,
                  Links links = Links::kFollow);
  // Creates the file (truncating an existing one) for reading and writing, deny-all, and answers
  // the I/O code. An existing file that another program has open is a sharing violation and is
  // left untouched. The path is resolved like Open's, so creating "MOVIE.DBF" where only
  // "movie.dbf" exists replaces "movie.dbf".
  static int Create(const std::string& path, File& out);
  // Creates a new file exclusively (O_EXCL, no link followed: an existing name, a planted link
  // included, answers kIoAccessDenied and is left alone) with permission bits `mode` (before the
  // umask), deny-all, and keeps the descriptor: a file made here is never opened again by name.
  static int CreateNew(const std::string& path, File& out, unsigned mode = 0666);

#ifdef _WIN32
  bool IsOpen() const { return handle_ != nullptr; }
#else
  bool IsOpen() const { return fd_ >= 0; }
#endif
  const std::string& path() const { return path_; }
  int open_mode() const { return open_mode_; }

  // Reads up to out.size() bytes at offset; `got` receives the count (short at end of file).
  // On a local file system the bytes come from a shared mapping of the file (see
  // read_mapping.h), which shows other programs' writes exactly as pread does; on Windows they
  // come from ReadFile alone. A read another open's lock refuses (Windows refuses reads and
  // writes of a locked range to every other handle) is tried again as the hook installed with
  // SetLockedReadWait allows, then answers kIoLockViolation.
  int ReadAt(std::uint64_t offset, std::span<std::byte> out, std::size_t& got);
  // Writes all bytes at offset (retrying short writes); a full disk gives kIoDiskWriteError.
  int WriteAt(std::uint64_t offset, std::span<const std::byte> in);
  // Tells the mapped reads that no program cuts this file while it is open (see
  // ReadMapping::AssumeNoCuts); holds until the file is closed.
  void AssumeNoCuts() { mapping_.AssumeNoCuts(); }
  int Size(std::uint64_t& size) const;
  int Truncate(std::uint64_t size);
  // Writes the file's buffers to the disk (fsync).
  int Flush();
  // Closes the file; answers the close result. Closing a closed file answers kIoFileNotOpen.
  int Close();
  // Gives the file open here (one made by CreateNew or CreateUniqueFile) the name `to`: over a
  // file of that name when `replace`, else only when nothing has the name (kIoAccessDenied).
  // What moves is this open file, never another one put under its name meanwhile (that answers
  // kIoAccessDenied). `held`, when open, is the file named `to`, held deny-all by the caller so
  // that no other program has it open: POSIX keeps it open across the rename; Windows, which
  // cannot replace a file anything holds open, closes it just before. The file stays open,
  // named `to`; answers the I/O code.
  int MoveTo(const std::string& to, bool replace, File* held = nullptr);

  // Takes an exclusive lock on [offset, offset + length) without waiting. Answers kIoOk, or
  // kIoLockViolation when another open of the file holds an overlapping lock. A read-only open
  // takes a shared lock instead (an exclusive one needs write access); it still conflicts with
  // every exclusive lock. On POSIX locking a range that this open already holds succeeds (the
  // locks merge). On Windows it answers kIoLockViolation (a range overlapping one of this open's
  // own exclusive locks conflicts), and each lock stays a range of its own. An empty range
  // answers kIoOk and locks nothing; a range that does not fit below 2^63 answers
  // kIoLockViolation.
  int LockRange(std::uint64_t offset, std::uint64_t length);
  // Takes a shared lock on the range: other opens may share it, and it conflicts only with
  // their exclusive locks. Answers as LockRange does.
  int LockRangeShared(std::uint64_t offset, std::uint64_t length);
  // Releases whatever this open holds in [offset, offset + length). Answers kIoOk also when
  // nothing was locked there; an error only when the system refuses the call. On POSIX the
  // system cuts the range out of the locks; on Windows, where an unlock must name exactly one
  // locked range, every lock this open holds inside the range is released, and a lock that only
  // overlaps it is kept (the caller never unlocks part of a lock).
  int UnlockRange(std::uint64_t offset, std::uint64_t length);
  // Whether another open holds a lock overlapping the range (a test, takes nothing).
  bool RangeLockedElsewhere(std::uint64_t offset, std::uint64_t length) const;

  // Last-write date of the open file in local time.
  int LastWriteDate(int& year, int& month, int& day) const;

#ifdef _WIN32
  // The Win32 HANDLE of the open file.
  void* handle() const { return handle_; }
#else
  int fd() const { return fd_; }
#endif

 private:
  int TakeRangeLock(std::uint64_t offset, std::uint64_t length, bool shared);
  int ReadOnce(std::uint64_t offset, std::span<std::byte> out, std::size_t& got);

#ifdef _WIN32
  struct HeldLock {
    std::uint64_t offset;
    std::uint64_t length;
    bool shared;
  };
  static int Adopt(void* handle, const std::string& resolved, int open_mode, File& out);
  void* handle_ = nullptr;
  std::vector<HeldLock> locks_;
#else
  static int AdoptCreated(int fd, const std::string& resolved, bool truncate, File& out);
  int fd_ = -1;
#endif
  int open_mode_ = 0;
  bool writable_ = false;
  std::string path_;
  ReadMapping mapping_;
};

// How long a read refused by another open's lock is tried again. The hook is called after each
// refused attempt with the number of attempts so far; it waits before the next one and answers
// true, or answers false to give up (the read then answers kIoLockViolation). Without a hook a
// refused read gives up at once. Process-wide; the engine installs one that follows the calling
// thread's lock retries and waits.
using LockedReadWait = bool (*)(int attempts);
void SetLockedReadWait(LockedReadWait wait);

// Maps an errno value to an I/O code (ENOENT 2, ENOTDIR 3, EMFILE 4, EACCES 5, ...); errors
// without a closer code answer kIoAccessDenied.
int IoCodeFromErrno(int err);
#ifdef _WIN32
// Maps a Win32 error (GetLastError) to an I/O code: the numbers below 100 are the same; a full
// disk is kIoDiskWriteError.
int IoCodeFromWin32(unsigned long error);
// UTF-8 to UTF-16 and back, for file names (invalid UTF-8 becomes U+FFFD).
std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);
#endif

// Resolves a path written in DOS or Windows style: both "\" and "/" separate, and a component
// that does not exist as written is matched case-insensitively in its directory when the match
// is unique. Answers the path as it exists on disk, or the path with "/" separators (and any
// resolved leading components) when it does not exist.
std::string ResolvePath(const std::string& path);

// Whether the path names an existing file (not a directory), resolved like File::Open.
bool FileExists(const std::string& path);
// Whether the path names an existing directory, resolved the same way.
bool DirectoryExists(const std::string& path);
// Deletes a file; answers the I/O code. A file that another open holds (under the sharing
// locks above) is not deleted and answers kIoSharingViolation, as Windows refuses it.
int DeleteFile(const std::string& path);
// Gives file `from` the name `to`, replacing a file of that name in one step (both resolved like
// File::Open); answers the I/O code.
// Copies a file whole to `to`, with its mode: into a new temporary file beside `to` (created
// exclusively, so a planted name or link is never written through), flushed, then renamed over
// `to`. A copy cut short (a full disk) leaves `to` as it was and nothing beside it. Answers 0 or
// an I/O code.
int CopyWholeFile(const std::string& from, const std::string& to);
int RenameFile(const std::string& from, const std::string& to);
// Gives file `from` the name `to` only when nothing (not even a link) has that name yet, in one
// step (a hard link, then `from` removed); answers the I/O code, kIoAccessDenied when taken.
int RenameToNewName(const std::string& from, const std::string& to);
// Writes the directory that holds `path` to the disk (fsync of the directory), so that names
// created, renamed or deleted in it survive a crash; answers the I/O code.
int SyncDirectoryOf(const std::string& path);
// Last-write date of a named file (local time); answers the I/O code.
int FileLastWriteDate(const std::string& path, int& year, int& month, int& day);

// The temporary directory (TMPDIR or /tmp), ending in "/".
std::string TempDirectory();
// Creates a new empty file named prefix + six random letters and digits + ".TMP" in `dir` (the
// temporary directory when empty) and answers its path in `out`; answers the I/O code (the error
// number of the failed creation).
int UniqueTempFile(const std::string& dir, const std::string& prefix, std::string& out);
// Creates a new file named prefix + six random letters and digits + "." + extension in `dir`
// (the temporary directory when empty) exclusively, as File::CreateNew does, and keeps it open
// in `file` (deny-all: while its creator lives the file's sharing lock is held, which tells a
// live temporary file from one a killed process left). Answers the I/O code; `path` gets the name.
int CreateUniqueFile(const std::string& dir, const std::string& prefix,
                     const std::string& extension, std::string& path, File& file);
// Whether an open that follows the sharing protocol holds the file (its sharing lock is taken);
// a link is not followed and answers false.
bool FileInUse(const std::string& path);
// Whether two paths name one file or folder (same device and inode; links followed).
bool SameFile(const std::string& a, const std::string& b);
// Whether `path` is a symbolic link (not followed).
bool IsSymbolicLink(const std::string& path);
// Gives the new file `file` the permission bits, owner and group of the existing file `model`
// (resolved like File::Open). Answers kIoOk, or kIoAccessDenied when the owner or group could
// not be set (a process may give its files away only with the privilege to), the bits still set.
int TakeModeAndOwner(const std::string& model, File& file);

// Creates a new folder only this user may enter in the temporary directory (mkdtemp) and answers
// its path with a final "/" in `out`; answers the I/O code.
int CreatePrivateDirectory(std::string& out);
// Deletes the files in a folder CreatePrivateDirectory made, then the folder.
void RemovePrivateDirectory(const std::string& dir);

// Free bytes for an unprivileged writer on the file system that holds `path` (or, when `path`
// does not exist yet, its directory); -1 on failure.
std::int64_t DiskFreeBytes(const std::string& path);
// Drive types in the Win32 numbering: 2 removable, 3 fixed, 4 remote (network), 6 RAM disk,
// 0 unknown (the path does not exist). Remote FUSE mounts (sshfs, smbnetfs, ...) count as remote.
int DriveType(const std::string& path);

// One entry found by a directory search.
struct DirEntry {
  std::string name;  // name without directory
  std::uint64_t size = 0;
  bool is_directory = false;
};

// Lists the entries of `directory` whose names match a DOS mask ("*" any run, "?" one
// character, compared without case; "*.*" matches names without a dot too). Regular files
// only unless `with_directories`; "." and ".." are never listed. Entries come sorted by name.
// Answers the I/O code (2 when nothing matches, 3 when the directory does not exist).
int FindFiles(const std::string& directory, const std::string& mask, bool with_directories,
              std::vector<DirEntry>& out);
// Whether a name matches a DOS mask, as FindFiles compares.
bool MatchesMask(const std::string& name, const std::string& mask);

}  // namespace vx::os
