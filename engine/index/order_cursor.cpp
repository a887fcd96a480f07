// Moving through the controlling order (the work-area layer's navigation hooks), putting orders
// on the current record, and searching by key (Find).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/index/order_internal.h"
#include "engine/index/semaphore.h"
#include "engine/index/tag_tree.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"

namespace vx {

using namespace order_internal;

namespace {

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

}  // namespace

namespace order_internal {

void SetCurrentKey(OrderTag& tag) {
  tag.current_key.fill(0);
  if (tag.cursor.OnItem()) {
    std::memcpy(tag.current_key.data(), tag.cursor.Key(),
                static_cast<std::size_t>(tag.cursor.KeyLength()));
  }
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
bool SyncTag(TableRecord& t, OrderTag& tag, SyncMode mode) {
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

}  // namespace order_internal

namespace {

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

}  // namespace

namespace order_internal {

// Check for changes by other programs: re-reads the tag headers and puts the controlling order
// back on the current record (not for a record just appended: its keys are not in yet).
bool CheckForChanges(TableRecord& t, AreaIndex& index, bool reposition) {
  if (!SemaphoreChanged(t.area)) return true;
  if (!ReadAnchors(index, t.area)) return false;
  if (index.natural || !reposition) return true;
  return SoftSyncTag(t, Controlling(index));
}

}  // namespace order_internal

namespace {

bool TagEmpty(const OrderTag& tag) { return tag.header.HasFor() && !tag.header.ForEverMet(); }

}  // namespace

namespace order_internal {

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

void HookReadOn(TableRecord& t) {
  WritePendingKeys(t);
  ReadBracket(t.area, true);
}
void HookReadOff(TableRecord& t) { ReadBracket(t.area, false); }

void HookAfterPositioning(TableRecord& t) {
  if (OwnMove) return;
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty() || index->natural) return;
  SyncTag(t, Controlling(*index), SyncMode::kSyncIndex);
}

void HookReachedBof(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index != nullptr && !index->tags.empty()) Controlling(*index).cursor.SetAtStart(true);
}

void HookReachedEof(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index != nullptr && !index->tags.empty()) Controlling(*index).cursor.SetAtEnd(true);
}

}  // namespace order_internal

