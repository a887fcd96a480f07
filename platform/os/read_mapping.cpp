#include "platform/os/read_mapping.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace vx::os {

namespace {

ReadPath ReadPathFromEnvironment() {
  const char* value = std::getenv("VX_READ_PATH");
  return value != nullptr && std::strcmp(value, "pread") == 0 ? ReadPath::kPread
                                                              : ReadPath::kMapped;
}

std::atomic<ReadPath>& ReadPathSetting() {
  static std::atomic<ReadPath> setting{ReadPathFromEnvironment()};
  return setting;
}

// ---- The guard around a copy out of a mapping ------------------------------------------------
//
// A copy that touches a page past the end of a file another program cut short gets SIGBUS. The
// handler sees whether the faulting thread is inside a guarded copy and the address inside the
// range it copies from; if so it jumps back to the copy's start, which then answers "not copied".
// Any other SIGBUS goes to the handler that was installed before ours (or the default action).

struct CopyGuard {
  sigjmp_buf resume;
  const std::byte* low = nullptr;
  const std::byte* high = nullptr;
  volatile sig_atomic_t active = 0;
};

thread_local CopyGuard tls_guard;
// Guarded copies running in any thread: the handler touches the thread-local guard only while
// some copy runs (a thread that never copied may not have its thread-local storage yet).
std::atomic<int> guards_running{0};
struct sigaction previous_bus_action {};

void ForwardBus(int signal, siginfo_t* info, void* context) {
  if ((previous_bus_action.sa_flags & SA_SIGINFO) != 0 &&
      previous_bus_action.sa_sigaction != nullptr) {
    previous_bus_action.sa_sigaction(signal, info, context);
    return;
  }
  if (previous_bus_action.sa_handler != SIG_DFL && previous_bus_action.sa_handler != SIG_IGN) {
    previous_bus_action.sa_handler(signal);
    return;
  }
  // Default action: put it back and return; the faulting instruction runs again and the signal
  // ends the process as it would have without us. (An ignored SIGBUS from a fault would repeat
  // for ever, so ignoring also becomes the default.)
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(SIGBUS, &fallback, nullptr);
}

void OnBus(int signal, siginfo_t* info, void* context) {
  if (guards_running.load(std::memory_order_relaxed) > 0) {
    CopyGuard& guard = tls_guard;
    const auto* address = static_cast<const std::byte*>(info->si_addr);
    if (guard.active != 0 && address >= guard.low && address < guard.high) {
      guard.active = 0;
      siglongjmp(guard.resume, 1);
    }
  }
  ForwardBus(signal, info, context);
}

void InstallBusHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = &OnBus;
    // SA_NODEFER: the jump out of the handler skips the return that would unblock SIGBUS, and
    // the copy's sigsetjmp does not save the signal mask (that would cost a system call per copy).
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previous_bus_action);
  });
}

// Copies `size` bytes from a mapping; false when a page was past the file's end.
bool GuardedCopy(std::byte* to, const std::byte* from, std::size_t size) {
  CopyGuard& guard = tls_guard;
  guard.low = from;
  guard.high = from + size;
  guards_running.fetch_add(1, std::memory_order_relaxed);
  if (sigsetjmp(guard.resume, 0) != 0) {
    guards_running.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  guard.active = 1;
  std::memcpy(to, from, size);
  guard.active = 0;
  guards_running.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

constexpr std::uint64_t kGrowthRoom = 1u << 20;

}  // namespace

void SetReadPath(ReadPath path) { ReadPathSetting().store(path); }
ReadPath CurrentReadPath() { return ReadPathSetting().load(); }

bool MapsCoherently(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case F2FS_SUPER_MAGIC:
      return true;
    case OVERLAYFS_SUPER_MAGIC: {
      // A mapping reaches the layer the file was in when it was made. A read-write open has
      // already copied the file up to where every writer changes it; a read-only open may still
      // see the lower copy a writer's later open leaves behind, so it reads with pread.
      const int flags = ::fcntl(fd, F_GETFL);
      return flags >= 0 && (flags & O_ACCMODE) == O_RDWR;
    }
    default:
      return false;
  }
}

ReadMapping::ReadMapping(ReadMapping&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      known_size_(std::exchange(other.known_size_, 0)),
      state_(std::exchange(other.state_, State::kUndecided)),
      end_check_(std::exchange(other.end_check_, true)) {}

ReadMapping& ReadMapping::operator=(ReadMapping&& other) noexcept {
  if (this != &other) {
    Reset();
    base_ = std::exchange(other.base_, nullptr);
    length_ = std::exchange(other.length_, 0);
    known_size_ = std::exchange(other.known_size_, 0);
    state_ = std::exchange(other.state_, State::kUndecided);
    end_check_ = std::exchange(other.end_check_, true);
  }
  return *this;
}

ReadMapping::~ReadMapping() { Reset(); }

void ReadMapping::Reset() {
  if (base_ != nullptr) ::munmap(base_, length_);
  base_ = nullptr;
  length_ = 0;
  known_size_ = 0;
  state_ = State::kUndecided;
  end_check_ = true;
}

bool ReadMapping::Remap(int fd, std::uint64_t needed) {
  if (base_ != nullptr) ::munmap(base_, length_);
  base_ = nullptr;
  length_ = 0;
  const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t wanted = (needed + needed / 4 + kGrowthRoom + page - 1) / page * page;
  if (wanted > static_cast<std::uint64_t>(PTRDIFF_MAX)) return false;
  void* base = ::mmap(nullptr, wanted, PROT_READ, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return false;
  base_ = static_cast<std::byte*>(base);
  length_ = static_cast<std::size_t>(wanted);
  return true;
}

bool ReadMapping::Read(int fd, std::uint64_t offset, std::span<std::byte> out) {
  if (state_ == State::kOff) return false;
  if (state_ == State::kUndecided) {
    if (CurrentReadPath() == ReadPath::kPread || !MapsCoherently(fd)) {
      state_ = State::kOff;
      return false;
    }
    InstallBusHandler();
    state_ = State::kOn;
  }
  if (out.empty()) return true;
  if (offset > known_size_ || out.size() > known_size_ - offset) {
    // Past the end as last seen: another program may have appended.
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    known_size_ = static_cast<std::uint64_t>(st.st_size);
    if (offset > known_size_ || out.size() > known_size_ - offset) return false;
  }
  const std::uint64_t end = offset + out.size();
  if (end > length_ && !Remap(fd, known_size_)) {
    state_ = State::kOff;  // out of address space or refused: pread from now on
    return false;
  }
  if (!GuardedCopy(out.data(), base_ + offset, out.size())) {
    known_size_ = 0;  // cut short behind our back: ask the size again next time
    return false;
  }
  // A file cut inside a page keeps that page mapped, zeros after the new end, so a copy that
  // ends in a zero byte may have run past the end: the size decides. One that ends in any other
  // byte reached a byte of the file, and so did everything before it.
  if (!end_check_ || out.back() != std::byte{0}) return true;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  known_size_ = static_cast<std::uint64_t>(st.st_size);
  return end <= known_size_;
}

}  // namespace vx::os
