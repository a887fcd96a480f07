#include "engine/index/orders.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/index_check.h"
#include "engine/index/semaphore.h"
#include "engine/index/tag_tree.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/system.h"

namespace vx {

bool IndexFound = false;
bool KeyPadding = false;
bool SoftSeek = false;
std::uint32_t NodeCacheBudget = 1 << 20;

namespace {

constexpr int kMaxIndexArea = 34;
// Byte 0 of the index file, held while a tag header is written on a shared table; tried for
// a third of a second (other programs hold it only for one write).
constexpr std::uint64_t kAnchorLockOffset = 0;
constexpr std::uint64_t kAnchorLockLength = 1;
constexpr int kAnchorLockAttempts = 300;

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
};

std::array<std::unique_ptr<AreaIndex>, kMaxIndexArea + 1> Areas;
// Set while this unit moves the record pointer itself, so that the work-area layer's "after
// positioning" notice does not re-synchronize the order that caused the move.
bool OwnMove = false;

AreaIndex* IndexOf(const TableRecord& t) {
  return t.area >= 0 && t.area <= kMaxIndexArea ? Areas[t.area].get() : nullptr;
}

AreaIndex* SelectedIndex() {
  const int area = Selected();
  return area >= 0 && area <= kMaxIndexArea ? Areas[area].get() : nullptr;
}

OrderTag& Controlling(AreaIndex& index) {
  return *index.tags[static_cast<std::size_t>(index.controlling - 1)];
}

IndexErrorContext ContextOf(const AreaIndex& index, const OrderTag& tag, int area) {
  return {index.file.name(), tag.name, area, tag.tag_number};
}

// A read bracket for one scope.
class ReadHold {
 public:
  explicit ReadHold(int area) : area_(area) { ReadBracket(area_, true); }
  ~ReadHold() {
    QuietErrors quiet;
    ReadBracket(area_, false);
  }
  ReadHold(const ReadHold&) = delete;
  ReadHold& operator=(const ReadHold&) = delete;

 private:
  int area_;
};

void SetCurrentKey(OrderTag& tag) {
  tag.current_key.fill(0);
  if (tag.cursor.OnItem()) {
    std::memcpy(tag.current_key.data(), tag.cursor.Key(),
                static_cast<std::size_t>(tag.cursor.KeyLength()));
  }
}

// The record number of the cursor's item, checked against the table (refreshing a shared
// table's count first): 0 after a report.
std::int32_t CheckedRecord(TableRecord& t, AreaIndex& index, OrderTag& tag) {
  const std::uint32_t record = tag.cursor.Record();
  if (record >= 1 && record > static_cast<std::uint32_t>(t.record_count)) RefreshRecordCount(t);
  if (record < 1 || record > static_cast<std::uint32_t>(t.record_count)) {
    SetEngineError(222, "Invalid dBASE key expression or corrupted index file " +
                            index.file.name() + " [tag: " + tag.name + "] [record " +
                            std::to_string(record) + "]");
    return 0;
  }
  return static_cast<std::int32_t>(record);
}

// Reads record n into the table's buffer and image without notifying this unit.
void MoveTo(std::int32_t n) {
  OwnMove = true;
  {
    QuietErrors quiet;
    GoRaw(n);
  }
  OwnMove = false;
}

bool ReadAnchors(AreaIndex& index, int area) {
  index.file.DropNodeCache();
  // A damaged index another program changed may have been mended: it is read whole again.
  if (std::any_of(index.faults.begin(), index.faults.end(),
                  [](const std::string& fault) { return !fault.empty(); })) {
    index.validated = false;
  }
  if (!index.file.ReadHeader()) return false;
  if (index.file.header().TagCount() != static_cast<int>(index.tags.size())) {
    SetEngineError(222, "Invalid dBASE key expression or corrupted index file " +
                            index.file.name() + " [ReadAnchorNodes]");
    return false;
  }
  for (auto& tag : index.tags) {
    TagHeader header;
    if (!index.file.ReadTagHeader(tag->tag_number, header)) return false;
    tag->header = header;
    tag->cursor.SetHeader(header);
    tag->cursor.SetContext(ContextOf(index, *tag, area));
  }
  return true;
}

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

// The key as text for messages: characters as stored, numbers and dates as values.
std::string KeyDisplay(const OrderTag& tag, const std::uint8_t* key) {
  switch (tag.header.KeyType()) {
    case 'N':
    case 'F': {
      char text[64];
      std::snprintf(text, sizeof text, "%*.*f", tag.expressions.width, tag.expressions.decimals,
                    PackedToDouble(key));
      return text;
    }
    case 'D':
      return DateToText(KeyDouble(key));
    default:
      return std::string(reinterpret_cast<const char*>(key),
                         static_cast<std::size_t>(tag.header.KeyLength()));
  }
}

// Positions a tag's cursor on the table's current record: by its key when keys can be made,
// otherwise by walking the order (keys from a caller's routine cannot be made again here).
// Answers false after a report.
bool SyncTag(TableRecord& t, OrderTag& tag, SyncMode mode = SyncMode::kSoft) {
  const std::int32_t record = t.record_number;
  const bool has_record = t.record_count >= 1 && record >= 1 && record <= t.record_count;
  const bool in = has_record && MeetsFor(tag.expressions, t);
  if (!has_record || (!in && mode != SyncMode::kSoft)) {
    if (!tag.cursor.Last()) return false;
    if (mode != SyncMode::kSyncIndexOther) tag.cursor.SetAtEnd(true);
    SetCurrentKey(tag);
    return true;
  }
  const auto wanted = static_cast<std::uint32_t>(record);
  KeyBuffer key{};
  int length = 0;
  if (!MakeKey(tag.expressions, tag.header, t, key, length)) {
    if (!tag.cursor.First()) return false;
    while (tag.cursor.OnItem() && !tag.cursor.AtEnd()) {
      if (tag.cursor.Record() == wanted) break;
      if (!tag.cursor.Next()) return false;
    }
    SetCurrentKey(tag);
    return true;
  }
  const int key_length = tag.cursor.KeyLength();
  bool found = false;
  if (!tag.cursor.Seek(key.data(), key_length, found)) return false;
  found = found && tag.cursor.OnItem() && !tag.cursor.AtEnd();
  const bool key_found = found;
  // Among equal keys, the record's own item; a unique tag holds one record of each key.
  if (!tag.header.Unique()) {
    while (found && tag.cursor.Record() != wanted) {
      if (!tag.cursor.Next()) return false;
      found = tag.cursor.OnItem() && !tag.cursor.AtEnd() &&
              tag.cursor.Comparator()(tag.cursor.Key(), key.data(), key_length) == 0;
    }
  }
  SetCurrentKey(tag);
  if (found || !in) return true;
  const std::string shown = "\"" + KeyDisplay(tag, key.data()) + "\"";
  if (mode == SyncMode::kSoft) {
    SetEngineError(
        212, "Record with key: " + shown + " not in index: " + tag.name + ". [SoftSyncIndex]");
  } else if (!key_found) {
    SetEngineError(212, "Key: " + shown + " not in index: " + tag.name +
                            ". [SyncIndex-1] Record: " + std::to_string(record));
  } else {
    SetEngineError(212,
                   "Record with key: " + shown + " not in index: " + tag.name + ". [SyncIndex-2]");
  }
  return false;
}

// Navigation's re-positioning of the controlling order after another program changed the index:
// the key is made from the record as the file holds it now (the other program may have changed
// it), while the caller's record buffer and image stay as they are.
bool SoftSyncTag(TableRecord& t, OrderTag& tag) {
  const std::int32_t record = t.record_number;
  if (record < 1 || record > t.record_count) return SyncTag(t, tag);
  const std::vector<char> kept(t.record.begin(), t.record.end());
  const bool at_beginning = t.at_beginning;
  const bool at_end = t.at_end;
  {
    QuietErrors quiet;
    const std::uint16_t before = EngineErrorCode;
    GetDbfRecord(t, record);
    EngineErrorCode = before;
  }
  const bool ok = SyncTag(t, tag);
  std::copy(kept.begin(), kept.end(), t.record.begin());
  t.at_beginning = at_beginning;
  t.at_end = at_end;
  return ok;
}

// Check for changes by other programs: re-reads the tag headers and puts the controlling order
// back on the current record (not for a record just appended: its keys are not in yet).
bool CheckForChanges(TableRecord& t, AreaIndex& index, bool reposition = true) {
  if (!SemaphoreChanged(t.area)) return true;
  if (!ReadAnchors(index, t.area)) return false;
  if (index.natural || !reposition) return true;
  return SoftSyncTag(t, Controlling(index));
}

bool TagEmpty(const OrderTag& tag) { return tag.header.HasFor() && !tag.header.ForEverMet(); }

// --- The hooks ---

bool HookIsActive(TableRecord& t) {
  const AreaIndex* index = IndexOf(t);
  return index != nullptr && !index->tags.empty();
}

std::int32_t EdgeRecord(TableRecord& t, bool first) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty()) {
    SetEngineError(221, "Index not open. (DBF=" + t.file_name + ") [_FindFirst/LastRec]");
    return t.record_count + 1;
  }
  if (index->natural) {
    IndexFound = t.record_count > 0;
    return first ? 1 : std::max(t.record_count, 1);
  }
  ReadHold hold(t.area);
  if (!CheckForChanges(t, *index)) return t.record_count + 1;
  OrderTag& tag = Controlling(*index);
  if (!(first ? tag.cursor.First() : tag.cursor.Last())) return t.record_count + 1;
  if (!tag.cursor.OnItem()) {
    tag.cursor.SetAtStart(true);
    tag.cursor.SetAtEnd(true);
    IndexFound = false;
    return t.record_count + 1;
  }
  IndexFound = true;
  SetCurrentKey(tag);
  const std::int32_t record = CheckedRecord(t, *index, tag);
  return record == 0 ? t.record_count + 1 : record;
}