namespace {

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
  OrderTag& tag = Controlling(*index);
  // An empty text is a prefix of every character key: it finds the first one (or, padded, the
  // blank key). A number or a date has no empty value to look for.
  const char key_type = tag.header.KeyType();
  if (text.empty() && (key_type == 'N' || key_type == 'F' || key_type == 'D')) return false;
  ReadHold hold(t->area);
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

namespace {

// Puts the cursor on the first item after the last key taken, after the index changed: on
// the first item with that key whose record was not taken with it, else the first above it.
bool StepPast(OrderTag& tag, const OrderWalk& walk) {
  TagCursor& cursor = tag.cursor;
  const int length = cursor.KeyLength();
  bool found = false;
  if (!cursor.Seek(walk.last_key.data(), length, found)) return false;
  const std::unordered_set<std::uint32_t> taken(walk.last_key_records.begin(),
                                                walk.last_key_records.end());
  while (cursor.OnItem() && !cursor.AtEnd() &&
         cursor.Comparator()(cursor.Key(), walk.last_key.data(), length) == 0 &&
         taken.count(cursor.Record()) != 0) {
    if (!cursor.Next()) return false;
  }
  return true;
}

}  // namespace

namespace {

// Keeps the last key a walk took and the records taken with it, where a changed index is
// sought again (StepPast): `taken` items were just taken from the cursor's item on, their
// records at the end of `records`. Equal keys stand together, so only the items at the end of
// the run that share the last key are compared.
void NoteLastKey(OrderWalk& walk, const TagCursor& cursor,
                 const std::vector<std::uint32_t>& records, int taken) {
  const KeyComparator compare = cursor.Comparator();
  const int length = cursor.KeyLength();
  const std::uint8_t* key = cursor.KeyAhead(taken - 1);
  int first = taken - 1;
  while (first > 0 && compare(cursor.KeyAhead(first - 1), key, length) == 0) --first;
  if (first > 0 || walk.last_key_records.empty() ||
      compare(key, walk.last_key.data(), length) != 0) {
    std::memcpy(walk.last_key.data(), key, static_cast<std::size_t>(length));
    walk.last_key_records.clear();
  }
  walk.last_key_records.insert(walk.last_key_records.end(), records.end() - (taken - first),
                               records.end());
}

}  // namespace

std::size_t NextOrderItems(OrderWalk& walk, std::size_t count,
                           std::vector<std::uint32_t>& records) {
  if (walk.done || count == 0) return 0;
  TableRecord* t = InUse("NextOrderItems");
  if (t == nullptr) return 0;
  AreaIndex* index = SelectedIndex();
  if (index == nullptr || index->tags.empty() || index->natural) {
    SetEngineError(221, "Index not open. (DBF=" + TableNameOf(*t) + ") [NextOrderItems]");
    return 0;
  }
  ReadHold hold(t->area);
  if (SemaphoreChanged(t->area) && !ReadAnchors(*index, t->area)) return 0;
  OrderTag& tag = Controlling(*index);
  if (t->record_count < 1) RefreshRecordCount(*t);
  if (t->record_count < 1 || TagEmpty(tag)) {
    walk.done = true;
    return 0;
  }
  TagCursor& cursor = tag.cursor;
  if (!walk.started) {
    walk.started = true;
    bool ok = true;
    if (walk.from) {
      KeyBuffer key{};
      int length = 0;
      const bool padding = KeyPadding;
      KeyPadding = false;
      SearchKey(*t, tag, *walk.from, true, key, length);
      KeyPadding = padding;
      bool found = false;
      ok = cursor.Seek(key.data(), length, found);
    } else {
      ok = cursor.First();
    }
    if (!ok) return 0;
  } else if (walk.generation == MdxFile::Generation() && walk.place.HasPosition()) {
    cursor = walk.place;
    if (!cursor.Next()) return 0;
  } else if (!StepPast(tag, walk)) {
    return 0;
  }
  // The last key: characters over the length given (unpadded), numbers and dates whole.
  KeyBuffer last{};
  int last_length = 0;
  if (walk.to) {
    if (tag.character) {
      last_length = std::min(static_cast<int>(walk.to->size()), cursor.KeyLength());
      std::memcpy(last.data(), walk.to->data(), static_cast<std::size_t>(last_length));
    } else {
      SearchKey(*t, tag, *walk.to, true, last, last_length);
    }
  }
  const std::size_t before = records.size();
  const KeyComparator compare = cursor.Comparator();
  // A leaf whose last key is within the range holds no key past it: its items are not compared.
  std::uint32_t leaf_in_range = 0;
  while (records.size() - before < count) {
    if (!cursor.OnItem() || cursor.AtEnd()) {
      walk.done = true;
      break;
    }
    // The items of this leaf from the current one that lie in the range, taken in one go.
    const int left = cursor.ItemsLeftInLeaf();
    int in_range = left;
    if (walk.to && cursor.LeafPage() != leaf_in_range) {
      if (compare(cursor.LeafLastKey(), last.data(), last_length) <= 0) {
        leaf_in_range = cursor.LeafPage();
      } else {
        in_range = 0;
        while (in_range < left &&
               compare(cursor.KeyAhead(in_range), last.data(), last_length) <= 0) {
          ++in_range;
        }
        if (in_range == 0) {
          walk.done = true;
          break;
        }
      }
    }
    const int take =
        static_cast<int>(std::min<std::size_t>(in_range, count - (records.size() - before)));
    const auto limit = static_cast<std::uint32_t>(std::max(0, t->record_count));
    int taken = 0;
    while (taken < take) {
      const std::uint32_t record = cursor.RecordAhead(taken);
      if (record < 1 || record > limit) break;
      records.push_back(record);
      ++taken;
    }
    if (taken > 0) {
      NoteLastKey(walk, cursor, records, taken);
      cursor.SkipInLeaf(taken - 1);
    }
    if (taken < take) {
      // A record past the count the table had: another program's append, or damage.
      if (taken > 0) cursor.SkipInLeaf(1);
      const std::int32_t record = CheckedRecord(*t, *index, tag);
      if (record == 0) return 0;
      records.push_back(static_cast<std::uint32_t>(record));
      NoteLastKey(walk, cursor, records, 1);
    } else if (taken == in_range && in_range < left) {
      // The range ends inside this leaf and all of it was taken.
      walk.done = true;
      break;
    }
    if (records.size() - before == count) break;
    if (!cursor.Next()) return 0;
  }
  // The order's own position is given up: the next navigation puts it on the area's record.
  walk.place = cursor;
  walk.generation = MdxFile::Generation();
  cursor.Reset();
  return records.size() - before;
}

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

}  // namespace vx
