// The file services on Win32: CreateFileW with the DOS sharing modes, ReadFile and WriteFile at
// offsets, LockFileEx with the bookkeeping Windows needs, names in UTF-16.
//
// Windows keeps the sharing modes itself. The byte at kShareLockOffset is locked all the same
// (shared by every open, exclusively by a deny-all one), as the POSIX build does: programs on
// Linux that share a folder with this one see its opens, and it sees theirs, through that lock.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "platform/os/file.h"
#include "platform/os/file_internal.h"
#include "platform/os/system_calls.h"
#include "platform/os/win32.h"

namespace vx::os {

namespace {

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ov;
}

bool RealWrite(void* handle, const void* data, std::uint32_t count, std::uint64_t offset,
               std::uint32_t& done) {
  OVERLAPPED ov = At(offset);
  DWORD n = 0;
  const bool ok = ::WriteFile(handle, data, count, &n, &ov) != 0;
  done = n;
  return ok;
}

bool RealRead(void* handle, void* data, std::uint32_t count, std::uint64_t offset,
              std::uint32_t& done) {
  OVERLAPPED ov = At(offset);
  DWORD n = 0;
  const bool ok = ::ReadFile(handle, data, count, &n, &ov) != 0;
  done = n;
  return ok;
}

bool RealFlush(void* handle) { return ::FlushFileBuffers(handle) != 0; }

bool RealSetSize(void* handle, std::uint64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) != 0 && ::SetEndOfFile(handle) != 0;
}

bool RealClose(void* handle) { return ::CloseHandle(handle) != 0; }

bool RealLock(void* handle, bool shared, std::uint64_t offset, std::uint64_t length) {
  OVERLAPPED ov = At(offset);
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (shared ? 0 : LOCKFILE_EXCLUSIVE_LOCK);
  return ::LockFileEx(handle, flags, 0, static_cast<DWORD>(length),
                      static_cast<DWORD>(length >> 32), &ov) != 0;
}

bool RealUnlock(void* handle, std::uint64_t offset, std::uint64_t length) {
  OVERLAPPED ov = At(offset);
  return ::UnlockFileEx(handle, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                        &ov) != 0;
}

}  // namespace

SystemCalls RealSystemCalls() {
  return SystemCalls{&RealWrite, &RealRead, &RealFlush, &RealSetSize,
                     &RealClose, &RealLock, &RealUnlock};
}

SystemCalls Syscalls = RealSystemCalls();

namespace {

constexpr std::uint64_t kMaxOffset = std::numeric_limits<std::int64_t>::max();
constexpr DWORD kLargestTransfer = 1u << 30;

bool RangeFits(std::uint64_t offset, std::uint64_t length) {
  return offset <= kMaxOffset && length <= kMaxOffset - offset;
}

bool Overlap(std::uint64_t a, std::uint64_t a_length, std::uint64_t b, std::uint64_t b_length) {
  return a < b + b_length && b < a + a_length;
}

bool IsLockRefusal(DWORD error) {
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ||
         error == ERROR_SHARING_VIOLATION;
}

void CloseQuietly(void* handle) {
  if (handle != nullptr) Syscalls.close(handle);
}

std::wstring Wide(const std::string& path) { return WideFromUtf8(path); }

DWORD Attributes(const std::string& path) { return ::GetFileAttributesW(Wide(path).c_str()); }

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

// Opens a path without read or write access, for its identity and attributes; null on failure.
HANDLE OpenForQuery(const std::string& path, bool follow_links) {
  const DWORD flags =
      FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h =
      ::CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, flags, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// Whether any open holds a lock on the sharing byte of the file `handle` (which holds none).
bool ShareByteLocked(HANDLE handle) {
  if (!Syscalls.lock(handle, false, kShareLockOffset, kShareLockLength)) return true;
  Syscalls.unlock(handle, kShareLockOffset, kShareLockLength);
  return false;
}

int LocalDate(const FILETIME& utc, int& year, int& month, int& day) {
  FILETIME local{};
  SYSTEMTIME st{};
  if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st)) {
    return kIoAccessDenied;
  }
  year = st.wYear;
  month = st.wMonth;
  day = st.wDay;
  return kIoOk;
}