std::int32_t HookFirst(TableRecord& t) { return EdgeRecord(t, true); }
std::int32_t HookLast(TableRecord& t) { return EdgeRecord(t, false); }

std::int32_t StepRecord(TableRecord& t, bool forward) {
  IndexFound = false;
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty()) return t.record_number;
  if (index->natural) {
    if (forward) {
      if (t.record_number >= t.record_count) RefreshRecordCount(t);
      return t.record_number < t.record_count ? t.record_number + 1 : t.record_number;
    }
    return t.record_number > 1 ? t.record_number - 1 : t.record_number;
  }
  ReadHold hold(t.area);
  if (!CheckForChanges(t, *index)) return t.record_number;
  OrderTag& tag = Controlling(*index);
  if (t.record_count < 1 || TagEmpty(tag)) {
    tag.cursor.SetAtStart(true);
    tag.cursor.SetAtEnd(true);
    return t.record_number;
  }
  if (forward && tag.cursor.AtEnd()) return t.record_number;
  if (!forward && tag.cursor.AtStart()) return t.record_number;
  if (!forward && (tag.cursor.AtEnd() || t.record_number > t.record_count)) {
    // A step back from EOF lands on the last item, where the position stayed.
    if (!tag.cursor.OnItem() && !tag.cursor.Last()) return t.record_number;
    if (!tag.cursor.OnItem()) return t.record_number;
    tag.cursor.SetAtEnd(false);
    IndexFound = true;
    SetCurrentKey(tag);
    const std::int32_t record = CheckedRecord(t, *index, tag);
    return record == 0 ? t.record_number : record;
  }
  if (!tag.cursor.HasPosition() && !SyncTag(t, tag)) return t.record_number;
  if (!(forward ? tag.cursor.Next() : tag.cursor.Prior())) return t.record_number;
  if (!tag.cursor.OnItem() || (forward ? tag.cursor.AtEnd() : tag.cursor.AtStart())) {
    return t.record_number;
  }
  IndexFound = true;
  SetCurrentKey(tag);
  const std::int32_t record = CheckedRecord(t, *index, tag);
  return record == 0 ? t.record_number : record;
}

