#include "platform/os/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <utility>

#include "platform/os/file_id.h"
#include "platform/os/file_internal.h"
#include "platform/os/system_calls.h"

namespace vx::os {

namespace {

ssize_t RealPwrite(int fd, const void* data, std::size_t count, off_t offset) {
  return ::pwrite(fd, data, count, offset);
}
ssize_t RealPread(int fd, void* data, std::size_t count, off_t offset) {
  return ::pread(fd, data, count, offset);
}
int RealLock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }

}  // namespace

SystemCalls RealSystemCalls() {
  return SystemCalls{&RealPwrite, &RealPread, &::fsync, &::ftruncate, &::close, &RealLock};
}

SystemCalls Syscalls = RealSystemCalls();

namespace {

constexpr std::uint64_t kMaxOffset = std::numeric_limits<off_t>::max();

// Whether [offset, offset + length) can be expressed as an off_t range.
bool RangeFits(std::uint64_t offset, std::uint64_t length) {
  return offset <= kMaxOffset && length <= kMaxOffset - offset;
}

// Applies an open-file-description lock command to the range and answers 0 or the errno.
int OfdLock(int fd, int command, short type, std::uint64_t offset, std::uint64_t length,
            short* held_type = nullptr) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;  // required by the OFD commands
  while (Syscalls.lock(fd, command, &fl) == -1) {
    if (errno != EINTR) return errno;
  }
  if (held_type != nullptr) *held_type = fl.l_type;
  return 0;
}

bool IsLockConflict(int err) { return err == EAGAIN || err == EACCES; }

// Takes the sharing lock of an open; answers the I/O code.
int TakeShareLock(int fd, short type) {
  const int err = OfdLock(fd, F_OFD_SETLK, type, kShareLockOffset, kShareLockLength);
  if (err == 0) return kIoOk;
  return IsLockConflict(err) ? kIoSharingViolation : IoCodeFromErrno(err);
}

void CloseQuietly(int fd) {
  if (fd >= 0) Syscalls.close(fd);
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The I/O code of a failed open or creation: a missing file in an existing directory is "file
// not found", a missing directory "path not found", as Windows tells them apart.
int OpenFailureCode(int err, const std::string& path) {
  if (err == ENOENT && !IsDirectory(ParentOf(path))) return kIoPathNotFound;
  return IoCodeFromErrno(err);
}

// Opens a path for an Open/Create without blocking on FIFOs and refuses anything that is not a
// regular file. Answers the descriptor, or -1 with the I/O code in `code`.
int OpenRegular(const std::string& path, int flags, int& code) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) {
    code = OpenFailureCode(errno, path);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    code = kIoAccessDenied;
    return -1;
  }
  // Regular files ignore O_NONBLOCK for I/O, but clear it so the descriptor is an ordinary one.
  // Reads need not update the access time (every record read would otherwise cost the kernel
  // an inode update check); only the file's owner may ask for that, others keep the default.
  const int status = ::fcntl(fd, F_GETFL);
  if (status != -1 && ::fcntl(fd, F_SETFL, (status & ~O_NONBLOCK) | O_NOATIME) != 0) {
    ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  }
  code = kIoOk;
  return fd;
}

int LocalDate(std::time_t t, int& year, int& month, int& day) {
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr) return kIoAccessDenied;
  year = tm.tm_year + 1900;
  month = tm.tm_mon + 1;
  day = tm.tm_mday;
  return kIoOk;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsFolded(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldAscii(x) == FoldAscii(y);
         });
}

// Answers the one entry of `directory` that equals `name` without case, or an empty string when
// there is none or more than one.
std::string UniqueFoldedMatch(const std::string& directory, const std::string& name) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return {};
  std::string found;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string entry_name = entry->d_name;
    if (entry_name == "." || entry_name == "..") continue;
    if (EqualsFolded(entry_name, name)) {
      found = entry_name;
      if (++count > 1) break;
    }
  }
  ::closedir(dir);
  return count == 1 ? found : std::string();
}

