#pragma once
// One open memo file (.DBT in the dBASE III and dBASE IV forms, .FPT in the FoxPro form): its
// header, reading a memo by its block number, the memo file lock, appending and replacing whole
// memos, and the dBASE IV free-block chain. Nothing here knows work areas or records; the glue
// to tables, the blob descriptors and the engine commands are in memo_storage.h and memo_blob.h.
//
// Header, block 0 (DBT integers little-endian, FPT integers big-endian):
//
//   OFFSET SIZE MEANING
//   0      4    next free block; dBASE IV: head of the free-block chain (below)
//   6      2    FPT: block size (0 means the default block size)
//   8      8    dBASE IV: table name without extension, zero-padded (not interpreted)
//   18     2    dBASE IV: 0x0102 (not interpreted)
//   20     2    dBASE IV: block size (0 means the default block size)
//   32     4    dBASE IV: running count of released blocks (kept, never read by the engine)
//
// dBASE III files have a fixed block size of 512. Memo n starts at byte n * block size; block
// 0 is the header, so 0 in a record means "no memo".
//
// Memo block:
//
//   KIND        OFFSET SIZE MEANING
//   dBASE III   0      n    the text, ended by 0x1A (the length is where the first 0x1A is)
//   dBASE IV    0      2    0xFFFF
//               2      2    0x0008 (the size of this block header)
//               4      4    length of the text + 8
//               8      n    the text (a block without 0xFFFF 0x0008 is read as dBASE III)
//   FoxPro      0      4    record type (1 = text; 0 picture and 2 object are shown as "(BLOB)")
//               4      4    length of the text
//               8      n    the text
//
// A memo whose block header records L bytes (the length as stored: text + 8 for dBASE IV, text
// + 8 counting the header for FoxPro) occupies L / block size + 1 blocks.
//
// Free-block chain, dBASE IV kinds only. Header offset 0 holds the first free group; each free
// group starts with
//
//   OFFSET SIZE MEANING
//   0      4    block number of the next free group
//   4      4    size of this group in blocks
//
// Groups are kept in ascending block order and never overlap a memo; the chain ends at the
// first number that is at or beyond the file's block count (file size / block size, at least 1).
// When the file grows the end value is moved with it, so that it never comes to name a memo.
// Released groups that touch a neighbouring free group are merged with it.
//
// Memo file lock (shared tables only): MemoLockPosition (default 0x40000000), 10 bytes, on the
// memo file. Every writer holds it from padding the file until the header is updated; readers
// take no lock.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/memo/memo_state.h"
#include "engine/table/dbf_file.h"
#include "platform/os/file.h"