std::int32_t HookNext(TableRecord& t) { return StepRecord(t, true); }
std::int32_t HookPrior(TableRecord& t) { return StepRecord(t, false); }

bool HookAtEnd(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty() || index->natural) return t.at_end;
  return Controlling(*index).cursor.AtEnd() || t.at_end;
}

bool HookAtBeginning(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty() || index->natural) return t.at_beginning;
  return Controlling(*index).cursor.AtStart() || t.at_beginning;
}

void HookReadOn(TableRecord& t) { ReadBracket(t.area, true); }
void HookReadOff(TableRecord& t) { ReadBracket(t.area, false); }
void HookLockOn(TableRecord& t) { LockBracket(t.area, true); }
void HookLockOff(TableRecord& t) { LockBracket(t.area, false); }

void HookAfterPositioning(TableRecord& t) {
  if (OwnMove) return;
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty() || index->natural) return;
  SyncTag(t, Controlling(*index), SyncMode::kSyncIndex);
}

// --- Key maintenance: appends and edits change every tag's tree under the lock bracket ---

TagTree TreeOf(AreaIndex& index, OrderTag& tag, int area) {
  TagTree tree;
  tree.file = &index.file;
  tree.header = &tag.header;
  tree.compare = tag.compare;
  tree.context = ContextOf(index, tag, area);
  const MdxHeader& header = index.file.header();
  for (int i = 1; i <= header.TagCount(); ++i) {
    tree.foreign_pages.push_back(
        {header.EntryAt(i).header_page, "the tag header of tag " + header.TagName(i)});
  }
  for (const auto& other : index.tags) {
    if (other.get() == &tag) continue;
    tree.foreign_pages.push_back({other->header.RootPage(), "the root of tag " + other->name});
  }
  return tree;
}

// Refuses a tag whose tag header another entry of the tag table names too (an edit would change
// both tags' trees through one header).
bool HeaderNotShared(AreaIndex& index, const OrderTag& tag) {
  const MdxHeader& header = index.file.header();
  const std::uint32_t own = header.EntryAt(tag.tag_number).header_page;
  for (int i = 1; i <= header.TagCount(); ++i) {
    const std::uint32_t other = header.EntryAt(i).header_page;
    if (i == tag.tag_number || other > own + 1 || own > other + 1) continue;
    SetEngineError(222, "Invalid dBASE key expression or corrupted index file " +
                            index.file.name() + " [tag: " + tag.name + "] page " +
                            std::to_string(own) + ": the tag header of tag " + header.TagName(i) +
                            " too [ReadAnchorNodes]");
    return false;
  }
  return true;
}

// Writes a changed tag header; answers false after a report. On a table that other programs
// share, the write holds byte 0 of the index file locked, as every dBASE program writing a
// tag header does, so that one of them never reads a header half written.
bool WriteAnchor(AreaIndex& index, OrderTag& tag, TagTree& tree) {
  if (!tree.anchor_modified) return true;
  tree.anchor_modified = false;
  const TableRecord* t = AreaTable(tree.context.area);
  if (t == nullptr || !SharingEnabled || t->exclusive) {
    return index.file.WriteTagHeader(tag.tag_number, tag.header);
  }
  os::File& file = index.file.file();
  int locked = 0;
  for (int attempt = 0; attempt < kAnchorLockAttempts; ++attempt) {
    locked = file.LockRange(kAnchorLockOffset, kAnchorLockLength);
    if (locked == 0) break;
    os::SleepMs(1);
  }
  if (locked != 0) {
    SetEngineError(static_cast<std::uint16_t>(locked),
                   "Could not lock index for writing anchor node " + tag.name);
    return false;
  }
  const bool written = index.file.WriteTagHeader(tag.tag_number, tag.header);
  const int unlocked = file.UnlockRange(kAnchorLockOffset, kAnchorLockLength);
  if (unlocked != 0 && written) {
    SetEngineError(static_cast<std::uint16_t>(unlocked),
                   "Could not unlock index after writing anchor node " + tag.name);
    return false;
  }
  return written;
}

// The key of the current record for a tag and whether the record belongs in it (FOR).
bool RecordKey(TableRecord& t, OrderTag& tag, KeyBuffer& key, bool& in) {
  in = MeetsFor(tag.expressions, t);
  int length = 0;
  if (MakeKey(tag.expressions, tag.header, t, key, length)) return true;
  SetEngineError(254, "Key expression cannot be evaluated for record " +
                          std::to_string(t.record_number) + " [tag: " + tag.name + "]");
  return false;
}

// Reads every tag's tree whole, once after the index was opened: damage off the way an edit
// goes down (a child pointer elsewhere, a node reached from two places or two tags, a node past
// the header's page counter, a key count that hides items, a key type or length the key
// expression does not give, a key twice in a unique tag) is not seen on that way. A tag found
// damaged keeps its fault until the index is opened again or another program changes it. The
// trees this engine changes afterwards stay sound, so one reading serves every later edit.
// Whether the items hold the records' keys is not read here (that is `check`'s full work).
void ValidateTrees(AreaIndex& index) {
  if (index.validated) return;
  index.validated = true;
  index.faults.assign(index.tags.size(), {});
  QuietErrors quiet;
  const std::uint16_t code = EngineErrorCode;
  const std::string message = LastErrorMessage;
  IndexPages pages;
  const MdxHeader& header = index.file.header();
  for (int i = 1; i <= header.TagCount(); ++i) {
    pages.headers.emplace(header.EntryAt(i).header_page, header.TagName(i));
  }
  for (std::size_t i = 0; i < index.tags.size(); ++i) {
    OrderTag& tag = *index.tags[i];
    std::string& fault = index.faults[i];
    if (HasKeyMaker(tag.expressions)) fault = KeyShapeFault(tag.header, tag.expressions);
    if (!fault.empty()) continue;
    std::vector<std::string> problems;
    if (CheckTagTreeForEdits(index.file, tag.header, tag.compare, problems, pages, tag.name)) {
      continue;
    }
    // A character tag in another writer's signed-byte order is sound for its writer.
    std::vector<std::string> in_signed_order;
    const KeyComparator signed_bytes =
        tag.header.Descending() ? CompareSignedCharKeysDescending : CompareSignedCharKeys;
    if (tag.header.KeyType() != 'C' || !CheckTagTreeForEdits(index.file, tag.header, signed_bytes,
                                                             in_signed_order, pages, tag.name)) {
      fault = problems.empty() ? "damaged" : problems.front();
    }
  }
  for (std::size_t i = 0; i < index.tags.size(); ++i) {
    if (index.faults[i].empty() && pages.shared.count(index.tags[i]->name) != 0) {
      index.faults[i] = "a node that another tag reaches too";
    }
  }
  EngineErrorCode = code;
  LastErrorMessage = message;
}