// Whether the mount with device `dev` is a FUSE file system that reaches another machine. The
// kernel only says "FUSE"; the subtype in the mount table names the program behind it.
bool IsRemoteFuseMount(dev_t dev) {
  static constexpr const char* kRemoteSubtypes[] = {
      "fuse.sshfs", "fuse.smbnetfs",  "fuse.gvfsd-fuse", "fuse.rclone",
      "fuse.s3fs",  "fuse.glusterfs", "fuse.curlftpfs"};
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string device = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::string line;
  while (std::getline(mounts, line)) {
    // "36 35 98:0 /root /mnt rw,noatime shared:1 - fuse.sshfs host:/ rw,..."
    const std::size_t first = line.find(' ');
    const std::size_t second = line.find(' ', first + 1);
    const std::size_t third = line.find(' ', second + 1);
    if (third == std::string::npos || line.compare(second + 1, third - second - 1, device) != 0) {
      continue;
    }
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) return false;
    const std::size_t type_end = line.find(' ', dash + 3);
    const std::string type = line.substr(dash + 3, type_end - dash - 3);
    for (const char* remote : kRemoteSubtypes) {
      if (type == remote) return true;
    }
    return false;
  }
  return false;
}

// Whether the block device behind `dev` is marked removable (USB sticks, card readers). A
// partition's own folder has no "removable" entry; its disk, one level up, does.
bool IsRemovableDevice(dev_t dev) {
  const std::string base =
      "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  for (const char* relative : {"/removable", "/../removable"}) {
    std::ifstream flag(base + relative);
    char value = 0;
    if (flag >> value) return value == '1';
  }
  return false;
}

}  // namespace

// ---- File ----------------------------------------------------------------------------------

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      open_mode_(std::exchange(other.open_mode_, 0)),
      writable_(std::exchange(other.writable_, false)),
      path_(std::move(other.path_)),
      mapping_(std::move(other.mapping_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    CloseQuietly(fd_);
    fd_ = std::exchange(other.fd_, -1);
    open_mode_ = std::exchange(other.open_mode_, 0);
    writable_ = std::exchange(other.writable_, false);
    path_ = std::move(other.path_);
    mapping_ = std::move(other.mapping_);
  }
  return *this;
}

File::~File() { CloseQuietly(fd_); }

int File::Open(const std::string& path, int open_mode, File& out, Links links) {
  // Resolve before closing `out`: `path` may be out.path() itself (reopening in another mode).
  const std::string resolved = ResolvePath(path);
  out = File();
  int flags = O_RDONLY;
  short share = F_RDLCK;
  switch (open_mode) {
    case kOpenReadOnlyDenyNone:
      break;
    case kOpenReadWriteDenyNone:
      flags = O_RDWR;
      break;
    case kOpenDenyAll:
      // The exclusive sharing lock needs a descriptor with write access; the open stays
      // read-only for the caller all the same.
      flags = O_RDWR;
      share = F_WRLCK;
      break;
    case kOpenReadWriteDenyAll:
      flags = O_RDWR;
      share = F_WRLCK;
      break;
    default:
      return kIoInvalidAccessCode;
  }

  int code = kIoOk;
  const int no_follow = links == Links::kRefuse ? O_NOFOLLOW : 0;
  int fd = OpenRegular(resolved, flags | no_follow, code);
  if (fd < 0 && open_mode == kOpenDenyAll && code == kIoAccessDenied) {
    // A file we may only read: fall back to a shared sharing lock. Such an open still keeps
    // writers out (they take no exclusive lock while we hold ours) but admits other readers.
    fd = OpenRegular(resolved, O_RDONLY | no_follow, code);
    share = F_RDLCK;
  }
  if (fd < 0) return code;

  code = TakeShareLock(fd, share);
  if (code != kIoOk) {
    ::close(fd);
    return code;
  }
  out.fd_ = fd;
  out.open_mode_ = open_mode;
  out.writable_ = (open_mode & 0x0F) == 2;
  out.path_ = resolved;
  return kIoOk;
}

// Takes the exclusive sharing lock on a descriptor just created (emptying it with `truncate`,
// once the lock shows no other open has it) and gives it to `out`; closes it on failure.
int File::AdoptCreated(int fd, const std::string& resolved, bool truncate, File& out) {
  int code = TakeShareLock(fd, F_WRLCK);
  if (code == kIoOk && truncate && ::ftruncate(fd, 0) != 0) code = IoCodeFromErrno(errno);
  if (code != kIoOk) {
    ::close(fd);
    return code;
  }
  out.fd_ = fd;
  out.open_mode_ = kOpenReadWriteDenyAll;
  out.writable_ = true;
  out.path_ = resolved;
  return kIoOk;
}

