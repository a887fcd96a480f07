#pragma once
// The work-area layer's share of an engine: the areas and the selected one, the USE and lock
// settings, the LOCATE state with its read-ahead cache, and the hook tables. The names callers
// use (CurrentArea, LockRetries, IndexHooks, ...) are declared with the units that use them.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/engine_state.h"
#include "engine/table/dbf_file.h"
#include "engine/workarea/hook_tables.h"
#include "platform/os/file.h"

namespace vx {

inline constexpr int kMaxWorkAreas = 33;

using LockFailedType = bool (*)();

// LOCATE's read-ahead cache: consecutive stored records of one table, exactly as they are on
// disk.
//
// Invariant: when `table_key` is not empty, `block` holds `count` whole records starting at
// record `first` of that table (count >= 1), each `record_length` bytes, all of them within the
// table's record count and read in full from the file.
struct PeekCache {
  std::vector<char> block;
  std::string table_key;
  std::int32_t first = 0;
  std::uint16_t count = 0;
  std::uint16_t record_length = 0;

  bool Belongs(const TableRecord& t) const {
    return !table_key.empty() && table_key == t.table_key && record_length == t.record_length;
  }
  bool Holds(const TableRecord& t, std::int32_t r) const {
    return Belongs(t) && r >= first && r - first < count;
  }
  char* Record(std::int32_t r) {
    return block.data() + static_cast<std::size_t>(r - first) * record_length;
  }
  void Drop() {
    std::vector<char>().swap(block);
    table_key.clear();
    first = 0;
    count = 0;
    record_length = 0;
  }
};

struct WorkAreaState {
  // The areas (work_areas.h): slots 1..33, slot 0 never used; the selected area.
  std::array<std::unique_ptr<TableRecord>, kMaxWorkAreas + 1> areas;
  std::uint8_t current_area = 1;
  std::uint8_t use_share_mode = os::kOpenReadWriteDenyNone;
  bool sharing_enabled = true;
  std::uint16_t open_mode_override = 65535;
  bool ansi_tables = false;

  // Locks (locks.h).
  std::uint32_t lock_base = 0x40000000;
  std::uint32_t file_lock_length = 0x3FFFFFFF;
  std::uint16_t record_lock_limit = 0;
  std::uint8_t lock_retries = 0;
  std::uint8_t lock_wait_seconds = 0;
  std::uint32_t lock_wait_ms = 0;
  LockFailedType lock_failed = nullptr;
  bool shutting_down = false;

  // LOCATE and Peek (locate.h).
  std::string search_value;
  std::uint8_t search_field = 0;
  bool case_sensitive = true;
  bool exact_match = false;
  bool contained = false;
  std::uint16_t peek_cache_size = 0;
  PeekCache peek_cache;

  // Hooks (hooks.h).
  IndexHookTable index_hooks;
  bool index_maintenance = true;
  MemoOpenType memo_open = nullptr;
  MemoCloseType memo_close = nullptr;
  MemoHookTable memo_hooks;
  ExpressionHookTable expression_hooks;
  RelationSyncType relation_sync = nullptr;
  SkipProcType skip_proc = nullptr;
};

extern constinit thread_local WorkAreaState* tls_workarea;
extern WorkAreaState default_workarea;

template <>
inline WorkAreaState& CurrentState<WorkAreaState>() {
  return *tls_workarea;
}

}  // namespace vx
