// Key maintenance: appends and edits change every tag's tree under the lock bracket.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/foundation/errors.h"
#include "engine/index/index_check.h"
#include "engine/index/key_maker.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/order_internal.h"
#include "engine/index/semaphore.h"
#include "engine/index/tag_tree.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/system.h"

namespace vx {

using namespace order_internal;

namespace {

void AfterTreeChange(TableRecord& t, AreaIndex& index);

// Byte 0 of the index file, held while a tag header is written on a shared table; tried for
// a third of a second (other programs hold it only for one write).
constexpr std::uint64_t kAnchorLockOffset = 0;
constexpr std::uint64_t kAnchorLockLength = 1;
constexpr int kAnchorLockAttempts = 300;

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

// Records per block of the key pass, and the memory its expected keys may take at once.
constexpr std::size_t kKeyPassBlockBytes = 256 * 1024;
constexpr std::size_t kKeyPassHashBytes = 64u << 20;

// A 64-bit digest of a key as the checker compares it (the digit count of a packed number is
// not part of its value); never 0, which stands for "no item expected".
std::uint64_t KeyDigest(const TagHeader& header, const std::uint8_t* key) {
  const auto length = static_cast<std::size_t>(header.KeyLength());
  const bool packed = header.KeyType() == 'N' || header.KeyType() == 'F';
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t byte = packed && i == 1 ? static_cast<std::uint8_t>(key[i] & 0x80) : key[i];
    h = (h ^ byte) * 1099511628211ull;
  }
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 32;
  return h | 1;
}

// The expected item of every record for a group of tags, read in one pass over the stored
// records: expected[g][n] is the digest of record n's key, 0 when the FOR condition leaves the
// record out. A record whose key cannot be made faults its tag. The table's buffer and
// position are as they were afterwards.
bool ExpectedItems(TableRecord& t, const std::vector<OrderTag*>& group,
                   std::vector<std::vector<std::uint64_t>>& expected,
                   std::vector<std::string>& faults) {
  if (!FlushAppends(t)) return false;
  // Records other programs appended since the count was taken have their items in the tags by
  // now (an append writes its record and its keys under the update bracket this edit holds).
  RefreshRecordCount(t);
  const auto count = static_cast<std::size_t>(std::max(t.record_count, 0));
  const std::size_t length = t.record_length;
  expected.assign(group.size(), std::vector<std::uint64_t>(count + 1, 0));
  if (length == 0 || count == 0) return true;
  const std::size_t per_block = std::max<std::size_t>(1, kKeyPassBlockBytes / length);
  std::vector<char> block(per_block * length);
  std::vector<char> saved = t.record;
  const std::int32_t saved_number = t.record_number;
  bool ok = true;
  for (std::size_t first = 1; ok && first <= count; first += per_block) {
    const std::size_t want = std::min(per_block, count - first + 1);
    std::size_t got = 0;
    const int code =
        t.file.ReadAt(t.RecordOffset(static_cast<std::int32_t>(first)),
                      std::as_writable_bytes(std::span(block.data(), want * length)), got);
    if (code != 0 || got != want * length) {
      SetEngineError(code != 0 ? static_cast<std::uint16_t>(code) : 222,
                     "Error reading " + t.file_name + " [ValidateTree]");
      ok = false;
      break;
    }
    for (std::size_t i = 0; i < want; ++i) {
      std::memcpy(t.record.data(), block.data() + i * length, length);
      const std::size_t n = first + i;
      t.record_number = static_cast<std::int32_t>(n);
      for (std::size_t g = 0; g < group.size(); ++g) {
        OrderTag& tag = *group[g];
        if (!faults[g].empty() || !MeetsFor(tag.expressions, t, RecordForm::kStored)) continue;
        KeyBuffer key{};
        int key_length = 0;
        if (!MakeKey(tag.expressions, tag.header, t, key, key_length, RecordForm::kStored)) {
          faults[g] = "record " + std::to_string(n) + ": its key cannot be made";
          continue;
        }
        expected[g][n] = KeyDigest(tag.header, key.data());
      }
    }
  }
  t.record = std::move(saved);
  t.record_number = saved_number;
  return ok;
}

// Walks a sound tag's items against the records' expected items: an item whose key its record
// does not have (or of a record the tag should not hold, or twice), and, outside unique tags
// (which hold one record of each key), a record whose item is missing. Empty when they agree.
std::string ItemsAgainstRecords(AreaIndex& index, OrderTag& tag, int area,
                                std::vector<std::uint64_t>& expected) {
  TagCursor cursor;
  cursor.Attach(&index.file, tag.header, tag.compare, ContextOf(index, tag, area));
  if (!cursor.First()) return "its items cannot be walked";
  const std::size_t count = expected.size() - 1;
  for (; !cursor.AtEnd() && cursor.OnItem();) {
    const std::uint32_t record = cursor.Record();
    if (record < 1 || record > count || expected[record] != KeyDigest(tag.header, cursor.Key())) {
      return "an item of record " + std::to_string(record) +
             " whose key the record does not have (reindex rebuilds the tag)";
    }
    expected[record] = 0;
    if (!cursor.Next()) return "its items cannot be walked";
  }
  if (tag.header.Unique()) return {};
  for (std::size_t n = 1; n <= count; ++n) {
    if (expected[n] != 0) {
      return "record " + std::to_string(n) + ": its key is missing (reindex rebuilds the tag)";
    }
  }
  return {};
}

}  // namespace

