#include "engine/memo/memo_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/workarea/locks.h"
#include "platform/os/system.h"

namespace vx {

namespace {

// Pause between two attempts at the memo file lock.
constexpr int kLockPauseMs = 10;
// The table hooks see the text in pieces of this size.
constexpr std::size_t kHookPiece = 512;
constexpr std::uint64_t kRunningCountOffset = 32;

std::uint32_t Le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}
std::uint32_t Be32(const unsigned char* p) {
  return std::uint32_t{p[3]} | std::uint32_t{p[2]} << 8 | std::uint32_t{p[1]} << 16 |
         std::uint32_t{p[0]} << 24;
}
void PutLe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutBe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[3 - i] = static_cast<unsigned char>(v >> (8 * i));
}

bool IsDbase4Header(const unsigned char* p) {
  return p[0] == 0xFF && p[1] == 0xFF && p[2] == 0x08 && p[3] == 0x00;
}

// Blocks taken by a memo whose block header records `stored` bytes (header included). Rounded
// up, so that a memo filling its last block exactly does not claim its neighbour's first one.
std::uint64_t BlocksFor(std::uint64_t stored, std::uint32_t block_size) {
  return std::max<std::uint64_t>(1, (stored + block_size - 1) / block_size);
}

void Fail(MemoFile& m, std::uint16_t code, std::int64_t block, std::string_view label) {
  SetEngineError(code, std::to_string(block) + " " + m.name + " Record # " +
                           std::to_string(m.record_number) + " [" + std::string(label) + "]");
}

int ReadAt(MemoFile& m, std::uint64_t offset, void* out, std::size_t n, std::size_t& got) {
  return m.file.ReadAt(offset, std::span(static_cast<std::byte*>(out), n), got);
}

bool ReadExact(MemoFile& m, std::uint64_t offset, void* out, std::size_t n) {
  std::size_t got = 0;
  return ReadAt(m, offset, out, n, got) == 0 && got == n;
}

int WriteAt(MemoFile& m, std::uint64_t offset, const void* in, std::size_t n) {
  const int io = m.file.WriteAt(offset, std::span(static_cast<const std::byte*>(in), n));
  if (io != 0) {
    m.size_known = false;
  } else if (m.size_known) {
    m.known_size = std::max<std::uint64_t>(m.known_size, offset + n);
  }
  return io;
}

int Truncate(MemoFile& m, std::uint64_t size) {
  m.size_known = false;
  return m.file.Truncate(size);
}

// One link of the free chain as read from the file.
struct Group {
  std::uint32_t block = 0;
  std::uint32_t next = 0;
  std::uint32_t size = 0;
};

// Walks the free chain in order. Every link must name a group that starts after the previous
// one ends, lies inside the file and does not start with a memo's block header; anything else
// is a damaged chain, so a loop or a header that lies can neither hang the walk nor make a
// memo look free.
class ChainWalker {
 public:
  explicit ChainWalker(MemoFile& m) : m_(m), count_(BlockCount(m)) {
    unsigned char head[4];
    ok_ = ReadExact(m_, 0, head, 4);
    next_ = ok_ ? Le32(head) : 0;
  }
  bool ok() const { return ok_; }
  bool damaged() const { return damaged_; }
  std::uint32_t count() const { return count_; }
  std::uint32_t bad_block() const { return bad_block_; }
  // File offset of the value that names the next group (the header, or the last group read).
  std::uint64_t link_offset() const { return link_offset_; }
  const Group& previous() const { return previous_; }
  // The value the last link holds: a group number, or the end value.
  std::uint32_t next() const { return next_; }
  bool AtEnd() const { return !ok_ || damaged_ || next_ >= count_; }
  // Reads the group `next()` names without moving past it.
  bool Peek(Group& g) {
    unsigned char bytes[8];
    const std::uint32_t b = next_;
    if (b == 0 || std::uint64_t{b} < std::uint64_t{previous_.block} + previous_.size) {
      return Damage(b);
    }
    if (!ReadExact(m_, std::uint64_t{b} * m_.block_size, bytes, 8)) return Damage(b);
    if (IsDbase4Header(bytes)) return Damage(b);
    g.block = b;
    g.next = Le32(bytes);
    g.size = Le32(bytes + 4);
    if (g.size == 0 || std::uint64_t{b} + g.size > count_) return Damage(b);
    if (g.next < count_ && g.next < std::uint64_t{b} + g.size) return Damage(b);
    return true;
  }
  // Moves past the group just peeked.
  void Advance(const Group& g) {
    previous_ = g;
    link_offset_ = std::uint64_t{g.block} * m_.block_size;
    next_ = g.next;
  }

 private:
  bool Damage(std::uint32_t b) {
    damaged_ = true;
    bad_block_ = b;
    return false;
  }
  MemoFile& m_;
  std::uint32_t count_;
  bool ok_ = false;
  bool damaged_ = false;
  std::uint32_t bad_block_ = 0;
  std::uint64_t link_offset_ = 0;
  Group previous_;
  std::uint32_t next_ = 0;
};