// Whether every tag an edit changes was found sound when the index was read whole; false after
// a report naming the tag and what is wrong with it.
bool TouchedTreesSound(AreaIndex& index, const std::vector<const OrderTag*>& touched) {
  if (touched.empty()) return true;
  ValidateTrees(index);
  for (const OrderTag* tag : touched) {
    const std::string& fault = index.faults[static_cast<std::size_t>(tag->tag_number - 1)];
    if (fault.empty()) continue;
    SetEngineError(222, "Invalid dBASE key expression or corrupted index file " +
                            index.file.name() + " [tag: " + tag->name + "] " + fault +
                            " [ValidateTree]");
    return false;
  }
  return true;
}

// Before a record is written (nothing of the edit is on the disk yet): makes the keys of the
// record as it will be and reads, without writing, the way down of every change it will make:
// the removal of a replaced key and the insert of the new one. A key that cannot be made, a
// damaged page on the way, or a replaced record whose item a non-unique tag lacks refuses the
// edit (false after a report). `appending`: the record will be the next one after the last.
bool HookCheckKeys(TableRecord& t, bool appending) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty()) return true;
  if (appending && !CheckForChanges(t, *index, false)) return false;
  const std::int32_t saved_number = t.record_number;
  // RECNO() in a key means the number the record will have.
  if (appending) t.record_number = t.record_count + 1;
  const auto record = static_cast<std::uint32_t>(t.record_number);
  bool ok = true;
  std::vector<const OrderTag*> touched;
  for (auto& tag_owner : index->tags) {
    OrderTag& tag = *tag_owner;
    KeyBuffer key{};
    bool in = false;
    if (!RecordKey(t, tag, key, in)) {
      ok = false;
      break;
    }
    const bool had = !appending && tag.remembered_in && tag.remembered_record == record;
    const auto length = static_cast<std::size_t>(tag.header.KeyLength());
    if (!appending && in == tag.remembered_in &&
        (!in || std::memcmp(key.data(), tag.remembered_key.data(), length) == 0)) {
      continue;
    }
    if (!had && !in) continue;
    touched.push_back(&tag);
    if (!HeaderNotShared(*index, tag)) {
      ok = false;
      break;
    }
    TagTree tree = TreeOf(*index, tag, t.area);
    if (had) {
      const TreeResult there = CheckDeletePath(tree, tag.remembered_key.data(), record);
      if (there == TreeResult::kFailed) {
        ok = false;
        break;
      }
      // A unique tag holds one record of each key: the record may never have been in it.
      if (there == TreeResult::kUnchanged && !tag.header.Unique()) {
        SetEngineError(254, "Record number " + std::to_string(record) +
                                " not found in index. [tag: " + tag.name + "] [CompareKeys]");
        ok = false;
        break;
      }
    }
    if (in && !CheckInsertPath(tree, key.data())) {
      ok = false;
      break;
    }
  }
  t.record_number = saved_number;
  // The copies of the nodes the cursors hold are still what the file holds: nothing changed.
  return ok && TouchedTreesSound(*index, touched);
}

// After the trees changed: the header's page counter is written, every position is forgotten
// (the copies of the nodes are stale) and the controlling order stands on the current record.
void AfterTreeChange(TableRecord& t, AreaIndex& index) {
  if (index.file.header().dirty) {
    // The page counter went to the disk when each node was appended: this write only repeats
    // it, and when it fails the header stays marked for the close.
    QuietErrors quiet;
    const std::uint16_t code = EngineErrorCode;
    const std::string message = LastErrorMessage;
    if (!index.file.WriteHeader()) {
      EngineErrorCode = code;
      LastErrorMessage = message;
    }
  }
  for (auto& tag : index.tags) tag->cursor.SetHeader(tag->header);
  if (!index.natural && t.record_number >= 1 && t.record_number <= t.record_count) {
    if (EngineErrorCode == 0) {
      SyncTag(t, Controlling(index));
    } else {
      // The failure of the change itself is the one to report.
      const std::uint16_t code = EngineErrorCode;
      const std::string message = LastErrorMessage;
      {
        QuietErrors quiet;
        SyncTag(t, Controlling(index));
      }
      EngineErrorCode = code;
      LastErrorMessage = message;
    }
  }
}

bool HookUpdateBegins(TableRecord& t) {
  LockBracket(t.area, true);
  if (EngineErrorCode != 0) return false;
  AreaIndex* index = IndexOf(t);
  if (index != nullptr && !CheckForChanges(t, *index)) {
    LockBracket(t.area, false);
    return false;
  }
  return true;
}

// Before an edit: every tag remembers the record's key as it is.
void HookOldKeys(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr) return;
  for (auto& tag : index->tags) {
    tag->remembered_record = static_cast<std::uint32_t>(t.record_number);
    if (!RecordKey(t, *tag, tag->remembered_key, tag->remembered_in)) {
      tag->remembered_in = false;
    }
  }
}