// The I/O code of a failed open or creation, told apart as Windows tells them.
int OpenFailureCode() { return IoCodeFromWin32(::GetLastError()); }

}  // namespace

// ---- Names -----------------------------------------------------------------------------------

std::wstring WideFromUtf8(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  }
  return wide;
}

std::string Utf8FromWide(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(std::max(n, 0)), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                          nullptr, nullptr);
  }
  return utf8;
}

int IoCodeFromWin32(unsigned long error) {
  switch (error) {
    case ERROR_SUCCESS:
      return kIoOk;
    case ERROR_FILE_NOT_FOUND:
      return kIoFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_DRIVE:
    case ERROR_FILENAME_EXCED_RANGE:
      return kIoPathNotFound;
    case ERROR_TOO_MANY_OPEN_FILES:
      return kIoTooManyOpenFiles;
    case ERROR_INVALID_HANDLE:
      return kIoInvalidHandle;
    case ERROR_INVALID_ACCESS:
      return kIoInvalidAccessCode;
    case ERROR_SHARING_VIOLATION:
      return kIoSharingViolation;
    case ERROR_LOCK_VIOLATION:
      return kIoLockViolation;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_IO_DEVICE:
      return kIoDiskReadError;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_WRITE_FAULT:
      return kIoDiskWriteError;
    default:
      // ERROR_ACCESS_DENIED, ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS and the rest.
      return kIoAccessDenied;
  }
}

// ---- File ----------------------------------------------------------------------------------

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      locks_(std::move(other.locks_)),
      open_mode_(std::exchange(other.open_mode_, 0)),
      writable_(std::exchange(other.writable_, false)),
      path_(std::move(other.path_)),
      mapping_(std::move(other.mapping_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    CloseQuietly(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    locks_ = std::move(other.locks_);
    open_mode_ = std::exchange(other.open_mode_, 0);
    writable_ = std::exchange(other.writable_, false);
    path_ = std::move(other.path_);
    mapping_ = std::move(other.mapping_);
  }
  return *this;
}

File::~File() { CloseQuietly(handle_); }

// Takes the sharing byte for an open just made (exclusively for a deny-all one) and gives the
// handle to `out`; closes it when another program's open holds the byte.
int File::Adopt(void* handle, const std::string& resolved, int open_mode, File& out) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return kIoAccessDenied;
  }
  const bool deny_all = (open_mode & 0xF0) == 0x10;
  if (!Syscalls.lock(handle, !deny_all, kShareLockOffset, kShareLockLength)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    return IsLockRefusal(error) ? kIoSharingViolation : IoCodeFromWin32(error);
  }
  out.handle_ = handle;
  // Kept with this open's own locks, so that a probe of the byte does not take it for another
  // program's open.
  out.locks_.push_back({kShareLockOffset, kShareLockLength, !deny_all});
  out.open_mode_ = open_mode;
  out.writable_ = (open_mode & 0x0F) == 2;
  out.path_ = resolved;
  return kIoOk;
}

int File::Open(const std::string& path, int open_mode, File& out, Links links) {
  const std::string resolved = ResolvePath(path);
  out = File();
  // The DOS modes deny reading and writing only: renaming or deleting a file open here is left
  // to the rules of this library (DeleteFile refuses a file in use), as on POSIX, so that a table
  // held open can give way to its rewritten copy (old name kept, new one renamed into place).
  DWORD access = GENERIC_READ;
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  switch (open_mode) {
    case kOpenReadOnlyDenyNone:
      break;
    case kOpenReadWriteDenyNone:
      access |= GENERIC_WRITE;
      break;
    case kOpenDenyAll:
      share = FILE_SHARE_DELETE;
      break;
    case kOpenReadWriteDenyAll:
      access |= GENERIC_WRITE;
      share = FILE_SHARE_DELETE;
      break;
    default:
      return kIoInvalidAccessCode;
  }
  const DWORD flags =
      FILE_ATTRIBUTE_NORMAL | (links == Links::kRefuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  HANDLE h =
      ::CreateFileW(Wide(resolved).c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return OpenFailureCode();
  if (links == Links::kRefuse) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      ::CloseHandle(h);
      return kIoAccessDenied;
    }
  }
  return Adopt(h, resolved, open_mode, out);
}

