#pragma once
// The memo storage as the engine sees it: opening and closing a table's memo file through the
// work-area layer's hooks, the engine commands over memos (AddMemo, GetMemo into the memo lines,
// CloseMemo, CopyMemo, PackMemofile), the reader behind LOCATE on memo fields, and the blob
// descriptor through which the dataset layer streams one memo at a time. The file format and
// the free-block chain are in memo_file.h; work areas know none of this (they call the hooks).
//
// Blob descriptor states (one descriptor per table):
//
//   closed --OpenBlob(read)--> reading --CloseBlob--> closed
//   closed --OpenBlob(write)--> writing --CloseBlob (stores the text, answers its block)--> closed
//   A second OpenBlob closes the first. A read descriptor holds the whole text; a write
//   descriptor collects the text and stores it in one step at CloseBlob, so the memo file lock
//   is held only while the memo is written, and the old memo keeps its blocks until the new
//   one is on the disk.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/memo/memo_file.h"
#include "engine/table/dbf_file.h"

namespace vx {

// Installs the memo hooks into the work-area layer (USE and close, the eight-entry table) and
// sets the default block size. Called once by InitEngine, after InitWorkAreas.
void InitMemoStorage();

// The open memo file of a table, or null.
MemoFile* MemoOf(TableRecord& table);

// The hook behind USE: opens the memo file beside the table (the table's name with DBT or FPT
// in the case of the table's extension). Answers 0, 1007 when the table already has one, or
// the I/O code with "Memo file not found: <name> [USE]".
std::uint16_t OpenMemofile(TableRecord& table, const std::string& base_name);
// The hook behind closing an area: closes the memo file; an I/O failure is reported with the
// name and " [CloseMemofile]".
void CloseMemofile(TableRecord& table);

// Reads a memo of `table` as stored (no code-page conversion; the table's read hook applied).
// Answers false after reporting (1019 without a memo file, 1003 for a bad block, ...).
// `unterminated`: see ReadMemoText.
bool ReadMemo(TableRecord& table, std::int32_t block, std::string& text, bool* binary = nullptr,
              bool* unterminated = nullptr);
// Stores `text` (stored bytes) as the memo replacing `old_block` and answers the block to put
// in the record (0 for an empty text). The caller holds the record's lock on a shared table.
std::int32_t ReplaceMemo(TableRecord& table, std::int32_t old_block, std::string_view text,
                         std::string_view label = "ReplaceMemo");

// Holds the memo file lock of a shared table across the memo writes of one command (see
// HoldMemoLock in memo_file.h), for a command that appends many records with memos under the
// append lock; the lock goes, after a flush, with the object or at Release (false after a
// report). Nothing happens without a memo file or on an exclusive one.
class MemoWriteBatch {
 public:
  explicit MemoWriteBatch(TableRecord& table);
  ~MemoWriteBatch();
  MemoWriteBatch(const MemoWriteBatch&) = delete;
  MemoWriteBatch& operator=(const MemoWriteBatch&) = delete;
  bool Release();

 private:
  TableRecord& table_;
  bool held_ = false;
};

// Gives back the blocks of memo `block` of `table` once no record names it (see
// ReleaseMemoBlocks). Answers false after reporting.
bool ReleaseMemo(TableRecord& table, std::int32_t block, std::string_view label = "ReleaseMemo");

// AddMemo: stores a new memo of the selected table; trailing blanks are dropped and an empty
// text stores nothing (answers 0).
std::int32_t AddMemo(std::string_view text);

// The engine's memo lines, filled by GetMemo and written back by CloseMemo. A line holds at
// most 254 characters, or MemoWidth + 1 when MemoWidth is set; at most kMaxMemoLines lines.
inline constexpr std::size_t kMaxMemoLines = 16000;
inline constexpr EngineField<&MemoState::memo_lines> MemoLines;
inline constexpr EngineField<&MemoState::memo_width> MemoWidth;  // 0 = the default width
// Reads memo `block` of the selected table into MemoLines, breaking at carriage returns and
// soft returns (141); a line feed after either is dropped. A binary (FoxPro picture or object)
// memo reads as the single line "(BLOB)". Answers false after reporting.
bool GetMemo(std::int32_t block);
// Writes MemoLines, joined with CR LF, as the memo replacing `old_block` of the selected table;
// answers the new block (0 for no text). Label "EditMemo/CloseMemo".
std::int32_t CloseMemo(std::int32_t old_block);

// Copies memo `block` of the table in area `from_area` into the selected table's memo file and
// answers the new block (0 for an empty memo or a failure). `translate`: the text is converted
// between the tables' code pages (OEM and ANSI) when they differ.
std::int32_t CopyMemo(int from_area, std::int32_t block, bool translate);

// Rewrites the selected table's memo file with only the memos its records name, stores every
// memo's new block in its record and answers the bytes saved. The table must be open EXCLUSIVE
// (1019 otherwise); 1012 when the disk lacks room for the copy. The old file is replaced only
// once every memo has been copied; on a failure it is left untouched.
std::int64_t PackMemofile();

// The reader behind LOCATE on memo fields: the memo's text as stored.
bool AssignMemo(TableRecord& table, std::int32_t block, std::string& text);

// The block number a memo field holds in the current record buffer of `table` (0 when blank).
std::int32_t StoredMemoBlock(const TableRecord& table, const FieldEntry& field, const char* record);

// ---- Blob descriptors: the dataset-level entry used by the blob stream. ----

enum class BlobMode : std::uint8_t { kClosed = 0, kRead = 1, kWrite = 2 };

// Opens the table's blob descriptor on memo `block` (0: a new memo, for writing) and answers
// the block, or 0 after reporting: 1019 with label + " No Memo Field [" + table + "]" when the
// table has no memo file, 1003 for a bad block. `code_page`: text is converted OEM to ANSI when
// read and back when written, unless the first piece shows a binary memo (a byte below 32 other
// than 9, 10, 13, 15, 20, 21).
std::int32_t OpenBlob(TableRecord& table, bool code_page, std::int32_t block, BlobMode mode,
                      std::string_view label = "CreateBlobDescriptor");
// Reads up to out.size() bytes from the position; answers the count (0 at the end).
std::int32_t ReadBlob(TableRecord& table, std::span<char> out);
// Writes at the position; answers the count.
std::int32_t WriteBlob(TableRecord& table, std::span<const char> in);
// Moves the position (origin 0 start, 1 current, 2 end); a negative result becomes 0.
std::int64_t SeekBlob(TableRecord& table, std::int64_t offset, int origin);
// The length of the memo the descriptor holds.
std::int64_t BlobLength(TableRecord& table);
// Closes the descriptor. In write mode the collected text is stored as the memo replacing the
// one it was opened on; answers the block to store in the record (0 for an empty text), and in
// read mode the block it was opened on.
std::int32_t CloseBlob(TableRecord& table);

}  // namespace vx