// After an edit: each tag whose key (or FOR result) changed loses the old item and gets the new.
// When a change fails (a write error: the pages were read before the record was written), the
// tags already changed get their old items back, so that they agree with the record the caller
// puts back; a tag that cannot be mended is named in the message.
void HookNewKeys(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr) return;
  const auto record = static_cast<std::uint32_t>(t.record_number);
  struct Change {
    OrderTag* tag;
    KeyBuffer key;
    bool removed = false;
    bool inserted = false;
  };
  std::vector<Change> changes;
  bool changed = false;
  bool failed = false;
  for (auto& tag_owner : index->tags) {
    OrderTag& tag = *tag_owner;
    KeyBuffer key{};
    bool in = false;
    if (!RecordKey(t, tag, key, in)) {
      failed = true;
      break;
    }
    const auto length = static_cast<std::size_t>(tag.header.KeyLength());
    if (in == tag.remembered_in &&
        (!in || std::memcmp(key.data(), tag.remembered_key.data(), length) == 0)) {
      continue;
    }
    changed = true;
    Change& change = changes.emplace_back(Change{&tag, key});
    TagTree tree = TreeOf(*index, tag, t.area);
    if (tag.remembered_in && tag.remembered_record == record) {
      const TreeResult gone = DeleteKey(tree, tag.remembered_key.data(), record);
      change.removed = gone == TreeResult::kDone;
      if (gone == TreeResult::kFailed || !WriteAnchor(*index, tag, tree)) {
        failed = true;
        break;
      }
      if (gone == TreeResult::kUnchanged && !tag.header.Unique()) {
        // The new key still goes in, so that the record can be found; the stale item stays
        // for the checker to find.
        SetEngineError(254, "Record number " + std::to_string(record) +
                                " not found in index. [tag: " + tag.name + "] [CompareKeys]");
      }
    }
    if (in) {
      const TreeResult put = InsertKey(tree, key.data(), record);
      change.inserted = put == TreeResult::kDone;
      if (put == TreeResult::kFailed || !WriteAnchor(*index, tag, tree)) {
        failed = true;
        break;
      }
    }
  }
  if (failed) {
    const std::uint16_t code = EngineErrorCode;
    std::string message = LastErrorMessage;
    std::string left;
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
      OrderTag& tag = *it->tag;
      TagTree tree = TreeOf(*index, tag, t.area);
      QuietErrors quiet;
      bool mended = true;
      if (it->inserted) mended = DeleteKey(tree, it->key.data(), record) == TreeResult::kDone;
      if (mended && it->removed) {
        mended = InsertKey(tree, tag.remembered_key.data(), record) != TreeResult::kFailed;
      }
      mended = WriteAnchor(*index, tag, tree) && mended;
      if (!mended) left += (left.empty() ? "" : ", ") + tag.name;
    }
    if (!left.empty()) message += " (tag " + left + " may be damaged: rebuild it)";
    EngineErrorCode = code;
    LastErrorMessage = message;
  }
  if (changed) AfterTreeChange(t, *index);
}

// After an append: the new record's key goes into every tag whose FOR condition it meets. When
// one tag fails, the keys already added to the others are taken out again.
void HookAddKeys(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty()) return;
  if (!CheckForChanges(t, *index, false)) return;
  const auto record = static_cast<std::uint32_t>(t.record_number);
  std::vector<std::pair<OrderTag*, KeyBuffer>> added;
  bool failed = false;
  for (auto& tag_owner : index->tags) {
    OrderTag& tag = *tag_owner;
    KeyBuffer key{};
    bool in = false;
    if (!RecordKey(t, tag, key, in)) {
      failed = true;
      break;
    }
    if (!in) continue;
    TagTree tree = TreeOf(*index, tag, t.area);
    const TreeResult result = InsertKey(tree, key.data(), record);
    if (result == TreeResult::kDone) added.emplace_back(&tag, key);
    const bool anchor_written = WriteAnchor(*index, tag, tree);
    if (result == TreeResult::kFailed || !anchor_written) {
      failed = true;
      break;
    }
  }
  if (failed) {
    const std::uint16_t code = EngineErrorCode;
    const std::string message = LastErrorMessage;
    for (auto it = added.rbegin(); it != added.rend(); ++it) {
      OrderTag& tag = *it->first;
      TagTree tree = TreeOf(*index, tag, t.area);
      const TreeResult gone = DeleteKey(tree, it->second.data(), record);
      if (gone != TreeResult::kDone || !WriteAnchor(*index, tag, tree)) {
        SetEngineError(254, "Index file corrupted.  [tag: " + tag.name + "] [AppendNewKey]");
        AfterTreeChange(t, *index);
        return;
      }
    }
    EngineErrorCode = code;
    LastErrorMessage = message;
  }
  AfterTreeChange(t, *index);
}

void HookReachedBof(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index != nullptr && !index->tags.empty()) Controlling(*index).cursor.SetAtStart(true);
}

void HookReachedEof(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index != nullptr && !index->tags.empty()) Controlling(*index).cursor.SetAtEnd(true);
}

void CloseAreaIndex(int area);

void HookCloseAll(TableRecord& t) { CloseAreaIndex(t.area); }

// --- Open and close ---

void CloseAreaIndex(int area) {
  if (area < 0 || area > kMaxIndexArea || !Areas[area]) return;
  std::unique_ptr<AreaIndex> index = std::move(Areas[area]);
  MdxFile& file = index->file;
  if (file.IsOpen() && file.header().dirty) {
    const int code = file.file().WriteAt(0, std::as_bytes(std::span(file.header().bytes)));
    if (code != 0) {
      SetEngineError(static_cast<std::uint16_t>(code),
                     "Error writing index file: " + file.name() + " [CloseIndex]");
    }
  }
  const std::string name = file.name();
  if (file.IsOpen() && file.Close() != 0) {
    SetEngineError(os::kIoDiskWriteError, "Error closing index file:  " + name);
  }
  if (index->logged_in) HandleSemaphore(SemaphoreAction::kLogout, area);
}

}  // namespace

std::string IndexPath(const TableRecord& t, std::string_view name) {
  if (name.empty()) return DerivedFileName(t.file_name, "MDX");
  std::string path = DefaultExtension(TrimText(name), "MDX");
  const bool has_dir = path.find('\\') != std::string::npos ||
                       path.find('/') != std::string::npos || path.find(':') != std::string::npos;
  if (!has_dir) path = SplitPath(t.file_name).dir + path;
  return path;
}