namespace order_internal {

void HookLockOn(TableRecord& t) { LockBracket(t.area, true); }
void HookLockOff(TableRecord& t) { LockBracket(t.area, false); }

namespace {

constexpr std::uint32_t kBatchHoldMs = 50;

AppendBatchState* BatchOf(int area) {
  TableRecord* t = AreaTable(area);
  return t == nullptr ? nullptr : &IndexStateOf(*t).append_batch;
}

// Whether the area's appends may hold their keys back for the batch: an .MDX kept current
// alone (the .NDX files of an area keep the single-append protocol, so that a batch that fails
// never has to take keys back out of them), on a table file.
bool MayDefer(TableRecord& t, AreaIndex& index) {
  if (t.is_virtual || index.tags.empty()) return false;
  const TableIndexState* s = FoundIndexState(t);
  return s == nullptr || s->ndx == nullptr || s->ndx->files.empty();
}

// The batch's bracket was just taken: the appends under it defer their keys, the index's
// writes are held, and the table's end is kept so that the records can be taken back. Without
// the before-image the appends keep the single-append protocol.
void StartDeferring(TableRecord& t, AreaIndex& index) {
  AreaIndex::PendingKeys& pending = index.pending;
  if (pending.active || !MayDefer(t, index)) return;
  QuietErrors quiet;
  const std::uint16_t code = EngineErrorCode;
  const std::string message = LastErrorMessage;
  if (FlushAppends(t) && KeepBeforeImage(t, t.record_count + 1, pending.table_before) == 0) {
    const std::size_t tags = index.tags.size();
    pending.staged.assign(tags, KeyBuffer{});
    pending.staged_in.assign(tags, false);
    pending.keys.assign(tags, {});
    pending.records.assign(tags, {});
    pending.active = true;
    index.file.HoldWrites();
  }
  EngineErrorCode = code;
  LastErrorMessage = message;
}

// Inserts one tag's waiting keys in key order (records ascending among equal keys, so that the
// tree ends as the appends one by one would have left it); false after a report.
bool InsertPending(AreaIndex& index, OrderTag& tag, int area, const std::vector<std::uint8_t>& keys,
                   const std::vector<std::uint32_t>& records) {
  if (records.empty()) return true;
  const auto length = static_cast<std::size_t>(tag.header.KeyLength());
  std::vector<std::uint32_t> order(records.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  const KeyComparator compare = tag.compare;
  const int key_length = tag.header.KeyLength();
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return compare(keys.data() + a * length, keys.data() + b * length, key_length) < 0;
  });
  std::vector<const std::uint8_t*> sorted_keys(order.size());
  std::vector<std::uint32_t> sorted_records(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    sorted_keys[i] = keys.data() + order[i] * length;
    sorted_records[i] = records[order[i]];
  }
  TagTree tree = TreeOf(index, tag, area);
  if (!InsertSortedKeys(tree, sorted_keys, sorted_records)) return false;
  return WriteAnchor(index, tag, tree);
}

}  // namespace

