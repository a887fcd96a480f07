#pragma once
// What the units of the index orders share: the per-area index table, the cursor helpers that
// put an order on a record, and the hooks IndexInit installs. Opening and closing live in
// orders.cpp, cursors and Find in order_cursor.cpp, key maintenance in key_maintenance.cpp.
// Only those units include this header.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/errors.h"
#include "engine/index/index_state.h"
#include "engine/index/mdx_file.h"
#include "engine/index/orders.h"
#include "engine/index/semaphore.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/work_areas.h"

namespace vx::order_internal {

struct AreaIndex {
  MdxFile file;
  std::vector<std::unique_ptr<OrderTag>> tags;  // tags[i] is tag i + 1
  int controlling = 1;
  bool natural = false;
  bool logged_in = false;
  // Whether every tree was read whole since the index was opened (ValidateTrees), and what was
  // found wrong with each tag then (empty: sound), by tag number - 1.
  bool validated = false;
  std::vector<std::string> faults;
  // Whether each tag's items were compared with the records' keys since then (by tag number - 1).
  std::vector<bool> keys_checked;
  // The keys of a batch of appends (AppendBatch) that wait to go into the tags together, sorted,
  // while the index's writes are held (key_maintenance.cpp, WritePendingKeys).
  struct PendingKeys {
    bool active = false;              // appends under the batch's bracket defer their keys
    RecordBeforeImage table_before{};  // the table's end when the keys began to wait
    std::vector<KeyBuffer> staged;    // the next record's keys (CheckKeys), by tag number - 1
    std::vector<bool> staged_in;      // whether the FOR condition puts it in each tag
    std::vector<std::vector<std::uint8_t>> keys;  // per tag: the waiting keys back to back
    std::vector<std::vector<std::uint32_t>> records;  // per tag: their records, ascending
    std::int32_t last_record = 0;  // the last record appended meanwhile
  } pending;
};

// Set while these units move the record pointer themselves, so that the work-area layer's "after
// positioning" notice does not re-synchronize the order that caused the move.
inline constexpr EngineField<&IndexState::own_move> OwnMove;

// The open index of a table, or of the table in an area; null when it has none.
inline AreaIndex* IndexOf(const TableRecord& t) {
  const TableIndexState* s = FoundIndexState(t);
  return s == nullptr ? nullptr : s->index.get();
}

inline AreaIndex* AreaIndexOf(int area) {
  const TableIndexState* s = FoundIndexState(area);
  return s == nullptr ? nullptr : s->index.get();
}

inline AreaIndex* SelectedIndex() { return AreaIndexOf(Selected()); }

inline OrderTag& Controlling(AreaIndex& index) {
  return *index.tags[static_cast<std::size_t>(index.controlling - 1)];
}

inline IndexErrorContext ContextOf(const AreaIndex& index, const OrderTag& tag, int area) {
  return {index.file.name(), tag.name, area, tag.tag_number};
}

// A read hold for one scope.
class ReadHold : public SemaphoreBracket {
 public:
  explicit ReadHold(int area) : SemaphoreBracket(Kind::kRead, area) {}
};

void SetCurrentKey(OrderTag& tag);
void MoveTo(std::int32_t n);

// How a tag's cursor is put back on the table's current record.
enum class SyncMode {
  // After a record was read by number, for the controlling order (kSyncIndex) or another
  // (kSyncIndexOther): a record the FOR condition leaves out, or no current record, puts the
  // controlling order at EOF and another order on its last key; a record whose key or item is
  // missing is error 212 ([SyncIndex-1], [SyncIndex-2]).
  kSyncIndex,
  kSyncIndexOther,
  // Navigation's re-positioning: a record the FOR condition leaves out leaves the cursor quietly
  // on the next higher key; a record that meets it but is not found is error 212
  // ([SoftSyncIndex]).
  kSoft,
};

// Cursor helpers (order_cursor.cpp, where each is described).
std::string KeyDisplay(const OrderTag& tag, const std::uint8_t* key);
bool SyncTag(TableRecord& t, OrderTag& tag, SyncMode mode = SyncMode::kSoft);
bool CheckForChanges(TableRecord& t, AreaIndex& index, bool reposition = true);
// Re-reads the header and every tag header, dropping the kept nodes; false after a report.
bool ReadAnchors(AreaIndex& index, int area);
// Puts the keys a batch of appends holds back into the tags and writes the held pages, before
// anything reads or changes the index otherwise; false after a report (the batch's records are
// taken back then).
bool WritePendingKeys(TableRecord& t);
// The record of the first or last item of the controlling order, and of the next or prior one.
std::int32_t EdgeRecord(TableRecord& t, bool first);
std::int32_t StepRecord(TableRecord& t, bool forward);

// The hooks of the work-area layer (order_cursor.cpp: navigation; key_maintenance.cpp: edits).
bool HookIsActive(TableRecord& t);
std::int32_t HookFirst(TableRecord& t);
std::int32_t HookLast(TableRecord& t);
std::int32_t HookNext(TableRecord& t);
std::int32_t HookPrior(TableRecord& t);
bool HookAtEnd(TableRecord& t);
bool HookAtBeginning(TableRecord& t);
void HookReadOn(TableRecord& t);
void HookReadOff(TableRecord& t);
void HookAfterPositioning(TableRecord& t);
void HookReachedBof(TableRecord& t);
void HookReachedEof(TableRecord& t);
void HookLockOn(TableRecord& t);
void HookLockOff(TableRecord& t);
void HookAppendBegins(TableRecord& t);
void HookAppendEnds(TableRecord& t);
bool HookAppendDeferred(TableRecord& t);
bool HookCheckKeys(TableRecord& t, bool appending);
bool HookUpdateBegins(TableRecord& t);
void HookOldKeys(TableRecord& t);
void HookNewKeys(TableRecord& t);
void HookAddKeys(TableRecord& t);

inline std::string TableNameOf(const TableRecord& t) { return t.file_name; }

}  // namespace vx::order_internal
