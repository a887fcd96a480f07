#pragma once
// The hook tables through which the work-area layer calls the index engine, the memo storage,
// the expression language and a relation manager without depending on them. Each of those units
// fills its table at start-up and sets its "present" flag; while a table is empty the work-area
// layer reports the operation as not linked in, or (for notifications) simply goes on.

#include <cstdint>
#include <string>

#include "engine/table/dbf_file.h"

namespace vx {

// Notifications to and questions for the index engine. Every entry is called only when
// `present` is set and IsActive answers true for the area.
struct IndexHookTable {
  bool present = false;
  bool (*IsActive)(TableRecord& table) = nullptr;
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
  void (*AddKeys)(TableRecord& table) = nullptr;           // keys of the appended record
  bool (*UpdateBegins)(TableRecord& table) = nullptr;      // opens the update bracket
  void (*OldKeys)(TableRecord& table) = nullptr;           // before REPLACE, from the image
  void (*NewKeys)(TableRecord& table) = nullptr;           // after REPLACE
  void (*UpdateEnds)(TableRecord& table) = nullptr;        // closes the update bracket
  void (*ReachedBof)(TableRecord& table) = nullptr;
  void (*ReachedEof)(TableRecord& table) = nullptr;
  void (*CloseAll)(TableRecord& table) = nullptr;          // closes the area's indexes
};
extern IndexHookTable IndexHooks;
// Whether REPLACE keeps the active indexes up to date (on by default).
extern bool IndexMaintenance;

// The memo storage. MemoOpenProc opens the memo file of a table (given the table's path without
// extension) and answers an error code; MemoCloseProc closes it.
using MemoOpenType = std::uint16_t (*)(TableRecord& table, const std::string& base_name);
using MemoCloseType = void (*)(TableRecord& table);
extern MemoOpenType MemoOpenProc;
extern MemoCloseType MemoCloseProc;

// The memo storage's hook table, in its fixed order; entries are opaque to this layer except
// AssignMemo, which LOCATE uses to search a memo's lines: it answers the memo's text lines.
struct MemoHookTable {
  bool present = false;
  bool (*AssignMemo)(TableRecord& table, std::int32_t block, std::string& text) = nullptr;
  void (*PackMemofile)() = nullptr;
  MemoOpenType OpenMemofile = nullptr;
  MemoCloseType CloseMemofile = nullptr;
  void (*CopyMemo)() = nullptr;
  void (*CopyMemoTranslated)() = nullptr;
  void (*Reserved)() = nullptr;
  void (*AddMemo)() = nullptr;
};
extern MemoHookTable MemoHooks;

// The expression language: compile, free, evaluate as a logical, and the source text.
struct ExpressionHookTable {
  bool present = false;
  void* (*Compile)(const std::string& text) = nullptr;
  void (*Free)(void* expr) = nullptr;
  bool (*EvaluateLogical)(void* expr) = nullptr;
  std::string (*Text)(void* expr) = nullptr;
};
extern ExpressionHookTable ExpressionHooks;

// Positions the area that a relation of `table` points to; answers false when the related area
// did not land on the record it was told (a cycle), which the work-area layer reports.
using RelationSyncType = bool (*)(TableRecord& table);
extern RelationSyncType RelationSyncProc;

// An engine-wide skip procedure: when set, SKIP reads the record number it answers instead of
// walking.
using SkipProcType = std::int32_t (*)(TableRecord& table, std::int32_t n);
extern SkipProcType SkipProc;

inline bool IndexActive(TableRecord& t) {
  return IndexHooks.present && IndexHooks.IsActive != nullptr && IndexHooks.IsActive(t);
}

}  // namespace vx
