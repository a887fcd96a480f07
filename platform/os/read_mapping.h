#pragma once
// Reads through a shared mapping of a file, for files on local file systems, where the page
// cache is the one copy every process reads and writes: a byte another program wrote with
// pwrite is in the mapping as soon as its call returned, so a read needs no system call.
// Network file systems (NFS, SMB/CIFS, FUSE) keep per-machine caches that a mapping does not
// see through; there, and whenever the mapping cannot serve a read, the caller reads with pread.
//
// The mapping covers the file's size as last seen plus room to grow (pages past the end are never
// touched). A read past that size asks the file's size again (another program appended) and
// maps again when needed; a read past the real end is left to pread, which gives the short read.
// A file cut short by another program makes a touched page past its end raise SIGBUS: the copy
// runs under a guard that turns the fault into "read this with pread", so the reader gets the
// short read the file now gives instead of dying. The page the new end falls in stays mapped
// with zeros past the end, so a copy whose last byte is zero asks the size before it counts.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vx::os {

// How File reads: kMapped maps files on local file systems (others read with pread), kPread
// reads every file with pread. The starting value comes from the environment variable
// VX_READ_PATH ("pread" forces pread; anything else, or nothing, is kMapped). The choice is
// process-wide and taken by each open file at its first read.
enum class ReadPath { kMapped, kPread };
void SetReadPath(ReadPath path);
ReadPath CurrentReadPath();

// Whether the file system holding `fd` keeps one page cache for every process (ext4, xfs,
// btrfs, tmpfs, overlay and a few other local ones). Anything else, unknown kinds included, is
// treated as shared between machines.
bool MapsCoherently(int fd);

// The mapping of one open file. Movable; unmaps on destruction.
class ReadMapping {
 public:
  ReadMapping() = default;
  ReadMapping(ReadMapping&& other) noexcept;
  ReadMapping& operator=(ReadMapping&& other) noexcept;
  ReadMapping(const ReadMapping&) = delete;
  ReadMapping& operator=(const ReadMapping&) = delete;
  ~ReadMapping();

  // Copies out.size() bytes at `offset` of the file `fd` into `out` and answers true, or answers
  // false when the caller must read with pread (not mapped here, range past the end, file cut
  // short). The first call decides whether this file is mapped at all.
  bool Read(int fd, std::uint64_t offset, std::span<std::byte> out);
  // This open wrote up to `end` (the file is at least that long now).
  void Wrote(std::uint64_t end) {
    if (end > known_size_) known_size_ = end;
  }
  // This open cut the file to `size`.
  void Truncated(std::uint64_t size) { known_size_ = size; }
  // The caller knows that no program cuts this file while it is open (it only grows): a copy
  // that ends in a zero byte is then taken without asking the size.
  void AssumeNoCuts() { end_check_ = false; }
  // Unmaps and forgets the decision.
  void Reset();
  // Whether reads go through a mapping (after the first read).
  bool Mapped() const { return state_ == State::kOn; }

 private:
  enum class State : std::uint8_t { kUndecided, kOn, kOff };
  bool Remap(int fd, std::uint64_t needed);

  std::byte* base_ = nullptr;
  std::size_t length_ = 0;
  std::uint64_t known_size_ = 0;
  State state_ = State::kUndecided;
  bool end_check_ = true;
};

}  // namespace vx::os