int File::Create(const std::string& path, File& out) {
  const std::string resolved = ResolvePath(path);
  out = File();
  int code = kIoOk;
  // No O_TRUNC: the file may belong to another open, and must only be emptied once the
  // exclusive sharing lock shows that it does not.
  const int fd = OpenRegular(resolved, O_RDWR | O_CREAT, code);
  if (fd < 0) return code;
  return AdoptCreated(fd, resolved, true, out);
}

int File::CreateNew(const std::string& path, File& out, unsigned mode) {
  const std::string resolved = ResolvePath(path);
  out = File();
  const int fd = ::open(resolved.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                        static_cast<mode_t>(mode & 07777));
  if (fd < 0) return errno == EEXIST ? kIoAccessDenied : OpenFailureCode(errno, resolved);
  return AdoptCreated(fd, resolved, false, out);
}

int File::ReadOnce(std::uint64_t offset, std::span<std::byte> out, std::size_t& got) {
  got = 0;
  if (fd_ < 0) return kIoFileNotOpen;
  if (!RangeFits(offset, out.size())) return kIoDiskReadError;
  // A test that replaced the read call sees every read.
  if (Syscalls.pread == &RealPread && mapping_.Read(fd_, offset, out)) {
    got = out.size();
    return kIoOk;
  }
  while (got < out.size()) {
    const ssize_t n =
        Syscalls.pread(fd_, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN ? kIoLockViolation : kIoDiskReadError;
    }
    if (n == 0) break;  // end of file
    got += static_cast<std::size_t>(n);
  }
  return kIoOk;
}

int File::WriteAt(std::uint64_t offset, std::span<const std::byte> in) {
  if (fd_ < 0) return kIoFileNotOpen;
  if (!writable_) return kIoAccessDenied;
  if (!RangeFits(offset, in.size())) return kIoDiskWriteError;
  std::size_t done = 0;
  while (done < in.size()) {
    const ssize_t n =
        Syscalls.pwrite(fd_, in.data() + done, in.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EBADF ? kIoAccessDenied : kIoDiskWriteError;
    }
    if (n == 0) return kIoDiskWriteError;  // no progress: treat as a full disk
    done += static_cast<std::size_t>(n);
  }
  mapping_.Wrote(offset + in.size());
  return kIoOk;
}

int File::Size(std::uint64_t& size) const {
  size = 0;
  if (fd_ < 0) return kIoFileNotOpen;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return IoCodeFromErrno(errno);
  size = static_cast<std::uint64_t>(st.st_size);
  return kIoOk;
}

int File::Truncate(std::uint64_t size) {
  if (fd_ < 0) return kIoFileNotOpen;
  if (!writable_) return kIoAccessDenied;
  if (size > kMaxOffset) return kIoDiskWriteError;
  while (Syscalls.ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return kIoDiskWriteError;
  }
  mapping_.Truncated(size);
  return kIoOk;
}

int File::Flush() {
  if (fd_ < 0) return kIoFileNotOpen;
  return Syscalls.fsync(fd_) == 0 ? kIoOk : kIoDiskWriteError;
}

int File::Close() {
  if (fd_ < 0) return kIoFileNotOpen;
  mapping_.Reset();
  const int fd = std::exchange(fd_, -1);
  open_mode_ = 0;
  writable_ = false;
  // close() is not retried on EINTR: on Linux the descriptor is gone either way. An error here
  // is a deferred write failure (network file systems report them at close).
  return Syscalls.close(fd) == 0 || errno == EINTR ? kIoOk : kIoDiskWriteError;
}

int File::LockRange(std::uint64_t offset, std::uint64_t length) {
  return TakeRangeLock(offset, length, !writable_);
}

int File::LockRangeShared(std::uint64_t offset, std::uint64_t length) {
  return TakeRangeLock(offset, length, true);
}