namespace {

bool FailOpen(int area, std::uint16_t code, const std::string& text) {
  {
    QuietErrors quiet;
    CloseAreaIndex(area);
  }
  SetEngineError(code, text);
  return false;
}

// Takes over an error recorded quietly inside the open and reports it after cleaning up.
bool FailOpenWithPending(int area) {
  const std::uint16_t code = EngineErrorCode != 0 ? EngineErrorCode : 222;
  const std::string text = LastErrorMessage;
  return FailOpen(area, code, text);
}

bool LoadTag(TableRecord& t, AreaIndex& index, int number, int area) {
  auto tag = std::make_unique<OrderTag>();
  tag->tag_number = number;
  tag->name = index.file.header().TagName(number);
  if (!index.file.ReadTagHeader(number, tag->header)) return false;
  const std::string corrupt =
      "Invalid dBASE key expression or corrupted index file " + index.file.name();
  if (!CompileTagExpressions(tag->header, tag->expressions)) {
    SetEngineError(222, corrupt);
    return false;
  }
  tag->descending = tag->header.Descending();
  tag->compare =
      ChooseComparator(tag->header.KeyType(), tag->expressions.result_type, tag->descending);
  if (tag->compare == nullptr) {
    SetEngineError(222, corrupt);
    return false;
  }
  tag->character = tag->header.KeyType() == 'C';
  tag->cursor.Attach(&index.file, tag->header, tag->compare, ContextOf(index, *tag, area));
  if (tag->character && HasKeyMaker(tag->expressions)) {
    // The expression's width must fit the stored key length (a widened field changes it).
    // Shorter results (TRIM, and LEFT or SUBSTR of a field in tags built before those had
    // their own width) are stored padded; longer ones would be cut.
    int width = tag->expressions.width;
    if (width == 0) {
      const std::int32_t saved = t.record_number;
      MoveTo(t.record_count + 1);
      KeyBuffer key{};
      MakeKey(tag->expressions, tag->header, t, key, width);
      if (saved >= 1 && saved <= t.record_count) MoveTo(saved);
    }
    if (width > tag->header.KeyLength()) {
      SetEngineError(266, "Incorrect key length: Must be 1 to 100. " + index.file.name());
      return false;
    }
  }
  index.tags.push_back(std::move(tag));
  return true;
}

// Loads every tag under one read hold and puts tag 1 on its first visible record.
bool LoadTags(TableRecord& t, AreaIndex& index, int area) {
  ReadHold hold(area);
  if (EngineErrorCode != 0) return false;
  const int count = index.file.header().TagCount();
  for (int i = 1; i <= count; ++i) {
    if (!LoadTag(t, index, i, area)) return false;
  }
  if (index.tags.empty()) return true;
  index.controlling = 1;
  OrderTag& first = Controlling(index);
  if (t.record_count < 1) {
    for (auto& tag : index.tags) {
      tag->cursor.SetAtStart(true);
      tag->cursor.SetAtEnd(true);
      if (tag->character) {
        std::memset(tag->current_key.data(), ' ',
                    static_cast<std::size_t>(tag->header.KeyLength()));
      }
    }
    return true;
  }
  const std::int32_t n = EdgeRecord(t, true);
  if (EngineErrorCode != 0) return false;
  if (n > t.record_count) {
    MoveTo(t.record_count + 1);
    return true;
  }
  MoveTo(n);
  while (!IsVisible(t) && !first.cursor.AtEnd()) {
    const std::int32_t next = StepRecord(t, true);
    if (EngineErrorCode != 0) return false;
    if (next == t.record_number) {
      first.cursor.SetAtEnd(true);
      MoveTo(t.record_count + 1);
      break;
    }
    MoveTo(next);
  }
  return true;
}

bool OpenIndexFile(TableRecord& t, const std::string& path) {
  const int area = t.area;
  auto fresh = std::make_unique<AreaIndex>();
  Areas[area] = std::move(fresh);
  AreaIndex& index = *Areas[area];
  const bool shared = SharingEnabled && !t.exclusive;
  const bool override_set = OpenModeOverride != 65535;
  if (!override_set || (OpenModeOverride & 0x40) != 0) {
    QuietErrors quiet;
    EngineErrorCode = 0;
    if (!HandleSemaphore(SemaphoreAction::kLogin, area)) return FailOpenWithPending(area);
    index.logged_in = SemaphoreActive(area);
  }
  int mode = shared ? os::kOpenReadWriteDenyNone : os::kOpenReadWriteDenyAll;
  if (override_set) mode = OpenModeOverride;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    bool opened = index.file.Open(path, mode);
    // A file we may only read is still searched; nothing is written back to it.
    if (!opened && EngineErrorCode == os::kIoAccessDenied) {
      EngineErrorCode = 0;
      opened = index.file.Open(path, shared ? os::kOpenReadOnlyDenyNone : os::kOpenDenyAll);
    }
    if (!opened) return FailOpenWithPending(area);
  }
  if (!shared) index.file.SetNodeCache(NodeCacheBudget);
  bool loaded;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    loaded = LoadTags(t, index, area);
  }
  return loaded ? true : FailOpenWithPending(area);
}

// The search key of a Find text for a tag, and the number of bytes to compare.
bool SearchKey(const TableRecord& t, const OrderTag& tag, std::string text, bool as_stored,
               KeyBuffer& key, int& length) {
  key.fill(0);
  const int key_length = tag.header.KeyLength();
  switch (tag.header.KeyType()) {
    case 'N':
    case 'F': {
      const PackedDecimal packed = TextToPacked(text, 0);
      std::memcpy(key.data(), packed.data(), packed.size());
      length = kPackedLength;
      return true;
    }
    case 'D': {
      const double value = tag.expressions.result_type == 'D'
                               ? TextToDate(text)
                               : std::strtod(std::string(text).c_str(), nullptr);
      const auto bytes = DoubleKey(value);
      std::memcpy(key.data(), bytes.data(), bytes.size());
      length = 8;
      return true;
    }
    default:
      break;
  }
  if (KeyPadding || tag.descending) {
    if (static_cast<int>(text.size()) < key_length) {
      text.append(static_cast<std::size_t>(key_length) - text.size(), ' ');
    }
  }
  if (t.oem && !as_stored) text = os::AnsiToOem(text);
  length = std::min(static_cast<int>(text.size()), key_length);
  std::memcpy(key.data(), text.data(), static_cast<std::size_t>(length));
  return true;
}