bool WriteGroup(MemoFile& m, std::uint32_t block, std::uint32_t next, std::uint32_t size,
                std::string_view label) {
  unsigned char bytes[8];
  PutLe32(bytes, next);
  PutLe32(bytes + 4, size);
  if (WriteAt(m, std::uint64_t{block} * m.block_size, bytes, 8) != 0) {
    Fail(m, 29, block, label);
    return false;
  }
  return true;
}

bool WriteLink(MemoFile& m, std::uint64_t offset, std::uint32_t value, std::string_view label) {
  unsigned char bytes[4];
  PutLe32(bytes, value);
  if (WriteAt(m, offset, bytes, 4) != 0) {
    Fail(m, 29, static_cast<std::int64_t>(offset / m.block_size), label);
    return false;
  }
  return true;
}

// Adds to the running count at header offset 32 (dBASE IV kinds, when the header reaches it).
void AddToRunningCount(MemoFile& m, std::uint32_t amount) {
  if (FileSize(m) < kRunningCountOffset + 4) return;
  unsigned char bytes[4];
  m.free.running_count += amount;
  PutLe32(bytes, m.free.running_count);
  WriteAt(m, kRunningCountOffset, bytes, 4);
}

void ApplyHook(RecordHook hook, char* data, std::size_t n) {
  if (hook == nullptr) return;
  for (std::size_t at = 0; at < n; at += kHookPiece) {
    hook(data + at, static_cast<int>(std::min(kHookPiece, n - at)));
  }
}

// The least size a file must have before its first memo: the header block.
std::uint64_t HeaderBlockSize(const MemoFile& m) {
  if (m.kind == MemoKind::kDbase4) return m.block_size;
  const std::uint64_t header = m.kind == MemoKind::kFoxPro ? kFoxProHeaderSize : kDbase3BlockSize;
  return (header + m.block_size - 1) / m.block_size * m.block_size;
}

// Gives the memo file lock up when a write ends early.
class MemoLockGuard {
 public:
  explicit MemoLockGuard(MemoFile& m) : m_(m) {}
  ~MemoLockGuard() {
    m_.padded_size = 0;
    if (m_.locked) {
      QuietErrors quiet;
      UnlockMemo(m_);
    }
  }
  MemoLockGuard(const MemoLockGuard&) = delete;
  MemoLockGuard& operator=(const MemoLockGuard&) = delete;

 private:
  MemoFile& m_;
};

// ---- The free space this open knows (see FreeSpace in the header) ----

// Shared opens: the header and size as they are now, to tell later whether another program
// wrote since.
void RememberHeader(MemoFile& m) {
  if (!m.shared || !m.free.known) return;
  std::size_t got = 0;
  m.free.header.fill(0);
  if (ReadAt(m, 0, m.free.header.data(), m.free.header.size(), got) != 0) m.free.known = false;
  m.free.size = FileSize(m);
}

// Reads the chain into the copy (dBASE IV) or forgets the memos given back (the others), and
// remembers the header as it is now.
bool ReadFreeSpace(MemoFile& m, std::string_view label) {
  FreeSpace& f = m.free;
  f = FreeSpace{};
  if (m.kind == MemoKind::kDbase4) {
    ChainWalker walk(m);
    if (!walk.ok()) {
      Fail(m, 30, 0, label);
      return false;
    }
    Group g;
    while (!walk.AtEnd() && walk.Peek(g)) {
      f.groups.push_back({g.block, g.size});
      walk.Advance(g);
    }
    f.damaged = walk.damaged();
    f.bad_block = walk.bad_block();
    unsigned char count[4];
    if (FileSize(m) >= kRunningCountOffset + 4 && ReadExact(m, kRunningCountOffset, count, 4)) {
      f.running_count = Le32(count);
    }
  }
  f.known = true;
  RememberHeader(m);
  return true;
}

// Shared opens, once the memo file lock is taken: the copy is dropped when the header or the
// size differs from what this open saw when it last wrote, so that the header remembered when
// this write ends never covers another program's change.
void ForgetFreeSpaceIfChanged(MemoFile& m) {
  if (!m.free.known || !m.shared) return;
  std::array<unsigned char, 36> now{};
  std::size_t got = 0;
  if (ReadAt(m, 0, now.data(), now.size(), got) != 0 || now != m.free.header ||
      FileSize(m) != m.free.size) {
    m.free.known = false;
  }
}

// Makes the copy usable: read when this open has none.
bool KnowFreeSpace(MemoFile& m, std::string_view label) {
  return m.free.known || ReadFreeSpace(m, label);
}

// Where the value naming group i of the chain is kept: the header for the first group, else the
// group before it.
std::uint64_t LinkOffset(const MemoFile& m, std::size_t i) {
  return i == 0 ? 0 : std::uint64_t{m.free.groups[i - 1].block} * m.block_size;
}