int File::TakeRangeLock(std::uint64_t offset, std::uint64_t length, bool shared) {
  if (fd_ < 0) return kIoFileNotOpen;
  if (length == 0) return kIoOk;
  if (!RangeFits(offset, length)) return kIoLockViolation;
  const int err = OfdLock(fd_, F_OFD_SETLK, shared ? F_RDLCK : F_WRLCK, offset, length);
  if (err == 0) return kIoOk;
  return IsLockConflict(err) ? kIoLockViolation : IoCodeFromErrno(err);
}

int File::UnlockRange(std::uint64_t offset, std::uint64_t length) {
  if (fd_ < 0) return kIoFileNotOpen;
  if (length == 0) return kIoOk;
  if (!RangeFits(offset, length)) return kIoLockViolation;
  const int err = OfdLock(fd_, F_OFD_SETLK, F_UNLCK, offset, length);
  return err == 0 ? kIoOk : IoCodeFromErrno(err);
}

bool File::RangeLockedElsewhere(std::uint64_t offset, std::uint64_t length) const {
  if (fd_ < 0 || length == 0 || !RangeFits(offset, length)) return false;
  // F_OFD_GETLK ignores the locks of this open; testing for an exclusive lock reports every
  // lock of another open, shared or exclusive.
  short held = F_UNLCK;
  if (OfdLock(fd_, F_OFD_GETLK, F_WRLCK, offset, length, &held) != 0) return false;
  return held != F_UNLCK;
}

int File::LastWriteDate(int& year, int& month, int& day) const {
  if (fd_ < 0) return kIoFileNotOpen;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return IoCodeFromErrno(errno);
  return LocalDate(st.st_mtime, year, month, day);
}

// ---- Names, paths and directories ------------------------------------------------------------

