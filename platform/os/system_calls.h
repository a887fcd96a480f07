#pragma once
// The system calls through which File reads and changes a file or takes a lock, as a table of
// function pointers. Tests replace entries to make a call fail on purpose (a full disk, an I/O
// error, a refused lock, a read refused by another program's lock); everything else goes through
// the real calls, so the table costs one indirect call and nothing else when no test touches it.
// While the read entry is replaced, files read with it alone (no mapping).

#include <cstddef>

#ifdef _WIN32
#include <cstdint>

namespace vx::os {

// Win32: each call answers true, or false with the error in GetLastError. `handle` is a HANDLE.
struct SystemCalls {
  bool (*write)(void* handle, const void* data, std::uint32_t count, std::uint64_t offset,
                std::uint32_t& done);
  bool (*read)(void* handle, void* data, std::uint32_t count, std::uint64_t offset,
               std::uint32_t& done);
  bool (*flush)(void* handle);
  bool (*set_size)(void* handle, std::uint64_t size);
  bool (*close)(void* handle);
  // LockFileEx without waiting (shared or exclusive) and UnlockFileEx of exactly that range.
  bool (*lock)(void* handle, bool shared, std::uint64_t offset, std::uint64_t length);
  bool (*unlock)(void* handle, std::uint64_t offset, std::uint64_t length);
};

#else
#include <fcntl.h>
#include <sys/types.h>

namespace vx::os {

struct SystemCalls {
  ssize_t (*pwrite)(int fd, const void* data, std::size_t count, off_t offset);
  ssize_t (*pread)(int fd, void* data, std::size_t count, off_t offset);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t length);
  int (*close)(int fd);
  // fcntl with F_OFD_SETLK or F_OFD_GETLK.
  int (*lock)(int fd, int command, struct flock* lock);
};

#endif

// The calls File uses; tests assign to it and restore RealSystemCalls() afterwards.
extern SystemCalls Syscalls;
SystemCalls RealSystemCalls();

}  // namespace vx::os