// Shared dBASE IV files: whether group i of the copy is still on the disk as the copy says,
// named by the link before it and neither taken nor changed by another program.
bool GroupStillFree(MemoFile& m, std::size_t i) {
  const FreeSpace& f = m.free;
  const FreeGroup& g = f.groups[i];
  unsigned char link[4];
  unsigned char bytes[8];
  if (!ReadExact(m, LinkOffset(m, i), link, 4) || Le32(link) != g.block) return false;
  if (!ReadExact(m, std::uint64_t{g.block} * m.block_size, bytes, 8)) return false;
  if (IsDbase4Header(bytes) || Le32(bytes + 4) != g.size) return false;
  const std::uint32_t next = Le32(bytes);
  return i + 1 < f.groups.size() ? next == f.groups[i + 1].block : next >= BlockCount(m);
}

// dBASE III and FoxPro: blocks no record names. At the end of the file they are cut off, with
// any remembered group that then ends the file; elsewhere they are remembered for later memos.
bool ForgetOrCutTail(MemoFile& m, std::uint32_t first, std::uint32_t blocks,
                     std::string_view label) {
  FreeSpace& f = m.free;
  auto at = std::upper_bound(f.groups.begin(), f.groups.end(), first,
                             [](std::uint32_t b, const FreeGroup& g) { return b < g.block; });
  if (at != f.groups.begin()) {
    const FreeGroup& b = *(at - 1);
    if (std::uint64_t{b.block} + b.size > first) return true;  // already free
  }
  if (at != f.groups.end() && at->block < first + blocks) return true;
  at = f.groups.insert(at, {first, blocks});
  // Merge with the neighbours.
  if (at + 1 != f.groups.end() && at->block + at->size == (at + 1)->block) {
    at->size += (at + 1)->size;
    f.groups.erase(at + 1);
  }
  if (at != f.groups.begin() && (at - 1)->block + (at - 1)->size == at->block) {
    (at - 1)->size += at->size;
    at = f.groups.erase(at) - 1;
  }
  const FreeGroup& last = f.groups.back();
  if (std::uint64_t{last.block} + last.size != BlockCount(m)) return true;
  const std::uint64_t keep =
      std::max<std::uint64_t>(std::uint64_t{last.block} * m.block_size, HeaderBlockSize(m));
  f.groups.pop_back();
  const int io = Truncate(m, keep);
  if (io != 0) {
    f.known = false;
    Fail(m, static_cast<std::uint16_t>(io), first, label);
    return false;
  }
  return true;
}

}  // namespace

std::uint8_t MemoVersionOf(std::uint8_t table_version) {
  switch (table_version) {
    case kVersionDbase3Memo:
    case kVersionDbase4Memo:
    case kVersionLevel7Memo:
    case kVersionFoxProMemo:
      return table_version;
    case kVersionVisualFoxPro:
    case kVersionVisualFoxProAutoinc:
    case kVersionVisualFoxProVarchar:
      return kVersionFoxProMemo;  // the same .FPT file
    default:
      return DefaultDbfVersion;
  }
}

std::size_t MemoCutAt(MemoKind kind, std::string_view text) {
  return kind == MemoKind::kDbase3 ? text.find(kEndOfFileMarker) : std::string_view::npos;
}

std::string MemoCutProblem(std::size_t at, std::size_t size) {
  return "the memo holds byte 0x1A at position " + std::to_string(at + 1) + " of " +
         std::to_string(size) + ", which ends a dBASE III memo: it would be cut there";
}

MemoKind KindOfVersion(std::uint8_t memo_version) {
  if (memo_version == kVersionDbase3Memo) return MemoKind::kDbase3;
  if (memo_version == kVersionFoxProMemo) return MemoKind::kFoxPro;
  return MemoKind::kDbase4;
}

const char* MemoExtension(std::uint8_t memo_version) {
  return KindOfVersion(memo_version) == MemoKind::kFoxPro ? "FPT" : "DBT";
}

int OpenMemoFile(const std::string& path, std::uint8_t memo_version, int open_mode, bool shared,
                 MemoFile& m) {
  os::File file;
  const int io = os::File::Open(path, open_mode, file);
  if (io != 0) {
    m.file = std::move(file);
    return io;
  }
  return OpenMemoFile(std::move(file), path, memo_version, shared, m);
}

int OpenMemoFile(os::File file, const std::string& path, std::uint8_t memo_version, bool shared,
                 MemoFile& m) {
  m.name = path;
  m.version = memo_version;
  m.kind = KindOfVersion(memo_version);
  m.shared = shared;
  m.locked = false;
  m.free = FreeSpace{};
  m.size_known = false;
  m.file = std::move(file);
  // Nobody else has an exclusive table's memo file open, and this open tells its reads of the
  // cuts it makes: a memo read that ends in zero padding need not ask the file's size.
  if (!shared) m.file.AssumeNoCuts();
  unsigned char header[24] = {};
  std::size_t got = 0;
  if (ReadAt(m, 0, header, sizeof header, got) != 0) {
    m.file.Close();
    return 30;
  }
  std::uint32_t size = 0;
  switch (m.kind) {
    case MemoKind::kDbase3:
      size = kDbase3BlockSize;
      break;
    case MemoKind::kDbase4:
      if (got >= 22) size = std::uint32_t{header[20]} | std::uint32_t{header[21]} << 8;
      break;
    case MemoKind::kFoxPro:
      if (got >= 8) size = std::uint32_t{header[6]} << 8 | header[7];
      break;
  }
  m.block_size = size == 0 ? DefaultMemoBlockSize : size;
  if (m.block_size == 0) m.block_size = 512;
  return 0;
}

