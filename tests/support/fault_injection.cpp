#include "tests/support/fault_injection.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/os/system_calls.h"

namespace vx::test {
namespace {

struct Fault {
  Call call;
  std::string file;
  int error;
  int skip;
  int times;
  std::uint64_t offset;
};

struct State {
  std::vector<Fault> faults;
  bool disk_full = false;
  std::string full_file;
  std::uint64_t free_bytes = 0;
  int fired = 0;
};

State& Faults() {
  static State state;
  return state;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

#ifdef _WIN32
std::string PathOf(void* handle) {
  wchar_t buffer[4096];
  const DWORD n = ::GetFinalPathNameByHandleW(handle, buffer, 4096, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= 4096) return {};
  std::string path;
  for (DWORD i = 0; i < n; ++i) path += buffer[i] < 0x80 ? static_cast<char>(buffer[i]) : '?';
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}
#else
std::string PathOf(int fd) {
  char buffer[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}
#endif

bool Names(const std::string& path, std::string file) {
  std::replace(file.begin(), file.end(), '\\', '/');  // as PathOf spells it
  const std::string p = Lower(path), f = Lower(file);
  return p.size() >= f.size() && p.compare(p.size() - f.size(), f.size(), f) == 0;
}

// The errno a matching rule asks for, or 0 to let the call through.
template <typename Handle>
int Fire(Call call, Handle fd, std::uint64_t offset) {
  State& s = Faults();
  if (s.faults.empty()) return 0;
  const std::string path = PathOf(fd);
  for (Fault& f : s.faults) {
    if (f.call != call || f.times == 0 || !Names(path, f.file)) continue;
    if (f.offset != FaultInjection::kAnyOffset && f.offset != offset) continue;
    if (f.skip > 0) {
      --f.skip;
      continue;
    }
    if (f.times > 0) --f.times;
    ++s.fired;
    return f.error;
  }
  return 0;
}

#ifdef _WIN32
// Win32: the errno values the tests name, as the system would give them.
DWORD Win32Error(int error, Call call) {
  switch (error) {
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EAGAIN:
    case EACCES:
      return ERROR_LOCK_VIOLATION;
    case EBADF:
      return ERROR_ACCESS_DENIED;
    case EIO:
      return call == Call::kRead ? ERROR_READ_FAULT : ERROR_WRITE_FAULT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

bool Refuse(int error, Call call) {
  ::SetLastError(Win32Error(error, call));
  return false;
}

bool FaultyWrite(void* handle, const void* data, std::uint32_t count, std::uint64_t offset,
                 std::uint32_t& done) {
  const os::SystemCalls real = os::RealSystemCalls();
  done = 0;
  if (const int error = Fire(Call::kWrite, handle, offset)) return Refuse(error, Call::kWrite);
  State& s = Faults();
  if (s.disk_full && Names(PathOf(handle), s.full_file)) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle, &size)) return false;
    const auto current = static_cast<std::uint64_t>(size.QuadPart);
    const std::uint64_t end = offset + count;
    const std::uint64_t growth = end > current ? end - std::max<std::uint64_t>(current, offset) : 0;
    if (growth > s.free_bytes) {
      ++s.fired;
      const auto fits = static_cast<std::uint32_t>(count - (growth - s.free_bytes));
      if (fits == 0) return Refuse(ENOSPC, Call::kWrite);
      s.free_bytes = 0;
      return real.write(handle, data, fits, offset, done);
    }
    s.free_bytes -= growth;
  }
  return real.write(handle, data, count, offset, done);
}

bool FaultyRead(void* handle, void* data, std::uint32_t count, std::uint64_t offset,
                std::uint32_t& done) {
  done = 0;
  if (const int error = Fire(Call::kRead, handle, offset)) return Refuse(error, Call::kRead);
  return os::RealSystemCalls().read(handle, data, count, offset, done);
}

bool FaultyFlush(void* handle) {
  if (const int error = Fire(Call::kFsync, handle, FaultInjection::kAnyOffset)) {
    return Refuse(error, Call::kFsync);
  }
  return os::RealSystemCalls().flush(handle);
}

bool FaultySetSize(void* handle, std::uint64_t size) {
  if (const int error = Fire(Call::kTruncate, handle, FaultInjection::kAnyOffset)) {
    return Refuse(error, Call::kTruncate);
  }
  return os::RealSystemCalls().set_size(handle, size);
}

bool FaultyClose(void* handle) {
  const int error = Fire(Call::kClose, handle, FaultInjection::kAnyOffset);
  const bool closed = os::RealSystemCalls().close(handle);
  return error != 0 ? Refuse(error, Call::kClose) : closed;
}

bool FaultyLock(void* handle, bool shared, std::uint64_t offset, std::uint64_t length) {
  if (const int error = Fire(Call::kLock, handle, offset)) return Refuse(error, Call::kLock);
  return os::RealSystemCalls().lock(handle, shared, offset, length);
}

#else
ssize_t FaultyPwrite(int fd, const void* data, std::size_t count, off_t offset) {
  const os::SystemCalls real = os::RealSystemCalls();
  if (const int error = Fire(Call::kWrite, fd, static_cast<std::uint64_t>(offset))) {
    errno = error;
    return -1;
  }
  State& s = Faults();
  if (s.disk_full && Names(PathOf(fd), s.full_file)) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t end = static_cast<std::uint64_t>(offset) + count;
    const std::uint64_t growth = end > size ? end - std::max<std::uint64_t>(size, offset) : 0;
    if (growth > s.free_bytes) {
      ++s.fired;
      const std::size_t fits = static_cast<std::size_t>(count - (growth - s.free_bytes));
      if (fits == 0) {
        errno = ENOSPC;
        return -1;
      }
      s.free_bytes = 0;
      return real.pwrite(fd, data, fits, offset);
    }
    s.free_bytes -= growth;
  }
  return real.pwrite(fd, data, count, offset);
}

ssize_t FaultyPread(int fd, void* data, std::size_t count, off_t offset) {
  if (const int error = Fire(Call::kRead, fd, static_cast<std::uint64_t>(offset))) {
    errno = error;
    return -1;
  }
  return os::RealSystemCalls().pread(fd, data, count, offset);
}

int FaultyFsync(int fd) {
  if (const int error = Fire(Call::kFsync, fd, FaultInjection::kAnyOffset)) {
    errno = error;
    return -1;
  }
  return os::RealSystemCalls().fsync(fd);
}

int FaultyTruncate(int fd, off_t length) {
  if (const int error = Fire(Call::kTruncate, fd, FaultInjection::kAnyOffset)) {
    errno = error;
    return -1;
  }
  return os::RealSystemCalls().ftruncate(fd, length);
}

int FaultyClose(int fd) {
  const int error = Fire(Call::kClose, fd, FaultInjection::kAnyOffset);
  const int result = os::RealSystemCalls().close(fd);
  if (error != 0) {
    errno = error;
    return -1;
  }
  return result;
}

int FaultyLock(int fd, int command, struct flock* lock) {
  // Only taking a lock fails; tests and releases go through.
  if (command == F_OFD_SETLK && lock->l_type != F_UNLCK) {
    if (const int error = Fire(Call::kLock, fd, static_cast<std::uint64_t>(lock->l_start))) {
      errno = error;
      return -1;
    }
  }
  return os::RealSystemCalls().lock(fd, command, lock);
}

#endif

}  // namespace

FaultInjection::FaultInjection() {
  Faults() = State{};
#ifdef _WIN32
  os::Syscalls = os::RealSystemCalls();
  os::Syscalls.write = &FaultyWrite;
  os::Syscalls.read = &FaultyRead;
  os::Syscalls.flush = &FaultyFlush;
  os::Syscalls.set_size = &FaultySetSize;
  os::Syscalls.close = &FaultyClose;
  os::Syscalls.lock = &FaultyLock;
#else
  os::Syscalls = {&FaultyPwrite,   &FaultyPread, &FaultyFsync,
                  &FaultyTruncate, &FaultyClose, &FaultyLock};
#endif
}

FaultInjection::~FaultInjection() {
  os::Syscalls = os::RealSystemCalls();
  Faults() = State{};
}

void FaultInjection::DiskFull(const std::string& file, std::uint64_t free_bytes) {
  State& s = Faults();
  s.disk_full = true;
  s.full_file = file;
  s.free_bytes = free_bytes;
}

void FaultInjection::Fail(Call call, const std::string& file, int error, int skip, int times,
                          std::uint64_t offset) {
  Faults().faults.push_back({call, file, error, skip, times, offset});
}

void FaultInjection::Clear() {
  const int fired = Faults().fired;
  Faults() = State{};
  Faults().fired = fired;
}

int FaultInjection::fired() const { return Faults().fired; }

}  // namespace vx::test