std::string ResolvePath(const std::string& path) {
  std::string written = path;
  std::replace(written.begin(), written.end(), '\\', '/');
  struct stat st {};
  if (written.empty() || ::lstat(written.c_str(), &st) == 0) return written;

  const bool absolute = written.front() == '/';
  const bool trailing_slash = written.back() == '/';
  std::string resolved = absolute ? "/" : "";
  bool missing = false;  // once a component is missing, the ones below it are too
  std::size_t start = 0;
  while (start < written.size()) {
    std::size_t end = written.find('/', start);
    if (end == std::string::npos) end = written.size();
    std::string component = written.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    if (!missing && component != "." && component != "..") {
      const std::string candidate = resolved + component;
      if (::lstat(candidate.c_str(), &st) != 0) {
        const int err = errno;
        std::string match;
        if (err == ENOENT) match = UniqueFoldedMatch(resolved.empty() ? "." : resolved, component);
        if (match.empty()) {
          missing = true;
        } else {
          component = match;
        }
      }
    }
    if (!resolved.empty() && resolved.back() != '/') resolved += '/';
    resolved += component;
  }
  if (trailing_slash && !resolved.empty() && resolved.back() != '/') resolved += '/';
  return resolved;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(ResolvePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(ResolvePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int RenameFile(const std::string& from, const std::string& to) {
  if (::rename(ResolvePath(from).c_str(), ResolvePath(to).c_str()) != 0) {
    return IoCodeFromErrno(errno);
  }
  return kIoOk;
}

int CopyWholeFile(const std::string& from, const std::string& to) {
  File source;
  int code = File::Open(from, kOpenReadOnlyDenyNone, source);
  if (code != kIoOk) return code;
  struct stat st {};
  if (::fstat(source.fd(), &st) != 0) return IoCodeFromErrno(errno);
  const std::string target = ResolvePath(to);
  const std::size_t slash = target.rfind('/');
  std::string temp;
  File copy;
  code = CreateUniqueFile(slash == std::string::npos ? "." : target.substr(0, slash + 1), "VXB",
                          "TMP", temp, copy);
  if (code != kIoOk) return code;
  ::fchmod(copy.fd(), st.st_mode & 07777);
  std::vector<std::byte> buffer(1 << 20);
  for (std::uint64_t offset = 0; code == kIoOk;) {
    std::size_t got = 0;
    code = source.ReadAt(offset, buffer, got);
    if (code != kIoOk || got == 0) break;
    code = copy.WriteAt(offset, std::span(buffer).first(got));
    offset += got;
  }
  if (code == kIoOk) code = copy.Flush();
  const int closed = copy.Close();
  if (code == kIoOk) code = closed;
  if (code == kIoOk) code = RenameFile(temp, target);
  if (code != kIoOk) ::unlink(temp.c_str());
  return code;
}

int RenameToNewName(const std::string& from, const std::string& to) {
  const std::string source = ResolvePath(from);
  if (::link(source.c_str(), ResolvePath(to).c_str()) != 0) {
    return errno == EEXIST ? kIoAccessDenied : IoCodeFromErrno(errno);
  }
  ::unlink(source.c_str());
  return kIoOk;
}

int File::MoveTo(const std::string& to, bool replace, File* /*held*/) {
  if (fd_ < 0) return kIoFileNotOpen;
  // A rename goes by name: the name must still lead to this open file.
  if (!NamesOpenFile(path_, *this)) return kIoAccessDenied;
  const int code = replace ? RenameFile(path_, to) : RenameToNewName(path_, to);
  if (code == kIoOk) path_ = ResolvePath(to);
  return code;
}

int SyncDirectoryOf(const std::string& path) {
  std::string dir = ResolvePath(path);
  const std::size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return IoCodeFromErrno(errno);
  const int synced = Syscalls.fsync(fd);
  const int err = errno;
  ::close(fd);
  return synced == 0 ? kIoOk : IoCodeFromErrno(err);
}

int DeleteFile(const std::string& path) {
  const std::string resolved = ResolvePath(path);
  struct stat st {};
  if (::lstat(resolved.c_str(), &st) != 0) return OpenFailureCode(errno, resolved);
  if (S_ISDIR(st.st_mode)) return kIoAccessDenied;

  // Hold the exclusive sharing lock across the unlink, so that no open that follows the sharing
  // protocol can sit on the file while its name goes. A file we may not write is tested only.
  int fd = -1;
  if (S_ISREG(st.st_mode)) {
    fd = ::open(resolved.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
      const int err = OfdLock(fd, F_OFD_SETLK, F_WRLCK, kShareLockOffset, kShareLockLength);
      if (IsLockConflict(err)) {
        ::close(fd);
        return kIoSharingViolation;
      }
    } else {
      fd = ::open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      short held = F_UNLCK;
      if (fd >= 0 &&
          OfdLock(fd, F_OFD_GETLK, F_WRLCK, kShareLockOffset, kShareLockLength, &held) == 0 &&
          held != F_UNLCK) {
        ::close(fd);
        return kIoSharingViolation;
      }
    }
  }
  const int code = ::unlink(resolved.c_str()) == 0 ? kIoOk : IoCodeFromErrno(errno);
  CloseQuietly(fd);
  return code;
}

int FileLastWriteDate(const std::string& path, int& year, int& month, int& day) {
  const std::string resolved = ResolvePath(path);
  struct stat st {};
  if (::stat(resolved.c_str(), &st) != 0) return OpenFailureCode(errno, resolved);
  return LocalDate(st.st_mtime, year, month, day);
}

std::string TempDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string dir = (tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

int UniqueTempFile(const std::string& dir, const std::string& prefix, std::string& out) {
  File file;
  return CreateUniqueFile(dir, prefix, "TMP", out, file);
}

int CreateUniqueFile(const std::string& dir, const std::string& prefix,
                     const std::string& extension, std::string& path, File& file) {
  path.clear();
  file = File();
  std::string base = dir.empty() ? TempDirectory() : ResolvePath(dir);
  if (base.back() != '/') base += '/';
  constexpr int kAttempts = 1000;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const std::string name = base + prefix + RandomSuffix(6) + "." + extension;
    struct stat st {};
    if (::lstat(name.c_str(), &st) == 0) continue;  // taken (a link included): another name
    const int code = File::CreateNew(name, file);
    if (code == kIoOk) {
      path = name;
      return kIoOk;
    }
    if (code != kIoAccessDenied || ::lstat(name.c_str(), &st) != 0) return code;
  }
  return kIoAccessDenied;
}

bool FileInUse(const std::string& path) {
  const int fd =
      ::open(ResolvePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  short held = F_UNLCK;
  const bool in_use =
      OfdLock(fd, F_OFD_GETLK, F_WRLCK, kShareLockOffset, kShareLockLength, &held) == 0 &&
      held != F_UNLCK;
  ::close(fd);
  return in_use;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(ResolvePath(a).c_str(), &first) == 0 &&
         ::stat(ResolvePath(b).c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

bool IsSymbolicLink(const std::string& path) {
  struct stat st {};
  return ::lstat(ResolvePath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int TakeModeAndOwner(const std::string& model, File& file) {
  struct stat old {};
  struct stat now {};
  if (!file.IsOpen() || ::stat(ResolvePath(model).c_str(), &old) != 0 ||
      ::fstat(file.fd(), &now) != 0) {
    return kIoAccessDenied;
  }
  int code = kIoOk;
  if ((old.st_uid != now.st_uid || old.st_gid != now.st_gid) &&
      ::fchown(file.fd(), old.st_uid, old.st_gid) != 0) {
    // Without the privilege to give the file away, the group may still be one of ours.
    if (::fchown(file.fd(), static_cast<uid_t>(-1), old.st_gid) != 0 || old.st_uid != now.st_uid) {
      code = kIoAccessDenied;
    }
  }
  // After the owner: changing it clears the set-id bits.
  if (::fchmod(file.fd(), old.st_mode & 07777) != 0) code = kIoAccessDenied;
  return code;
}

int CreatePrivateDirectory(std::string& out) {
  std::string pattern = TempDirectory() + "VXDXXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return IoCodeFromErrno(errno);
  out = pattern + "/";
  return kIoOk;
}

void RemovePrivateDirectory(const std::string& dir) {
  std::vector<DirEntry> found;
  FindFiles(dir, "*", false, found);
  for (const DirEntry& entry : found) ::unlink((dir + entry.name).c_str());
  ::rmdir(dir.c_str());
}

std::int64_t DiskFreeBytes(const std::string& path) {
  std::string target = ResolvePath(path);
  struct statvfs vfs {};
  if (::statvfs(target.c_str(), &vfs) != 0) {
    // A file about to be created: ask about the directory that will hold it.
    if (errno != ENOENT || ::statvfs(ParentOf(target).c_str(), &vfs) != 0) return -1;
  }
  constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::uint64_t blocks = vfs.f_bavail;
  const std::uint64_t block_size = vfs.f_frsize;
  if (block_size != 0 && blocks > kMax / block_size) return static_cast<std::int64_t>(kMax);
  return static_cast<std::int64_t>(blocks * block_size);
}

int DriveType(const std::string& path) {
  const std::string target = ResolvePath(path);
  struct statfs fs {};
  struct stat st {};
  if (::statfs(target.c_str(), &fs) != 0 || ::stat(target.c_str(), &st) != 0) return 0;
  constexpr unsigned long kCifsMagic = 0xFF534D42;
  constexpr unsigned long kSmb2Magic = 0xFE534D42;
  constexpr unsigned long kFuseMagic = 0x65735546;
  constexpr unsigned long kCephMagic = 0x00C36400;
  constexpr unsigned long kAfsMagic = 0x5346414F;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case kCifsMagic:
    case kSmb2Magic:
    case kCephMagic:
    case kAfsMagic:
    case CODA_SUPER_MAGIC:
      return 4;
    case kFuseMagic:
      return IsRemoteFuseMount(st.st_dev) ? 4 : 3;
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
      return 6;
    default:
      return IsRemovableDevice(st.st_dev) ? 2 : 3;
  }
}

int FindFiles(const std::string& directory, const std::string& mask, bool with_directories,
              std::vector<DirEntry>& out) {
  out.clear();
  std::string resolved = ResolvePath(directory.empty() ? "." : directory);
  DIR* dir = ::opendir(resolved.c_str());
  if (dir == nullptr) {
    const int err = errno;
    return (err == ENOENT || err == ENOTDIR) ? kIoPathNotFound : IoCodeFromErrno(err);
  }
  const int dir_fd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || !MatchesMask(name, mask)) continue;
    struct stat st {};
    if (::fstatat(dir_fd, entry->d_name, &st, 0) != 0) continue;  // e.g. a dangling link
    const bool is_directory = S_ISDIR(st.st_mode);
    if (!S_ISREG(st.st_mode) && !(is_directory && with_directories)) continue;
    out.push_back({name, is_directory ? 0 : static_cast<std::uint64_t>(st.st_size), is_directory});
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return out.empty() ? kIoFileNotFound : kIoOk;
}

}  // namespace vx::os