std::uint64_t FileSize(MemoFile& m) {
  if (m.size_known) return std::max(m.known_size, m.padded_size);
  std::uint64_t size = 0;
  if (m.file.Size(size) != 0) return 0;
  if (!m.shared) {
    m.known_size = size;
    m.size_known = true;
  }
  return std::max(size, m.padded_size);
}

std::uint32_t BlockCount(MemoFile& m) {
  const std::uint64_t blocks = FileSize(m) / m.block_size;
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(blocks, 1, 0x7FFFFFFF));
}

std::uint32_t FirstMemoBlock(const MemoFile& m) {
  return static_cast<std::uint32_t>(HeaderBlockSize(m) / m.block_size);
}

bool ReadBlockInfo(MemoFile& m, std::int32_t block, MemoBlockInfo& info, std::string_view label) {
  info = MemoBlockInfo{};
  const std::uint64_t size = FileSize(m);
  const std::uint64_t offset = static_cast<std::uint64_t>(block) * m.block_size;
  if (block <= 0 || size == 0 || offset >= size - 1) {
    Fail(m, 1003, block, label);
    return false;
  }
  unsigned char bytes[8] = {};
  std::size_t got = 0;
  if (ReadAt(m, offset, bytes, 8, got) != 0) {
    Fail(m, 30, block, label);
    return false;
  }
  info.data_start = offset;
  if (m.kind == MemoKind::kFoxPro) {
    if (got < 8) {
      Fail(m, 1003, block, label);
      return false;
    }
    info.has_header = true;
    info.type = Be32(bytes);
    info.binary = info.type != kFoxProText;
    info.length = Be32(bytes + 4);
    info.data_start = offset + kMemoBlockHeaderSize;
  } else if (got == 8 && IsDbase4Header(bytes)) {
    const std::uint32_t stored = Le32(bytes + 4);
    if (stored < kMemoBlockHeaderSize) {
      Fail(m, 1003, block, label);
      return false;
    }
    info.has_header = true;
    info.length = stored - kMemoBlockHeaderSize;
    info.data_start = offset + kMemoBlockHeaderSize;
  }
  if (info.length >= 0 && static_cast<std::uint64_t>(info.length) > size - info.data_start) {
    Fail(m, 1003, block, label);
    return false;
  }
  return true;
}

bool ReadMemoText(MemoFile& m, std::int32_t block, std::string& text, std::string_view label,
                  bool* binary, bool* unterminated) {
  text.clear();
  MemoBlockInfo info;
  if (!ReadBlockInfo(m, block, info, label)) return false;
  if (binary != nullptr) *binary = info.binary;
  if (unterminated != nullptr) *unterminated = false;
  if (info.length >= 0) {
    text.resize(static_cast<std::size_t>(info.length));
    if (!text.empty() && !ReadExact(m, info.data_start, text.data(), text.size())) {
      text.clear();
      Fail(m, 30, block, label);
      return false;
    }
  } else {
    // dBASE III: up to the first 0x1A. A memo without one ends where the space the file has
    // given out ends (its next free block, from the header), or at the end of the file: never
    // in a later memo's blocks beyond that, and never as the whole rest of a damaged file.
    std::uint64_t limit = FileSize(m);
    if (m.kind == MemoKind::kDbase3) {
      unsigned char head[4];
      if (ReadExact(m, 0, head, 4)) {
        const std::uint64_t given_out = std::uint64_t{Le32(head)} * m.block_size;
        if (given_out > info.data_start && given_out < limit) limit = given_out;
      }
    }
    std::array<char, 4096> piece;
    // The first piece ends with the memo's first block (where most memos end), later ones
    // are 4096 bytes.
    std::size_t piece_size = piece.size();
    if (m.block_size > 0) {
      piece_size = std::min<std::size_t>(piece_size, m.block_size - info.data_start % m.block_size);
    }
    bool ended = false;
    for (std::uint64_t at = info.data_start; at < limit && !ended;) {
      const std::size_t wanted =
          static_cast<std::size_t>(std::min<std::uint64_t>(piece_size, limit - at));
      piece_size = piece.size();
      std::size_t got = 0;
      if (ReadAt(m, at, piece.data(), wanted, got) != 0) {
        text.clear();
        Fail(m, 30, block, label);
        return false;
      }
      const char* first = piece.data();
      const char* end = std::find(first, first + got, kEndOfFileMarker);
      text.append(first, static_cast<std::size_t>(end - first));
      ended = end != first + got;
      if (got < wanted) break;
      at += got;
    }
    if (!ended && unterminated != nullptr) *unterminated = true;
  }
  ApplyHook(m.read_hook, text.data(), text.size());
  return true;
}

