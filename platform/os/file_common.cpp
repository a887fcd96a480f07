// The parts of the file services that are the same on every system: the retried read, DOS
// masks, temporary names and the errno mapping.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "platform/os/file.h"
#include "platform/os/file_internal.h"

namespace vx::os {

namespace {

std::atomic<LockedReadWait> g_locked_read_wait{nullptr};

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// DOS wildcard comparison without case: '*' any run, '?' exactly one character.
bool WildMatch(const std::string& name, const std::string& mask) {
  std::size_t n = 0, m = 0;
  std::size_t star_mask = std::string::npos, star_name = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || FoldAscii(mask[m]) == FoldAscii(name[n]))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      star_mask = m++;
      star_name = n;
    } else if (star_mask != std::string::npos) {
      m = star_mask + 1;
      n = ++star_name;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace

void SetLockedReadWait(LockedReadWait wait) { g_locked_read_wait.store(wait); }

int File::ReadAt(std::uint64_t offset, std::span<std::byte> out, std::size_t& got) {
  for (int attempts = 1;; ++attempts) {
    const int code = ReadOnce(offset, out, got);
    if (code != kIoLockViolation) return code;
    const LockedReadWait wait = g_locked_read_wait.load();
    if (wait == nullptr || !wait(attempts)) return code;
  }
}

// Six letters and digits for a temporary name, from a generator seeded once per thread.
std::string RandomSuffix(std::size_t length) {
  static constexpr char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  thread_local std::mt19937 generator{
      std::random_device{}() ^
      static_cast<unsigned>(std::hash<std::thread::id>{}(std::this_thread::get_id())) ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kChars) - 2);
  std::string suffix(length, '0');
  for (char& c : suffix) c = kChars[pick(generator)];
  return suffix;
}

bool MatchesMask(const std::string& name, const std::string& mask) {
  if (WildMatch(name, mask)) return true;
  if (name.find('.') != std::string::npos) return false;
  // A name without an extension matches "NAME.*" and "NAME." as it does under DOS.
  if (mask.size() >= 2 && mask.ends_with(".*")) {
    return WildMatch(name, mask.substr(0, mask.size() - 2));
  }
  if (mask.size() >= 2 && mask.back() == '.') {
    return WildMatch(name, mask.substr(0, mask.size() - 1));
  }
  return false;
}

int IoCodeFromErrno(int err) {
  switch (err) {
    case 0:
      return kIoOk;
    case ENOENT:
      return kIoFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
#ifdef ELOOP
    case ELOOP:
#endif
      return kIoPathNotFound;
    case EMFILE:
    case ENFILE:
      return kIoTooManyOpenFiles;
    case EBADF:
      return kIoInvalidHandle;
    case EBUSY:
#ifdef ETXTBSY
    case ETXTBSY:
#endif
      return kIoSharingViolation;
    case EAGAIN:
      return kIoLockViolation;
    case EIO:
      return kIoDiskReadError;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
      return kIoDiskWriteError;
    default:
      // EACCES, EPERM, EROFS, EISDIR, EEXIST and the rest: the general refusal.
      return kIoAccessDenied;
  }
}

}  // namespace vx::os
