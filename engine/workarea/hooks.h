#pragma once
// The hook tables through which the work-area layer calls the index engine, the memo storage,
// the expression language and a relation manager without depending on them. Each of those units
// fills its table at start-up and sets its "present" flag; while a table is empty the work-area
// layer reports the operation as not linked in, or (for notifications) simply goes on.

#include "engine/workarea/hook_tables.h"
#include "engine/workarea/workarea_state.h"

namespace vx {

// The current engine's hook tables; see hook_tables.h for what each entry does.
inline constexpr EngineField<&WorkAreaState::index_hooks> IndexHooks;
// Whether REPLACE keeps the active indexes up to date (on by default).
inline constexpr EngineField<&WorkAreaState::index_maintenance> IndexMaintenance;
inline constexpr EngineField<&WorkAreaState::memo_open> MemoOpenProc;
inline constexpr EngineField<&WorkAreaState::memo_close> MemoCloseProc;
inline constexpr EngineField<&WorkAreaState::memo_hooks> MemoHooks;
inline constexpr EngineField<&WorkAreaState::expression_hooks> ExpressionHooks;
inline constexpr EngineField<&WorkAreaState::relation_sync> RelationSyncProc;
inline constexpr EngineField<&WorkAreaState::skip_proc> SkipProc;

inline bool IndexActive(TableRecord& t) {
  const IndexHookTable& hooks = *IndexHooks;
  return hooks.present && hooks.IsActive != nullptr && hooks.IsActive(t);
}

// Whether edits of the table must keep an index current (IndexHookTable::Maintains).
inline bool IndexMaintained(TableRecord& t) {
  const IndexHookTable& hooks = *IndexHooks;
  if (!hooks.present) return false;
  if (hooks.Maintains != nullptr) return hooks.Maintains(t);
  return hooks.IsActive != nullptr && hooks.IsActive(t);
}

// Whether the table's header names a production index that no index engine keeps up to date:
// an edit would leave its keys stale for every program that uses them.
inline bool ProductionIndexUnmaintained(const TableRecord& t) {
  // Visual FoxPro's byte 28 names a .CDX and a memo file, never an .MDX.
  return !IndexHooks->present && !t.IsDbase2() && !t.IsVisualFoxPro() && t.header[28] != 0;
}

}  // namespace vx