bool LockMemo(MemoFile& m, std::string_view label) {
  if (!m.shared || m.locked) return true;
  // Another writer holds the lock only for one memo: quick attempts first. Then the lock waits
  // as the table's locks do (LockRetries, the pause, LockFailedProc), so that a caller's retry
  // settings cover every lock a command takes.
  bool locked = false;
  for (int attempt = 0; attempt < kMemoLockAttempts && !locked; ++attempt) {
    if (attempt > 0) {
      os::ProcessPendingMessages();
      if (ShuttingDown) break;
      os::SleepMs(kLockPauseMs);
    }
    locked = LockRange(false, m.file, MemoLockPosition, kMemoLockLength) == 0;
  }
  if (!locked && !ShuttingDown) locked = RetryLock(m.file, MemoLockPosition, kMemoLockLength);
  if (locked) {
    m.locked = true;
    ForgetFreeSpaceIfChanged(m);
    if (m.hold) {
      // Nobody else writes while the lock is held: the size is asked for once.
      std::uint64_t size = 0;
      if (m.file.Size(size) == 0) {
        m.known_size = size;
        m.size_known = true;
      }
    }
    return true;
  }
  SetEngineError(1017, m.name + " [" + std::string(label) + "]");
  return false;
}

namespace {

bool GiveLockUp(MemoFile& m) {
  m.padded_size = 0;
  if (!m.locked) return true;
  m.locked = false;
  m.held_writes = 0;
  // Without the lock, another program may change the size.
  if (m.shared) m.size_known = false;
  if (LockRange(true, m.file, MemoLockPosition, kMemoLockLength) != 0) {
    SetEngineError(1018, m.name + " [UnlockMemo]");
    return false;
  }
  return true;
}

}  // namespace

bool UnlockMemo(MemoFile& m) {
  if (m.hold) {
    // Held across writes: only a write's own padding plan ends here.
    m.padded_size = 0;
    return true;
  }
  return GiveLockUp(m);
}

bool HoldMemoLock(MemoFile& m, std::string_view label) {
  if (!m.shared) return true;
  if (!LockMemo(m, label)) return false;
  m.hold = true;
  return true;
}

bool ReleaseMemoLock(MemoFile& m) {
  if (!m.hold) return true;
  m.hold = false;
  if (!m.locked) return true;
  bool ok = m.file.Flush() == 0;
  if (!ok) SetEngineError(29, m.name + " [ReleaseMemoLock]");
  return GiveLockUp(m) && ok;
}

namespace {

// The file's size without the padding a write has planned.
int ActualSize(MemoFile& m, std::uint64_t& size) {
  if (m.size_known) {
    size = m.known_size;
    return 0;
  }
  return m.file.Size(size);
}

// A failed step of finding or padding the end: the lock is given up and the I/O code reported.
void FailEndStep(MemoFile& m, int io, std::string_view label) {
  {
    QuietErrors quiet;
    UnlockMemo(m);
  }
  SetEngineError(static_cast<std::uint16_t>(io),
                 m.name + " [" + std::string(label) + "] [LockMemoPadAndSeekEOF]");
}

}  // namespace

std::uint64_t LockMemoAndSeekEOF(MemoFile& m, std::string_view label) {
  if (!LockMemo(m, label)) return 0;
  m.padded_size = 0;
  std::uint64_t size = 0;
  int io = ActualSize(m, size);
  if (io != 0) {
    FailEndStep(m, io, label);
    return 0;
  }
  // A new dBASE III file is 513 bytes: its end marker is overwritten by the first memo.
  if (m.kind == MemoKind::kDbase3 && size == kDbase3BlockSize + 1) size = kDbase3BlockSize;
  std::uint64_t target = std::max(size, HeaderBlockSize(m));
  target = (target + m.block_size - 1) / m.block_size * m.block_size;
  m.padded_size = target;
  return target;
}

bool PadToEOF(MemoFile& m, std::string_view label) {
  const std::uint64_t target = m.padded_size;
  m.padded_size = 0;
  std::uint64_t size = 0;
  int io = ActualSize(m, size);
  if (io == 0 && m.kind == MemoKind::kDbase3 && size == kDbase3BlockSize + 1 &&
      target == kDbase3BlockSize) {
    size = kDbase3BlockSize;
    io = Truncate(m, size);
  }
  if (io == 0 && target > size) {
    const std::vector<char> zeros(target - size, 0);
    io = WriteAt(m, size, zeros.data(), zeros.size());
  }
  if (io != 0) {
    FailEndStep(m, io, label);
    return false;
  }
  return true;
}

std::uint64_t LockMemoPadAndSeekEOF(MemoFile& m, std::string_view label) {
  const std::uint64_t offset = LockMemoAndSeekEOF(m, label);
  if (offset == 0 || !PadToEOF(m, label)) return 0;
  return offset;
}

