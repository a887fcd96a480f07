#pragma once
// Failures on purpose: while a FaultInjection lives, the platform's writes, flushes, closes and
// locks go through it, and the faults it was given fire on the files they name (by the end of
// the path, without case). Two kinds:
//
//   DiskFull(file, free): writes that stay inside the file's current size succeed (they need no
//     new space); bytes beyond it use up `free`; the write that crosses it stores what fits and
//     comes back short, and every later growth fails with ENOSPC.
//   Fail(call, file, error): the call fails with `error` (ENOSPC, EIO, EAGAIN...), after `skip`
//     matching calls passed, `times` times (-1: every time). A failed close still closes.
//     `offset` limits a write fault to writes at that offset (the header at 0, for instance).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vx::test {

// kRead: a read at the offset is refused (EAGAIN: by another program's lock, as Windows refuses
// reads of a range another handle locked; EIO: a disk error).
enum class Call { kWrite, kFsync, kTruncate, kClose, kLock, kRead };

class FaultInjection {
 public:
  static constexpr std::uint64_t kAnyOffset = ~std::uint64_t{0};

  FaultInjection();
  ~FaultInjection();
  FaultInjection(const FaultInjection&) = delete;
  FaultInjection& operator=(const FaultInjection&) = delete;

  void DiskFull(const std::string& file, std::uint64_t free_bytes);
  void Fail(Call call, const std::string& file, int error, int skip = 0, int times = 1,
            std::uint64_t offset = kAnyOffset);
  // Drops every fault: the disk has room again.
  void Clear();
  // How many calls failed or came back short so far.
  int fired() const;
};

}  // namespace vx::test