std::string TableNameOf(const TableRecord& t) { return t.file_name; }

}  // namespace

bool SetIndexTo(std::string_view name) {
  TableRecord* t = InUse("SetIndexTo");
  if (t == nullptr) return false;
  {
    QuietErrors quiet;
    CloseAreaIndex(t->area);
  }
  const std::string path = IndexPath(*t, name);
  if (!os::FileExists(path)) {
    SetEngineError(2, "SetIndexTo(" + (name.empty() ? path : std::string(name)) + ")");
    return false;
  }
  return OpenIndexFile(*t, os::ResolvePath(path));
}

bool OpenProductionIndex() {
  TableRecord* t = InUse("SetIndexTo");
  if (t == nullptr || !HasProductionIndex()) return false;
  if (!os::FileExists(DerivedFileName(t->file_name, "MDX"))) return false;
  return SetIndexTo();
}

void Set_Order_To(int n) {
  const std::string op = "Set_Order_To(" + std::to_string(n) + ")";
  TableRecord* t = InUse(op);
  if (t == nullptr) return;
  AreaIndex* index = SelectedIndex();
  if (index == nullptr || index->tags.empty()) {
    SetEngineError(221, "Index not open. (DBF=" + TableNameOf(*t) + ") [" + op + "]");
    return;
  }
  if (n < 0 || n > static_cast<int>(index->tags.size())) {
    SetEngineError(220, "Invalid Index Order Specified: SET_ORDER_TO. [" + op +
                            "] (DBF=" + TableNameOf(*t) + ")");
    return;
  }
  if (n == 0) {
    index->natural = true;
    return;
  }
  const bool was_natural = index->natural;
  index->natural = false;
  if (n == index->controlling && !was_natural) return;
  const bool old_at_end = was_natural ? t->at_end : Controlling(*index).cursor.AtEnd() || t->at_end;
  index->controlling = n;
  OrderTag& tag = Controlling(*index);
  ReadHold hold(t->area);
  if (t->record_count < 1) {
    SetCurrentKey(tag);
    tag.cursor.SetAtStart(true);
    tag.cursor.SetAtEnd(true);
    return;
  }
  if (old_at_end) {
    if (tag.cursor.Last()) tag.cursor.SetAtEnd(true);
    return;
  }
  SyncTag(*t, tag);
}

bool SetOrderToTag(std::string_view name) {
  std::string wanted = TrimText(name);
  if (wanted.size() > kMaxTagNameLength) wanted.resize(kMaxTagNameLength);
  wanted = TrimText(wanted);
  TableRecord* t = InUse("SetOrderToTag(" + wanted + ")");
  if (t == nullptr) return false;
  if (wanted.empty()) {
    Set_Order_To(0);
    const AreaIndex* index = SelectedIndex();
    return index != nullptr && !index->tags.empty();
  }
  wanted = os::AnsiUpperText(wanted);
  AreaIndex* index = SelectedIndex();
  if (index != nullptr) {
    for (const auto& tag : index->tags) {
      if (tag->name.compare(0, wanted.size(), wanted) == 0) {
        Set_Order_To(tag->tag_number);
        return true;
      }
    }
  }
  SetEngineError(220, "Invalid Index Order Specified: SET_ORDER_TO. [SetOrderToTag(" + wanted +
                          ")] (DBF=" + TableNameOf(*t) + ")");
  return false;
}

int CurrentOrder() {
  if (SelectedTable() == nullptr) return 0;
  const AreaIndex* index = SelectedIndex();
  if (index == nullptr || index->tags.empty() || index->natural) return 0;
  return index->controlling;
}

namespace {

bool FindText(std::string_view text, bool as_stored) {
  if (text.size() > kMaxKeyLength) text = text.substr(0, kMaxKeyLength);
  IndexFound = false;
  TableRecord* t = InUse("Find");
  if (t == nullptr) return false;
  AreaIndex* index = SelectedIndex();
  if (index == nullptr || index->tags.empty()) {
    SetEngineError(221, "Index not open. (DBF=" + TableNameOf(*t) + ") [Find]");
    return false;
  }
  if (index->natural) {
    SetEngineError(254, "Cannot use Find() with index order 0 (natural order) [Find]");
    return false;
  }
  if (text.empty()) return false;
  ReadHold hold(t->area);
  OrderTag& tag = Controlling(*index);
  if (!CheckForChanges(*t, *index)) return false;
  if (t->record_count < 1) RefreshRecordCount(*t);
  if (t->record_count < 1 || TagEmpty(tag)) {
    GoEOF();
    tag.cursor.SetAtEnd(true);
    return false;
  }
  KeyBuffer key{};
  int length = 0;
  SearchKey(*t, tag, std::string(text), as_stored, key, length);
  bool found = false;
  if (!tag.cursor.Seek(key.data(), length, found)) return false;
  std::int32_t record = 0;
  if (!tag.cursor.AtEnd()) {
    record = CheckedRecord(*t, *index, tag);
    if (record == 0) return false;
    MoveTo(record);
    // Records the visibility rule hides are passed over.
    while (!IsVisible(*t)) {
      if (!tag.cursor.Next()) return false;
      if (tag.cursor.AtEnd()) break;
      record = CheckedRecord(*t, *index, tag);
      if (record == 0) return false;
      MoveTo(record);
    }
  }
  const bool at_end = tag.cursor.AtEnd() || !tag.cursor.OnItem();
  found = !at_end && tag.compare(tag.cursor.Key(), key.data(), length) == 0;
  IndexFound = found;
  if (found || (SoftSeek && !at_end)) {
    SetCurrentKey(tag);
    return found;
  }
  // Not found (or nothing higher): the area stands at EOF, the order too.
  MoveTo(t->record_count + 1);
  if (tag.cursor.Last()) tag.cursor.SetAtEnd(true);
  return false;
}

}  // namespace