bool UpdateMemoHeader(MemoFile& m) {
  bool ok = true;
  if (m.kind != MemoKind::kDbase4) {
    const std::uint64_t size = FileSize(m);
    const auto next = static_cast<std::uint32_t>((size + m.block_size - 1) / m.block_size);
    unsigned char bytes[4];
    if (m.kind == MemoKind::kFoxPro) {
      PutBe32(bytes, next);
    } else {
      PutLe32(bytes, next);
    }
    if (WriteAt(m, 0, bytes, 4) != 0) {
      SetEngineError(29, m.name + " [UpdateMemoHeader()]");
      ok = false;
    }
  }
  // A held lock is kept for the next write, and given up (after a flush) every
  // kHeldMemoWrites writes so that other programs' writes can go in between.
  if (m.hold && ++m.held_writes < kHeldMemoWrites) {
    if (ok) RememberHeader(m);
    return ok;
  }
  // Another program on a network drive sees the memo before the lock is given up.
  if (m.shared && m.file.Flush() != 0 && ok) {
    SetEngineError(29, m.name + " [UpdateMemoHeader()]");
    ok = false;
  }
  if (ok) RememberHeader(m);
  return GiveLockUp(m) && ok;
}

bool ReleaseGroup(MemoFile& m, std::uint32_t first, std::uint32_t blocks, std::string_view label) {
  if (!KnowFreeSpace(m, label)) return false;
  FreeSpace& f = m.free;
  const std::uint32_t count = BlockCount(m);
  if (first < 1 || blocks == 0 || std::uint64_t{first} + blocks > count) return true;
  // A damaged chain is left as it is: recording into it could make a memo look free.
  if (f.damaged) return true;
  if (m.kind != MemoKind::kDbase4) return ForgetOrCutTail(m, first, blocks, label);
  for (int attempt = 0;; ++attempt) {
    const auto after =
        std::upper_bound(f.groups.begin(), f.groups.end(), first,
                         [](std::uint32_t b, const FreeGroup& g) { return b < g.block; });
    const std::size_t next = static_cast<std::size_t>(after - f.groups.begin());
    const bool has_before = next > 0;
    const bool has_after = next < f.groups.size();
    // Blocks already free, or overlapping a free group, are not recorded twice. The neighbours
    // this release rewrites, and a shared copy's claim that the blocks are free, must still be
    // what the disk says: another program may have taken a group without touching the header.
    const bool already_free =
        (has_before && std::uint64_t{f.groups[next - 1].block} + f.groups[next - 1].size > first) ||
        (has_after && f.groups[next].block < first + blocks);
    if (m.shared && attempt == 0 &&
        (already_free || (has_before && !GroupStillFree(m, next - 1)) ||
         (has_after && !GroupStillFree(m, next)))) {
      if (!ReadFreeSpace(m, label)) return false;
      if (f.damaged) return true;
      continue;
    }
    if (already_free) return true;
    if (m.shared &&
        ((has_before && !GroupStillFree(m, next - 1)) || (has_after && !GroupStillFree(m, next)))) {
      // Changing under this open twice in a row: leave the blocks unrecorded (a leak, never
      // a memo made to look free).
      return true;
    }
    const bool join_before =
        has_before && f.groups[next - 1].block + f.groups[next - 1].size == first;
    const bool join_after = has_after && f.groups[next].block == first + blocks;
    FreeGroup merged{first, blocks};
    if (join_after) merged.size += f.groups[next].size;
    const std::size_t beyond = next + (join_after ? 1 : 0);
    const std::uint32_t link = beyond < f.groups.size() ? f.groups[beyond].block : count;
    bool ok;
    if (join_before) {
      FreeGroup& b = f.groups[next - 1];
      ok = WriteGroup(m, b.block, link, b.size + merged.size, label);
      if (ok) {
        b.size += merged.size;
        if (join_after) f.groups.erase(f.groups.begin() + static_cast<std::ptrdiff_t>(next));
      }
    } else {
      ok = WriteGroup(m, first, link, merged.size, label) &&
           WriteLink(m, LinkOffset(m, next), first, label);
      if (ok) {
        if (join_after) {
          f.groups[next] = merged;
        } else {
          f.groups.insert(f.groups.begin() + static_cast<std::ptrdiff_t>(next), merged);
        }
      }
    }
    if (!ok) {
      f.known = false;
      return false;
    }
    AddToRunningCount(m, blocks);
    return true;
  }
}

