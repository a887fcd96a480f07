#include "tests/support/fault_injection.h"

#include <sys/stat.h>
#include <unistd.h>

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

std::string PathOf(int fd) {
  char buffer[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

bool Names(const std::string& path, const std::string& file) {
  const std::string p = Lower(path), f = Lower(file);
  return p.size() >= f.size() && p.compare(p.size() - f.size(), f.size(), f) == 0;
}

// The errno a matching rule asks for, or 0 to let the call through.
int Fire(Call call, int fd, std::uint64_t offset) {
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

}  // namespace

FaultInjection::FaultInjection() {
  Faults() = State{};
  os::Syscalls = {&FaultyPwrite, &FaultyFsync, &FaultyTruncate, &FaultyClose, &FaultyLock};
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