bool Find(std::string_view text) { return FindText(text, false); }

bool FindStored(std::string_view stored) { return FindText(stored, true); }

bool SyncIndex(bool all) {
  TableRecord* t = InUse("SyncIndex");
  if (t == nullptr) return false;
  AreaIndex* index = SelectedIndex();
  if (index == nullptr || index->tags.empty()) return true;
  ReadHold hold(t->area);
  if (SemaphoreChanged(t->area) && !ReadAnchors(*index, t->area)) return false;
  if (!SyncTag(*t, Controlling(*index), SyncMode::kSyncIndex)) return false;
  if (!all) return true;
  for (auto& tag : index->tags) {
    if (tag->tag_number == index->controlling) continue;
    if (!SyncTag(*t, *tag, SyncMode::kSyncIndexOther)) return false;
  }
  return true;
}

bool SoftSyncIndex() {
  TableRecord* t = InUse("SoftSyncIndex");
  if (t == nullptr) return false;
  AreaIndex* index = SelectedIndex();
  if (index == nullptr || index->tags.empty() || index->natural) return true;
  ReadHold hold(t->area);
  if (SemaphoreChanged(t->area) && !ReadAnchors(*index, t->area)) return false;
  return SoftSyncTag(*t, Controlling(*index));
}

void CloseIndex() {
  TableRecord* t = InUse("CloseIndex");
  if (t != nullptr) CloseAreaIndex(t->area);
}

OrderTag* OrderOf(int n) {
  AreaIndex* index = SelectedIndex();
  if (index == nullptr || n < 1 || n > static_cast<int>(index->tags.size())) return nullptr;
  return index->tags[static_cast<std::size_t>(n - 1)].get();
}

int OrderCount() {
  const AreaIndex* index = SelectedIndex();
  return index == nullptr ? 0 : static_cast<int>(index->tags.size());
}

std::string OrderTagName(int n) {
  const OrderTag* tag = OrderOf(n);
  return tag == nullptr ? std::string() : tag->name;
}

std::string IndexFileName() {
  const AreaIndex* index = SelectedIndex();
  return index == nullptr || index->tags.empty() ? std::string() : index->file.name();
}

std::string OrderDescription(int n) {
  if (IndexFileName().empty()) return {};
  return IndexFileName() + " [tag: " + OrderTagName(n) + "]";
}

std::string OrderKeyText(int n) {
  OrderTag* tag = OrderOf(n);
  TableRecord* t = SelectedTable();
  if (tag == nullptr || t == nullptr) return {};
  KeyBuffer key{};
  int length = 0;
  if (!MakeKey(tag->expressions, tag->header, *t, key, length)) return {};
  return KeyDisplay(*tag, key.data());
}

bool OrderInSignedByteOrder(int n) {
  OrderTag* tag = OrderOf(n);
  AreaIndex* index = SelectedIndex();
  TableRecord* t = SelectedTable();
  if (tag == nullptr || index == nullptr || t == nullptr) return false;
  ReadHold hold(t->area);
  return ProbeKeyCollation(index->file, tag->header) == KeyCollation::kSignedBytes;
}

void TagList(std::vector<std::string>& list, const std::string& table_file,
             std::string_view index_name) {
  list.clear();
  TableRecord probe;
  probe.file_name = table_file;
  const std::string path = IndexPath(probe, index_name);
  if (!os::FileExists(path)) return;
  MdxFile file;
  QuietErrors quiet;
  if (!file.Open(path, os::kOpenReadOnlyDenyNone)) return;
  for (int i = 1; i <= file.header().TagCount(); ++i) {
    TagHeader header;
    if (!file.ReadTagHeader(i, header)) break;
    const std::string name = TrimText(file.header().TagName(i));
    const std::string key = TrimText(header.KeyExpression());
    if (name.empty() || key.empty()) continue;
    list.push_back(name + (header.Descending() ? ",T," : ",F,") + (header.Unique() ? "T," : "F,") +
                   key);
    list.push_back(header.HasFor() ? TrimText(header.ForExpression()) : std::string());
  }
}

void IndexInit() {
  // Another index engine's table stays; this engine's own may be installed again (a second
  // start-up of the engine in one process).
  if (IndexHooks.present && IndexHooks.IsActive != HookIsActive) {
    SetEngineError(254, "Another index engine is already installed [IndexInit]");
    return;
  }
  {
    QuietErrors quiet;
    for (int area = 1; area <= kMaxIndexArea; ++area) CloseAreaIndex(area);
  }
  IndexFound = false;
  KeyPadding = false;
  SoftSeek = false;
  for (auto& area : Areas) area.reset();
  ResetSemaphores();
  IndexHookTable hooks;
  hooks.IsActive = HookIsActive;
  hooks.FirstRecord = HookFirst;
  hooks.LastRecord = HookLast;
  hooks.NextRecord = HookNext;
  hooks.PriorRecord = HookPrior;
  hooks.AtEnd = HookAtEnd;
  hooks.AtBeginning = HookAtBeginning;
  hooks.PositioningBegins = HookReadOn;
  hooks.PositioningEnds = HookReadOff;
  hooks.AfterPositioning = HookAfterPositioning;
  hooks.AppendBegins = HookLockOn;
  hooks.AppendEnds = HookLockOff;
  hooks.AddKeys = HookAddKeys;
  hooks.UpdateBegins = HookUpdateBegins;
  hooks.OldKeys = HookOldKeys;
  hooks.CheckKeys = HookCheckKeys;
  hooks.NewKeys = HookNewKeys;
  hooks.UpdateEnds = HookLockOff;
  hooks.ReachedBof = HookReachedBof;
  hooks.ReachedEof = HookReachedEof;
  hooks.CloseAll = HookCloseAll;
  hooks.present = true;
  IndexHooks = hooks;
}

void ShutdownIndex() {
  if (!IndexHooks.present) return;
  QuietErrors quiet;
  for (int area = 1; area <= kMaxIndexArea; ++area) CloseAreaIndex(area);
  IndexHooks = IndexHookTable{};
}

}  // namespace vx
