#pragma once
// The system calls through which File changes a file or takes a lock, as a table of function
// pointers. Tests replace entries to make a call fail on purpose (a full disk, an I/O error, a
// refused lock); everything else goes through the real calls, so the table costs one indirect
// call and nothing else when no test touches it. Reads are not in the table: a failed read
// needs no recovery beyond the error it reports.

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>

namespace vx::os {

struct SystemCalls {
  ssize_t (*pwrite)(int fd, const void* data, std::size_t count, off_t offset);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t length);
  int (*close)(int fd);
  // fcntl with F_OFD_SETLK or F_OFD_GETLK.
  int (*lock)(int fd, int command, struct flock* lock);
};

// The calls File uses; tests assign to it and restore RealSystemCalls() afterwards.
extern SystemCalls Syscalls;
SystemCalls RealSystemCalls();

}  // namespace vx::os