std::uint32_t AllocateBlocks(MemoFile& m, std::uint32_t needed, std::string_view label) {
  if (!KnowFreeSpace(m, label)) return 0;
  FreeSpace& f = m.free;
  if (m.kind == MemoKind::kDbase4 && f.damaged) {
    Fail(m, 1003, f.bad_block, std::string(label) + "] [free block chain");
    return 0;
  }
  // A shared copy that proves stale is read again, once: a chain that changes under the memo
  // file lock is as good as damaged.
  const auto read_again = [&](int attempt, std::uint32_t at) {
    if (attempt == 0) {
      if (!ReadFreeSpace(m, label)) return false;  // reported
      if (!f.damaged) return true;
      at = f.bad_block;
    }
    Fail(m, 1003, at, std::string(label) + "] [free block chain");
    return false;
  };
  for (int attempt = 0;; ++attempt) {
    const auto fits = std::find_if(f.groups.begin(), f.groups.end(),
                                   [&](const FreeGroup& g) { return g.size >= needed; });
    const std::size_t i = static_cast<std::size_t>(fits - f.groups.begin());
    if (fits == f.groups.end()) {
      // The end of the file: the last group's link is rewritten below, so it must still be
      // a free group.
      if (m.kind == MemoKind::kDbase4 && m.shared && !f.groups.empty() &&
          !GroupStillFree(m, f.groups.size() - 1)) {
        if (!read_again(attempt, f.groups.back().block)) return 0;
        continue;
      }
      break;
    }
    const FreeGroup g = *fits;
    if (m.kind != MemoKind::kDbase4) {
      // Only this open knows of these blocks: nothing on the disk to change.
      if (g.size > needed) {
        *fits = {g.block + needed, g.size - needed};
      } else {
        f.groups.erase(fits);
      }
      return g.block;
    }
    if (m.shared && !GroupStillFree(m, i)) {
      if (!read_again(attempt, g.block)) return 0;
      continue;
    }
    const std::uint32_t next = i + 1 < f.groups.size() ? f.groups[i + 1].block : BlockCount(m);
    std::uint32_t link = next;
    if (g.size > needed) {
      link = g.block + needed;
      if (!WriteGroup(m, link, next, g.size - needed, label)) {
        f.known = false;
        return 0;
      }
    }
    if (!WriteLink(m, LinkOffset(m, i), link, label)) {
      f.known = false;
      return 0;
    }
    if (g.size > needed) {
      f.groups[i] = {link, g.size - needed};
    } else {
      f.groups.erase(f.groups.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return g.block;
  }
  // At the end of the file. The chain's end value moves with the end, or it would name the
  // memo written there.
  const std::uint32_t block = BlockCount(m);
  if (std::uint64_t{block} + needed > 0x7FFFFFFF) {
    Fail(m, 1004, block, label);
    return 0;
  }
  if (m.kind != MemoKind::kDbase4) return block;
  if (!WriteLink(m, LinkOffset(m, f.groups.size()), block + needed, label)) {
    f.known = false;
    return 0;
  }
  return block;
}

std::int32_t WriteMemo(MemoFile& m, std::int32_t old_block, std::string_view text,
                       std::string_view label) {
  if (const std::size_t at = MemoCutAt(m.kind, text); at != std::string_view::npos) {
    SetEngineError(220, MemoCutProblem(at, text.size()) + "; " + m.name + " Record # " +
                            std::to_string(m.record_number) + " [" + std::string(label) + "]");
    return 0;
  }
  // Nothing is written, not even the padding, before every check below has passed.
  const std::uint64_t end = LockMemoAndSeekEOF(m, label);
  if (end == 0) return 0;
  // The old dBASE IV memo's group, when its block header can be trusted.
  std::uint32_t old_blocks = 0;
  if (m.kind == MemoKind::kDbase4 && old_block > 0 &&
      static_cast<std::uint64_t>(old_block) < BlockCount(m)) {
    unsigned char bytes[8];
    if (ReadExact(m, static_cast<std::uint64_t>(old_block) * m.block_size, bytes, 8) &&
        IsDbase4Header(bytes)) {
      const std::uint64_t blocks = BlocksFor(Le32(bytes + 4), m.block_size);
      if (blocks + static_cast<std::uint64_t>(old_block) <= BlockCount(m)) {
        old_blocks = static_cast<std::uint32_t>(blocks);
      }
    }
  }
  // Every failure below has been reported (and, with reporting on, raised) by the step that
  // met it; the guard gives the lock up on every such path.
  MemoLockGuard guard(m);
  const auto finish = [&](std::int32_t block) { return UpdateMemoHeader(m) ? block : 0; };
  const auto fail = [&](std::uint16_t code, std::int64_t block) {
    {
      QuietErrors quiet;
      UnlockMemo(m);
    }
    Fail(m, code, block, label);
    return 0;
  };
  if (text.empty()) {
    if (old_blocks > 0 &&
        !ReleaseGroup(m, static_cast<std::uint32_t>(old_block), old_blocks, label)) {
      return 0;
    }
    if (PadToEOF(m, label)) finish(0);
    return 0;
  }
  if (m.kind != MemoKind::kDbase3 && text.size() > 0x7FFFFFFFu - 2 * kMemoBlockHeaderSize) {
    return fail(1004, 0);
  }
  std::vector<char> bytes;
  bytes.reserve(text.size() + 2 * kMemoBlockHeaderSize + m.block_size);
  if (m.kind == MemoKind::kDbase3) {
    // Two end markers, as dBASE III writes them; readers stop at the first.
    bytes.assign(text.begin(), text.end());
    ApplyHook(m.write_hook, bytes.data(), bytes.size());
    bytes.push_back(kEndOfFileMarker);
    bytes.push_back(kEndOfFileMarker);
  } else {
    bytes.resize(kMemoBlockHeaderSize);
    auto* header = reinterpret_cast<unsigned char*>(bytes.data());
    if (m.kind == MemoKind::kFoxPro) {
      PutBe32(header, kFoxProText);
      PutBe32(header + 4, static_cast<std::uint32_t>(text.size()));
    } else {
      header[0] = 0xFF;
      header[1] = 0xFF;
      header[2] = 0x08;
      header[3] = 0x00;
      PutLe32(header + 4, static_cast<std::uint32_t>(text.size() + kMemoBlockHeaderSize));
    }
    bytes.insert(bytes.end(), text.begin(), text.end());
    ApplyHook(m.write_hook, bytes.data() + kMemoBlockHeaderSize, text.size());
  }
  const std::uint64_t blocks = BlocksFor(bytes.size(), m.block_size);
  bytes.resize(blocks * m.block_size, 0);
  std::uint64_t block = 0;
  if (old_blocks >= blocks) {
    block = static_cast<std::uint64_t>(old_block);
  } else {
    // A free group, or the end of the file (offset / block size).
    if (blocks > 0x7FFFFFFF) return fail(1004, 0);
    block = AllocateBlocks(m, static_cast<std::uint32_t>(blocks), label);
    if (block == 0) return 0;
  }
  if (block > 0x7FFFFFFF) return fail(1004, 0);
  // A memo placed at the end that cannot be written leaves nothing of itself behind: the file
  // ends where it did, and the chain's end value (moved ahead by the allocation) names that end
  // again, not blocks that were never written.
  const bool at_end = block * m.block_size >= end;
  const auto undo_end = [&] {
    if (!at_end) return;
    m.file.Truncate(end);
    if (m.kind == MemoKind::kDbase4 && m.free.known) {
      QuietErrors quiet;
      WriteLink(m, LinkOffset(m, m.free.groups.size()), static_cast<std::uint32_t>(block), label);
    }
  };
  if (!PadToEOF(m, label)) {
    undo_end();
    return 0;
  }
  const int io = WriteAt(m, block * m.block_size, bytes.data(), bytes.size());
  if (io != 0) {
    undo_end();
    return fail(static_cast<std::uint16_t>(io), static_cast<std::int64_t>(block));
  }
  // The old place is given up only once the new text is on the disk.
  if (old_blocks > 0) {
    const bool kept = block == static_cast<std::uint64_t>(old_block);
    const std::uint32_t first =
        kept ? static_cast<std::uint32_t>(block + blocks) : static_cast<std::uint32_t>(old_block);
    const std::uint32_t count = kept ? old_blocks - static_cast<std::uint32_t>(blocks) : old_blocks;
    if (count > 0 && !ReleaseGroup(m, first, count, label)) return 0;
  }
  return finish(static_cast<std::int32_t>(block));
}

bool ReleaseMemoBlocks(MemoFile& m, std::int32_t block, std::string_view label) {
  if (block <= 0) return true;
  if (!LockMemo(m, label)) return false;
  MemoLockGuard guard(m);
  const std::uint32_t count = BlockCount(m);
  std::uint64_t blocks = 0;
  if (static_cast<std::uint32_t>(block) < count) {
    const std::uint64_t offset = static_cast<std::uint64_t>(block) * m.block_size;
    unsigned char bytes[8] = {};
    if (m.kind == MemoKind::kDbase3) {
      std::string text;
      QuietErrors quiet;
      // Our own memos end in two markers; one more block than the memo needs is never cut.
      if (ReadMemoText(m, block, text, label)) blocks = BlocksFor(text.size() + 2, m.block_size);
    } else if (ReadExact(m, offset, bytes, 8)) {
      if (m.kind == MemoKind::kFoxPro) {
        blocks = BlocksFor(std::uint64_t{Be32(bytes + 4)} + kMemoBlockHeaderSize, m.block_size);
      } else if (IsDbase4Header(bytes)) {
        blocks = BlocksFor(Le32(bytes + 4), m.block_size);
      }
    }
  }
  if (blocks == 0 || blocks + static_cast<std::uint64_t>(block) > count) return UnlockMemo(m);
  if (!ReleaseGroup(m, static_cast<std::uint32_t>(block), static_cast<std::uint32_t>(blocks),
                    label)) {
    return false;
  }
  return UpdateMemoHeader(m);
}

MemoSummary SummarizeMemo(MemoFile& m) {
  MemoSummary s;
  unsigned char head[4] = {};
  if (ReadExact(m, 0, head, 4)) {
    s.next_free = m.kind == MemoKind::kFoxPro ? Be32(head) : Le32(head);
  }
  if (m.kind != MemoKind::kDbase4) return s;
  ChainWalker walk(m);
  Group g;
  while (!walk.AtEnd() && walk.Peek(g)) {
    ++s.chain_groups;
    s.chain_blocks += g.size;
    walk.Advance(g);
  }
  s.chain_damaged = walk.damaged();
  return s;
}

}  // namespace vx