bool WritePendingKeys(TableRecord& t) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || !index->pending.active) return true;
  AreaIndex::PendingKeys& pending = index->pending;
  pending.active = false;
  const std::size_t appended =
      static_cast<std::size_t>(std::max(0, pending.last_record - pending.table_before.count));
  bool ok = true;
  bool restored = true;
  std::uint16_t code = 0;
  std::string message;
  {
    QuietErrors quiet;
    const std::uint16_t before = EngineErrorCode;
    const std::string before_message = LastErrorMessage;
    EngineErrorCode = 0;
    // The records that waited behind go to the disk before their keys; one that did not (a
    // write failed, now or when a block of them was written) fails the batch.
    const bool flushed = FlushAppends(t);
    ok = flushed && t.record_count >= pending.last_record;
    if (flushed && !ok) {
      SetEngineError(222, "File:  " + t.file_name + ": appended records were lost [APPEND]");
    }
    for (std::size_t i = 0; ok && i < index->tags.size(); ++i) {
      ok = InsertPending(*index, *index->tags[i], t.area, pending.keys[i], pending.records[i]);
    }
    if (ok) {
      ok = index->file.FlushHeldWrites(restored);
    } else {
      // Nothing of the batch's keys reached the disk.
      const std::uint16_t failed = EngineErrorCode;
      const std::string failed_message = LastErrorMessage;
      restored = index->file.DropHeldWrites();
      EngineErrorCode = failed;
      LastErrorMessage = failed_message;
    }
    code = EngineErrorCode;
    message = LastErrorMessage;
    if (!ok) {
      // The tags in memory are as the file holds them again.
      restored = ReadAnchors(*index, t.area) && restored;
      // Every record the batch appended since its keys began to wait goes: none of them has
      // its keys in the tags.
      const int io = PutBackBeforeImage(t, pending.table_before);
      if (io != 0) {
        message += " (the records appended since the index was last written could not be "
                   "taken back: " + ErrorDescription(static_cast<std::uint16_t>(io)) + ")";
      } else if (appended <= 1) {
        message += " (the record was put back as it was)";
      } else {
        message += " (the " + std::to_string(appended) +
                   " records appended since the index was last written were taken back)";
      }
      if (!restored) {
        message += " (" + index->file.name() + " may be damaged: reindex rebuilds its tags)";
      }
    }
    EngineErrorCode = before;
    LastErrorMessage = before_message;
  }
  pending.keys.clear();
  pending.records.clear();
  pending.last_record = 0;
  pending.table_before = RecordBeforeImage{};
  AfterTreeChange(t, *index);
  if (ok) return true;
  SetEngineError(code != 0 ? code : 222, message);
  return false;
}

namespace {

// Puts the batch's waiting keys in and lets its update bracket go (other programs see the
// change counter move); false after a report.
bool ReleaseBatchHold(int area, AppendBatchState& batch) {
  if (!batch.holding) return true;
  batch.holding = false;
  bool written = true;
  if (TableRecord* t = AreaTable(area)) written = WritePendingKeys(*t);
  return LockBracket(area, false) && written;
}

}  // namespace

// An append inside a batch takes the batch's bracket first (once) and nests in it.
void HookAppendBegins(TableRecord& t) {
  AppendBatchState* batch = BatchOf(t.area);
  if (batch != nullptr && batch->depth > 0 && !batch->holding) {
    if (!LockBracket(t.area, true)) return;
    batch->holding = true;
    batch->since = os::TickCount();
    AreaIndex* index = IndexOf(t);
    // Another program's change is taken in before keys begin to wait.
    if (index != nullptr && CheckForChanges(t, *index, false)) StartDeferring(t, *index);
  }
  LockBracket(t.area, true);
}

void HookAppendEnds(TableRecord& t) {
  LockBracket(t.area, false);
  AppendBatchState* batch = BatchOf(t.area);
  if (batch != nullptr && batch->holding && os::TickCount() - batch->since >= kBatchHoldMs) {
    ReleaseBatchHold(t.area, *batch);
  }
}

bool HookAppendDeferred(TableRecord& t) {
  const AreaIndex* index = IndexOf(t);
  return index != nullptr && index->pending.active;
}

// Reads every tag's tree whole, once after the index was opened: damage off the way an edit
// goes down (a child pointer elsewhere, a node reached from two places or two tags, a node past
// the header's page counter, a key count that hides items, a key type or length the key
// expression does not give, a key twice in a unique tag) is not seen on that way. A tag found
// damaged keeps its fault until the index is opened again or another program changes it. The
// trees this engine changes afterwards stay sound, so one reading serves every later edit.
// Whether the items hold the records' keys is read per tag by the first edit that changes it
// (TouchedTreesSound).
constexpr std::string_view kWritersOrder = "holds its keys in its writer's own order";