int File::Create(const std::string& path, File& out) {
  const std::string resolved = ResolvePath(path);
  out = File();
  // Deny-all: an existing file that another program has open is a sharing violation and stays
  // as it was; CREATE_ALWAYS empties it only once the open succeeded.
  HANDLE h = ::CreateFileW(Wide(resolved).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return OpenFailureCode();
  const int code = Adopt(h, resolved, kOpenReadWriteDenyAll, out);
  if (code != kIoOk) return code;
  if (!Syscalls.set_size(out.handle_, 0)) {
    const int failed = IoCodeFromWin32(::GetLastError());
    out = File();
    return failed;
  }
  return kIoOk;
}

int File::CreateNew(const std::string& path, File& out, unsigned /*mode*/) {
  // A new file takes the folder's permissions on Windows; there are no mode bits to give it.
  const std::string resolved = ResolvePath(path);
  out = File();
  // DELETE access: a file made here is given its final name through its handle (MoveTo).
  HANDLE h = ::CreateFileW(Wide(resolved).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return OpenFailureCode();
  return Adopt(h, resolved, kOpenReadWriteDenyAll, out);
}

int File::ReadOnce(std::uint64_t offset, std::span<std::byte> out, std::size_t& got) {
  got = 0;
  if (handle_ == nullptr) return kIoFileNotOpen;
  if (!RangeFits(offset, out.size())) return kIoDiskReadError;
  while (got < out.size()) {
    const auto count =
        static_cast<std::uint32_t>(std::min<std::size_t>(out.size() - got, kLargestTransfer));
    std::uint32_t n = 0;
    if (!Syscalls.read(handle_, out.data() + got, count, offset + got, n)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      return error == ERROR_LOCK_VIOLATION ? kIoLockViolation : kIoDiskReadError;
    }
    if (n == 0) break;  // end of file
    got += n;
  }
  return kIoOk;
}

int File::WriteAt(std::uint64_t offset, std::span<const std::byte> in) {
  if (handle_ == nullptr) return kIoFileNotOpen;
  if (!writable_) return kIoAccessDenied;
  if (!RangeFits(offset, in.size())) return kIoDiskWriteError;
  std::size_t done = 0;
  while (done < in.size()) {
    const auto count =
        static_cast<std::uint32_t>(std::min<std::size_t>(in.size() - done, kLargestTransfer));
    std::uint32_t n = 0;
    if (!Syscalls.write(handle_, in.data() + done, count, offset + done, n)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_LOCK_VIOLATION) return kIoLockViolation;
      return error == ERROR_ACCESS_DENIED ? kIoAccessDenied : kIoDiskWriteError;
    }
    if (n == 0) return kIoDiskWriteError;  // no progress: treat as a full disk
    done += n;
  }
  return kIoOk;
}

int File::Size(std::uint64_t& size) const {
  size = 0;
  if (handle_ == nullptr) return kIoFileNotOpen;
  LARGE_INTEGER n{};
  if (!::GetFileSizeEx(handle_, &n)) return IoCodeFromWin32(::GetLastError());
  size = static_cast<std::uint64_t>(n.QuadPart);
  return kIoOk;
}

int File::Truncate(std::uint64_t size) {
  if (handle_ == nullptr) return kIoFileNotOpen;
  if (!writable_) return kIoAccessDenied;
  if (size > kMaxOffset) return kIoDiskWriteError;
  return Syscalls.set_size(handle_, size) ? kIoOk : kIoDiskWriteError;
}

int File::Flush() {
  if (handle_ == nullptr) return kIoFileNotOpen;
  return Syscalls.flush(handle_) ? kIoOk : kIoDiskWriteError;
}

int File::Close() {
  if (handle_ == nullptr) return kIoFileNotOpen;
  void* handle = std::exchange(handle_, nullptr);
  locks_.clear();  // closing the handle releases them
  open_mode_ = 0;
  writable_ = false;
  return Syscalls.close(handle) ? kIoOk : kIoDiskWriteError;
}

int File::LockRange(std::uint64_t offset, std::uint64_t length) {
  return TakeRangeLock(offset, length, !writable_);
}

int File::LockRangeShared(std::uint64_t offset, std::uint64_t length) {
  return TakeRangeLock(offset, length, true);
}

int File::TakeRangeLock(std::uint64_t offset, std::uint64_t length, bool shared) {
  if (handle_ == nullptr) return kIoFileNotOpen;
  if (length == 0) return kIoOk;
  if (!RangeFits(offset, length)) return kIoLockViolation;
  // Windows refuses an exclusive lock over any lock of the same handle, and any lock over an
  // exclusive one; said here too, so the answer does not rest on the system's bookkeeping.
  for (const HeldLock& held : locks_) {
    if (Overlap(offset, length, held.offset, held.length) && !(shared && held.shared)) {
      return kIoLockViolation;
    }
  }
  if (!Syscalls.lock(handle_, shared, offset, length)) {
    const DWORD error = ::GetLastError();
    return IsLockRefusal(error) ? kIoLockViolation : IoCodeFromWin32(error);
  }
  locks_.push_back({offset, length, shared});
  return kIoOk;
}

int File::UnlockRange(std::uint64_t offset, std::uint64_t length) {
  if (handle_ == nullptr) return kIoFileNotOpen;
  if (length == 0) return kIoOk;
  if (!RangeFits(offset, length)) return kIoLockViolation;
  // An unlock must name a locked range exactly: every lock inside the range is released by
  // its own call, and locks merely overlapping it are kept.
  int code = kIoOk;
  for (auto it = locks_.begin(); it != locks_.end();) {
    const bool inside = it->offset >= offset && it->offset + it->length <= offset + length;
    if (!inside) {
      ++it;
      continue;
    }
    if (!Syscalls.unlock(handle_, it->offset, it->length) && code == kIoOk) {
      code = IoCodeFromWin32(::GetLastError());
    }
    it = locks_.erase(it);
  }
  return code;
}

bool File::RangeLockedElsewhere(std::uint64_t offset, std::uint64_t length) const {
  if (handle_ == nullptr || length == 0 || !RangeFits(offset, length)) return false;
  // Windows has no lock query: a probe takes an exclusive lock and gives it back. This open's
  // own locks would refuse the probe, so its shared locks in the range are set aside for the
  // moment, and the parts under its exclusive ones (where nobody else can hold a lock) are
  // left out of the probe.
  std::vector<HeldLock> set_aside;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mine;  // exclusive, in the range
  for (const HeldLock& held : locks_) {
    if (!Overlap(offset, length, held.offset, held.length)) continue;
    if (held.shared) {
      Syscalls.unlock(handle_, held.offset, held.length);
      set_aside.push_back(held);
    } else {
      mine.emplace_back(held.offset, held.offset + held.length);
    }
  }
  std::sort(mine.begin(), mine.end());
  bool locked = false;
  std::uint64_t at = offset;
  const std::uint64_t end = offset + length;
  auto probe = [&](std::uint64_t from, std::uint64_t to) {
    if (locked || from >= to) return;
    if (Syscalls.lock(handle_, false, from, to - from)) {
      Syscalls.unlock(handle_, from, to - from);
    } else {
      locked = true;
    }
  };
  for (const auto& [from, to] : mine) {
    probe(at, std::min(from, end));
    at = std::max(at, to);
  }
  probe(at, end);
  for (const HeldLock& held : set_aside) {
    // Taken back at once; a shared lock only fails here when another program took an
    // exclusive one in the moment between, and then the range is locked elsewhere indeed.
    if (!Syscalls.lock(handle_, true, held.offset, held.length)) {
      locked = true;
      auto& locks = const_cast<std::vector<HeldLock>&>(locks_);
      locks.erase(std::find_if(locks.begin(), locks.end(), [&](const HeldLock& l) {
        return l.offset == held.offset && l.length == held.length && l.shared;
      }));
    }
  }
  return locked;
}

int File::LastWriteDate(int& year, int& month, int& day) const {
  if (handle_ == nullptr) return kIoFileNotOpen;
  FILETIME written{};
  if (!::GetFileTime(handle_, nullptr, nullptr, &written)) {
    return IoCodeFromWin32(::GetLastError());
  }
  return LocalDate(written, year, month, day);
}

// ---- Names, paths and directories ------------------------------------------------------------

std::string ResolvePath(const std::string& path) {
  // Windows matches names without case itself; only the separators are made one kind.
  std::string written = path;
  std::replace(written.begin(), written.end(), '\\', '/');
  return written;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = Attributes(ResolvePath(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = Attributes(ResolvePath(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int RenameFile(const std::string& from, const std::string& to) {
  if (!::MoveFileExW(Wide(ResolvePath(from)).c_str(), Wide(ResolvePath(to)).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return IoCodeFromWin32(::GetLastError());
  }
  return kIoOk;
}

int CopyWholeFile(const std::string& from, const std::string& to) {
  File source;
  int code = File::Open(from, kOpenReadOnlyDenyNone, source);
  if (code != kIoOk) return code;
  const std::string target = ResolvePath(to);
  const std::size_t slash = target.rfind('/');
  std::string temp;
  File copy;
  code = CreateUniqueFile(slash == std::string::npos ? "." : target.substr(0, slash + 1), "VXB",
                          "TMP", temp, copy);
  if (code != kIoOk) return code;
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
  if (code != kIoOk) ::DeleteFileW(Wide(temp).c_str());
  return code;
}

int RenameToNewName(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when anything has the name.
  if (!::MoveFileExW(Wide(ResolvePath(from)).c_str(), Wide(ResolvePath(to)).c_str(),
                     MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? kIoAccessDenied
                                                                       : IoCodeFromWin32(error);
  }
  return kIoOk;
}

int File::MoveTo(const std::string& to, bool replace, File* held) {
  if (handle_ == nullptr) return kIoFileNotOpen;
  // Windows refuses to replace a file that any handle holds, the caller's own included.
  if (held != nullptr && held->IsOpen()) held->Close();
  // Renamed through its own handle (opened with DELETE access by CreateNew): the file moved is
  // this one whatever its name leads to now. The new name is given whole, as the system spells it.
  const std::wstring target = Wide(ResolvePath(to));
  const DWORD full_length = ::GetFullPathNameW(target.c_str(), 0, nullptr, nullptr);
  if (full_length == 0) return IoCodeFromWin32(::GetLastError());
  std::wstring full(full_length, L'\0');
  const DWORD written = ::GetFullPathNameW(target.c_str(), full_length, full.data(), nullptr);
  if (written == 0 || written >= full_length) return kIoPathNotFound;
  full.resize(written);
  std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + full.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(full.size() * sizeof(wchar_t));
  std::copy(full.begin(), full.end(), info->FileName);
  if (!::SetFileInformationByHandle(handle_, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size()))) {
    const DWORD error = ::GetLastError();
    if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
      return kIoAccessDenied;
    }
    return IoCodeFromWin32(error);
  }
  path_ = ResolvePath(to);
  return kIoOk;
}

int SyncDirectoryOf(const std::string& /*path*/) {
  // NTFS journals its names itself, and the renames above ask for write-through.
  return kIoOk;
}

int DeleteFile(const std::string& path) {
  const std::string resolved = ResolvePath(path);
  const DWORD attributes = Attributes(resolved);
  if (attributes == INVALID_FILE_ATTRIBUTES) return OpenFailureCode();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return kIoAccessDenied;
  // Windows refuses to delete a file another open holds without FILE_SHARE_DELETE (every open
  // here); an open by a program on Linux shows only in the sharing byte.
  if (FileInUse(resolved)) return kIoSharingViolation;
  if (!::DeleteFileW(Wide(resolved).c_str())) return OpenFailureCode();
  return kIoOk;
}

int FileLastWriteDate(const std::string& path, int& year, int& month, int& day) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(Wide(ResolvePath(path)).c_str(), GetFileExInfoStandard, &data)) {
    return OpenFailureCode();
  }
  return LocalDate(data.ftLastWriteTime, year, month, day);
}

std::string TempDirectory() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
  std::string dir = n > 0 && n <= MAX_PATH ? Utf8FromWide(std::wstring(buffer, n)) : "C:/Temp/";
  dir = ResolvePath(dir);
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
    const int code = File::CreateNew(name, file);
    if (code == kIoOk) {
      path = name;
      return kIoOk;
    }
    // Taken (a link included): another name. Anything else ends the search.
    if (code != kIoAccessDenied || Attributes(name) == INVALID_FILE_ATTRIBUTES) return code;
  }
  return kIoAccessDenied;
}

bool FileInUse(const std::string& path) {
  // Every open here holds the sharing byte, as do opens by programs on Linux; another Windows
  // program's open that denies readers or writers refuses this one.
  HANDLE h = ::CreateFileW(Wide(ResolvePath(path)).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool link = ::GetFileInformationByHandle(h, &info) &&
                    (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const bool in_use = !link && ShareByteLocked(h);
  ::CloseHandle(h);
  return in_use;
}

bool SameFile(const std::string& a, const std::string& b) {
  HANDLE first = OpenForQuery(ResolvePath(a), true);
  if (first == nullptr) return false;
  HANDLE second = OpenForQuery(ResolvePath(b), true);
  BY_HANDLE_FILE_INFORMATION x{}, y{};
  const bool same = second != nullptr && ::GetFileInformationByHandle(first, &x) &&
                    ::GetFileInformationByHandle(second, &y) &&
                    x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
                    x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
  ::CloseHandle(first);
  if (second != nullptr) ::CloseHandle(second);
  return same;
}

bool IsSymbolicLink(const std::string& path) {
  const DWORD attributes = Attributes(ResolvePath(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

int TakeModeAndOwner(const std::string& model, File& file) {
  // A new file takes its folder's permissions, as the file it replaces did: nothing to copy.
  if (!file.IsOpen() || !FileExists(model)) return kIoAccessDenied;
  return kIoOk;
}

int CreatePrivateDirectory(std::string& out) {
  // The user's temporary folder is the user's own on Windows.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string dir = TempDirectory() + "VXD" + RandomSuffix(6);
    if (::CreateDirectoryW(Wide(dir).c_str(), nullptr)) {
      out = dir + "/";
      return kIoOk;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return OpenFailureCode();
  }
  return kIoAccessDenied;
}

void RemovePrivateDirectory(const std::string& dir) {
  std::vector<DirEntry> found;
  FindFiles(dir, "*", false, found);
  for (const DirEntry& entry : found) ::DeleteFileW(Wide(dir + entry.name).c_str());
  ::RemoveDirectoryW(Wide(dir).c_str());
}

std::int64_t DiskFreeBytes(const std::string& path) {
  std::string target = ResolvePath(path);
  if (!DirectoryExists(target)) target = ParentOf(target);
  if (target.empty() || target.back() != '/') target += '/';
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(Wide(target).c_str(), &available, nullptr, nullptr)) return -1;
  constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(std::min<std::uint64_t>(available.QuadPart, kMax));
}

int DriveType(const std::string& path) {
  const std::wstring wide = Wide(ResolvePath(path));
  if (::GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
  wchar_t root[MAX_PATH + 1];
  if (!::GetVolumePathNameW(wide.c_str(), root, MAX_PATH + 1)) return 0;
  const UINT type = ::GetDriveTypeW(root);
  switch (type) {
    case DRIVE_REMOVABLE:
    case DRIVE_FIXED:
    case DRIVE_REMOTE:
    case DRIVE_RAMDISK:
      return static_cast<int>(type);
    case DRIVE_CDROM:
      return 2;
    default:
      return 0;
  }
}

int FindFiles(const std::string& directory, const std::string& mask, bool with_directories,
              std::vector<DirEntry>& out) {
  out.clear();
  std::string resolved = ResolvePath(directory.empty() ? "." : directory);
  if (!DirectoryExists(resolved)) return kIoPathNotFound;
  if (resolved.back() != '/') resolved += '/';
  WIN32_FIND_DATAW data{};
  HANDLE find = ::FindFirstFileExW(Wide(resolved + "*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? kIoFileNotFound : IoCodeFromWin32(error);
  }
  do {
    const std::string name = Utf8FromWide(data.cFileName);
    if (name == "." || name == ".." || !MatchesMask(name, mask)) continue;
    const bool is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (is_directory && !with_directories) continue;
    const std::uint64_t size =
        is_directory ? 0
                     : (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    out.push_back({name, size, is_directory});
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return out.empty() ? kIoFileNotFound : kIoOk;
}

}  // namespace vx::os
