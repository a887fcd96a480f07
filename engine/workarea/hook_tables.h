#pragma once
// The types of the hook tables through which the work-area layer calls the index engine, the
// memo storage, the expression language and a relation manager without depending on them. The
// tables themselves belong to the engine (hooks.h names the current engine's).

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/table/dbf_file.h"

namespace vx {

// Notifications to and questions for the index engine. Every entry is called only when
// `present` is set and IsActive answers true for the area.
struct IndexHookTable {
  bool present = false;
  // Whether the area's order goes through the index engine (navigation).
  bool (*IsActive)(TableRecord& table) = nullptr;
  // Whether edits of the area change an index: IsActive, or index files kept current without
  // giving the order. Edits, their brackets and CloseAll are called when this answers true.
  bool (*Maintains)(TableRecord& table) = nullptr;
  std::int32_t (*FirstRecord)(TableRecord& table) = nullptr;  // record count + 1 when empty
  std::int32_t (*LastRecord)(TableRecord& table) = nullptr;
  std::int32_t (*NextRecord)(TableRecord& table) = nullptr;   // the same record at the end
  std::int32_t (*PriorRecord)(TableRecord& table) = nullptr;  // the same record at the start
  bool (*AtEnd)(TableRecord& table) = nullptr;
  bool (*AtBeginning)(TableRecord& table) = nullptr;
  void (*PositioningBegins)(TableRecord& table) = nullptr;
  void (*PositioningEnds)(TableRecord& table) = nullptr;
  void (*AfterPositioning)(TableRecord& table) = nullptr;
  void (*AppendBegins)(TableRecord& table) = nullptr;
  void (*AppendEnds)(TableRecord& table) = nullptr;
  void (*AddKeys)(TableRecord& table) = nullptr;       // keys of the appended record
  // Whether the next append's keys wait for the end of its batch (AppendBatch), where a failure
  // takes back every record the batch appended since: no before-image of its own is needed.
  bool (*AppendDeferred)(TableRecord& table) = nullptr;
  bool (*UpdateBegins)(TableRecord& table) = nullptr;  // opens the update bracket
  void (*OldKeys)(TableRecord& table) = nullptr;       // before REPLACE, from the image
  void (*NewKeys)(TableRecord& table) = nullptr;       // after REPLACE
  void (*UpdateEnds)(TableRecord& table) = nullptr;    // closes the update bracket
  void (*ReachedBof)(TableRecord& table) = nullptr;
  void (*ReachedEof)(TableRecord& table) = nullptr;
  void (*CloseAll)(TableRecord& table) = nullptr;  // closes the area's indexes

  // Before the record buffer is written (REPLACE, APPEND, deletion marks): false refuses the
  // edit after a report, and nothing may be written. `appending`: a new last record.
  bool (*CheckKeys)(TableRecord& table, bool appending) = nullptr;
  // Before any edit of a table whose header names a structural .CDX: why the edit cannot keep
  // that index current (empty: the index engine keeps it, Maintains answering true from now).
  std::string (*CdxRefusal)(const TableRecord& table) = nullptr;
};

// The memo storage. MemoOpenProc opens the memo file of a table (given the table's path without
// extension) and answers an error code; MemoCloseProc closes it.
using MemoOpenType = std::uint16_t (*)(TableRecord& table, const std::string& base_name);
using MemoCloseType = void (*)(TableRecord& table);

// The blob operations behind the dataset layer's blob stream (the memo storage's dataset-level
// entry): open a descriptor on a memo block (mode 1 read, 2 write; code_page asks for OEM/ANSI
// conversion of text), read, write, seek (origin 0/1/2) and close. Close answers the block to
// store in the record (writing stores the memo then); Open answers 0 after a reported failure.
struct MemoBlobEntry {
  std::int32_t (*Open)(TableRecord& table, bool code_page, std::int32_t block,
                       std::uint8_t mode) = nullptr;
  std::int32_t (*Read)(TableRecord& table, char* buffer, std::int32_t count) = nullptr;
  std::int32_t (*Write)(TableRecord& table, const char* buffer, std::int32_t count) = nullptr;
  std::int64_t (*Seek)(TableRecord& table, std::int64_t offset, int origin) = nullptr;
  std::int32_t (*Close)(TableRecord& table) = nullptr;
};

// The memo storage's hook table, in its fixed order. This layer calls only AssignMemo (LOCATE
// searches a memo's text: it answers the memo as stored); the others are offered to
// applications and to the dataset layer.
struct MemoHookTable {
  bool present = false;
  bool (*AssignMemo)(TableRecord& table, std::int32_t block, std::string& text) = nullptr;
  std::int64_t (*PackMemofile)() = nullptr;  // selected area; answers the bytes saved
  MemoOpenType OpenMemofile = nullptr;
  MemoCloseType CloseMemofile = nullptr;
  // Copy memo `block` of area `from_area` into the selected area's memo file, as stored or with
  // its text converted between the tables' code pages; answer the new block.
  std::int32_t (*CopyMemo)(int from_area, std::int32_t block) = nullptr;
  std::int32_t (*CopyMemoTranslated)(int from_area, std::int32_t block) = nullptr;
  const MemoBlobEntry* DatasetBlob = nullptr;
  std::int32_t (*AddMemo)(std::string_view text) = nullptr;  // selected area; answers the block
};

// The expression language, in its fixed order: compile, free, evaluate (answers where the
// value is: a logical's first byte is 1 or 0; null for a null handle), the source text; then the
// evaluation of the index engine's current key expression.
struct ExpressionHookTable {
  bool present = false;
  void* (*Compile)(const std::string& text) = nullptr;
  void (*Free)(void* expr) = nullptr;
  const void* (*Evaluate)(void* expr) = nullptr;
  std::string (*Text)(void* expr) = nullptr;
  const void* (*EvaluateCurrentKey)() = nullptr;
};

// Positions the area that a relation of `table` points to; answers false when the related area
// did not land on the record it was told (a cycle), which the work-area layer reports.
using RelationSyncType = bool (*)(TableRecord& table);

// An engine-wide skip procedure: when set, SKIP reads the record number it answers instead of
// walking.
using SkipProcType = std::int32_t (*)(TableRecord& table, std::int32_t n);

}  // namespace vx