void ValidateTrees(AreaIndex& index) {
  if (index.validated) return;
  index.validated = true;
  index.faults.assign(index.tags.size(), {});
  index.keys_checked.assign(index.tags.size(), false);
  // Nodes other programs appended since the size was last taken are part of the trees, not
  // damage past the end (this runs under the update bracket: nobody appends meanwhile).
  index.file.RefreshSize();
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
    } else {
      // Sound for its writer, yet keys this engine puts in would land where that writer does
      // not look for them: edits that change the tag are refused (TouchedTreesSound), whichever
      // door they come by. Opened without its index, the table is edited and the index left
      // stale.
      fault = std::string(kWritersOrder) + ", " + CollationName(KeyCollation::kSignedBytes);
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

namespace {

// A tag kept in its writer's signed-byte order (ValidateTrees) that an edit would change: true
// after a report, before the way down is read in this engine's byte order (which would call the
// tag damaged).
bool RefusedForWritersOrder(AreaIndex& index, const OrderTag& tag) {
  ValidateTrees(index);
  const std::string& fault = index.faults[static_cast<std::size_t>(tag.tag_number - 1)];
  if (!fault.starts_with(kWritersOrder)) return false;
  SetEngineError(222, "tag " + tag.name + " of " + index.file.name() + " " + fault +
                          ": this edit would change its keys, which this program would put "
                          "where that writer does not look for them. Nothing was changed; "
                          "reindex would reorder the tag in byte order for every program, an "
                          "edit ignoring the index leaves it stale [ValidateTree]");
  return true;
}

}  // namespace

// Whether every tag an edit changes was found sound when the index was read whole, and holds
// the keys of the records (read once per tag, the first time an edit changes it, in one pass
// over the table for all the tags that edit changes); false after a report naming the tag and
// what is wrong with it.
bool TouchedTreesSound(TableRecord& t, AreaIndex& index,
                       const std::vector<const OrderTag*>& touched) {
  if (touched.empty()) return true;
  ValidateTrees(index);
  std::vector<OrderTag*> unread;
  // A virtual table's records come from its manager, not from a file this pass could read.
  for (const OrderTag* tag : t.is_virtual ? std::vector<const OrderTag*>{} : touched) {
    const auto i = static_cast<std::size_t>(tag->tag_number - 1);
    if (index.faults[i].empty() && !index.keys_checked[i] && HasKeyMaker(tag->expressions)) {
      unread.push_back(index.tags[i].get());
    }
  }
  const std::size_t records = static_cast<std::size_t>(std::max(t.record_count, 0)) + 1;
  const std::size_t per_pass =
      std::max<std::size_t>(1, kKeyPassHashBytes / (records * sizeof(std::uint64_t)));
  for (std::size_t from = 0; from < unread.size(); from += per_pass) {
    const std::vector<OrderTag*> group(
        unread.begin() + static_cast<std::ptrdiff_t>(from),
        unread.begin() + static_cast<std::ptrdiff_t>(std::min(unread.size(), from + per_pass)));
    std::vector<std::vector<std::uint64_t>> expected;
    std::vector<std::string> faults(group.size());
    {
      QuietErrors quiet;
      const std::uint16_t code = EngineErrorCode;
      const std::string message = LastErrorMessage;
      if (!ExpectedItems(t, group, expected, faults)) return false;
      for (std::size_t g = 0; g < group.size(); ++g) {
        if (faults[g].empty())
          faults[g] = ItemsAgainstRecords(index, *group[g], t.area, expected[g]);
      }
      EngineErrorCode = code;
      LastErrorMessage = message;
    }
    for (std::size_t g = 0; g < group.size(); ++g) {
      const auto i = static_cast<std::size_t>(group[g]->tag_number - 1);
      index.keys_checked[i] = true;
      index.faults[i] = std::move(faults[g]);
    }
  }
  for (const OrderTag* tag : touched) {
    const std::string& fault = index.faults[static_cast<std::size_t>(tag->tag_number - 1)];
    if (fault.empty()) continue;
    if (RefusedForWritersOrder(index, *tag)) return false;
    SetEngineError(222, "Invalid dBASE key expression or corrupted index file " +
                            index.file.name() + " [tag: " + tag->name + "] " + fault +
                            " [ValidateTree]");
    return false;
  }
  return true;
}

namespace {

// An append whose keys wait for its batch: makes the keys of the record as it will be (for
// AddKeys to take), refusing one that cannot be made, and refuses a tag found damaged or kept
// in another writer's order. The ways down are read when the keys go in (WritePendingKeys),
// where a damaged one takes back the batch's records.
bool StageKeys(TableRecord& t, AreaIndex& index) {
  AreaIndex::PendingKeys& pending = index.pending;
  const std::int32_t saved_number = t.record_number;
  const std::int32_t saved_count = t.record_count;
  // The keys are made as they would be once the record is written: RECNO() is its number, and
  // the table counts it (an expression reads no fields of a table without records).
  t.record_number = t.record_count + 1;
  t.record_count = t.record_number;
  bool ok = true;
  std::vector<const OrderTag*> touched;
  for (std::size_t i = 0; i < index.tags.size(); ++i) {
    OrderTag& tag = *index.tags[i];
    bool in = false;
    if (!RecordKey(t, tag, pending.staged[i], in)) {
      ok = false;
      break;
    }
    pending.staged_in[i] = in;
    if (!in) continue;
    touched.push_back(&tag);
    // Before the tag was first read whole, its way down is read as for a single append, which
    // names the page a damaged way holds.
    const bool first = !index.validated || i >= index.keys_checked.size() || !index.keys_checked[i];
    // The tag table cannot change while the bracket is held: read once per bracket.
    const bool bracket_first = pending.last_record == 0;
    if (RefusedForWritersOrder(index, tag) ||
        ((first || bracket_first) && !HeaderNotShared(index, tag))) {
      ok = false;
      break;
    }
    if (first) {
      TagTree tree = TreeOf(index, tag, t.area);
      if (!CheckInsertPath(tree, pending.staged[i].data())) {
        ok = false;
        break;
      }
    }
  }
  t.record_number = saved_number;
  t.record_count = saved_count;
  return ok && TouchedTreesSound(t, index, touched);
}

}  // namespace

// Before a record is written (nothing of the edit is on the disk yet): makes the keys of the
// record as it will be and reads, without writing, the way down of every change it will make:
// the removal of a replaced key and the insert of the new one. A key that cannot be made, a
// damaged page on the way, or a replaced record whose item a non-unique tag lacks refuses the
// edit (false after a report). `appending`: the record will be the next one after the last.
bool HookCheckKeys(TableRecord& t, bool appending) {
  AreaIndex* index = IndexOf(t);
  if (index == nullptr || index->tags.empty()) return true;
  if (!appending && !WritePendingKeys(t)) return false;
  if (appending && !CheckForChanges(t, *index, false)) return false;
  if (appending && index->pending.active) return StageKeys(t, *index);
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
    if (RefusedForWritersOrder(*index, tag) || !HeaderNotShared(*index, tag)) {
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
  return ok && TouchedTreesSound(t, *index, touched);
}

}  // namespace order_internal

namespace {

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

}  // namespace

namespace order_internal {

// Opens the update bracket and takes in what other programs changed; when that fails (or
// raises) the bracket is closed again, otherwise UpdateEnds closes it.
bool HookUpdateBegins(TableRecord& t) {
  if (!WritePendingKeys(t)) return false;
  SemaphoreBracket bracket(SemaphoreBracket::Kind::kUpdate, t.area);
  if (!bracket.held()) return false;
  AreaIndex* index = IndexOf(t);
  if (index != nullptr && !CheckForChanges(t, *index)) return false;
  bracket.Release();
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
  if (AreaIndex::PendingKeys& pending = index->pending; pending.active) {
    // The keys StageKeys made wait for the batch.
    const auto record = static_cast<std::uint32_t>(t.record_number);
    pending.last_record = t.record_number;
    for (std::size_t i = 0; i < index->tags.size(); ++i) {
      if (!pending.staged_in[i]) continue;
      const auto length = static_cast<std::size_t>(index->tags[i]->header.KeyLength());
      pending.keys[i].insert(pending.keys[i].end(), pending.staged[i].begin(),
                             pending.staged[i].begin() + static_cast<std::ptrdiff_t>(length));
      pending.records[i].push_back(record);
    }
    return;
  }
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

}  // namespace order_internal

AppendBatch::AppendBatch() : area_(Selected()) {
  if (AppendBatchState* batch = BatchOf(area_)) ++batch->depth;
}

AppendBatch::~AppendBatch() {
  CleanupErrors cleanup;
  Close();
}

bool AppendBatch::Close() {
  const int area = area_;
  area_ = -1;
  AppendBatchState* batch = BatchOf(area);
  if (batch == nullptr || batch->depth == 0) return true;
  if (--batch->depth > 0) return true;
  return ReleaseBatchHold(area, *batch);
}

}  // namespace vx