namespace vx {

enum class MemoKind : std::uint8_t { kDbase3, kDbase4, kFoxPro };

inline constexpr std::uint32_t kMemoLockLength = 10;
inline constexpr int kMemoLockAttempts = 11;
inline constexpr std::uint32_t kMemoBlockHeaderSize = 8;
inline constexpr std::uint32_t kDbase3BlockSize = 512;
inline constexpr std::uint32_t kFoxProHeaderSize = 512;
inline constexpr std::uint32_t kFoxProText = 1;

// The current engine's block size when a header gives none (512), and the offset of the memo
// file lock.
inline constexpr EngineField<&MemoState::default_memo_block_size> DefaultMemoBlockSize;
inline constexpr EngineField<&MemoState::memo_lock_position> MemoLockPosition;

// The memo version of a table's version byte: 0x83, 0x8B, 0x8C and 0xF5 stand for themselves,
// every other byte for DefaultDbfVersion.
std::uint8_t MemoVersionOf(std::uint8_t table_version);
MemoKind KindOfVersion(std::uint8_t memo_version);
// "DBT" or "FPT".
const char* MemoExtension(std::uint8_t memo_version);

// Where a memo file of `kind` would cut `text`: a dBASE III memo ends at its first byte 0x1A,
// so it cannot hold one; the offset of that byte, or npos when the text is stored whole.
std::size_t MemoCutAt(MemoKind kind, std::string_view text);
// The words for such a text: "the memo holds byte 0x1A at position 4 of 7, which ends a dBASE
// III memo: it would be cut there".
std::string MemoCutProblem(std::size_t at, std::size_t size);

// What a memo's first bytes say about it.
struct MemoBlockInfo {
  bool has_header = false;  // dBASE IV or FoxPro block header present
  bool binary = false;      // FoxPro record type other than text
  std::uint32_t type = 0;   // FoxPro record type (0 picture, 1 text, 2 object)
  std::uint64_t data_start = 0;
  std::int64_t length = -1;  // text length; -1 until the 0x1A of a dBASE III memo is found
};

// A run of free blocks.
struct FreeGroup {
  std::uint32_t block = 0;
  std::uint32_t size = 0;
};

// What one open of a memo file knows of its free space, so that a write does not walk the
// chain on disk. dBASE IV: a copy of the free chain, read once. dBASE III and FoxPro files
// keep no free list; this open remembers the memos it gave back itself (named by no record)
// and places new memos there, for as long as it is open.
//
// Exclusive opens are the only writer, so the copy stays true. Shared opens compare the
// header's first 36 bytes and the file size with what they saw when they last wrote: a
// difference means another program wrote, and the copy is read again (dBASE III and FoxPro:
// forgotten). Before a free group of the copy is used it is checked on the disk as well,
// since a program may take a group in the middle of the chain without touching the header.
struct FreeSpace {
  bool known = false;
  bool damaged = false;  // the chain on disk failed its checks at bad_block
  std::uint32_t bad_block = 0;
  std::vector<FreeGroup> groups;  // ascending, apart from one another
  std::uint32_t running_count = 0;
  std::array<unsigned char, 36> header{};  // shared opens: the header as last seen
  std::uint64_t size = 0;                  // shared opens: the size as last seen
};

// The state of one open memo file.
struct MemoFile {
  os::File file;
  std::string name;
  std::uint8_t version = 0;  // the memo version (see MemoVersionOf)
  MemoKind kind = MemoKind::kDbase4;
  std::uint32_t block_size = 512;
  bool shared = false;  // writers take the memo file lock
  bool locked = false;
  // While HoldMemoLock holds the lock across many writes: each write keeps it, and the writes
  // go to the disk together when it is given up (see HoldMemoLock); `held_writes` counts the
  // writes since the lock was last taken.
  bool hold = false;
  int held_writes = 0;
  RecordHook read_hook = nullptr;   // the table's translations, applied to 512-byte pieces
  RecordHook write_hook = nullptr;  // of the text counted from its first byte
  std::int32_t record_number = 0;   // named in error messages
  // While a write holds the lock: the size the file has once padded to whole blocks. The write
  // plans with it (FileSize answers it) and pads only after every check has passed.
  std::uint64_t padded_size = 0;
  FreeSpace free;
  // Exclusive opens keep the file size here instead of asking the system at every step.
  std::uint64_t known_size = 0;
  bool size_known = false;
};

// Opens an existing memo file with `open_mode` and reads its header. Answers 0 or an I/O code
// (30 when the header cannot be read); nothing is reported.
int OpenMemoFile(const std::string& path, std::uint8_t memo_version, int open_mode, bool shared,
                 MemoFile& m);
// The same over a file already open (a temporary file just made, never opened again by name).
int OpenMemoFile(os::File file, const std::string& path, std::uint8_t memo_version, bool shared,
                 MemoFile& m);

// The file's size and block count (size / block size, at least 1); zero size on an I/O
// failure. Exclusive opens answer from memory after the first call.
std::uint64_t FileSize(MemoFile& m);
std::uint32_t BlockCount(MemoFile& m);
// The first block past the header, where memos may start (FoxPro: the 512-byte header may
// take several small blocks).
std::uint32_t FirstMemoBlock(const MemoFile& m);

// Reads the block header at `block` (1003 when the block lies at or beyond the file's last byte
// or its header names more bytes than the file holds). Reports through SetEngineError with
// `label`; answers false on failure.
bool ReadBlockInfo(MemoFile& m, std::int32_t block, MemoBlockInfo& info, std::string_view label);
// Reads a whole memo's text, as stored (no code-page conversion), through the read hook.
// Answers false after reporting the failure (1003 for a bad block number or length, 30 for a
// failed read). A memo without a length and without its end marker (damaged) stops at the
// file's next free block (dBASE III) or its end; `unterminated` then says so.
bool ReadMemoText(MemoFile& m, std::int32_t block, std::string& text, std::string_view label,
                  bool* binary = nullptr, bool* unterminated = nullptr);

// The memo file lock: up to 11 quick attempts, then as many more as the table locks' settings
// give (RetryLock: LockRetries with their pause, LockFailedProc may ask for another round).
// 1017 with the file name and the label when it stays refused. Does nothing unless `shared`.
bool LockMemo(MemoFile& m, std::string_view label);
// Releases the lock; 1018 when that fails.
bool UnlockMemo(MemoFile& m);
// Takes the lock and pads the file with zero bytes to a whole number of blocks. Answers the
// offset where a memo appended now starts, or 0 after reporting a failure (the lock released).
std::uint64_t LockMemoPadAndSeekEOF(MemoFile& m, std::string_view label);
// The same in two steps: LockMemoAndSeekEOF takes the lock and answers that offset without
// writing; PadToEOF writes the padding.
std::uint64_t LockMemoAndSeekEOF(MemoFile& m, std::string_view label);
bool PadToEOF(MemoFile& m, std::string_view label);
// Writes the next free block (DBT and FPT without a chain) and releases the lock.
bool UpdateMemoHeader(MemoFile& m);
// Keeps the memo file lock from one write to the next, for a command that writes many memos
// under the table's append lock: the lock, the check of what other programs changed and the
// flush to the disk are paid once per kHeldMemoWrites writes instead of once per memo. Other
// programs wait for the lock no longer than those writes take. ReleaseMemoLock flushes and gives
// the lock up. Both do nothing on a file that is not shared; false after a report.
inline constexpr int kHeldMemoWrites = 4096;
bool HoldMemoLock(MemoFile& m, std::string_view label);
bool ReleaseMemoLock(MemoFile& m);

// Stores `text` (stored bytes, no conversion) as the memo that replaces the memo at `old_block`
// (0: none) and answers its block: 0 when the text is empty (an old dBASE IV memo is then
// released) or after a reported failure, with EngineErrorCode set (220, writing nothing, for a
// text a dBASE III memo cannot hold: MemoCutAt). dBASE III and FoxPro place
// the memo at the end of the file; dBASE IV keeps the old place when it is large enough and
// otherwise takes a free group or the end. Holds the memo file lock throughout.
std::int32_t WriteMemo(MemoFile& m, std::int32_t old_block, std::string_view text,
                       std::string_view label);

// Gives back the blocks of the memo at `block`, which no record may name any more: a dBASE IV
// memo's group joins the free chain; dBASE III and FoxPro files keep no free list, so their
// memo is given back only when it is the last in the file (the file is cut before it and the
// header's next free block follows). A block that does not hold a whole memo is left alone.
// Takes the memo file lock; answers false after reporting a failure.
bool ReleaseMemoBlocks(MemoFile& m, std::int32_t block, std::string_view label);

// Free space. The caller holds the memo file lock. Release gives `blocks` blocks from `first`
// back: dBASE IV records them in the free chain; dBASE III and FoxPro cut them off the end of
// the file when they end it and otherwise remember them in this open (FreeSpace). A group that
// is not a whole range of blocks inside the file, or overlaps one already free, is not
// recorded. Answers false after reporting a failure.
bool ReleaseGroup(MemoFile& m, std::uint32_t first, std::uint32_t blocks, std::string_view label);
// Finds `needed` blocks: a free group (its surplus stays free) or the end of the file. Answers
// the first block, 0 after reporting a failure (1003 for a damaged dBASE IV chain).
std::uint32_t AllocateBlocks(MemoFile& m, std::uint32_t needed, std::string_view label);

// A summary for inspection: next free block (header offset 0) and, for dBASE IV, the chain.
struct MemoSummary {
  std::uint32_t next_free = 0;
  std::uint32_t chain_groups = 0;
  std::uint64_t chain_blocks = 0;
  bool chain_damaged = false;
};
MemoSummary SummarizeMemo(MemoFile& m);

}  // namespace vx
